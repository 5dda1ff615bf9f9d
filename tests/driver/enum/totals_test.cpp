// Window totals: every bridge and the root record receive the rounded sums
// and the largest alignments of everything below them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/config.h"
#include "core/debug.h"
#include "enum/pci_tree.h"
#include "pci_machine.h"
#include "test_support.h"

using testsupport::CountContaining;
using testsupport::TraceLines;

namespace {

PciNode Device(USHORT deviceId, ULONG io, ULONG mem, ULONG memAlign, ULONG pre, ULONG preAlign)
{
    PciNode n{};
    n.vendorId = 0x1234;
    n.deviceId = deviceId;
    n.baseClass = 0x02;
    n.ioSize = io;
    n.memSize = mem;
    n.memAlign = memAlign;
    n.preSize = pre;
    n.preAlign = preAlign;
    return n;
}

PciNode Bridge(USHORT deviceId)
{
    PciNode n{};
    n.vendorId = 0x1011;
    n.deviceId = deviceId;
    n.baseClass = 0x06;
    n.subClass = 0x04;
    return n;
}

class TotalsTest : public testsupport::DriverTest {
  protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        StartTrace();
    }
};

TEST_F(TotalsTest, WorkedExampleOfADeviceAndABridgeWithADeviceBehindIt)
{
    PciNode root{};
    PciNode p = Device(0x0001, 0x20, 0x1000, 0x1000, 0, 0);
    PciNode q = Bridge(0x0026);
    PciNode r = Device(0x0003, 0, 0x20000, 0x20000, 0x800000, 0x800000);
    root.down = &p;
    p.next = &q;
    q.down = &r;

    totalAllSpaces(&root);

    EXPECT_EQ(r.memSize, 0x20000u) << "a device's own total is never rounded";
    EXPECT_EQ(r.memAlign, 0x100000u);
    EXPECT_EQ(r.preSize, 0x800000u);
    EXPECT_EQ(r.preAlign, 0x800000u);
    EXPECT_EQ(q.memSize, 0x100000u);
    EXPECT_EQ(q.preSize, 0x800000u);
    EXPECT_EQ(q.memAlign, 0x100000u);
    EXPECT_EQ(q.preAlign, 0x800000u);
    EXPECT_EQ(p.memSize, 0x1000u);
    EXPECT_EQ(p.memAlign, 0x100000u);
    EXPECT_EQ(p.ioSize, 0x20u);
    EXPECT_EQ(root.ioSize, 0x100u);
    EXPECT_EQ(root.memSize, 0x200000u);
    EXPECT_EQ(root.preSize, 0x800000u);
    EXPECT_EQ(root.memAlign, 0x100000u);
    EXPECT_EQ(root.preAlign, 0x800000u);
    EXPECT_TRUE(TraceLines().empty()) << "nothing is printed below verbosity 9";
}

TEST_F(TotalsTest, WorkedExampleFromProbedHardware)
{
    sim::PciMachine machine;
    auto *up = machine.AddFunction(machine.Root(), 1, 0, sim::models::DEC21154());
    machine.SetBusNumbers(up, 0, 3, 0x12);
    auto *behind = machine.SecondarySegment(up);
    machine.AddFunction(behind, 0, 0,
                        sim::models::Generic(0x1234, 0x0001, 0x020000, {sim::MemBar(0, 0x1000), sim::IoBar(1, 0x20)}));
    auto *q = machine.AddFunction(behind, 1, 0, sim::models::DEC21154());
    machine.AddFunction(machine.SecondarySegment(q), 0, 0,
                        sim::models::Generic(0x1234, 0x0002, 0x030000,
                                             {sim::MemBar(0, 0x20000), sim::PrefetchBar(1, 0x800000)}));
    machine.Install();

    PciNode root{};
    nextBus = 4;
    highBus = 0x12;
    probeBuses(&root, 3);
    totalAllSpaces(&root);
    EXPECT_EQ(root.ioSize, 0x100u);
    EXPECT_EQ(root.memSize, 0x200000u);
    EXPECT_EQ(root.preSize, 0x800000u);
    EXPECT_EQ(root.memAlign, 0x100000u);
    EXPECT_EQ(root.preAlign, 0x800000u);
    freePciTree(&root, FALSE);
    machine.Uninstall();
}

