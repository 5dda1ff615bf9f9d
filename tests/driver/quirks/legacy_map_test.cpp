// Legacy device mapping and VGA forwarding on a chassis: controller, bridge, cards.
#include "quirks_fixture.h"

using namespace quirkstest;

namespace {

// Requirements as the bus driver hands them over: a port or memory range is followed by a tag
// naming its BAR (Data[1]).
IO_RESOURCE_DESCRIPTOR Port(ULONG length, ULONG alignment) { return sim::RequirementsBuilder().Port(length, alignment, 0, 0xFFFF).Descriptors()[0]; }
IO_RESOURCE_DESCRIPTOR Mem(ULONG length, ULONG alignment, USHORT flags = CM_RESOURCE_MEMORY_READ_WRITE)
{
    return sim::RequirementsBuilder().Memory(length, alignment, 0, 0xFFFFFFFF, flags).Descriptors()[0];
}
IO_RESOURCE_DESCRIPTOR Private(ULONG barIndex) { return sim::RequirementsBuilder().DevicePrivate(1, barIndex, 0).Descriptors()[0]; }
IO_RESOURCE_DESCRIPTOR Irq() { return sim::RequirementsBuilder().Interrupt(0, 0xFF).Descriptors()[0]; }
using Lists = std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>>;

class ChassisTest : public QuirksTest {
  protected:
    // 00:03.0 TI1420 (buses 1..2), 01:00.0 DEC21154 (bus 2), 02:02.0 a card with I/O, memory
    // and prefetchable BARs, 02:04.0 a VGA controller.
    void Build(ULONG mapLegacy, ULONG vgaAlias = 0)
    {
        Configure({{"mapLegacy", mapLegacy}, {"vgaAlias", vgaAlias}});
        rootFn_ = machine_.AddFunction(machine_.Root(), 3, 0, sim::models::TI1420());
        bridgeFn_ = machine_.AddFunction(machine_.SecondarySegment(rootFn_), 0, 0, sim::models::DEC21154());
        cardFn_ = machine_.AddFunction(
            machine_.SecondarySegment(bridgeFn_), 2, 0,
            sim::models::Generic(0x1234, 0x5678, 0x078000,
                                 {sim::IoBar(0, 0x20), sim::MemBar(1, 0x1000), sim::PrefetchBar(2, 0x1000)}));
        vgaFn_ = machine_.AddFunction(machine_.SecondarySegment(bridgeFn_), 4, 0, sim::models::GeForce2MX());
        machine_.SetBusNumbers(rootFn_, 0, 1, 2);
        machine_.SetBusNumbers(bridgeFn_, 1, 2, 2);
        Power();

        root_ = Attach({rootFn_, CB_BRIDGE | ROOT, BRIDGE_TYPE_CARDBUS, 0, 1, 2});
        root_->Irq = 11;
        bridge_ = Attach({bridgeFn_, P2P_BRIDGE, BRIDGE_TYPE_P2P, 1, 2, 2});
        // The bridge's windows as its start resources gave them.
        bridge_->IoBase = 0x1010, bridge_->IoLength = 0x1000 - 0x10, bridge_->IoEnd = 0x2000;
        bridge_->MemBase = 0xE0000000, bridge_->MemLength = 0x100000, bridge_->MemEnd = 0xE0100000;
        bridge_->PreBase = 0xD0000000, bridge_->PreLength = 0x100000, bridge_->PreEnd = 0xD0100000;
        card_ = Attach({cardFn_});
        vga_ = Attach({vgaFn_, VGA});
        for (auto *f : {rootFn_, bridgeFn_, cardFn_, vgaFn_})
            f->ClearWriteLog();
    }

    void TearDown() override
    {
        for (auto *l : lists_)
            ExFreePool(l);
        QuirksTest::TearDown();
    }
    PIO_RESOURCE_REQUIREMENTS_LIST Req(const Lists &lists)
    {
        lists_.push_back(sim::BuildRequirementsList(lists, PCIBus, 0, 0));
        return lists_.back();
    }
    std::vector<ULONG> Cursors() const { return {bridge_->IoBase, bridge_->MemBase, bridge_->PreBase}; }

