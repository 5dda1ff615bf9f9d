#!/usr/bin/python3
"""Prove that tools/check_image.py rejects bad kernel images.

    check_image_selftest.py CHECKER GOOD_IMAGE SELFTEST_DIR

GOOD_IMAGE is a freshly built tolmu.sys (it must pass). SELFTEST_DIR holds the
images built from tests/image/*.cpp, each with one forbidden import, and
the object list of an object with a global constructor.
Every other bad image is a copy of GOOD_IMAGE with one defect patched in by
pefile (and, except for the checksum cases, a fresh checksum, so that the
patched defect is the only one). Each case must make the checker exit
non-zero with a message naming the problem; the clean cases must pass.
"""
import os
import subprocess
import sys
import tempfile

import pefile

SCN_MEM_WRITE = 0x80000000
SCN_MEM_EXECUTE = 0x20000000


def with_checksum(data):
    pe = pefile.PE(data=data)
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    return pe.write()


def patched(good, patch, fix_checksum=True):
    """Bytes of GOOD with PATCH(pe) applied."""
    pe = pefile.PE(good)
    patch(pe)
    data = bytes(pe.write())
    pe.close()
    return bytes(with_checksum(data)) if fix_checksum else data


def zero_checksum(pe):
    pe.OPTIONAL_HEADER.CheckSum = 0


def wrong_checksum(pe):
    pe.OPTIONAL_HEADER.CheckSum = (pe.generate_checksum() + 1) & 0xFFFFFFFF


def amd64_machine(pe):
    pe.FILE_HEADER.Machine = 0x8664


def windows_gui_subsystem(pe):
    pe.OPTIONAL_HEADER.Subsystem = 2


def vista_subsystem_version(pe):
    pe.OPTIONAL_HEADER.MajorSubsystemVersion = 6
    pe.OPTIONAL_HEADER.MinorSubsystemVersion = 0


def no_relocations(pe):
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    directory.VirtualAddress = 0
    directory.Size = 0


def tls_directory(pe):
    # Point the TLS directory at the start of the first data section: the
    # checker must object to the directory's presence whatever it holds.
    data = next(s for s in pe.sections if s.Characteristics & SCN_MEM_WRITE)
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_TLS"]]
    directory.VirtualAddress = data.VirtualAddress
    directory.Size = 0x18


def no_entry_point(pe):
    pe.OPTIONAL_HEADER.AddressOfEntryPoint = 0


def writable_code(pe):
    code = next(s for s in pe.sections if s.Characteristics & SCN_MEM_EXECUTE)
    code.Characteristics |= SCN_MEM_WRITE


def first_import(pe):
    for entry in pe.DIRECTORY_ENTRY_IMPORT:
        for imp in entry.imports:
            if imp.name:
                return entry, imp
    raise RuntimeError("the good image imports nothing by name")


def import_by_ordinal(pe):
    _, imp = first_import(pe)
    # The thunk's one dword carries four names; pefile writes the structure
    # back from its fields, so every name gets the ordinal value.
    for thunk in (imp.struct_table, imp.struct_iat):
        if thunk is not None:
            for field in ("ForwarderString", "Function", "Ordinal", "AddressOfData"):
                setattr(thunk, field, 0x80000005)


def other_dll_name(pe):
    """Rename an import to a name allowed only from the other DLL."""
    swaps = {b"hal.dll": b"strlen", b"ntoskrnl.exe": b"READ_PORT_ULONG"}
    for entry in pe.DIRECTORY_ENTRY_IMPORT:
        new = swaps.get(entry.dll.lower())
        for imp in entry.imports:
            if new and imp.name and len(imp.name) >= len(new):
                pe.set_bytes_at_offset(imp.name_offset, new + b"\0" * (len(imp.name) - len(new)))
                return
    raise RuntimeError("no import name long enough to swap")


def upper_case_dll_names(pe):
    for entry in pe.DIRECTORY_ENTRY_IMPORT:
        pe.set_bytes_at_rva(entry.struct.Name, entry.dll.upper())


# (case, image source, patch, fix checksum, expected exit is failure, text the output must hold)
# An image source "good+ctor" is the good image checked with the object list
# of the global-constructor object.
CASES = [
    ("good image passes", "good", None, True, False, "image checks passed"),
    ("DLL names in capitals pass", "good", upper_case_dll_names, True, False, "image checks passed"),
    ("forbidden kernel routine", "bad_kernel_import.sys", None, True, True, "imports ZwClose from ntoskrnl.exe"),
    ("user-mode runtime DLL", "bad_runtime_import.sys", None, True, True, "imports from msvcrt.dll"),
    ("checksum not set", "good", zero_checksum, False, True, "checksum is 0 (not set)"),
    ("checksum wrong", "good", wrong_checksum, False, True, "checksum is 0x"),
    ("machine not i386", "good", amd64_machine, True, True, "machine is 0x8664"),
    ("subsystem not native", "good", windows_gui_subsystem, True, True, "subsystem is 2"),
    ("subsystem version after XP", "good", vista_subsystem_version, True, True, "subsystem version is 6.0"),
    ("no base relocations", "good", no_relocations, True, True, "no base relocations"),
    ("TLS directory", "good", tls_directory, True, True, "TLS directory"),
    ("no entry point", "good", no_entry_point, True, True, "entry point is not set"),
    ("writable code", "good", writable_code, True, True, "writable and executable"),
    ("import by ordinal", "good", import_by_ordinal, True, True, "imports ordinal 5"),
    ("routine from the wrong DLL", "good", other_dll_name, True, True, "but it is allowed only from"),
    ("global constructor in an object", "good+ctor", None, True, True, "has section .ctors"),
]


def main(argv):
    if len(argv) != 4:
        print("usage: check_image_selftest.py CHECKER GOOD_IMAGE SELFTEST_DIR", file=sys.stderr)
        return 2
    checker, good, selftest_dir = argv[1:]
    failures = 0
    with tempfile.TemporaryDirectory() as tmp:
        for number, (name, source, patch, fix, should_fail, expected) in enumerate(CASES):
            path = good if source.startswith("good") else os.path.join(selftest_dir, source)
            extra = []
            if source == "good+ctor":
                extra = ["--objects", os.path.join(selftest_dir, "bad_global_constructor-objects.txt")]
            if patch is not None:
                try:
                    data = patched(path, patch, fix)
                except Exception as error:  # a case that cannot be built is a failure too
                    print(f"FAILED  {name}: cannot build the image: {error}")
                    failures += 1
                    continue
                path = os.path.join(tmp, f"case{number}.sys")
                with open(path, "wb") as f:
                    f.write(data)
            run = subprocess.run([sys.executable, checker, path] + extra,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            output = run.stdout.strip()
            ok = (run.returncode != 0) == should_fail and expected in output
            verdict = "ok     " if ok else "FAILED "
            print(f"{verdict} {name}: exit {run.returncode}, expected "
                  f"{'non-zero' if should_fail else '0'} with {expected!r}")
            for line in output.splitlines():
                if not ok or line.startswith("FAIL"):
                    print(f"          | {line}")
            failures += not ok
    print(f"{len(CASES) - failures} of {len(CASES)} image checker cases behave as expected")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
