// The bus probe on simulated hardware: bus numbering, sibling order, the
// ignore rule, multi-function devices, BAR sizing, unreachable buses and the
// four-second settle time per bus.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/debug.h"
#include "enum/enumerate.h"
#include "enum/pci_tree.h"
#include "pci_machine.h"
#include "test_support.h"

using testsupport::CountContaining;
using testsupport::TraceLines;

namespace {

constexpr uint64_t kSecondsPerBus = 4000000;

class ProbeTest : public testsupport::DriverTest {
  protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        StartTrace(0x100000);
        // The bridge being enumerated: on bus 0, secondary 3, forwarding up to
        // 0x12 as the enumeration entry leaves it.
        upstream_ = machine_.AddFunction(machine_.Root(), 1, 0, sim::models::DEC21154());
        machine_.SetBusNumbers(upstream_, 0, 3, 0x12);
        behind_ = machine_.SecondarySegment(upstream_);
        machine_.Install();
    }
    void TearDown() override
    {
        freePciTree(&root_, FALSE);
        machine_.Uninstall();
        DriverTest::TearDown();
    }

    // Probes bus 3 as an enumeration of the upstream bridge would.
    void Probe(UCHAR high = 0x12)
    {
        nextBus = 4;
        highBus = high;
        probeBuses(&root_, 3);
    }

    std::vector<PciNode *> Chain(PciNode *first)
    {
        std::vector<PciNode *> out;
        for (; first; first = first->next)
            out.push_back(first);
        return out;
    }

    sim::PciMachine machine_;
    sim::PciFunction *upstream_ = nullptr;
    sim::PciSegment *behind_ = nullptr;
    PciNode root_{};
};

TEST_F(ProbeTest, BridgesAreNumberedDepthFirstAndClosedAroundTheirSubtrees)
{
    auto *x = machine_.AddFunction(behind_, 0, 0, sim::models::DEC21154());
    auto *y = machine_.AddFunction(machine_.SecondarySegment(x), 0, 0, sim::models::DEC21154());
    auto *z = machine_.AddFunction(behind_, 2, 0, sim::models::TIPCI2250());
    uint64_t t0 = standin::VirtualMicroseconds();
    Probe(0x12);

    struct Expect {
        const char *name;
        sim::PciFunction *fn;
        int pri, sec, sub;
    } expected[] = {{"X", x, 3, 4, 5}, {"Y", y, 4, 5, 5}, {"Z", z, 3, 6, 6}};
    for (const auto &e : expected) {
        EXPECT_EQ(e.fn->PrimaryBus(), e.pri) << e.name << " primary";
        EXPECT_EQ(e.fn->SecondaryBus(), e.sec) << e.name << " secondary";
        EXPECT_EQ(e.fn->SubordinateBus(), e.sub) << e.name << " subordinate";
        EXPECT_EQ(e.fn->Peek16(0x3E), 0) << e.name << " bridge control cleared";
    }
    EXPECT_EQ(nextBus, 7);
    EXPECT_EQ(highBus, 0x12) << "the probe never changes highBus";

    // The nodes keep the subordinate number first given.
    auto top = Chain(root_.down);
    ASSERT_EQ(top.size(), 2u);
    EXPECT_EQ(top[0]->device, 0);
    EXPECT_EQ(top[0]->subBus, 0x12);
    EXPECT_EQ(top[0]->secBus, 4);
    ASSERT_NE(top[0]->down, nullptr);
    EXPECT_EQ(top[0]->down->secBus, 5);

    // Buses 3, 4, 5 and 6 were each given four seconds.
    EXPECT_EQ(standin::VirtualMicroseconds() - t0, 4 * kSecondsPerBus);

    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "$$$$$ probeBuses: probing bus 0x"), 4u);
    EXPECT_EQ(CountContaining(lines, "configBridge: Setting bridge bus numbers to 3 4 12"), 1u);
    EXPECT_EQ(CountContaining(lines, "configBridge: Setting bridge bus numbers to 4 5 12"), 1u);
    EXPECT_EQ(CountContaining(lines, "configBridge: Setting bridge bus numbers to 3 6 12"), 1u);
    EXPECT_EQ(CountContaining(lines, "==== probeBuses PCI Space 03:00:0"), 1u);
    EXPECT_EQ(CountContaining(lines, "==== after PCI Space 03:00:0"), 1u);
    EXPECT_EQ(CountContaining(lines, "probeBuses: Found Bridge on Bus 3"), 2u);
}