TEST_F(TotalsTest, TreeWithoutBarsStaysZero)
{
    PciNode root{};
    PciNode a = Device(1, 0, 0, 0, 0, 0);
    PciNode b = Device(2, 0, 0, 0, 0, 0);
    PciNode bridge = Bridge(3);
    root.down = &a;
    a.next = &b;
    totalAllSpaces(&root);
    totalAllSpaces(&bridge);
    for (PciNode *n : {&root, &a, &b, &bridge}) {
        EXPECT_EQ(n->ioSize, 0u);
        EXPECT_EQ(n->memSize, 0u);
        EXPECT_EQ(n->preSize, 0u);
        EXPECT_EQ(n->memAlign, 0u) << "a zero alignment is not raised";
        EXPECT_EQ(n->preAlign, 0u);
    }
}

struct RoundCase {
    ULONG mem, io;
    ULONG memAfter, ioAfter;
};

class RoundingTest : public TotalsTest, public ::testing::WithParamInterface<RoundCase> {};

TEST_P(RoundingTest, BridgeTotalsAreRaisedToTheirGranularity)
{
    const RoundCase &c = GetParam();
    PciNode bridge = Bridge(3);
    PciNode child = Device(4, c.io, c.mem, 0x1000, 0, 0);
    bridge.down = &child;
    totalAllSpaces(&bridge);
    EXPECT_EQ(bridge.memSize, c.memAfter) << std::hex << "mem 0x" << c.mem;
    EXPECT_EQ(bridge.ioSize, c.ioAfter) << std::hex << "io 0x" << c.io;
}

// A PCI-to-PCI bridge decodes I/O in whole 4 KB blocks.
INSTANTIATE_TEST_SUITE_P(Granularity, RoundingTest,
                         ::testing::Values(RoundCase{0x100000, 0x1000, 0x100000, 0x1000},
                                           RoundCase{0x100001, 0x1010, 0x200000, 0x2000},
                                           RoundCase{0x1000, 0x1, 0x100000, 0x1000},
                                           RoundCase{0, 0, 0, 0}));

// The root record stands for the enumerated bridge, whose own kind decides
// its I/O granularity later: it keeps 256-byte steps, as does a CardBus
// bridge, which decodes I/O to the byte.
TEST_F(TotalsTest, RootAndCardBusBridgeKeepTheFinerIoGranularity)
{
    PciNode root{};
    PciNode cardbus = Bridge(0xAC51);
    cardbus.vendorId = 0x104C;
    cardbus.subClass = 0x07;
    PciNode card = Device(1, 0x310, 0, 0, 0, 0);
    PciNode card2 = Device(2, 0x10, 0, 0, 0, 0);
    root.down = &card;
    cardbus.down = &card2;
    totalAllSpaces(&root);
    totalAllSpaces(&cardbus);
    EXPECT_EQ(root.ioSize, 0x400u);
    EXPECT_EQ(cardbus.ioSize, 0x100u);
}

