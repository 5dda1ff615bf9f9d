#!/usr/bin/python3
"""Write the PE checksum of a kernel image in place.

The GNU linker leaves the optional header's CheckSum at 0; Windows refuses to
load a driver whose checksum is missing or wrong, so the build writes it right
after the link. Run with /usr/bin/python3 (Debian's python3-pefile).
"""
import sys

import pefile


def main(argv):
    if len(argv) != 2:
        print("usage: set_checksum.py IMAGE", file=sys.stderr)
        return 2
    path = argv[1]
    pe = pefile.PE(path)
    old = pe.OPTIONAL_HEADER.CheckSum
    new = pe.generate_checksum()
    if old != new:
        pe.OPTIONAL_HEADER.CheckSum = new
        data = pe.write()
        pe.close()
        with open(path, "wb") as f:
            f.write(data)
    else:
        pe.close()
    print(f"{path}: checksum 0x{new:08x}" + ("" if old != new else " (unchanged)"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
