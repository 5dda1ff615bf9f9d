// FilterResources on a simulated adapter's bridges: which windows the private tags select, what
// they become, and the lines saying so. Bridges not marked for enumeration need the configured sizes.
#include <gtest/gtest.h>

#include "resource_fixture.h"

using namespace restest;

namespace {

Lines NoteLines()
{
    Lines out;
    for (const auto &l : TraceLines())
        if (l.rfind("[NOTE] checking Desc #", 0) == 0)
            out.push_back(l);
    return out;
}

const char *const kRule = "-------------------------------------------------";
constexpr USHORT kPos = CM_RESOURCE_PORT_POSITIVE_DECODE, kPortIo = CM_RESOURCE_PORT_IO;
constexpr USHORT kPrefetch = CM_RESOURCE_MEMORY_PREFETCHABLE;

struct WindowCase {
    const char *name;
    ULONG bridgeType;
    Alternative input, expected;
    Lines notes;               // one rule line before each
    size_t rewritten;          // "orig len" lines
    const char *bad = nullptr; // after "ERROR FilterBridgeResList trying to filter desc 1"
};

class FilterWindowTest : public MachineTest, public ::testing::WithParamInterface<WindowCase> {};

TEST_P(FilterWindowTest, TaggedWindowsAreRewritten)
{
    const WindowCase &c = GetParam();
    Build();
    PoolList list(NewList({c.input}));
    EXPECT_EQ(FilterResources(c.bridgeType == BRIDGE_TYPE_P2P ? p2pDev_ : cbDev_, list.get()), kIo);
    EXPECT_EQ(Read(list.get())[0], c.expected);
    Lines lines = TraceLines();
    EXPECT_EQ(NoteLines(), c.notes);
    EXPECT_EQ(CountContaining(lines, kRule), c.notes.size());
    EXPECT_EQ(CountContaining(lines, "[NOTE] orig len"), c.rewritten);
    long error = FindLine(lines, "ERROR FilterBridgeResList trying to filter desc 1");
    EXPECT_EQ(error >= 0 ? lines[error + 1] : "", c.bad ? c.bad : "");
}

const IO_RESOURCE_DESCRIPTOR kMemAlt1 = Mem(0x80000, 0x80000, 0xE0000000, 0xE7FFFFFF, kAlternative);
const IO_RESOURCE_DESCRIPTOR kMemAlt2 = Mem(0x40000, 0x40000, 0xE8000000, 0xEFFFFFFF, kAlternative);
const IO_RESOURCE_DESCRIPTOR kMemNew = Rewritten(kMemWin, kMem, kMem, 0);
const IO_RESOURCE_DESCRIPTOR kPortNew = Rewritten(kPortWin, kIo, 0x1000, kPortIo | kPos);

std::vector<WindowCase> WindowCases()
{
    auto note = [](const char *range, int filter) {
        return "[NOTE] checking Desc #" + std::string(range) + " Applying filter " + std::to_string(filter);
    };
    const ULONG p2p = BRIDGE_TYPE_P2P, cb = BRIDGE_TYPE_CARDBUS;
    return {
        {"P2pMemoryWindow", p2p, {kMemWin, Private(1, 3, 0)}, {kMemNew, Private(1, 3, 0)}, {note("0", 1)}, 1},
        {"P2pPortWindowGetsPositiveDecode", p2p, {kPortWin, Private(1, 2, 0)}, {kPortNew, Private(1, 2, 0)},
         {note("0", 0)}, 1},
        {"P2pPrefetchableWindow", p2p, {kPreWin, Private(1, 4, 0)},
         {Rewritten(kPreWin, kPre, kPre, kPrefetch), Private(1, 4, 0)}, {note("0", 2)}, 1},
        {"CardBusMemoryWindow", cb, {kMemWin, Private(1, 1, 0)}, {kMemNew, Private(1, 1, 0)}, {note("0", 0)}, 1},
        {"CardBusSecondMemoryWindowBecomesPrefetchable", cb, {kMemWin, Private(1, 2, 0)},
         {Rewritten(kMemWin, kPre, kPre, kPrefetch), Private(1, 2, 0)}, {note("0", 1)}, 1},
        {"CardBusPortWindow", cb, {kPortWin, Private(1, 3, 0)}, {kPortNew, Private(1, 3, 0)}, {note("0", 2)}, 1},
        // The action follows the tag, the maximum follows the descriptor.
        {"MemoryTagOnAPortDescriptor", p2p, {kPortWin, Private(1, 3, 0)},
         {Rewritten(kPortWin, kMem, kMem, kPortIo), Private(1, 3, 0)}, {note("0", 1)}, 1},
        {"IoTagOnAMemoryDescriptor", cb, {kMemWin, Private(1, 3, 0)},
         {Rewritten(kMemWin, kIo, 0x1000, kPos), Private(1, 3, 0)}, {note("0", 2)}, 1},
        // (1, 1, 0) names a window only on a CardBus bridge.
        {"UnknownKeyLeavesTheWindowAlone", p2p, {kMemWin, Private(1, 1, 0)}, {kMemWin, Private(1, 1, 0)}, {}, 0},
        // The tag covers the descriptors from the previous tag up to it.
        {"PreferredAndTwoAlternativesAreOneRange", p2p,
         {kPortWin, Private(1, 2, 0), kMemWin, kMemAlt1, kMemAlt2, Private(1, 3, 0)},
         {kPortNew, Private(1, 2, 0), kMemNew, Rewritten(kMemAlt1, kMem, kMem, 0), Rewritten(kMemAlt2, kMem, kMem, 0),
          Private(1, 3, 0)},
         {note("0", 0), note("2-4", 1)}, 4},
        {"TagAtIndexZeroRewritesNothing", p2p, {Private(1, 3, 0), kMemWin}, {Private(1, 3, 0), kMemWin},
         {note("0--1", 1)}, 0},
        // A second tag in a row names the first as its range; the window is rewritten again.
        {"SecondTagInARow", p2p, {kMemWin, Private(1, 3, 0), Private(1, 3, 0)},
         {kMemNew, Private(1, 3, 0), Private(1, 3, 0)}, {note("0", 1), note("0-1", 1)}, 2, "BAD TYPE 0x81... skipping"},
        // An interrupt between the window and its tag starts the range.
        {"InterruptInFrontOfTheTag", p2p, {kMemWin, Irq(5, 11), Private(1, 3, 0)},
         {kMemWin, Irq(5, 11), Private(1, 3, 0)}, {note("1", 1)}, 0, "BAD TYPE 0x2... skipping"},
    };
}

INSTANTIATE_TEST_SUITE_P(Rows, FilterWindowTest, ::testing::ValuesIn(WindowCases()),
                         [](const ::testing::TestParamInfo<WindowCase> &info) { return info.param.name; });

// The needs are printed first, then each rewrite; the propagation of the bus behind a bridge that
// is not enumerated is reported from verbose 9.
TEST_F(MachineTest, NeedsArePrintedFirstAndEachRewriteReported)
{
    Build();
    SetVerbose(8);
    EXPECT_EQ(FilterResources(cbDev_, nullptr), 0u);
    auto lines = TraceLines();
    long need = FindLine(lines, "[Need  Mem 0x00400000 Pre 0x02000000 Io 0x2000]");
    ASSERT_GE(need, 0);
    EXPECT_EQ(lines[need + 1], "[Align Mem 0x00400000 Pre 0x02000000]");
    EXPECT_GT(FindLine(lines, "WARNING: FilterResources has NULL rList"), need);
    EXPECT_EQ(CountContaining(lines, "propigateBusNo: propigating"), 0u);

    SetVerbose(9);
    PoolList list(NewList({{kMemWin, Private(1, 3, 0)}}));
    FilterResources(p2pDev_, list.get());
    lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "propigateBusNo: propigating 0x2 from 1:0:0"), 1u);
    long note = FindLine(lines, "[NOTE] checking Desc #0 Applying filter 1");
    ASSERT_GE(note, 1);
    ASSERT_LT(note + 2, (long)lines.size());
    EXPECT_EQ(Lines(lines.begin() + note - 1, lines.begin() + note + 3),
              (Lines{kRule, lines[note], "[NOTE] orig len   0x00100000 new len   0x00400000",
                     "[NOTE] orig align 0x00100000 new align 0x00400000"}));
}

