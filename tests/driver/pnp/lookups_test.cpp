// Where a filter device sits (LocateMe, GetParent, GetRoot), bus-number
// propagation up the chain, the bus-number check, and the enumeration entry.
#include <gtest/gtest.h>

#include "enum/enumerate.h"
#include "enum/pci_tree.h"
#include "pnp_harness.h"

using testsupport::CountContaining;
using testsupport::TraceLines;

namespace {

const char kParams[] = "tolmu\\Parameters";

// The adapter's CardBus controller at 00:03.0 with buses 2..5 behind it, a
// chassis bridge on bus 2 (secondary 3), and two cards on bus 3.
class LookupTest : public pnptest::FilterTest {
  protected:
    void SetUp() override
    {
        FilterTest::SetUp();
        cb_ = machine_.AddFunction(machine_.Root(), 3, 0, sim::models::TI1420());
        machine_.SetBusNumbers(cb_, 0, 2, 5);
        p2p_ = machine_.AddFunction(machine_.SecondarySegment(cb_), 0, 0, sim::models::DEC21154());
        machine_.SetBusNumbers(p2p_, 2, 3, 3);
        nic_ = machine_.AddFunction(machine_.SecondarySegment(p2p_), 1, 0, sim::models::RTL8139());
        vga_ = machine_.AddFunction(machine_.SecondarySegment(p2p_), 2, 0, sim::models::GeForce2MX());
    }

    // Loads the driver and filters the whole hierarchy, every device located.
    void FilterAll()
    {
        Load();
        AddDevice(driver_, bus_->PdoFor(cb_));
        AddChildDevice(driver_, bus_->PdoFor(p2p_), 1);
        AddChildDevice(driver_, bus_->PdoFor(nic_), 2);
        AddChildDevice(driver_, bus_->PdoFor(vga_), 2);
        for (auto *fn : {cb_, p2p_, nic_, vga_})
            LocateMe(Ext(F(fn)));
    }

    PDEVICE_OBJECT F(sim::PciFunction *fn) { return FilterOn(bus_->PdoFor(fn)); }

    sim::PciFunction *cb_, *p2p_, *nic_, *vga_;
};

TEST_F(LookupTest, LocateMeReadsLocationAndBridgeNumbers)
{
    FilterAll();
    PDEVICE_EXTENSION e = Ext(F(p2p_));
    EXPECT_EQ(e->Bus, 2u);
    EXPECT_EQ(e->Device, 0u);
    EXPECT_EQ(e->Function, 0u);
    EXPECT_EQ(e->PriBus, 2u);
    EXPECT_EQ(e->SecBus, 3u);
    EXPECT_EQ(e->SubBus, 3u);
    PDEVICE_EXTENSION n = Ext(F(nic_));
    EXPECT_EQ(n->Bus, 3u);
    EXPECT_EQ(n->Device, 1u);
    EXPECT_EQ(n->SecBus, UNKNOWN_NUMBER) << "not a bridge: numbers not read";
    EXPECT_EQ(CountContaining(TraceLines(), "LocateMe: vid 0x10EC-8139 @ 3:1:0"), 1u);
}

TEST_F(LookupTest, LocationCodeOfADeviceWithoutPropertiesIsAllOnesShifted)
{
    Load();
    PDEVICE_OBJECT pdo = bus_->PdoFor(nic_);
    bus_->SetPropertiesFail(pdo, true);
    EXPECT_EQ(GetLocationCode(pdo), 0xFFFFFF1Fu);
    EXPECT_EQ(GetDevicePropertyDW(pdo, DevicePropertyBusNumber), 0xFFFFFFFFu);
}

TEST_F(LookupTest, ParentAndRootOfADeviceTwoBridgesDown)
{
    FilterAll();
    EXPECT_EQ(GetParent(F(nic_)), F(p2p_));
    EXPECT_EQ(GetParent(F(p2p_)), F(cb_));
    EXPECT_EQ(GetRoot(F(nic_)), F(cb_)) << "climbs through the intermediate bridge";
    EXPECT_EQ(GetRoot(F(p2p_)), F(cb_));
    EXPECT_EQ(GetParent(F(cb_)), nullptr);
}

// A bridge the operating system left unnumbered (secondary 0) forwards
// nothing: it is not the parent of the controller on bus 0, so a climb from
// there cannot loop back through it.
TEST_F(LookupTest, AnUnnumberedBridgeIsNobodysParent)
{
    FilterAll();
    Ext(F(p2p_))->SecBus = 0;
    EXPECT_EQ(GetParent(F(cb_)), nullptr);
    EXPECT_EQ(GetParent(F(nic_)), nullptr);
}

TEST_F(LookupTest, DeviceOutsideTheRootsRangeHasNoRoot)
{
    FilterAll();
    Ext(F(vga_))->Bus = 9;
    EXPECT_EQ(GetRoot(F(vga_)), nullptr);
}

TEST_F(LookupTest, SearchLinesAppearOnlyFromVerbosityNine)
{
    FilterAll();
    size_t before = TraceLines().size();
    GetRoot(F(nic_));
    EXPECT_EQ(TraceLines().size(), before);
    SetVerbose(9);
    GetRoot(F(nic_));
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "GetRoot: @ 3-1-0 Flags 0x0"), 1u);
    EXPECT_EQ(CountContaining(lines, "GetParent: Bus 0x3 Sec 0x3 Sub 0x3"), 1u);
    EXPECT_EQ(CountContaining(lines, "GetRoot: My Bus 0x3 PSec 0x2 PSub 0x5"), 1u);
    EXPECT_EQ(CountContaining(lines, "GetRoot: found root!!!"), 1u);
}

