// FilterResources on the bridges of a simulated adapter: which window
// descriptors the device-private tags select, what they are rewritten to,
// and the lines that say so. The bridges are not marked for enumeration
// unless a test says so, so their needs are the configured window sizes.
#include <gtest/gtest.h>

#include "resource_fixture.h"

using namespace restest;
using testsupport::CountContaining;
using testsupport::TraceLines;

namespace {

constexpr ULONG kMem = 0x400000;
constexpr ULONG kPre = 0x2000000;
constexpr ULONG kIo = 0x800;

class FilterResourcesTest : public MachineTest {
  protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        Configure(kMem, kPre, kIo, 0);
        // The adapter's CardBus controller at 00:03.0 with a PCI-to-PCI bridge
        // behind it on bus 1 and a network card behind that on bus 2.
        machine_.AddFunction(machine_.Root(), 0, 0, sim::models::Intel440BX());
        cb_ = machine_.AddFunction(machine_.Root(), 3, 0, sim::models::TI1420());
        p2p_ = machine_.AddFunction(machine_.SecondarySegment(cb_), 0, 0, sim::models::DEC21154());
        nic_ = machine_.AddFunction(machine_.SecondarySegment(p2p_), 1, 0, sim::models::RTL8139());
        machine_.SetBusNumbers(cb_, 0, 1, 4);
        machine_.SetBusNumbers(p2p_, 1, 2, 2);
        StartBusDriver();
        cbDev_ = AttachFilter(cb_, BRIDGE_TYPE_CARDBUS, CB_BRIDGE | ROOT);
        p2pDev_ = AttachFilter(p2p_, BRIDGE_TYPE_P2P, P2P_BRIDGE);
    }

    PDEVICE_OBJECT Device(ULONG bridgeType) { return bridgeType == BRIDGE_TYPE_P2P ? p2pDev_ : cbDev_; }

    std::vector<std::string> NoteLines()
    {
        std::vector<std::string> out;
        for (const auto &l : TraceLines())
            if (l.rfind("[NOTE] checking Desc #", 0) == 0)
                out.push_back(l);
        return out;
    }

    sim::PciFunction *cb_ = nullptr;
    sim::PciFunction *p2p_ = nullptr;
    sim::PciFunction *nic_ = nullptr;
    PDEVICE_OBJECT cbDev_ = nullptr;
    PDEVICE_OBJECT p2pDev_ = nullptr;
};

// A rewritten window: anywhere in its space, the given length and alignment.
IO_RESOURCE_DESCRIPTOR Rewritten(IO_RESOURCE_DESCRIPTOR d, ULONG length, ULONG alignment, USHORT flags)
{
    d.u.Generic.Length = length;
    d.u.Generic.Alignment = alignment;
    d.u.Generic.MinimumAddress.QuadPart = 0;
    d.u.Generic.MaximumAddress.QuadPart = d.Type == CmResourceTypePort ? 0xFFFF : 0xFFFFFFFF;
    d.Flags = flags;
    return d;
}

// ------------------------------------------------------------ window rows

struct WindowCase {
    const char *name;
    ULONG bridgeType;
    Alternative input;
    Alternative expected;
    std::vector<std::string> notes;
};

const IO_RESOURCE_DESCRIPTOR kMemWin = Mem(0x100000, 0x100000);
const IO_RESOURCE_DESCRIPTOR kPreWin = Mem(0x100000, 0x100000, 0xD0000000, 0xDFFFFFFF, kPreferred,
                                           CM_RESOURCE_MEMORY_PREFETCHABLE);
const IO_RESOURCE_DESCRIPTOR kPortWin = Port(0x100, 0x100);
const IO_RESOURCE_DESCRIPTOR kMemAlt1 = Mem(0x80000, 0x80000, 0xE0000000, 0xE7FFFFFF, kAlternative);
const IO_RESOURCE_DESCRIPTOR kMemAlt2 = Mem(0x40000, 0x40000, 0xE8000000, 0xEFFFFFFF, kAlternative);
constexpr USHORT kPos = CM_RESOURCE_PORT_POSITIVE_DECODE;
constexpr USHORT kPortIo = CM_RESOURCE_PORT_IO;
constexpr USHORT kPrefetch = CM_RESOURCE_MEMORY_PREFETCHABLE;

