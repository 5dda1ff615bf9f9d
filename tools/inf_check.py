#!/usr/bin/python3
"""Check Tolmu's INF files: a small INF linter, and the checks that tie the
INF files to the driver's sources and to driver/windows/hardware_ids.txt.

Debian keeps no INF parser, so the reader here is our own. It reads INF text
the way Windows Setup does as far as these rules need: [sections] (names
compared without regard to case), ';' comments outside quotes, lines
continued by a trailing backslash, "key = value" entries, comma-separated
fields with "quoted" text (a doubled quote stands for one), %string% tokens
(%% is a percent sign, %NN% a directory id).

    inf_check.py [--source-dir DIR] [--ids FILE] [--pci-ids FILE] [--quiet] INF...
    inf_check.py --update [--ids FILE] INF...

The first form checks every INF given and, across them, the hardware id list.
Each problem is printed as  FILE:LINE: RULE: text ; the exit status is 0
without problems, 1 with problems, 2 when a file or the driver source cannot
be read. --update rewrites the generated lines (between the markers
"; generated from hardware_ids.txt: begin" and ": end") of the model section
and [Strings] of each INF from the list, then checks as usual.

Rules of the linter (any INF):
  E-SYNTAX     text outside a section, a bad section header, an unterminated
               quote or %token%, a line continued at the end of the file
  E-ENCODING   a character that is not 7-bit ASCII (the files are read as
               ANSI text by Windows XP Setup)
  E-DUPSECTION a section defined twice
  E-VERSION    [Version] without Signature "$Windows NT$" (or "$Chicago$"),
               Class, a ClassGUID {8-4-4-4-12}, Provider, or a DriverVer of
               mm/dd/yyyy,w.x.y.z
  E-STRING     a %token% used outside [Strings] and not defined there (all-digit
               tokens are directory ids and need no definition)
  E-MODELS     [Manufacturer] missing or empty; a models section it names (with
               each of its TargetOS decorations) missing; a model line without
               an install section or hardware id, with a hardware id that is not
               PCI\\VEN_xxxx&DEV_xxxx, or with a hardware id listed twice; an
               install section that exists in none of its x86 forms (.NTx86,
               .NT, undecorated, in the order Setup tries them)
  E-INSTALL    an install section without its .Services section
  E-REF        a CopyFiles, AddReg, DelReg, BitReg, DelFiles, RenFiles,
               LogConfig, UpdateInis, UpdateIniFields, Ini2Reg, RegisterDlls,
               UnregisterDlls or ProfileItems entry, or an AddService install or
               event-log section, that names a section not in the file
  E-NEEDS      Needs without Include in the same section; Include of an INF
               that is not one of the system INF files known below, or without
               Needs; a Needs section that the included system INF files do not
               have; an install section, its .HW or its .Services whose Needs
               do not match (X, X.HW, X.Services of the same system section X)
  E-FILES      a copied file not in SourceDisksFiles[.x86]; a SourceDisksFiles
               entry on a disk SourceDisksNames[.x86] does not define, or that
               nothing copies; a CopyFiles section with no DestinationDirs entry
               and no DefaultDestDir; a DestinationDirs entry naming a section
               that is missing or is no CopyFiles section
  E-SERVICE    a service install section without ServiceType, StartType,
               ErrorControl or ServiceBinary, with a value out of range, or
               whose ServiceBinary is not a file the INF copies to that directory
  E-ADDREG     an AddReg line with an unknown root key, non-numeric flags, or a
               REG_DWORD value that is not a 32-bit number
  E-UNUSED     a section that nothing refers to

Rules tying the INF files to Tolmu (read from the driver's sources by
tools/tolmu_source.py, never restated here):
  T-KIND       an INF that includes neither pcmcia.inf nor machine.inf, both,
               or whose Class is not that of its controllers (PCMCIA for
               CardBus controllers, System for PCI-to-PCI bridges)
  T-SERVICE    each .Services section must add exactly one service, the
               driver's (the first key of TOLMU_PARAMETERS_PATH), as a filter
               (without flag 0x2: the controller's function driver comes from
               the system INF), with ServiceType 1, StartType 3, ErrorControl 1
               and ServiceBinary %12%\\<service>.sys
  T-FILTER     each .HW section must add HKR,,"UpperFilters",0x00010000,
               "<service>" and nothing else
  T-PARAMS     the service install section must write, under the second key of
               TOLMU_PARAMETERS_PATH, exactly the values of ConfigRows in
               driver/config.cpp, each REG_DWORD (0x00010001) with the table's
               default, and nothing else
  T-VERSION    DriverVer must start with TOLMU_VERSION of driver/driver.h
  T-IDS        the hardware ids of each INF's models must be exactly the ids of
               driver/windows/hardware_ids.txt of the INF's kind, each with the
               list's name followed by " (Tolmu)"

Rules for driver/windows/hardware_ids.txt:
  H-FORMAT     a line that is not "PCI\\VEN_xxxx&DEV_xxxx KIND TEXT" with KIND
               cardbus, bridge or none and a TEXT; an id listed twice
  H-KNOWN      a cardbus or bridge id that the driver's tables do not name and
               that is not a CardBus controller (by its pci.ids name) of a
               vendor whose every controller the start sequence adjusts
  H-COVER      a vendor/device pair of the driver's tables missing from the list
"""
import argparse
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tolmu_source  # noqa: E402

