// The hardware judge: bus number routing, what each function positively
// decodes (BARs, bridge windows in the hardware's granularity, VGA ranges),
// what bridges forward, and started functions that cannot be reached; each
// rule on a hand-built bad state and a good state that gives nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "hardware_judge.h"
#include "pci_machine.h"

using namespace sim;

namespace {

// ------------------------------------------------------------ register helpers

void Command(PciFunction *f, uint16_t bits) { f->Poke16(0x04, bits); }

void SetBar(PciFunction *f, int index, uint64_t address)
{
    uint8_t off = uint8_t(0x10 + 4 * index);
    uint32_t old = f->Peek32(off);
    uint32_t flags = old & ((old & 1) ? 0x3u : 0xFu);
    f->Poke32(off, uint32_t(address) | flags);
    if ((old & 7) == 4)
        f->Poke32(uint8_t(off + 4), uint32_t(address >> 32));
}

// PCI-to-PCI bridge windows, written the way a driver writes them: the
// address bits the registers hold, nothing else.
void IoWindow(PciFunction *b, uint32_t base, uint32_t limit)
{
    b->Poke8(0x1C, uint8_t((b->Peek8(0x1C) & 0x0F) | ((base >> 8) & 0xF0)));
    b->Poke8(0x1D, uint8_t((b->Peek8(0x1D) & 0x0F) | ((limit >> 8) & 0xF0)));
    b->Poke16(0x30, uint16_t(base >> 16));
    b->Poke16(0x32, uint16_t(limit >> 16));
}

void MemWindow(PciFunction *b, uint32_t base, uint32_t limit)
{
    b->Poke16(0x20, uint16_t((base >> 16) & 0xFFF0));
    b->Poke16(0x22, uint16_t((limit >> 16) & 0xFFF0));
}

void PrefWindow(PciFunction *b, uint64_t base, uint64_t limit)
{
    b->Poke16(0x24, uint16_t((b->Peek16(0x24) & 0x0F) | ((base >> 16) & 0xFFF0)));
    b->Poke16(0x26, uint16_t((b->Peek16(0x26) & 0x0F) | ((limit >> 16) & 0xFFF0)));
    b->Poke32(0x28, uint32_t(base >> 32));
    b->Poke32(0x2C, uint32_t(limit >> 32));
}

void CloseIo(PciFunction *b) { IoWindow(b, 0xF000, 0x0000); }
void CloseMem(PciFunction *b) { MemWindow(b, 0xFFF00000, 0); }
void ClosePref(PciFunction *b) { PrefWindow(b, 0xFFF00000, 0); }

// CardBus windows: memory 0 / 1, I/O 0 / 1.
void CbMem(PciFunction *b, int w, uint32_t base, uint32_t limit)
{
    b->Poke32(uint8_t(0x1C + 8 * w), base);
    b->Poke32(uint8_t(0x20 + 8 * w), limit & 0xFFFFF000);
}

void CbIo(PciFunction *b, int w, uint32_t base, uint32_t limit)
{
    b->Poke32(uint8_t(0x2C + 8 * w), base);
    b->Poke32(uint8_t(0x30 + 8 * w), limit & 0xFFFFFFFC);
}

std::vector<Violation> Judge(const PciMachine &m, const std::set<const PciFunction *> &started = {},
                             const std::set<const PciFunction *> &gone = {})
{
    JudgeOptions o;
    o.started = [&started](const PciFunction *f) { return started.count(f) != 0; };
    o.present = [&gone](const PciFunction *f) { return gone.count(f) == 0; };
    return JudgeHardware(m, o);
}

std::vector<Violation> Rule(const std::vector<Violation> &all, const std::string &rule)
{
    std::vector<Violation> out;
    for (const Violation &v : all)
        if (v.rule == rule)
            out.push_back(v);
    return out;
}

std::string Text(const std::vector<Violation> &all)
{
    std::string text;
    for (const Violation &v : all)
        text += v.rule + ": " + v.detail + "\n";
    return text;
}

bool Involves(const Violation &v, const PciFunction *f)
{
    return std::find(v.functions.begin(), v.functions.end(), f) != v.functions.end();
}

std::string ViewOf(const Violation &v, const PciFunction *f)
{
    for (size_t i = 0; i < v.functions.size(); i++)
        if (v.functions[i] == f)
            return v.views.at(i);
    return "(not involved)";
}

// ------------------------------------------------------------ a good machine

// A laptop's CardBus controller with a two-level chassis, every register as
// a careful firmware would leave it:
//   00:00.0 host bridge, aperture at 0xe0000000
//   00:03.0 TI1420 [00/01/03]: socket registers 0x90000000, memory
//           0x80000000-0x87ffffff, prefetchable 0x88000000-0x8fffffff,
//           I/O 0x1000-0x3fff
//   01:00.0 DEC 21154 [01/02/03]: I/O 0x1000-0x2fff, memory
//           0x80000000-0x810fffff, prefetchable 0x88000000-0x8cffffff
//   01:01.0 NIC: I/O 0x3000, memory 0x81200000
//   02:00.0 VGA: 0x80000000 (16M), prefetchable 0x88000000 (64M)
//   02:01.0 sound: I/O 0x2000
//   02:02.0 TI PCI2250 [02/03/03]: I/O 0x1000-0x1fff, memory
//           0x81000000-0x810fffff, prefetchable 0x8c000000-0x8cffffff
//   03:00.0 NIC: I/O 0x1000, memory 0x81001000
//   03:01.0 card: 0x81002000 (4K), 64-bit prefetchable 0x8c000000 (16M)
struct Good {
    PciMachine m;
    PciFunction *host, *cb, *a, *nic1, *vga, *audio, *b, *nic2, *card;
    std::set<const PciFunction *> all;

