// The hardware judge: bus number routing, what each function positively
// decodes (BARs, bridge windows in the hardware's granularity, VGA ranges),
// what bridges forward, and started functions that cannot be reached. Each
// row breaks a good machine and names the finding it must give; most then
// mend it and expect nothing again. The rows are named in
// docs/verifier-rules.md.
#include <gtest/gtest.h>

#include "hardware_judge.h"
#include "pci_machine.h"

using namespace sim;

namespace {

// Command register and BARs: {index, address} pairs; a 64-bit BAR gets both halves.
void Set(PciFunction *f, uint16_t command, std::initializer_list<std::pair<int, uint64_t>> bars = {})
{
    for (auto [index, address] : bars) {
        uint8_t off = uint8_t(0x10 + 4 * index);
        uint32_t old = f->Peek32(off);
        f->Poke32(off, uint32_t(address) | (old & ((old & 1) ? 0x3u : 0xFu)));
        if ((old & 7) == 4)
            f->Poke32(uint8_t(off + 4), uint32_t(address >> 32));
    }
    f->Poke16(0x04, command);
}

using Range = std::pair<uint64_t, uint64_t>;
const Range kClosedIo{0xF000, 0}, kClosed{0xFFF00000, 0}; // base above limit

// A PCI-to-PCI bridge's bus numbers and I/O, memory and prefetchable windows
// (written as a driver writes them: the address bits the registers hold),
// every decoder on.
PciFunction *Bridge(PciMachine &m, PciFunction *b, uint8_t primary, uint8_t secondary, uint8_t subordinate,
                    Range io = kClosedIo, Range mem = kClosed, Range pref = kClosed)
{
    m.SetBusNumbers(b, primary, secondary, subordinate);
    b->Poke8(0x1C, uint8_t((b->Peek8(0x1C) & 0x0F) | ((io.first >> 8) & 0xF0)));
    b->Poke8(0x1D, uint8_t((b->Peek8(0x1D) & 0x0F) | ((io.second >> 8) & 0xF0)));
    b->Poke32(0x30, uint32_t((io.first >> 16) | (io.second & 0xFFFF0000)));
    b->Poke32(0x20, uint32_t(((mem.first >> 16) & 0xFFF0) | (mem.second & 0xFFF00000)));
    b->Poke16(0x24, uint16_t((b->Peek16(0x24) & 0x0F) | ((pref.first >> 16) & 0xFFF0)));
    b->Poke16(0x26, uint16_t((b->Peek16(0x26) & 0x0F) | ((pref.second >> 16) & 0xFFF0)));
    b->Poke32(0x28, uint32_t(pref.first >> 32));
    b->Poke32(0x2C, uint32_t(pref.second >> 32));
    Set(b, 0x0007);
    return b;
}

// The judge's findings with every function of the machine started (or none).
std::vector<Violation> Judge(const PciMachine &m, bool started = true)
{
    JudgeOptions o;
    o.started = [started](const PciFunction *) { return started; };
    o.present = [](const PciFunction *) { return true; };
    return JudgeHardware(m, o);
}

std::string Text(const std::vector<Violation> &all)
{
    std::string text;
    for (const Violation &v : all)
        text += v.rule + ": " + v.detail + "\n";
    return text;
}

// A laptop's CardBus controller with a two-level chassis, as a careful
// firmware leaves it: 00:03.0 TI1420 [00/01/03] (memory 0x80000000-0x87ffffff,
// prefetchable 0x88000000-0x8fffffff, I/O 0x1000-0x3fff) with, on bus 01,
// a DEC 21154 [01/02/03] (I/O 0x1000-0x2fff, memory 0x80000000-0x810fffff,
// prefetchable 0x88000000-0x8cffffff) and a NIC (I/O 0x3000); on bus 02 VGA,
// sound (I/O 0x2000) and a TI PCI2250 [02/03/03] (I/O 0x1000-0x1fff, memory
// 0x81000000-0x810fffff, prefetchable 0x8c000000-0x8cffffff); on bus 03 a
// NIC (I/O 0x1000, memory 0x81001000) and a card with a 64-bit BAR.
struct Good {
    PciMachine m;
    PciFunction *cb, *a, *nic1, *b, *nic2;

