// The bus probe on simulated hardware: numbering and its limits, sibling order, functions taken,
// BAR sizing, failed allocation, settle time per bus, stack-free walks at the deepest hierarchy;
// window totals: every bridge and the root record get the rounded sums and largest alignments below.
#include <gtest/gtest.h>

#include <set>

#include "core/config.h"
#include "core/debug.h"
#include "enum/enumerate.h"
#include "enum/pci_tree.h"
#include "pci_machine.h"
#include "test_support.h"

using testsupport::CountContaining;
using testsupport::TraceLines;

namespace {

constexpr uint64_t kSecondsPerBus = 4000000;
using Numbers = std::vector<int>;

Numbers BusNumbers(sim::PciFunction *f) { return {f->PrimaryBus(), f->SecondaryBus(), f->SubordinateBus()}; }
std::vector<PciNode *> Chain(PciNode *n)
{
    std::vector<PciNode *> out;
    for (; n; n = n->next)
        out.push_back(n);
    return out;
}

class ProbeTest : public testsupport::DriverTest {
  protected:
    // The bridge being enumerated: on bus 0, secondary 3, forwarding up to 0x12 as the entry leaves it.
    void SetUp() override
    {
        DriverTest::SetUp();
        StartTrace(0x100000);
        upstream_ = machine_.AddFunction(machine_.Root(), 1, 0, sim::models::DEC21154());
        machine_.SetBusNumbers(upstream_, 0, 3, 0x12);
        behind_ = machine_.SecondarySegment(upstream_);
        machine_.Install();
    }
    void TearDown() override
    {
        freePciTree(&root_, FALSE); // a node left behind fails the pool check
        machine_.Uninstall();
        DriverTest::TearDown();
    }
    // Probes bus `bus` as an enumeration of the upstream bridge would, into a fresh tree.
    void Probe(UCHAR high = 0x12, UCHAR next = 4, UCHAR bus = 3)
    {
        freePciTree(&root_, FALSE), root_ = PciNode{};
        nextBus = next, highBus = high;
        probeBuses(&root_, bus);
    }