TEST_F(LookupTest, UnmarkedDevicesAreSkippedBySearches)
{
    FilterAll();
    Ext(F(p2p_))->Marker = 0;
    SetVerbose(9);
    EXPECT_EQ(GetParent(F(nic_)), nullptr);
    EXPECT_EQ(CountContaining(TraceLines(), "without Marker"), 1u);
    Ext(F(p2p_))->Marker = EXTENSION_MARKER;
}

TEST_F(LookupTest, BusNumberLoopCannotHangTheClimb)
{
    FilterAll();
    // Bad hardware: the bridge claims its own bus as its secondary.
    Ext(F(p2p_))->SecBus = 2;
    Ext(F(cb_))->Flags &= ~ROOT;
    EXPECT_EQ(GetRoot(F(p2p_)), nullptr);
    propigateBusNo(F(p2p_), 4); // must come back too
}

TEST_F(LookupTest, PropagationRaisesHardwareAndExtensionsIndependently)
{
    FilterAll();
    // The hardware of the chassis bridge is already high, its record is not;
    // for the controller it is the other way round.
    p2p_->Poke8(0x1A, 0x10);
    Ext(F(p2p_))->SubBus = 3;
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

TEST_F(LookupTest, PropagationNeverLowers)
{
    FilterAll();
    propigateBusNo(F(p2p_), 2);
    EXPECT_EQ(p2p_->SubordinateBus(), 3);
    EXPECT_EQ(cb_->SubordinateBus(), 5);
    EXPECT_EQ(CountContaining(TraceLines(), "NOTE propigateBusNo"), 0u);
}

TEST_F(LookupTest, CheckBusNumbersBringsTheRecordInLine)
{
    FilterAll();
    PDEVICE_EXTENSION e = Ext(F(p2p_));
    size_t before = TraceLines().size();
    CheckBusNumbers(e);
    EXPECT_EQ(TraceLines().size(), before) << "matching values print nothing";
    machine_.SetBusNumbers(p2p_, 2, 4, 6);
    CheckBusNumbers(e);
    EXPECT_EQ(e->SecBus, 4u);
    EXPECT_EQ(e->SubBus, 6u);
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "WARNING CheckBusNumbers: pExt->SecBus (0x3) != sec (0x4)"), 1u);
    EXPECT_EQ(CountContaining(lines, "WARNING CheckBusNumbers: pExt->SubBus (0x3) != sub (0x6)"), 1u);
    EXPECT_EQ(CountContaining(lines, "PriBus"), 0u);
}