    Good()
    {
        host = m.AddFunction(m.Root(), 0, 0, models::Intel440BX());
        cb = m.AddFunction(m.Root(), 3, 0, models::TI1420());
        a = m.AddFunction(m.SecondarySegment(cb), 0, 0, models::DEC21154());
        nic1 = m.AddFunction(m.SecondarySegment(cb), 1, 0, models::RTL8139());
        DeviceModel vgaModel = models::GeForce2MX();
        vgaModel.bars = {MemBar(0, 16u << 20), PrefetchBar(1, 64u << 20)};
        vgaModel.romSize = 0;
        vga = m.AddFunction(m.SecondarySegment(a), 0, 0, vgaModel);
        audio = m.AddFunction(m.SecondarySegment(a), 1, 0, models::SBLiveAudio());
        b = m.AddFunction(m.SecondarySegment(a), 2, 0, models::TIPCI2250());
        nic2 = m.AddFunction(m.SecondarySegment(b), 0, 0, models::RTL8139());
        DeviceModel cardModel = models::FpgaBoard64();
        cardModel.bars = {MemBar(0, 0x1000), Mem64Bar(2, 16u << 20, true)};
        card = m.AddFunction(m.SecondarySegment(b), 1, 0, cardModel);

        SetBar(host, 0, 0xE0000000);
        Command(host, 0x0006);

        m.SetBusNumbers(cb, 0, 1, 3);
        SetBar(cb, 0, 0x90000000);
        CbMem(cb, 0, 0x80000000, 0x87FFFFFF);
        CbMem(cb, 1, 0x88000000, 0x8FFFFFFF);
        cb->Poke16(0x3E, 0x0200);
        CbIo(cb, 0, 0x1000, 0x3FFF);
        Command(cb, 0x0007);

        m.SetBusNumbers(a, 1, 2, 3);
        IoWindow(a, 0x1000, 0x2FFF);
        MemWindow(a, 0x80000000, 0x810FFFFF);
        PrefWindow(a, 0x88000000, 0x8CFFFFFF);
        Command(a, 0x0007);

        SetBar(nic1, 0, 0x3000);
        SetBar(nic1, 1, 0x81200000);
        Command(nic1, 0x0007);

        SetBar(vga, 0, 0x80000000);
        SetBar(vga, 1, 0x88000000);
        Command(vga, 0x0006);
        SetBar(audio, 0, 0x2000);
        Command(audio, 0x0005);

        m.SetBusNumbers(b, 2, 3, 3);
        IoWindow(b, 0x1000, 0x1FFF);
        MemWindow(b, 0x81000000, 0x810FFFFF);
        PrefWindow(b, 0x8C000000, 0x8CFFFFFF);
        Command(b, 0x0007);

        SetBar(nic2, 0, 0x1000);
        SetBar(nic2, 1, 0x81001000);
        Command(nic2, 0x0007);
        SetBar(card, 0, 0x81002000);
        SetBar(card, 2, 0x8C000000);
        Command(card, 0x0006);

        all = {host, cb, a, nic1, vga, audio, b, nic2, card};
    }
};

TEST(HardwareJudge, CarefulFirmwareStateGivesNothing)
{
    Good g;
    EXPECT_EQ(Text(Judge(g.m, g.all)), "");
    EXPECT_EQ(Text(Judge(g.m)), "") << "nothing started";
}

TEST(HardwareJudge, PowerOnStateGivesNothing)
{
    Good g;
    g.m.ResetAll();
    EXPECT_EQ(Text(Judge(g.m, {g.cb})), "") << "no decoding, no bus numbers";
}

TEST(HardwareJudge, FunctionLocationsByTheNumbersThatReachThemNow)
{
    Good g;
    EXPECT_EQ(FunctionLocation(g.m, g.card), "03:01.0");
    g.m.SetBusNumbers(g.b, 2, 0, 0);
    EXPECT_EQ(FunctionLocation(g.m, g.card), "--:01.0 behind 02:02.0");
}

// ------------------------------------------------------------ bus numbers

TEST(HardwareJudge, TwoBridgesRoutingTheSameBusesAreReportedWithBoth)
{
    Good g;
    PciFunction *cb2 = g.m.AddFunction(g.m.SecondarySegment(g.cb), 2, 0, models::TI1420());
    g.m.SetBusNumbers(cb2, 1, 3, 5); // beside 01:00.0 [02-03]: bus 03 twice
    g.m.SetBusNumbers(g.cb, 0, 1, 5);
    auto v = Rule(Judge(g.m, g.all), kRuleBusClaimedTwice);
    ASSERT_EQ(v.size(), 2u) << Text(v);
    EXPECT_EQ(v[0].detail, "bus 03 is routed by both 01:00.0 [02-03] and 01:02.0 [03-05]: a configuration cycle for "
                           "them reaches only the first");
    EXPECT_TRUE(Involves(v[0], g.a) && Involves(v[0], cb2));
    EXPECT_EQ(ViewOf(v[0], cb2), "bus 03 also claimed by 01:00.0");
    EXPECT_EQ(ViewOf(v[0], g.a), "bus 03 also claimed by 01:02.0");
    // The second-level bridge routes bus 03 as well.
    EXPECT_TRUE(Involves(v[1], g.b) && Involves(v[1], cb2)) << v[1].detail;
}

TEST(HardwareJudge, BridgeAboveTheOtherIsNoDoubleClaim)
{
    Good g; // 00:03.0 [01-03] above 01:00.0 [02-03] above 02:02.0 [03-03]
    EXPECT_TRUE(Rule(Judge(g.m, g.all), kRuleBusClaimedTwice).empty());
}

TEST(HardwareJudge, BridgeNoConfigurationCycleReachesClaimsNothing)
{
    Good g;
    // A second bridge behind the second level with numbers of the first
    // level, while the second level itself has lost its number: nothing
    // reaches it, so it routes nothing.
    PciFunction *deep = g.m.AddFunction(g.m.SecondarySegment(g.b), 5, 0, models::DEC21154());
    g.m.SetBusNumbers(deep, 3, 2, 2);
    g.m.SetBusNumbers(g.b, 2, 0, 0);
    auto all = Judge(g.m);
    EXPECT_TRUE(Rule(all, kRuleBusClaimedTwice).empty()) << Text(all);
    EXPECT_TRUE(Rule(all, kRuleBridgeRangeOutsideParent).empty()) << Text(all);

    // An unnumbered bridge (secondary 0) with a subordinate routes nothing.
    PciFunction *blank = g.m.AddFunction(g.m.SecondarySegment(g.cb), 4, 0, models::DEC21154());
    g.m.SetBusNumbers(blank, 1, 0, 3);
    EXPECT_TRUE(Rule(Judge(g.m), kRuleBusClaimedTwice).empty());
}

TEST(HardwareJudge, BridgeRangeCoveringAPeerRootBus)
{
    PciMachine m;
    PciFunction *hub = m.AddFunction(m.Root(), 0x1e, 0, models::DEC21154());
    m.AddFunction(m.RootBus(0x40), 2, 0, models::RTL8139());
    m.SetBusNumbers(hub, 0, 2, 0x45);
    auto v = Rule(Judge(m), kRuleBusClaimedTwice);
    ASSERT_EQ(v.size(), 1u) << Text(Judge(m));
    EXPECT_EQ(v[0].detail, "00:1e.0 [02-45] routes bus 40, the number of a peer root bus (its host bridge takes those "
                           "cycles)");
    EXPECT_EQ(ViewOf(v[0], hub), "bus 40 is a peer root bus's number");

    m.SetBusNumbers(hub, 0, 2, 0x3F);
    EXPECT_EQ(Text(Judge(m)), "");
}

TEST(HardwareJudge, ChildRangeOutsideItsParentsRange)
{
    Good g;
    g.m.SetBusNumbers(g.b, 2, 3, 6); // behind 01:00.0 [02-03]
    auto v = Rule(Judge(g.m), kRuleBridgeRangeOutsideParent);
    ASSERT_EQ(v.size(), 1u) << Text(Judge(g.m));
    EXPECT_EQ(v[0].detail, "02:02.0 [03-06] is not inside the range of the bridge in front of it, 01:00.0 [02-03]; "
                           "01:00.0 does not pass on cycles for the numbers outside");
    EXPECT_EQ(ViewOf(v[0], g.b), "buses [03-06] outside 01:00.0's [02-03]");
    EXPECT_EQ(ViewOf(v[0], g.a), "") << "the parent is only named";

    // The parent's own secondary number is not the child's to route.
    g.m.SetBusNumbers(g.b, 2, 2, 3);
    EXPECT_EQ(Rule(Judge(g.m), kRuleBridgeRangeOutsideParent).size(), 1u);
    g.m.SetBusNumbers(g.b, 2, 3, 3);
    EXPECT_TRUE(Rule(Judge(g.m), kRuleBridgeRangeOutsideParent).empty());
}

TEST(HardwareJudge, BridgeOnAPeerRootOutsideThatRootsNumbers)
{
    PciMachine m;
    PciFunction *bridge = m.AddFunction(m.RootBus(0x40), 1, 0, models::DEC21154());
    m.SetBusNumbers(bridge, 0x40, 0x10, 0x12);
    auto v = Rule(Judge(m), kRuleBridgeRangeOutsideParent);
    ASSERT_EQ(v.size(), 1u) << Text(Judge(m));
    EXPECT_EQ(v[0].detail, "40:01.0 [10-12] is not inside the numbers of root bus 40 [41-ff]");
    m.SetBusNumbers(bridge, 0x40, 0x41, 0x42);
    EXPECT_EQ(Text(Judge(m)), "");
}

// ------------------------------------------------------------ decoding

TEST(HardwareJudge, TwoBarsDecodingOneAddress)
{
    Good g;
    SetBar(g.nic1, 0, 0x1000); // inside 01:00.0's I/O window
    auto v = Rule(Judge(g.m, g.all), kRuleDecodeConflict);
    ASSERT_EQ(v.size(), 1u) << Text(v);
    EXPECT_EQ(v[0].detail, "bus 01: I/O 0x1000-0x10ff decoded by both 01:00.0 (I/O window 0x1000-0x2fff) and 01:01.0 "
                           "(BAR0 0x1000-0x10ff)");

    // Two devices' BARs, with their decoders on and off.
    PciMachine m;
    PciFunction *x = m.AddFunction(m.Root(), 1, 0, models::RTL8139());
    PciFunction *y = m.AddFunction(m.Root(), 2, 0, models::RTL8139());
    SetBar(x, 1, 0xA0000000);
    SetBar(y, 1, 0xA0000000);
    Command(x, 0x0002);
    Command(y, 0x0002);
    v = Rule(Judge(m), kRuleDecodeConflict);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].detail, "bus 00: memory 0xa0000000-0xa00000ff decoded by both 00:01.0 (BAR1 0xa0000000-0xa00000ff) "
                           "and 00:02.0 (BAR1 0xa0000000-0xa00000ff)");
    EXPECT_EQ(ViewOf(v[0], x), "memory 0xa0000000-0xa00000ff also decoded by 00:02.0");
    Command(y, 0x0001); // memory decoding off: only I/O, which is at 0
    EXPECT_TRUE(Rule(Judge(m), kRuleDecodeConflict).empty()) << Text(Judge(m));
}

