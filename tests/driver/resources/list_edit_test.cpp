// The requirements-list editors: walking alternative lists, the private
// copy, dropping a bridge's I/O window and freeing memory ranges of their
// placement limits.
#include <gtest/gtest.h>

#include "resource_fixture.h"

using namespace restest;

namespace {

using ListEditTest = MachineTest;

TEST_F(ListEditTest, NextResourceListStartsRightAfterTheLastDescriptor)
{
    PoolList list(NewList({{Mem(0x1000, 0x1000), Private(1, 3, 0), Port(0x100, 0x100)}, {Mem(0x2000, 0x1000)}}));
    PIO_RESOURCE_LIST first = list->List;
    PIO_RESOURCE_LIST second = NextResourceList(first);
    EXPECT_EQ((char *)second, (char *)&first->Descriptors[3]);
    EXPECT_EQ(second->Descriptors[0].u.Memory.Length, 0x2000u);
    EXPECT_EQ((char *)NextResourceList(second), (char *)list.get() + list->ListSize) << "the end of the list";
}

TEST_F(ListEditTest, DuplicateCopiesTheWholeListAndKeepsTheOld)
{
    Alternatives alts = {{Mem(0x1000, 0x1000), Private(0, 0, 0), Port(0x20, 0x20)},
                         {Mem(0x4000, 0x4000, 0xE0000000, 0xEFFFFFFF, kAlternative), Private(0, 1, 0)}};
    PoolList old(NewList(alts));
    size_t blocksBefore = standin::OutstandingCount(TOLMU_POOL_TAG);

    PoolList copy(dupResourceRequirementsList(old.get()));
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, old);
    EXPECT_EQ(standin::OutstandingCount(TOLMU_POOL_TAG), blocksBefore + 1) << "one new block, the old one kept";
    ASSERT_EQ(copy->ListSize, old->ListSize);
    EXPECT_EQ(std::memcmp(copy.get(), old.get(), old->ListSize), 0) << "byte for byte";
    EXPECT_EQ(Read(copy.get()), alts);
    EXPECT_EQ(Read(old.get()), alts) << "the old list is untouched";
}

// Without a list, or without pool: the editors say so and leave the list
// they were given alone.
TEST_F(ListEditTest, MissingListsAndFailedAllocationsAreReported)
{
    Alternative descs = {Mem(0x1000, 0x1000), Private(1, 3, 0), Port(0x100, 0x100), Private(1, 2, 0)};
    PoolList old(NewList({descs}));
    EXPECT_EQ(dupResourceRequirementsList(nullptr), nullptr);
    EXPECT_EQ(filterOutIo(nullptr), nullptr);
    adjustMinMax(nullptr);
    EXPECT_EQ(TraceLines(), (Lines{"ERROR dupResourceRequirementsList: pOld is NULL", "ERROR filterOutIo: pOld is NULL",
                                   "WARNING adjustMinMax pReq == NULL"}));

    standin::FailNthAllocation(1);
    EXPECT_EQ(dupResourceRequirementsList(old.get()), nullptr);
    standin::FailNthAllocation(1);
    EXPECT_EQ(filterOutIo(old.get()), old.get()) << "the same list comes back";
    EXPECT_TRUE(IsOutstanding(old.get())) << "and it is not freed";
    EXPECT_EQ(Read(old.get())[0], descs);
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "ERROR PMalloc(size"), 2u) << "the allocator reports each failure";
    EXPECT_EQ(CountContaining(lines, "ERROR filterOutIo: PMalloc failed, list left unchanged"), 1u);
}

// ----------------------------------------------------------------- filterOutIo