    sim::PciMachine machine_;
    sim::PciFunction *upstream_ = nullptr;
    sim::PciSegment *behind_ = nullptr;
    PciNode root_{};
};

// Depth first, each bridge closed around its subtree. With no number left (past highBus, or past
// busLimit, which other bridges route) a bridge stays unnumbered, its registers cleared, nothing
// behind it probed.
TEST_F(ProbeTest, BridgesAreNumberedDepthFirstWithinHighBusAndBusLimit)
{
    auto *x = machine_.AddFunction(behind_, 0, 0, sim::models::DEC21154());
    auto *y = machine_.AddFunction(machine_.SecondarySegment(x), 0, 0, sim::models::DEC21154());
    machine_.AddFunction(machine_.SecondarySegment(y), 0, 0, sim::models::RTL8139());
    auto *z = machine_.AddFunction(behind_, 2, 0, sim::models::TIPCI2250());
    machine_.SetBusNumbers(y, 4, 9, 9);
    auto numbers = [&] { return std::vector<Numbers>{BusNumbers(x), BusNumbers(y), BusNumbers(z)}; };
    uint64_t t0 = standin::VirtualMicroseconds();
    Probe();
    EXPECT_EQ(numbers(), (std::vector<Numbers>{{3, 4, 5}, {4, 5, 5}, {3, 6, 6}}));
    for (auto *f : {x, y, z})
        EXPECT_EQ(f->Peek16(0x3E), 0) << "bridge control cleared";
    EXPECT_EQ(nextBus, 7);
    EXPECT_EQ(highBus, 0x12) << "the probe never changes highBus";
    // While its subtree is probed a bridge forwards up to highBus; the node keeps that number.
    EXPECT_EQ(CountContaining(TraceLines(), "configBridge: Setting bridge bus numbers to 4 5 12"), 1u);
    ASSERT_EQ(Chain(root_.down).size(), 2u);
    EXPECT_EQ((Numbers{root_.down->subBus, root_.down->down->secBus}), (Numbers{0x12, 5}));
    EXPECT_EQ(standin::VirtualMicroseconds() - t0, 4 * kSecondsPerBus) << "buses 3 to 6 wait 4 s each";

    machine_.SetBusNumbers(upstream_, 0, 3, 5);
    Probe(5);
    EXPECT_EQ(numbers(), (std::vector<Numbers>{{3, 4, 5}, {4, 5, 5}, {0, 0, 0}})) << "6 is past highBus";
    EXPECT_EQ(CountContaining(TraceLines(), "WARNING probeBuses: no bus number left for bridge 03:02:0"), 1u);

    busLimit = 4;
    Probe(0x12);
    busLimit = 0xFF;
    EXPECT_EQ(numbers(), (std::vector<Numbers>{{3, 4, 4}, {0, 0, 0}, {0, 0, 0}}));
    ASSERT_NE(root_.down, nullptr);
    ASSERT_NE(root_.down->down, nullptr) << "Y is found on bus 4";
    EXPECT_EQ(root_.down->down->down, nullptr) << "nothing is probed behind Y";
    EXPECT_EQ(nextBus, 5);
    EXPECT_EQ(CountContaining(TraceLines(), "configBridge: Setting bridge bus numbers to 3 4 4"), 1u)
        << "the subordinate number written while X is probed stays within the limit";
}

// The first found heads the chain, the others follow in reverse; a node that cannot be allocated
// ends that device only.
TEST_F(ProbeTest, SiblingsAreChainedFirstFoundThenTheOthersInReverse)
{
    for (int dev = 0; dev < 5; dev++)
        machine_.AddFunction(behind_, dev * 3, 0, sim::models::Generic(0x1234, 0x1001 + dev, 0x020000));
    standin::FailNthAllocation(1);
    Probe();
    std::vector<uint16_t> order;
    for (PciNode *n : Chain(root_.down))
        order.push_back(n->deviceId);
    EXPECT_EQ(order, (std::vector<uint16_t>{0x1002, 0x1005, 0x1004, 0x1003})) << "device 0's node failed";
    EXPECT_EQ(CountContaining(TraceLines(), "ERROR addNewDevice: Malloc failed"), 1u);
}

// A single-function device is probed at function 0 only; a missing function ends a
// multi-function device; a bridge at function 1 or above is ignored and ends its device.
TEST_F(ProbeTest, FunctionsTakenFromEachDevice)
{
    sim::DeviceModel multi = sim::models::Generic(0x1102, 0x0002, 0x040100), bridge = sim::models::DEC21154();
    multi.multiFunction = bridge.multiFunction = true;
    machine_.AddFunction(behind_, 5, 0, sim::models::RTL8139());
    for (int fn : {0, 2, 3})
        machine_.AddFunction(behind_, 0, fn, multi);
    machine_.AddFunction(behind_, 1, 0, sim::models::SBLiveAudio());
    machine_.AddFunction(behind_, 1, 1, sim::models::SBLiveGameport());
    machine_.AddFunction(behind_, 4, 0, multi);
    auto *ignored = machine_.AddFunction(behind_, 4, 1, bridge);
    machine_.AddFunction(behind_, 4, 2, multi);
    Probe();

    std::set<std::pair<int, int>> found;
    for (PciNode *n : Chain(root_.down))
        found.insert({n->device, n->function});
    EXPECT_EQ(found, (std::set<std::pair<int, int>>{{0, 0}, {1, 0}, {1, 1}, {4, 0}, {5, 0}}));
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "addNewDevice: trying 3:05"), 1u);
    EXPECT_EQ(CountContaining(lines, "WARNING addNewDevice: 03:04:1 Ven 0x1011-0026 ignored"), 1u);
    EXPECT_EQ(ignored->SecondaryBus(), 0) << "an ignored bridge is not numbered";
}