// A window a driver programs for 0x1000-0x12ff really decodes 0x1000-0x1fff:
// the I/O limit register holds address bits 15..12 only.
TEST(HardwareJudge, BridgeIoWindowDecodesWhole4KBlocks)
{
    PciMachine m;
    PciFunction *cb = m.AddFunction(m.Root(), 3, 0, models::O2MicroOZ711());
    PciFunction *bridge = m.AddFunction(m.SecondarySegment(cb), 0, 0, models::DEC21154());
    PciFunction *nic = m.AddFunction(m.SecondarySegment(cb), 1, 0, models::RTL8139());
    m.SetBusNumbers(cb, 0, 1, 2);
    m.SetBusNumbers(bridge, 1, 2, 2);
    CbIo(cb, 0, 0x1000, 0x12FF); // a CardBus window: double words
    CbMem(cb, 0, 0x80000000, 0x81FFFFFF);
    Command(cb, 0x0007);
    IoWindow(bridge, 0x1000, 0x12FF);
    MemWindow(bridge, 0x80000000, 0x800FFFFF);
    ClosePref(bridge);
    Command(bridge, 0x0007);
    SetBar(nic, 0, 0x1200);
    SetBar(nic, 1, 0x80100000);
    Command(nic, 0x0003);

    bool found = false;
    for (const DecodedRange &r : PositiveDecode(bridge))
        if (r.what == "I/O window") {
            EXPECT_EQ(r.base, 0x1000u);
            EXPECT_EQ(r.limit, 0x1FFFu);
            found = true;
        }
    EXPECT_TRUE(found);
    for (const DecodedRange &r : PositiveDecode(cb))
        if (r.io)
            EXPECT_EQ(r.limit, 0x12FFu) << "a CardBus I/O window ends where it is programmed";

    auto v = Rule(Judge(m, {cb, bridge, nic}), kRuleDecodeConflict);
    ASSERT_EQ(v.size(), 1u) << Text(Judge(m, {cb, bridge, nic}));
    EXPECT_EQ(v[0].detail, "bus 01: I/O 0x1200-0x12ff decoded by both 01:00.0 (I/O window 0x1000-0x1fff) and 01:01.0 "
                           "(BAR0 0x1200-0x12ff)");
    EXPECT_EQ(ViewOf(v[0], nic), "I/O 0x1200-0x12ff also decoded by 01:00.0");
    EXPECT_EQ(ViewOf(v[0], bridge), "I/O 0x1200-0x12ff also decoded by 01:01.0");

    // In the next 4 KB block the NIC is alone.
    CbIo(cb, 0, 0x1000, 0x2FFF);
    SetBar(nic, 0, 0x2000);
    EXPECT_EQ(Text(Judge(m, {cb, bridge, nic})), "");
}

