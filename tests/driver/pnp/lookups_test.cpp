// Where a filter device sits (LocateMe, GetParent, GetRoot), bus-number
// propagation up the chain, the bus-number check, and the enumeration entry.
#include <gtest/gtest.h>

#include "enum/enumerate.h"
#include "enum/pci_tree.h"
#include "pnp_harness.h"

using testsupport::CountContaining;
using testsupport::TraceLines;

namespace {

struct Needs {
    ULONG mem = 0, pre = 0, io = 0, memAlign = 0, preAlign = 0;
    BOOLEAN dropped = FALSE;
    std::vector<ULONG> All() const { return {mem, pre, io, memAlign, preAlign}; }
};

// The chassis of the harness, filtered and located.
class LookupTest : public pnptest::FilterTest {
  protected:
    void SetUp() override
    {
        FilterTest::SetUp();
        BuildChassis(sim::models::TI1420());
    }
    Needs Enumerate(sim::PciFunction *fn, bool mark = true)
    {
        Needs n;
        PDEVICE_EXTENSION e = Ext(F(fn));
        if (mark)
            e->Flags |= ENUMERATE;
        EnumerateFromHere(e, &n.mem, &n.pre, &n.io, &n.memAlign, &n.preAlign, &n.dropped);
        return n;
    }
};

TEST_F(LookupTest, LocateMeReadsLocationAndBridgeNumbers)
{
    FilterChassis();
    PDEVICE_EXTENSION e = Ext(F(p2p_)), n = Ext(F(nic_));
    EXPECT_EQ((std::vector<ULONG>{e->Bus, e->Device, e->Function, e->PriBus, e->SecBus, e->SubBus}),
              (std::vector<ULONG>{2, 0, 0, 2, 3, 3}));
    EXPECT_EQ((std::vector<ULONG>{n->Bus, n->Device, n->Function, n->SecBus}),
              (std::vector<ULONG>{3, 1, 0, UNKNOWN_NUMBER})) << "not a bridge: numbers not read";
    bus_->SetPropertiesFail(Pdo(nic_), true);
    EXPECT_EQ(GetLocationCode(Pdo(nic_)), 0xFFFFFF1Fu);
    EXPECT_EQ(GetDevicePropertyDW(Pdo(nic_), DevicePropertyBusNumber), 0xFFFFFFFFu);
}

// Parents by secondary bus, the root by its bus range; an unnumbered bridge
// (secondary 0) is nobody's parent, an unmarked device is skipped, a device
// outside the root's range has no root, and a loop of bus numbers ends.
TEST_F(LookupTest, ParentAndRootAreFoundByBusNumbers)
{
    FilterChassis();
    EXPECT_EQ(GetParent(F(nic_)), F(p2p_));
    EXPECT_EQ(GetParent(F(p2p_)), F(cb_));
    EXPECT_EQ(GetParent(F(cb_)), nullptr);
    EXPECT_EQ(GetRoot(F(nic_)), F(cb_)) << "climbs through the intermediate bridge";
    EXPECT_EQ(GetRoot(F(p2p_)), F(cb_));
    Ext(F(vga_))->Bus = 9;
    EXPECT_EQ(GetRoot(F(vga_)), nullptr);
    Ext(F(p2p_))->Marker = 0;
    EXPECT_EQ(GetParent(F(nic_)), nullptr);
    Ext(F(p2p_))->Marker = EXTENSION_MARKER;
    Ext(F(p2p_))->SecBus = 0;
    EXPECT_EQ(GetParent(F(cb_)), nullptr);
    EXPECT_EQ(GetParent(F(nic_)), nullptr);
    Ext(F(p2p_))->SecBus = 2; // bad hardware: its own bus as its secondary
    Ext(F(cb_))->Flags &= ~ROOT;
    EXPECT_EQ(GetRoot(F(p2p_)), nullptr);
    propigateBusNo(F(p2p_), 4); // must come back too
}

// Raising goes up the chain, hardware and records each only where lower;
// nothing is ever lowered.
TEST_F(LookupTest, PropagationRaisesHardwareAndRecordsIndependentlyAndNeverLowers)
{
    FilterChassis();
    propigateBusNo(F(p2p_), 2);
    EXPECT_EQ(p2p_->SubordinateBus(), 3);
    EXPECT_EQ(cb_->SubordinateBus(), 5);
    p2p_->Poke8(0x1A, 0x10);
    Ext(F(cb_))->SubBus = 0x10;
    propigateBusNo(F(p2p_), 0x10);
    EXPECT_EQ(p2p_->SubordinateBus(), 0x10);
    EXPECT_EQ(Ext(F(p2p_))->SubBus, 0x10u);
    EXPECT_EQ(cb_->SubordinateBus(), 0x10) << "controller register raised from 5";
    EXPECT_EQ(Ext(F(cb_))->SubBus, 0x10u);
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "NOTE propigateBusNo: 0:3:0 updating sub from 5 to 10"), 1u);
    EXPECT_EQ(CountContaining(lines, "NOTE propigateBusNo: 2:0:0"), 0u);
}