TEST_F(ProbeTest, SiblingsAreChainedFirstFoundThenTheOthersInReverse)
{
    const uint16_t ids[] = {0x1001, 0x1002, 0x1003, 0x1004}; // P, Q, R, S
    for (int dev = 0; dev < 4; dev++)
        machine_.AddFunction(behind_, dev * 3, 0, sim::models::Generic(0x1234, ids[dev], 0x020000));
    Probe();
    std::vector<uint16_t> order;
    for (PciNode *n : Chain(root_.down))
        order.push_back(n->deviceId);
    EXPECT_EQ(order, (std::vector<uint16_t>{0x1001, 0x1004, 0x1003, 0x1002}));
}

TEST_F(ProbeTest, SingleFunctionDeviceIsProbedAtFunctionZeroOnly)
{
    machine_.AddFunction(behind_, 5, 0, sim::models::RTL8139());
    machine_.ClearCounters();
    Probe();
    ASSERT_EQ(Chain(root_.down).size(), 1u);
    EXPECT_EQ(CountContaining(TraceLines(), "addNewDevice: trying 3:05"), 1u);
}

TEST_F(ProbeTest, MissingFunctionEndsTheProbeOfAMultiFunctionDevice)
{
    sim::DeviceModel card = sim::models::Generic(0x1102, 0x0002, 0x040100);
    card.multiFunction = true;
    machine_.AddFunction(behind_, 0, 0, card);
    machine_.AddFunction(behind_, 0, 2, card);
    machine_.AddFunction(behind_, 0, 3, card);
    Probe();
    auto chain = Chain(root_.down);
    ASSERT_EQ(chain.size(), 1u);
    EXPECT_EQ(chain[0]->function, 0);
}

TEST_F(ProbeTest, AllFunctionsOfAMultiFunctionCardAreFound)
{
    machine_.AddFunction(behind_, 1, 0, sim::models::SBLiveAudio());
    machine_.AddFunction(behind_, 1, 1, sim::models::SBLiveGameport());
    Probe();
    auto chain = Chain(root_.down);
    ASSERT_EQ(chain.size(), 2u);
    EXPECT_EQ(chain[0]->function, 0);
    EXPECT_EQ(chain[1]->function, 1);
}

TEST_F(ProbeTest, BridgeAtFunctionOneIsIgnoredAndEndsItsDevice)
{
    sim::DeviceModel card = sim::models::Generic(0x1102, 0x0002, 0x040100);
    card.multiFunction = true;
    sim::DeviceModel bridge = sim::models::DEC21154();
    bridge.multiFunction = true;
    machine_.AddFunction(behind_, 4, 0, card);
    auto *ignored = machine_.AddFunction(behind_, 4, 1, bridge);
    machine_.AddFunction(behind_, 4, 2, card);
    Probe();
    auto chain = Chain(root_.down);
    ASSERT_EQ(chain.size(), 1u);
    EXPECT_EQ(CountContaining(TraceLines(), "WARNING addNewDevice: 03:04:1 Ven 0x1011-0026 ignored"), 1u);
    EXPECT_EQ(ignored->SecondaryBus(), 0) << "an ignored bridge is not numbered";
}