TEST(HardwareJudge, BridgeMemoryWindowsDecodeWhole1MBlocks)
{
    Good g;
    MemWindow(g.b, 0x81000000, 0x81000FFF); // still 0x81000000-0x810fffff
    DeviceModel regs = models::Generic(0x1234, 0x0001, 0x118000, {MemBar(0, 0x1000)});
    PciFunction *board = g.m.AddFunction(g.m.SecondarySegment(g.a), 3, 0, regs);
    SetBar(board, 0, 0x81080000);
    Command(board, 0x0002);
    auto v = Rule(Judge(g.m), kRuleDecodeConflict);
    ASSERT_EQ(v.size(), 1u) << Text(Judge(g.m));
    EXPECT_EQ(v[0].detail, "bus 02: memory 0x81080000-0x81080fff decoded by both 02:02.0 (memory window "
                           "0x81000000-0x810fffff) and 02:03.0 (BAR0 0x81080000-0x81080fff)");
}

TEST(HardwareJudge, CardBusWindowsDecodeTheirOwnGranularity)
{
    PciMachine m;
    PciFunction *cb = m.AddFunction(m.Root(), 3, 0, models::TI1420());
    PciFunction *nic = m.AddFunction(m.Root(), 4, 0, models::RTL8139());
    CbMem(cb, 0, 0x80000000, 0x80000FFF); // one 4 KB page
    CbIo(cb, 0, 0x1000, 0x12FF);
    CbIo(cb, 1, 0, 0); // both zero: closed
    cb->Poke16(0x3E, 0x0000); // neither memory window prefetchable
    Command(cb, 0x0003);
    SetBar(nic, 0, 0x1300);
    SetBar(nic, 1, 0x80001000);
    Command(nic, 0x0003);
    EXPECT_EQ(Text(Judge(m)), "");

    SetBar(nic, 1, 0x80000F00);
    auto v = Rule(Judge(m), kRuleDecodeConflict);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].detail, "bus 00: memory 0x80000f00-0x80000fff decoded by both 00:03.0 (CardBus memory window 0 "
                           "0x80000000-0x80000fff) and 00:04.0 (BAR1 0x80000f00-0x80000fff)");
}

