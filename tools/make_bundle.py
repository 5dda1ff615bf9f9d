#!/usr/bin/python3
"""Build the release bundle: dist/tolmu-<version>/ and dist/tolmu-<version>.zip.

    make_bundle.py --image tolmu.sys --dist DIR [--source-dir DIR]

The version is TOLMU_VERSION of driver/driver.h. The folder holds:

    tolmu.sys      the image, byte for byte
    tolmu.inf      driver/windows/tolmu.inf with CRLF line ends
    tolmu_p2p.inf  driver/windows/tolmu_p2p.inf with CRLF line ends
    README.txt     driver/windows/bundle-readme.txt, @VERSION@ filled in, CRLF
    SHA256SUMS     "<sha256>  <name>" (sha256sum's format, LF) of the four above

The folder is emptied first, so nothing stale is left in it. The zip holds
the same files under tolmu-<version>/, with fixed time stamps (the same
inputs give the same zip).
"""
import argparse
import hashlib
import os
import shutil
import sys
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tolmu_source  # noqa: E402

INFS = ["tolmu.inf", "tolmu_p2p.inf"]
CHECKSUMS = "SHA256SUMS"
# Order of the files in SHA256SUMS and in the zip.
FILES = ["tolmu.sys"] + INFS + ["README.txt"]
ZIP_TIME = (2000, 1, 1, 0, 0, 0)


def crlf(text):
    """Text with every line ending CRLF (and a final line end)."""
    lines = text.replace("\r\n", "\n").split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    return "".join(line + "\r\n" for line in lines).encode("ascii")


def bundle_name(src):
    return "tolmu-%s" % tolmu_source.driver_version(src)


def contents(src, image):
    """{name: bytes} of the bundle's files, SHA256SUMS included."""
    version = tolmu_source.driver_version(src)
    files = {}
    with open(image, "rb") as f:
        files["tolmu.sys"] = f.read()
    for name in INFS:
        with open(os.path.join(src, "driver", "windows", name), encoding="ascii") as f:
            files[name] = crlf(f.read())
    with open(os.path.join(src, "driver", "windows", "bundle-readme.txt"), encoding="ascii") as f:
        files["README.txt"] = crlf(f.read().replace("@VERSION@", version))
    files[CHECKSUMS] = "".join("%s  %s\n" % (hashlib.sha256(files[name]).hexdigest(), name)
                               for name in FILES).encode("ascii")
    return files


def main(argv=None):
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--image", required=True, help="the built tolmu.sys")
    parser.add_argument("--dist", required=True, help="the folder the bundle folder and zip go into")
    parser.add_argument("--source-dir", default=os.path.join(here, os.pardir))
    args = parser.parse_args(argv)

    src = os.path.abspath(args.source_dir)
    name = bundle_name(src)
    files = contents(src, args.image)
    folder = os.path.join(args.dist, name)
    if os.path.isdir(folder):
        shutil.rmtree(folder)
    os.makedirs(folder)
    for file_name, data in files.items():
        with open(os.path.join(folder, file_name), "wb") as f:
            f.write(data)

    zip_path = os.path.join(args.dist, name + ".zip")
    partial = zip_path + ".partial"
    with zipfile.ZipFile(partial, "w", zipfile.ZIP_DEFLATED) as z:
        for file_name in FILES + [CHECKSUMS]:
            info = zipfile.ZipInfo("%s/%s" % (name, file_name), date_time=ZIP_TIME)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            z.writestr(info, files[file_name])
    os.replace(partial, zip_path)
    print("bundle: %s/ and %s (%d files)" % (folder, zip_path, len(files)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