// Every kind of BAR is sized with decoding off, summed and restored. A bridge's totals are its
// subtree's. A PCI-to-PCI header that is no PCI-to-PCI bridge by class (06 80) is sized by its two
// BARs only, never its bus numbers or windows; a CardBus header has one BAR, its socket registers.
TEST_F(ProbeTest, BarsAreSizedAndBridgeHeadersByTheirOwnBarsOnly)
{
    sim::DeviceModel card = sim::models::Generic(0x10EE, 0x0100, 0x118000,
                                                 {sim::Mem64Bar(0, 0x200000, false), sim::Io16Bar(2, 0x10),
                                                  sim::MemBar(3, 0x100000), sim::PrefetchBar(4, 0x100000),
                                                  sim::IoBar(5, 0x20)});
    auto *fn = machine_.AddFunction(behind_, 3, 0, card);
    fn->Poke32(0x10, 0xE0000004), fn->Poke32(0x18, 0x0000E001), fn->Poke16(0x04, 0x0007); // BARs already placed
    auto *x = machine_.AddFunction(behind_, 2, 0, sim::models::DEC21154());
    machine_.AddFunction(machine_.SecondarySegment(x), 0, 0, sim::models::RTL8139());
    sim::DeviceModel odd = sim::models::GenericBridge(0x1234, 0x0001);
    odd.subClass = 0x80;
    odd.bars = {sim::MemBar(0, 0x1000)};
    auto *f = machine_.AddFunction(behind_, 0, 0, odd);
    machine_.SetBusNumbers(f, 3, 9, 9);
    auto *cb = machine_.AddFunction(behind_, 1, 0, sim::models::TI1420());
    Probe();

    auto chain = Chain(root_.down); // 0, then 3, 2 and 1 in reverse
    ASSERT_EQ(chain.size(), 4u);
    PciNode *n = chain[1];
    // The 64-bit BAR's upper half is skipped; the 16-bit I/O decoder is widened before sizing.
    EXPECT_EQ(std::vector<ULONG>(n->barSize, n->barSize + 6),
              (std::vector<ULONG>{0x200000, 0, 0x10, 0x100000, 0x100000, 0x20}));
    EXPECT_EQ(std::vector<int>(n->barKind, n->barKind + 6), (std::vector<int>{0x04, 0, 1, 0x00, 0x08, 1}));
    EXPECT_EQ((std::vector<ULONG>{n->ioSize, n->memSize, n->memAlign, n->preSize, n->preAlign}),
              (std::vector<ULONG>{0x30, 0x300000, 0x200000, 0x100000, 0x100000}));
    EXPECT_EQ(CountContaining(TraceLines(), "        [2] mask 0x0000FFF1 size 0x10"), 1u);
    EXPECT_EQ((std::vector<ULONG>{fn->Peek32(0x10), fn->Peek32(0x18), fn->Peek16(0x04)}),
              (std::vector<ULONG>{0xE0000004, 0x0000E001, 0x0007}));
    auto commandWrites = fn->WritesTo(0x04, 2);
    ASSERT_EQ(commandWrites.size(), 2u);
    EXPECT_EQ(commandWrites[0].value, 0u) << "decoding off while sizing";

    EXPECT_EQ(BusNumbers(f), (Numbers{3, 9, 9}));
    EXPECT_TRUE(f->WritesTo(0x18, 4).empty() && f->WritesTo(0x1C, 4).empty() && f->WritesTo(0x20, 4).empty());
    EXPECT_EQ(chain[0]->memSize, 0x1000u) << "its BAR counts like any function's";
    EXPECT_EQ(chain[0]->barSize[1], 0u);
    EXPECT_TRUE(cb->WritesTo(0x14, 4).empty()) << "capabilities and status of a CardBus header stay untouched";
    EXPECT_EQ((std::vector<ULONG>{chain[3]->barSize[0], chain[3]->memSize}), (std::vector<ULONG>{0x1000, 0}))
        << "the socket registers";
    EXPECT_EQ(std::vector<ULONG>(chain[2]->barSize, chain[2]->barSize + 6), std::vector<ULONG>(6, 0));
    EXPECT_EQ(chain[2]->ioSize, 0u);
    ASSERT_NE(chain[2]->down, nullptr);
    EXPECT_EQ(chain[2]->down->ioSize, 0x100u);
}