TEST(HardwareJudge, ClosedOrDisabledWindowsDecodeNothing)
{
    Good g;
    PciFunction *c = g.m.AddFunction(g.m.SecondarySegment(g.cb), 2, 0, models::DEC21154());
    g.m.SetBusNumbers(g.cb, 0, 1, 4);
    g.m.SetBusNumbers(c, 1, 4, 4);
    CloseIo(c);
    CloseMem(c);
    ClosePref(c);
    Command(c, 0x0007);
    EXPECT_EQ(Text(Judge(g.m, g.all)), "") << "base above limit";

    // Registers at zero with decoding on: 0-0xfff and 0-0xfffff, as the
    // hardware takes them; with decoding off, nothing.
    IoWindow(c, 0, 0);
    Command(c, 0x0000);
    EXPECT_EQ(Text(Judge(g.m, g.all)), "");
    Command(c, 0x0001);
    bool io = false;
    for (const DecodedRange &r : PositiveDecode(c))
        io = io || (r.io && r.base == 0 && r.limit == 0xFFF);
    EXPECT_TRUE(io);
}

TEST(HardwareJudge, VgaEnableClaimsTheLegacyRangesAndTheirAliases)
{
    PciMachine m;
    PciFunction *agp = m.AddFunction(m.Root(), 1, 0, models::DEC21154());
    PciFunction *hub = m.AddFunction(m.Root(), 0x1e, 0, models::DEC21154());
    PciFunction *smbus = m.AddFunction(m.Root(), 0x1f, 3, models::Generic(0x8086, 0x2483, 0x0c0500, {IoBar(4, 0x20)}));
    m.SetBusNumbers(agp, 0, 1, 1);
    m.SetBusNumbers(hub, 0, 2, 2);
    for (PciFunction *b : {agp, hub}) {
        CloseIo(b);
        CloseMem(b);
        ClosePref(b);
        Command(b, 0x0007);
    }
    agp->Poke16(0x3E, 0x0008);
    IoWindow(hub, 0x3000, 0x3FFF); // over the aliases 0x33b0...: the PC's way
    SetBar(smbus, 4, 0xEFA0);      // 0xefb0-0xefbb is an alias
    Command(smbus, 0x0001);
    auto v = Rule(Judge(m), kRuleDecodeConflict);
    ASSERT_EQ(v.size(), 1u) << Text(Judge(m));
    EXPECT_EQ(v[0].detail, "bus 00: I/O 0xefb0-0xefbb decoded by both 00:01.0 (the 10-bit aliases of VGA I/O, "
                           "0x7b0-0x7bb ... 0xffc0-0xffdf) and 00:1f.3 (BAR4 0xefa0-0xefbf)");

    // VGA 16-bit decode: the aliases are gone.
    agp->Poke16(0x3E, 0x0018);
    EXPECT_EQ(Text(Judge(m)), "");

    // Two bridges forwarding VGA on one bus.
    hub->Poke16(0x3E, 0x0008);
    v = Rule(Judge(m), kRuleDecodeConflict);
    ASSERT_GE(v.size(), 2u) << Text(v);
    EXPECT_EQ(v[0].detail, "bus 00: I/O 0x3b0-0x3bb and 0x3c0-0x3df decoded by both 00:01.0 (VGA I/O 0x3b0-0x3bb, "
                           "0x3c0-0x3df) and 00:1e.0 (VGA I/O 0x3b0-0x3bb, 0x3c0-0x3df)");
    EXPECT_EQ(v[1].detail, "bus 00: memory 0xa0000-0xbffff decoded by both 00:01.0 (VGA memory 0xa0000-0xbffff) and "
                           "00:1e.0 (VGA memory 0xa0000-0xbffff)");
}