# The system INF files Tolmu's INF files include, and the section of each
# whose install, .HW and .Services parts they need. Microsoft's documentation
# describes Include/Needs but does not list the sections of Windows XP's
# pcmcia.inf and machine.inf: these are the names the INF files are written
# against, and docs/user-guide.md ("Before you install") shows the user how to
# check them in the files on the machine before installing.
SYSTEM_INFS = {
    "pcmcia.inf": {"kind": "cardbus", "section": "PCMCIA"},
    "machine.inf": {"kind": "bridge", "section": "PCI_DRV"},
}
KIND_CLASS = {
    "cardbus": ("PCMCIA", "{4D36E977-E325-11CE-BFC1-08002BE10318}"),
    "bridge": ("System", "{4D36E97D-E325-11CE-BFC1-08002BE10318}"),
}
SECTION_DIRECTIVES = {
    "copyfiles", "addreg", "delreg", "bitreg", "delfiles", "renfiles", "logconfig", "updateinis",
    "updateinifields", "ini2reg", "registerdlls", "unregisterdlls", "profileitems",
}
REG_ROOTS = {"HKR", "HKCR", "HKCU", "HKLM", "HKU"}
FLG_ADDREG_TYPE_MASK = 0xFFFF0001
FLG_ADDREG_TYPE_MULTI_SZ = 0x00010000
FLG_ADDREG_TYPE_DWORD = 0x00010001
SPSVCINST_ASSOCSERVICE = 0x2
X86_DECORATIONS = (".ntx86", ".nt", "")
GENERATED_BEGIN = "; generated from hardware_ids.txt: begin"
GENERATED_END = "; generated from hardware_ids.txt: end"
HWID_RE = re.compile(r"PCI\\VEN_([0-9A-F]{4})&DEV_([0-9A-F]{4})")
# Names pci.ids gives CardBus controllers (ToPIC is Toshiba's CardBus family).
CARDBUS_NAME_RE = re.compile(r"cardbus (controller|bridge)|to cardbus bridge|\btopic", re.I)


class Line:
    def __init__(self, number, key, value, fields, text):
        self.number = number  # physical line of the entry's first line
        self.key = key        # text before '=' (unquoted), or None
        self.value = value    # text after '=' (or the whole entry), comment removed
        self.fields = fields  # value split at commas, each stripped and unquoted
        self.text = text      # the entry without its comment


class Section:
    def __init__(self, name, number):
        self.name = name
        self.number = number
        self.lines = []

    def entries(self, key):
        return [line for line in self.lines if line.key is not None and line.key.lower() == key.lower()]

    def first(self, key):
        found = self.entries(key)
        return found[0] if found else None


class Problems:
    def __init__(self):
        self.items = []

    def add(self, path, number, rule, text):
        self.items.append((path, number, rule, text))

    def __len__(self):
        return len(self.items)

    def print(self, out=sys.stdout):
        for path, number, rule, text in self.items:
            where = "%s:%d" % (path, number) if number else path
            print("%s: %s: %s" % (where, rule, text), file=out)


def _split_comment(text):
    """(text without its comment, True when a quote is left open)."""
    quoted = False
    for i, c in enumerate(text):
        if c == '"':
            quoted = not quoted
        elif c == ";" and not quoted:
            return text[:i], False
    return text, quoted


def _split_fields(value):
    fields = []
    current = []
    quoted = False
    for c in value:
        if c == '"':
            quoted = not quoted
            current.append(c)
        elif c == "," and not quoted:
            fields.append("".join(current))
            current = []
        else:
            current.append(c)
    fields.append("".join(current))
    return [_unquote(f.strip()) for f in fields]


def _unquote(field):
    if len(field) >= 2 and field[0] == '"' and field[-1] == '"':
        return field[1:-1].replace('""', '"')
    return field


def _split_key(text):
    quoted = False
    for i, c in enumerate(text):
        if c == '"':
            quoted = not quoted
        elif c == "=" and not quoted:
            return _unquote(text[:i].strip()), text[i + 1:].strip()
    return None, text.strip()


def _tokens(text):
    """[(token, ok)] of the %tokens% of a text; ok False for an unterminated one."""
    found = []
    i = 0
    while True:
        i = text.find("%", i)
        if i < 0:
            return found
        if text.startswith("%%", i):
            i += 2
            continue
        j = text.find("%", i + 1)
        if j < 0:
            found.append((text[i + 1:], False))
            return found
        found.append((text[i + 1:j], True))
        i = j + 1


