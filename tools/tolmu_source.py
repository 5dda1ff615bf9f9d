"""What the driver's own sources say, read from their text.

The INF, the release bundle and the user guide must agree with the driver:
its version, the registry paths it reads and writes, the sixteen values of
its configuration table with their defaults, and the vendor and device ids
its quirk tables know. Nothing here restates them: every function reads the
C++ source it names and fails loudly (SourceError) when the text no longer
has the expected shape, so a change to the driver cannot slip past the
checks that use this module.

    driver_version(src)        TOLMU_VERSION of driver/driver.h ("5.4")
    registry_paths(src)        the Parameters and publish paths of driver/config.h
    config_rows(src)           [(name, default)] of ConfigRows in driver/config.cpp
    known_devices(src)         vendor/device ids of the quirk tables
    pci_ids_names(path)        {(vendor, device): name} of a pci.ids file
"""
import os
import re


class SourceError(Exception):
    """The driver source no longer looks the way this module reads it."""


def _read(src, relpath):
    path = os.path.join(src, relpath)
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except OSError as e:
        raise SourceError("%s: %s" % (relpath, e.strerror)) from e


def _strip_comments(text):
    """C/C++ text without comments (string literals are left alone)."""
    out = []
    i = 0
    n = len(text)
    while i < n:
        c = text[i]
        if c == '"':
            j = i + 1
            while j < n and text[j] != '"':
                j += 2 if text[j] == "\\" else 1
            out.append(text[i:j + 1])
            i = j + 1
        elif text.startswith("//", i):
            j = text.find("\n", i)
            i = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            if j < 0:
                raise SourceError("unterminated comment")
            out.append(" ")
            i = j + 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def _defines(text):
    """{NAME: value text} of the object-like #defines of a source text."""
    result = {}
    for m in re.finditer(r"^[ \t]*#[ \t]*define[ \t]+(\w+)[ \t]+(.+?)[ \t]*$", _strip_comments(text), re.M):
        result[m.group(1)] = m.group(2)
    return result


def _number(text, what):
    text = text.strip()
    m = re.fullmatch(r"(0[xX][0-9A-Fa-f]+|[0-9]+)[uUlL]*", text)
    if not m:
        raise SourceError("%s: %r is not a number" % (what, text))
    return int(m.group(1), 0)


def driver_version(src):
    """TOLMU_VERSION from driver/driver.h, e.g. "5.4"."""
    defines = _defines(_read(src, "driver/core/driver.h"))
    value = defines.get("TOLMU_VERSION")
    m = re.fullmatch(r'"([0-9]+(?:\.[0-9]+)*)"', value or "")
    if not m:
        raise SourceError("driver/core/driver.h: no TOLMU_VERSION \"N.N\" (found %r)" % value)
    return m.group(1)


def _wstr_path(defines, name):
    value = defines.get(name)
    m = re.fullmatch(r'WSTR\("((?:[^"\\]|\\.)*)"\)', value or "")
    if not m:
        raise SourceError("driver/core/config.h: no %s WSTR(\"...\") (found %r)" % (name, value))
    return m.group(1).replace("\\\\", "\\").split("\\")


def registry_paths(src):
    """The two paths under HKLM\\SYSTEM\\CurrentControlSet\\Services that the
    driver uses, each as a list of key names:
    {"parameters": ["tolmu", "Parameters"], "publish": ["dromel", "Configured"]}.
    The first key of the parameters path is the driver's service name."""
    defines = _defines(_read(src, "driver/core/config.h"))
    paths = {
        "parameters": _wstr_path(defines, "TOLMU_PARAMETERS_PATH"),
        "publish": _wstr_path(defines, "TOLMU_PUBLISH_PATH"),
    }
    for key, path in paths.items():
        if len(path) != 2 or not all(path):
            raise SourceError("driver/core/config.h: %s path %r is not SERVICE\\KEY" % (key, "\\".join(path)))
    return paths


def service_name(src):
    """The service the driver reads its values under (first key of the
    Parameters path)."""
    return registry_paths(src)["parameters"][0]


def config_rows(src):
    """[(name, default)] of the driver's ConfigRows table, in table order."""
    text = _strip_comments(_read(src, "driver/core/config.cpp"))
    m = re.search(r"\bConfigRows\s*\[[^\]]*\]\s*=\s*\{(.*?)\}\s*;", text, re.S)
    if not m:
        raise SourceError("driver/core/config.cpp: no ConfigRows table")
    body = m.group(1)
    rows = []
    for row in re.finditer(r"\{([^{}]*)\}", body):
        r = re.fullmatch(r'\s*WSTR\("(\w+)"\)\s*,\s*([0-9A-Fa-fxX]+[uUlL]*)\s*', row.group(1))
        if not r:
            raise SourceError("driver/core/config.cpp: ConfigRows row %r not understood" % row.group(1).strip())
        rows.append((r.group(1), _number(r.group(2), "ConfigRows " + r.group(1))))
    # The table's size is the CONFIG_ROWS enumerator: every slot must be filled.
    enum = re.search(r"enum\s*\{([^}]*)\bCONFIG_ROWS\b", text, re.S)
    if not enum:
        raise SourceError("driver/core/config.cpp: no enumeration ending in CONFIG_ROWS")
    slots = [s for s in (x.strip() for x in enum.group(1).split(",")) if s]
    if len(slots) != len(rows):
        raise SourceError("driver/core/config.cpp: %d ConfigRows rows for %d enumerators" % (len(rows), len(slots)))
    names = [name for name, _ in rows]
    if len(set(n.lower() for n in names)) != len(names):
        raise SourceError("driver/core/config.cpp: a ConfigRows name appears twice")
    return rows