std::vector<WindowCase> WindowCases()
{
    return {
        {"P2pMemoryWindow", BRIDGE_TYPE_P2P, {kMemWin, Private(1, 3, 0)},
         {Rewritten(kMemWin, kMem, kMem, 0), Private(1, 3, 0)}, {"[NOTE] checking Desc #0 Applying filter 1"}},
        {"P2pPortWindowGetsPositiveDecode", BRIDGE_TYPE_P2P, {kPortWin, Private(1, 2, 0)},
         {Rewritten(kPortWin, kIo, 0x1000, kPortIo | kPos), Private(1, 2, 0)},
         {"[NOTE] checking Desc #0 Applying filter 0"}},
        {"P2pPrefetchableWindow", BRIDGE_TYPE_P2P, {kPreWin, Private(1, 4, 0)},
         {Rewritten(kPreWin, kPre, kPre, kPrefetch), Private(1, 4, 0)},
         {"[NOTE] checking Desc #0 Applying filter 2"}},
        {"CardBusMemoryWindow", BRIDGE_TYPE_CARDBUS, {kMemWin, Private(1, 1, 0)},
         {Rewritten(kMemWin, kMem, kMem, 0), Private(1, 1, 0)}, {"[NOTE] checking Desc #0 Applying filter 0"}},
        {"CardBusSecondMemoryWindowBecomesPrefetchable", BRIDGE_TYPE_CARDBUS, {kMemWin, Private(1, 2, 0)},
         {Rewritten(kMemWin, kPre, kPre, kPrefetch), Private(1, 2, 0)},
         {"[NOTE] checking Desc #0 Applying filter 1"}},
        {"CardBusPortWindow", BRIDGE_TYPE_CARDBUS, {kPortWin, Private(1, 3, 0)},
         {Rewritten(kPortWin, kIo, 0x1000, kPortIo | kPos), Private(1, 3, 0)},
         {"[NOTE] checking Desc #0 Applying filter 2"}},
        // The action follows the tag, the maximum follows the descriptor.
        {"MemoryTagOnAPortDescriptor", BRIDGE_TYPE_P2P, {kPortWin, Private(1, 3, 0)},
         {Rewritten(kPortWin, kMem, kMem, kPortIo), Private(1, 3, 0)},
         {"[NOTE] checking Desc #0 Applying filter 1"}},
        {"IoTagOnAMemoryDescriptor", BRIDGE_TYPE_CARDBUS, {kMemWin, Private(1, 3, 0)},
         {Rewritten(kMemWin, kIo, 0x1000, kPos), Private(1, 3, 0)}, {"[NOTE] checking Desc #0 Applying filter 2"}},
        // (1, 1, 0) names a window only on a CardBus bridge.
        {"UnknownKeyLeavesTheWindowAlone", BRIDGE_TYPE_P2P, {kMemWin, Private(1, 1, 0)},
         {kMemWin, Private(1, 1, 0)}, {}},
        {"PreferredAndTwoAlternativesAreOneRange", BRIDGE_TYPE_P2P,
         {kPortWin, Private(1, 2, 0), kMemWin, kMemAlt1, kMemAlt2, Private(1, 3, 0)},
         {Rewritten(kPortWin, kIo, 0x1000, kPortIo | kPos), Private(1, 2, 0), Rewritten(kMemWin, kMem, kMem, 0),
          Rewritten(kMemAlt1, kMem, kMem, 0), Rewritten(kMemAlt2, kMem, kMem, 0), Private(1, 3, 0)},
         {"[NOTE] checking Desc #0 Applying filter 0", "[NOTE] checking Desc #2-4 Applying filter 1"}},
    };
}

void PrintTo(const WindowCase &c, std::ostream *os)
{
    *os << c.name;
}

class FilterWindowTest : public FilterResourcesTest, public ::testing::WithParamInterface<WindowCase> {};

