// Window totals: every bridge and the root record get the rounded sums and largest alignments below.
#include <gtest/gtest.h>

#include <vector>

#include "core/config.h"
#include "core/debug.h"
#include "enum/pci_tree.h"
#include "test_support.h"

using testsupport::CountContaining;
using testsupport::TraceLines;

namespace {

using Totals = std::vector<ULONG>; // io, mem, memAlign, pre, preAlign

PciNode Device(USHORT deviceId, ULONG io, ULONG mem, ULONG memAlign, ULONG pre = 0, ULONG preAlign = 0)
{
    PciNode n{};
    n.vendorId = 0x1234, n.deviceId = deviceId, n.baseClass = 0x02;
    n.ioSize = io, n.memSize = mem, n.memAlign = memAlign, n.preSize = pre, n.preAlign = preAlign;
    return n;
}

PciNode Bridge(USHORT deviceId, UCHAR subClass = 0x04)
{
    PciNode n{};
    n.vendorId = 0x1011, n.deviceId = deviceId, n.baseClass = 0x06, n.subClass = subClass;
    return n;
}

Totals Of(const PciNode &n) { return {n.ioSize, n.memSize, n.memAlign, n.preSize, n.preAlign}; }

class TotalsTest : public testsupport::DriverTest {
  protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        StartTrace();
    }
};

// root: P (a device), Q (a bridge) with R behind it, a bare device. A device's own totals are
// never rounded; its alignment is raised to 1 MB, a zero one is not.
TEST_F(TotalsTest, WorkedExampleOfADeviceAndABridgeWithADeviceBehindIt)
{
    PciNode root{};
    PciNode p = Device(1, 0x20, 0x1000, 0x1000), q = Bridge(2), bare = Device(4, 0, 0, 0);
    PciNode r = Device(3, 0, 0x20000, 0x20000, 0x800000, 0x800000);
    root.down = &p, p.next = &q, q.next = &bare, q.down = &r;
    totalAllSpaces(&root);
    EXPECT_EQ((std::vector<Totals>{Of(r), Of(q), Of(p), Of(bare), Of(root)}),
              (std::vector<Totals>{{0, 0x20000, 0x100000, 0x800000, 0x800000},
                                   {0, 0x100000, 0x100000, 0x800000, 0x800000},
                                   {0x20, 0x1000, 0x100000, 0, 0},
                                   {0, 0, 0, 0, 0},
                                   {0x100, 0x200000, 0x100000, 0x800000, 0x800000}}));
}

// A PCI-to-PCI bridge decodes I/O in whole 4 KB blocks; the root record (whose own kind decides
// later) and a CardBus bridge keep 256-byte steps.
TEST_F(TotalsTest, TotalsAreRaisedToTheirGranularity)
{
    const struct { UCHAR subClass; ULONG mem, io, memAfter, ioAfter; }
        rows[] = {{0x04, 0x100000, 0x1000, 0x100000, 0x1000}, {0x04, 0x100001, 0x1010, 0x200000, 0x2000},
                {0x04, 0x1000, 0x1, 0x100000, 0x1000},      {0x04, 0, 0, 0, 0},
                {0x07, 0, 0x10, 0, 0x100},                  {0x00, 0, 0x310, 0, 0x400}};
    for (const auto &r : rows) {
        PciNode owner = r.subClass != 0 ? Bridge(3, r.subClass) : PciNode{};
        PciNode child = Device(4, r.io, r.mem, 0x1000);
        owner.down = &child;
        totalAllSpaces(&owner);
        EXPECT_EQ((Totals{owner.memSize, owner.ioSize}), (Totals{r.memAfter, r.ioAfter}))
            << std::hex << "mem 0x" << r.mem << " io 0x" << r.io << " subclass " << int(r.subClass);
    }
}

// A nested bridge takes what the requirements filter will ask for it: at least 1 MB of memory and
// of prefetchable memory, its I/O in whole blocks within Io (none for a CardBus bridge, whose I/O
// window is always removed, nor under filterIO), and its own BARs.
TEST_F(TotalsTest, NestedBridgeCountsWhatItsFilterWillAskFor)
{
    for (ULONG filterIo : {0, 1}) {
        standin::RegSetDword("tolmu\\Parameters", "Io", 0x2000);
        standin::RegSetDword("tolmu\\Parameters", "filterIO", filterIo);
        ReadConfiguration();
        PciNode root{}, empty = Bridge(1), withIo = Bridge(2), cardbus = Bridge(4, 0x07);
        PciNode ioCard = Device(3, 0x2100, 0, 0), cbCard = Device(5, 0x100, 0x3000, 0x1000);
        cardbus.barSize[0] = 0x1000; // socket registers, memory
        root.down = &empty, empty.next = &withIo, withIo.next = &cardbus, withIo.down = &ioCard, cardbus.down = &cbCard;
        totalAllSpaces(&root);
        EXPECT_EQ(withIo.ioSize, 0x3000u);
        // 1 MB each for empty, withIo and the CardBus window, plus its 4 KB registers; three 1 MB prefetchable.
        EXPECT_EQ(Of(root), (Totals{filterIo ? 0u : 0x2000u, 0x400000, 0x100000, 0x300000, 0x100000}))
            << "filterIO " << filterIo;
    }
}

TEST_F(TotalsTest, AdditionsAndRoundingsAreReportedFromVerboseNine)
{
    for (LONG verbose : {8, 9}) {
        SetVerbose(verbose);
        PciNode bridge = Bridge(0x0026);
        PciNode child = Device(0x8139, 0x10, 0x100, 0x100);
        bridge.down = &child;
        totalAllSpaces(&bridge);
    }
    auto lines = TraceLines();
    ASSERT_EQ(lines.size(), 4u) << "nothing at verbose 8";
    EXPECT_EQ(lines[0], "totalAllSpaces: 1011:0026 += 1234:8139 @ 0:0:0 I/M/P 10/100/0");
    EXPECT_EQ(lines[2], "adjustSpaces: 1011:0026 Mem 0x100 to 0x100000");
    EXPECT_EQ(lines[3], "adjustSpaces: 1011:0026 I/O 0x10 to 0x1000");
}

TEST_F(TotalsTest, TotalsNearFourGigabytesAreKeptAndZeroGranularityLeavesAKindAlone)
{
    PciNode root{};
    PciNode a = Device(1, 0, 0xC0000000, 0x40000000), b = Device(2, 0, 0x50000000, 0x10000000);
    root.down = &a, a.next = &b;
    totalAllSpaces(&root);
    EXPECT_EQ(root.memSize, 0xFFF00000u) << "a wrapped sum would look small";
    auto lines = TraceLines();
    EXPECT_EQ((std::vector<size_t>{CountContaining(lines, "WARNING totalAllSpaces: 0000:0000 total above 4 GB"),
                                   CountContaining(lines, "WARNING adjustSpaces: 0000:0000 total 0xFFFFFFFF above 4 GB, kept at 0xFFF00000")}),
              (std::vector<size_t>{1, 1}));
    PciNode n = Bridge(7); // zero granularity leaves that kind alone
    n.ioSize = n.memSize = n.preSize = 0x10;
    adjustSpaces(&n, 0, 0x100000);
    EXPECT_EQ((std::vector<ULONG>{n.ioSize, n.memSize, n.preSize}), (std::vector<ULONG>{0x10, 0x100000, 0x100000}));
}

} // namespace
