// Arbitration and list building of the simulated operating system: first fit
// inside a bus's windows, honouring length, alignment, limits, alternatives
// and alternative lists; a list that fits nowhere takes nothing.
#include "os_fixture.h"

#include <cstring>

namespace {

using sim::AddressSpace;
using sim::BusSpaces;
using sim::RequirementsBuilder;

struct PlaceRow {
    const char *name;
    uint64_t base, limit;
    std::vector<std::pair<uint64_t, uint64_t>> taken; // reserved first
    uint64_t length, alignment, min, max;
    bool fits;
    uint64_t expected;
};

class PlaceTest : public ::testing::TestWithParam<PlaceRow> {};

TEST_P(PlaceTest, FirstFit)
{
    const PlaceRow &row = GetParam();
    AddressSpace space(row.base, row.limit);
    for (auto &t : row.taken)
        ASSERT_TRUE(space.Reserve(t.first, t.second)) << "reserve 0x" << std::hex << t.first;
    auto at = space.Allocate(row.length, row.alignment, row.min, row.max);
    ASSERT_EQ(at.has_value(), row.fits);
    if (row.fits)
        EXPECT_EQ(*at, row.expected) << "got 0x" << std::hex << *at;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PlaceTest,
    ::testing::Values(
        PlaceRow{"empty window, at its base", 0x1000, 0xFFFF, {}, 0x100, 0x100, 0, 0xFFFF, true, 0x1000},
        PlaceRow{"alignment moves the start up", 0x1010, 0xFFFF, {}, 0x100, 0x1000, 0, 0xFFFF, true, 0x2000},
        PlaceRow{"alignment 0 counts as 1", 0x1003, 0xFFFF, {}, 0x10, 0, 0, 0xFFFF, true, 0x1003},
        PlaceRow{"past what is taken", 0x1000, 0xFFFF, {{0x1000, 0x200}}, 0x100, 0x100, 0, 0xFFFF, true, 0x1200},
        PlaceRow{"into a gap", 0x1000, 0xFFFF, {{0x1000, 0x100}, {0x1400, 0x100}}, 0x300, 0x100, 0, 0xFFFF, true,
                 0x1100},
        PlaceRow{"gap too small, after", 0x1000, 0xFFFF, {{0x1000, 0x100}, {0x1200, 0x100}}, 0x200, 0x100, 0,
                 0xFFFF, true, 0x1300},
        PlaceRow{"minimum address above the base", 0x80000000, 0xFEBFFFFF, {}, 0x100000, 0x100000, 0xA0000000,
                 0xFFFFFFFF, true, 0xA0000000},
        PlaceRow{"maximum address below the need", 0x1000, 0xFFFF, {}, 0x100, 0x100, 0, 0x10FF, true, 0x1000},
        PlaceRow{"maximum address too low", 0x1000, 0xFFFF, {}, 0x200, 0x100, 0, 0x10FF, false, 0},
        PlaceRow{"larger than the window", 0x1000, 0x1FFF, {}, 0x2000, 1, 0, 0xFFFF, false, 0},
        PlaceRow{"exactly the window", 0x90000000, 0x97FFFFFF, {}, 0x8000000, 0x8000000, 0, 0xFFFFFFFF, true,
                 0x90000000},
        PlaceRow{"alignment pushes past the limit", 0x90100000, 0x97FFFFFF, {}, 0x4000000, 0x4000000, 0, 0xFFFFFFFF,
                 true, 0x94000000},
        PlaceRow{"alignment leaves no room", 0x90100000, 0x93FFFFFF, {}, 0x4000000, 0x4000000, 0, 0xFFFFFFFF, false,
                 0}),
    [](const ::testing::TestParamInfo<PlaceRow> &info) {
        std::string n = info.param.name;
        for (char &c : n)
            if (!isalnum((unsigned char)c))
                c = '_';
        return n;
    });

TEST(AddressSpace, InvalidSpaceOffersNothingAndReleaseMakesRoomAgain)
{
    AddressSpace none;
    EXPECT_FALSE(none.Valid());
    EXPECT_FALSE(none.Allocate(0x10, 1, 0, ~0ull).has_value());
    AddressSpace s(0x1000, 0x1FFF);
    auto a = s.Allocate(0x1000, 1, 0, ~0ull);
    ASSERT_TRUE(a.has_value());
    EXPECT_FALSE(s.Allocate(0x10, 1, 0, ~0ull).has_value());
    s.Release(*a);
    EXPECT_EQ(s.UsedCount(), 0u);
    EXPECT_EQ(s.Allocate(0x10, 1, 0, ~0ull).value_or(0), 0x1000u);
}


class ArbitrationTest : public testsupport::DriverTest {
  protected:
    BusSpaces Spaces(uint64_t ioBase, uint64_t ioLimit, uint64_t memBase, uint64_t memLimit)
    {
        BusSpaces s;
        s.io = AddressSpace(ioBase, ioLimit);
        s.memory = AddressSpace(memBase, memLimit);
        return s;
    }
    static std::optional<sim::Assignment> One(const RequirementsBuilder &b, BusSpaces &s)
    {
        return sim::Arbitrate(std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>>{b.Descriptors()}, s);
    }
};

TEST_F(ArbitrationTest, AlternativeTakenWhenThePreferredDoesNotFit)
{
    BusSpaces s = Spaces(0x1000, 0x1FFF, 0x80000000, 0x800FFFFF);
    RequirementsBuilder b;
    b.Memory(0x200000, 0x100000, 0, 0xFFFFFFFF);                          // 2 MB: too big
    b.Memory(0x10000, 0x10000, 0, 0xFFFFFFFF, 0, IO_RESOURCE_ALTERNATIVE); // 64 KB: fits
    b.DevicePrivate(1, 3, 0);
    auto a = One(b, s);
    ASSERT_TRUE(a.has_value());
    ASSERT_EQ(a->partials.size(), 2u) << sim::DescribePartials(a->partials);
    EXPECT_EQ(a->partials[0].Type, CmResourceTypeMemory);
    EXPECT_EQ(a->partials[0].u.Memory.Length, 0x10000u);
    EXPECT_EQ(LONGLONG(a->partials[0].u.Memory.Start.QuadPart), 0x80000000);
    EXPECT_EQ(a->partials[1].Type, CmResourceTypeDevicePrivate);
    EXPECT_EQ(a->partials[1].u.DevicePrivate.Data[1], 3u);
}

TEST_F(ArbitrationTest, PrefetchableTriesThePrefetchableWindowThenMemory)
{
    BusSpaces s = Spaces(0x1000, 0x1FFF, 0x80000000, 0x80FFFFFF);
    s.prefetch = AddressSpace(0x90000000, 0x900FFFFF);
    RequirementsBuilder b;
    b.Memory(0x100000, 0x100000, 0, 0xFFFFFFFF, CM_RESOURCE_MEMORY_PREFETCHABLE)
        .Memory(0x100000, 0x100000, 0, 0xFFFFFFFF, CM_RESOURCE_MEMORY_PREFETCHABLE)
        .Memory(0x1000, 0x1000, 0, 0xFFFFFFFF);
    auto a = One(b, s);
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(LONGLONG(a->partials[0].u.Memory.Start.QuadPart), 0x90000000) << "first one in the prefetchable window";
    EXPECT_EQ(LONGLONG(a->partials[1].u.Memory.Start.QuadPart), 0x80000000) << "second one falls back to memory";
    EXPECT_EQ(LONGLONG(a->partials[2].u.Memory.Start.QuadPart), 0x80100000) << "plain memory never uses prefetchable";
    EXPECT_EQ(a->partials[0].Flags, CM_RESOURCE_MEMORY_PREFETCHABLE);
}

TEST_F(ArbitrationTest, ZeroLengthAndInterrupt)
{
    BusSpaces s = Spaces(0x1000, 0x1FFF, 0x80000000, 0x80FFFFFF);
    RequirementsBuilder b;
    b.Port(0, 0x1000, 0, 0xFFFF).DevicePrivate(1, 2, 0).Interrupt(10, 11);
    auto a = One(b, s);
    ASSERT_TRUE(a.has_value());
    ASSERT_EQ(a->partials.size(), 3u);
    EXPECT_EQ(a->partials[0].u.Port.Length, 0u);
    EXPECT_EQ(LONGLONG(a->partials[0].u.Port.Start.QuadPart), 0);
    EXPECT_EQ(a->partials[2].Type, CmResourceTypeInterrupt);
    EXPECT_EQ(a->partials[2].u.Interrupt.Vector, 10u);
    EXPECT_EQ(s.io.UsedCount(), 0u) << "a zero length takes nothing";
}

TEST_F(ArbitrationTest, SecondAlternativeListWhenTheFirstFails)
{
    BusSpaces s = Spaces(0x1000, 0x10FF, 0x80000000, 0x8FFFFFFF);
    RequirementsBuilder first, second;
    first.Port(0x1000, 0x1000, 0, 0xFFFF).Memory(0x1000, 0x1000, 0, 0xFFFFFFFF);
    second.Port(0x100, 0x100, 0, 0xFFFF).Memory(0x1000, 0x1000, 0, 0xFFFFFFFF);
    PIO_RESOURCE_REQUIREMENTS_LIST list =
        sim::BuildRequirementsList({first.Descriptors(), second.Descriptors()}, PCIBus, 0, 0);
    ASSERT_NE(list, nullptr);
    auto a = sim::Arbitrate(list, s);
    ExFreePool(list);
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(a->alternativeList, 1);
    EXPECT_EQ(LONGLONG(a->partials[0].u.Port.Start.QuadPart), 0x1000);
    EXPECT_EQ(LONGLONG(a->partials[1].u.Memory.Start.QuadPart), 0x80000000) << "the failed first list's memory was given back";
}

TEST_F(ArbitrationTest, NothingFitsNothingStaysTakenAndReleaseGivesEverythingBack)
{
    BusSpaces s = Spaces(0x1000, 0x1FFF, 0x80000000, 0x803FFFFF);
    RequirementsBuilder b;
    b.Port(0x100, 0x100, 0, 0xFFFF).Memory(0x100000, 0x100000, 0, 0xFFFFFFFF);
    RequirementsBuilder tooBig = b;
    tooBig.Memory(0x800000, 0x100000, 0, 0xFFFFFFFF);
    EXPECT_FALSE(One(tooBig, s).has_value());
    EXPECT_EQ(s.io.UsedCount() + s.memory.UsedCount(), 0u);
    auto a = One(b, s);
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(s.io.UsedCount() + s.memory.UsedCount(), 2u);
    sim::ReleaseAssignment(*a);
    EXPECT_EQ(s.io.UsedCount() + s.memory.UsedCount(), 0u);
}

TEST_F(ArbitrationTest, RequirementsAndCmListsRoundTrip)
{
    RequirementsBuilder first, second;
    first.Port(0x20, 0x20, 0, 0xFFFF).DevicePrivate(0, 0, 0);
    second.Memory(0x1000, 0x1000, 0, 0xFFFFFFFF).DevicePrivate(0, 1, 0).Interrupt(5, 5);
    PIO_RESOURCE_REQUIREMENTS_LIST list =
        sim::BuildRequirementsList({first.Descriptors(), second.Descriptors()}, PCIBus, 3, 0x21);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->ListSize, offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List) +
                                  2 * offsetof(IO_RESOURCE_LIST, Descriptors) + 5 * sizeof(IO_RESOURCE_DESCRIPTOR));
    EXPECT_EQ(list->AlternativeLists, 2u);
    EXPECT_EQ(list->BusNumber, 3u);
    EXPECT_EQ(list->SlotNumber, 0x21u);
    auto back = sim::AlternativeLists(list);
    ExFreePool(list);
    ASSERT_EQ(back.size(), 2u);
    ASSERT_EQ(back[1].size(), 3u);
    EXPECT_EQ(back[1][1].u.DevicePrivate.Data[1], 1u);
    EXPECT_EQ(back[1][2].u.Interrupt.MinimumVector, 5u);

    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> in = {sim::CmPort(0x1000, 0x100), sim::CmDevicePrivate(0, 0, 0),
                                                      sim::CmMemory(0x80000000, 0x1000), sim::CmInterrupt(11)};
    PCM_RESOURCE_LIST cm = sim::BuildCmList(in, PCIBus, 2);
    ASSERT_NE(cm, nullptr);
    EXPECT_EQ(cm->Count, 1u);
    EXPECT_EQ(cm->List[0].BusNumber, 2u);
    auto out = sim::Partials(cm);
    ExFreePool(cm);
    ASSERT_EQ(out.size(), in.size());
    for (size_t i = 0; i < in.size(); i++)
        EXPECT_EQ(memcmp(&in[i], &out[i], sizeof in[i]), 0) << "descriptor " << i;
}

} // namespace
