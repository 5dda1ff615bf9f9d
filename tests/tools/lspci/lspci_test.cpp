// The lspci importer of tolmu-sim: input it refuses (the message names the
// file, the line and the function), the dump formats and their odd lengths,
// mail quoting and mangling, bus trees, peer root buses and PCI domains.
// Real dumps booted end to end are in tests/tools/cli.
#include <gtest/gtest.h>

#include <sstream>

#include "lspci_import.h"
#include "machine_desc.h"
#include "test_support.h"

namespace {

using tolmusim::FunctionDesc;
using tolmusim::MachineDesc;

std::string ReadData(const std::string &name)
{
    const std::string here = __FILE__, text = testsupport::ReadFile(here.substr(0, here.find_last_of('/') + 1) + "data/" + name);
    EXPECT_FALSE(text.empty()) << name;
    return text;
}

// The description, or the importer's message (the test fails on the one not expected).
MachineDesc Import(const std::string &text, const std::string &name = "dump.txt")
{
    std::string error;
    std::optional<MachineDesc> m = tolmusim::ImportLspci(text, name, &error);
    EXPECT_TRUE(m.has_value()) << name << ": " << error;
    return m ? *m : MachineDesc{};
}

std::string ImportError(const std::string &text, tolmusim::ImportOptions options = {})
{
    std::string error;
    return tolmusim::ImportLspci(text, "dump.txt", &error, options) ? "" : error;
}

const FunctionDesc &Find(const MachineDesc &m, const std::string &location)
{
    static const FunctionDesc none;
    for (const FunctionDesc &f : m.functions)
        if (f.location == location)
            return f;
    ADD_FAILURE() << "no function " << location;
    return none;
}

std::string Bars(const FunctionDesc &f)
{
    std::ostringstream s;
    for (const tolmusim::BarDesc &b : f.bars)
        s << std::hex << b.index << " " << b.type << (b.prefetchable ? " pref" : "") << " 0x" << b.size << " at "
          << (b.address ? "0x" + (std::ostringstream() << std::hex << *b.address).str() : "-") << "; ";
    return s.str();
}

std::string Name(std::string n)
{
    for (char &c : n)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return n;
}

// ------------------------------------------------------------ refused input

// A CardBus controller dumped with -x: line 1 the header, lines 2..5 the hex.
const std::string kHeader = "00:03.0 CardBus bridge: Texas Instruments PCI1420 PC card Cardbus Controller (rev 01)\n";
const std::string kHex00 = "00: 4c 10 51 ac 07 00 10 02 01 00 07 06 08 a8 82 00\n";
const std::string kHex10 = "10: 00 00 00 10 a0 00 00 02 00 02 05 b0 00 00 00 c0\n";
const std::string kNic = "00:05.0 Ethernet controller [0200]: Acme [1234:5678]\n";
const std::string kP2p = "00:1e.0 PCI bridge [0604]: Intel 82801 [8086:244e]\n";
const std::string kBad = "00:03.0: cannot read hex dump line '";

// Each message: "dump.txt:<line>: <function>: " then what is wrong.
struct Refused {
    const char *name;
    std::string text, where, what;
};

void PrintTo(const Refused &r, std::ostream *os) { *os << r.name; }

class LspciRefused : public testing::TestWithParam<Refused> {};

TEST_P(LspciRefused, MessageNamesFileLineAndFunction)
{
    const std::string error = ImportError(GetParam().text);
    EXPECT_EQ(error.substr(0, GetParam().where.size()), GetParam().where) << error;
    EXPECT_NE(error.find(GetParam().what), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LspciRefused,
    testing::Values(
        Refused{"bad hex byte", kHeader + "00: 4c 10 51 ac 07 00 10 02 01 00 07 06 08 a8 820 00\n",
                "dump.txt:2: " + kBad + "00: 4c", "': byte '820' is not two hex digits"},
        Refused{"truncated line", kHeader + kHex00 + "10: 00 f0 ff df 00 00 00\n", "dump.txt:3: " + kBad,
                "': 16 bytes expected, found 7"},
        Refused{"offset not a multiple of 16", kHeader + "18: 00 00 00 10 a0 00 00 02 00 02 05 b0 00 00 00 c0\n",
                "dump.txt:2: " + kBad, "': offset 0x18 is not a multiple of 16"},
        Refused{"offset twice", kHeader + kHex00 + kHex10 + kHex10, "dump.txt:4: " + kBad, "offset 0x10 appears twice"},
        Refused{"quoted CRLF garbage", "> " + kHeader + "> " + kHex00 + "> xx yy zz\r\n",
                "dump.txt:3: " + kBad + "xx yy zz'", "expected an offset and 16 bytes"},
        Refused{"hex after prose", kHeader + kHex00 + "\nThanks\n" + kHex10, "dump.txt:5: hex dump line '10: ",
                "does not follow a function's header line"},
        Refused{"no identity", kHeader + "\tBus: primary=00, secondary=02, subordinate=05, sec-latency=176\n",
                "dump.txt:1: 00:03.0: ", "no vendor and device ids"},
        Refused{"unknown class", "00:05.0 Frobnicator: Acme [1234:5678]\n", "dump.txt:1: 00:05.0: ",
                "cannot tell the class of 'Frobnicator'"},
        Refused{"function twice", kHeader + kHex00 + "\n" + kHeader + kHex00, "dump.txt:4: 00:03.0: ",
                "the function appears twice (first at line 1)"},
        Refused{"all ones", "02:00.0 Ethernet: Device ffff:ffff\n00: ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff\n",
                "dump.txt:1: 02:00.0: ", "the dump reads all ones"},
        Refused{"region size", kNic + "\tRegion 0: I/O ports at d000 [size=24]\n", "dump.txt:2: 00:05.0: ",
                "region size 0x18 in 'Region 0: I/O ports at d000 [size=24]' is not a BAR size"},
        Refused{"one secondary bus twice",
                kP2p + "\tBus: primary=00, secondary=02, subordinate=02, sec-latency=32\n00:1f.0 PCI bridge [0604]: I "
                       "[8086:244e]\n\tBus: primary=00, secondary=02, subordinate=02, sec-latency=32\n02:00.0 Ethernet controller [0200]: A [1234:5678]\n",
                "dump.txt:5: 02:00.0: ", "bridges 00:1e.0 and 00:1f.0 both have bus 02 as their secondary bus"},
        Refused{"hex glued to hex", kHeader + "00: 4c 10 51 ac 07 00 10 02 01 00 07 06 08 a8 82 0010: 00 00\n",
                "dump.txt:2: " + kBad, "byte '0010:' is not two hex digits"},
        Refused{"empty file", "", "dump.txt:1: ", "no lspci function header line ('bb:dd.f <class>: <name>')"}),
    [](const testing::TestParamInfo<Refused> &info) { return Name(info.param.name); });

// ------------------------------------------------------------ dump formats

// One laptop and chassis dumped every way lspci can: the hex of each length
// (CardBus -x has 128 bytes), text only, old-style window lines, quoted CRLF
// mail. The bytes dumped are the full dump's; a dump without region lines
// infers BAR sizes from the addresses; every one builds.
struct Format {
    const char *file;
    size_t functions;
    size_t cardbusBytes; // of 00:03.0
    bool sameBytes;      // as the -vvv -xxx dump, over the length dumped
    const char *location, *bars;
};

void PrintTo(const Format &r, std::ostream *os) { *os << r.file; }

class LspciFormats : public testing::TestWithParam<Format> {};

TEST_P(LspciFormats, SameMachineAsTheFullDump)
{
    const Format &r = GetParam();
    MachineDesc m = Import(ReadData(r.file), r.file), full = Import(ReadData("chassis_vvv_xxx.txt"));
    EXPECT_EQ(m.functions.size(), r.functions);
    EXPECT_EQ(m.controller, "00:03.0");
    EXPECT_EQ(Find(m, "00:03.0").config.size(), r.cardbusBytes);
    EXPECT_EQ(Bars(Find(m, r.location)), r.bars) << r.location;
    for (const FunctionDesc &f : m.functions) {
        const FunctionDesc &h = Find(full, f.location);
        EXPECT_EQ(f.behind, h.behind) << f.location;
        EXPECT_EQ(std::make_tuple(f.vendor, f.device, f.classCode), std::make_tuple(h.vendor, h.device, h.classCode));
        if (r.sameBytes)
            EXPECT_TRUE(std::equal(f.config.begin(), f.config.end(), h.config.begin())) << f.location;
    }
    tolmusim::BuiltMachine built;
    std::string error;
    EXPECT_TRUE(tolmusim::BuildMachine(m, &built, &error)) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Files, LspciFormats,
    testing::Values(
        Format{"chassis_vvv_xxx.txt", 10, 256, true, "04:01.0",
               "0 mem32 0x1000 at 0xf5100000; 1 mem64 pref 0x10000000 at 0xd0000000; "},
        Format{"chassis_x.txt", 10, 128, true, "03:00.0", "0 io 0x100 at 0xd000; 1 mem32 0x1000000 at 0xf5000000; "},
        Format{"chassis_xxxx.txt", 4, 256, true, "03:00.0", "0 io 0x100 at 0xd000; 1 mem32 0x1000000 at 0xf5000000; "},
        Format{"chassis_nn_domain.txt", 9, 0x48, false, "04:00.1", "0 io 0x8 at 0xe020; "},
        Format{"old_style_windows.txt", 5, 0x48, false, "04:01.0",
               "0 mem32 0x1000 at 0xf5100000; 1 mem64 pref 0x10000000 at 0xd0000000; "},
        Format{"mail_quoted_crlf.txt", 3, 256, true, "00:03.0", ""}),
    [](const testing::TestParamInfo<Format> &info) { return Name(info.param.file); });

// ------------------------------------------------------------ whole machines

// Where the controller sits: behind the host's bridges, on a peer root bus
// (bus 01 of a second host bridge), in the second PCI domain; functions
// placed as "location<behind" ("location@root bus" on a peer root).
struct Machine {
    const char *file;
    std::optional<unsigned> domain; // asked for
    const char *result; // "domain functions controller other-domain:functions ...", or the message
    std::vector<std::string> placed;
};

void PrintTo(const Machine &r, std::ostream *os) { *os << r.file; }

class LspciMachines : public testing::TestWithParam<Machine> {};

TEST_P(LspciMachines, TreeControllerAndDomains)
{
    const Machine &r = GetParam();
    tolmusim::ImportOptions options;
    options.domain = r.domain;
    std::string got;
    std::optional<MachineDesc> m = tolmusim::ImportLspci(ReadData(r.file), "dump.txt", &got, options);
    if (m) {
        got = std::to_string(m->domain) + " " + std::to_string(m->functions.size()) + " " + m->controller + " ";
        for (const tolmusim::OtherDomain &o : m->otherDomains)
            got += std::to_string(o.domain) + ":" + std::to_string(o.functions) + " ";
        for (const std::string &p : r.placed) {
            const FunctionDesc &f = Find(*m, p.substr(0, 7));
            EXPECT_EQ(p, p.substr(0, 7) + (f.rootBus ? "@" + std::to_string(f.rootBus) : "<" + f.behind));
        }
    }
    EXPECT_EQ(got, r.result);
}

INSTANTIATE_TEST_SUITE_P(
    Dumps, LspciMachines,
    testing::Values(Machine{"laptop_ich4_hub_bridge.txt", {}, "0 18 02:01.0 ",
                            {"00:1e.0<", "02:01.1<00:1e.0", "01:00.0<00:01.0"}},
                    Machine{"laptop_ich6_root_port.txt", {}, "0 21 03:00.0 ",
                            {"02:00.0<00:1c.0", "03:00.0<02:00.0", "08:00.0<00:1c.1", "09:03.0<00:1e.0"}},
                    Machine{"server_peer_bus.txt", {}, "0 10  ", {"00:02.0<", "01:02.0@1", "01:04.0@1"}},
                    Machine{"two_domains.txt", {}, "1 3 01:02.0 0:6 ", {"01:02.0<00:00.0"}},
                    Machine{"two_domains.txt", 0u, "0 6  1:3 ", {}},
                    Machine{"two_domains.txt", 2u, "dump.txt: no function of PCI domain 0002 in the dump (it has "
                                                   "0000, 0001)", {}},
                    Machine{"mail_glued.txt", {}, "0 14 02:0b.0 ", {"02:0b.0<00:1e.0", "00:1f.5<"}}),
    [](const testing::TestParamInfo<Machine> &info) { return Name(info.param.file) + std::to_string(info.index); });

// What a mail program glued together or wrapped is mended, each mend noted
// with its line, however the mail was quoted, indented or ended its lines;
// ordinary lines that look alike are not.
TEST(LspciMended, GluedAndWrappedLinesNotedAndRead)
{
    const std::vector<std::string> notes = {
        "line 44: hex line found at the end of a text line",  "line 52: text line wrapped onto line 53, joined",
        "line 63: header line wrapped onto line 64, joined",  "line 80: header line wrapped onto line 81, joined",
        "line 88: device header found at the end of a hex line",
        "line 100: device header found at the end of a hex line",
        "line 111: device header found at the end of a hex line", "line 136: hex line found at the end of a text line",
        "line 167: text line wrapped onto line 168, joined",  "line 179: header line wrapped onto line 180, joined",
        "line 199: hex line found at the end of a text line", "line 208: hex line found at the end of a text line"};
    const std::pair<const char *, const char *> rewrites[] = {
        {"", "\n"}, {"> ", "\n"}, {">> ", "\n"}, {"> > ", "\n"}, {">", "\n"}, {"    ", "\n"}, {"", "\r\n"}, {"> ", "  \t\r\n"}};
    const std::string mail = ReadData("mail_glued.txt");
    for (const auto &[prefix, end] : rewrites) {
        std::string text;
        std::istringstream in(mail);
        for (std::string line; std::getline(in, line);)
            text += prefix + line + end;
        SCOPED_TRACE(std::string("'") + prefix + "'");
        MachineDesc m = Import(text);
        EXPECT_EQ(m.importNotes, notes);
        EXPECT_EQ(Find(m, "00:1f.3").config[0x3D], 0x02) << "the byte in front of a glued header is kept";
        EXPECT_EQ(Find(m, "02:0b.0").revision, 0x32) << "from a wrapped header line";
        EXPECT_EQ(Bars(Find(m, "02:08.0")), "0 mem32 0x1000 at 0xe8100000; 1 io 0x40 at 0x3040; ")
            << "the size from the wrapped region line";
    }
    for (const char *line : {"Kernel modules: foo00: 86 80 2c 03 00 00 00 00 00 00 00 00 00 00 00",
                             "Kernel modules: foo08: 86 80 2c 03 00 00 00 00 00 00 00 00 00 00 00 00",
                             "Kernel modules: foo00: 86 80 2c 03 00 00 00 00 00 00 00 00 00 00 00 00 and more"})
        EXPECT_TRUE(Import(kNic + "\t" + line + "\n").importNotes.empty()) << line;
}

} // namespace