TEST_F(ListEditTest, FilterOutIoDropsThePortWindowAndItsTagAndReportsFromVerboseSix)
{
    SetVerbose(6);
    Alternative bridge = {Mem(0x100000, 0x100000), Private(1, 3, 0), Port(0x1000, 0x1000), Private(1, 2, 0),
                          Mem(0x200000, 0x100000, 0, 0xFFFFFFFF, kPreferred, CM_RESOURCE_MEMORY_PREFETCHABLE),
                          Private(1, 4, 0)};
    PIO_RESOURCE_REQUIREMENTS_LIST old = NewList({bridge});
    ULONG oldSize = old->ListSize;
    size_t blocksBefore = standin::OutstandingCount(TOLMU_POOL_TAG);

    PoolList result(filterOutIo(old));
    ASSERT_NE(result, nullptr);
    ASSERT_NE(result.get(), old);
    EXPECT_FALSE(IsOutstanding(old)) << "the old list is freed";
    EXPECT_EQ(standin::OutstandingCount(TOLMU_POOL_TAG), blocksBefore);
    EXPECT_EQ(result->ListSize, oldSize) << "ListSize keeps the old size";
    EXPECT_EQ(result->SlotNumber, 3u);
    EXPECT_EQ(Read(result.get()), (Alternatives{{bridge[0], bridge[1], bridge[4], bridge[5]}}));
    EXPECT_EQ(TraceLines(), (Lines{"NOTE filterOutIo: entered", "filterOutIo: Copying desc 0 to 0",
                                   "filterOutIo: Copying desc 1 to 1", "filterOutIo: skipping desc 2 & 3",
                                   "filterOutIo: nList->Count is now 4", "filterOutIo: Copying desc 4 to 2",
                                   "filterOutIo: Copying desc 5 to 3"}));

    SetVerbose(5);
    PoolList quiet(filterOutIo(NewList({bridge})));
    ASSERT_NE(quiet, nullptr);
    EXPECT_EQ(quiet->List[0].Count, 4u);
    EXPECT_EQ(TraceLines().size(), 7u) << "nothing more below verbose 6";
}

struct FilterOutIoCase {
    const char *name;
    Alternatives input, expected;
    Lines lines; // each once, at verbose 6
};

class FilterOutIoTest : public ListEditTest, public ::testing::WithParamInterface<FilterOutIoCase> {};

TEST_P(FilterOutIoTest, EveryPortWindowOfEveryListIsDroppedAndTheRestCopied)
{
    const FilterOutIoCase &c = GetParam();
    SetVerbose(6);
    PIO_RESOURCE_REQUIREMENTS_LIST old = NewList(c.input);
    std::vector<uint8_t> header((uint8_t *)old, (uint8_t *)old->List);

    PoolList result(filterOutIo(old));

    ASSERT_NE(result, nullptr);
    EXPECT_FALSE(IsOutstanding(old)) << "the old list is freed";
    EXPECT_EQ(std::memcmp(result.get(), header.data(), header.size()), 0) << "the header is copied";
    EXPECT_EQ(Read(result.get()), c.expected);
    for (const auto &line : c.lines)
        EXPECT_EQ(CountContaining(TraceLines(), line), 1u) << line;
}

const IO_RESOURCE_DESCRIPTOR kMem1 = Mem(0x1000, 0x1000), kMem2 = Mem(0x2000, 0x1000, 0xE0000000, 0xEFFFFFFF);
const IO_RESOURCE_DESCRIPTOR kPort2 = Port(0x100, 0x100, 0x2000, 0x2FFF, kAlternative), kIrq = Irq(5, 11);

