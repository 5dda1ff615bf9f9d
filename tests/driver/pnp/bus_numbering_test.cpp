// Bus numbers an enumeration hands out and the subordinate numbers it
// raises, against the bridges the hardware already routes: siblings numbered
// by the operating system, the host's bridges above the adapter, a peer root
// bus, and a bridge the probe above it numbered before.
#include <gtest/gtest.h>

#include <vector>

#include "enum/enumerate.h"
#include "enum/pci_tree.h"
#include "pnp_harness.h"

using testsupport::CountContaining;
using testsupport::TraceLines;

namespace {

std::vector<int> Numbers(const sim::PciFunction *f)
{
    return {f->PrimaryBus(), f->SecondaryBus(), f->SubordinateBus()};
}

// The adapter's CardBus controller at 00:03.0 (buses 2..5), the chassis
// bridge A at 02:00.0 (secondary 3) with a bridge B behind it that still
// needs a number, and a sibling bridge S at 02:01.0 that the operating
// system numbered.
class BusNumberingTest : public pnptest::FilterTest {
  protected:
    void SetUp() override
    {
        FilterTest::SetUp();
        cb_ = machine_.AddFunction(machine_.Root(), 3, 0, sim::models::TI1420());
        machine_.SetBusNumbers(cb_, 0, 2, 5);
        a_ = machine_.AddFunction(machine_.SecondarySegment(cb_), 0, 0, sim::models::DEC21154());
        machine_.SetBusNumbers(a_, 2, 3, 3);
        b_ = machine_.AddFunction(machine_.SecondarySegment(a_), 0, 0, sim::models::DEC21154());
        machine_.AddFunction(machine_.SecondarySegment(b_), 1, 0, sim::models::RTL8139());
        s_ = machine_.AddFunction(machine_.SecondarySegment(cb_), 1, 0, sim::models::DEC21154());
    }

    // Filters the controller and A (marked for enumeration), then
    // enumerates A.
    void EnumerateA()
    {
        Load();
        AddDevice(driver_, bus_->PdoFor(cb_));
        AddChildDevice(driver_, bus_->PdoFor(a_), 2);
        LocateMe(Ext(FilterOn(bus_->PdoFor(cb_))));
        LocateMe(Ext(FilterOn(bus_->PdoFor(a_))));
        Enumerate(Ext(FilterOn(bus_->PdoFor(a_))));
    }

    void Enumerate(PDEVICE_EXTENSION e)
    {
        ULONG mem, pre, io, memAlign, preAlign;
        EnumerateFromHere(e, &mem, &pre, &io, &memAlign, &preAlign);
    }