class Inf:
    def __init__(self, path, text, problems):
        self.path = path
        self.problems = problems
        self.sections = {}
        self.order = []
        self._parse(text)
        self.strings = {}
        strings = self.section("Strings")
        if strings:
            for line in strings.lines:
                if line.key is not None:
                    self.strings[line.key.lower()] = line.fields[0] if line.fields else ""

    def _parse(self, text):
        for number, raw in enumerate(text.splitlines(), 1):
            if any(ord(c) > 126 or (ord(c) < 32 and c != "\t") for c in raw):
                self.problems.add(self.path, number, "E-ENCODING", "character that is not 7-bit ASCII text")
        lines = text.splitlines()
        current = None
        i = 0
        while i < len(lines):
            number = i + 1
            body, open_quote = _split_comment(lines[i])
            # A trailing backslash continues the entry on the next line.
            while body.rstrip().endswith("\\") and not open_quote:
                if i + 1 >= len(lines):
                    self.problems.add(self.path, number, "E-SYNTAX", "line continued at the end of the file")
                    break
                i += 1
                more, open_quote = _split_comment(lines[i])
                body = body.rstrip()[:-1] + more
            i += 1
            if open_quote:
                self.problems.add(self.path, number, "E-SYNTAX", "unterminated quote")
            stripped = body.strip()
            if not stripped:
                continue
            if stripped.startswith("["):
                if not stripped.endswith("]") or not stripped[1:-1].strip():
                    self.problems.add(self.path, number, "E-SYNTAX", "bad section header %r" % stripped)
                    current = None
                    continue
                name = stripped[1:-1].strip()
                if name.lower() in self.sections:
                    self.problems.add(self.path, number, "E-DUPSECTION",
                                      "[%s] already defined at line %d" % (name, self.sections[name.lower()].number))
                    current = self.sections[name.lower()]
                    continue
                current = Section(name, number)
                self.sections[name.lower()] = current
                self.order.append(current)
                continue
            if current is None:
                self.problems.add(self.path, number, "E-SYNTAX", "text outside any section")
                continue
            key, value = _split_key(stripped)
            current.lines.append(Line(number, key, value, _split_fields(value), stripped))

    def section(self, name):
        return self.sections.get(name.lower())

    def decorated(self, base):
        """The x86 form of a section that Setup would use, or None."""
        for decoration in X86_DECORATIONS:
            found = self.section(base + decoration)
            if found:
                return found
        return None

    def expand(self, text):
        """Text with its %string% tokens replaced (directory ids kept)."""
        def replace(m):
            token = m.group(1)
            if token == "":
                return "%"
            if token.isdigit():
                return m.group(0)
            return self.strings.get(token.lower(), m.group(0))
        return re.sub(r"%([^%]*)%", replace, text)


def _number(text):
    text = text.strip()
    if re.fullmatch(r"0[xX][0-9A-Fa-f]+|[0-9]+", text):
        return int(text, 0)
    return None


# ---------------------------------------------------------------------------
# The linter


