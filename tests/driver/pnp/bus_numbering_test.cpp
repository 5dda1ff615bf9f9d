// Bus numbers an enumeration hands out and the subordinate numbers it
// raises, against the bridges the hardware already routes: siblings numbered
// by the operating system and a bridge the probe above it numbered before.
#include <gtest/gtest.h>

#include <vector>

#include "enum/enumerate.h"
#include "pnp_harness.h"

using testsupport::CountContaining;
using testsupport::TraceLines;

namespace {

using Numbers = std::vector<int>;

Numbers Of(const sim::PciFunction *f)
{
    return {f->PrimaryBus(), f->SecondaryBus(), f->SubordinateBus()};
}

// The adapter's controller at 00:03.0 (buses 2..5), the chassis bridge A at
// 02:00.0 (secondary 3) with a bridge B behind it that still needs a number
// and a card behind B, and a sibling bridge S at 02:01.0.
class BusNumberingTest : public pnptest::FilterTest {
  protected:
    void Build()
    {
        cb_ = machine_.AddFunction(machine_.Root(), 3, 0, sim::models::TI1420());
        machine_.SetBusNumbers(cb_, 0, 2, 5);
        a_ = machine_.AddFunction(machine_.SecondarySegment(cb_), 0, 0, sim::models::DEC21154());
        machine_.SetBusNumbers(a_, 2, 3, 3);
        b_ = machine_.AddFunction(machine_.SecondarySegment(a_), 0, 0, sim::models::DEC21154());
        machine_.AddFunction(machine_.SecondarySegment(b_), 1, 0, sim::models::RTL8139());
        s_ = machine_.AddFunction(machine_.SecondarySegment(cb_), 1, 0, sim::models::DEC21154());
    }
    // Filters the controller and A (marked for enumeration unless an only
    // child), then enumerates A.
    void EnumerateA(ULONG siblings = 2)
    {
        Load();
        AddDevice(driver_, Pdo(cb_));
        AddChildDevice(driver_, Pdo(a_), siblings);
        LocateMe(Ext(F(cb_)));
        LocateMe(Ext(F(a_)));
        Enumerate(Ext(F(a_)));
    }
    void Enumerate(PDEVICE_EXTENSION e)
    {
        ULONG mem, pre, io, memAlign, preAlign;
        EnumerateFromHere(e, &mem, &pre, &io, &memAlign, &preAlign);
    }
    sim::PciFunction *cb_ = nullptr, *a_ = nullptr, *b_ = nullptr, *s_ = nullptr;
};

// Without siblings in the way, A gets up to highBus (its bus + 16), the
// controller above it raised as well; B's own enumeration later hands out
// the same numbers and leaves A alone.
TEST_F(BusNumberingTest, FreeNumbersGiveTheDescribedHeadroom)
{
    Build();
    EnumerateA();
    EXPECT_EQ(Of(b_), (Numbers{3, 4, 4}));
    EXPECT_EQ(a_->SubordinateBus(), 0x12);
    EXPECT_EQ(cb_->SubordinateBus(), 0x12);
    EXPECT_EQ(s_->SecondaryBus(), 0) << "an unnumbered sibling is left alone";
    AddChildDevice(driver_, Pdo(b_), 1);
    PDEVICE_EXTENSION eb = Ext(F(b_));
    LocateMe(eb);
    eb->Flags |= ENUMERATE;
    Enumerate(eb);
    EXPECT_EQ(Of(b_), (Numbers{3, 4, 4}));
    EXPECT_EQ(a_->SubordinateBus(), 0x12);
}

// S routes 4: B cannot have it, and A may not widen over it; B stays
// unnumbered (its stale numbers cleared) instead of claiming bus 4 beside S.
TEST_F(BusNumberingTest, NumberRoutedByASiblingIsNeitherHandedOutNorCovered)
{
    Build();
    machine_.SetBusNumbers(s_, 2, 4, 4);
    machine_.SetBusNumbers(b_, 3, 7, 7);
    EnumerateA();
    EXPECT_EQ(Of(a_), (Numbers{2, 3, 3}));
    EXPECT_EQ(Of(b_), (Numbers{0, 0, 0}));
    EXPECT_EQ(Of(s_), (Numbers{2, 4, 4}));
    EXPECT_EQ(cb_->SubordinateBus(), 5);
    EXPECT_EQ(CountContaining(TraceLines(), "WARNING probeBuses: no bus number left for bridge 03:00:0"), 1u);
}

// S routes 8 and up: A may use 3..7 only.
TEST_F(BusNumberingTest, WideningStopsBelowASiblingsRange)
{
    Build();
    machine_.SetBusNumbers(cb_, 0, 2, 9);
    machine_.SetBusNumbers(s_, 2, 8, 9);
    EnumerateA();
    EXPECT_EQ(Of(b_), (Numbers{3, 4, 4}));
    EXPECT_EQ(a_->SubordinateBus(), 7);
    EXPECT_EQ(cb_->SubordinateBus(), 9);
}

// A left unnumbered gets a number S does not route, the controller raised to
// reach it.
TEST_F(BusNumberingTest, UnnumberedBridgeIsNumberedPastItsSiblings)
{
    Build();
    machine_.SetBusNumbers(a_, 0, 0, 0);
    machine_.SetBusNumbers(s_, 2, 3, 5);
    EnumerateA();
    EXPECT_EQ(a_->SecondaryBus(), 6);
    EXPECT_EQ(Of(b_), (Numbers{6, 7, 7}));
    EXPECT_EQ(cb_->SubordinateBus(), a_->SubordinateBus());
    EXPECT_EQ(Of(s_), (Numbers{2, 3, 5}));
}

// With no number reachable without covering S's, A stays unnumbered and
// nothing is probed.
TEST_F(BusNumberingTest, NoReachableNumberLeavesTheBridgeUnnumbered)
{
    Build();
    machine_.SetBusNumbers(a_, 0, 0, 0);
    machine_.SetBusNumbers(cb_, 0, 2, 3);
    machine_.SetBusNumbers(s_, 2, 3, 3);
    machine_.SetBusNumbers(machine_.AddFunction(machine_.Root(), 5, 0, sim::models::TI1420()), 0, 4, 0xFF);
    EnumerateA();
    EXPECT_EQ(a_->SecondaryBus(), 0);
    EXPECT_EQ(cb_->SubordinateBus(), 3);
    EXPECT_EQ(CountContaining(TraceLines(), "WARNING EnumerateFromHere: no bus number left for 2:0:0"), 1u);
    EXPECT_EQ(CountContaining(TraceLines(), "$$$$$ probeBuses"), 0u);
}

// An unnumbered only child is not probed but numbered all the same (never
// given a subordinate number alone, which would claim bus 0 up to it).
TEST_F(BusNumberingTest, UnnumberedBridgeThatIsNotProbedIsNumberedStill)
{
    Build();
    machine_.SetBusNumbers(cb_, 0, 2, 2);
    machine_.SetBusNumbers(a_, 0, 0, 0);
    EnumerateA(1);
    EXPECT_EQ(Of(a_), (Numbers{2, 3, 3}));
    EXPECT_EQ(cb_->SubordinateBus(), 3);
    EXPECT_EQ(Of(b_), (Numbers{0, 0, 0})) << "nothing behind it is probed";
}

// Functions 1 to 7 of a single-function device are not looked at: whatever
// answers there (a device that decodes no function number) routes nothing.
TEST_F(BusNumberingTest, FunctionsBehindASingleFunctionDeviceAreNotCounted)
{
    Build();
    auto *phantom = machine_.AddFunction(machine_.SecondarySegment(cb_), 0, 1, sim::models::DEC21154());
    machine_.SetBusNumbers(phantom, 2, 4, 4);
    a_->Poke8(0x0E, 0x01);
    EnumerateA();
    EXPECT_EQ(Of(b_), (Numbers{3, 4, 4})) << "bus 4 is A's to hand out";
}

} // namespace