TEST_P(FilterWindowTest, TaggedWindowsAreRewritten)
{
    const WindowCase &c = GetParam();
    PoolList list(NewList({c.input}));

    ULONG io = FilterResources(Device(c.bridgeType), list.get());

    EXPECT_EQ(io, kIo);
    Alternative got = Read(list.get())[0];
    ASSERT_EQ(got.size(), c.expected.size());
    for (size_t i = 0; i < got.size(); i++)
        EXPECT_TRUE(Same(got[i], c.expected[i]))
            << "desc " << i << "\n  got      " << Describe(got[i]) << "\n  expected " << Describe(c.expected[i]);
    EXPECT_EQ(NoteLines(), c.notes);
    EXPECT_EQ(CountContaining(TraceLines(), "-------------------------------------------------"), c.notes.size());
    EXPECT_EQ(CountContaining(TraceLines(), "BAD TYPE"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Rows, FilterWindowTest, ::testing::ValuesIn(WindowCases()),
                         [](const ::testing::TestParamInfo<WindowCase> &info) { return info.param.name; });

// ------------------------------------------------------------ single cases

TEST_F(FilterResourcesTest, NeedsArePrintedAndTheIoNeedReturned)
{
    PoolList list(NewList({{kMemWin, Private(1, 3, 0)}}));
    EXPECT_EQ(FilterResources(p2pDev_, list.get()), kIo);
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "[Need  Mem 0x00400000 Pre 0x02000000 Io 0x800]"), 1u);
    EXPECT_EQ(CountContaining(lines, "[Align Mem 0x00400000 Pre 0x02000000]"), 1u);
    long note = FindLine(lines, "[NOTE] checking Desc #0 Applying filter 1");
    ASSERT_GE(note, 1);
    EXPECT_EQ(lines[note - 1], "-------------------------------------------------");
    ASSERT_LT(note + 2, static_cast<long>(lines.size()));
    EXPECT_EQ(lines[note + 1], "[NOTE] orig len   0x00100000 new len   0x00400000");
    EXPECT_EQ(lines[note + 2], "[NOTE] orig align 0x00100000 new align 0x00400000");
}

TEST_F(FilterResourcesTest, TagAtIndexZeroRewritesNothingButIsReported)
{
    Alternative input = {Private(1, 3, 0), kMemWin};
    PoolList list(NewList({input}));
    FilterResources(p2pDev_, list.get());
    EXPECT_TRUE(Same(Read(list.get())[0], input)) << Describe(Read(list.get())[0]);
    auto lines = TraceLines();
    EXPECT_EQ(NoteLines(), std::vector<std::string>{"[NOTE] checking Desc #0--1 Applying filter 1"});
    EXPECT_EQ(CountContaining(lines, "-------------------------------------------------"), 1u);
    EXPECT_EQ(CountContaining(lines, "[NOTE] orig len"), 0u);
}

TEST_F(FilterResourcesTest, SecondTagInARowRefiltersTheWindowAndReportsTheFirstTag)
{
    PoolList list(NewList({{kMemWin, Private(1, 3, 0), Private(1, 3, 0)}}));
    FilterResources(p2pDev_, list.get());
    Alternative got = Read(list.get())[0];
    EXPECT_TRUE(Same(got[0], Rewritten(kMemWin, kMem, kMem, 0))) << Describe(got[0]);
    EXPECT_TRUE(Same(got[1], Private(1, 3, 0))) << Describe(got[1]);
    EXPECT_EQ(NoteLines(), (std::vector<std::string>{"[NOTE] checking Desc #0 Applying filter 1",
                                                     "[NOTE] checking Desc #0-1 Applying filter 1"}));
    auto lines = TraceLines();
    long error = FindLine(lines, "ERROR FilterBridgeResList trying to filter desc 1");
    ASSERT_GE(error, 0);
    EXPECT_EQ(lines[error + 1], "BAD TYPE 0x81... skipping");
    // The second pass finds the window already rewritten.
    EXPECT_EQ(CountContaining(lines, "[NOTE] orig len   0x00400000 new len   0x00400000"), 1u);
}