// The deepest hierarchy: behind the controller (bus 1) a chain of bridges taking buses 2 to 0xFF,
// the last finding no number left (nextBus wrapped to 0), a card beside it on bus 0xFF. Probe,
// totals, dump and free walk all 255 levels without recursion.
TEST_F(ProbeTest, DeepestChainOfBridgesIsNumberedTotalledDumpedAndFreed)
{
    constexpr int kNumbered = 0xFF - 1;
    machine_.SetBusNumbers(upstream_, 0, 1, 0xFF);
    std::vector<sim::PciFunction *> chain;
    sim::PciSegment *segment = machine_.SecondarySegment(upstream_);
    for (int level = 0; level <= kNumbered; level++) {
        chain.push_back(machine_.AddFunction(segment, 0, 0, sim::models::DEC21154()));
        if (level < kNumbered)
            segment = machine_.SecondarySegment(chain.back());
    }
    machine_.AddFunction(segment, 1, 0, sim::models::RTL8139());
    uint64_t t0 = standin::VirtualMicroseconds();
    Probe(0xFF, 2, 1);

    for (int level = 0; level < kNumbered; level++)
        ASSERT_EQ(BusNumbers(chain[level]), (Numbers{level + 1, level + 2, 0xFF})) << "bridge " << level;
    EXPECT_EQ(BusNumbers(chain[kNumbered]), (Numbers{0, 0, 0}));
    EXPECT_EQ(nextBus, 0) << "every number handed out";
    EXPECT_EQ(standin::VirtualMicroseconds() - t0, uint64_t(kNumbered + 1) * kSecondsPerBus);
    EXPECT_EQ(CountContaining(TraceLines(), "WARNING probeBuses: no bus number left for bridge ff:00:0"), 1u);
    for (const char *dump : {"==== probeBuses PCI Space", "==== after PCI Space"})
        EXPECT_EQ(CountContaining(TraceLines(), dump), size_t(kNumbered)) << "each bridge dumped when numbered and closed";

    std::vector<PciNode *> levels;
    for (PciNode *n = root_.down; n != nullptr; n = n->down)
        levels.push_back(n);
    ASSERT_EQ(levels.size(), size_t(kNumbered + 1));
    ASSERT_NE(levels.back()->next, nullptr);
    EXPECT_EQ(levels.back()->next->deviceId, 0x8139);

    totalAllSpaces(&root_);
    EXPECT_NE(root_.memSize, 0u);
    for (int level = 0; level < kNumbered; level++)
        ASSERT_EQ(levels[level]->memSize, root_.memSize) << "level " << level;

    // The dump starts at the bottom (the card), ends with the root.
    standin::ClearDebugLines();
    SetVerbose(1);
    dumpPciTree(&root_);
    std::vector<std::string> buses;
    for (const auto &l : standin::DebugLines())
        if (l.rfind("dumpPciTree ", 0) == 0)
            buses.push_back(l.substr(24, 2));
    ASSERT_EQ(buses.size(), size_t(kNumbered + 3));
    EXPECT_EQ(buses[0] + buses[1] + buses[2] + buses[kNumbered + 1] + buses.back(), "fffffe0100");
}

// After a re-insertion a bridge the bus driver numbered goes back to unnumbered; a device (BAR2
// where a bridge keeps its bus numbers), an unnumbered bridge or an empty slot are left alone.
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
    EXPECT_EQ((std::vector<ULONG>{plain->Peek32(0x18), numbered->Peek32(0x18) & 0xFFFFFF}), (std::vector<ULONG>{0x12345000, 0}));
    EXPECT_TRUE(unnumbered->WriteLog().empty());
    EXPECT_EQ(CountContaining(TraceLines(), "set back to unnumbered"), 1u);
}

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

using TotalsTest = ProbeTest;

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
        Configure({{"Io", 0x2000}, {"filterIO", filterIo}});
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