class Linter:
    def __init__(self, inf):
        self.inf = inf
        self.p = inf.problems
        self.used = set()  # lower-case names of the sections something refers to
        self.install_sections = []  # (DDInstall Section, models line)
        self.copy_sections = []  # CopyFiles sections referenced
        self.service_sections = []  # (AddService line, service install Section)

    def problem(self, number, rule, text):
        self.p.add(self.inf.path, number, rule, text)

    def use(self, section):
        self.used.add(section.name.lower())

    def run(self):
        self.version()
        self.strings()
        self.models()
        for section, _ in self.install_sections:
            self.install(section)
        self.files()
        self.unused()

    def version(self):
        version = self.inf.section("Version")
        if version is None:
            self.problem(0, "E-VERSION", "no [Version] section")
            return
        self.use(version)
        signature = version.first("Signature")
        if signature is None or signature.fields[0].lower() not in ("$windows nt$", "$chicago$"):
            self.problem(version.number, "E-VERSION", 'Signature must be "$Windows NT$"')
        for key in ("Class", "Provider"):
            if version.first(key) is None or not version.first(key).fields[0]:
                self.problem(version.number, "E-VERSION", "no %s" % key)
        guid = version.first("ClassGUID")
        if guid is None or not re.fullmatch(r"\{[0-9A-Fa-f]{8}(-[0-9A-Fa-f]{4}){3}-[0-9A-Fa-f]{12}\}", guid.fields[0]):
            self.problem(guid.number if guid else version.number, "E-VERSION", "no ClassGUID {8-4-4-4-12}")
        driver_ver = version.first("DriverVer")
        if driver_ver is None or len(driver_ver.fields) != 2 or \
                not re.fullmatch(r"(0[1-9]|1[0-2])/(0[1-9]|[12][0-9]|3[01])/[0-9]{4}", driver_ver.fields[0]) or \
                not re.fullmatch(r"[0-9]+(\.[0-9]+){3}", driver_ver.fields[1]):
            self.problem(driver_ver.number if driver_ver else version.number, "E-VERSION",
                         "DriverVer must be mm/dd/yyyy,w.x.y.z")

    def strings(self):
        strings = self.inf.section("Strings")
        if strings:
            self.use(strings)
        for section in self.inf.order:
            if section.name.lower().startswith("strings"):
                continue
            for line in section.lines:
                for token, ok in _tokens(line.text):
                    if not ok:
                        self.problem(line.number, "E-SYNTAX", "unterminated %%%s" % token)
                    elif token and not token.isdigit() and token.lower() not in self.inf.strings:
                        self.problem(line.number, "E-STRING", "%%%s%% is not defined in [Strings]" % token)

    def models(self):
        manufacturer = self.inf.section("Manufacturer")
        if manufacturer is None or not manufacturer.lines:
            self.problem(manufacturer.number if manufacturer else 0, "E-MODELS", "no [Manufacturer] entries")
            return
        self.use(manufacturer)
        for entry in manufacturer.lines:
            base = entry.fields[0]
            decorations = [d for d in entry.fields[1:] if d]
            names = [base + "." + d for d in decorations] if decorations else [base]
            for name in names:
                models = self.inf.section(name)
                if models is None:
                    self.problem(entry.number, "E-MODELS", "models section [%s] is missing" % name)
                    continue
                self.use(models)
                self.model_lines(models)

    def model_lines(self, models):
        seen = {}
        for line in models.lines:
            if line.key is None or len(line.fields) < 2 or not line.fields[0] or not line.fields[1]:
                self.problem(line.number, "E-MODELS", "a model line is 'description = install-section, hardware-id'")
                continue
            for hwid in line.fields[1:]:
                if not HWID_RE.fullmatch(hwid.upper()):
                    self.problem(line.number, "E-MODELS", "hardware id %r is not PCI\\VEN_xxxx&DEV_xxxx" % hwid)
                key = hwid.upper()
                if key in seen:
                    self.problem(line.number, "E-MODELS", "%s already listed at line %d" % (hwid, seen[key]))
                seen.setdefault(key, line.number)
            install = self.inf.decorated(line.fields[0])
            if install is None:
                self.problem(line.number, "E-MODELS", "install section [%s] (.NTx86, .NT or undecorated) is missing"
                             % line.fields[0])
                continue
            if install.name.lower() not in (s.name.lower() for s, _ in self.install_sections):
                self.install_sections.append((install, line))

    def install(self, section):
        self.use(section)
        hw = self.inf.section(section.name + ".HW")
        services = self.inf.section(section.name + ".Services")
        if services is None:
            self.problem(section.number, "E-INSTALL", "[%s.Services] is missing" % section.name)
        for part in (section, hw, services):
            if part is None:
                continue
            self.use(part)
            self.directives(part)
        # The three parts need the matching parts of the same system section.
        needs = [self.needs(part) for part in (section, hw, services)]
        if needs[0]:
            for part, got, suffix in ((hw, needs[1], ".HW"), (services, needs[2], ".Services")):
                if part is None:
                    continue
                wanted = {n + suffix.lower() for n in needs[0]}
                if got != wanted:
                    self.problem(part.number, "E-NEEDS", "[%s] needs %s; with its install section needing %s "
                                 "it must need %s" % (part.name, ", ".join(sorted(got)) or "nothing",
                                                      ", ".join(sorted(needs[0])), ", ".join(sorted(wanted))))

    def needs(self, section):
        """Lower-case set of the sections a section Needs."""
        found = set()
        if section is None:
            return found
        for line in section.entries("Needs"):
            found.update(f.lower() for f in line.fields if f)
        return found

    def directives(self, section):
        includes = [f.lower() for line in section.entries("Include") for f in line.fields if f]
        needs = section.entries("Needs")
        if needs and not includes:
            self.problem(needs[0].number, "E-NEEDS", "[%s] has Needs without Include" % section.name)
        if includes and not needs:
            self.problem(section.entries("Include")[0].number, "E-NEEDS",
                         "[%s] has Include without Needs" % section.name)
        for line in section.entries("Include"):
            for name in line.fields:
                if name.lower() not in SYSTEM_INFS:
                    self.problem(line.number, "E-NEEDS", "Include of %s, not a system INF this check knows" % name)
        known = set()
        for name in includes:
            if name in SYSTEM_INFS:
                base = SYSTEM_INFS[name]["section"].lower()
                known.update({base, base + ".hw", base + ".services"})
        for line in needs:
            for name in line.fields:
                if name and includes and name.lower() not in known:
                    self.problem(line.number, "E-NEEDS", "%s is not a section of %s" % (name, ", ".join(includes)))
        for line in section.lines:
            if line.key is None:
                continue
            key = line.key.lower()
            if key in SECTION_DIRECTIVES:
                for name in line.fields:
                    if not name or (key == "copyfiles" and name.startswith("@")):
                        continue
                    self.reference(line, name, key)
            elif key == "addservice":
                self.add_service(line)

    def reference(self, line, name, key):
        target = self.inf.section(name)
        if target is None:
            self.problem(line.number, "E-REF", "%s names [%s], which is missing" % (line.key, name))
            return None
        self.use(target)
        if key == "copyfiles" and target not in self.copy_sections:
            self.copy_sections.append(target)
        if key == "addreg":
            self.add_reg(target)
        return target

    def add_service(self, line):
        fields = line.fields + [""] * 4
        if not fields[0]:
            self.problem(line.number, "E-REF", "AddService without a service name")
        if fields[1] and _number(fields[1]) is None:
            self.problem(line.number, "E-REF", "AddService flags %r are not a number" % fields[1])
        if not fields[2]:
            self.problem(line.number, "E-REF", "AddService without a service install section")
            return
        target = self.reference(line, fields[2], "addservice")
        if fields[3]:
            self.reference(line, fields[3], "addservice")
        if target is None:
            return
        self.service_sections.append((line, target))
        for other in target.lines:
            if other.key is not None and other.key.lower() in SECTION_DIRECTIVES:
                for name in other.fields:
                    if name:
                        self.reference(other, name, other.key.lower())

    def add_reg(self, section):
        for line in section.lines:
            fields = line.fields + [""] * 5
            if fields[0].upper() not in REG_ROOTS:
                self.problem(line.number, "E-ADDREG", "root %r is none of %s" % (fields[0], ", ".join(sorted(REG_ROOTS))))
            flags = _number(fields[3]) if fields[3] else 0
            if flags is None:
                self.problem(line.number, "E-ADDREG", "flags %r are not a number" % fields[3])
                continue
            if flags & FLG_ADDREG_TYPE_MASK == FLG_ADDREG_TYPE_DWORD:
                value = _number(self.inf.expand(fields[4]))
                if value is None or value > 0xFFFFFFFF:
                    self.problem(line.number, "E-ADDREG", "REG_DWORD value %r is not a 32-bit number" % fields[4])

    def destination(self, copy_section):
        dirs = self.inf.section("DestinationDirs")
        if dirs is None:
            return None
        self.use(dirs)
        entry = dirs.first(copy_section.name) or dirs.first("DefaultDestDir")
        return entry.fields[0] if entry and entry.fields else None

    def files(self):
        disks = self.inf.section("SourceDisksNames.x86") or self.inf.section("SourceDisksNames")
        sources = self.inf.section("SourceDisksFiles.x86") or self.inf.section("SourceDisksFiles")
        for section in (disks, sources):
            if section:
                self.use(section)
        disk_ids = {line.key for line in disks.lines if line.key is not None} if disks else set()
        source_files = {}
        if sources:
            for line in sources.lines:
                name = (line.key if line.key is not None else line.fields[0]).lower()
                source_files[name] = line
                if line.key is None or not line.fields or line.fields[0] not in disk_ids:
                    self.problem(line.number, "E-FILES", "%s is on a disk [SourceDisksNames] does not define"
                                 % (line.key or line.fields[0]))
        copied = {}  # lower file name -> destination dirid
        for section in self.copy_sections:
            destination = self.destination(section)
            if destination is None:
                self.problem(section.number, "E-FILES", "[%s] has no DestinationDirs entry and there is no "
                             "DefaultDestDir" % section.name)
            for line in section.lines:
                target = line.fields[0]
                source = line.fields[1] if len(line.fields) > 1 and line.fields[1] else target
                copied[target.lower()] = destination
                if source.lower() not in source_files:
                    self.problem(line.number, "E-FILES", "%s is not in [SourceDisksFiles]" % source)
        dirs = self.inf.section("DestinationDirs")
        copy_names = {section.name.lower() for section in self.copy_sections}
        for line in dirs.lines if dirs else []:
            if line.key is not None and line.key.lower() != "defaultdestdir" and line.key.lower() not in copy_names:
                self.problem(line.number, "E-FILES", "DestinationDirs names [%s], which is %s" % (
                    line.key, "no CopyFiles section" if self.inf.section(line.key) else "missing"))
        for name, line in source_files.items():
            if name not in copied:
                self.problem(line.number, "E-FILES", "%s is in [SourceDisksFiles] but nothing copies it" % name)
        for line, section in self.service_sections:
            self.service(section, copied)

    def service(self, section, copied):
        values = {}
        for key, low, high in (("ServiceType", 1, 0x20), ("StartType", 0, 4), ("ErrorControl", 0, 3)):
            entry = section.first(key)
            value = _number(self.inf.expand(entry.fields[0])) if entry and entry.fields else None
            if value is None or not low <= value <= high:
                self.problem(entry.number if entry else section.number, "E-SERVICE",
                             "[%s] %s must be a number %d..%d" % (section.name, key, low, high))
            values[key] = value
        binary = section.first("ServiceBinary")
        if binary is None or not binary.fields[0]:
            self.problem(section.number, "E-SERVICE", "[%s] has no ServiceBinary" % section.name)
            return
        m = re.fullmatch(r"%(\d+)%\\([^\\]+)", binary.fields[0])
        if not m:
            self.problem(binary.number, "E-SERVICE", "ServiceBinary %r is not %%dirid%%\\file" % binary.fields[0])
        elif copied.get(m.group(2).lower()) != m.group(1):
            self.problem(binary.number, "E-SERVICE", "ServiceBinary %s is not a file this INF copies to "
                         "directory %s" % (m.group(2), m.group(1)))

    def unused(self):
        for section in self.inf.order:
            if section.name.lower() in self.used or section.name.lower().startswith("strings."):
                continue
            self.problem(section.number, "E-UNUSED", "nothing refers to [%s]" % section.name)


