// The lspci importer on the hand-written dumps under data/: every format it
// reads, the BAR sizes it infers, the bus tree it builds, and the machine
// that the description builds.
//
// The dumps describe one laptop and chassis (locations as lspci shows them):
//   00:00.0 Intel 440BX host bridge
//   00:03.0 TI PCI1420 CardBus controller, socket A, buses 02..05 (the adapter)
//   00:03.1 TI PCI1420, socket B, buses 06..09, empty
//     02:00.0 DEC 21154 PCI-to-PCI bridge, buses 03..05
//       03:00.0 Realtek 8139 network card (I/O and memory BAR)
//       03:01.0 GeForce2 MX VGA card (16 MB + 128 MB prefetchable)
//       03:02.0 TI PCI2250 PCI-to-PCI bridge, buses 04..05
//         04:00.0 SB Live! audio, function 0 of a two-function card
//         04:00.1 SB Live! game port, function 1
//         04:01.0 Xilinx FPGA board, 64-bit prefetchable 256 MB BAR
#include "lspci_test.h"

namespace {

using namespace lspcitest;

// Everything of a function that does not depend on how the dump was written.
void ExpectSameFunction(const FunctionDesc &a, const FunctionDesc &b, const std::string &what)
{
    auto key = [](const FunctionDesc &f) {
        return std::make_tuple(f.location, f.behind, f.vendor, f.device, f.revision, f.classCode, f.header,
                               f.multifunction, f.subVendor, f.subDevice, f.interruptPin, f.busNumbers, BarList(f),
                               f.model);
    };
    EXPECT_EQ(key(a), key(b)) << what << " " << a.location;
}

uint32_t Le(const FunctionDesc &f, unsigned o, unsigned n)
{
    uint32_t v = 0;
    for (unsigned i = 0; i < n; i++)
        v |= uint32_t(f.config[o + i]) << (8 * i);
    return v;
}

/* ------------------------------------------------- -vvv -xxx and -x */

struct ChassisRow {
    const char *location, *behind;
    uint16_t vendor, device;
    uint32_t classCode;
    int header;
    const char *model;
    const char *bars;     /* -vvv -xxx: sizes from the region lines */
    const char *xBars;    /* -x: sizes inferred from the addresses */
    const char *xNotes;   /* the notes that say so */
};

const ChassisRow kChassis[] = {
    {"00:00.0", "", 0x8086, 0x7190, 0x060000, 0, "Intel440BX", "BAR 0 mem32 size 0x4000000 pref at 0xe0000000\n",
     "BAR 0 mem32 size 0x10000000 pref at 0xe0000000\n", "BAR 0 size inferred from its address: 0x10000000; "},
    {"00:03.0", "", 0x104C, 0xAC51, 0x060700, 2, "TI1420", "", "", ""},
    {"00:03.1", "", 0x104C, 0xAC51, 0x060700, 2, "TI1420", "", "", ""},
    {"02:00.0", "00:03.0", 0x1011, 0x0026, 0x060400, 1, "DEC21154", "", "", ""},
    {"03:00.0", "02:00.0", 0x10EC, 0x8139, 0x020000, 0, "RTL8139",
     "BAR 0 io size 0x100 at 0xd000\nBAR 1 mem32 size 0x100 at 0xf5000000\n",
     "BAR 0 io size 0x100 at 0xd000\nBAR 1 mem32 size 0x1000000 at 0xf5000000\n",
     "BAR 0 size inferred from its address: 0x100; BAR 1 size inferred from its address: 0x1000000; "},
    {"03:01.0", "02:00.0", 0x10DE, 0x0110, 0x030000, 0, "GeForce2MX",
     "BAR 0 mem32 size 0x1000000 at 0xf4000000\nBAR 1 mem32 size 0x8000000 pref at 0xc8000000\n",
     "BAR 0 mem32 size 0x1000000 at 0xf4000000\nBAR 1 mem32 size 0x8000000 pref at 0xc8000000\n",
     "BAR 0 size inferred from its address: 0x1000000; BAR 1 size inferred from its address: 0x8000000; "},
    {"03:02.0", "02:00.0", 0x104C, 0xAC23, 0x060400, 1, "TIPCI2250", "", "", ""},
    {"04:00.0", "03:02.0", 0x1102, 0x0002, 0x040100, 0, "SBLiveAudio", "BAR 0 io size 0x20 at 0xe000\n",
     "BAR 0 io size 0x100 at 0xe000\n", "BAR 0 size inferred from its address: 0x100; "},
    {"04:00.1", "03:02.0", 0x1102, 0x7002, 0x098000, 0, "SBLiveGameport", "BAR 0 io size 0x8 at 0xe020\n",
     "BAR 0 io size 0x20 at 0xe020\n", "BAR 0 size inferred from its address: 0x20; "},
    {"04:01.0", "03:02.0", 0x10EE, 0x0007, 0x118000, 0, "FpgaBoard64",
     "BAR 0 mem32 size 0x1000 at 0xf5100000\nBAR 1 mem64 size 0x10000000 pref at 0xd0000000\n",
     "BAR 0 mem32 size 0x100000 at 0xf5100000\nBAR 1 mem64 size 0x10000000 pref at 0xd0000000\n",
     "BAR 0 size inferred from its address: 0x100000; BAR 1 size inferred from its address: 0x10000000; "},
};

TEST(LspciVvvXxx, EveryFunctionWithIdentityTreeModelAndSizedBars)
{
    MachineDesc m = ImportData("chassis_vvv_xxx.txt");
    ASSERT_EQ(m.functions.size(), std::size(kChassis));
    EXPECT_EQ(m.controller, "00:03.0") << "the first CardBus controller in bus order; 00:03.1 comes after it";
    EXPECT_EQ(m.source, "chassis_vvv_xxx.txt");
    for (size_t i = 0; i < std::size(kChassis); i++) {
        const ChassisRow &r = kChassis[i];
        const FunctionDesc &f = m.functions[i];
        SCOPED_TRACE(r.location);
        EXPECT_EQ(std::make_tuple(f.location, f.behind, f.vendor, f.device, f.classCode, f.header, f.model),
                  std::make_tuple(std::string(r.location), std::string(r.behind), r.vendor, r.device, r.classCode,
                                  r.header, std::string(r.model)));
        EXPECT_EQ(BarList(f), r.bars) << "kind and address from the hex, size from the region lines";
        EXPECT_EQ(f.config.size(), 256u) << "-xxx dumps 256 bytes";
        EXPECT_EQ(Notes(f).find("inferred"), std::string::npos) << Notes(f);
    }
    /* The CardBus controller: fields from the hex, socket registers part of its layout. */
    const FunctionDesc *cb = Find(m, "00:03.0");
    EXPECT_EQ(cb->revision, 0x01);
    EXPECT_EQ(cb->multifunction, true);
    EXPECT_EQ(cb->subVendor, 0x1028) << "CardBus subsystem ids sit at 0x40";
    EXPECT_EQ(cb->subDevice, 0x00B0);
    EXPECT_EQ(cb->interruptPin, 1);
    EXPECT_EQ(*cb->busNumbers, (std::array<uint8_t, 3>{0x00, 0x02, 0x05}));
    EXPECT_EQ(cb->line, 27) << "the header line of 00:03.0";
    EXPECT_EQ(Le(*cb, 0x10, 4), 0x10000000u) << "socket registers address as dumped";
    /* Vendor registers are kept as dumped: system control at 0x80, device control 0x92. */
    EXPECT_EQ(cb->config[0x80], 0x60);
    EXPECT_EQ(cb->config[0x83], 0x08);
    EXPECT_EQ(cb->config[0x92], 0x66);
    EXPECT_EQ(Find(m, "00:03.1")->interruptPin, 2);
    EXPECT_EQ(*Find(m, "00:03.1")->busNumbers, (std::array<uint8_t, 3>{0x00, 0x06, 0x09}));
}

TEST(LspciXOnly, InfersBarSizesSaysSoAndOtherwiseMatchesTheFullDump)
{
    MachineDesc x = ImportData("chassis_x.txt");
    MachineDesc full = ImportData("chassis_vvv_xxx.txt");
    ASSERT_EQ(x.functions.size(), full.functions.size());
    EXPECT_EQ(x.controller, full.controller);
    for (size_t i = 0; i < x.functions.size(); i++) {
        const ChassisRow &r = kChassis[i];
        FunctionDesc a = x.functions[i], b = full.functions[i];
        SCOPED_TRACE(r.location);
        EXPECT_EQ(BarList(a), r.xBars);
        /* The model note comes last; compare the BAR notes in front of it. */
        EXPECT_EQ(Notes(a).substr(0, std::string(r.xNotes).size()), r.xNotes) << Notes(a);
        EXPECT_EQ(a.config.size(), a.header == 2 ? 128u : 64u) << "-x dumps 64 bytes, CardBus 128";
        EXPECT_TRUE(std::equal(a.config.begin(), a.config.end(), b.config.begin())) << "bytes as in the full dump";
        a.bars.clear(); /* sizes differ: inferred against stated */
        b.bars.clear();
        ExpectSameFunction(a, b, "-x vs -vvv -xxx");
    }
}

/* ------------------------------------------------- -nn -D -vv: text only */

TEST(LspciNnDomain, TextOnlyDumpGivesTheSameMachineAndHeaderBytesAsTheHex)
{
    /* Without hex, the text lines (Control, Status, Latency, Interrupt,
     * Region, Expansion ROM, Bus, windows, BridgeCtl, Subsystem, legacy
     * ports) give back the standard header as the hex has it. What the text
     * cannot give: the capability pointer and the "Cap+" status bit (the list
     * is not rebuilt), CardBus 0x14 and the bridges' secondary status. */
    MachineDesc text = ImportData("chassis_nn_domain.txt");
    MachineDesc full = ImportData("chassis_vvv_xxx.txt");
    ASSERT_EQ(text.functions.size(), 9u) << "00:03.1 is not in this dump";
    EXPECT_EQ(text.controller, "00:03.0");
    for (const FunctionDesc &t : text.functions) {
        const FunctionDesc *h = Find(full, t.location);
        ASSERT_NE(h, nullptr) << t.location;
        FunctionDesc b = *h;
        if (t.location == "00:03.0") /* socket B is missing from this dump */
            b.multifunction = false;
        if (t.location == "04:00.0" || t.location == "04:00.1")
            EXPECT_EQ(t.multifunction, true) << t.location << ": two functions in one slot";
        ExpectSameFunction(t, b, "-nn text vs hex");
        const size_t end = t.header == 2 ? 0x48 : 0x40;
        ASSERT_EQ(t.config.size(), end) << t.location;
        for (size_t o = 0; o < end; o++) {
            uint8_t want = h->config[o];
            if (o == 0x06)
                want &= ~0x10; /* Cap+ */
            if (o == 0x34 || (t.header == 2 && (o == 0x14 || o == 0x17)) || (t.header == 1 && (o == 0x1E || o == 0x1F)))
                want = 0;
            if (o == 0x0E && t.location == "00:03.0")
                want &= 0x7F; /* socket B is not in this dump */
            EXPECT_EQ(t.config[o], want) << t.location << " config byte 0x" << std::hex << o;
        }
    }
}

/* ------------------------------------------------- old-style window lines, -n */

TEST(LspciOldStyle, WindowLinesWithoutSizesAndDisabledWindows)
{
    MachineDesc m = ImportData("old_style_windows.txt");
    MachineDesc full = ImportData("chassis_vvv_xxx.txt");
    ASSERT_EQ(m.functions.size(), 5u);
    const FunctionDesc *dec = Find(m, "02:00.0"), *ti = Find(m, "03:02.0"), *cb = Find(m, "00:03.0");
    ASSERT_TRUE(dec && ti && cb);
    EXPECT_EQ(dec->classCode, 0x060400u) << "\"Class 0604\"";
    EXPECT_EQ(dec->vendor, 0x1011);
    EXPECT_EQ(cb->subVendor, 0x1028) << "\"Subsystem: 1028:00b0\"";
    struct {
        const FunctionDesc *f;
        unsigned from, to;
    } same[] = {{dec, 0x1C, 0x34}, {cb, 0x1C, 0x3C}};
    for (const auto &r : same)
        for (unsigned o = r.from; o < r.to; o++)
            if (o != 0x1E && o != 0x1F) /* secondary status */
                EXPECT_EQ(r.f->config[o], Find(full, r.f->location)->config[o])
                    << r.f->location << " config byte 0x" << std::hex << o;
    /* "I/O behind bridge: 0000f000-00000fff": base above limit, a closed window. */
    EXPECT_EQ(ti->config[0x1C] & 0xF0, 0xF0);
    EXPECT_EQ(ti->config[0x1D] & 0xF0, 0x00);
    EXPECT_EQ(Le(*ti, 0x20, 2), 0xF510u);
    EXPECT_EQ(Le(*ti, 0x24, 2), 0xD000u) << "32-bit prefetchable window";
    EXPECT_EQ(Le(*ti, 0x26, 2), 0xDFF0u);
    EXPECT_EQ(Find(m, "04:01.0")->behind, "03:02.0");
    EXPECT_EQ(BarList(*Find(m, "04:01.0")), BarList(*Find(full, "04:01.0")));
}

/* ------------------------------------------------- -xxxx, mail quotes and CRLF */

TEST(LspciXxxxAndMail, ExtendedSpaceIsNotKeptAndAQuotedCrlfMessageReadsAsTheDump)
{
    MachineDesc full = ImportData("chassis_vvv_xxx.txt");
    for (const auto &[name, count] : {std::pair<const char *, size_t>{"chassis_xxxx.txt", 4}, {"mail_quoted_crlf.txt", 3}}) {
        MachineDesc m = ImportData(name);
        ASSERT_EQ(m.functions.size(), count) << name;
        EXPECT_EQ(m.controller, "00:03.0") << name;
        for (const FunctionDesc &f : m.functions) {
            const FunctionDesc *h = Find(full, f.location);
            ASSERT_NE(h, nullptr) << name << " " << f.location;
            EXPECT_EQ(f.config, h->config) << name << " " << f.location << ": the first 256 bytes";
            EXPECT_EQ(f.behind, h->behind) << name << " " << f.location;
            if (std::string(name) == "mail_quoted_crlf.txt") /* -xxxx has no region lines: sizes are inferred */
                ExpectSameFunction(f, *h, name);
        }
    }
}

struct Rewrite {
    const char *name;
    std::string (*apply)(const std::string &line);
    bool crlf;
};

void PrintTo(const Rewrite &r, std::ostream *os) { *os << r.name; }

class LspciLayouts : public ::testing::TestWithParam<Rewrite> {};

TEST_P(LspciLayouts, SameMachineWhateverTheLayout)
{
    const std::string original = ReadData("chassis_vvv_xxx.txt");
    std::string rewritten;
    std::istringstream in(original);
    for (std::string line; std::getline(in, line);)
        rewritten += GetParam().apply(line) + (GetParam().crlf ? "\r\n" : "\n");
    MachineDesc a = Import(rewritten, "rewritten.txt"), b = Import(original, "chassis_vvv_xxx.txt");
    ASSERT_EQ(a.functions.size(), b.functions.size());
    for (size_t i = 0; i < a.functions.size(); i++) {
        ExpectSameFunction(a.functions[i], b.functions[i], GetParam().name);
        EXPECT_EQ(a.functions[i].config, b.functions[i].config) << GetParam().name;
    }
}

std::string TabsToSpaces(const std::string &line)
{
    std::string out;
    for (char c : line)
        out += c == '\t' ? std::string("    ") : std::string(1, c);
    return out;
}

std::string NoIndent(const std::string &line)
{
    size_t b = line.find_first_not_of(" \t");
    return b == std::string::npos ? "" : line.substr(b);
}

INSTANTIATE_TEST_SUITE_P(
    QuotesIndentationLineEnds, LspciLayouts,
    ::testing::Values(Rewrite{"quote", [](const std::string &l) { return "> " + l; }, false},
                      Rewrite{"nested quote", [](const std::string &l) { return ">> " + l; }, false},
                      Rewrite{"spaced nested quote", [](const std::string &l) { return "> > " + l; }, false},
                      Rewrite{"bare quote", [](const std::string &l) { return ">" + l; }, false},
                      Rewrite{"spaces for tabs", TabsToSpaces, false}, Rewrite{"no indentation", NoIndent, false},
                      Rewrite{"code block", [](const std::string &l) { return "    " + l; }, false},
                      Rewrite{"crlf", [](const std::string &l) { return l; }, true},
                      Rewrite{"quote and crlf", [](const std::string &l) { return "> " + l; }, true},
                      Rewrite{"trailing blanks", [](const std::string &l) { return l + "  \t"; }, false}),
    [](const ::testing::TestParamInfo<Rewrite> &info) { return TestName(info.param.name); });

/* ------------------------------------------------- region line forms */

struct RegionRow {
    const char *name;
    std::string text;
    const char *bars;
    uint32_t classCode;
    std::vector<std::string> notes; /* each must appear */
};

void PrintTo(const RegionRow &r, std::ostream *os) { *os << r.name; }

class LspciRegions : public ::testing::TestWithParam<RegionRow> {};

TEST_P(LspciRegions, BarsAndNotes)
{
    MachineDesc m = Import(GetParam().text, "r.txt");
    ASSERT_EQ(m.functions.size(), 1u);
    EXPECT_EQ(BarList(m.functions[0]), GetParam().bars);
    EXPECT_EQ(m.functions[0].classCode, GetParam().classCode);
    for (const std::string &n : GetParam().notes)
        EXPECT_NE(Notes(m.functions[0]).find(n), std::string::npos) << n << " in " << Notes(m.functions[0]);
}

const char kZeroHex2030[] = "20: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
                            "30: 00 00 00 00 00 00 00 00 00 00 00 00 0a 01 00 00\n";

INSTANTIATE_TEST_SUITE_P(
    Forms, LspciRegions,
    ::testing::Values(
        /* lspci -v prints "Memory at ..." without "Region N:"; BAR 0 reads 0
         * here, so the two lines belong to BARs 1 and 2. */
        RegionRow{"verbose form matched by address",
                  std::string("00:09.0 Ethernet controller: Some Vendor Some NIC\n"
                              "\tFlags: bus master, medium devsel, latency 64, IRQ 10\n"
                              "\tI/O ports at c400 [size=128]\n"
                              "\tMemory at febff000 (32-bit, non-prefetchable) [size=1K]\n"
                              "00: 34 12 78 56 07 00 90 02 01 00 00 02 00 40 00 00\n"
                              "10: 00 00 00 00 01 c4 00 00 00 f0 bf fe 00 00 00 00\n") +
                      kZeroHex2030,
                  "BAR 1 io size 0x80 at 0xc400\nBAR 2 mem32 size 0x400 at 0xfebff000\n", 0x020000, {}},
        RegionRow{"verbose form without hex in register order",
                  "00:09.0 0200: 1234:5678 (rev 01)\n"
                  "\tFlags: bus master, medium devsel, latency 64, IRQ 10\n"
                  "\tMemory at d0000000 (64-bit, prefetchable) [size=64M]\n"
                  "\tI/O ports at c400 [size=128]\n",
                  "BAR 0 mem64 size 0x4000000 pref at 0xd0000000\nBAR 2 io size 0x80 at 0xc400\n", 0x020000, {}},
        RegionRow{"unassigned disabled and virtual",
                  "00:0a.0 Multimedia controller [0480]: Vendor Thing [1234:0001]\n"
                  "\tRegion 0: Memory at <unassigned> (32-bit, non-prefetchable) [size=4K]\n"
                  "\tRegion 1: I/O ports at b000 [disabled] [size=64]\n"
                  "\tRegion 2: [virtual] Memory at fd000000 (32-bit, non-prefetchable) [size=1M]\n"
                  "\tRegion 3: Memory at <ignored> (32-bit, prefetchable)\n",
                  "BAR 0 mem32 size 0x1000 at -\nBAR 1 io size 0x40 at 0xb000\n", 0x048000,
                  {"BAR 2 is virtual in the dump", "BAR 3 has neither an address nor a size in the dump: left out"}},
        RegionRow{"region lines inside capabilities are not the function's",
                  "00:0c.0 Ethernet controller [0200]: Acme NIC [1234:0003]\n"
                  "\tRegion 0: Memory at fe000000 (32-bit, non-prefetchable) [size=128K]\n"
                  "\tCapabilities: [160 v1] Single Root I/O Virtualization (SR-IOV)\n"
                  "\t\tIOVCap:\tMigration- 10BitTagReq- IntMsgNum 0\n"
                  "\t\tRegion 0: Memory at 00000000fd000000 (64-bit, non-prefetchable)\n"
                  "\t\tRegion 3: Memory at 00000000fd100000 (64-bit, non-prefetchable)\n"
                  "\tKernel driver in use: acme\n",
                  "BAR 0 mem32 size 0x20000 at 0xfe000000\n", 0x020000, {}},
        /* BAR 0 is a 64-bit prefetchable register with no address; BAR 2 is I/O at 0. */
        RegionRow{"unprogrammed BAR without size left out",
                  std::string("00:0b.0 Class 0b40: 1234:0002\n"
                              "00: 34 12 02 00 00 00 00 02 00 00 40 0b 00 00 00 00\n"
                              "10: 0c 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00\n") +
                      kZeroHex2030,
                  "", 0x0b4000,
                  {"BAR 0 has neither an address nor a size in the dump: left out; "
                   "BAR 2 has neither an address nor a size in the dump: left out; "}}),
    [](const ::testing::TestParamInfo<RegionRow> &info) { return TestName(info.param.name); });

TEST(LspciRegionsExtra, VerboseFlagsAndUnindexedRegions)
{
    const std::string text = "00:09.0 0200: 1234:5678 (rev 01)\n"
                             "\tFlags: bus master, medium devsel, latency 64, IRQ 10\n"
                             "\tMemory at febff000 (32-bit, non-prefetchable) [size=1K]\n"
                             "\tI/O ports at c400 [disabled] [size=128]\n";
    MachineDesc m = Import(text, "v.txt");
    ASSERT_EQ(m.functions.size(), 1u);
    ASSERT_GE(m.functions[0].config.size(), 0x40u);
    EXPECT_EQ(m.functions[0].config[0x04], 0x06) << "bus master and memory; I/O is shown disabled";
    EXPECT_EQ(m.functions[0].interruptPin, 1) << "an IRQ is routed, so INTA";
    EXPECT_EQ(m.controller, "") << "no CardBus controller in the dump";
}

/* ------------------------------------------------- inference rule */

struct InferRow {
    bool io, prefetchable;
    uint64_t address, size;
};

void PrintTo(const InferRow &r, std::ostream *os)
{
    *os << (r.io ? "io" : r.prefetchable ? "prefetchable" : "memory") << " at 0x" << std::hex << r.address;
}

class LspciInference : public ::testing::TestWithParam<InferRow> {};

TEST_P(LspciInference, LargestPowerOfTwoDividingTheAddressUpToTheCap)
{
    const InferRow &r = GetParam();
    EXPECT_EQ(tolmusim::InferBarSize(r.io, r.prefetchable, r.address), r.size) << ::testing::PrintToString(r);
}

INSTANTIATE_TEST_SUITE_P(Rows, LspciInference,
                         ::testing::Values(InferRow{true, false, 0xD000, 0x100}, /* capped at 256 */
                                           InferRow{true, false, 0xE020, 0x20},
                                           InferRow{true, false, 0xE024, 0x4},  /* smallest I/O decoder */
                                           InferRow{true, false, 0xE021, 0x20}, /* flag bit ignored */
                                           InferRow{true, false, 0x0, 0x0},     /* unprogrammed */
                                           InferRow{false, false, 0xF5100000, 0x100000},
                                           InferRow{false, false, 0xE0000000, 0x1000000}, /* capped at 16 MB */
                                           InferRow{false, false, 0xFEBFF010, 0x10},      /* smallest memory decoder */
                                           InferRow{false, true, 0xE0000000, 0x10000000}, /* capped at 256 MB */
                                           InferRow{false, true, 0xC8000000, 0x8000000},
                                           InferRow{false, true, 0x400000000ull, 0x10000000},
                                           InferRow{false, false, 0x8, 0x0}));

/* ------------------------------------------------- bus tree */

std::string Bridge(const std::string &loc, const char *sec, const char *sub)
{
    /* A PCI-to-PCI bridge dumped with -x: DEC 21154, bus numbers as given. */
    return loc + " PCI bridge: Digital Equipment Corporation DECchip 21154 (rev 05)\n"
                 "00: 11 10 26 00 07 00 90 02 05 00 04 06 08 40 01 00\n"
                 "10: 00 00 00 00 00 00 00 00 " +
           loc.substr(0, 2) + " " + sec + " " + sub +
           " 40 f1 01 80 02\n"
           "20: f0 ff 00 00 f1 ff 01 00 00 00 00 00 00 00 00 00\n"
           "30: 00 00 00 00 dc 00 00 00 00 00 00 00 00 00 00 00\n\n";
}

std::string Card(const std::string &loc)
{
    return loc + " Ethernet controller [0200]: Realtek Semiconductor Co., Ltd. RTL-8139 [10ec:8139] (rev 10)\n\n";
}

TEST(LspciTree, BehindTheBridgeWhoseSecondaryIsItsBusElseTheNarrowestEnclosingRange)
{
    MachineDesc m = Import(Bridge("00:1e.0", "02", "06") + Bridge("02:04.0", "03", "06") +
                               Bridge("03:00.0", "04", "04") + Card("03:05.0") + Card("04:00.0") + Card("02:01.0") +
                               Card("05:07.0"), /* no bridge for bus 05 in this dump (lspci -s) */
                           "tree.txt");
    const std::pair<const char *, const char *> behind[] = {{"00:1e.0", ""},        {"02:04.0", "00:1e.0"},
                                                            {"03:00.0", "02:04.0"}, {"03:05.0", "02:04.0"},
                                                            {"04:00.0", "03:00.0"}, {"02:01.0", "00:1e.0"},
                                                            {"05:07.0", "02:04.0"}};
    ASSERT_EQ(m.functions.size(), std::size(behind));
    for (const auto &b : behind)
        EXPECT_EQ(Find(m, b.first)->behind, b.second) << b.first;
    EXPECT_EQ(m.controller, "") << "a PCI-to-PCI adapter is named by the caller";
}

/* ------------------------------------------------- the machine builds */

TEST(LspciBuild, EveryHandWrittenDumpBuildsAndKeepsTheFirmwareState)
{
    for (const char *name : {"chassis_vvv_xxx.txt", "chassis_x.txt", "chassis_nn_domain.txt", "old_style_windows.txt",
                             "chassis_xxxx.txt", "mail_quoted_crlf.txt"}) {
        tolmusim::BuiltMachine built;
        std::string error;
        ASSERT_TRUE(tolmusim::BuildMachine(ImportData(name), &built, &error)) << name << ": " << error;
        EXPECT_EQ(built.controllerLocation, "00:03.0") << name;
        if (std::string(name) != "chassis_vvv_xxx.txt")
            continue;
        sim::PciFunction *dec = built.byLocation["02:00.0"], *fpga = built.byLocation["04:01.0"];
        ASSERT_TRUE(dec && fpga);
        EXPECT_EQ(dec->SecondaryBus(), 0x03);
        EXPECT_EQ(dec->SubordinateBus(), 0x05);
        EXPECT_EQ(dec->Peek16(0x24), 0xC001) << "prefetchable base as dumped";
        EXPECT_EQ(fpga->Peek32(0x14), 0xD000000Cu);
        EXPECT_EQ(fpga->WriteMask(0x14, 4) & ~0xFu, ~uint32_t{0x0FFFFFFF}) << "256 MB BAR";
        EXPECT_EQ(built.byLocation["00:03.0"]->Peek32(0x80), 0x08449060u) << "system control as dumped";
    }
}

} // namespace