TEST(HardwareJudge, SubtractiveBridgeDecodesOnlyItsWindowsPositively)
{
    PciMachine m;
    DeviceModel hubModel = models::DEC21154();
    hubModel.progIf = 0x01;
    PciFunction *hub = m.AddFunction(m.Root(), 0x1e, 0, hubModel);
    PciFunction *nic = m.AddFunction(m.Root(), 2, 0, models::RTL8139());
    m.SetBusNumbers(hub, 0, 1, 1);
    CloseIo(hub);
    CloseMem(hub);
    ClosePref(hub);
    Command(hub, 0x0007);
    SetBar(nic, 0, 0x2000);
    SetBar(nic, 1, 0xA0000000);
    Command(nic, 0x0003);
    EXPECT_EQ(Text(Judge(m)), "");
}

// ------------------------------------------------------------ reachability

TEST(HardwareJudge, StartedBarOutsideTheWindowsAbove)
{
    Good g;
    SetBar(g.nic2, 0, 0x2100); // 02:02.0 forwards I/O 0x1000-0x1fff only
    auto all = Judge(g.m, g.all);
    auto v = Rule(all, kRuleBarUnreachable);
    ASSERT_EQ(v.size(), 1u) << Text(all);
    EXPECT_EQ(v[0].detail, "03:00.0 BAR0 (I/O 0x2100-0x21ff) is not reached: 02:02.0 does not forward I/O "
                           "0x2100-0x21ff (its windows: I/O 0x1000-0x1fff)");
    EXPECT_EQ(ViewOf(v[0], g.nic2), "BAR0 unreachable (02:02.0 does not forward I/O 0x2100-0x21ff)");
    EXPECT_EQ(ViewOf(v[0], g.b), "");
    EXPECT_TRUE(Rule(Judge(g.m, {g.cb, g.a, g.b}), kRuleBarUnreachable).empty()) << "a function not started";
    SetBar(g.nic2, 0, 0x1000);

    // The topmost bridge that does not forward is named.
    Command(g.a, 0x0006); // 01:00.0's I/O decoding off: its window forwards nothing
    v = Rule(Judge(g.m, g.all), kRuleBarUnreachable);
    ASSERT_EQ(v.size(), 2u) << Text(v);
    EXPECT_EQ(v[0].detail, "02:01.0 BAR0 (I/O 0x2000-0x201f) is not reached: 01:00.0 does not forward I/O "
                           "0x2000-0x201f (its windows: no I/O window)");
    EXPECT_TRUE(Involves(v[1], g.nic2) && Involves(v[1], g.a)) << v[1].detail;
    Command(g.a, 0x0007);

    // A closed window forwards nothing either.
    CloseMem(g.b);
    v = Rule(Judge(g.m, g.all), kRuleBarUnreachable);
    ASSERT_EQ(v.size(), 2u) << Text(v);
    EXPECT_EQ(v[0].detail, "03:00.0 BAR1 (memory 0x81001000-0x810010ff) is not reached: 02:02.0 does not forward "
                           "memory 0x81001000-0x810010ff (its windows: memory 0x8c000000-0x8cffffff)");
}

