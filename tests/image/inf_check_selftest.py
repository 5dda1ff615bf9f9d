#!/usr/bin/python3
"""Prove that tools/inf_check.py rejects broken INF files, id lists and
driver tables, so that its pass on the real files means something.

    inf_check_selftest.py SOURCE_DIR

Copies driver/windows/tolmu.inf, driver/windows/tolmu_p2p.inf, driver/windows/hardware_ids.txt
and the driver sources the checker reads into a temporary tree, checks that
the untouched copy passes, then breaks one thing at a time (a missing
section, an undefined string, a wrong default, a parameter the driver does not
have, a changed default in driver/config.cpp, ...) and checks that the
checker then fails, naming the rule that was broken.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

DRIVER_FILES = ["driver/core/driver.h", "driver/core/config.h", "driver/core/config.cpp", "driver/quirks/patch_table.cpp",
                "driver/quirks/cardbus.cpp", "driver/pnp/start.cpp"]
INFS = ["driver/windows/tolmu.inf", "driver/windows/tolmu_p2p.inf"]
IDS = "driver/windows/hardware_ids.txt"


def replace(path, old, new, count=1):
    """An edit: replace OLD by NEW in PATH (relative to the tree), which must
    change the file."""
    def edit(tree):
        full = os.path.join(tree, path)
        with open(full, encoding="latin-1", newline="") as f:
            text = f.read()
        if isinstance(old, re.Pattern):
            changed, n = old.subn(new, text, count=count)
        else:
            n = text.count(old)
            changed = text.replace(old, new, count)
        if n == 0:
            raise AssertionError("selftest edit of %s found nothing to replace: %r" % (path, old))
        with open(full, "w", encoding="latin-1", newline="") as f:
            f.write(changed)
    return edit


CB = "driver/windows/tolmu.inf"
P2P = "driver/windows/tolmu_p2p.inf"

# (name, edits, rule the checker must report)
CASES = [
    ("missing CopyFiles section", [replace(CB, "[Tolmu.CopyFiles]\ntolmu.sys\n", "")], "E-REF"),
    ("missing service install section",
     [replace(P2P, re.compile(r"\[Tolmu\.Service\]\n(?:[^\[].*\n)*"), "")], "E-REF"),
    ("undefined string", [replace(CB, "DisplayName   = %ServiceName%", "DisplayName   = %ServiceNam%")],
     "E-STRING"),
    ("undefined model name", [replace(CB, "%VEN_1524&DEV_1211.Desc% =", "%VEN_1524&DEV_1211.Dsc% =")],
     "E-STRING"),
    ("wrong default", [replace(CB, "HKR,Parameters,TraceSize,0x00010001,0x00020000",
                               "HKR,Parameters,TraceSize,0x00010001,0x00010000")], "T-PARAMS"),
    ("default as a string", [replace(P2P, "HKR,Parameters,Io,0x00010001,0x00000300",
                                     "HKR,Parameters,Io,0x00000000,0x00000300")], "T-PARAMS"),
    ("missing parameter", [replace(CB, "HKR,Parameters,Verbose,0x00010001,0\n", "")], "T-PARAMS"),
    ("parameter the driver does not read", [replace(P2P, "HKR,Parameters,ticks,0x00010001,0\n",
                                                    "HKR,Parameters,ticks,0x00010001,0\n"
                                                    "HKR,Parameters,tick,0x00010001,0\n")], "T-PARAMS"),
    ("parameter spelled in another case", [replace(CB, "HKR,Parameters,filterIO,", "HKR,Parameters,FilterIo,")],
     "T-PARAMS"),
    ("parameters under another key", [replace(CB, "HKR,Parameters,ignoreCb,", "HKR,Params,ignoreCb,")],
     "T-PARAMS"),
    ("default changed in the driver's table",
     [replace("driver/core/config.cpp", '{WSTR("Io"), 0x300}', '{WSTR("Io"), 0x400}')], "T-PARAMS"),
    ("value added to the driver's table",
     [replace("driver/core/config.cpp", '    {WSTR("Verbose"), 0},\n', '    {WSTR("Verbose"), 0},\n    {WSTR("extra"), 1},\n'),
      replace("driver/core/config.cpp", "    ROW_VERBOSE,\n", "    ROW_VERBOSE,\n    ROW_EXTRA,\n")], "T-PARAMS"),
    ("service renamed in the driver",
     [replace("driver/core/config.h", 'WSTR("tolmu\\\\Parameters")', 'WSTR("tolmu2\\\\Parameters")')], "T-SERVICE"),
    ("version changed in the driver", [replace("driver/core/driver.h", '"5.4"', '"5.5"')], "T-VERSION"),
    ("wrong service binary", [replace(CB, r"ServiceBinary = %12%\tolmu.sys", r"ServiceBinary = %12%\tolmux.sys")],
     "T-SERVICE"),
    ("boot start", [replace(P2P, "StartType     = 3", "StartType     = 0")], "T-SERVICE"),
    ("filter installed as function driver", [replace(CB, "AddService = tolmu, , Tolmu.Service",
                                                     "AddService = tolmu, 0x00000002, Tolmu.Service")], "T-SERVICE"),
    ("lower filter", [replace(P2P, '"UpperFilters"', '"LowerFilters"')], "T-FILTER"),
    ("Needs without Include", [replace(CB, "Include = pcmcia.inf\nNeeds   = PCMCIA.HW", "Needs   = PCMCIA.HW")],
     "E-NEEDS"),
    ("Needs of a section the system INF lacks", [replace(P2P, "Needs      = PCI_DRV.Services",
                                                         "Needs      = PCI_DRV.Service")], "E-NEEDS"),
    ("Include of a vendor INF", [replace(CB, "Include    = pcmcia.inf", "Include    = oem1.inf")], "E-NEEDS"),
    ("install and services need different sections", [replace(P2P, "Needs     = PCI_DRV\n", "Needs     = PCI_DRV.HW\n")],
     "E-NEEDS"),
    ("no .Services section", [replace(CB, "[Tolmu_CardBus.NTx86.Services]", "[Tolmu_CardBus.NTx86.Servicez]")],
     "E-INSTALL"),
    ("file missing from SourceDisksFiles", [replace(CB, "[SourceDisksFiles.x86]\ntolmu.sys = 1\n",
                                                    "[SourceDisksFiles.x86]\n")], "E-FILES"),
    ("DestinationDirs of a missing section", [replace(CB, "Tolmu.CopyFiles = 12", "Tolmu.CopyFile = 12")],
     "E-FILES"),
    ("file on an undefined disk", [replace(P2P, "tolmu.sys = 1", "tolmu.sys = 2")], "E-FILES"),
    ("duplicate section", [replace(CB, "[Tolmu.CopyFiles]\ntolmu.sys\n",
                                   "[Tolmu.CopyFiles]\ntolmu.sys\n\n[Tolmu.CopyFiles]\ntolmu.sys\n")], "E-DUPSECTION"),
    ("unused section", [replace(P2P, "[Strings]", "[Tolmu.Spare]\ntolmu.sys\n\n[Strings]")], "E-UNUSED"),
    ("unterminated quote", [replace(CB, 'Provider    = "Tolmu"', 'Provider    = "Tolmu')], "E-SYNTAX"),
    ("not ASCII", [replace(P2P, 'Provider    = "Tolmu"', 'Provider    = "Tolm\u00fc"')], "E-ENCODING"),
    ("bad DriverVer", [replace(CB, "DriverVer   = 06/01/2005,5.4.0.0", "DriverVer   = 2005-06-01,5.4.0.0")],
     "E-VERSION"),
    ("wrong setup class", [replace(P2P, "Class       = System", "Class       = PCMCIA")], "T-KIND"),
    ("missing models section", [replace(CB, "[Tolmu.NTx86]", "[Tolmu.NT]")], "E-MODELS"),
    ("model without install section", [replace(P2P, "= Tolmu_Bridge, PCI\\VEN_8086&DEV_2448",
                                               "= Tolmu_Brige, PCI\\VEN_8086&DEV_2448")], "E-MODELS"),
    ("REG_DWORD that is not a number", [replace(CB, "HKR,Parameters,ticks,0x00010001,0",
                                                "HKR,Parameters,ticks,0x00010001,zero")], "E-ADDREG"),
    ("offered id missing from the list", [replace(IDS, "PCI\\VEN_1180&DEV_0478   cardbus  Ricoh RL5C478 CardBus "
                                                  "Controller\n", "")], "H-COVER"),
    ("model line not in the list", [replace(CB, "%VEN_1524&DEV_1211.Desc% = Tolmu_CardBus, PCI\\VEN_1524&DEV_1211",
                                            "%VEN_1524&DEV_1211.Desc% = Tolmu_CardBus, PCI\\VEN_1524&DEV_1212")],
     "T-IDS"),
    ("model name differs from the list", [replace(IDS, "ENE CB1410 CardBus Controller", "ENE CB1410 Controller")],
     "T-IDS"),
    ("id the driver does not know", [replace(IDS, "# Known to the patch table, not offered",
                                             "PCI\\VEN_1234&DEV_5678   cardbus  Nobody's Controller\n")], "H-KNOWN"),
    ("vendor-wide id that is no CardBus controller", [replace(IDS, "# Known to the patch table, not offered",
                                                              "PCI\\VEN_1217&DEV_7120   cardbus  O2Micro reader\n")],
     "H-KNOWN"),
    ("id kept out without a reason", [replace(IDS, re.compile(r"(PCI\\VEN_10B9&DEV_1644   none).*"), r"\1")],
     "H-FORMAT"),
    ("patch table row the list does not mention",
     [replace("driver/quirks/patch_table.cpp", "    {PCI_VENDOR_INTEL, 0x2448,", "    {PCI_VENDOR_INTEL, 0x2449, 16, "
              "ICH_BRIDGE_CONFIG, 0, ICH_BRIDGE_CONFIG_BIT2, PATCH_THIS_FUNCTION},\n    {PCI_VENDOR_INTEL, 0x2448,")],
     "H-COVER"),
]


def make_tree(source_dir, tree):
    for rel in DRIVER_FILES + INFS + [IDS]:
        os.makedirs(os.path.join(tree, os.path.dirname(rel)), exist_ok=True)
        shutil.copyfile(os.path.join(source_dir, rel), os.path.join(tree, rel))


def run_checker(checker, tree):
    command = [sys.executable, checker, "--source-dir", tree, "--quiet"] + [os.path.join(tree, i) for i in INFS]
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return result.returncode, result.stdout


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    source_dir = os.path.abspath(sys.argv[1])
    checker = os.path.join(source_dir, "tools", "inf_check.py")
    failures = 0
    with tempfile.TemporaryDirectory(prefix="inf-selftest-") as top:
        tree = os.path.join(top, "clean")
        make_tree(source_dir, tree)
        status, output = run_checker(checker, tree)
        if status != 0:
            print("FAIL clean copy: exit %d\n%s" % (status, output))
            failures += 1
        else:
            print("ok   clean copy passes")
        for number, (name, edits, rule) in enumerate(CASES):
            tree = os.path.join(top, "case%02d" % number)
            make_tree(source_dir, tree)
            for edit in edits:
                edit(tree)
            status, output = run_checker(checker, tree)
            if status == 1 and (": %s: " % rule) in output:
                print("ok   %s: %s" % (name, next(line for line in output.splitlines() if (": %s: " % rule) in line)
                                       .split(": ", 1)[1]))
            else:
                print("FAIL %s: exit %d, expected rule %s\n%s" % (name, status, rule, output))
                failures += 1
    print("%d passed, %d failed" % (len(CASES) + 1 - failures, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
