// The lspci importer of tolmu-sim: input it refuses (the message names the
// file, the line and the function), the dump formats and their odd lengths,
// mail quoting and mangling, BAR sizes inferred from addresses, bus trees,
// peer root buses and PCI domains, and the tool's reader of numbers. Real
// dumps booted end to end are in tests/tools/cli.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "hex.h"
#include "lspci_import.h"
#include "machine_desc.h"

namespace {

using tolmusim::FunctionDesc;
using tolmusim::MachineDesc;

std::string ReadData(const std::string &name)
{
    std::string here = __FILE__;
    std::ifstream in(here.substr(0, here.find_last_of('/') + 1) + "data/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << name;
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
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

struct Refused {
    const char *name;
    std::string text, message;
};

class LspciRefused : public testing::TestWithParam<Refused> {};

TEST_P(LspciRefused, MessageNamesFileLineAndFunction) { EXPECT_EQ(ImportError(GetParam().text), GetParam().message); }

INSTANTIATE_TEST_SUITE_P(
    Rows, LspciRefused,
    testing::Values(
        Refused{"bad hex byte", kHeader + "00: 4c 10 51 ac 07 00 10 02 01 00 07 06 08 a8 820 00\n",
                "dump.txt:2: " + kBad + "00: 4c 10 51 ac 07 00 10 02 01 00 07 06 08 a8 820 00': byte '820' is not two "
                "hex digits"},
        Refused{"truncated line", kHeader + kHex00 + "10: 00 f0 ff df 00 00 00\n",
                "dump.txt:3: " + kBad + "10: 00 f0 ff df 00 00 00': 16 bytes expected, found 7"},
        Refused{"offset not a multiple of 16", kHeader + "18: 00 00 00 10 a0 00 00 02 00 02 05 b0 00 00 00 c0\n",
                "dump.txt:2: " + kBad + "18: 00 00 00 10 a0 00 00 02 00 02 05 b0 00 00 00 c0': offset 0x18 is not a "
                "multiple of 16"},
        Refused{"offset beyond the space", kHeader + "1000: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n",
                "dump.txt:2: " + kBad + "1000: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00': offset 0x1000 is "
                "beyond the 4096-byte configuration space"},
        Refused{"offset twice", kHeader + kHex00 + kHex10 + kHex10,
                "dump.txt:4: " + kBad + kHex10.substr(0, kHex10.size() - 1) + "': offset 0x10 appears twice"},
        Refused{"garbage in a quoted CRLF dump", "> " + kHeader + "> " + kHex00 + "> xx yy zz\r\n",
                "dump.txt:3: " + kBad + "xx yy zz': expected an offset and 16 bytes"},
        Refused{"hex after prose", kHeader + kHex00 + "\nThanks\n" + kHex10,
                "dump.txt:5: hex dump line '" + kHex10.substr(0, kHex10.size() - 1) + "' does not follow a function's "
                "header line"},
        Refused{"no identity", kHeader + "\tBus: primary=00, secondary=02, subordinate=05, sec-latency=176\n",
                "dump.txt:1: 00:03.0: no vendor and device ids: the dump has neither the hex of bytes 0x00..0x0f nor a "
                "[vvvv:dddd] in the header line"},
        Refused{"unknown class name", "00:05.0 Frobnicator: Acme Widget [1234:5678]\n",
                "dump.txt:1: 00:05.0: cannot tell the class of 'Frobnicator': the dump has neither the hex nor a "
                "[cccc] class code"},
        Refused{"device number out of range", "00:3f.0 Host bridge: Intel [8086:7190]\n",
                "dump.txt:1: cannot read the location in '00:3f.0 Host bridge: Intel [8086:7190]' (device 00..1f, "
                "function 0..7)"},
        Refused{"function twice", kHeader + kHex00 + "\n" + kHeader + kHex00,
                "dump.txt:4: 00:03.0: the function appears twice (first at line 1)"},
        Refused{"vendor all ones", "02:00.0 Ethernet controller: Device ffff:ffff (rev ff)\n"
                                   "00: ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff\n",
                "dump.txt:1: 02:00.0: the dump reads all ones (vendor id ffff): the function did not answer when the "
                "dump was taken; leave it out of the file"},
        Refused{"unknown header type", "00:05.0 Ethernet controller: Acme\n"
                                       "00: 34 12 78 56 00 00 00 00 00 00 00 02 00 00 05 00\n",
                "dump.txt:1: 00:05.0: header type 0x5 in the hex is not 0, 1 or 2"},
        Refused{"region size not a power of two", kNic + "\tRegion 0: I/O ports at d000 [size=24]\n",
                "dump.txt:2: 00:05.0: region size 0x18 in 'Region 0: I/O ports at d000 [size=24]' is not a BAR size"},
        Refused{"64-bit last register", kNic + "\tRegion 5: Memory at d0000000 (64-bit, prefetchable) [size=64M]\n",
                "dump.txt:2: 00:05.0: region 5 is beyond the BAR registers of header layout 0"},
        Refused{"unreadable bus numbers", kP2p + "\tBus: primary=00, secondary=zz, subordinate=05, sec-latency=32\n",
                "dump.txt:2: 00:1e.0: cannot read bus numbers line 'Bus: primary=00, secondary=zz, subordinate=05, "
                "sec-latency=32'"},
        Refused{"two bridges with one secondary bus",
                kP2p + "\tBus: primary=00, secondary=02, subordinate=02, sec-latency=32\n"
                       "00:1f.0 PCI bridge [0604]: Intel [8086:244e]\n"
                       "\tBus: primary=00, secondary=02, subordinate=02, sec-latency=32\n02:00.0 Ethernet controller "
                       "[0200]: Acme [1234:5678]\n",
                "dump.txt:5: 02:00.0: bridges 00:1e.0 and 00:1f.0 both have bus 02 as their secondary bus"},
        Refused{"hex glued to hex", kHeader + "00: 4c 10 51 ac 07 00 10 02 01 00 07 06 08 a8 82 0010: 00 00\n",
                "dump.txt:2: " + kBad + "00: 4c 10 51 ac 07 00 10 02 01 00 07 06 08 a8 82 0010: 00 00': byte "
                "'0010:' is not two hex digits"},
        Refused{"empty file", "", "dump.txt:1: no lspci function header line ('bb:dd.f <class>: <name>') in the file"}),
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

// Quoted, re-indented or CRLF mail gives the same machine.
TEST(LspciFormats, QuotesIndentationAndLineEndsGiveTheSameMachine)
{
    const std::string original = ReadData("chassis_vvv_xxx.txt");
    MachineDesc want = Import(original);
    const std::pair<const char *, const char *> rewrites[] = {
        {"> ", "\n"}, {">> ", "\n"}, {"> > ", "\n"}, {">", "\n"}, {"    ", "\n"}, {"", "\r\n"}, {"> ", "  \t\r\n"}};
    for (const auto &[prefix, end] : rewrites) {
        std::string text;
        std::istringstream in(original);
        for (std::string line; std::getline(in, line);)
            text += prefix + line + end;
        MachineDesc m = Import(text);
        ASSERT_EQ(m.functions.size(), want.functions.size()) << "'" << prefix << "'";
        for (size_t i = 0; i < m.functions.size(); i++)
            EXPECT_EQ(std::tie(m.functions[i].config, m.functions[i].behind) ==
                          std::tie(want.functions[i].config, want.functions[i].behind) &&
                          Bars(m.functions[i]) == Bars(want.functions[i]),
                      true)
                << "'" << prefix << "' " << m.functions[i].location;
    }
}

// Region lines without "Region N:" are matched to the BARs by address, or
// in register order without hex; unassigned, disabled and virtual regions.
TEST(LspciFormats, RegionLineForms)
{
    const std::pair<std::string, const char *> rows[] = {
        {"00:09.0 Ethernet controller: Some NIC\n\tI/O ports at c400 [size=128]\n"
         "\tMemory at febff000 (32-bit, non-prefetchable) [size=1K]\n"
         "00: 34 12 78 56 07 00 90 02 01 00 00 02 00 40 00 00\n10: 00 00 00 00 01 c4 00 00 00 f0 bf fe 00 00 00 00\n"
         "20: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n30: 00 00 00 00 00 00 00 00 00 00 00 00 0a 01 00 00\n",
         "1 io 0x80 at 0xc400; 2 mem32 0x400 at 0xfebff000; "},
        {"00:09.0 0200: 1234:5678 (rev 01)\n\tMemory at d0000000 (64-bit, prefetchable) [size=64M]\n"
         "\tI/O ports at c400 [size=128]\n",
         "0 mem64 pref 0x4000000 at 0xd0000000; 2 io 0x80 at 0xc400; "},
        {"00:0a.0 Multimedia controller [0480]: Thing [1234:0001]\n"
         "\tRegion 0: Memory at <unassigned> (32-bit, non-prefetchable) [size=4K]\n"
         "\tRegion 1: I/O ports at b000 [disabled] [size=64]\n"
         "\tRegion 2: [virtual] Memory at fd000000 (32-bit, non-prefetchable) [size=1M]\n"
         "\tRegion 3: Memory at <ignored> (32-bit, prefetchable)\n",
         "0 mem32 0x1000 at -; 1 io 0x40 at 0xb000; "},
    };
    for (const auto &[text, bars] : rows)
        EXPECT_EQ(Bars(Import(text).functions.at(0)), bars) << text;
}

TEST(LspciFormats, BarSizeInferredFromTheAddressUpToTheCap)
{
    struct {
        bool io, prefetchable;
        uint64_t address, size;
    } const rows[] = {{true, false, 0xD000, 0x100},           {true, false, 0xE024, 0x4},
                      {true, false, 0xE021, 0x20},            {true, false, 0x0, 0x0},
                      {false, false, 0xFEBFF010, 0x10},       {false, false, 0xE0000000, 0x1000000},
                      {false, true, 0xE0000000, 0x10000000},  {false, true, 0xC8000000, 0x8000000},
                      {false, true, 0x400000000ull, 0x10000000}, {false, false, 0x8, 0x0}};
    for (const auto &r : rows)
        EXPECT_EQ(tolmusim::InferBarSize(r.io, r.prefetchable, r.address), r.size) << std::hex << r.address;
}

// ------------------------------------------------------------ whole machines

// Where the controller sits: behind the host's bridges, on a peer root bus
// (bus 01 of a second host bridge), in the second PCI domain; functions
// placed as "location<behind" ("location@root bus" on a peer root).
struct Machine {
    const char *file;
    size_t functions;
    const char *controller;
    unsigned domain;
    std::vector<std::string> placed;
};

void PrintTo(const Machine &r, std::ostream *os) { *os << r.file; }

class LspciMachines : public testing::TestWithParam<Machine> {};

TEST_P(LspciMachines, TreeControllerAndDomain)
{
    const Machine &r = GetParam();
    MachineDesc m = Import(ReadData(r.file), r.file);
    EXPECT_EQ(std::make_tuple(m.functions.size(), m.controller, m.domain),
              std::make_tuple(r.functions, std::string(r.controller), r.domain));
    for (const std::string &p : r.placed) {
        const FunctionDesc &f = Find(m, p.substr(0, 7));
        EXPECT_EQ(p, p.substr(0, 7) + (f.rootBus ? "@" + std::to_string(f.rootBus) : "<" + f.behind));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Dumps, LspciMachines,
    testing::Values(Machine{"laptop_ich4_hub_bridge.txt", 18, "02:01.0", 0,
                            {"00:1e.0<", "02:01.1<00:1e.0", "01:00.0<00:01.0"}},
                    Machine{"laptop_ich6_root_port.txt", 21, "03:00.0", 0,
                            {"02:00.0<00:1c.0", "03:00.0<02:00.0", "08:00.0<00:1c.1", "09:03.0<00:1e.0"}},
                    Machine{"server_peer_bus.txt", 10, "", 0, {"00:02.0<", "01:02.0@1", "01:04.0@1"}},
                    Machine{"two_domains.txt", 3, "01:02.0", 1, {"01:02.0<00:00.0"}},
                    Machine{"mail_glued.txt", 14, "02:0b.0", 0, {"02:0b.0<00:1e.0", "00:1f.5<"}}),
    [](const testing::TestParamInfo<Machine> &info) { return Name(info.param.file); });

// A function is behind the bridge whose secondary bus is its own, else the
// one with the narrowest range enclosing it, else on a peer root; the first
// CardBus controller in bus order, not dump order, is the adapter's.
TEST(LspciMachines, BusTreeFromBridgeRanges)
{
    MachineDesc m = Import("00:1e.0 PCI bridge [0604]: Intel [8086:2448]\n"
                           "\tBus: primary=00, secondary=02, subordinate=06, sec-latency=32\n"
                           "03:00.0 CardBus bridge [0607]: Ricoh [1180:0476]\n"
                           "\tBus: primary=03, secondary=04, subordinate=06, sec-latency=176\n"
                           "02:01.0 PCI bridge [0604]: TI [104c:8231]\n"
                           "\tBus: primary=02, secondary=03, subordinate=06, sec-latency=32\n"
                           "02:04.0 CardBus bridge [0607]: TI [104c:ac51]\n"
                           "05:07.0 Ethernet controller [0200]: Acme [1234:5678]\n"
                           "07:00.0 Ethernet controller [0200]: Acme [1234:5678]\n");
    EXPECT_EQ(m.controller, "02:04.0");
    EXPECT_EQ(Find(m, "03:00.0").behind, "02:01.0");
    EXPECT_EQ(Find(m, "05:07.0").behind, "03:00.0");
    EXPECT_EQ(std::make_pair(Find(m, "07:00.0").behind, int(Find(m, "07:00.0").rootBus)),
              std::make_pair(std::string(), 7));
}

TEST(LspciMachines, OneDomainImportedTheOthersCounted)
{
    struct {
        std::optional<unsigned> asked;
        std::string text, result; // "domain functions controller others" or the message
    } const rows[] = {
        {std::nullopt, "", "1 3 01:02.0 0:6 "},
        {0u, "", "0 6  1:3 "},
        {2u, "", "dump.txt: no function of PCI domain 0002 in the dump (it has 0000, 0001)"},
        {std::nullopt, "0002:00:00.0 Host bridge [0600]: Intel [8086:2578]\n0001:00:00.0 Host bridge [0600]: Intel "
                       "[8086:2578]\n0001:00:02.0 Ethernet controller [0200]: Acme [1234:5678]\n", "1 2  2:1 "}};
    for (const auto &r : rows) {
        tolmusim::ImportOptions options;
        options.domain = r.asked;
        std::string error;
        std::optional<MachineDesc> m =
            tolmusim::ImportLspci(r.text.empty() ? ReadData("two_domains.txt") : r.text, "dump.txt", &error, options);
        std::string got = error;
        if (m) {
            got = std::to_string(m->domain) + " " + std::to_string(m->functions.size()) + " " + m->controller + " ";
            for (const tolmusim::OtherDomain &o : m->otherDomains)
                got += std::to_string(o.domain) + ":" + std::to_string(o.functions) + " ";
        }
        EXPECT_EQ(got, r.result);
    }
}

// What a mail program glued together or wrapped is mended, each mend noted
// with its line, quoted or not; ordinary lines that look alike are not.
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
    const std::string mail = ReadData("mail_glued.txt");
    std::string quoted;
    std::istringstream in(mail);
    for (std::string line; std::getline(in, line);)
        quoted += "> " + line + "\r\n";
    for (const std::string &text : {mail, quoted}) {
        MachineDesc m = Import(text);
        EXPECT_EQ(m.importNotes, notes);
        EXPECT_EQ(Find(m, "00:1f.3").config[0x3D], 0x02) << "the byte in front of a glued header is kept";
        EXPECT_EQ(Find(m, "02:0b.0").revision, 0x32) << "from a wrapped header line";
        EXPECT_EQ(Bars(Find(m, "02:08.0")), "0 mem32 0x1000 at 0xe8100000; 1 io 0x40 at 0x3040; ")
            << "the size from the wrapped region line";
    }
    for (const char *line : {"Memory behind bridge: f4000000-f5ffffff [size=32M] [32-bit]", "Subsystem: Dell 01ad",
                             "Kernel modules: foo00: 86 80 2c 03 00 00 00 00 00 00 00 00 00 00 00",
                             "Kernel modules: foo08: 86 80 2c 03 00 00 00 00 00 00 00 00 00 00 00 00",
                             "Kernel modules: foo00: 86 80 2c 03 00 00 00 00 00 00 00 00 00 00 00 00 and more"})
        EXPECT_TRUE(Import(kNic + "\t" + line + "\n").importNotes.empty()) << line;
}

// ------------------------------------------------------------ numbers

TEST(ToolNumbers, WholeTextOrNothing)
{
    struct {
        int reader; // 0 ParseHex (at most 2 digits when `two`), 1 ParseHexPrefixed, 2 ParseNumber
        const char *text;
        std::optional<uint64_t> value;
        bool two = false;
    } const rows[] = {{0, "aC", 0xAC}, {0, "ffffffffffffffff", ~0ull}, {0, "10000000000000000", std::nullopt},
                      {0, "", std::nullopt}, {0, "0x10", std::nullopt}, {0, " 1", std::nullopt},
                      {0, "123", std::nullopt, true}, {0, "12", 0x12, true}, {1, "0X1f", 0x1F}, {1, "10", 0x10},
                      {1, "0x", std::nullopt}, {2, "010", 10}, {2, "0x10", 0x10},
                      {2, "18446744073709551616", std::nullopt}, {2, "-1", std::nullopt}, {2, "1e3", std::nullopt}};
    for (const auto &r : rows) {
        uint64_t v = 0;
        const bool ok = r.reader == 0   ? tolmusim::ParseHex(r.text, &v, r.two ? 2 : 16)
                        : r.reader == 1 ? tolmusim::ParseHexPrefixed(r.text, &v)
                                        : tolmusim::ParseNumber(r.text, &v);
        EXPECT_EQ(ok ? std::optional<uint64_t>(v) : std::nullopt, r.value) << r.reader << " '" << r.text << "'";
    }
}

} // namespace
