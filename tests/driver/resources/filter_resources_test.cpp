// FilterResources on a simulated adapter's bridges: which windows the private tags select, what
// they become, and the lines saying so. Bridges not marked for enumeration need the configured sizes.
#include "resource_fixture.h"

using namespace restest;

namespace {

const char *const kRule = "-------------------------------------------------";
constexpr USHORT kPos = CM_RESOURCE_PORT_POSITIVE_DECODE, kPortIo = CM_RESOURCE_PORT_IO;
constexpr USHORT kPrefetch = CM_RESOURCE_MEMORY_PREFETCHABLE;

struct WindowCase {
    const char *name;
    ULONG bridgeType;
    Alternatives input, expected;
    Lines notes;               // "[NOTE] checking Desc #..." lines
    const char *bad = nullptr; // after "ERROR FilterBridgeResList trying to filter desc 1"
    Alternative beyond = {};   // behind the last list, outside Count
};

class FilterWindowTest : public MachineTest, public ::testing::WithParamInterface<WindowCase> {};

// Only the first alternative list is rewritten, up to its Count.
TEST_P(FilterWindowTest, TaggedWindowsAreRewritten)
{
    const WindowCase &c = GetParam();
    Build();
    PoolList list(NewList(c.input, c.beyond));
    EXPECT_EQ(FilterResources(c.bridgeType == BRIDGE_TYPE_P2P ? p2pDev_ : cbDev_, list.get()), kIo);
    EXPECT_EQ(Read(list.get()), c.expected);
    Lines lines = TraceLines(), notes;
    for (const auto &l : lines)
        if (l.rfind("[NOTE] checking Desc #", 0) == 0)
            notes.push_back(l);
    EXPECT_EQ(notes, c.notes);
    long error = FindLine(lines, "ERROR FilterBridgeResList trying to filter desc 1");
    EXPECT_EQ(error >= 0 ? lines[error + 1] : "", c.bad ? c.bad : "");
}

const IO_RESOURCE_DESCRIPTOR kMemAlt1 = Mem(0x80000, 0x80000, 0xE0000000, 0xE7FFFFFF, kAlternative);
const IO_RESOURCE_DESCRIPTOR kMemAlt2 = Mem(0x40000, 0x40000, 0xE8000000, 0xEFFFFFFF, kAlternative);
const IO_RESOURCE_DESCRIPTOR kMemNew = Rewritten(kMemWin, kMem, kMem, 0), kPreNew = Rewritten(kMemWin, kPre, kPre, kPrefetch);
const IO_RESOURCE_DESCRIPTOR kPortNew = Rewritten(kPortWin, kIo, 0x1000, kPortIo | kPos);

std::vector<WindowCase> WindowCases()
{
    auto note = [](const char *range, int filter) {
        return "[NOTE] checking Desc #" + std::string(range) + " Applying filter " + std::to_string(filter);
    };
    const ULONG p2p = BRIDGE_TYPE_P2P, cb = BRIDGE_TYPE_CARDBUS;
    const Alternative second = {Mem(0x200000, 0x100000, 0xC0000000, 0xCFFFFFFF, kAlternative), kTag3};
    return {
        {"P2pMemoryWindow", p2p, {{kMemWin, kTag3}}, {{kMemNew, kTag3}}, {note("0", 1)}},
        {"P2pPortWindowGetsPositiveDecode", p2p, {{kPortWin, kTag2}}, {{kPortNew, kTag2}}, {note("0", 0)}},
        {"P2pPrefetchableWindow", p2p, {{kPreWin, kTag4}}, {{Rewritten(kPreWin, kPre, kPre, kPrefetch), kTag4}}, {note("0", 2)}},
        {"CardBusMemoryWindow", cb, {{kMemWin, kTag1}}, {{kMemNew, kTag1}}, {note("0", 0)}},
        {"CardBusSecondMemoryWindowBecomesPrefetchable", cb, {{kMemWin, kTag2}}, {{kPreNew, kTag2}}, {note("0", 1)}},
        {"CardBusPortWindow", cb, {{kPortWin, kTag3}}, {{kPortNew, kTag3}}, {note("0", 2)}},
        // The action follows the tag, the maximum follows the descriptor.
        {"MemoryTagOnAPortDescriptor", p2p, {{kPortWin, kTag3}}, {{Rewritten(kPortWin, kMem, kMem, kPortIo), kTag3}},
         {note("0", 1)}},
        {"IoTagOnAMemoryDescriptor", cb, {{kMemWin, kTag3}}, {{Rewritten(kMemWin, kIo, 0x1000, kPos), kTag3}}, {note("0", 2)}},
        // (1, 1, 0) names a window only on a CardBus bridge.
        {"UnknownKeyLeavesTheWindowAlone", p2p, {{kMemWin, kTag1}}, {{kMemWin, kTag1}}, {}},
        // The tag covers the descriptors from the previous tag up to it.
        {"PreferredAndTwoAlternativesAreOneRange", p2p, {{kPortWin, kTag2, kMemWin, kMemAlt1, kMemAlt2, kTag3}},
         {{kPortNew, kTag2, kMemNew, Rewritten(kMemAlt1, kMem, kMem, 0), Rewritten(kMemAlt2, kMem, kMem, 0), kTag3}},
         {note("0", 0), note("2-4", 1)}},
        {"TagAtIndexZeroRewritesNothing", p2p, {{kTag3, kMemWin}}, {{kTag3, kMemWin}}, {note("0--1", 1)}},
        // A second tag in a row names the first as its range; the window is rewritten again.
        {"SecondTagInARow", p2p, {{kMemWin, kTag3, kTag3}}, {{kMemNew, kTag3, kTag3}}, {note("0", 1), note("0-1", 1)},
         "BAD TYPE 0x81... skipping"},
        // An interrupt between the window and its tag starts the range.
        {"InterruptInFrontOfTheTag", p2p, {{kMemWin, Irq(5, 11), kTag3}}, {{kMemWin, Irq(5, 11), kTag3}}, {note("1", 1)},
         "BAD TYPE 0x2... skipping"},
        {"SecondListIsLeftAlone", p2p, {{kMemWin, kTag3}, second}, {{kMemNew, kTag3}, second}, {note("0", 1)}},
        // A tag right behind the last descriptor, inside the pool block, is not read.
        {"TagPastCountIsNotRead", p2p, {{kMemWin}}, {{kMemWin}}, {}, nullptr, {kTag3}},
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
    PoolList list(NewList({{kMemWin, kTag3}}));
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

} // namespace