    sim::PciFunction *cb_, *a_, *b_, *s_;
};

// S routes 4: B cannot have it, and A may not widen over it. B stays
// unnumbered (registers cleared) instead of claiming bus 4 beside S.
TEST_F(BusNumberingTest, NumberRoutedByASiblingIsNeitherHandedOutNorCovered)
{
    machine_.SetBusNumbers(s_, 2, 4, 4);
    machine_.SetBusNumbers(b_, 3, 7, 7); // stale numbers from an earlier life
    EnumerateA();
    EXPECT_EQ(Numbers(a_), (std::vector<int>{2, 3, 3}));
    EXPECT_EQ(Numbers(b_), (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(Numbers(s_), (std::vector<int>{2, 4, 4}));
    EXPECT_EQ(cb_->SubordinateBus(), 5);
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "NOTE EnumerateFromHere: 2:0:0 keeps to bus numbers 0x3-0x3"), 1u);
    EXPECT_EQ(CountContaining(lines, "WARNING probeBuses: no bus number left for bridge 03:00:0"), 1u);
}

// S routes 8 and up: A may use 3..7 only, less than highBus would give it.
TEST_F(BusNumberingTest, WideningStopsBelowASiblingsRange)
{
    machine_.SetBusNumbers(cb_, 0, 2, 9);
    machine_.SetBusNumbers(s_, 2, 8, 9);
    EnumerateA();
    EXPECT_EQ(Numbers(b_), (std::vector<int>{3, 4, 4}));
    EXPECT_EQ(a_->SubordinateBus(), 7) << "not highBus 0x12: 8 and 9 are S's";
    EXPECT_EQ(cb_->SubordinateBus(), 9) << "the controller already covers them";
    EXPECT_EQ(Numbers(s_), (std::vector<int>{2, 8, 9}));
}

// Without siblings in the way, the described numbering stands: A up to
// highBus (its bus + 16), the controller above it raised as well.
TEST_F(BusNumberingTest, FreeNumbersGiveTheDescribedHeadroom)
{
    EnumerateA();
    EXPECT_EQ(Numbers(b_), (std::vector<int>{3, 4, 4}));
    EXPECT_EQ(a_->SubordinateBus(), 0x12);
    EXPECT_EQ(cb_->SubordinateBus(), 0x12);
    EXPECT_EQ(s_->SecondaryBus(), 0) << "an unnumbered sibling is left alone";
}

// A left unnumbered: its number must not be one S routes, and the
// controller must reach it without covering S's numbers from outside.
TEST_F(BusNumberingTest, UnnumberedBridgeIsNumberedPastItsSiblings)
{
    machine_.SetBusNumbers(a_, 0, 0, 0);
    machine_.SetBusNumbers(s_, 2, 3, 5);
    EnumerateA();
    EXPECT_EQ(a_->SecondaryBus(), 6);
    EXPECT_EQ(Numbers(b_), (std::vector<int>{6, 7, 7}));
    EXPECT_EQ(cb_->SubordinateBus(), a_->SubordinateBus()) << "raised to reach A's subtree";
    EXPECT_EQ(Numbers(s_), (std::vector<int>{2, 3, 5}));
    EXPECT_EQ(CountContaining(TraceLines(), "NOTE EnumerateFromHere: numbering bridge 2:0:0 pri 2 sec 6"), 1u);
}

// The controller's range is full of a sibling's numbers right above it: no
// number can be reached without covering them, so A stays unnumbered.
TEST_F(BusNumberingTest, NoReachableNumberLeavesTheBridgeUnnumbered)
{
    machine_.SetBusNumbers(a_, 0, 0, 0);
    machine_.SetBusNumbers(cb_, 0, 2, 3);
    machine_.SetBusNumbers(s_, 2, 3, 3);
    auto *other = machine_.AddFunction(machine_.Root(), 5, 0, sim::models::TI1420());
    machine_.SetBusNumbers(other, 0, 4, 0xFF);
    EnumerateA();
    EXPECT_EQ(a_->SecondaryBus(), 0);
    EXPECT_EQ(cb_->SubordinateBus(), 3);
    EXPECT_EQ(CountContaining(TraceLines(), "WARNING EnumerateFromHere: no bus number left for 2:0:0"), 1u);
    EXPECT_EQ(CountContaining(TraceLines(), "$$$$$ probeBuses"), 0u) << "nothing probed";
}

// A peer root bus owns its number and everything above it.
TEST_F(BusNumberingTest, PeerRootBusBoundsTheNumbers)
{
    machine_.AddFunction(machine_.RootBus(9), 0, 0, sim::models::Intel440BX());
    EnumerateA();
    EXPECT_EQ(a_->SubordinateBus(), 8);
    EXPECT_EQ(cb_->SubordinateBus(), 8);
}

// The probe of A numbered B; B's own enumeration later hands out the same
// numbers and leaves B routing its subtree only, A untouched.
TEST_F(BusNumberingTest, BridgeNumberedByTheProbeAboveIsNotWidenedAgain)
{
    EnumerateA();
    ASSERT_EQ(Numbers(b_), (std::vector<int>{3, 4, 4}));
    AddChildDevice(driver_, bus_->PdoFor(b_), 1);
    PDEVICE_EXTENSION eb = Ext(FilterOn(bus_->PdoFor(b_)));
    LocateMe(eb);
    eb->Flags |= ENUMERATE; // inherited from A when its requirements are filtered
    Enumerate(eb);
    EXPECT_EQ(Numbers(b_), (std::vector<int>{3, 4, 4}));
    EXPECT_EQ(a_->SubordinateBus(), 0x12);
}

// The controller behind a hub-to-PCI bridge of the host, which Tolmu does
// not filter: the hub bridge is raised through the ports, up to where a
// bridge beside it begins.
class HostBridgeAboveTest : public pnptest::FilterTest {
  protected:
    void SetUp() override
    {
        FilterTest::SetUp();
        hub_ = machine_.AddFunction(machine_.Root(), 0x1E, 0, sim::models::DEC21154());
        machine_.SetBusNumbers(hub_, 0, 1, 2);
        cb_ = machine_.AddFunction(machine_.SecondarySegment(hub_), 1, 0, sim::models::TI1420());
        machine_.SetBusNumbers(cb_, 1, 2, 2);
        a_ = machine_.AddFunction(machine_.SecondarySegment(cb_), 0, 0, sim::models::DEC21154());
        machine_.AddFunction(machine_.SecondarySegment(a_), 1, 0, sim::models::RTL8139());
    }