TEST_F(LookupTest, CheckBusNumbersBringsTheRecordInLine)
{
    FilterChassis();
    PDEVICE_EXTENSION e = Ext(F(p2p_));
    machine_.SetBusNumbers(p2p_, 2, 4, 6);
    CheckBusNumbers(e);
    EXPECT_EQ((std::vector<ULONG>{e->PriBus, e->SecBus, e->SubBus}), (std::vector<ULONG>{2, 4, 6}));
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "WARNING CheckBusNumbers: pExt->SecBus (0x3) != sec (0x4)"), 1u);
    EXPECT_EQ(CountContaining(lines, "WARNING CheckBusNumbers: pExt->SubBus (0x3) != sub (0x6)"), 1u);
    EXPECT_EQ(CountContaining(lines, "PriBus"), 0u);
}

// A bridge not marked for enumeration asks for the configured sizes without
// probing (Io 0x300 holds no whole 4 KB block: its I/O window is dropped).
TEST_F(LookupTest, UnmarkedBridgeGetsTheConfiguredSizesAndProbesNothing)
{
    FilterChassis();
    uint64_t t0 = standin::VirtualMicroseconds();
    Needs n = Enumerate(p2p_, false);
    EXPECT_EQ(n.All(), (std::vector<ULONG>{0x8000000, 0x8000000, 0, 0x8000000, 0x8000000}));
    EXPECT_TRUE(n.dropped);
    EXPECT_EQ(standin::VirtualMicroseconds(), t0) << "no probe, no waiting";
    EXPECT_EQ(CountContaining(TraceLines(), "WARNING EnumerateFromHere: 2:0:0 needs I/O 0x300 in 4 KB blocks but Io "
                                            "is 0x300: I/O window dropped, raise Io to give it room"),
              1u);
    Configure({{"Memory", 0x2000000}, {"PreFetch", 0x4000000}, {"Io", 0x1000}});
    n = Enumerate(p2p_, false);
    EXPECT_EQ((std::vector<ULONG>{n.mem, n.pre, n.io}), (std::vector<ULONG>{0x2000000, 0x4000000, 0x1000}));
}

// RTL8139: 256 bytes I/O + 256 bytes memory; GeForce2 MX: 16 MB memory, 128
// MB prefetchable. The bridge's I/O window is one whole 4 KB block, capped by
// Io; the controller counts the block its bridge can have.
TEST_F(LookupTest, EnumeratedBridgeProbesItsBusAndTotalsTheNeedsCappedByIo)
{
    Configure({{"Io", 0x2000}});
    FilterChassis();
    uint64_t t0 = standin::VirtualMicroseconds();
    EXPECT_EQ(Enumerate(p2p_).All(), (std::vector<ULONG>{0x1100000, 0x8000000, 0x1000, 0x1000000, 0x8000000}));
    EXPECT_EQ(standin::VirtualMicroseconds() - t0, 4000000u) << "one bus probed";
    EXPECT_EQ(highBus, 0x12);
    EXPECT_EQ(p2p_->SubordinateBus(), 0x12) << "raised to forward up to highBus";
    EXPECT_EQ(cb_->SubordinateBus(), 0x12);
    EXPECT_EQ(standin::OutstandingCount(TOLMU_POOL_TAG), 1u) << "only the trace buffer: the tree was freed";

    Configure({{"Io", 0x80}});
    Needs n = Enumerate(p2p_);
    EXPECT_EQ(n.io, 0u);
    EXPECT_TRUE(n.dropped);
    Configure({{"Io", 0x1800}});
    machine_.AddFunction(machine_.SecondarySegment(p2p_), 3, 0,
                         sim::models::Generic(0x1234, 0x1, 0x078000, {sim::IoBar(0, 0x1000), sim::IoBar(1, 0x1000)}));
    n = Enumerate(p2p_);
    EXPECT_EQ(n.io, 0x1000u) << "0x2100 behind it, Io holds one block";
    EXPECT_FALSE(n.dropped);
    EXPECT_EQ(Enumerate(cb_).io, 0x1000u);
}