    sim::PciFunction *rootFn_ = nullptr, *bridgeFn_ = nullptr, *cardFn_ = nullptr, *vgaFn_ = nullptr;
    PDEVICE_EXTENSION root_ = nullptr, bridge_ = nullptr, card_ = nullptr, vga_ = nullptr;
    std::vector<PIO_RESOURCE_REQUIREMENTS_LIST> lists_;
};

const char *const kLocateCard = "LocateMe: vid 0x1234-5678 @ 2:2:0";
const char *const kNoteCard = "NOTE: mapping legacy device @ 2:2:0";

// A requirements list for the card, its writes in order, the parent's cursors after (I/O,
// memory, prefetchable) and lines the trace must hold; what cannot be placed is skipped.
struct MapCase {
    const char *name;
    Lists lists;
    void (*setup)(sim::PciFunction *card, PDEVICE_EXTENSION bridge, PIO_RESOURCE_REQUIREMENTS_LIST req);
    Writes writes;
    std::vector<ULONG> cursors;
    Lines lines;
};

void PrintTo(const MapCase &c, std::ostream *os) { *os << c.name; }

class MapTest : public ChassisTest, public ::testing::WithParamInterface<MapCase> {};

TEST_P(MapTest, CardIsPlacedInItsParentsWindows)
{
    const MapCase &c = GetParam();
    Build(1);
    PIO_RESOURCE_REQUIREMENTS_LIST req = Req(c.lists);
    if (c.setup != nullptr)
        c.setup(cardFn_, bridge_, req);
    mapLegacyDevice(card_, req);
    EXPECT_EQ(cardFn_->WriteLog(), c.writes);
    EXPECT_EQ(Cursors(), c.cursors);
    for (const std::string &line : c.lines)
        EXPECT_EQ(testsupport::CountContaining(Trace(), line), 1u) << line << "\n" << testsupport::TraceText();
}

const Writes kNothingPlaced = {{0x04, 2, 0x0000}}; // no decoding, no bus mastering
#define SETUP(body) [](sim::PciFunction *card, PDEVICE_EXTENSION b, PIO_RESOURCE_REQUIREMENTS_LIST r) { body; }

INSTANTIATE_TEST_SUITE_P(
    Cases, MapTest,
    ::testing::Values(
        MapCase{"WholeCardInListOrder",
                {{Port(0x20, 0x20), Private(0), Mem(0x1000, 0x1000), Private(1), Irq(),
                  Mem(0x1000, 0x1000, CM_RESOURCE_MEMORY_PREFETCHABLE), Private(2)}},
                nullptr,
                {{0x10, 4, 0x1020}, {0x14, 4, 0xE0000000}, {0x3C, 1, 11}, {0x18, 4, 0xD0000000}, {0x04, 2, 0x0007}},
                {0x1040, 0xE0001000, 0xD0001000},
                {"mapLegacyDevice: cmd reg <== 0x7"}},
        MapCase{"EveryAlternativeList", {{Port(0x20, 0x20), Private(0)}, {Port(0x20, 0x20), Private(0)}}, nullptr,
                {{0x10, 4, 0x1020}, {0x10, 4, 0x1040}, {0x04, 2, 0x0001}}, {0x1060, 0xE0000000, 0xD0000000}, {}},
        MapCase{"AtTheCursorWithoutAlignment", {{Port(0x8, 0), Private(0)}}, SETUP(b->IoBase = 0x1013),
                {{0x10, 4, 0x1013}, {0x04, 2, 0x0001}}, {0x101B, 0xE0000000, 0xD0000000}, {}},
        MapCase{"UpToTheWindowEnd", {{Port(0x20, 0x20), Private(0)}}, SETUP(b->IoBase = 0x1FE0),
                {{0x10, 4, 0x1FE0}, {0x04, 2, 0x0001}}, {0x2000, 0xE0000000, 0xD0000000}, {}},
        // BAR1 reads as a 64-bit decoder: its upper half (BAR2) is cleared; BAR5 has no upper half.
        MapCase{"SixtyFourBitBarGetsItsUpperHalfCleared", {{Mem(0x1000, 0x1000), Private(1), Mem(0x1000, 0x1000), Private(5)}},
                SETUP((card->Poke32(0x14, 0x4), card->Poke32(0x18, 0x12345000), card->Poke32(0x24, 0x4))),
                {{0x18, 4, 0}, {0x14, 4, 0xE0000000}, {0x24, 4, 0xE0001000}, {0x04, 2, 0x0006}},
                {0x1010, 0xE0002000, 0xD0000000}, {}},
        MapCase{"SkippedPortDoesNotStopTheWalk", {{Port(0x20, 0x20), Mem(0x1000, 0x1000), Private(1)}}, nullptr,
                {{0x14, 4, 0xE0000000}, {0x04, 2, 0x0006}}, {0x1010, 0xE0001000, 0xD0000000},
                {"WARNING mapLegacyDevice: desc 0 has no BAR index, skipped"}},
        // Cursors near the ends of the windows: nothing fits, nothing is untagged or past the six registers.
        MapCase{"NothingPastTheWindowEndsOrWithoutAValidIndex",
                {{Port(0x20, 0x20), Private(0), Mem(0x2000, 0x1000), Private(1),
                  Mem(0x1000, 0x1000, CM_RESOURCE_MEMORY_PREFETCHABLE), Private(2), Port(0x8, 0x8), Private(6),
                  Mem(0x100, 0x100), Irq(), Port(0x8, 0x8)}},
                SETUP((b->IoBase = 0x1FF0, b->MemBase = 0xE00FF000, b->PreBase = 0xD00FF800)),
                {{0x3C, 1, 11}, {0x04, 2, 0x0000}}, {0x1FF0, 0xE00FF000, 0xD00FF800},
                {"WARNING mapLegacyDevice: I/O bar #0 (0x20 bytes) does not fit at 0x1ff0, skipped",
                 "WARNING mapLegacyDevice: MEM bar #1 (0x2000 bytes) does not fit at 0xe00ff000, skipped",
                 "WARNING mapLegacyDevice: MEM bar #2 (0x1000 bytes) does not fit at 0xd00ff800, skipped",
                 "WARNING mapLegacyDevice: desc 6 names BAR #6, skipped",
                 "WARNING mapLegacyDevice: desc 8 has no BAR index, skipped",
                 "WARNING mapLegacyDevice: desc 10 has no BAR index, skipped"}},
        MapCase{"ParentWithoutSuchAWindow", {{Port(0x20, 0x20), Private(0)}},
                SETUP(b->IoBase = b->IoLength = b->IoEnd = 0), kNothingPlaced, {0, 0xE0000000, 0xD0000000},
                {"WARNING mapLegacyDevice: I/O bar #0 (0x20 bytes) does not fit at 0x0, skipped"}},
        MapCase{"RoundingPastFourGigabytes", {{Mem(0x100, 0x1000), Private(1)}},
                SETUP((b->MemBase = 0xFFFFF800, b->MemEnd = ~0u)), kNothingPlaced, {0x1010, 0xFFFFF800, 0xD0000000},
                {"WARNING mapLegacyDevice: MEM bar #1 (0x100 bytes) does not fit at 0xfffff800, skipped"}},
        // The tag falls outside the list's size.
        MapCase{"ListShorterThanItsCounts", {{Port(0x20, 0x20), Private(0)}},
                SETUP(r->ListSize -= sizeof(IO_RESOURCE_DESCRIPTOR)), kNothingPlaced, {0x1010, 0xE0000000, 0xD0000000},
                {"WARNING mapLegacyDevice: list 0 runs past the end of the requirements, stopped"}}),
    [](const ::testing::TestParamInfo<MapCase> &info) { return std::string(info.param.name); });

// A failed class read (all-ones, no bridge class) still maps: the direct accesses skip the stack.
TEST_F(ChassisTest, FailedClassReadStillMaps)
{
    Build(1);
    bus_->SetConfigMode(card_->Pdo, sim::ConfigMode::Fail);
    mapLegacyDevice(card_, Req({{Port(0x20, 0x20), Private(0)}}));
    EXPECT_EQ(testsupport::CountContaining(Trace(), "ERROR! ReadPCIConfigW @ 0x8 failed"), 1u);
    EXPECT_EQ(cardFn_->WriteLog(), (Writes{{0x10, 4, 0x1020}, {0x04, 2, 0x0001}}));
}

// Nothing written or moved: option off, no list, a bridge, no parent, no root, no location.
TEST_F(ChassisTest, DeviceIsLeftAloneWhenOffUnlistedABridgeOrWithoutParentRootOrLocation)
{
    Build(0);
    PIO_RESOURCE_REQUIREMENTS_LIST req = Req({{Port(0x20, 0x20), Private(0)}});
    const std::vector<ULONG> cursors = Cursors();
    mapLegacyDevice(card_, req);
    EXPECT_EQ(Fresh(), Lines{}) << "mapLegacy off";

    Configure({{"mapLegacy", 1}});
    mapLegacyDevice(card_, nullptr);
    EXPECT_EQ(Fresh(), Lines{"WARNING mapLegacyDevice: pRes is NULL!!!"});
    mapLegacyDevice(bridge_, req);
    EXPECT_EQ(Fresh(), (Lines{"LocateMe: vid 0x1011-0026 @ 1:0:0", "mapLegacyDevice: ignoring bridge device..."}));
    bridge_->SecBus = 7; // no filtered bridge has bus 2 behind it any more
    mapLegacyDevice(card_, req);
    EXPECT_EQ(Fresh(), (Lines{kLocateCard, kNoteCard, "ERROR mapLegacyDevice: GetParent returned NULL"}));
    bridge_->SecBus = 2;
    root_->Flags &= ~ROOT;
    mapLegacyDevice(card_, req);
    EXPECT_EQ(Fresh(), (Lines{kLocateCard, kNoteCard, "ERROR mapLegacyDevice: GetRoot returned NULL"}));
    root_->Flags |= ROOT;
    bus_->SetPropertiesFail(card_->Pdo, true);
    mapLegacyDevice(card_, req);
    EXPECT_EQ(testsupport::CountContaining(Fresh(), "WARNING mapLegacyDevice: location unknown, nothing mapped"), 1u);

    EXPECT_EQ(cardFn_->WriteLog(), Writes{});
    EXPECT_EQ(bridgeFn_->WriteLog(), Writes{});
    EXPECT_EQ(Cursors(), cursors);
}

// Forwarding only with the option and for a display, in both bridges (even when already set);
// a bridge that is its own parent (bus and secondary both 2) ends the climb.
TEST_F(ChassisTest, VgaForwardingIsTurnedOnInEveryBridgeAbove)
{
    Build(0, 0);
    vgaEnable(vga_->DeviceObject);
    EXPECT_EQ(Fresh(), Lines{});
    EXPECT_EQ(bridgeFn_->WriteLog(), Writes{});
    EXPECT_EQ(rootFn_->WriteLog(), Writes{});
    Configure({{"vgaAlias", 1}});
    bridgeFn_->Poke16(0x3E, 0x0008);
    vgaEnable(card_->DeviceObject);
    EXPECT_EQ(Fresh(), Lines{"vgaEnable: Called but not a VGA device!!!"});
    EXPECT_EQ(bridgeFn_->WriteLog(), Writes{});
    vgaEnable(vga_->DeviceObject);
    EXPECT_EQ(bridgeFn_->WritesTo(0x3E, 2), (Writes{{0x3E, 2, 0x0008}}));
    EXPECT_EQ(rootFn_->WritesTo(0x3E, 2), (Writes{{0x3E, 2, (uint32_t)(sim::models::TI1420().bridgeControl | 8)}}));
    EXPECT_EQ(rootFn_->Peek16(0x3E) & 0x0008, 0x0008);
    EXPECT_EQ(Fresh(), Lines{}) << "no line of its own";

    rootFn_->ClearWriteLog();
    bridge_->Bus = 2; // its register access goes to 02:00.0, where nothing answers
    vgaEnable(vga_->DeviceObject);
    EXPECT_EQ(rootFn_->WriteLog(), Writes{});
    EXPECT_EQ(testsupport::CountContaining(Fresh(), "WARNING vgaEnable: bridge chain loops at devObj"), 1u);
}

} // namespace