    void Run()
    {
        Load();
        AddDevice(driver_, bus_->PdoFor(cb_));
        AddChildDevice(driver_, bus_->PdoFor(a_), 2);
        PDEVICE_EXTENSION e = Ext(FilterOn(bus_->PdoFor(a_)));
        LocateMe(Ext(FilterOn(bus_->PdoFor(cb_))));
        LocateMe(e);
        ULONG mem, pre, io, memAlign, preAlign;
        EnumerateFromHere(e, &mem, &pre, &io, &memAlign, &preAlign);
    }

    sim::PciFunction *hub_, *cb_, *a_;
};

TEST_F(HostBridgeAboveTest, HubBridgeRoutesTheChassisBusesToo)
{
    Run();
    EXPECT_EQ(Numbers(a_), (std::vector<int>{2, 3, 0x12}));
    EXPECT_EQ(cb_->SubordinateBus(), 0x12);
    EXPECT_EQ(hub_->SubordinateBus(), 0x12);
    EXPECT_EQ(CountContaining(TraceLines(), "NOTE EnumerateFromHere: bridge 0:1e:0 above the adapter: sub from 2 to 12"),
              1u);
}

TEST_F(HostBridgeAboveTest, HubBridgeStopsBelowTheNextBridgeOnTheRootBus)
{
    auto *port = machine_.AddFunction(machine_.Root(), 0x1C, 0, sim::models::DEC21154());
    machine_.SetBusNumbers(port, 0, 6, 6);
    Run();
    EXPECT_EQ(hub_->SubordinateBus(), 5);
    EXPECT_EQ(a_->SubordinateBus(), 5);
    EXPECT_EQ(Numbers(port), (std::vector<int>{0, 6, 6}));
}

} // namespace

namespace {

// A chassis' uplink that is the only function behind the adapter is not
// probed; left unnumbered by the operating system it is numbered all the
// same (and the controller raised to reach it), never given a subordinate
// number alone, which would make it claim bus 0 up to that number.
TEST_F(BusNumberingTest, UnnumberedBridgeThatIsNotProbedIsNumberedStill)
{
    machine_.SetBusNumbers(cb_, 0, 2, 2);
    machine_.SetBusNumbers(a_, 0, 0, 0);
    Load();
    AddDevice(driver_, bus_->PdoFor(cb_));
    AddChildDevice(driver_, bus_->PdoFor(a_), 1);
    PDEVICE_EXTENSION e = Ext(FilterOn(bus_->PdoFor(a_)));
    LocateMe(Ext(FilterOn(bus_->PdoFor(cb_))));
    LocateMe(e);
    ASSERT_FALSE(e->Flags & ENUMERATE);
    Enumerate(e);
    EXPECT_EQ(Numbers(a_), (std::vector<int>{2, 3, 3}));
    EXPECT_EQ(cb_->SubordinateBus(), 3);
    EXPECT_EQ(Numbers(b_), (std::vector<int>{0, 0, 0})) << "nothing behind it is probed";
    EXPECT_EQ(CountContaining(TraceLines(), "$$$$$ probeBuses"), 0u);
}

} // namespace

namespace {

// Functions 1 to 7 of a single-function device are not looked at: whatever
// answers there (a device that decodes no function number) routes nothing.
TEST_F(BusNumberingTest, FunctionsBehindASingleFunctionDeviceAreNotCounted)
{
    auto *phantom = machine_.AddFunction(machine_.SecondarySegment(cb_), 0, 1, sim::models::DEC21154());
    machine_.SetBusNumbers(phantom, 2, 4, 4);
    a_->Poke8(0x0E, 0x01); // A: single-function header
    EnumerateA();
    EXPECT_EQ(Numbers(b_), (std::vector<int>{3, 4, 4})) << "bus 4 is A's to hand out";
}

} // namespace
