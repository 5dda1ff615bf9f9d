// The requirements-list editors: walking alternative lists, the private
// copy, dropping a bridge's I/O window and freeing memory ranges of their
// placement limits.
#include <gtest/gtest.h>

#include "resource_fixture.h"

using namespace restest;
using testsupport::CountContaining;
using testsupport::TraceLines;

namespace {

class ListEditTest : public testsupport::DriverTest {
  protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        StartTrace();
    }
};

// ------------------------------------------------------------ NextResourceList

TEST_F(ListEditTest, NextResourceListStartsRightAfterTheLastDescriptor)
{
    PoolList list(NewList({{Mem(0x1000, 0x1000), Private(1, 3, 0), Port(0x100, 0x100)}, {Mem(0x2000, 0x1000)}}));
    PIO_RESOURCE_LIST first = list.get()->List;
    PIO_RESOURCE_LIST second = NextResourceList(first);
    EXPECT_EQ(reinterpret_cast<char *>(second), reinterpret_cast<char *>(&first->Descriptors[3]));
    EXPECT_EQ(second->Count, 1u);
    EXPECT_EQ(second->Descriptors[0].u.Memory.Length, 0x2000u);
    // The end of the last alternative list is the end of the list.
    EXPECT_EQ(reinterpret_cast<char *>(NextResourceList(second)),
              reinterpret_cast<char *>(list.get()) + list.get()->ListSize);
}

// ------------------------------------------------- dupResourceRequirementsList

TEST_F(ListEditTest, DuplicateCopiesEveryAlternativeListInItsPlace)
{
    Alternatives alts = {{Mem(0x1000, 0x1000), Private(0, 0, 0), Port(0x20, 0x20)},
                         {Mem(0x4000, 0x4000, 0xE0000000, 0xEFFFFFFF, kAlternative), Private(0, 1, 0)}};
    PoolList old(NewList(alts));
    size_t blocksBefore = standin::OutstandingCount(TOLMU_POOL_TAG);

    PoolList copy(dupResourceRequirementsList(old.get()));
    ASSERT_NE(copy.get(), nullptr);
    EXPECT_NE(copy.get(), old.get());
    EXPECT_EQ(standin::OutstandingCount(TOLMU_POOL_TAG), blocksBefore + 1) << "one new block, the old one kept";

    EXPECT_EQ(copy.get()->ListSize, old.get()->ListSize);
    EXPECT_EQ(copy.get()->InterfaceType, PCIBus);
    EXPECT_EQ(copy.get()->BusNumber, 1u);
    EXPECT_EQ(copy.get()->SlotNumber, 3u);
    EXPECT_EQ(copy.get()->AlternativeLists, 2u);
    EXPECT_EQ(std::memcmp(copy.get(), old.get(), old.get()->ListSize), 0) << "byte for byte";
    Alternatives got = Read(copy.get());
    ASSERT_EQ(got.size(), 2u);
    for (size_t i = 0; i < 2; i++)
        EXPECT_TRUE(Same(got[i], alts[i])) << "list " << i << ": " << Describe(got[i]);
    // The old list is untouched and still the caller's.
    EXPECT_TRUE(IsOutstanding(old.get()));
    EXPECT_TRUE(Same(Read(old.get())[1], alts[1]));
}

TEST_F(ListEditTest, DuplicateOfNoListSaysSoAndReturnsNull)
{
    EXPECT_EQ(dupResourceRequirementsList(nullptr), nullptr);
    EXPECT_EQ(CountContaining(TraceLines(), "ERROR dupResourceRequirementsList: pOld is NULL"), 1u);
}

TEST_F(ListEditTest, DuplicateReturnsNullWhenThePoolIsEmpty)
{
    PoolList old(NewList({{Mem(0x1000, 0x1000), Private(0, 0, 0)}}));
    standin::FailNthAllocation(1);
    EXPECT_EQ(dupResourceRequirementsList(old.get()), nullptr);
    EXPECT_EQ(CountContaining(TraceLines(), "ERROR PMalloc(size"), 1u) << "the allocator reports the failure";
    EXPECT_TRUE(IsOutstanding(old.get()));
}

// ----------------------------------------------------------------- filterOutIo