TEST_F(ProbeTest, BarKindsAreSizedAndSummed)
{
    sim::DeviceModel card = sim::models::Generic(0x10EE, 0x0100, 0x118000,
                                                 {sim::Mem64Bar(0, 0x200000, false), sim::Io16Bar(2, 0x10),
                                                  sim::MemBar(3, 0x100000), sim::PrefetchBar(4, 0x100000),
                                                  sim::IoBar(5, 0x20)});
    auto *fn = machine_.AddFunction(behind_, 0, 0, card);
    fn->Poke32(0x10, 0xE0000004); // a 64-bit BAR already placed
    fn->Poke32(0x18, 0x0000E001);
    fn->Poke16(0x04, 0x0007);
    Probe();

    PciNode *n = root_.down;
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->barSize[0], 0x200000u);
    EXPECT_EQ(n->barKind[0], 0x04);
    EXPECT_EQ(n->barSize[1], 0u) << "upper half of a 64-bit BAR is skipped";
    EXPECT_EQ(n->barKind[1], 0);
    EXPECT_EQ(n->barSize[2], 0x10u);
    EXPECT_EQ(n->barKind[2], 1);
    EXPECT_EQ(n->barSize[3], 0x100000u);
    EXPECT_EQ(n->barKind[3], 0x00);
    EXPECT_EQ(n->barSize[4], 0x100000u);
    EXPECT_EQ(n->barKind[4], 0x08);
    EXPECT_EQ(n->barSize[5], 0x20u);
    EXPECT_EQ(n->ioSize, 0x30u);
    EXPECT_EQ(n->memSize, 0x300000u);
    EXPECT_EQ(n->memAlign, 0x200000u);
    EXPECT_EQ(n->preSize, 0x100000u);
    EXPECT_EQ(n->preAlign, 0x100000u);

    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "        [2] mask 0x0000FFF1 size 0x10"), 1u) << "16-bit decoder widened";
    EXPECT_EQ(CountContaining(lines, "        [3] mask 0xFFF00000 size 0x100000"), 1u);
    EXPECT_EQ(CountContaining(lines, "        [4] mask 0xFFF00008 size 0x100000"), 1u);
    EXPECT_EQ(CountContaining(lines, "        [1] mask"), 0u);

    // Everything the sizing touched is back as it was.
    EXPECT_EQ(fn->Peek32(0x10), 0xE0000004u);
    EXPECT_EQ(fn->Peek32(0x18), 0x0000E001u);
    EXPECT_EQ(fn->Peek16(0x04), 0x0007);
    auto commandWrites = fn->WritesTo(0x04, 2);
    ASSERT_EQ(commandWrites.size(), 2u);
    EXPECT_EQ(commandWrites[0].value, 0u) << "decoding off while sizing";
}

TEST_F(ProbeTest, BridgeNodesCarryNoBarSizes)
{
    auto *x = machine_.AddFunction(behind_, 0, 0, sim::models::DEC21154());
    machine_.AddFunction(machine_.SecondarySegment(x), 0, 0, sim::models::RTL8139());
    Probe();
    PciNode *bridge = root_.down;
    ASSERT_NE(bridge, nullptr);
    for (int i = 0; i < PCI_NODE_BARS; i++)
        EXPECT_EQ(bridge->barSize[i], 0u) << i;
    EXPECT_EQ(bridge->ioSize, 0u);
    ASSERT_NE(bridge->down, nullptr);
    EXPECT_EQ(bridge->down->ioSize, 0x100u);
}

TEST_F(ProbeTest, EmptyBusLeavesTheParentEmptyButStillWaitsFourSeconds)
{
    uint64_t t0 = standin::VirtualMicroseconds();
    Probe();
    EXPECT_EQ(root_.down, nullptr);
    EXPECT_EQ(standin::VirtualMicroseconds() - t0, kSecondsPerBus);
}

TEST_F(ProbeTest, BridgeBeyondHighBusStaysUnnumberedAndForwardsNothing)
{
    // highBus 4: X gets 3/4/4 and its bus 4 is reachable; Y behind it would
    // get secondary 5, which X does not forward: Y is left unnumbered, its
    // bus-number registers cleared of whatever they held.
    auto *x = machine_.AddFunction(behind_, 0, 0, sim::models::DEC21154());
    auto *y = machine_.AddFunction(machine_.SecondarySegment(x), 0, 0, sim::models::DEC21154());
    machine_.AddFunction(machine_.SecondarySegment(y), 0, 0, sim::models::RTL8139());
    machine_.SetBusNumbers(upstream_, 0, 3, 4);
    machine_.SetBusNumbers(y, 4, 9, 9);
    Probe(4);
    ASSERT_NE(root_.down, nullptr);
    ASSERT_NE(root_.down->down, nullptr) << "Y is found on bus 4";
    EXPECT_EQ(root_.down->down->down, nullptr) << "nothing is probed behind Y";
    EXPECT_EQ((std::vector<int>{y->PrimaryBus(), y->SecondaryBus(), y->SubordinateBus()}), (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(x->SubordinateBus(), 4);
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "WARNING probeBuses: no bus number left for bridge 04:00:0"), 1u);
    EXPECT_EQ(nextBus, 5);
}