# ---------------------------------------------------------------------------
# The hardware id list


class IdEntry:
    def __init__(self, number, hwid, vendor, device, kind, text):
        self.number = number
        self.hwid = hwid
        self.vendor = vendor
        self.device = device
        self.kind = kind
        self.text = text


def read_ids(path, problems):
    entries = []
    seen = {}
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.strip()
            if not line or line.startswith("#"):
                continue
            parts = line.split(None, 2)
            m = HWID_RE.fullmatch(parts[0]) if parts else None
            if not m or len(parts) < 3 or parts[1] not in ("cardbus", "bridge", "none"):
                problems.add(path, number, "H-FORMAT", "not 'PCI\\VEN_xxxx&DEV_xxxx cardbus|bridge|none TEXT'")
                continue
            if parts[0] in seen:
                problems.add(path, number, "H-FORMAT", "%s already listed at line %d" % (parts[0], seen[parts[0]]))
                continue
            seen[parts[0]] = number
            entries.append(IdEntry(number, parts[0], m.group(1), m.group(2), parts[1], parts[2].strip()))
    return entries


def check_ids(path, entries, known, pci_ids, problems):
    """Each offered id known to the driver; each id of the driver's tables listed."""
    listed = {(e.vendor, e.device) for e in entries}
    for e in entries:
        if e.kind == "none":
            continue
        if (e.vendor, e.device) in known.devices:
            continue
        if e.vendor in known.vendors and e.kind == "cardbus":
            name = pci_ids.get((e.vendor, e.device)) if pci_ids is not None else None
            if name and CARDBUS_NAME_RE.search(name):
                continue
            problems.add(path, e.number, "H-KNOWN", "%s: vendor %s is adjusted as a whole (%s), but pci.ids does "
                         "not name device %s a CardBus controller (%s)"
                         % (e.hwid, e.vendor, known.vendors[e.vendor][0], e.device, name or "no name"))
            continue
        problems.add(path, e.number, "H-KNOWN", "%s is not an id the driver's tables know" % e.hwid)
    for (vendor, device), where in sorted(known.devices.items()):
        if (vendor, device) not in listed:
            problems.add(path, 0, "H-COVER", "PCI\\VEN_%s&DEV_%s (%s) is not in the list" % (vendor, device, where[0]))