struct Needs {
    ULONG mem = 0, pre = 0, io = 0, memAlign = 0, preAlign = 0;
};

Needs Enumerate(PDEVICE_EXTENSION e)
{
    Needs n;
    EnumerateFromHere(e, &n.mem, &n.pre, &n.io, &n.memAlign, &n.preAlign);
    return n;
}

TEST_F(LookupTest, UnmarkedBridgeGetsTheConfiguredSizesAndProbesNothing)
{
    FilterAll();
    uint64_t t0 = standin::VirtualMicroseconds();
    Needs n = Enumerate(Ext(F(p2p_)));
    EXPECT_EQ(n.mem, 0x8000000u);
    EXPECT_EQ(n.memAlign, 0x8000000u);
    EXPECT_EQ(n.pre, 0x8000000u);
    EXPECT_EQ(n.preAlign, 0x8000000u);
    EXPECT_EQ(n.io, 0u) << "Io 0x300 holds no whole 4 KB block for a PCI-to-PCI bridge's window";
    EXPECT_EQ(CountContaining(TraceLines(), "WARNING EnumerateFromHere: 2:0:0 needs I/O 0x300 in 4 KB blocks but Io "
                                            "is 0x300: I/O window dropped, raise Io to give it room"),
              1u);
    EXPECT_EQ(standin::VirtualMicroseconds(), t0) << "no probe, no waiting";
    EXPECT_EQ(CountContaining(TraceLines(), "probeBuses: No need to enumerate this node"), 1u);
    EXPECT_EQ(CountContaining(TraceLines(), "EnumerateFromHere 2:0:0 Pri 2 Sec 3 Sub 3"), 1u);
}

TEST_F(LookupTest, ConfiguredSizesFollowTheRegistry)
{
    standin::RegSetDword(kParams, "Memory", 0x2000000);
    standin::RegSetDword(kParams, "PreFetch", 0x4000000);
    standin::RegSetDword(kParams, "Io", 0x1000);
    ReadConfiguration();
    FilterAll();
    Needs n = Enumerate(Ext(F(p2p_)));
    EXPECT_EQ(n.mem, 0x2000000u);
    EXPECT_EQ(n.pre, 0x4000000u);
    EXPECT_EQ(n.io, 0x1000u);
}

TEST_F(LookupTest, EnumeratedBridgeProbesItsBusAndTotalsTheNeeds)
{
    standin::RegSetDword(kParams, "Io", 0x2000);
    ReadConfiguration();
    FilterAll();
    Ext(F(p2p_))->Flags |= ENUMERATE;
    uint64_t t0 = standin::VirtualMicroseconds();
    Needs n = Enumerate(Ext(F(p2p_)));
    // RTL8139: 256 bytes I/O + 256 bytes memory; GeForce2 MX: 16 MB memory,
    // 128 MB prefetchable. The bridge's I/O window is one whole 4 KB block.
    EXPECT_EQ(n.io, 0x1000u);
    EXPECT_EQ(n.mem, 0x1100000u);
    EXPECT_EQ(n.pre, 0x8000000u);
    EXPECT_EQ(n.memAlign, 0x1000000u);
    EXPECT_EQ(n.preAlign, 0x8000000u);
    EXPECT_EQ(standin::VirtualMicroseconds() - t0, 4000000u) << "one bus probed";
    EXPECT_EQ(highBus, 0x12);
    EXPECT_EQ(p2p_->SubordinateBus(), 0x12) << "raised to forward up to highBus";
    EXPECT_EQ(cb_->SubordinateBus(), 0x12);
    EXPECT_EQ(Ext(F(cb_))->SubBus, 0x12u);
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "==== Enumerate PCI Space"), 1u);
    EXPECT_EQ(CountContaining(lines, "dumpPciTree "), 3u);
    EXPECT_EQ(standin::OutstandingCount(TOLMU_POOL_TAG), 1u) << "only the trace buffer: the tree was freed";
}

