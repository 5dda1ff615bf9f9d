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

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "lspci_import.h"
#include "machine_desc.h"

namespace {

using tolmusim::BarDesc;
using tolmusim::FunctionDesc;
using tolmusim::MachineDesc;

std::string DataPath(const std::string &name)
{
    std::string here = __FILE__;
    return here.substr(0, here.find_last_of('/') + 1) + "data/" + name;
}

std::string ReadData(const std::string &name)
{
    std::ifstream in(DataPath(name), std::ios::binary);
    EXPECT_TRUE(in.good()) << "cannot open " << DataPath(name);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Imports text; a failure to import fails the test with the importer's message.
MachineDesc Import(const std::string &text, const std::string &name)
{
    std::string error;
    std::optional<MachineDesc> desc = tolmusim::ImportLspci(text, name, &error);
    EXPECT_TRUE(desc.has_value()) << name << ": " << error;
    return desc ? *desc : MachineDesc{};
}

MachineDesc ImportData(const std::string &name)
{
    return Import(ReadData(name), name);
}

const FunctionDesc *Find(const MachineDesc &m, const std::string &location)
{
    for (const FunctionDesc &f : m.functions)
        if (f.location == location)
            return &f;
    return nullptr;
}

std::string Describe(const BarDesc &b)
{
    std::ostringstream s;
    s << "BAR " << b.index << " " << b.type << " size 0x" << std::hex << b.size << (b.prefetchable ? " pref" : "")
      << " at " << (b.address ? "0x" : "-");
    if (b.address)
        s << *b.address;
    return s.str();
}

std::string Notes(const FunctionDesc &f)
{
    std::string all;
    for (const std::string &n : f.notes)
        all += n + "; ";
    return all;
}

// The BARs of a function as one line each, in register order.
std::string BarList(const FunctionDesc &f)
{
    std::string all;
    for (const BarDesc &b : f.bars)
        all += Describe(b) + "\n";
    return all;
}

// Everything of a function that does not depend on how the dump was written.
void ExpectSameFunction(const FunctionDesc &a, const FunctionDesc &b, const std::string &what)
{
    SCOPED_TRACE(what + " " + a.location);
    EXPECT_EQ(a.location, b.location);
    EXPECT_EQ(a.behind, b.behind);
    EXPECT_EQ(a.vendor, b.vendor);
    EXPECT_EQ(a.device, b.device);
    EXPECT_EQ(a.revision, b.revision);
    EXPECT_EQ(a.classCode, b.classCode);
    EXPECT_EQ(a.header, b.header);
    EXPECT_EQ(a.multifunction, b.multifunction);
    EXPECT_EQ(a.subVendor, b.subVendor);
    EXPECT_EQ(a.subDevice, b.subDevice);
    EXPECT_EQ(a.interruptPin, b.interruptPin);
    EXPECT_EQ(a.busNumbers, b.busNumbers);
    EXPECT_EQ(BarList(a), BarList(b));
    EXPECT_EQ(a.model, b.model);
}

const char *const kChassisOrder[] = {"00:00.0", "00:03.0", "00:03.1", "02:00.0", "03:00.0",
                                     "03:01.0", "03:02.0", "04:00.0", "04:00.1", "04:01.0"};

/* ------------------------------------------------- -vvv -xxx: the full dump */

struct PlaceRow {
    const char *location;
    const char *behind;
    uint16_t vendor, device;
    uint32_t classCode;
    int header;
    const char *model;
};

TEST(LspciVvvXxx, ReadsEveryFunctionWithIdentityTreeAndModel)
{
    const PlaceRow rows[] = {
        {"00:00.0", "", 0x8086, 0x7190, 0x060000, 0, "Intel440BX"},
        {"00:03.0", "", 0x104C, 0xAC51, 0x060700, 2, "TI1420"},
        {"00:03.1", "", 0x104C, 0xAC51, 0x060700, 2, "TI1420"},
        {"02:00.0", "00:03.0", 0x1011, 0x0026, 0x060400, 1, "DEC21154"},
        {"03:00.0", "02:00.0", 0x10EC, 0x8139, 0x020000, 0, "RTL8139"},
        {"03:01.0", "02:00.0", 0x10DE, 0x0110, 0x030000, 0, "GeForce2MX"},
        {"03:02.0", "02:00.0", 0x104C, 0xAC23, 0x060400, 1, "TIPCI2250"},
        {"04:00.0", "03:02.0", 0x1102, 0x0002, 0x040100, 0, "SBLiveAudio"},
        {"04:00.1", "03:02.0", 0x1102, 0x7002, 0x098000, 0, "SBLiveGameport"},
        {"04:01.0", "03:02.0", 0x10EE, 0x0007, 0x118000, 0, "FpgaBoard64"},
    };
    MachineDesc m = ImportData("chassis_vvv_xxx.txt");
    ASSERT_EQ(m.functions.size(), std::size(rows));
    EXPECT_EQ(m.controller, "00:03.0");
    EXPECT_EQ(m.source, "chassis_vvv_xxx.txt");
    for (size_t i = 0; i < std::size(rows); i++) {
        const PlaceRow &r = rows[i];
        const FunctionDesc &f = m.functions[i];
        SCOPED_TRACE(r.location);
        EXPECT_EQ(f.location, r.location);
        EXPECT_EQ(f.behind, r.behind);
        EXPECT_EQ(f.vendor, r.vendor);
        EXPECT_EQ(f.device, r.device);
        EXPECT_EQ(f.classCode, r.classCode);
        EXPECT_EQ(f.header, r.header);
        EXPECT_EQ(f.model, r.model);
        EXPECT_EQ(f.config.size(), 256u) << "-xxx dumps 256 bytes";
        for (const std::string &n : f.notes)
            EXPECT_EQ(n.find("inferred"), std::string::npos) << "every BAR has a size line: " << n;
    }
}

TEST(LspciVvvXxx, CardBusControllerFieldsComeFromTheHex)
{
    MachineDesc m = ImportData("chassis_vvv_xxx.txt");
    const FunctionDesc *cb = Find(m, "00:03.0");
    ASSERT_NE(cb, nullptr);
    EXPECT_EQ(cb->revision, 0x01);
    EXPECT_EQ(cb->multifunction, true);
    EXPECT_EQ(cb->subVendor, 0x1028) << "CardBus subsystem ids sit at 0x40";
    EXPECT_EQ(cb->subDevice, 0x00B0);
    EXPECT_EQ(cb->interruptPin, 1);
    ASSERT_TRUE(cb->busNumbers.has_value());
    EXPECT_EQ(*cb->busNumbers, (std::array<uint8_t, 3>{0x00, 0x02, 0x05}));
    EXPECT_EQ(cb->line, 27) << "the header line of 00:03.0";
    EXPECT_TRUE(cb->bars.empty()) << BarList(*cb) << ": the socket registers belong to the CardBus layout";
    EXPECT_EQ(cb->config[0x10] | cb->config[0x11] << 8 | cb->config[0x12] << 16 | cb->config[0x13] << 24, 0x10000000)
        << "socket registers address as dumped";
    /* Vendor registers are kept as dumped: system control at 0x80, device control 0x92. */
    EXPECT_EQ(cb->config[0x80], 0x60);
    EXPECT_EQ(cb->config[0x83], 0x08);
    EXPECT_EQ(cb->config[0x92], 0x66);
    EXPECT_EQ(Find(m, "00:03.1")->interruptPin, 2);
    EXPECT_EQ(*Find(m, "00:03.1")->busNumbers, (std::array<uint8_t, 3>{0x00, 0x06, 0x09}));
}

struct BarRow {
    const char *location;
    const char *bars; /* BarList() of the function */
};

const BarRow kSizedBars[] = {
    {"00:00.0", "BAR 0 mem32 size 0x4000000 pref at 0xe0000000\n"},
    {"00:03.0", ""}, /* the socket registers are part of the CardBus layout */
    {"00:03.1", ""},
    {"02:00.0", ""},
    {"03:00.0", "BAR 0 io size 0x100 at 0xd000\nBAR 1 mem32 size 0x100 at 0xf5000000\n"},
    {"03:01.0", "BAR 0 mem32 size 0x1000000 at 0xf4000000\nBAR 1 mem32 size 0x8000000 pref at 0xc8000000\n"},
    {"03:02.0", ""},
    {"04:00.0", "BAR 0 io size 0x20 at 0xe000\n"},
    {"04:00.1", "BAR 0 io size 0x8 at 0xe020\n"},
    {"04:01.0", "BAR 0 mem32 size 0x1000 at 0xf5100000\nBAR 1 mem64 size 0x10000000 pref at 0xd0000000\n"},
};

TEST(LspciVvvXxx, BarsTakeKindAndAddressFromTheHexAndSizeFromRegionLines)
{
    MachineDesc m = ImportData("chassis_vvv_xxx.txt");
    for (const BarRow &r : kSizedBars) {
        const FunctionDesc *f = Find(m, r.location);
        ASSERT_NE(f, nullptr) << r.location;
        EXPECT_EQ(BarList(*f), r.bars) << r.location;
    }
}

/* ------------------------------------------------- -x: sizes inferred */

struct InferredRow {
    const char *location;
    const char *bars;
    const char *notes;
};

TEST(LspciXOnly, InfersBarSizesFromAddressesAndSaysSo)
{
    const InferredRow rows[] = {
        {"00:00.0", "BAR 0 mem32 size 0x10000000 pref at 0xe0000000\n",
         "BAR 0 size inferred from its address: 0x10000000; "},
        {"00:03.0", "", ""},
        {"00:03.1", "", ""},
        {"02:00.0", "", ""},
        {"03:00.0", "BAR 0 io size 0x100 at 0xd000\nBAR 1 mem32 size 0x1000000 at 0xf5000000\n",
         "BAR 0 size inferred from its address: 0x100; BAR 1 size inferred from its address: 0x1000000; "},
        {"03:01.0", "BAR 0 mem32 size 0x1000000 at 0xf4000000\nBAR 1 mem32 size 0x8000000 pref at 0xc8000000\n",
         "BAR 0 size inferred from its address: 0x1000000; BAR 1 size inferred from its address: 0x8000000; "},
        {"04:00.0", "BAR 0 io size 0x100 at 0xe000\n", "BAR 0 size inferred from its address: 0x100; "},
        {"04:00.1", "BAR 0 io size 0x20 at 0xe020\n", "BAR 0 size inferred from its address: 0x20; "},
        {"04:01.0", "BAR 0 mem32 size 0x100000 at 0xf5100000\nBAR 1 mem64 size 0x10000000 pref at 0xd0000000\n",
         "BAR 0 size inferred from its address: 0x100000; BAR 1 size inferred from its address: 0x10000000; "},
    };
    MachineDesc m = ImportData("chassis_x.txt");
    for (const InferredRow &r : rows) {
        const FunctionDesc *f = Find(m, r.location);
        ASSERT_NE(f, nullptr) << r.location;
        EXPECT_EQ(BarList(*f), r.bars) << r.location;
        std::string notes = Notes(*f);
        /* The model note comes last; compare the BAR notes in front of it. */
        EXPECT_EQ(notes.substr(0, std::string(r.notes).size()), r.notes) << r.location << " notes: " << notes;
    }
}

TEST(LspciXOnly, DumpsSixtyFourBytesAndCardBusOneHundredTwentyEight)
{
    MachineDesc m = ImportData("chassis_x.txt");
    for (const FunctionDesc &f : m.functions)
        EXPECT_EQ(f.config.size(), f.header == 2 ? 128u : 64u) << f.location;
    /* Bytes the dump has are those of the full dump. */
    MachineDesc full = ImportData("chassis_vvv_xxx.txt");
    for (const char *loc : kChassisOrder) {
        const FunctionDesc *a = Find(m, loc), *b = Find(full, loc);
        ASSERT_TRUE(a && b) << loc;
        EXPECT_TRUE(std::equal(a->config.begin(), a->config.end(), b->config.begin())) << loc;
    }
}

TEST(LspciXOnly, TreeIdentityAndBusNumbersMatchTheFullDump)
{
    MachineDesc x = ImportData("chassis_x.txt");
    MachineDesc full = ImportData("chassis_vvv_xxx.txt");
    ASSERT_EQ(x.functions.size(), full.functions.size());
    EXPECT_EQ(x.controller, full.controller);
    for (size_t i = 0; i < x.functions.size(); i++) {
        FunctionDesc a = x.functions[i], b = full.functions[i];
        a.bars.clear(); /* sizes differ: inferred against stated */
        b.bars.clear();
        ExpectSameFunction(a, b, "-x vs -vvv -xxx");
    }
}

/* ------------------------------------------------- -nn -D -vv: text only */

TEST(LspciNnDomain, TextOnlyDumpGivesTheSameMachineAsTheHex)
{
    MachineDesc text = ImportData("chassis_nn_domain.txt");
    MachineDesc full = ImportData("chassis_vvv_xxx.txt");
    ASSERT_EQ(text.functions.size(), 9u) << "00:03.1 is not in this dump";
    EXPECT_EQ(text.controller, "00:03.0");
    for (const FunctionDesc &t : text.functions) {
        const FunctionDesc *h = Find(full, t.location);
        ASSERT_NE(h, nullptr) << t.location;
        FunctionDesc a = t, b = *h;
        if (a.location == "00:03.0") /* socket B is missing from this dump */
            b.multifunction = false;
        if (a.location == "04:00.0" || a.location == "04:00.1") {
            EXPECT_EQ(a.multifunction, true) << a.location << ": two functions in one slot";
        }
        ExpectSameFunction(a, b, "-nn text vs hex");
    }
}

TEST(LspciNnDomain, HeaderBytesRebuiltFromTheTextEqualTheDumpedOnes)
{
    /* Without hex, the text lines (Control, Status, Latency, Interrupt,
     * Region, Expansion ROM, Bus, windows, BridgeCtl, Subsystem, legacy
     * ports) give back the standard header as the hex has it. What the text
     * cannot give: the capability pointer and the "Cap+" status bit (the list
     * is not rebuilt), CardBus 0x14 and the bridges' secondary status. */
    MachineDesc text = ImportData("chassis_nn_domain.txt");
    MachineDesc full = ImportData("chassis_vvv_xxx.txt");
    for (const FunctionDesc &t : text.functions) {
        const FunctionDesc *h = Find(full, t.location);
        ASSERT_NE(h, nullptr) << t.location;
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

TEST(LspciRegions, VerboseFlagsGiveBusMasterAndDecodingOfTheRegionsShown)
{
    const std::string text = "00:09.0 0200: 1234:5678 (rev 01)\n"
                             "\tFlags: bus master, medium devsel, latency 64, IRQ 10\n"
                             "\tMemory at febff000 (32-bit, non-prefetchable) [size=1K]\n"
                             "\tI/O ports at c400 [disabled] [size=128]\n";
    MachineDesc m = Import(text, "v.txt");
    ASSERT_EQ(m.functions.size(), 1u);
    const FunctionDesc &f = m.functions[0];
    ASSERT_GE(f.config.size(), 0x40u);
    EXPECT_EQ(f.config[0x04], 0x06) << "bus master and memory; I/O is shown disabled";
    EXPECT_EQ(f.interruptPin, 1) << "an IRQ is routed, so INTA";
}

TEST(LspciNnDomain, BridgeWindowsFromTextEqualTheDumpedRegisters)
{
    MachineDesc text = ImportData("chassis_nn_domain.txt");
    MachineDesc full = ImportData("chassis_vvv_xxx.txt");
    /* PCI-to-PCI bridges: I/O, memory and prefetchable base/limit 0x1C..0x2F
     * and the upper I/O halves 0x30..0x33. CardBus: windows 0x1C..0x3B. */
    struct {
        const char *location;
        unsigned from, to;
    } ranges[] = {{"02:00.0", 0x1C, 0x34}, {"03:02.0", 0x1C, 0x34}, {"00:03.0", 0x1C, 0x3C}, {"00:03.0", 0x10, 0x14}};
    for (const auto &r : ranges) {
        const FunctionDesc *t = Find(text, r.location), *h = Find(full, r.location);
        ASSERT_TRUE(t && h) << r.location;
        ASSERT_GE(t->config.size(), size_t{r.to}) << r.location;
        for (unsigned o = r.from; o < r.to; o++) {
            if (o == 0x1E || o == 0x1F)
                continue; /* secondary status */
            EXPECT_EQ(t->config[o], h->config[o]) << r.location << " config byte 0x" << std::hex << o;
        }
    }
}

/* ------------------------------------------------- old-style window lines, -n */

TEST(LspciOldStyle, WindowLinesWithoutSizesAndDisabledWindows)
{
    MachineDesc m = ImportData("old_style_windows.txt");
    MachineDesc full = ImportData("chassis_vvv_xxx.txt");
    ASSERT_EQ(m.functions.size(), 5u);
    const FunctionDesc *dec = Find(m, "02:00.0");
    ASSERT_NE(dec, nullptr);
    EXPECT_EQ(dec->classCode, 0x060400u) << "\"Class 0604\"";
    EXPECT_EQ(dec->vendor, 0x1011);
    const FunctionDesc *decHex = Find(full, "02:00.0");
    for (unsigned o = 0x1C; o < 0x34; o++) {
        if (o == 0x1E || o == 0x1F)
            continue; /* secondary status */
        EXPECT_EQ(dec->config[o], decHex->config[o]) << "02:00.0 config byte 0x" << std::hex << o;
    }

    /* "I/O behind bridge: 0000f000-00000fff": base above limit, a closed window. */
    const FunctionDesc *ti = Find(m, "03:02.0");
    ASSERT_NE(ti, nullptr);
    EXPECT_EQ(ti->config[0x1C] & 0xF0, 0xF0);
    EXPECT_EQ(ti->config[0x1D] & 0xF0, 0x00);
    EXPECT_EQ(ti->config[0x20] | ti->config[0x21] << 8, 0xF510);
    EXPECT_EQ(ti->config[0x24] | ti->config[0x25] << 8, 0xD000) << "32-bit prefetchable window";
    EXPECT_EQ(ti->config[0x26] | ti->config[0x27] << 8, 0xDFF0);

    const FunctionDesc *cb = Find(m, "00:03.0");
    ASSERT_NE(cb, nullptr);
    EXPECT_EQ(cb->subVendor, 0x1028) << "\"Subsystem: 1028:00b0\"";
    const FunctionDesc *cbHex = Find(full, "00:03.0");
    for (unsigned o = 0x1C; o < 0x3C; o++)
        EXPECT_EQ(cb->config[o], cbHex->config[o]) << "00:03.0 config byte 0x" << std::hex << o;

    EXPECT_EQ(Find(m, "04:01.0")->behind, "03:02.0");
    EXPECT_EQ(BarList(*Find(m, "04:01.0")), BarList(*Find(full, "04:01.0")));
}

/* ------------------------------------------------- -xxxx */

TEST(LspciXxxx, ExtendedSpaceIsReadButNotKept)
{
    MachineDesc m = ImportData("chassis_xxxx.txt");
    MachineDesc full = ImportData("chassis_vvv_xxx.txt");
    ASSERT_EQ(m.functions.size(), 4u);
    for (const FunctionDesc &f : m.functions) {
        EXPECT_EQ(f.config.size(), 256u) << f.location;
        EXPECT_EQ(f.config, Find(full, f.location)->config) << f.location;
    }
    EXPECT_EQ(Find(m, "03:00.0")->behind, "02:00.0");
}

/* ------------------------------------------------- mail quotes, CRLF, indentation */

TEST(LspciMail, QuotedCrlfMessageReadsAsTheDump)
{
    MachineDesc m = ImportData("mail_quoted_crlf.txt");
    MachineDesc full = ImportData("chassis_vvv_xxx.txt");
    ASSERT_EQ(m.functions.size(), 3u);
    EXPECT_EQ(m.controller, "00:03.0");
    for (const FunctionDesc &f : m.functions) {
        const FunctionDesc *h = Find(full, f.location);
        ASSERT_NE(h, nullptr) << f.location;
        ExpectSameFunction(f, *h, "mail");
        EXPECT_EQ(f.config, h->config) << f.location;
    }
}

struct Rewrite {
    const char *name;
    std::string (*apply)(const std::string &line);
    bool crlf;
};

void PrintTo(const Rewrite &r, std::ostream *os)
{
    *os << r.name;
}

class LspciLayouts : public ::testing::TestWithParam<Rewrite> {};

TEST_P(LspciLayouts, SameMachineWhateverTheLayout)
{
    const std::string original = ReadData("chassis_vvv_xxx.txt");
    std::string rewritten;
    std::istringstream in(original);
    for (std::string line; std::getline(in, line);)
        rewritten += GetParam().apply(line) + (GetParam().crlf ? "\r\n" : "\n");
    MachineDesc a = Import(rewritten, "rewritten.txt");
    MachineDesc b = Import(original, "chassis_vvv_xxx.txt");
    ASSERT_EQ(a.functions.size(), b.functions.size()) << GetParam().name;
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
    [](const ::testing::TestParamInfo<Rewrite> &info) {
        std::string n = info.param.name;
        for (char &c : n)
            if (!std::isalnum(static_cast<unsigned char>(c)))
                c = '_';
        return n;
    });

/* ------------------------------------------------- region line forms */

TEST(LspciRegions, VerboseFormWithoutIndexMatchesRegistersByAddress)
{
    /* lspci -v prints "Memory at ..." without "Region N:"; BAR 0 reads 0 here,
     * so the two lines belong to BARs 1 and 2. */
    const std::string text = "00:09.0 Ethernet controller: Some Vendor Some NIC\n"
                             "\tFlags: bus master, medium devsel, latency 64, IRQ 10\n"
                             "\tI/O ports at c400 [size=128]\n"
                             "\tMemory at febff000 (32-bit, non-prefetchable) [size=1K]\n"
                             "00: 34 12 78 56 07 00 90 02 01 00 00 02 00 40 00 00\n"
                             "10: 00 00 00 00 01 c4 00 00 00 f0 bf fe 00 00 00 00\n"
                             "20: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
                             "30: 00 00 00 00 00 00 00 00 00 00 00 00 0a 01 00 00\n";
    MachineDesc m = Import(text, "v.txt");
    ASSERT_EQ(m.functions.size(), 1u);
    EXPECT_EQ(BarList(m.functions[0]), "BAR 1 io size 0x80 at 0xc400\nBAR 2 mem32 size 0x400 at 0xfebff000\n");
    EXPECT_EQ(m.controller, "") << "no CardBus controller in the dump";
}

TEST(LspciRegions, VerboseFormWithoutHexTakesRegistersInOrder)
{
    const std::string text = "00:09.0 0200: 1234:5678 (rev 01)\n"
                             "\tFlags: bus master, medium devsel, latency 64, IRQ 10\n"
                             "\tMemory at d0000000 (64-bit, prefetchable) [size=64M]\n"
                             "\tI/O ports at c400 [size=128]\n";
    MachineDesc m = Import(text, "v.txt");
    ASSERT_EQ(m.functions.size(), 1u);
    EXPECT_EQ(BarList(m.functions[0]), "BAR 0 mem64 size 0x4000000 pref at 0xd0000000\nBAR 2 io size 0x80 at 0xc400\n");
}

TEST(LspciRegions, UnassignedDisabledAndVirtualRegions)
{
    const std::string text = "00:0a.0 Multimedia controller [0480]: Vendor Thing [1234:0001]\n"
                             "\tRegion 0: Memory at <unassigned> (32-bit, non-prefetchable) [size=4K]\n"
                             "\tRegion 1: I/O ports at b000 [disabled] [size=64]\n"
                             "\tRegion 2: [virtual] Memory at fd000000 (32-bit, non-prefetchable) [size=1M]\n"
                             "\tRegion 3: Memory at <ignored> (32-bit, prefetchable)\n";
    MachineDesc m = Import(text, "r.txt");
    ASSERT_EQ(m.functions.size(), 1u);
    const FunctionDesc &f = m.functions[0];
    EXPECT_EQ(BarList(f), "BAR 0 mem32 size 0x1000 at -\nBAR 1 io size 0x40 at 0xb000\n");
    EXPECT_NE(Notes(f).find("BAR 2 is virtual in the dump"), std::string::npos) << Notes(f);
    EXPECT_NE(Notes(f).find("BAR 3 has neither an address nor a size in the dump: left out"), std::string::npos)
        << Notes(f);
    EXPECT_EQ(f.classCode, 0x048000u);
}

TEST(LspciRegions, RegionLinesInsideCapabilitiesAreNotTheFunctionsBars)
{
    const std::string text = "00:0c.0 Ethernet controller [0200]: Acme NIC [1234:0003]\n"
                             "\tRegion 0: Memory at fe000000 (32-bit, non-prefetchable) [size=128K]\n"
                             "\tCapabilities: [160 v1] Single Root I/O Virtualization (SR-IOV)\n"
                             "\t\tIOVCap:\tMigration- 10BitTagReq- IntMsgNum 0\n"
                             "\t\tRegion 0: Memory at 00000000fd000000 (64-bit, non-prefetchable)\n"
                             "\t\tRegion 3: Memory at 00000000fd100000 (64-bit, non-prefetchable)\n"
                             "\tKernel driver in use: acme\n";
    MachineDesc m = Import(text, "sriov.txt");
    ASSERT_EQ(m.functions.size(), 1u);
    EXPECT_EQ(BarList(m.functions[0]), "BAR 0 mem32 size 0x20000 at 0xfe000000\n");
}

TEST(LspciRegions, UnprogrammedBarWithoutSizeIsLeftOutWithANote)
{
    /* BAR 0 is a 64-bit prefetchable register with no address; BAR 2 is I/O at 0. */
    const std::string text = "00:0b.0 Class 0b40: 1234:0002\n"
                             "00: 34 12 02 00 00 00 00 02 00 00 40 0b 00 00 00 00\n"
                             "10: 0c 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00\n"
                             "20: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
                             "30: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n";
    MachineDesc m = Import(text, "u.txt");
    ASSERT_EQ(m.functions.size(), 1u);
    EXPECT_EQ(BarList(m.functions[0]), "");
    EXPECT_EQ(Notes(m.functions[0]), "BAR 0 has neither an address nor a size in the dump: left out; "
                                     "BAR 2 has neither an address nor a size in the dump: left out; ");
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
    EXPECT_EQ(tolmusim::InferBarSize(r.io, r.prefetchable, r.address), r.size) << (r.io             ? "io"
                                                                                   : r.prefetchable ? "prefetchable"
                                                                                                    : "memory")
                                                                               << " at 0x" << std::hex << r.address;
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
    std::string bus = loc.substr(0, 2);
    return loc +
           " PCI bridge: Digital Equipment Corporation DECchip 21154 (rev 05)\n"
           "00: 11 10 26 00 07 00 90 02 05 00 04 06 08 40 01 00\n"
           "10: 00 00 00 00 00 00 00 00 " +
           bus + " " + sec + " " + sub +
           " 40 f1 01 80 02\n"
           "20: f0 ff 00 00 f1 ff 01 00 00 00 00 00 00 00 00 00\n"
           "30: 00 00 00 00 dc 00 00 00 00 00 00 00 00 00 00 00\n\n";
}

std::string Card(const std::string &loc)
{
    return loc + " Ethernet controller [0200]: Realtek Semiconductor Co., Ltd. RTL-8139 [10ec:8139] (rev 10)\n\n";
}

TEST(LspciTree, FunctionHangsBehindTheBridgeWhoseSecondaryIsItsBus)
{
    MachineDesc m = Import(Bridge("00:1e.0", "02", "06") + Bridge("02:04.0", "03", "06") +
                               Bridge("03:00.0", "04", "04") + Card("03:05.0") + Card("04:00.0") + Card("02:01.0"),
                           "tree.txt");
    ASSERT_EQ(m.functions.size(), 6u);
    EXPECT_EQ(Find(m, "00:1e.0")->behind, "");
    EXPECT_EQ(Find(m, "02:04.0")->behind, "00:1e.0");
    EXPECT_EQ(Find(m, "03:00.0")->behind, "02:04.0");
    EXPECT_EQ(Find(m, "03:05.0")->behind, "02:04.0");
    EXPECT_EQ(Find(m, "04:00.0")->behind, "03:00.0");
    EXPECT_EQ(Find(m, "02:01.0")->behind, "00:1e.0");
    EXPECT_EQ(m.controller, "") << "no CardBus controller";
}

TEST(LspciTree, MissingBridgeFallsBackToTheNearestEnclosingRange)
{
    /* lspci -s output without the bridge for bus 05: the card hangs behind
     * the bridge whose range 03..06 is the narrowest holding bus 05. */
    MachineDesc m =
        Import(Bridge("00:1e.0", "02", "06") + Bridge("02:04.0", "03", "06") + Card("05:00.0"), "partial.txt");
    EXPECT_EQ(Find(m, "05:00.0")->behind, "02:04.0");
}

TEST(LspciTree, FirstCardBusControllerOnTheRootBusIsTheController)
{
    MachineDesc m = ImportData("chassis_vvv_xxx.txt");
    EXPECT_EQ(m.controller, "00:03.0") << "00:03.1 comes after it";
    MachineDesc x = Import(Bridge("00:1e.0", "02", "02") + Card("02:00.0"), "p2p.txt");
    EXPECT_EQ(x.controller, "") << "a PCI-to-PCI adapter is named by the caller";
}

/* ------------------------------------------------- the machine builds */

TEST(LspciBuild, ImportedChassisBuildsAndKeepsTheFirmwareState)
{
    MachineDesc m = ImportData("chassis_vvv_xxx.txt");
    tolmusim::BuiltMachine built;
    std::string error;
    ASSERT_TRUE(tolmusim::BuildMachine(m, &built, &error)) << error;
    EXPECT_EQ(built.controllerLocation, "00:03.0");
    sim::PciFunction *dec = built.byLocation["02:00.0"];
    ASSERT_NE(dec, nullptr);
    EXPECT_EQ(dec->SecondaryBus(), 0x03);
    EXPECT_EQ(dec->SubordinateBus(), 0x05);
    EXPECT_EQ(dec->Peek16(0x24), 0xC001) << "prefetchable base as dumped";
    sim::PciFunction *fpga = built.byLocation["04:01.0"];
    ASSERT_NE(fpga, nullptr);
    EXPECT_EQ(fpga->Peek32(0x14), 0xD000000Cu);
    EXPECT_EQ(fpga->WriteMask(0x14, 4) & ~0xFu, ~uint32_t{0x0FFFFFFF}) << "256 MB BAR";
    sim::PciFunction *ti = built.byLocation["00:03.0"];
    EXPECT_EQ(ti->Peek32(0x80), 0x08449060u) << "system control as dumped";
}

TEST(LspciBuild, EveryHandWrittenDumpBuilds)
{
    for (const char *name : {"chassis_vvv_xxx.txt", "chassis_x.txt", "chassis_nn_domain.txt", "old_style_windows.txt",
                             "chassis_xxxx.txt", "mail_quoted_crlf.txt"}) {
        MachineDesc m = ImportData(name);
        tolmusim::BuiltMachine built;
        std::string error;
        EXPECT_TRUE(tolmusim::BuildMachine(m, &built, &error)) << name << ": " << error;
        EXPECT_EQ(built.controllerLocation, "00:03.0") << name;
    }
}

} // namespace