class KnownDevices:
    """The ids the driver's quirk code names.

    devices  {(vendor, device): [where, ...]} for every vendor/device pair
             the driver tests for (PCI patch table rows, CardBus controller
             settings, the start sequence's device constants)
    vendors  {vendor: [where, ...]} for vendors whose every device gets a
             setting (the start sequence's vendor tests: O2Micro, Toshiba)
    Ids are upper-case four-digit hex strings.
    """

    def __init__(self):
        self.devices = {}
        self.vendors = {}

    def add_device(self, vendor, device, where):
        self.devices.setdefault(("%04X" % vendor, "%04X" % device), []).append(where)

    def add_vendor(self, vendor, where):
        self.vendors.setdefault("%04X" % vendor, []).append(where)


def known_devices(src):
    known = KnownDevices()

    # driver/quirks/patch_table.cpp: rows {VENDOR_MACRO, 0xDEVICE, ...} of PciPatchTable.
    text = _read(src, "driver/quirks/patch_table.cpp")
    defines = _defines(text)
    body = re.search(r"\bPciPatchTable\s*\[\s*\]\s*=\s*\{(.*)\}\s*;", _strip_comments(text), re.S)
    if not body:
        raise SourceError("driver/quirks/patch_table.cpp: no PciPatchTable")
    rows = 0
    for row in re.finditer(r"\{\s*(\w+)\s*,\s*(\w+)\s*,", body.group(1)):
        vendor_text, device_text = row.group(1), row.group(2)
        if vendor_text == "PATCH_END":
            continue
        vendor = _number(defines.get(vendor_text, vendor_text), "PciPatchTable vendor " + vendor_text)
        device = _number(defines.get(device_text, device_text), "PciPatchTable device " + device_text)
        known.add_device(vendor, device, "driver/quirks/patch_table.cpp PciPatchTable")
        rows += 1
    if rows == 0:
        raise SourceError("driver/quirks/patch_table.cpp: PciPatchTable has no rows")

    # driver/quirks/cardbus.cpp: PREFIX_VENDOR_ID with PREFIXnnnn_DEVICE_ID.
    defines = _defines(_read(src, "driver/quirks/cardbus.cpp"))
    vendors = {k[:-len("_VENDOR_ID")]: v for k, v in defines.items() if k.endswith("_VENDOR_ID")}
    found = 0
    for name, value in defines.items():
        if not name.endswith("_DEVICE_ID"):
            continue
        owners = [p for p in vendors if name.startswith(p)]
        if len(owners) != 1:
            raise SourceError("driver/quirks/cardbus.cpp: %s belongs to no single vendor id" % name)
        known.add_device(_number(vendors[owners[0]], owners[0]), _number(value, name), "driver/quirks/cardbus.cpp " + name)
        found += 1
    if found == 0:
        raise SourceError("driver/quirks/cardbus.cpp: no *_DEVICE_ID")

    # driver/pnp/start.cpp and driver/quirks/cardbus.cpp: VENDOR_NAME (every
    # device of the vendor) and NAME_xxx device constants of such a vendor.
    found = 0
    for path in ("driver/pnp/start.cpp", "driver/quirks/cardbus.cpp"):
        defines = _defines(_read(src, path))
        vendors = {k[len("VENDOR_"):]: _number(v, k) for k, v in defines.items() if k.startswith("VENDOR_")}
        for name, vendor in vendors.items():
            known.add_vendor(vendor, path + " VENDOR_" + name)
            found += 1
            for dname, dvalue in defines.items():
                if dname.startswith(name + "_"):
                    known.add_device(vendor, _number(dvalue, dname), path + " " + dname)
    if found == 0:
        raise SourceError("driver/pnp/start.cpp, driver/quirks/cardbus.cpp: no VENDOR_* constant")
    return known


def pci_ids_names(path):
    """{(VENDOR, DEVICE): name} and {(VENDOR, None): vendor name} of a pci.ids
    file, ids upper-case."""
    names = {}
    vendor = None
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            if not line.strip() or line.startswith("#"):
                continue
            if line.startswith("C "):
                break  # the class list follows the vendors
            if not line.startswith("\t"):
                m = re.match(r"([0-9a-fA-F]{4})\s+(.*)", line)
                vendor = m.group(1).upper() if m else None
                if vendor:
                    names[(vendor, None)] = m.group(2).strip()
            elif not line.startswith("\t\t") and vendor:
                m = re.match(r"\t([0-9a-fA-F]{4})\s+(.*)", line)
                if m:
                    names[(vendor, m.group(1).upper())] = m.group(2).strip()
    return names


def default_pci_ids():
    for path in ("/usr/share/misc/pci.ids", "/usr/share/hwdata/pci.ids"):
        if os.path.exists(path):
            return path
    return None