// Numbers past busLimit are routed by bridges outside the enumerated
// subtree: they are neither handed out nor written as a subordinate number.
TEST_F(ProbeTest, BusLimitBoundsTheNumbersHandedOut)
{
    auto *x = machine_.AddFunction(behind_, 0, 0, sim::models::DEC21154());
    auto *z = machine_.AddFunction(behind_, 2, 0, sim::models::DEC21154());
    machine_.SetBusNumbers(upstream_, 0, 3, 0x12);
    busLimit = 4;
    Probe(0x12);
    busLimit = 0xFF;
    EXPECT_EQ((std::vector<int>{x->PrimaryBus(), x->SecondaryBus(), x->SubordinateBus()}), (std::vector<int>{3, 4, 4}));
    EXPECT_EQ(z->SecondaryBus(), 0) << "bus 5 belongs to another bridge";
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "configBridge: Setting bridge bus numbers to 3 4 4"), 1u)
        << "the subordinate number written while X is probed stays within the limit";
    EXPECT_EQ(CountContaining(lines, "WARNING probeBuses: no bus number left for bridge 03:02:0"), 1u);
}

TEST_F(ProbeTest, BridgeFoundWhenBusNumbersHaveRunOutIsLeftUnnumbered)
{
    auto *x = machine_.AddFunction(behind_, 0, 0, sim::models::DEC21154());
    nextBus = 0; // 0xFF + 1
    highBus = 0xFF;
    probeBuses(&root_, 3);
    EXPECT_EQ(x->SecondaryBus(), 0);
    EXPECT_EQ(nextBus, 0);
    ASSERT_NE(root_.down, nullptr);
    EXPECT_EQ(root_.down->down, nullptr);
    EXPECT_EQ(CountContaining(TraceLines(), "WARNING probeBuses: no bus number left for bridge 03:00:0"), 1u);
}

TEST_F(ProbeTest, NodeAllocationFailureEndsThatDeviceOnly)
{
    machine_.AddFunction(behind_, 0, 0, sim::models::RTL8139());
    machine_.AddFunction(behind_, 1, 0, sim::models::RTL8139());
    nextBus = 4;
    highBus = 0x12;
    standin::FailNthAllocation(1);
    probeBuses(&root_, 3);
    auto chain = Chain(root_.down);
    ASSERT_EQ(chain.size(), 1u);
    EXPECT_EQ(chain[0]->device, 1);
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "ERROR addNewDevice: Malloc failed"), 1u);
    EXPECT_EQ(CountContaining(lines, "returned NULL"), 1u);
}

TEST_F(ProbeTest, IsBridgeKnowsPciAndCardBusBridgesOnly)
{
    EXPECT_TRUE(isBridge(0x06, 0x04));
    EXPECT_TRUE(isBridge(0x06, 0x07));
    EXPECT_FALSE(isBridge(0x06, 0x00)); // host bridge
    EXPECT_FALSE(isBridge(0x06, 0x01)); // ISA bridge
    EXPECT_FALSE(isBridge(0x03, 0x04));
}

TEST_F(ProbeTest, TreeDumpVisitsSubtreesThenSiblingsThenTheNode)
{
    auto *x = machine_.AddFunction(behind_, 0, 0, sim::models::DEC21154());
    machine_.AddFunction(machine_.SecondarySegment(x), 0, 0, sim::models::RTL8139());
    machine_.AddFunction(behind_, 1, 0, sim::models::GeForce2MX());
    Probe();
    standin::ClearDebugLines();
    SetVerbose(1);
    dumpPciTree(&root_);
    std::vector<std::string> heads;
    for (const auto &l : standin::DebugLines())
        if (l.rfind("dumpPciTree ", 0) == 0)
            heads.push_back(l.substr(12, 9));
    EXPECT_EQ(heads, (std::vector<std::string>{"10ec:8139", "10de:0110", "1011:0026", "0000:0000"}));
    // Each head line is followed by the record line with twelve blanks.
    EXPECT_EQ(standin::DebugLines().size(), 8u);
    EXPECT_EQ(standin::DebugLines()[1].substr(0, 12), std::string(12, ' '));
}

