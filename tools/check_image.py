#!/usr/bin/python3
"""Check that tolmu.sys is a loadable Windows XP x86 kernel-mode driver image.

Run with /usr/bin/python3: Debian's python3-pefile is installed for the
system python only.

    check_image.py IMAGE [--allowed FILE] [--objects LIST] [--quiet]

Checks: i386 machine, PE32, native subsystem for Windows XP, base relocations,
a correct non-zero checksum, an entry point in an executable section, no TLS
directory, sane sections (no writable code, no shared sections, raw data
inside the file), imports only from ntoskrnl.exe and HAL.dll, only by name and
only the names listed for that DLL in driver/windows/allowed_imports.txt, no delay
loads. With --objects (a file naming the image's object files, one a line)
also checks that no object carries global constructors or destructors
(.ctors, .dtors, .init_array, .fini_array): nothing runs them in a kernel
image. Prints a summary and every problem; exits 1 when there is a problem,
2 when the image cannot be read at all.
"""
import argparse
import os
import struct
import sys

import pefile

MACHINE_I386 = 0x14C
SUBSYSTEM_NATIVE = 1
PE32_MAGIC = 0x10B
ALLOWED_DLLS = {"ntoskrnl.exe": "ntoskrnl.exe", "hal.dll": "HAL.dll"}
# Windows XP is version 5.1: an image that asks for a later subsystem version
# is not meant for it.
XP_VERSION = (5, 1)

SCN_CNT_CODE = 0x00000020
SCN_MEM_DISCARDABLE = 0x02000000
SCN_MEM_SHARED = 0x10000000
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_READ = 0x40000000
SCN_MEM_WRITE = 0x80000000

FILE_RELOCS_STRIPPED = 0x0001
FILE_EXECUTABLE_IMAGE = 0x0002


def default_allowed_path():
    here = os.path.dirname(os.path.abspath(__file__))
    return os.path.join(here, os.pardir, "driver", "windows", "allowed_imports.txt")


def read_allowed(path):
    """Map of lower-case DLL name to the set of names allowed from it."""
    allowed = {}
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.split("#", 1)[0].strip()
            if not line:
                continue
            parts = line.split()
            if len(parts) != 2 or parts[0].lower() not in ALLOWED_DLLS:
                raise ValueError(f"{path}:{number}: expected 'ntoskrnl.exe NAME' or 'HAL.dll NAME', got {raw.strip()!r}")
            allowed.setdefault(parts[0].lower(), set()).add(parts[1])
    return allowed


# Object-file sections that only a C runtime's start-up code would process.
STARTUP_SECTIONS = (".ctors", ".dtors", ".init_array", ".fini_array")


def coff_section_names(path):
    """Section names of a COFF object file (long names resolved)."""
    with open(path, "rb") as f:
        data = f.read()
    machine, count, _, symbols_at, symbol_count, optional_size, _ = struct.unpack_from("<HHIIIHH", data, 0)
    strings_at = symbols_at + 18 * symbol_count
    names = []
    for index in range(count):
        raw = data[20 + optional_size + 40 * index:][:8].rstrip(b"\0").decode("ascii", "replace")
        if raw.startswith("/") and raw[1:].isdigit():
            start = strings_at + int(raw[1:])
            raw = data[start:data.index(b"\0", start)].decode("ascii", "replace")
        names.append(raw)
    return names


def section_name(section):
    return section.Name.rstrip(b"\0").decode("ascii", "replace")


def section_flags(ch):
    out = ""
    out += "R" if ch & SCN_MEM_READ else "-"
    out += "W" if ch & SCN_MEM_WRITE else "-"
    out += "X" if ch & SCN_MEM_EXECUTE else "-"
    out += "D" if ch & SCN_MEM_DISCARDABLE else ""
    out += "S" if ch & SCN_MEM_SHARED else ""
    return out