TEST_F(ListEditTest, FilterOutIoDropsThePortWindowAndItsTag)
{
    SetVerbose(6);
    Alternative bridge = {Mem(0x100000, 0x100000), Private(1, 3, 0), Port(0x1000, 0x1000),
                          Private(1, 2, 0),        Mem(0x200000, 0x100000, 0, 0xFFFFFFFF, kPreferred,
                                                CM_RESOURCE_MEMORY_PREFETCHABLE),
                          Private(1, 4, 0)};
    PIO_RESOURCE_REQUIREMENTS_LIST old = NewList({bridge});
    ULONG oldSize = old->ListSize;
    size_t blocksBefore = standin::OutstandingCount(TOLMU_POOL_TAG);

    PoolList result(filterOutIo(old));
    ASSERT_NE(result.get(), nullptr);
    ASSERT_NE(result.get(), old);
    EXPECT_FALSE(IsOutstanding(old)) << "the old list is freed";
    EXPECT_EQ(standin::OutstandingCount(TOLMU_POOL_TAG), blocksBefore);
    EXPECT_EQ(result.get()->ListSize, oldSize) << "ListSize keeps the old size";
    EXPECT_EQ(result.get()->AlternativeLists, 1u);
    EXPECT_EQ(result.get()->SlotNumber, 3u);

    Alternatives got = Read(result.get());
    Alternative expected = {bridge[0], bridge[1], bridge[4], bridge[5]};
    ASSERT_EQ(got[0].size(), 4u) << Describe(got[0]);
    EXPECT_TRUE(Same(got[0], expected)) << Describe(got[0]);

    auto lines = TraceLines();
    std::vector<std::string> expectedLines = {
        "NOTE filterOutIo: entered",         "filterOutIo: Copying desc 0 to 0",
        "filterOutIo: Copying desc 1 to 1",  "filterOutIo: skipping desc 2 & 3",
        "filterOutIo: nList->Count is now 4", "filterOutIo: Copying desc 4 to 2",
        "filterOutIo: Copying desc 5 to 3",
    };
    EXPECT_EQ(lines, expectedLines);
}

TEST_F(ListEditTest, FilterOutIoIsSilentBelowVerbositySix)
{
    SetVerbose(5);
    PoolList result(filterOutIo(NewList({{Mem(0x1000, 0x1000), Private(1, 3, 0), Port(0x100, 0x100),
                                          Private(1, 2, 0)}})));
    ASSERT_NE(result.get(), nullptr);
    EXPECT_EQ(result.get()->List[0].Count, 2u);
    EXPECT_EQ(TraceLines(), std::vector<std::string>{});
}

TEST_F(ListEditTest, FilterOutIoWithoutPortsGivesAnIdenticalCopyAndFreesTheOld)
{
    Alternatives alts = {{Mem(0x1000, 0x1000), Private(1, 3, 0), Irq(5, 11)}, {Mem(0x8000, 0x1000), Private(1, 3, 0)}};
    PIO_RESOURCE_REQUIREMENTS_LIST old = NewList(alts);
    std::vector<uint8_t> before(reinterpret_cast<uint8_t *>(old), reinterpret_cast<uint8_t *>(old) + old->ListSize);

    PoolList result(filterOutIo(old));
    ASSERT_NE(result.get(), nullptr);
    EXPECT_FALSE(IsOutstanding(old));
    ASSERT_EQ(result.get()->ListSize, before.size());
    EXPECT_EQ(std::memcmp(result.get(), before.data(), before.size()), 0) << "identical copy";
}

TEST_F(ListEditTest, FilterOutIoWithTwoPortWindowsLowersCountByFour)
{
    SetVerbose(6);
    Alternative descs = {Port(0x100, 0x100), Private(1, 2, 0), Mem(0x1000, 0x1000), Private(1, 1, 0),
                         Port(0x100, 0x100, 0x2000, 0x2FFF), Private(1, 3, 0)};
    PoolList result(filterOutIo(NewList({descs})));
    ASSERT_NE(result.get(), nullptr);
    Alternatives got = Read(result.get());
    EXPECT_EQ(got[0].size(), descs.size() - 4);
    EXPECT_TRUE(Same(got[0], Alternative{descs[2], descs[3]})) << Describe(got[0]);
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "filterOutIo: skipping desc 0 & 1"), 1u);
    EXPECT_EQ(CountContaining(lines, "filterOutIo: skipping desc 4 & 5"), 1u);
    EXPECT_EQ(CountContaining(lines, "filterOutIo: nList->Count is now 4"), 1u);
    EXPECT_EQ(CountContaining(lines, "filterOutIo: nList->Count is now 2"), 1u);
}