# ---------------------------------------------------------------------------
# Checks against the driver


def inf_kind(inf):
    """'cardbus' or 'bridge' from the system INF the file includes, or None."""
    kinds = set()
    for section in inf.order:
        for line in section.entries("Include"):
            for name in line.fields:
                if name.lower() in SYSTEM_INFS:
                    kinds.add(SYSTEM_INFS[name.lower()]["kind"])
    return kinds.pop() if len(kinds) == 1 else None


def check_tolmu(inf, linter, src, entries):
    p = inf.problems
    path = inf.path
    service = tolmu_source.service_name(src)
    params_key = tolmu_source.registry_paths(src)["parameters"][1]
    rows = tolmu_source.config_rows(src)
    version = tolmu_source.driver_version(src)

    kind = inf_kind(inf)
    version_section = inf.section("Version")
    if kind is None:
        p.add(path, 0, "T-KIND", "the INF must include exactly one of %s" % ", ".join(sorted(SYSTEM_INFS)))
    elif version_section:
        want_class, want_guid = KIND_CLASS[kind]
        got_class = version_section.first("Class")
        got_guid = version_section.first("ClassGUID")
        if got_class is None or got_class.fields[0].lower() != want_class.lower() or \
                got_guid is None or got_guid.fields[0].upper() != want_guid:
            p.add(path, version_section.number, "T-KIND", "%s controllers install in class %s %s"
                  % (kind, want_class, want_guid))

    if version_section and version_section.first("DriverVer"):
        line = version_section.first("DriverVer")
        got = line.fields[1] if len(line.fields) > 1 else ""
        if got.split(".")[:len(version.split("."))] != version.split("."):
            p.add(path, line.number, "T-VERSION", "DriverVer %s does not start with the driver's version %s"
                  % (got, version))

    for install, _ in linter.install_sections:
        services = inf.section(install.name + ".Services")
        if services is not None:
            adds = services.entries("AddService")
            ours = [a for a in adds if a.fields and a.fields[0].lower() == service.lower()]
            if len(adds) != 1 or len(ours) != 1:
                p.add(path, services.number, "T-SERVICE", "[%s] must add exactly one service, %s"
                      % (services.name, service))
            for a in ours:
                if a.fields[0] != service:
                    p.add(path, a.number, "T-SERVICE", "service %s is spelled %s in the driver" % (a.fields[0], service))
                flags = _number(a.fields[1]) if len(a.fields) > 1 and a.fields[1] else 0
                if flags is None or flags & SPSVCINST_ASSOCSERVICE:
                    p.add(path, a.number, "T-SERVICE", "%s is a filter: AddService without flag 0x2 (the function "
                          "driver comes from the system INF)" % service)
        hw = inf.section(install.name + ".HW")
        if hw is None:
            p.add(path, install.number, "T-FILTER", "[%s.HW] is missing: nothing adds the filter" % install.name)
        else:
            regs = [inf.section(n) for line in hw.entries("AddReg") for n in line.fields if inf.section(n)]
            values = [line for reg in regs for line in reg.lines]
            want = ["HKR", "", "UpperFilters", FLG_ADDREG_TYPE_MULTI_SZ, service]
            good = [v for v in values if len(v.fields) == 5 and v.fields[0].upper() == "HKR" and v.fields[1] == ""
                    and v.fields[2] == "UpperFilters" and _number(v.fields[3]) == FLG_ADDREG_TYPE_MULTI_SZ
                    and v.fields[4] == service]
            if len(good) != 1 or len(values) != 1:
                p.add(path, hw.number, "T-FILTER", "[%s] must add exactly %s" % (hw.name, ",".join(
                    str(f) if not isinstance(f, int) else "0x%08X" % f for f in want)))

    for line, section in linter.service_sections:
        if not line.fields or line.fields[0].lower() != service.lower():
            continue
        for key, want in (("ServiceType", 1), ("StartType", 3), ("ErrorControl", 1)):
            entry = section.first(key)
            got = _number(inf.expand(entry.fields[0])) if entry and entry.fields else None
            if got != want:
                p.add(path, entry.number if entry else section.number, "T-SERVICE",
                      "%s must be %d, not %s" % (key, want, entry.fields[0] if entry else "missing"))
        binary = section.first("ServiceBinary")
        want_binary = "%%12%%\\%s.sys" % service
        if binary is None or binary.fields[0].lower() != want_binary.lower():
            p.add(path, binary.number if binary else section.number, "T-SERVICE",
                  "ServiceBinary must be %s" % want_binary)
        check_parameters(inf, section, params_key, rows)

    check_models(inf, linter, kind, entries)


