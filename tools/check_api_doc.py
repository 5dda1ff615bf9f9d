#!/usr/bin/python3
"""Check docs/kernel-api.md against the allowed imports and the stand-in.

    check_api_doc.py [--source-dir DIR] [--selftest]

Checks:
  - every routine of driver/windows/allowed_imports.txt is named in the first
    column of a table row of docs/kernel-api.md (a cell may shorten
    `READ_REGISTER_UCHAR/USHORT/ULONG` to one name with its variants);
  - each stand-in file (standin/*.cpp) has as many KNOWN DIFFERENCE comments
    as the page has notes starting with KNOWN DIFFERENCE in rows that name
    that file's routines, and every note is matched by a comment.
With --selftest it first checks that damaged copies of the page (a routine's
row missing, a note's marker dropped, a note added) are each rejected.
Prints each problem and exits 1 when there is one.
"""
import argparse
import os
import re
import sys

MARK = "KNOWN DIFFERENCE"


def allowed_routines(src):
    names = []
    with open(os.path.join(src, "driver", "windows", "allowed_imports.txt"), encoding="utf-8") as f:
        for raw in f:
            parts = raw.split("#", 1)[0].split()
            if len(parts) == 2:
                names.append(parts[1])
    return names


def expand(token):
    """`READ_REGISTER_UCHAR/USHORT/ULONG` -> the three names."""
    parts = token.split("/")
    if len(parts) == 1:
        return parts
    stem = parts[0].rsplit("_", 1)[0] + "_" if "_" in parts[0] else ""
    return [parts[0]] + [stem + p for p in parts[1:]]


def doc_rows(text):
    """(routine names, last cell) of every table row whose first cell names routines."""
    rows = []
    for line in text.splitlines():
        if not line.startswith("| `"):
            continue
        cells = [c.strip() for c in line.strip().strip("|").split(" | ")]
        names = [n for token in re.findall(r"`([^`]+)`", cells[0]) for n in expand(token)]
        rows.append((names, cells[-1]))
    return rows


def code_marks(src):
    """Map of stand-in file name to (count of KNOWN DIFFERENCE, routines it defines)."""
    marks = {}
    folder = os.path.join(src, "host", "standin")
    for name in sorted(os.listdir(folder)):
        if name.endswith(".cpp"):
            with open(os.path.join(folder, name), encoding="utf-8") as f:
                text = f.read()
            routines = set(re.findall(r'^extern "C" [^(\n]*?(\w+)\(', text, re.M))
            marks[name] = (text.count(MARK), routines)
    return marks


def check_text(text, src):
    problems = []
    rows = doc_rows(text)
    named = {n for names, _ in rows for n in names}
    for routine in allowed_routines(src):
        if routine not in named:
            problems.append("%s (driver/windows/allowed_imports.txt) has no row" % routine)
    for name, (count, routines) in code_marks(src).items():
        notes = sum(1 for names, last in rows if last.startswith(MARK) and routines & set(names))
        if notes != count:
            problems.append("standin/%s has %d %s comment(s), the page %d note(s) for its routines"
                            % (name, count, MARK, notes))
    return problems


def selftest(text, src):
    detach = re.search(r"^\| `IoDetachDevice` .*$", text, re.M).group(0)
    cases = [
        ("routine missing", text.replace(detach + "\n", ""), "IoDetachDevice"),
        ("marker dropped", text.replace("| " + MARK, "| Known difference", 1), "comment(s)"),
        ("note added", text.replace(detach, detach.rsplit("| None. |", 1)[0] + "| %s: x |" % MARK), "iomgr_device.cpp"),
    ]
    failures = 0
    for label, damaged, expected in cases:
        hit = [p for p in check_text(damaged, src) if expected in p]
        print("%s %s: %s" % ("ok  " if hit else "FAIL", label, hit[0] if hit else "not rejected"))
        failures += 0 if hit else 1
    return len(cases), failures


def main(argv=None):
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--source-dir", default=os.path.join(here, os.pardir))
    parser.add_argument("--selftest", action="store_true")
    args = parser.parse_args(argv)
    src = os.path.abspath(args.source_dir)
    with open(os.path.join(src, "docs", "kernel-api.md"), encoding="utf-8") as f:
        text = f.read()
    failures = 0
    if args.selftest:
        _, failures = selftest(text, src)
    problems = check_text(text, src)
    for problem in problems:
        print("docs/kernel-api.md: %s" % problem)
    if not problems:
        print("ok   docs/kernel-api.md: every allowed routine has a row; %d %s notes match the stand-in"
              % (sum(c for c, _ in code_marks(src).values()), MARK))
    return 1 if problems or failures else 0


if __name__ == "__main__":
    sys.exit(main())