TEST_F(ListEditTest, FilterOutIoDropsAClosingPortDescriptorAlone)
{
    SetVerbose(6);
    Alternative first = {Mem(0x1000, 0x1000), Private(1, 3, 0), Port(0x100, 0x100)};
    Alternative second = {Mem(0x2000, 0x1000, 0xE0000000, 0xEFFFFFFF, kAlternative), Private(1, 3, 0)};
    PoolList result(filterOutIo(NewList({first, second})));
    ASSERT_NE(result.get(), nullptr);
    Alternatives got = Read(result.get());
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].size(), 2u) << "Count lowered by 1: " << Describe(got[0]);
    EXPECT_TRUE(Same(got[0], Alternative{first[0], first[1]})) << Describe(got[0]);
    EXPECT_TRUE(Same(got[1], second)) << "the next list follows the last kept descriptor: " << Describe(got[1]);
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "filterOutIo: skipping desc 2"), 1u);
    EXPECT_EQ(CountContaining(lines, "filterOutIo: nList->Count is now 2"), 1u);
}

TEST_F(ListEditTest, FilterOutIoEditsEveryAlternativeList)
{
    Alternative first = {Port(0x100, 0x100), Private(1, 2, 0), Mem(0x1000, 0x1000), Private(1, 3, 0)};
    Alternative second = {Mem(0x3000, 0x1000), Private(1, 3, 0), Port(0x80, 0x80, 0x3000, 0x3FFF, kAlternative),
                          Private(1, 2, 0), Irq(9, 9)};
    PoolList result(filterOutIo(NewList({first, second})));
    ASSERT_NE(result.get(), nullptr);
    Alternatives got = Read(result.get());
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(Same(got[0], Alternative{first[2], first[3]})) << Describe(got[0]);
    EXPECT_TRUE(Same(got[1], Alternative{second[0], second[1], second[4]})) << Describe(got[1]);
}

TEST_F(ListEditTest, FilterOutIoGivenNoListReturnsNullAndSaysSo)
{
    EXPECT_EQ(filterOutIo(nullptr), nullptr);
    EXPECT_EQ(CountContaining(TraceLines(), "ERROR filterOutIo: pOld is NULL"), 1u);
}

TEST_F(ListEditTest, FilterOutIoWithoutMemoryLeavesTheListUnchanged)
{
    Alternative descs = {Mem(0x1000, 0x1000), Private(1, 3, 0), Port(0x100, 0x100), Private(1, 2, 0)};
    PoolList old(NewList({descs}));
    standin::FailNthAllocation(1);
    EXPECT_EQ(filterOutIo(old.get()), old.get()) << "the same list comes back";
    EXPECT_TRUE(IsOutstanding(old.get())) << "and it is not freed";
    EXPECT_TRUE(Same(Read(old.get())[0], descs)) << Describe(Read(old.get())[0]);
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "ERROR PMalloc(size"), 1u);
    EXPECT_EQ(CountContaining(lines, "ERROR filterOutIo: PMalloc failed, list left unchanged"), 1u);
}

// ---------------------------------------------------------------- adjustMinMax

struct MinMaxCase {
    const char *name;
    ULONG min;
    ULONG max;
    bool minWarning;
    bool maxWarning;
};

void PrintTo(const MinMaxCase &c, std::ostream *os)
{
    *os << c.name;
}

class AdjustMinMaxTest : public ListEditTest, public ::testing::WithParamInterface<MinMaxCase> {};

