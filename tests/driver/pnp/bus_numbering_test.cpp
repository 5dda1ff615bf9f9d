// Bus numbers an enumeration hands out and raises, against bridges already routing.
#include <gtest/gtest.h>

#include <vector>

#include "enum/enumerate.h"
#include "pnp_harness.h"

namespace {

using Numbers = std::vector<int>;

Numbers Of(const sim::PciFunction *f)
{
    return {f->PrimaryBus(), f->SecondaryBus(), f->SubordinateBus()};
}

// Controller 00:03.0 (buses 2..cbSub), bridge A 02:00.0 (B behind it, a card behind B),
// sibling S 02:01.0; A is enumerated; S never changes.
struct Case {
    const char *name;
    int cbSub;
    Numbers a, s, b;
    ULONG siblings;   // A's count of siblings: 1 leaves it unmarked, not probed
    bool peerAbove;   // another controller at 00:05.0 routes 4..ff
    bool phantom;     // A is single-function; a bridge answers at 02:00.1 routing 4
    Numbers aAfter, bAfter;
    int cbSubAfter;
};

void PrintTo(const Case &c, std::ostream *os)
{
    *os << c.name;
}

const Case kCases[] = {
    // A gets up to highBus (its bus + 16), the controller raised too.
    {"FreeNumbersGiveTheHeadroom", 5, {2, 3, 3}, {0, 0, 0}, {0, 0, 0}, 2, false, false, {2, 3, 0x12}, {3, 4, 4}, 0x12},
    // S routes 4: B cannot have it (its stale numbers cleared), A not widen over it.
    {"NumberRoutedByASibling", 5, {2, 3, 3}, {2, 4, 4}, {3, 7, 7}, 2, false, false, {2, 3, 3}, {0, 0, 0}, 5},
    // S routes 8 and up: A may use 3..7 only.
    {"WideningStopsBelowASibling", 9, {2, 3, 3}, {2, 8, 9}, {0, 0, 0}, 2, false, false, {2, 3, 7}, {3, 4, 4}, 9},
    // A unnumbered: a number S does not route, the controller raised to reach it.
    {"UnnumberedPastItsSiblings", 5, {0, 0, 0}, {2, 3, 5}, {0, 0, 0}, 2, false, false, {2, 6, 0x12}, {6, 7, 7}, 0x12},
    // No number reachable without covering S's: A stays unnumbered, nothing probed.
    {"NoReachableNumber", 3, {0, 0, 0}, {2, 3, 3}, {0, 0, 0}, 2, true, false, {0, 0, 0}, {0, 0, 0}, 3},
    // An unnumbered only child is numbered all the same, but not probed.
    {"UnprobedOnlyChildIsNumbered", 2, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}, 1, false, false, {2, 3, 3}, {0, 0, 0}, 3},
    // Functions 1..7 of a single-function device route nothing: bus 4 is A's.
    {"PhantomFunctionsAreNotCounted", 5, {2, 3, 3}, {0, 0, 0}, {0, 0, 0}, 2, false, true, {2, 3, 0x12}, {3, 4, 4}, 0x12},
};

class BusNumberingTest : public pnptest::FilterTest, public ::testing::WithParamInterface<Case> {
  protected:
    void Enumerate(sim::PciFunction *fn)
    {
        ULONG n[5];
        EnumerateFromHere(Ext(F(fn)), &n[0], &n[1], &n[2], &n[3], &n[4]);
    }
};

TEST_P(BusNumberingTest, NumbersStayClearOfWhatOthersRoute)
{
    const Case &c = GetParam();
    auto *cb = machine_.AddFunction(machine_.Root(), 3, 0, sim::models::TI1420());
    auto *a = machine_.AddFunction(machine_.SecondarySegment(cb), 0, 0, sim::models::DEC21154());
    auto *b = machine_.AddFunction(machine_.SecondarySegment(a), 0, 0, sim::models::DEC21154());
    machine_.AddFunction(machine_.SecondarySegment(b), 1, 0, sim::models::RTL8139());
    auto *s = machine_.AddFunction(machine_.SecondarySegment(cb), 1, 0, sim::models::DEC21154());
    machine_.SetBusNumbers(cb, 0, 2, c.cbSub);
    machine_.SetBusNumbers(a, c.a[0], c.a[1], c.a[2]);
    machine_.SetBusNumbers(s, c.s[0], c.s[1], c.s[2]);
    machine_.SetBusNumbers(b, c.b[0], c.b[1], c.b[2]);
    if (c.peerAbove)
        machine_.SetBusNumbers(machine_.AddFunction(machine_.Root(), 5, 0, sim::models::TI1420()), 0, 4, 0xFF);
    if (c.phantom) {
        machine_.SetBusNumbers(machine_.AddFunction(machine_.SecondarySegment(cb), 0, 1, sim::models::DEC21154()), 2, 4, 4);
        a->Poke8(0x0E, 0x01);
    }
    Load();
    AddDevice(driver_, Pdo(cb));
    AddChildDevice(driver_, Pdo(a), c.siblings);
    LocateMe(Ext(F(cb)));
    LocateMe(Ext(F(a)));
    Enumerate(a);
    EXPECT_EQ(Of(a), c.aAfter);
    EXPECT_EQ(Of(b), c.bAfter);
    EXPECT_EQ(Of(s), c.s);
    EXPECT_EQ(cb->SubordinateBus(), c.cbSubAfter);
    if (c.bAfter[1] != 3)
        return;
    // B, numbered by A's probe, keeps its numbers when enumerated itself, and leaves A alone.
    AddChildDevice(driver_, Pdo(b), 1);
    LocateMe(Ext(F(b)));
    Ext(F(b))->Flags |= ENUMERATE;
    Enumerate(b);
    EXPECT_EQ(Of(b), c.bAfter);
    EXPECT_EQ(Of(a), c.aAfter);
}

INSTANTIATE_TEST_SUITE_P(Cases, BusNumberingTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

} // namespace