// Nothing behind it, no location, or bus numbers that cannot be read and
// were never known: the least windows, nothing probed or raised.
TEST_F(LookupTest, BridgeWithNothingToProbeGetsOneMegabyteWindows)
{
    auto *empty = machine_.AddFunction(machine_.SecondarySegment(cb_), 1, 0, sim::models::DEC21154());
    machine_.SetBusNumbers(empty, 2, 4, 4);
    FilterChassis();
    AddChildDevice(driver_, Pdo(empty), 2);
    LocateMe(Ext(F(empty)));
    const std::vector<ULONG> least = {0x100000, 0x100000, 0, 0x100000, 0x100000};
    EXPECT_EQ(Enumerate(empty).All(), least);
    const int sub = cb_->SubordinateBus();

    PDEVICE_EXTENSION e = Ext(F(p2p_));
    e->Bus = e->Device = e->Function = UNKNOWN_NUMBER;
    uint64_t t0 = standin::VirtualMicroseconds();
    EXPECT_EQ(Enumerate(p2p_).All(), least);
    LocateMe(e);
    bus_->SetConfigMode(Pdo(p2p_), sim::ConfigMode::Fail);
    e->PriBus = e->SecBus = e->SubBus = 0xFF;
    EXPECT_EQ(Enumerate(p2p_).All(), least);
    EXPECT_EQ(standin::VirtualMicroseconds(), t0) << "no probe";
    EXPECT_EQ(cb_->SubordinateBus(), sub) << "nothing raised";
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "WARNING EnumerateFromHere: location unknown, nothing probed"), 1u);
    EXPECT_EQ(CountContaining(lines, "WARNING EnumerateFromHere: bus numbers of 2:0:0 unreadable, nothing"), 1u);
}

// Numbers that cannot be read now but were known are taken again.
TEST_F(LookupTest, EnumeratedBridgeWhoseNumbersCannotBeReadKeepsToTheNumbersItKnew)
{
    FilterChassis();
    bus_->SetConfigMode(Pdo(p2p_), sim::ConfigMode::Fail);
    EXPECT_EQ(Enumerate(p2p_).mem, 0x1100000u) << "probed from bus 3 as usual";
    EXPECT_EQ(Ext(F(p2p_))->SecBus, 3u);
    EXPECT_EQ(cb_->SubordinateBus(), 0x12);
}

// highBus is the secondary bus + 16, raised only by a higher secondary, kept
// at 0xff instead of wrapping.
TEST_F(LookupTest, HighBusIsRaisedOnlyByAHigherSecondaryAndStopsAtFF)
{
    FilterChassis();
    const std::pair<int, int> rows[] = {{3, 0x12}, {0x14, 0x24}, {5, 0x24}, {0xF5, 0xFF}};
    for (const auto &r : rows) {
        machine_.SetBusNumbers(p2p_, 2, r.first, r.first);
        Enumerate(p2p_);
        EXPECT_EQ(highBus, r.second) << "secondary " << r.first;
    }
    EXPECT_EQ(CountContaining(TraceLines(), "WARNING EnumerateFromHere: bus numbers run past 0xff"), 1u);
}

// The operating system found no bus number left for the chassis bridge: it
// is numbered before its bus is probed, and the record follows.
TEST_F(LookupTest, UnnumberedBridgeIsNumberedBeforeItsBusIsProbed)
{
    Configure({{"Io", 0x1000}});
    FilterChassis();
    machine_.SetBusNumbers(p2p_, 0, 0, 0);
    LocateMe(Ext(F(p2p_)));
    Needs n = Enumerate(p2p_);
    EXPECT_EQ((std::vector<int>{p2p_->PrimaryBus(), p2p_->SecondaryBus(), p2p_->SubordinateBus()}),
              (std::vector<int>{2, 3, 0x12}));
    EXPECT_EQ(Ext(F(p2p_))->SecBus, 3u);
    EXPECT_EQ(n.io, 0x1000u) << "the cards behind it are found and counted";
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "$$$$$ probeBuses: probing bus 0x0 "), 0u) << "the host's bus is never probed";
    EXPECT_EQ(CountContaining(lines, "$$$$$ probeBuses: probing bus 0x3 "), 1u);
}

} // namespace