TEST_P(AdjustMinMaxTest, MemoryRangeBecomesTheWhole32BitSpace)
{
    const MinMaxCase &c = GetParam();
    IO_RESOURCE_DESCRIPTOR mem = Mem(0x4000, 0x4000, c.min, c.max, kPreferred, CM_RESOURCE_MEMORY_PREFETCHABLE);
    mem.u.Memory.MinimumAddress.HighPart = 0;
    mem.u.Memory.MaximumAddress.HighPart = 0;
    PoolList list(NewList({{mem, Private(0, 0, 0)}}));

    adjustMinMax(list.get());

    IO_RESOURCE_DESCRIPTOR got = Read(list.get())[0][0];
    EXPECT_EQ(got.u.Memory.MinimumAddress.LowPart, 0u) << c.name;
    EXPECT_EQ(got.u.Memory.MaximumAddress.LowPart, 0xFFFFFFFFu) << c.name;
    EXPECT_EQ(got.u.Memory.Length, 0x4000u) << c.name;
    EXPECT_EQ(got.u.Memory.Alignment, 0x4000u) << c.name;
    EXPECT_EQ(got.Flags, CM_RESOURCE_MEMORY_PREFETCHABLE) << c.name;

    auto lines = TraceLines();
    char minLine[80], maxLine[80];
    std::snprintf(minLine, sizeof minLine, "WARNING adjustMinMax: Min != 0x0 %x", c.min);
    std::snprintf(maxLine, sizeof maxLine, "WARNING adjustMinMax Max != 0xFFFFFFFF %x", c.max);
    EXPECT_EQ(CountContaining(lines, minLine), c.minWarning ? 1u : 0u) << c.name;
    EXPECT_EQ(CountContaining(lines, maxLine), c.maxWarning ? 1u : 0u) << c.name;
    EXPECT_EQ(lines.size(), static_cast<size_t>(c.minWarning + c.maxWarning)) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Ranges, AdjustMinMaxTest,
                         ::testing::Values(MinMaxCase{"limited", 0xD0000000, 0xDFFFFFFF, true, true},
                                           MinMaxCase{"already free", 0, 0xFFFFFFFF, false, false},
                                           MinMaxCase{"low limit only", 0x100000, 0xFFFFFFFF, true, false},
                                           MinMaxCase{"high limit only", 0, 0xFEBFFFFF, false, true}),
                         [](const ::testing::TestParamInfo<MinMaxCase> &info) {
                             std::string name = info.param.name;
                             for (auto &ch : name)
                                 if (ch == ' ')
                                     ch = '_';
                             return name;
                         });

TEST_F(ListEditTest, AdjustMinMaxLeavesHighHalvesAndOtherTypesAlone)
{
    IO_RESOURCE_DESCRIPTOR mem = Mem(0x1000, 0x1000, 0xC0000000, 0xC0FFFFFF);
    mem.u.Memory.MinimumAddress.HighPart = 1;
    mem.u.Memory.MaximumAddress.HighPart = 2;
    Alternative first = {Port(0x100, 0x100, 0x1000, 0x1FFF), Private(0, 0, 0), mem, Private(0, 1, 0), Irq(3, 15)};
    Alternative second = {Mem(0x2000, 0x1000, 0xA0000, 0xBFFFF), Port(0x8, 0x8, 0x3F8, 0x3FF)};
    PoolList list(NewList({first, second}));

    adjustMinMax(list.get());

    Alternatives got = Read(list.get());
    EXPECT_TRUE(Same(got[0][0], first[0])) << "port keeps its limits: " << Describe(got[0][0]);
    EXPECT_TRUE(Same(got[0][4], first[4])) << Describe(got[0][4]);
    EXPECT_EQ(got[0][2].u.Memory.MinimumAddress.LowPart, 0u);
    EXPECT_EQ(got[0][2].u.Memory.MinimumAddress.HighPart, 1);
    EXPECT_EQ(got[0][2].u.Memory.MaximumAddress.LowPart, 0xFFFFFFFFu);
    EXPECT_EQ(got[0][2].u.Memory.MaximumAddress.HighPart, 2);
    EXPECT_EQ(got[1][0].u.Memory.MinimumAddress.LowPart, 0u) << "every alternative list";
    EXPECT_EQ(got[1][0].u.Memory.MaximumAddress.LowPart, 0xFFFFFFFFu);
    EXPECT_TRUE(Same(got[1][1], second[1])) << Describe(got[1][1]);
    EXPECT_EQ(CountContaining(TraceLines(), "WARNING adjustMinMax"), 4u);
}

TEST_F(ListEditTest, AdjustMinMaxOfNoListWarns)
{
    adjustMinMax(nullptr);
    EXPECT_EQ(TraceLines(), std::vector<std::string>{"WARNING adjustMinMax pReq == NULL"});
}

} // namespace