TEST_F(ProbeTest, FreeReleasesEveryNodeButTheRoot)
{
    auto *x = machine_.AddFunction(behind_, 0, 0, sim::models::DEC21154());
    machine_.AddFunction(machine_.SecondarySegment(x), 0, 0, sim::models::RTL8139());
    machine_.AddFunction(behind_, 1, 0, sim::models::GeForce2MX());
    Probe();
    EXPECT_EQ(standin::OutstandingCount(TOLMU_POOL_TAG), 4u); // trace buffer and three nodes
    freePciTree(&root_, FALSE);
    root_ = PciNode{};
    EXPECT_EQ(standin::OutstandingCount(TOLMU_POOL_TAG), 1u);
}

// The deepest hierarchy the bus numbers allow: the controller on bus 0 with
// secondary bus 1, and behind it a chain of bridges, each on the bus of the
// one before; the numbered ones take buses 2 to 0xFF, the last one finds no
// number left. A network card sits beside it on bus 0xFF. Probe, totals, dump
// and free walk all 255 levels without recursion.
TEST_F(ProbeTest, DeepestChainOfBridgesIsNumberedTotalledDumpedAndFreed)
{
    constexpr int kNumbered = 0xFF - 1; // buses 2..0xFF
    machine_.SetBusNumbers(upstream_, 0, 1, 0xFF);
    std::vector<sim::PciFunction *> chain;
    sim::PciSegment *segment = machine_.SecondarySegment(upstream_);
    for (int level = 0; level <= kNumbered; level++) {
        chain.push_back(machine_.AddFunction(segment, 0, 0, sim::models::DEC21154()));
        if (level < kNumbered)
            segment = machine_.SecondarySegment(chain.back());
    }
    machine_.AddFunction(segment, 1, 0, sim::models::RTL8139());

    nextBus = 2;
    highBus = 0xFF;
    uint64_t t0 = standin::VirtualMicroseconds();
    probeBuses(&root_, 1);

    for (int level = 0; level < kNumbered; level++)
        ASSERT_EQ((std::vector<int>{chain[level]->PrimaryBus(), chain[level]->SecondaryBus(),
                                    chain[level]->SubordinateBus()}),
                  (std::vector<int>{level + 1, level + 2, 0xFF}))
            << "bridge " << level;
    EXPECT_EQ((std::vector<int>{chain[kNumbered]->PrimaryBus(), chain[kNumbered]->SecondaryBus(),
                                chain[kNumbered]->SubordinateBus()}),
              (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(nextBus, 0) << "every number handed out";
    EXPECT_EQ(standin::VirtualMicroseconds() - t0, uint64_t(kNumbered + 1) * kSecondsPerBus);

    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "$$$$$ probeBuses: probing bus 0x"), size_t(kNumbered + 1));
    EXPECT_EQ(CountContaining(lines, "==== after PCI Space"), size_t(kNumbered));
    EXPECT_EQ(CountContaining(lines, "configBridge: Setting bridge bus numbers to 1 2 ff"), 1u);
    EXPECT_EQ(CountContaining(lines, "configBridge: Setting bridge bus numbers to fe ff ff"), 1u);
    EXPECT_EQ(CountContaining(lines, "WARNING probeBuses: no bus number left for bridge ff:00:0"), 1u);

    // One node per level; the bottom bus holds the unnumbered bridge, then
    // the card.
    std::vector<PciNode *> levels;
    for (PciNode *n = root_.down; n != nullptr; n = n->down)
        levels.push_back(n);
    ASSERT_EQ(levels.size(), size_t(kNumbered + 1));
    ASSERT_NE(levels.back()->next, nullptr);
    EXPECT_EQ(levels.back()->next->deviceId, 0x8139);

    // Every bridge of the chain passes the card's totals up unchanged.
    totalAllSpaces(&root_);
    EXPECT_NE(levels[kNumbered - 1]->memSize, 0u);
    for (int level = 0; level < kNumbered; level++)
        ASSERT_EQ(levels[level]->memSize, levels[kNumbered - 1]->memSize) << "level " << level;
    EXPECT_EQ(root_.memSize, levels[0]->memSize);

    // The dump starts at the bottom: the card, the unnumbered bridge, then
    // each bridge up to the root.
    standin::ClearDebugLines();
    SetVerbose(1);
    dumpPciTree(&root_);
    std::vector<std::string> buses;
    for (const auto &l : standin::DebugLines())
        if (l.rfind("dumpPciTree ", 0) == 0)
            buses.push_back(l.substr(24, 2));
    ASSERT_EQ(buses.size(), size_t(kNumbered + 3));
    EXPECT_EQ(buses[0], "ff");
    for (int level = kNumbered; level >= 0; level--) {
        char want[3];
        snprintf(want, sizeof want, "%02x", level + 1);
        ASSERT_EQ(buses[1 + kNumbered - level], want) << "level " << level;
    }
    EXPECT_EQ(buses.back(), "00");

    freePciTree(&root_, FALSE);
    root_ = PciNode{};
    EXPECT_EQ(standin::OutstandingCount(TOLMU_POOL_TAG), 1u) << "only the trace buffer is left";
}

} // namespace

