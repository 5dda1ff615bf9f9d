#!/usr/bin/python3
"""Check docs/user-guide.md against the driver's sources.

    check_docs.py [--source-dir DIR] [--guide FILE] [--selftest]

Checks:
  - the guide's settings table (the Markdown table whose first two columns
    are "Name" and "Default") lists exactly the values of ConfigRows in
    driver/config.cpp, in the table's order, each with the table's default
    (the first number of the Default cell, hex or decimal);
  - the guide names the registry key the values are read from,
    HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\ + the
    TOLMU_PARAMETERS_PATH of driver/config.h, and the key the driver
    publishes under (+ TOLMU_PUBLISH_PATH);
  - the guide's published-values table (first column "Value") lists exactly
    the names the driver passes to RegisterConfiguration;
  - driver/windows/bundle-readme.txt names both keys too;
  - both name the system INF sections the INF files need (SYSTEM_INFS of
    tools/inf_check.py: each section with its .HW and .Services), so the
    instructions to check them stay those of the INF files.
Prints each problem and exits 1 when there is one. With --selftest it first
checks that damaged copies of the guide (a wrong default, a missing or
renamed row, rows out of order, a wrong key, a missing published value) are
each rejected, then checks the real guide.
"""
import argparse
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tolmu_source  # noqa: E402
from inf_check import SYSTEM_INFS  # noqa: E402

SERVICES_ROOT = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\"
DRIVER_DIRS = ["driver/" + d for d in ("core", "pnp", "pci", "enum", "resources", "quirks", "diag")]


def table_rows(text, first_header):
    """Rows (lists of cell texts) of the first Markdown table whose header's
    first cell is FIRST_HEADER, or None when there is no such table."""
    lines = text.splitlines()
    for i, line in enumerate(lines):
        cells = split_row(line)
        if cells and cells[0] == first_header and i + 1 < len(lines) and re.fullmatch(r"\|?[\s:|-]+\|?",
                                                                                     lines[i + 1].strip()):
            rows = []
            for row in lines[i + 2:]:
                if not row.strip().startswith("|"):
                    break
                rows.append(split_row(row))
            return cells, rows
    return None


def split_row(line):
    line = line.strip()
    if not line.startswith("|"):
        return None
    cells = [c.strip().replace("\\|", "|") for c in re.split(r"(?<!\\)\|", line.strip("|"))]
    return cells


def first_number(cell):
    m = re.search(r"\b(0[xX][0-9A-Fa-f]+|[0-9]+)\b", cell)
    return int(m.group(1), 0) if m else None


def published_names(src):
    """Names the driver passes to RegisterConfiguration(WSTR("..."), ...)."""
    names = set()
    for folder in DRIVER_DIRS:
        for name in sorted(os.listdir(os.path.join(src, folder))):
            if name.endswith(".cpp"):
                with open(os.path.join(src, folder, name), encoding="utf-8") as f:
                    names.update(re.findall(r'RegisterConfiguration\s*\(\s*WSTR\("(\w+)"\)', f.read()))
    if not names:
        raise tolmu_source.SourceError("no RegisterConfiguration(WSTR(\"...\"), ...) call in the driver")
    return names


def check_text(text, readme, src):
    problems = []
    rows = tolmu_source.config_rows(src)
    paths = tolmu_source.registry_paths(src)

    found = table_rows(text, "Name")
    if found is None or len(found[0]) < 2 or found[0][1] != "Default":
        problems.append("no settings table (columns Name, Default, ...)")
    else:
        doc = []
        for cells in found[1]:
            name = cells[0].strip("`") if cells else ""
            default = first_number(cells[1]) if len(cells) > 1 else None
            doc.append((name, default))
        doc_names = [n for n, _ in doc]
        want_names = [n for n, _ in rows]
        if doc_names != want_names:
            missing = [n for n in want_names if n not in doc_names]
            extra = [n for n in doc_names if n not in want_names]
            problems.append("settings table lists %s; driver/config.cpp has %s%s%s" % (
                doc_names, want_names, "; missing %s" % missing if missing else "",
                "; not in the driver %s" % extra if extra else ""))
        for (name, default), (want_name, want_default) in zip(doc, rows):
            if name == want_name and default != want_default:
                problems.append("settings table: %s default %s, driver/config.cpp 0x%X" % (
                    name, "0x%X" % default if default is not None else "missing", want_default))

    for label, path in (("parameters", paths["parameters"]), ("publish", paths["publish"])):
        key = SERVICES_ROOT + "\\".join(path)
        short = key.replace("HKEY_LOCAL_MACHINE", "HKLM")
        if key not in text and short not in text:
            problems.append("the guide does not name the %s key %s" % (label, key))
        if key not in readme and short not in readme:
            problems.append("bundle-readme.txt does not name the %s key %s" % (label, key))

    for inf_name, system in sorted(SYSTEM_INFS.items()):
        base = system["section"]
        for section in (base, base + ".HW", base + ".Services"):
            if "[%s]" % section not in text:
                problems.append("the guide does not name [%s] of %s" % (section, inf_name))
            if not re.search(r"\b%s\b" % re.escape(section), readme):
                problems.append("bundle-readme.txt does not name %s of %s" % (section, inf_name))
        if inf_name not in text or inf_name not in readme:
            problems.append("the guide or bundle-readme.txt does not name %s" % inf_name)

    published = table_rows(text, "Value")
    want = published_names(src)
    if published is None:
        problems.append("no published-values table (first column Value)")
    else:
        names = {cells[0].strip("`") for cells in published[1] if cells}
        if names != want:
            problems.append("published-values table lists %s; the driver publishes %s" % (sorted(names), sorted(want)))
    return problems