TEST_F(FilterResourcesTest, InterruptInFrontOfTheTagStartsTheRange)
{
    IO_RESOURCE_DESCRIPTOR irq = Irq(5, 11);
    Alternative input = {kMemWin, irq, Private(1, 3, 0)};
    PoolList list(NewList({input}));
    FilterResources(p2pDev_, list.get());
    EXPECT_TRUE(Same(Read(list.get())[0], input)) << "the window is not rewritten: " << Describe(Read(list.get())[0]);
    EXPECT_EQ(NoteLines(), std::vector<std::string>{"[NOTE] checking Desc #1 Applying filter 1"});
    auto lines = TraceLines();
    long error = FindLine(lines, "ERROR FilterBridgeResList trying to filter desc 1");
    ASSERT_GE(error, 0);
    EXPECT_EQ(lines[error + 1], "BAD TYPE 0x2... skipping");
}

TEST_F(FilterResourcesTest, OnlyTheFirstAlternativeListIsRewritten)
{
    Alternative second = {Mem(0x200000, 0x100000, 0xC0000000, 0xCFFFFFFF, kAlternative), Private(1, 3, 0)};
    PoolList list(NewList({{kMemWin, Private(1, 3, 0)}, second}));
    FilterResources(p2pDev_, list.get());
    Alternatives got = Read(list.get());
    EXPECT_TRUE(Same(got[0][0], Rewritten(kMemWin, kMem, kMem, 0))) << Describe(got[0][0]);
    EXPECT_TRUE(Same(got[1], second)) << Describe(got[1]);
    EXPECT_EQ(NoteLines().size(), 1u);
}

TEST_F(FilterResourcesTest, DeviceThatIsNoBridgeReturnsOneAndEnumeratesNothing)
{
    PDEVICE_OBJECT nicDev = AttachFilter(nic_, BRIDGE_TYPE_OTHER, 0);
    Alternative input = {Mem(0x100, 0x100), Private(1, 3, 0)};
    PoolList list(NewList({input}));
    EXPECT_EQ(FilterResources(nicDev, list.get()), 1u);
    EXPECT_TRUE(Same(Read(list.get())[0], input)) << Describe(Read(list.get())[0]);
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "EnumerateFromHere"), 0u);
    EXPECT_EQ(CountContaining(lines, "[Need"), 0u);
}

TEST_F(FilterResourcesTest, MissingListIsReportedAfterTheNeeds)
{
    EXPECT_EQ(FilterResources(cbDev_, nullptr), 0u);
    auto lines = TraceLines();
    long need = FindLine(lines, "[Need  Mem 0x00400000 Pre 0x02000000 Io 0x800]");
    long warning = FindLine(lines, "WARNING: FilterResources has NULL rList");
    ASSERT_GE(need, 0);
    EXPECT_GT(warning, need);
}

TEST_F(FilterResourcesTest, EnumeratedBridgeWithNothingBehindGetsTheSmallestWindows)
{
    // Nothing behind the PCI-to-PCI bridge any more.
    PDEVICE_OBJECT lone = nullptr;
    {
        sim::PciFunction *bridge = machine_.AddFunction(machine_.SecondarySegment(cb_), 4, 0,
                                                        sim::models::DEC21154());
        machine_.SetBusNumbers(bridge, 1, 3, 3);
        lone = AttachFilter(bridge, BRIDGE_TYPE_P2P, P2P_BRIDGE | ENUMERATE);
    }
    PoolList list(NewList({{kPortWin, Private(1, 2, 0), kMemWin, Private(1, 3, 0), kPreWin, Private(1, 4, 0)}}));

    EXPECT_EQ(FilterResources(lone, list.get()), 0u) << "nothing behind needs I/O";

    Alternative got = Read(list.get())[0];
    EXPECT_TRUE(Same(got[0], Rewritten(kPortWin, 0, 0x1000, kPortIo | kPos))) << Describe(got[0]);
    EXPECT_TRUE(Same(got[2], Rewritten(kMemWin, 0x100000, 0x100000, 0))) << Describe(got[2]);
    EXPECT_TRUE(Same(got[4], Rewritten(kPreWin, 0x100000, 0x100000, kPrefetch))) << Describe(got[4]);
    EXPECT_EQ(CountContaining(TraceLines(), "[Need  Mem 0x00100000 Pre 0x00100000 Io 0x000]"), 1u);
}

} // namespace