def check_parameters(inf, service_section, params_key, rows):
    p = inf.problems
    lines = []
    for entry in service_section.entries("AddReg"):
        for name in entry.fields:
            section = inf.section(name)
            if section:
                lines.extend(section.lines)
    wanted = {name.lower(): (name, default) for name, default in rows}
    seen = {}
    for line in lines:
        fields = line.fields + [""] * 5
        if fields[0].upper() != "HKR" or fields[1].lower() != params_key.lower():
            p.add(inf.path, line.number, "T-PARAMS", "the service writes only %s values (HKR,%s,...), not %s"
                  % (params_key, params_key, line.text))
            continue
        if fields[1] != params_key:
            p.add(inf.path, line.number, "T-PARAMS", "key %s is spelled %s in the driver" % (fields[1], params_key))
        key = fields[2].lower()
        if key not in wanted:
            p.add(inf.path, line.number, "T-PARAMS", "%s is not a value of the driver's table" % fields[2])
            continue
        if key in seen:
            p.add(inf.path, line.number, "T-PARAMS", "%s already written at line %d" % (fields[2], seen[key]))
            continue
        seen[key] = line.number
        name, default = wanted[key]
        if fields[2] != name:
            p.add(inf.path, line.number, "T-PARAMS", "%s is spelled %s in the driver" % (fields[2], name))
        if _number(fields[3]) != FLG_ADDREG_TYPE_DWORD:
            p.add(inf.path, line.number, "T-PARAMS", "%s must be REG_DWORD (0x00010001), not %s" % (name, fields[3]))
        value = _number(inf.expand(fields[4]))
        if value != default:
            p.add(inf.path, line.number, "T-PARAMS", "%s is %s here but 0x%X in driver/config.cpp"
                  % (name, fields[4] or "empty", default))
    for key, (name, default) in wanted.items():
        if key not in seen:
            p.add(inf.path, service_section.number, "T-PARAMS", "%s (default 0x%X) is not written" % (name, default))


def model_lines(inf):
    """[(Line, hwid)] of every models section."""
    found = []
    manufacturer = inf.section("Manufacturer")
    if manufacturer is None:
        return found
    for entry in manufacturer.lines:
        decorations = [d for d in entry.fields[1:] if d]
        names = [entry.fields[0] + "." + d for d in decorations] if decorations else [entry.fields[0]]
        for name in names:
            models = inf.section(name)
            if models:
                for line in models.lines:
                    for hwid in line.fields[1:]:
                        found.append((line, hwid.upper()))
    return found