TEST(HardwareJudge, SixtyFourBitPrefetchableWindowNeedsItsUpperHalves)
{
    PciMachine m;
    PciFunction *dec = m.AddFunction(m.Root(), 1, 0, models::DEC21154());   // 64-bit prefetchable window
    PciFunction *ti = m.AddFunction(m.Root(), 2, 0, models::TIPCI2250());   // 32-bit prefetchable window
    DeviceModel cardModel = models::FpgaBoard64();
    cardModel.bars = {Mem64Bar(2, 16u << 20, true)};
    PciFunction *card = m.AddFunction(m.SecondarySegment(dec), 0, 0, cardModel);
    PciFunction *other = m.AddFunction(m.SecondarySegment(ti), 0, 0, cardModel);
    m.SetBusNumbers(dec, 0, 1, 1);
    m.SetBusNumbers(ti, 0, 2, 2);
    for (PciFunction *b : {dec, ti}) {
        CloseIo(b);
        CloseMem(b);
        Command(b, 0x0006);
    }
    PrefWindow(dec, 0x100000000ull, 0x100FFFFFFull);
    PrefWindow(ti, 0x200000000ull, 0x200FFFFFFull); // the upper halves are not there to hold it
    SetBar(card, 2, 0x100000000ull);
    SetBar(other, 2, 0x200000000ull);
    Command(card, 0x0002);
    Command(other, 0x0002);
    auto v = Rule(Judge(m, {dec, ti, card, other}), kRuleBarUnreachable);
    ASSERT_EQ(v.size(), 1u) << Text(Judge(m, {dec, ti, card, other}));
    EXPECT_EQ(v[0].detail, "02:00.0 BAR2 (memory 0x200000000-0x200ffffff) is not reached: 00:02.0 does not forward "
                           "memory 0x200000000-0x200ffffff (its windows: memory 0x0-0xffffff)");

    dec->Poke32(0x28, 0); // the upper halves lost
    dec->Poke32(0x2C, 0);
    v = Rule(Judge(m, {dec, ti, card, other}), kRuleBarUnreachable);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(ViewOf(v[0], card), "BAR2 unreachable (00:01.0 does not forward memory 0x100000000-0x100ffffff)");
}

TEST(HardwareJudge, SubtractiveDecodeForwardsWhatNothingElseClaims)
{
    PciMachine m;
    DeviceModel hubModel = models::DEC21154();
    hubModel.progIf = 0x01;
    PciFunction *hub = m.AddFunction(m.Root(), 0x1e, 0, hubModel);
    PciFunction *lpc = m.AddFunction(m.Root(), 0x1f, 0, models::Generic(0x8086, 0x24c0, 0x060100, {IoBar(4, 0x80)}));
    PciFunction *nic = m.AddFunction(m.SecondarySegment(hub), 2, 0, models::RTL8139());
    m.SetBusNumbers(hub, 0, 1, 1);
    CloseIo(hub);
    CloseMem(hub);
    ClosePref(hub);
    Command(hub, 0x0007);
    SetBar(lpc, 4, 0x1000);
    Command(lpc, 0x0001);
    SetBar(nic, 0, 0x2000);
    SetBar(nic, 1, 0xA0000000);
    Command(nic, 0x0003);
    EXPECT_EQ(Text(Judge(m, {hub, nic})), "") << "the hub bridge forwards what nobody on bus 00 claims";

    SetBar(nic, 0, 0x1000); // the LPC bridge's: it never reaches bus 01
    auto v = Rule(Judge(m, {hub, nic}), kRuleBarUnreachable);
    ASSERT_EQ(v.size(), 1u) << Text(Judge(m, {hub, nic}));
    EXPECT_EQ(v[0].detail, "01:02.0 BAR0 (I/O 0x1000-0x10ff) is not reached: 00:1f.0 (BAR4 0x1000-0x107f) on bus 00 "
                           "claims I/O 0x1000-0x107f, which 00:1e.0 would have to forward");
    EXPECT_TRUE(Involves(v[0], lpc));

    Command(hub, 0x0006); // I/O decoding off: subtractive decode of I/O too
    v = Rule(Judge(m, {hub, nic}), kRuleBarUnreachable);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_NE(v[0].detail.find("00:1e.0 does not forward I/O 0x1000-0x10ff"), std::string::npos) << v[0].detail;
}