namespace {

// A function with a PCI-to-PCI header that is no PCI-to-PCI bridge by class
// (a bridge of class 06 80, say) is sized by its header's two BARs: its bus
// numbers and windows never get the sizing pattern. A CardBus header has one
// BAR, its socket registers.
TEST_F(ProbeTest, BridgeHeaderIsSizedByItsOwnBarsOnly)
{
    sim::DeviceModel odd = sim::models::GenericBridge(0x1234, 0x0001);
    odd.subClass = 0x80;
    odd.bars = {sim::MemBar(0, 0x1000)};
    auto *f = machine_.AddFunction(behind_, 0, 0, odd);
    machine_.SetBusNumbers(f, 3, 9, 9);
    auto *cb = machine_.AddFunction(behind_, 1, 0, sim::models::TI1420());
    Probe();
    EXPECT_EQ((std::vector<int>{f->PrimaryBus(), f->SecondaryBus(), f->SubordinateBus()}), (std::vector<int>{3, 9, 9}));
    EXPECT_TRUE(f->WritesTo(0x18, 4).empty() && f->WritesTo(0x1C, 4).empty() && f->WritesTo(0x20, 4).empty());
    ASSERT_NE(root_.down, nullptr);
    EXPECT_EQ(root_.down->memSize, 0x1000u) << "its BAR counts like any function's";
    EXPECT_EQ(root_.down->barSize[1], 0u);
    EXPECT_TRUE(cb->WritesTo(0x14, 4).empty()) << "capabilities and status of a CardBus header stay untouched";
    PciNode *cardbus = root_.down->next;
    ASSERT_NE(cardbus, nullptr);
    EXPECT_EQ(cardbus->barSize[0], 0x1000u) << "the socket registers, sized for the window above";
    EXPECT_EQ(cardbus->memSize, 0u) << "a bridge's totals are its subtree's";
}



// What comes back behind a bridge after a re-insertion: a bridge the bus
// driver numbered goes back to unnumbered; a device whose BAR2 bytes happen
// to sit where a bridge keeps its bus numbers is left alone, as is an
// unnumbered bridge or an empty slot.
TEST_F(ProbeTest, OnlyANumberedBridgeIsSetBackToUnnumbered)
{
    sim::DeviceModel card = sim::models::RTL8139();
    card.bars.push_back(sim::MemBar(2, 0x1000));
    auto *plain = machine_.AddFunction(behind_, 1, 0, card);
    auto *numbered = machine_.AddFunction(behind_, 2, 0, sim::models::TIPCI2250());
    auto *unnumbered = machine_.AddFunction(behind_, 3, 0, sim::models::TIPCI2250());
    plain->Poke32(0x18, 0x12345000);
    machine_.SetBusNumbers(numbered, 3, 4, 4);
    for (UCHAR device = 1; device <= 4; device++)
        UnnumberReturnedBridge(3, device, 0);
    EXPECT_EQ(plain->Peek32(0x18), 0x12345000u);
    EXPECT_EQ(numbered->Peek32(0x18) & 0xFFFFFF, 0u);
    EXPECT_TRUE(unnumbered->WriteLog().empty());
    EXPECT_EQ(CountContaining(TraceLines(), "NOTE UnnumberReturnedBridge: 3:2:0 set back to unnumbered"), 1u);
    EXPECT_EQ(CountContaining(TraceLines(), "set back to unnumbered"), 1u);
}

} // namespace
