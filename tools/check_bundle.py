#!/usr/bin/python3
"""Check the release bundle that tools/make_bundle.py built.

    check_bundle.py --dist DIR --image tolmu.sys [--source-dir DIR]
    check_bundle.py --selftest --dist DIR --image tolmu.sys [--source-dir DIR]

Checks, independently of how the bundle was made:
  - DIR/tolmu-<TOLMU_VERSION>/ exists and holds exactly tolmu.sys, tolmu.inf,
    tolmu_p2p.inf, README.txt and SHA256SUMS;
  - tolmu.sys is the built image byte for byte;
  - each INF is its driver/windows/ source with CRLF line ends, and passes
    tools/inf_check.py as it stands in the bundle;
  - README.txt is 7-bit text with CRLF line ends only and names the version;
  - SHA256SUMS has one "<64 hex>  <name>" line (LF) for each other file, and
    every sum matches the file;
  - DIR/tolmu-<version>.zip holds the same five files, byte for byte, under
    tolmu-<version>/ and nothing else.
Prints each problem; exits 1 when there is one. --selftest instead damages
copies of the bundle one way at a time and checks that each damage is
reported (and that the undamaged copy passes).
"""
import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tolmu_source  # noqa: E402

EXPECTED = ["tolmu.sys", "tolmu.inf", "tolmu_p2p.inf", "README.txt", "SHA256SUMS"]
INFS = ["tolmu.inf", "tolmu_p2p.inf"]