    Good()
    {
        PciFunction *host = m.AddFunction(m.Root(), 0, 0, models::Intel440BX());
        cb = m.AddFunction(m.Root(), 3, 0, models::TI1420());
        a = m.AddFunction(m.SecondarySegment(cb), 0, 0, models::DEC21154());
        nic1 = m.AddFunction(m.SecondarySegment(cb), 1, 0, models::RTL8139());
        DeviceModel vgaModel = models::GeForce2MX();
        vgaModel.bars = {MemBar(0, 16u << 20), PrefetchBar(1, 64u << 20)};
        vgaModel.romSize = 0;
        PciFunction *vga = m.AddFunction(m.SecondarySegment(a), 0, 0, vgaModel);
        PciFunction *audio = m.AddFunction(m.SecondarySegment(a), 1, 0, models::SBLiveAudio());
        b = m.AddFunction(m.SecondarySegment(a), 2, 0, models::TIPCI2250());
        nic2 = m.AddFunction(m.SecondarySegment(b), 0, 0, models::RTL8139());
        DeviceModel cardModel = models::FpgaBoard64();
        cardModel.bars = {MemBar(0, 0x1000), Mem64Bar(2, 16u << 20, true)};
        PciFunction *card = m.AddFunction(m.SecondarySegment(b), 1, 0, cardModel);

        Set(host, 0x0006, {{0, 0xE0000000}});
        m.SetBusNumbers(cb, 0, 1, 3);
        cb->Poke32(0x1C, 0x80000000); // CardBus memory windows 0 and 1, I/O window 0
        cb->Poke32(0x20, 0x87FFF000);
        cb->Poke32(0x24, 0x88000000);
        cb->Poke32(0x28, 0x8FFFF000);
        cb->Poke16(0x3E, 0x0200); // window 0 not prefetchable, window 1 prefetchable
        cb->Poke32(0x2C, 0x1000);
        cb->Poke32(0x30, 0x3FFC);
        Set(cb, 0x0007, {{0, 0x90000000}});
        Bridge(m, a, 1, 2, 3, {0x1000, 0x2FFF}, {0x80000000, 0x810FFFFF}, {0x88000000, 0x8CFFFFFF});
        Set(nic1, 0x0007, {{0, 0x3000}, {1, 0x81200000}});
        Set(vga, 0x0006, {{0, 0x80000000}, {1, 0x88000000}});
        Set(audio, 0x0005, {{0, 0x2000}});
        Bridge(m, b, 2, 3, 3, {0x1000, 0x1FFF}, {0x81000000, 0x810FFFFF}, {0x8C000000, 0x8CFFFFFF});
        Set(nic2, 0x0007, {{0, 0x1000}, {1, 0x81001000}});
        Set(card, 0x0006, {{0, 0x81002000}, {2, 0x8C000000}});
    }
};

struct JudgeRow {
    const char *name;
    bool bare; // on an empty machine instead of the good one
    void (*breakIt)(Good &g, PciMachine &bare);
    const char *rule, *says; // the finding, and a part of its detail
    void (*mend)(Good &g, PciMachine &bare); // then nothing is found; null: not mended
};

const JudgeRow kRows[] = {
    {"TwoBridgesRoutingOneBus", false, [](Good &g, PciMachine &) {
         PciFunction *cb2 = g.m.AddFunction(g.m.SecondarySegment(g.cb), 2, 0, models::TI1420());
         g.m.SetBusNumbers(cb2, 1, 3, 5); // beside 01:00.0 [02-03]
         g.m.SetBusNumbers(g.cb, 0, 1, 5);
     }, kRuleBusClaimedTwice, "bus 03 is routed by both 01:00.0 [02-03] and 01:02.0 [03-05]",
     [](Good &g, PciMachine &) { g.m.SetBusNumbers(g.m.Find(1, 2, 0), 1, 4, 5); }},
    {"RangeCoveringAPeerRootBus", false, [](Good &g, PciMachine &) {
         PciFunction *hub = g.m.AddFunction(g.m.Root(), 0x1e, 0, models::DEC21154());
         g.m.AddFunction(g.m.RootBus(0x40), 2, 0, models::RTL8139());
         g.m.SetBusNumbers(hub, 0, 4, 0x45);
     }, kRuleBusClaimedTwice, "00:1e.0 [04-45] routes bus 40, the number of a peer root bus",
     [](Good &g, PciMachine &) { g.m.SetBusNumbers(g.m.Find(0, 0x1e, 0), 0, 4, 0x3F); }},
    {"ChildRangeOutsideItsParents", false, [](Good &g, PciMachine &) { g.m.SetBusNumbers(g.b, 2, 3, 6); },
     kRuleBridgeRangeOutsideParent, "02:02.0 [03-06] is not inside the range of the bridge in front of it, 01:00.0",
     [](Good &g, PciMachine &) { g.m.SetBusNumbers(g.b, 2, 3, 3); }},
    {"BarInsideABridgeWindow", false, [](Good &g, PciMachine &) { Set(g.nic1, 0x0007, {{0, 0x1000}}); },
     kRuleDecodeConflict, "I/O 0x1000-0x10ff decoded by both 01:00.0 (I/O window 0x1000-0x2fff) and 01:01.0",
     [](Good &g, PciMachine &) { Set(g.nic1, 0x0007, {{0, 0x3000}}); }},
    // A window programmed for 0x1000-0x10ff decodes 0x1000-0x1fff: the I/O
    // limit register holds address bits 15..12 only.
    {"IoWindowDecodesWhole4KBlocks", false, [](Good &g, PciMachine &) {
         Bridge(g.m, g.b, 2, 3, 3, {0x1000, 0x10FF}, {0x81000000, 0x810FFFFF}, {0x8C000000, 0x8CFFFFFF});
         Set(g.m.AddFunction(g.m.SecondarySegment(g.a), 3, 0, models::RTL8139()), 0x0001, {{0, 0x1200}});
     }, kRuleDecodeConflict, "I/O 0x1200-0x12ff decoded by both 02:02.0 (I/O window 0x1000-0x1fff)",
     [](Good &g, PciMachine &) { Set(g.m.Find(2, 3, 0), 0x0001, {{0, 0x2100}}); }},
    {"MemoryWindowDecodesWhole1MBlocks", false, [](Good &g, PciMachine &) {
         Bridge(g.m, g.b, 2, 3, 3, {0x1000, 0x1FFF}, {0x81000000, 0x81000FFF}, {0x8C000000, 0x8CFFFFFF});
         DeviceModel regs = models::Generic(0x1234, 0x0001, 0x118000, {MemBar(0, 0x1000)});
         Set(g.m.AddFunction(g.m.SecondarySegment(g.a), 3, 0, regs), 0x0002, {{0, 0x81080000}});
     }, kRuleDecodeConflict, "02:02.0 (memory window 0x81000000-0x810fffff) and 02:03.0", nullptr},
    {"BarOnAVgaAlias", true, [](Good &, PciMachine &m) {
         Bridge(m, m.AddFunction(m.Root(), 1, 0, models::DEC21154()), 0, 1, 1)->Poke16(0x3E, 0x0008); // VGA enable
         DeviceModel smbus = models::Generic(0x8086, 0x2483, 0x0c0500, {IoBar(4, 0x20)});
         Set(m.AddFunction(m.Root(), 0x1f, 3, smbus), 0x0001, {{4, 0xEFA0}}); // 0xefb0-0xefbb is an alias
     }, kRuleDecodeConflict, "0xefb0-0xefbb decoded by both 00:01.0 (the 10-bit aliases of VGA I/O",
     [](Good &, PciMachine &m) { m.Find(0, 1, 0)->Poke16(0x3E, 0x0018); }}, // VGA 16-bit decode: no aliases
    {"BarOutsideTheWindowAbove", false, [](Good &g, PciMachine &) { Set(g.nic2, 0x0007, {{0, 0x2100}}); },
     kRuleBarUnreachable, "03:00.0 BAR0 (I/O 0x2100-0x21ff) is not reached: 02:02.0 does not forward",
     [](Good &g, PciMachine &) { Set(g.nic2, 0x0007, {{0, 0x1000}}); }},
    {"BridgeWithItsIoDecodingOff", false, [](Good &g, PciMachine &) { Set(g.a, 0x0006); },
     kRuleBarUnreachable, "02:01.0 BAR0 (I/O 0x2000-0x201f) is not reached: 01:00.0 does not forward I/O", nullptr},
    {"PrefetchableWindowWithoutUpperHalves", true, [](Good &, PciMachine &m) {
         PciFunction *ti = m.AddFunction(m.Root(), 2, 0, models::TIPCI2250()); // 32-bit prefetchable window
         Bridge(m, ti, 0, 1, 1, kClosedIo, kClosed, {0x200000000ull, 0x200FFFFFFull});
         DeviceModel cardModel = models::FpgaBoard64();
         cardModel.bars = {Mem64Bar(2, 16u << 20, true)};
         Set(m.AddFunction(m.SecondarySegment(ti), 0, 0, cardModel), 0x0002, {{2, 0x200000000ull}});
     }, kRuleBarUnreachable, "00:02.0 does not forward memory 0x200000000-0x200ffffff", nullptr},
    {"IoAboveTheProcessorsReach", true, [](Good &, PciMachine &m) {
         Set(m.AddFunction(m.Root(), 2, 0, models::RTL8139()), 0x0003, {{0, 0x10000}, {1, 0xA0000000}});
     }, kRuleBarUnreachable, "BAR0 (I/O 0x10000-0x100ff) lies above 0xffff",
     [](Good &, PciMachine &m) { Set(m.Find(0, 2, 0), 0x0003, {{0, 0xFF00}}); }},
    // A subtractive hub bridge forwards what nothing on its bus claims.
    {"SubtractiveBridgeBehindAClaimedRange", true, [](Good &, PciMachine &m) {
         DeviceModel hubModel = models::DEC21154();
         hubModel.progIf = 0x01;
         PciFunction *hub = Bridge(m, m.AddFunction(m.Root(), 0x1e, 0, hubModel), 0, 1, 1);
         DeviceModel lpc = models::Generic(0x8086, 0x24c0, 0x060100, {IoBar(4, 0x80)});
         Set(m.AddFunction(m.Root(), 0x1f, 0, lpc), 0x0001, {{4, 0x1000}});
         PciFunction *nic = m.AddFunction(m.SecondarySegment(hub), 2, 0, models::RTL8139());
         Set(nic, 0x0003, {{0, 0x1000}, {1, 0xA0000000}}); // I/O 0x1000 is the LPC bridge's: never on bus 01
     }, kRuleBarUnreachable, "00:1f.0 (BAR4 0x1000-0x107f) on bus 00 claims I/O 0x1000-0x107f",
     [](Good &, PciMachine &m) { Set(m.Find(1, 2, 0), 0x0003, {{0, 0x2000}}); }},
    {"FunctionBehindALostBusNumber", false, [](Good &g, PciMachine &) { g.m.SetBusNumbers(g.a, 1, 2, 2); },
     kRuleConfigUnreachable, "not reached by any configuration cycle: bus 03 is not routed by 01:00.0 [02-02]",
     [](Good &g, PciMachine &) { g.m.SetBusNumbers(g.a, 1, 2, 3); }},
};

class HardwareJudge : public ::testing::TestWithParam<JudgeRow> {};

TEST_P(HardwareJudge, FindsTheBrokenStateAndNothingOnceMended)
{
    const JudgeRow &row = GetParam();
    Good g;
    PciMachine bare;
    PciMachine &m = row.bare ? bare : g.m;
    row.breakIt(g, bare);
    std::vector<Violation> all = Judge(m);
    bool found = false;
    for (const Violation &v : all)
        found = found || (v.rule == row.rule && v.detail.find(row.says) != std::string::npos);
    EXPECT_TRUE(found) << "expected " << row.rule << ": ..." << row.says << "...\nfound:\n" << Text(all);
    std::string rule = row.rule;
    if (rule == kRuleBarUnreachable || rule == kRuleConfigUnreachable)
        EXPECT_EQ(Text(Judge(m, false)).find(rule), std::string::npos) << "only started functions must be reached";
    if (row.mend != nullptr) {
        row.mend(g, bare);
        EXPECT_EQ(Text(Judge(m)), "");
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, HardwareJudge, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<JudgeRow> &info) { return std::string(info.param.name); });

TEST(HardwareJudgeGood, CarefulFirmwareStateAndPowerOnStateGiveNothing)
{
    Good g;
    EXPECT_EQ(Text(Judge(g.m)), "");
    g.m.ResetAll();
    EXPECT_EQ(Text(Judge(g.m, false)), "") << "power-on: no decoding, no bus numbers";
}

} // namespace