// Io bounds the I/O window of a bridge behind the adapter: a CardBus bridge
// gets at most Io, a PCI-to-PCI bridge the whole 4 KB blocks Io holds - and
// none at all, its window dropped, when Io holds no block.
TEST_F(LookupTest, IoNeedIsCappedByTheConfiguredIo)
{
    standin::RegSetDword(kParams, "Io", 0x80);
    ReadConfiguration();
    FilterAll();
    Ext(F(p2p_))->Flags |= ENUMERATE;
    Needs n;
    BOOLEAN dropped = FALSE;
    EnumerateFromHere(Ext(F(p2p_)), &n.mem, &n.pre, &n.io, &n.memAlign, &n.preAlign, &dropped);
    EXPECT_EQ(n.io, 0u);
    EXPECT_TRUE(dropped);

    standin::RegSetDword(kParams, "Io", 0x1800);
    ReadConfiguration();
    machine_.AddFunction(machine_.SecondarySegment(p2p_), 3, 0, sim::models::Generic(0x1234, 0x1, 0x078000, {sim::IoBar(0, 0x1000), sim::IoBar(1, 0x1000)}));
    EnumerateFromHere(Ext(F(p2p_)), &n.mem, &n.pre, &n.io, &n.memAlign, &n.preAlign, &dropped);
    EXPECT_EQ(n.io, 0x1000u) << "0x2100 behind it, Io holds one block";
    EXPECT_FALSE(dropped);

    Ext(F(cb_))->Flags |= ENUMERATE;
    EXPECT_EQ(Enumerate(Ext(F(cb_))).io, 0x1000u) << "the controller counts the block its bridge can have";
}

TEST_F(LookupTest, EnumeratedBridgeWithNothingBehindItGetsOneMegabyteWindows)
{
    machine_.SetBusNumbers(p2p_, 2, 3, 3);
    FilterAll();
    auto *empty = machine_.AddFunction(machine_.SecondarySegment(cb_), 1, 0, sim::models::DEC21154());
    machine_.SetBusNumbers(empty, 2, 4, 4);
    AddChildDevice(driver_, bus_->PdoFor(empty), 2);
    PDEVICE_EXTENSION e = Ext(F(empty));
    LocateMe(e);
    ASSERT_TRUE(e->Flags & ENUMERATE);
    Needs n = Enumerate(e);
    EXPECT_EQ(n.mem, 0x100000u);
    EXPECT_EQ(n.pre, 0x100000u);
    EXPECT_EQ(n.io, 0u);
    EXPECT_EQ(n.memAlign, 0x100000u);
    EXPECT_EQ(n.preAlign, 0x100000u);
}

TEST_F(LookupTest, HighBusIsSetOnceAndRaisedOnlyByAHigherSecondary)
{
    FilterAll();
    PDEVICE_EXTENSION e = Ext(F(p2p_));
    e->Flags |= ENUMERATE;
    Enumerate(e);
    EXPECT_EQ(highBus, 0x12);

    machine_.SetBusNumbers(p2p_, 2, 0x14, 0x14);
    Enumerate(e);
    EXPECT_EQ(highBus, 0x24);

    machine_.SetBusNumbers(p2p_, 2, 5, 5);
    Enumerate(e);
    EXPECT_EQ(highBus, 0x24);
}