def check_models(inf, linter, kind, entries):
    if entries is None or kind is None:
        return
    p = inf.problems
    want = {e.hwid.upper(): e for e in entries if e.kind == kind}
    got = {}
    for line, hwid in model_lines(inf):
        got[hwid] = line
        entry = want.get(hwid)
        if entry is None:
            p.add(inf.path, line.number, "T-IDS", "%s is not a %s id of hardware_ids.txt" % (hwid, kind))
            continue
        desc = inf.expand(line.key or "")
        if desc != entry.text + " (Tolmu)":
            p.add(inf.path, line.number, "T-IDS", "%s is named %r, hardware_ids.txt says %r"
                  % (hwid, desc, entry.text + " (Tolmu)"))
    for hwid, entry in want.items():
        if hwid not in got:
            p.add(inf.path, 0, "T-IDS", "%s (hardware_ids.txt line %d) is not offered" % (hwid, entry.number))


# ---------------------------------------------------------------------------
# Rewriting the generated lines


def string_key(entry):
    return "VEN_%s&DEV_%s.Desc" % (entry.vendor, entry.device)


def install_base(inf):
    """The install section the models of this INF use (from its .Services)."""
    for section in inf.order:
        name = section.name
        if name.lower().endswith(".ntx86.services"):
            return name[:-len(".NTx86.Services")]
    return None


def _replace_block(text, section_name, lines, path):
    pattern = re.compile(r"(^\[%s\][^\n]*\n(?:(?!\[).*\n)*?)(%s\n)(?:.*\n)*?(%s\n)"
                         % (re.escape(section_name), re.escape(GENERATED_BEGIN), re.escape(GENERATED_END)),
                         re.M | re.I)
    m = pattern.search(text)
    if not m:
        raise SystemExit("%s: [%s] has no generated block (%s ... %s)" % (path, section_name, GENERATED_BEGIN,
                                                                         GENERATED_END))
    body = "".join(line + "\n" for line in lines)
    return text[:m.end(2)] + body + text[m.start(3):]


def update(path, entries):
    with open(path, encoding="ascii", newline="") as f:
        text = f.read()
    inf = Inf(path, text, Problems())
    kind = inf_kind(inf)
    base = install_base(inf)
    manufacturer = inf.section("Manufacturer")
    if kind is None or base is None or manufacturer is None or not manufacturer.lines:
        raise SystemExit("%s: cannot tell the kind, install section or models section" % path)
    entry = manufacturer.lines[0]
    models = entry.fields[0] + ("." + entry.fields[1] if len(entry.fields) > 1 and entry.fields[1] else "")
    mine = [e for e in entries if e.kind == kind]
    model_text = ["%%%s%% = %s, %s" % (string_key(e), base, e.hwid) for e in mine]
    width = max([len(string_key(e)) for e in mine] + [0])
    string_text = ['%s = "%s (Tolmu)"' % (string_key(e).ljust(width), e.text) for e in mine]
    text = _replace_block(text, models, model_text, path)
    text = _replace_block(text, "Strings", string_text, path)
    with open(path, "w", encoding="ascii", newline="") as f:
        f.write(text)


# ---------------------------------------------------------------------------


def main(argv=None):
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("infs", nargs="+", metavar="INF")
    parser.add_argument("--source-dir", default=os.path.join(here, os.pardir),
                        help="the driver's source tree (default: this checkout)")
    parser.add_argument("--ids", help="the hardware id list (default: driver/windows/hardware_ids.txt of the source tree)")
    parser.add_argument("--pci-ids", help="pci.ids for the names of vendor-wide ids (default: the system's)")
    parser.add_argument("--update", action="store_true", help="rewrite the generated lines from the list first")
    parser.add_argument("--quiet", action="store_true", help="print only problems")
    args = parser.parse_args(argv)

    src = os.path.abspath(args.source_dir)
    ids_path = args.ids or os.path.join(src, "driver", "windows", "hardware_ids.txt")
    problems = Problems()
    try:
        entries = read_ids(ids_path, problems)
        if args.update:
            for path in args.infs:
                update(path, entries)
        known = tolmu_source.known_devices(src)
        pci_path = args.pci_ids or tolmu_source.default_pci_ids()
        pci_ids = tolmu_source.pci_ids_names(pci_path) if pci_path else None
        check_ids(ids_path, entries, known, pci_ids, problems)
        kinds = {}
        for path in args.infs:
            with open(path, "rb") as f:
                raw = f.read()
            inf = Inf(path, raw.decode("latin-1"), problems)
            linter = Linter(inf)
            linter.run()
            check_tolmu(inf, linter, src, entries)
            kind = inf_kind(inf)
            if kind in kinds:
                problems.add(path, 0, "T-KIND", "%s controllers are already offered by %s" % (kind, kinds[kind]))
            kinds[kind] = path
        for kind in sorted({e.kind for e in entries} - {"none"} - set(kinds)):
            problems.add(ids_path, 0, "T-IDS", "the list has %s ids but no INF given offers %s controllers"
                         % (kind, kind))
    except (OSError, tolmu_source.SourceError) as e:
        print("error: %s" % e, file=sys.stderr)
        return 2

    problems.print()
    if not args.quiet:
        offered = sum(1 for e in entries if e.kind != "none")
        print("%d INF file(s), %d hardware ids offered, %d known to the driver's tables: %s"
              % (len(args.infs), offered, len(known.devices),
                 "%d problem(s)" % len(problems) if problems else "no problems"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