def check(dist, image, src):
    problems = []
    version = tolmu_source.driver_version(src)
    name = "tolmu-%s" % version
    folder = os.path.join(dist, name)
    if not os.path.isdir(folder):
        return ["%s: no bundle folder for version %s" % (folder, version)]
    present = sorted(os.listdir(folder))
    if present != sorted(EXPECTED):
        problems.append("%s: holds %s, expected %s" % (folder, present, sorted(EXPECTED)))
    files = {}
    for file_name in present:
        with open(os.path.join(folder, file_name), "rb") as f:
            files[file_name] = f.read()

    with open(image, "rb") as f:
        if files.get("tolmu.sys") != f.read():
            problems.append("tolmu.sys differs from the built image %s" % image)

    for inf in INFS:
        with open(os.path.join(src, "driver", "windows", inf), "rb") as f:
            wanted = f.read().replace(b"\n", b"\r\n")
        if files.get(inf) != wanted:
            problems.append("%s is not driver/windows/%s with CRLF line ends" % (inf, inf))
    if all(inf in files for inf in INFS):
        result = subprocess.run([sys.executable, os.path.join(src, "tools", "inf_check.py"), "--quiet",
                                 "--source-dir", src] + [os.path.join(folder, inf) for inf in INFS],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if result.returncode != 0:
            problems.append("the bundled INF files do not pass inf_check.py:\n" + result.stdout.rstrip())

    readme = files.get("README.txt", b"")
    if not readme:
        problems.append("README.txt is missing or empty")
    elif re.search(rb"(?<!\r)\n|\r(?!\n)", readme) or not readme.endswith(b"\r\n"):
        problems.append("README.txt has line ends that are not CRLF")
    if readme and any(b > 126 or (b < 32 and b not in (9, 10, 13)) for b in readme):
        problems.append("README.txt is not 7-bit text")
    if readme and ("Tolmu %s" % version).encode() not in readme:
        problems.append("README.txt does not name Tolmu %s" % version)

    sums = files.get("SHA256SUMS", b"")
    listed = []
    for number, line in enumerate(sums.split(b"\n")[:-1] if sums.endswith(b"\n") else sums.split(b"\n"), 1):
        m = re.fullmatch(rb"([0-9a-f]{64})  ([A-Za-z0-9_.]+)", line)
        if not m:
            problems.append("SHA256SUMS line %d is not '<sha256>  <name>': %r" % (number, line))
            continue
        file_name = m.group(2).decode()
        listed.append(file_name)
        if file_name not in files or file_name == "SHA256SUMS":
            problems.append("SHA256SUMS lists %s, which is not a file of the bundle" % file_name)
        elif hashlib.sha256(files[file_name]).hexdigest() != m.group(1).decode():
            problems.append("SHA256SUMS: the sum of %s does not match the file" % file_name)
    if sorted(listed) != sorted(set(EXPECTED) - {"SHA256SUMS"}):
        problems.append("SHA256SUMS covers %s, expected each of %s once"
                        % (sorted(listed), sorted(set(EXPECTED) - {"SHA256SUMS"})))

    zip_path = os.path.join(dist, name + ".zip")
    try:
        with zipfile.ZipFile(zip_path) as z:
            bad = z.testzip()
            if bad:
                problems.append("%s: %s is damaged" % (zip_path, bad))
            names = sorted(z.namelist())
            if names != sorted("%s/%s" % (name, f) for f in EXPECTED):
                problems.append("%s holds %s" % (zip_path, names))
            for file_name in EXPECTED:
                member = "%s/%s" % (name, file_name)
                if member in names and file_name in files and z.read(member) != files[file_name]:
                    problems.append("%s: %s differs from the folder's" % (zip_path, member))
    except (OSError, zipfile.BadZipFile) as e:
        problems.append("%s: %s" % (zip_path, e))
    return problems


def _edit_file(path, change):
    with open(path, "rb") as f:
        data = f.read()
    with open(path, "wb") as f:
        f.write(change(data))


def _rezip(zip_path, change):
    """Rewrite a zip with change(name, data) -> data or None (dropped)."""
    with zipfile.ZipFile(zip_path) as z:
        members = [(n, z.read(n)) for n in z.namelist()]
    with zipfile.ZipFile(zip_path, "w") as z:
        for n, data in members:
            data = change(n, data)
            if data is not None:
                z.writestr(n, data)


def selftest(dist, image, src):
    name = "tolmu-%s" % tolmu_source.driver_version(src)

    def in_folder(file_name, change):
        return lambda d: _edit_file(os.path.join(d, name, file_name), change)

    def flip_last(data):
        return data[:-1] + bytes([data[-1] ^ 1])

    cases = [
        ("image changed after the sums", in_folder("tolmu.sys", flip_last), "SHA256SUMS: the sum of tolmu.sys"),
        ("README with LF line ends", in_folder("README.txt", lambda b: b.replace(b"\r\n", b"\n")), "CRLF"),
        ("INF with LF line ends", in_folder("tolmu.inf", lambda b: b.replace(b"\r\n", b"\n")), "CRLF"),
        ("INF that no longer passes the linter",
         in_folder("tolmu_p2p.inf", lambda b: b.replace(b"HKR,Parameters,Io,0x00010001,0x00000300",
                                                        b"HKR,Parameters,Io,0x00010001,0x00000400")),
         "inf_check"),
        ("sum line missing", in_folder("SHA256SUMS", lambda b: b"".join(b.splitlines(True)[1:])), "SHA256SUMS covers"),
        ("sum line malformed", in_folder("SHA256SUMS", lambda b: b.replace(b"  ", b" ", 1)), "is not '<sha256>"),
        ("extra file", lambda d: open(os.path.join(d, name, "notes.txt"), "w").close(), "holds"),
        ("file missing", lambda d: os.remove(os.path.join(d, name, "README.txt")), "holds"),
        ("zip member changed", lambda d: _rezip(os.path.join(d, name + ".zip"),
                                                lambda n, b: flip_last(b) if n.endswith("tolmu.sys") else b),
         "differs from the folder's"),
        ("zip member missing", lambda d: _rezip(os.path.join(d, name + ".zip"),
                                                lambda n, b: None if n.endswith(".inf") else b), ".zip holds"),
        ("folder of another version", lambda d: os.rename(os.path.join(d, name), os.path.join(d, "tolmu-0.0")),
         "no bundle folder"),
    ]
    failures = 0
    with tempfile.TemporaryDirectory(prefix="bundle-selftest-") as top:
        def fresh(label):
            copy = os.path.join(top, label)
            shutil.copytree(os.path.join(dist, name), os.path.join(copy, name))
            shutil.copyfile(os.path.join(dist, name + ".zip"), os.path.join(copy, name + ".zip"))
            return copy
        problems = check(fresh("clean"), image, src)
        if problems:
            print("FAIL clean copy:\n  " + "\n  ".join(problems))
            failures += 1
        else:
            print("ok   clean copy passes")
        for number, (label, damage, expected) in enumerate(cases):
            copy = fresh("case%02d" % number)
            damage(copy)
            problems = check(copy, image, src)
            hit = [p for p in problems if expected in p]
            if hit:
                print("ok   %s: %s" % (label, hit[0].splitlines()[0]))
            else:
                print("FAIL %s: expected a problem with %r, got %s" % (label, expected, problems))
                failures += 1
    print("%d passed, %d failed" % (len(cases) + 1 - failures, failures))
    return 1 if failures else 0


def main(argv=None):
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dist", required=True)
    parser.add_argument("--image", required=True)
    parser.add_argument("--source-dir", default=os.path.join(here, os.pardir))
    parser.add_argument("--selftest", action="store_true")
    args = parser.parse_args(argv)
    src = os.path.abspath(args.source_dir)
    if args.selftest:
        return selftest(args.dist, args.image, src)
    problems = check(args.dist, args.image, src)
    for problem in problems:
        print(problem)
    if not problems:
        print("bundle tolmu-%s: %d files and the zip check out" % (tolmu_source.driver_version(src), len(EXPECTED)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
