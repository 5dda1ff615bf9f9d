// The requirements-list editors: copy, dropping I/O windows, freeing memory ranges of their limits.
#include "resource_fixture.h"

using namespace restest;

namespace {

using ListEditTest = MachineTest;

const IO_RESOURCE_DESCRIPTOR kMem1 = Mem(0x1000, 0x1000), kMem2 = Mem(0x2000, 0x1000, 0xE0000000, 0xEFFFFFFF);
const IO_RESOURCE_DESCRIPTOR kPort2 = Port(0x100, 0x100, 0x2000, 0x2FFF, kAlternative), kIrq = Irq(5, 11);

// The copy is byte for byte and keeps the old. Behind the last descriptor lies what a walk past
// Count would take: the copy would break its block's fence, filterOutIo would drop the port,
// adjustMinMax would free the memory range.
TEST_F(ListEditTest, DuplicateCopiesTheWholeListAndWalksStopAtCount)
{
    const IO_RESOURCE_DESCRIPTOR trap = Mem(0x1000, 0x1000, 0xA0000, 0xBFFFF);
    const Alternatives alts = {{kPortWin, kTag2}, {Mem(0x4000, 0x4000, 0xE0000000, 0xEFFFFFFF, kAlternative), kMem1}};
    PoolList list(NewList(alts, {trap, kPortWin}));
    auto beyond = [&list] { return reinterpret_cast<PIO_RESOURCE_DESCRIPTOR>((char *)list.get() + list->ListSize); };
    PoolList copy(dupResourceRequirementsList(list.get()));
    ASSERT_TRUE(copy != nullptr && copy != list && copy->ListSize == list->ListSize);
    EXPECT_EQ(std::memcmp(copy.get(), list.get(), list->ListSize), 0) << "byte for byte";
    EXPECT_EQ(Read(list.get()), alts) << "the old list is untouched";
    adjustMinMax(list.get());
    EXPECT_EQ(beyond()[0], trap);
    EXPECT_EQ(CountContaining(TraceLines(), "d0000000"), 1u) << "only kMem1's limits are lifted";
    PoolList edited(filterOutIo(NewList({{kMem1}}, {kPortWin})));
    EXPECT_EQ(Read(edited.get()), (Alternatives{{kMem1}}));
}

// Without a list, or without pool: the editors say so and leave the list alone.
TEST_F(ListEditTest, MissingListsAndFailedAllocationsAreReported)
{
    Alternative descs = {kMemWin, kTag3, kPortWin, kTag2};
    PoolList old(NewList({descs}));
    EXPECT_EQ(dupResourceRequirementsList(nullptr), nullptr);
    EXPECT_EQ(filterOutIo(nullptr), nullptr);
    adjustMinMax(nullptr);
    EXPECT_EQ(TraceLines(), (Lines{"ERROR dupResourceRequirementsList: pOld is NULL", "ERROR filterOutIo: pOld is NULL",
                                   "WARNING adjustMinMax pReq == NULL"}));

    standin::FailNthAllocation(1);
    EXPECT_EQ(dupResourceRequirementsList(old.get()), nullptr);
    standin::FailNthAllocation(1);
    EXPECT_EQ(filterOutIo(old.get()), old.get()) << "the same list comes back, not freed";
    EXPECT_EQ(Read(old.get())[0], descs);
    EXPECT_EQ(CountContaining(TraceLines(), "ERROR filterOutIo: PMalloc failed, list left unchanged"), 1u);
}

// Every port window of every list goes with the descriptor behind it (a port closing a list
// alone); header and ListSize are kept, the old list freed, each step reported from verbose 6.
TEST_F(ListEditTest, FilterOutIoDropsEveryPortWindowAndItsTag)
{
    const struct {
        Alternatives input, expected;
        Lines lines; // each once, at verbose 6
    } rows[] = {
        {{{kMem1, kTag3, kIrq}, {kMem2, kTag3}},
         {{kMem1, kTag3, kIrq}, {kMem2, kTag3}},
         {"NOTE filterOutIo: entered", "filterOutIo: Copying desc 2 to 2"}},
        {{{kPortWin, kTag2, kMem1, kTag1, kPort2, kTag3}},
         {{kMem1, kTag1}},
         {"filterOutIo: skipping desc 0 & 1", "filterOutIo: skipping desc 4 & 5", "filterOutIo: nList->Count is now 4",
          "filterOutIo: nList->Count is now 2", "filterOutIo: Copying desc 2 to 0"}},
        {{{kMem1, kTag3, kPortWin}, {kMem2, kTag3}},
         {{kMem1, kTag3}, {kMem2, kTag3}},
         {"filterOutIo: skipping desc 2", "filterOutIo: nList->Count is now 2"}},
        {{{kPortWin, kTag2, kMem1, kTag3}, {kMem2, kTag3, kPort2, kTag2, kIrq}},
         {{kMem1, kTag3}, {kMem2, kTag3, kIrq}},
         {}}};
    for (LONG verbose : {5, 6})
        for (const auto &r : rows) {
            SetVerbose(verbose);
            size_t before = TraceLines().size();
            PIO_RESOURCE_REQUIREMENTS_LIST old = NewList(r.input);
            std::vector<uint8_t> header((uint8_t *)old, (uint8_t *)old->List);
            PoolList result(filterOutIo(old));
            ASSERT_NE(result, nullptr);
            EXPECT_FALSE(IsOutstanding(old)) << "the old list is freed";
            EXPECT_EQ(std::memcmp(result.get(), header.data(), header.size()), 0) << "header and ListSize kept";
            EXPECT_EQ(Read(result.get()), r.expected);
            Lines lines = TraceLines(), fresh(lines.begin() + before, lines.end());
            if (verbose == 5)
                EXPECT_TRUE(fresh.empty()) << "nothing below verbose 6";
            else
                for (const auto &line : r.lines)
                    EXPECT_EQ(CountContaining(fresh, line), 1u) << line;
        }
}

// Memory ranges in every list become the whole 32-bit space, a warning for each limit lifted;
// high halves, ports and interrupts are left alone.
TEST_F(ListEditTest, AdjustMinMaxFreesMemoryRangesOfTheirLimits)
{
    IO_RESOURCE_DESCRIPTOR high = Mem(0x1000, 0x1000, 0xC0000000, 0xC0FFFFFF);
    high.u.Memory.MinimumAddress.HighPart = 1;
    high.u.Memory.MaximumAddress.HighPart = 2;
    const IO_RESOURCE_DESCRIPTOR whole = Mem(0x4000, 0x4000, 0, 0xFFFFFFFF), low = Mem(0x4000, 0x4000, 0x100000, 0xFFFFFFFF);
    const IO_RESOURCE_DESCRIPTOR top = Mem(0x4000, 0x4000, 0, 0xFEBFFFFF), port = Port(0x8, 0x8, 0x3F8, 0x3FF);
    PoolList list(NewList({{whole, low, port, high, kIrq}, {top, port}}));
    adjustMinMax(list.get());
    EXPECT_EQ(Read(list.get()), (Alternatives{{whole, Freed(low), port, Freed(high), kIrq}, {Freed(top), port}}));
    EXPECT_EQ(TraceLines(),
              (Lines{"WARNING adjustMinMax: Min != 0x0 100000", "WARNING adjustMinMax: Min != 0x0 c0000000",
                     "WARNING adjustMinMax Max != 0xFFFFFFFF c0ffffff", "WARNING adjustMinMax Max != 0xFFFFFFFF febfffff"}));
}

} // namespace