// Only the first alternative list is rewritten; the walk stops at its Count (a tag right behind
// the last descriptor of a list, inside the pool block, rewrites nothing).
TEST_F(MachineTest, OnlyTheFirstAlternativeListUpToItsCountIsRewritten)
{
    Build();
    Alternative second = {Mem(0x200000, 0x100000, 0xC0000000, 0xCFFFFFFF, kAlternative), Private(1, 3, 0)};
    PoolList list(NewList({{kMemWin, Private(1, 3, 0)}, second}));
    FilterResources(p2pDev_, list.get());
    EXPECT_EQ(Read(list.get()), (Alternatives{{kMemNew, Private(1, 3, 0)}, second}));
    EXPECT_EQ(NoteLines().size(), 1u);
    PoolList past(NewList({{kMemWin}}, {Private(1, 3, 0)}));
    FilterResources(p2pDev_, past.get());
    EXPECT_EQ(Read(past.get())[0], Alternative{kMemWin});
    EXPECT_EQ(NoteLines().size(), 1u) << "nothing read past Count";
}

TEST_F(MachineTest, EnumeratedBridgeWithNothingBehindGetsTheSmallestWindows)
{
    Build();
    sim::PciFunction *bridge = machine_.AddFunction(machine_.SecondarySegment(cb_), 4, 0, sim::models::DEC21154());
    machine_.SetBusNumbers(bridge, 1, 4, 4);
    PDEVICE_OBJECT lone = AttachFilter(bridge, BRIDGE_TYPE_P2P, P2P_BRIDGE | ENUMERATE);
    PoolList list(NewList({{kPortWin, Private(1, 2, 0), kMemWin, Private(1, 3, 0), kPreWin, Private(1, 4, 0)}}));
    EXPECT_EQ(FilterResources(lone, list.get()), 0u) << "nothing behind needs I/O";
    EXPECT_EQ(Read(list.get())[0], (Alternative{Rewritten(kPortWin, 0, 0x1000, kPortIo | kPos), Private(1, 2, 0),
                                                Rewritten(kMemWin, 0x100000, 0x100000, 0), Private(1, 3, 0),
                                                Rewritten(kPreWin, 0x100000, 0x100000, kPrefetch), Private(1, 4, 0)}));
    EXPECT_EQ(CountContaining(TraceLines(), "[Need  Mem 0x00100000 Pre 0x00100000 Io 0x000]"), 1u);
}

} // namespace