INSTANTIATE_TEST_SUITE_P(
    Lists, FilterOutIoTest,
    ::testing::Values(
        FilterOutIoCase{"WithoutPortsAnIdenticalCopy",
                        {{kMem1, Private(1, 3, 0), kIrq}, {kMem2, Private(1, 3, 0)}},
                        {{kMem1, Private(1, 3, 0), kIrq}, {kMem2, Private(1, 3, 0)}},
                        {}},
        FilterOutIoCase{"TwoPortWindowsLowerTheCountByFour",
                        {{kPortWin, Private(1, 2, 0), kMem1, Private(1, 1, 0), kPort2, Private(1, 3, 0)}},
                        {{kMem1, Private(1, 1, 0)}},
                        {"filterOutIo: skipping desc 0 & 1", "filterOutIo: skipping desc 4 & 5",
                         "filterOutIo: nList->Count is now 4", "filterOutIo: nList->Count is now 2"}},
        // The next list follows the last kept descriptor.
        FilterOutIoCase{"ClosingPortDescriptorIsDroppedAlone",
                        {{kMem1, Private(1, 3, 0), kPortWin}, {kMem2, Private(1, 3, 0)}},
                        {{kMem1, Private(1, 3, 0)}, {kMem2, Private(1, 3, 0)}},
                        {"filterOutIo: skipping desc 2", "filterOutIo: nList->Count is now 2"}},
        FilterOutIoCase{"EveryAlternativeListIsEdited",
                        {{kPortWin, Private(1, 2, 0), kMem1, Private(1, 3, 0)},
                         {kMem2, Private(1, 3, 0), kPort2, Private(1, 2, 0), kIrq}},
                        {{kMem1, Private(1, 3, 0)}, {kMem2, Private(1, 3, 0), kIrq}},
                        {}}),
    [](const ::testing::TestParamInfo<FilterOutIoCase> &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- adjustMinMax

// Memory ranges in every list become the whole 32-bit space, with a warning
// for each limit lifted; high halves, ports and interrupts are left alone.
TEST_F(ListEditTest, AdjustMinMaxFreesMemoryRangesOfTheirLimits)
{
    const ULONG limits[][2] = {{0xD0000000, 0xDFFFFFFF}, {0, 0xFFFFFFFF}, {0x100000, 0xFFFFFFFF}, {0, 0xFEBFFFFF}};
    Alternative first, expected;
    for (const auto &l : limits) {
        IO_RESOURCE_DESCRIPTOR mem = Mem(0x4000, 0x4000, l[0], l[1], kPreferred, CM_RESOURCE_MEMORY_PREFETCHABLE);
        first.insert(first.end(), {mem, Private(0, 0, 0)});
        mem.u.Memory.MinimumAddress.QuadPart = 0;
        mem.u.Memory.MaximumAddress.QuadPart = 0xFFFFFFFF;
        expected.insert(expected.end(), {mem, Private(0, 0, 0)});
    }
    IO_RESOURCE_DESCRIPTOR high = Mem(0x1000, 0x1000, 0xC0000000, 0xC0FFFFFF);
    high.u.Memory.MinimumAddress.HighPart = 1;
    high.u.Memory.MaximumAddress.HighPart = 2;
    first.insert(first.end(), {Port(0x100, 0x100, 0x1000, 0x1FFF), high, Irq(3, 15)});
    high.u.Memory.MinimumAddress.LowPart = 0;
    high.u.Memory.MaximumAddress.LowPart = 0xFFFFFFFF;
    expected.insert(expected.end(), {first[8], high, first[10]});
    Alternative second = {Mem(0x2000, 0x1000, 0xA0000, 0xBFFFF), Port(0x8, 0x8, 0x3F8, 0x3FF)};
    PoolList list(NewList({first, second}));

    adjustMinMax(list.get());

    IO_RESOURCE_DESCRIPTOR freed = second[0];
    freed.u.Memory.MinimumAddress.QuadPart = 0;
    freed.u.Memory.MaximumAddress.QuadPart = 0xFFFFFFFF;
    EXPECT_EQ(Read(list.get()), (Alternatives{expected, {freed, second[1]}}));
    EXPECT_EQ(TraceLines(),
              (Lines{"WARNING adjustMinMax: Min != 0x0 d0000000", "WARNING adjustMinMax Max != 0xFFFFFFFF dfffffff",
                     "WARNING adjustMinMax: Min != 0x0 100000", "WARNING adjustMinMax Max != 0xFFFFFFFF febfffff",
                     "WARNING adjustMinMax: Min != 0x0 c0000000", "WARNING adjustMinMax Max != 0xFFFFFFFF c0ffffff",
                     "WARNING adjustMinMax: Min != 0x0 a0000", "WARNING adjustMinMax Max != 0xFFFFFFFF bffff"}));
}

} // namespace