TEST_F(LookupTest, UnnumberedBridgeIsNumberedBeforeItsBusIsProbed)
{
    FilterAll();
    PDEVICE_EXTENSION e = Ext(F(p2p_));
    // The operating system found no bus number left for the chassis bridge.
    machine_.SetBusNumbers(p2p_, 0, 0, 0);
    LocateMe(e);
    e->Flags |= ENUMERATE;
    ASSERT_EQ(e->SecBus, 0u);
    standin::RegSetDword(kParams, "Io", 0x1000);
    ReadConfiguration();
    Needs n = Enumerate(e);
    EXPECT_EQ(p2p_->PrimaryBus(), 2);
    EXPECT_EQ(p2p_->SecondaryBus(), 3);
    EXPECT_EQ(p2p_->SubordinateBus(), 0x12);
    EXPECT_EQ(e->SecBus, 3u) << "the record follows, so searches through this bridge work";
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "NOTE EnumerateFromHere: numbering bridge 2:0:0 pri 2 sec 3"), 1u);
    EXPECT_EQ(CountContaining(lines, "$$$$$ probeBuses: probing bus 0x0 "), 0u) << "the host's bus is never probed";
    EXPECT_EQ(CountContaining(lines, "$$$$$ probeBuses: probing bus 0x3 "), 1u);
    EXPECT_EQ(n.io, 0x1000u) << "the cards behind it are found and counted";
}

// A bridge marked for enumeration whose location is unknown: no bus to
// probe, nothing written; it asks for the least windows.
TEST_F(LookupTest, EnumeratedBridgeWithoutALocationProbesNothing)
{
    FilterAll();
    PDEVICE_EXTENSION e = Ext(F(p2p_));
    e->Flags |= ENUMERATE;
    e->Bus = e->Device = e->Function = UNKNOWN_NUMBER;
    uint64_t t0 = standin::VirtualMicroseconds();
    Needs n = Enumerate(e);
    EXPECT_EQ(n.mem, 0x100000u);
    EXPECT_EQ(n.io, 0u);
    EXPECT_EQ(standin::VirtualMicroseconds(), t0);
    EXPECT_EQ(CountContaining(TraceLines(), "WARNING EnumerateFromHere: location unknown, nothing probed"), 1u);
    EXPECT_EQ(cb_->SubordinateBus(), 5) << "nothing raised";
}

// The read of an enumerated bridge's bus numbers fails: CheckBusNumbers
// records all ones. No bridge above is raised to subordinate 0xff over its
// other bridges' numbers: the numbers the record held are taken again, and
// without them nothing is probed.
TEST_F(LookupTest, EnumeratedBridgeWhoseNumbersCannotBeReadKeepsToTheNumbersItKnew)
{
    FilterAll();
    PDEVICE_EXTENSION e = Ext(F(p2p_));
    e->Flags |= ENUMERATE;
    bus_->SetConfigMode(bus_->PdoFor(p2p_), sim::ConfigMode::Fail);
    Needs n = Enumerate(e);
    EXPECT_EQ(e->SecBus, 3u);
    EXPECT_EQ(n.mem, 0x1100000u) << "probed from bus 3 as usual";
    EXPECT_EQ(cb_->SubordinateBus(), 0x12);
    EXPECT_EQ(CountContaining(TraceLines(), "WARNING EnumerateFromHere: bus numbers of 2:0:0 unreadable, going on "
                                            "with Pri 2 Sec 3 Sub 3"),
              1u);

    // Nothing known before either.
    e->PriBus = e->SecBus = e->SubBus = 0xFF;
    uint64_t t0 = standin::VirtualMicroseconds();
    n = Enumerate(e);
    EXPECT_EQ(n.mem, 0x100000u) << "the least windows";
    EXPECT_EQ(standin::VirtualMicroseconds(), t0) << "no probe";
    EXPECT_EQ(cb_->SubordinateBus(), 0x12) << "nothing raised";
    EXPECT_EQ(CountContaining(TraceLines(), "WARNING EnumerateFromHere: bus numbers of 2:0:0 unreadable, nothing"),
              1u);
}

TEST_F(LookupTest, HighBusIsKeptAtFFInsteadOfWrapping)
{
    FilterAll();
    PDEVICE_EXTENSION e = Ext(F(p2p_));
    e->Flags |= ENUMERATE;
    machine_.SetBusNumbers(p2p_, 2, 0xF5, 0xF5);
    Enumerate(e);
    EXPECT_EQ(highBus, 0xFF);
    EXPECT_EQ(CountContaining(TraceLines(), "WARNING EnumerateFromHere: bus numbers run past 0xff"), 1u);
}

} // namespace