TEST(HardwareJudge, BarBehindAWindowOverTheVgaAliasesIsTakenByTheVgaBridge)
{
    PciMachine m;
    PciFunction *agp = m.AddFunction(m.Root(), 1, 0, models::DEC21154());
    PciFunction *hub = m.AddFunction(m.Root(), 0x1e, 0, models::DEC21154());
    PciFunction *nic = m.AddFunction(m.SecondarySegment(hub), 0, 0, models::RTL8139());
    m.SetBusNumbers(agp, 0, 1, 1);
    m.SetBusNumbers(hub, 0, 2, 2);
    for (PciFunction *b : {agp, hub}) {
        CloseIo(b);
        CloseMem(b);
        ClosePref(b);
        Command(b, 0x0007);
    }
    agp->Poke16(0x3E, 0x0008);
    IoWindow(hub, 0x3000, 0x3FFF);
    MemWindow(hub, 0xA0000000, 0xA00FFFFF);
    SetBar(nic, 0, 0x3000);
    SetBar(nic, 1, 0xA0000000);
    Command(nic, 0x0003);
    EXPECT_EQ(Text(Judge(m, {agp, hub, nic})), "");

    SetBar(nic, 0, 0x3300); // 0x33b0-0x33bb and 0x33c0-0x33df are VGA's
    auto v = Rule(Judge(m, {agp, hub, nic}), kRuleBarUnreachable);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(ViewOf(v[0], nic), "BAR0 unreachable (00:01.0 also claims I/O 0x33b0-0x33bb and 0x33c0-0x33df)");
}

TEST(HardwareJudge, IoAboveWhatTheProcessorReaches)
{
    PciMachine m;
    PciFunction *nic = m.AddFunction(m.Root(), 2, 0, models::RTL8139());
    SetBar(nic, 0, 0x10000);
    SetBar(nic, 1, 0xA0000000);
    Command(nic, 0x0003);
    auto v = Rule(Judge(m, {nic}), kRuleBarUnreachable);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].detail, "00:02.0 BAR0 (I/O 0x10000-0x100ff) lies above 0xffff, where the processor's I/O addresses "
                           "end");
}

TEST(HardwareJudge, StartedFunctionNoConfigurationCycleReaches)
{
    Good g;
    g.m.SetBusNumbers(g.a, 1, 2, 2); // bus 03 no longer routed by 01:00.0
    auto all = Judge(g.m, g.all);
    auto v = Rule(all, kRuleConfigUnreachable);
    ASSERT_EQ(v.size(), 2u) << Text(all);
    EXPECT_EQ(v[0].detail, "started function --:00.0 behind 02:02.0 10ec:8139 Realtek RTL8139 Ethernet is not "
                           "reached by any configuration cycle: bus 03 is not routed by 01:00.0 [02-02]");
    EXPECT_EQ(ViewOf(v[0], g.nic2), "not reached by configuration cycles (bus 03 is not routed by 01:00.0 [02-02])");
    EXPECT_EQ(Rule(all, kRuleBridgeRangeOutsideParent).size(), 1u) << "02:02.0 [03-03] outside [02-02]";
    EXPECT_TRUE(Rule(Judge(g.m, {g.cb, g.a, g.b}), kRuleConfigUnreachable).empty()) << "not started";

    g.m.SetBusNumbers(g.b, 2, 0, 0);
    v = Rule(Judge(g.m, g.all), kRuleConfigUnreachable);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(ViewOf(v[0], g.nic2), "not reached by configuration cycles (its bridge 02:02.0 has no bus number)");
}

TEST(HardwareJudge, FunctionsThatAreGoneDecodeNothing)
{
    Good g;
    PciFunction *cb2 = g.m.AddFunction(g.m.SecondarySegment(g.cb), 2, 0, models::TI1420());
    g.m.SetBusNumbers(cb2, 1, 2, 3); // beside 01:00.0
    SetBar(cb2, 0, 0x81200000);      // on 01:01.0's BAR
    Command(cb2, 0x0002);
    EXPECT_EQ(Rule(Judge(g.m, g.all), kRuleBusClaimedTwice).size(), 2u);
    EXPECT_EQ(Rule(Judge(g.m, g.all), kRuleDecodeConflict).size(), 1u);
    EXPECT_EQ(Text(Judge(g.m, g.all, {cb2})), "");
}

TEST(HardwareJudge, RuleNames)
{
    for (const char *r : {"BUS_NUMBER_CLAIMED_TWICE", "BRIDGE_RANGE_OUTSIDE_PARENT", "DECODE_CONFLICT",
                          "BAR_UNREACHABLE", "CONFIG_UNREACHABLE"})
        EXPECT_TRUE(IsHardwareRule(r)) << r;
    EXPECT_FALSE(IsHardwareRule("IRP_COMPLETED_TWICE"));
}

} // namespace