def selftest(text, readme, src):
    rows = tolmu_source.config_rows(src)
    first, second = rows[0][0], rows[1][0]
    last = rows[-1][0]

    def row_of(name):
        m = re.search(r"^\| `%s` \|.*$" % re.escape(name), text, re.M)
        assert m, "selftest: no row for %s" % name
        return m.group(0)

    def sub(old, new):
        assert old in text, "selftest: %r not in the guide" % old
        return text.replace(old, new, 1)

    default_text = re.search(r"^\| `%s` \| `([^`]+)`" % re.escape(first), text, re.M).group(1)
    cases = [
        ("wrong default", sub("| `%s` | `%s`" % (first, default_text), "| `%s` | `0x1`" % first), "default"),
        ("missing row", sub(row_of(last) + "\n", ""), "missing"),
        ("renamed row", sub("| `%s` |" % second, "| `%sX` |" % second), "not in the driver"),
        ("rows out of order", sub(row_of(first) + "\n" + row_of(second),
                                  row_of(second) + "\n" + row_of(first)), "settings table lists"),
        ("wrong parameters key", text.replace("\\Services\\tolmu\\Parameters", "\\Services\\tolmu\\Params"),
         "parameters key"),
        ("system section not named", text.replace("[PCI_DRV.HW]", "[PCI_DRV.HWX]"), "PCI_DRV.HW"),
        ("missing published value", re.sub(r"^\| `iam` \|.*\n", "", text, flags=re.M), "published-values"),
    ]
    failures = 0
    for label, damaged, expected in cases:
        problems = check_text(damaged, readme, src)
        hit = [p for p in problems if expected in p]
        if hit:
            print("ok   %s: %s" % (label, hit[0]))
        else:
            print("FAIL %s: expected a problem with %r, got %s" % (label, expected, problems))
            failures += 1
    return len(cases), failures


def main(argv=None):
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--source-dir", default=os.path.join(here, os.pardir))
    parser.add_argument("--guide", help="default: docs/user-guide.md of the source tree")
    parser.add_argument("--selftest", action="store_true")
    args = parser.parse_args(argv)
    src = os.path.abspath(args.source_dir)
    guide = args.guide or os.path.join(src, "docs", "user-guide.md")
    try:
        with open(guide, encoding="utf-8") as f:
            text = f.read()
        with open(os.path.join(src, "driver", "windows", "bundle-readme.txt"), encoding="utf-8") as f:
            readme = f.read()
        cases = failures = 0
        if args.selftest:
            cases, failures = selftest(text, readme, src)
        problems = check_text(text, readme, src)
    except (OSError, tolmu_source.SourceError) as e:
        print("error: %s" % e, file=sys.stderr)
        return 2
    for problem in problems:
        print("%s: %s" % (guide, problem))
    if not problems:
        print("ok   %s: %d settings, their defaults and the published values match the driver"
              % (os.path.relpath(guide, src), len(tolmu_source.config_rows(src))))
    if args.selftest:
        passed = cases - failures + (0 if problems else 1)
        print("%d passed, %d failed" % (passed, failures + (1 if problems else 0)))
    return 1 if problems or failures else 0


if __name__ == "__main__":
    sys.exit(main())