class Checker:
    def __init__(self, path, allowed, quiet, objects=None):
        self.path = path
        self.allowed = allowed
        self.objects = objects
        self.quiet = quiet
        self.problems = []
        self.pe = pefile.PE(path)
        self.size = os.path.getsize(path)

    def fail(self, message):
        self.problems.append(message)

    def say(self, message):
        if not self.quiet:
            print(message)

    def check_headers(self):
        fh = self.pe.FILE_HEADER
        oh = self.pe.OPTIONAL_HEADER
        if fh.Machine != MACHINE_I386:
            self.fail(f"machine is 0x{fh.Machine:x}, expected 0x{MACHINE_I386:x} (i386)")
        if oh.Magic != PE32_MAGIC:
            self.fail(f"optional header magic is 0x{oh.Magic:x}, expected 0x{PE32_MAGIC:x} (PE32)")
        if oh.Subsystem != SUBSYSTEM_NATIVE:
            self.fail(f"subsystem is {oh.Subsystem}, expected {SUBSYSTEM_NATIVE} (native)")
        subsystem_version = (oh.MajorSubsystemVersion, oh.MinorSubsystemVersion)
        if subsystem_version > XP_VERSION:
            self.fail("subsystem version is %d.%d, later than Windows XP's %d.%d" % (subsystem_version + XP_VERSION))
        if not fh.Characteristics & FILE_EXECUTABLE_IMAGE:
            self.fail("file header does not mark an executable image")
        if fh.Characteristics & FILE_RELOCS_STRIPPED:
            self.fail("file header says relocations are stripped")
        if oh.FileAlignment < 0x200 or oh.FileAlignment & (oh.FileAlignment - 1):
            self.fail(f"file alignment 0x{oh.FileAlignment:x} is not a power of two of at least 0x200")
        if oh.SectionAlignment < oh.FileAlignment:
            self.fail(f"section alignment 0x{oh.SectionAlignment:x} is below file alignment 0x{oh.FileAlignment:x}")

    def check_checksum(self):
        stored = self.pe.OPTIONAL_HEADER.CheckSum
        computed = self.pe.generate_checksum()
        if stored == 0:
            self.fail(f"checksum is 0 (not set), expected 0x{computed:08x}")
        elif stored != computed:
            self.fail(f"checksum is 0x{stored:08x}, expected 0x{computed:08x}")

    def data_directory(self, name):
        return self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY[name]]

    def check_relocations(self):
        directory = self.data_directory("IMAGE_DIRECTORY_ENTRY_BASERELOC")
        blocks = getattr(self.pe, "DIRECTORY_ENTRY_BASERELOC", [])
        entries = sum(len(block.entries) for block in blocks)
        if directory.VirtualAddress == 0 or directory.Size == 0 or entries == 0:
            self.fail("no base relocations (the loader must be able to move the image)")
        return entries

    def check_tls(self):
        directory = self.data_directory("IMAGE_DIRECTORY_ENTRY_TLS")
        if directory.VirtualAddress != 0 or directory.Size != 0:
            self.fail("image has a TLS directory (kernel images cannot use thread-local storage)")

    def check_sections(self):
        oh = self.pe.OPTIONAL_HEADER
        previous_end = 0
        for section in self.pe.sections:
            name = section_name(section)
            ch = section.Characteristics
            if ch & SCN_MEM_WRITE and ch & SCN_MEM_EXECUTE:
                self.fail(f"section {name} is both writable and executable")
            if ch & SCN_CNT_CODE and not (ch & SCN_MEM_EXECUTE and ch & SCN_MEM_READ):
                self.fail(f"section {name} holds code but is not readable and executable")
            if ch & SCN_MEM_SHARED:
                self.fail(f"section {name} is shared")
            if section.SizeOfRawData and section.PointerToRawData + section.SizeOfRawData > self.size:
                self.fail(f"section {name} raw data runs past the end of the file")
            if section.VirtualAddress % oh.SectionAlignment:
                self.fail(f"section {name} at 0x{section.VirtualAddress:x} is not aligned to 0x{oh.SectionAlignment:x}")
            if section.VirtualAddress < previous_end:
                self.fail(f"section {name} at 0x{section.VirtualAddress:x} overlaps the section before it")
            previous_end = section.VirtualAddress + max(section.Misc_VirtualSize, section.SizeOfRawData)
        if not self.pe.sections:
            self.fail("image has no sections")

    def check_entry(self):
        entry = self.pe.OPTIONAL_HEADER.AddressOfEntryPoint
        if entry == 0:
            self.fail("entry point is not set")
            return
        section = self.pe.get_section_by_rva(entry)
        if section is None:
            self.fail(f"entry point 0x{entry:x} is outside every section")
        elif not section.Characteristics & SCN_MEM_EXECUTE:
            self.fail(f"entry point 0x{entry:x} is in non-executable section {section_name(section)}")

    def check_imports(self):
        """Returns [(dll, [names])] for the summary."""
        table = []
        for entry in getattr(self.pe, "DIRECTORY_ENTRY_IMPORT", []):
            dll = entry.dll.decode("ascii", "replace")
            key = dll.lower()
            names = []
            if key not in ALLOWED_DLLS:
                self.fail(f"imports from {dll}: only ntoskrnl.exe and HAL.dll are allowed")
            for imp in entry.imports:
                if imp.import_by_ordinal or imp.name is None:
                    self.fail(f"imports ordinal {imp.ordinal} from {dll}: imports must be by name")
                    names.append(f"#{imp.ordinal}")
                    continue
                name = imp.name.decode("ascii", "replace")
                names.append(name)
                if key not in ALLOWED_DLLS:
                    continue
                if name not in self.allowed.get(key, set()):
                    home = [ALLOWED_DLLS[d] for d, allowed in self.allowed.items() if name in allowed]
                    if home:
                        self.fail(f"imports {name} from {dll}, but it is allowed only from {home[0]}")
                    else:
                        self.fail(f"imports {name} from {dll}: not in the allowed import list")
            table.append((dll, names))
        if not table:
            self.fail("image imports nothing (a driver needs at least ntoskrnl.exe)")
        for entry in getattr(self.pe, "DIRECTORY_ENTRY_DELAY_IMPORT", []):
            self.fail(f"delay-loads {entry.dll.decode('ascii', 'replace')}: kernel images cannot delay-load")
        return table

    def check_objects(self):
        """Returns the number of object files checked."""
        with open(self.objects, encoding="utf-8") as f:
            paths = [line.strip() for line in f if line.strip()]
        for path in paths:
            try:
                names = coff_section_names(path)
            except (OSError, struct.error, ValueError) as error:
                self.fail(f"cannot read object {path}: {error}")
                continue
            for name in names:
                if any(name == s or name.startswith(s + ".") for s in STARTUP_SECTIONS):
                    self.fail(f"object {os.path.basename(path)} has section {name}: "
                              "global constructors or destructors never run in a kernel image")
        return len(paths)

    def run(self):
        self.check_headers()
        self.check_checksum()
        relocations = self.check_relocations()
        self.check_tls()
        self.check_sections()
        self.check_entry()
        imports = self.check_imports()
        objects = self.check_objects() if self.objects else None

        oh = self.pe.OPTIONAL_HEADER
        self.say(f"{self.path}: {self.size} bytes, machine 0x{self.pe.FILE_HEADER.Machine:x}, "
                 f"subsystem {oh.Subsystem} ({oh.MajorSubsystemVersion}.{oh.MinorSubsystemVersion}), "
                 f"image base 0x{oh.ImageBase:x}, entry 0x{oh.AddressOfEntryPoint:x}, "
                 f"checksum 0x{oh.CheckSum:08x}, {relocations} relocations")
        for section in self.pe.sections:
            self.say(f"  section {section_name(section):8} rva 0x{section.VirtualAddress:05x} "
                     f"size 0x{section.Misc_VirtualSize:05x} raw 0x{section.SizeOfRawData:05x} "
                     f"{section_flags(section.Characteristics)}")
        for dll, names in imports:
            self.say(f"  imports from {dll} ({len(names)}): {' '.join(sorted(names))}")
        if objects is not None:
            self.say(f"  {objects} object files checked for global constructors")
        for problem in self.problems:
            print(f"FAIL: {problem}")
        if self.problems:
            print(f"{self.path}: {len(self.problems)} problem(s)")
            return 1
        self.say(f"{self.path}: image checks passed")
        return 0


def main(argv):
    parser = argparse.ArgumentParser(description="Check a tolmu.sys kernel image.")
    parser.add_argument("image")
    parser.add_argument("--allowed", default=default_allowed_path(),
                        help="allowed import list (default: driver/windows/allowed_imports.txt)")
    parser.add_argument("--objects", help="file listing the image's object files, one a line")
    parser.add_argument("--quiet", action="store_true", help="print only problems")
    args = parser.parse_args(argv[1:])
    try:
        allowed = read_allowed(args.allowed)
    except (OSError, ValueError) as error:
        print(f"FAIL: allowed import list: {error}")
        return 2
    try:
        checker = Checker(args.image, allowed, args.quiet, args.objects)
    except (OSError, pefile.PEFormatError) as error:
        print(f"FAIL: {args.image}: cannot read the image: {error}")
        return 2
    return checker.run()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