// A nested bridge takes from its owner's windows what the requirements
// filter will ask for it: at least 1 MB of memory and of prefetchable
// memory, its I/O in whole blocks within Io (a CardBus bridge none: its I/O
// window is always removed), and its own BARs.
TEST_F(TotalsTest, NestedBridgeCountsWhatItsFilterWillAskFor)
{
    standin::RegSetDword("tolmu\\Parameters", "Io", 0x2000);
    ReadConfiguration();
    PciNode root{};
    PciNode empty = Bridge(1);
    PciNode withIo = Bridge(2);
    PciNode ioCard = Device(3, 0x2100, 0, 0, 0, 0);
    PciNode cardbus = Bridge(4);
    cardbus.subClass = 0x07;
    cardbus.barSize[0] = 0x1000; // socket registers, memory
    PciNode cbCard = Device(5, 0x100, 0x3000, 0x1000, 0, 0);
    root.down = &empty;
    empty.next = &withIo;
    withIo.next = &cardbus;
    withIo.down = &ioCard;
    cardbus.down = &cbCard;
    totalAllSpaces(&root);

    EXPECT_EQ(withIo.ioSize, 0x3000u);
    EXPECT_EQ(root.ioSize, 0x2000u) << "the blocks Io can hold; the CardBus bridge's I/O is not counted";
    // empty 1 MB + withIo 1 MB + CardBus 1 MB window + its 4 KB registers.
    EXPECT_EQ(root.memSize, 0x400000u);
    EXPECT_EQ(root.preSize, 0x300000u) << "three 1 MB prefetchable windows";
    EXPECT_EQ(root.memAlign, 0x100000u);
    EXPECT_EQ(root.preAlign, 0x100000u);
}

TEST_F(TotalsTest, FilterIoLeavesNestedBridgesIoUncounted)
{
    standin::RegSetDword("tolmu\\Parameters", "filterIO", 1);
    ReadConfiguration();
    PciNode root{};
    PciNode bridge = Bridge(1);
    PciNode card = Device(2, 0x100, 0, 0, 0, 0);
    root.down = &bridge;
    bridge.down = &card;
    totalAllSpaces(&root);
    EXPECT_EQ(bridge.ioSize, 0x1000u);
    EXPECT_EQ(root.ioSize, 0u);
}

TEST_F(TotalsTest, LargeAlignmentPassesUpUnchanged)
{
    PciNode root{};
    PciNode bridge = Bridge(5);
    PciNode card = Device(6, 0, 0, 0, 0x800000, 0x800000);
    root.down = &bridge;
    bridge.down = &card;
    totalAllSpaces(&root);
    EXPECT_EQ(root.preAlign, 0x800000u);
    EXPECT_EQ(bridge.preAlign, 0x800000u);
}

TEST_F(TotalsTest, VerboseNineReportsEachAdditionAndRounding)
{
    SetVerbose(9);
    PciNode bridge = Bridge(0x0026);
    PciNode child = Device(0x8139, 0x10, 0x100, 0x100, 0, 0);
    bridge.down = &child;
    totalAllSpaces(&bridge);
    auto lines = TraceLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "totalAllSpaces: 1011:0026 += 1234:8139 @ 0:0:0 I/M/P 10/100/0");
    EXPECT_EQ(lines[1].substr(0, 16), "              : ");
    EXPECT_EQ(lines[2], "adjustSpaces: 1011:0026 Mem 0x100 to 0x100000");
    EXPECT_EQ(lines[3], "adjustSpaces: 1011:0026 I/O 0x10 to 0x1000");
}

TEST_F(TotalsTest, TotalsNearFourGigabytesAreKeptInsteadOfWrapping)
{
    PciNode root{};
    PciNode a = Device(1, 0, 0xC0000000, 0x40000000, 0, 0);
    PciNode b = Device(2, 0, 0x50000000, 0x10000000, 0, 0);
    root.down = &a;
    a.next = &b;
    totalAllSpaces(&root);
    EXPECT_EQ(root.memSize, 0xFFF00000u) << "a wrapped sum would look small";
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "WARNING totalAllSpaces: 0000:0000 total above 4 GB"), 1u);
    EXPECT_EQ(CountContaining(lines, "WARNING adjustSpaces: 0000:0000 total 0xFFFFFFFF above 4 GB, kept at "
                                     "0xFFF00000"),
              1u);
}

TEST_F(TotalsTest, AdjustSpacesWithZeroGranularityLeavesThatKindAlone)
{
    PciNode n = Bridge(7);
    n.ioSize = 0x10;
    n.memSize = 0x10;
    n.preSize = 0x10;
    adjustSpaces(&n, 0, 0x100000);
    EXPECT_EQ(n.ioSize, 0x10u);
    EXPECT_EQ(n.memSize, 0x100000u);
    EXPECT_EQ(n.preSize, 0x100000u);
}

} // namespace
