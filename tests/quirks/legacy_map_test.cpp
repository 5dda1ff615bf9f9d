// Legacy device mapping, VGA forwarding and the Matrox hook, on a chassis
// built in each test: the adapter's CardBus controller, a PCI-to-PCI bridge
// behind it and cards behind that.
#include "quirks_fixture.h"

#include "pci/pci_direct.h"

using quirkstest::FilterSetup;
using quirkstest::QuirksTest;
using quirkstest::Write;

namespace {

// ------------------------------------------------------------- roundUp

struct RoundCase {
    ULONG value;
    ULONG alignment;
    ULONG expected;
};

class RoundUpTest : public ::testing::TestWithParam<RoundCase> {};

TEST_P(RoundUpTest, RoundsToTheNextMultiple)
{
    EXPECT_EQ(roundUp(GetParam().value, GetParam().alignment), GetParam().expected)
        << std::hex << "roundUp(0x" << GetParam().value << ", 0x" << GetParam().alignment << ")";
}

INSTANTIATE_TEST_SUITE_P(Values, RoundUpTest,
                         ::testing::Values(RoundCase{0x1010, 0x20, 0x1020}, RoundCase{0x1020, 0x20, 0x1020},
                                           RoundCase{0x1021, 0x20, 0x1040}, RoundCase{0x1013, 1, 0x1013},
                                           RoundCase{0x1013, 0, 0x1013}, // no alignment: as 1
                                           RoundCase{0, 0x1000, 0}, RoundCase{0x1003, 6, 0x1008},
                                           RoundCase{0xE0000001, 0x1000, 0xE0001000}));

// ---------------------------------------------------- requirements lists

IO_RESOURCE_DESCRIPTOR Port(ULONG length, ULONG alignment)
{
    IO_RESOURCE_DESCRIPTOR d;
    memset(&d, 0, sizeof(d));
    d.Type = CmResourceTypePort;
    d.Flags = CM_RESOURCE_PORT_IO;
    d.u.Port.Length = length;
    d.u.Port.Alignment = alignment;
    d.u.Port.MaximumAddress.QuadPart = 0xFFFF;
    return d;
}

IO_RESOURCE_DESCRIPTOR Mem(ULONG length, ULONG alignment, bool prefetchable = false)
{
    IO_RESOURCE_DESCRIPTOR d;
    memset(&d, 0, sizeof(d));
    d.Type = CmResourceTypeMemory;
    d.Flags = prefetchable ? CM_RESOURCE_MEMORY_PREFETCHABLE : CM_RESOURCE_MEMORY_READ_WRITE;
    d.u.Memory.Length = length;
    d.u.Memory.Alignment = alignment;
    d.u.Memory.MaximumAddress.QuadPart = 0xFFFFFFFF;
    return d;
}

// The bus driver's tag after a port or memory requirement: Data[1] is the
// base address register index.
IO_RESOURCE_DESCRIPTOR Private(ULONG barIndex)
{
    IO_RESOURCE_DESCRIPTOR d;
    memset(&d, 0, sizeof(d));
    d.Type = CmResourceTypeDevicePrivate;
    d.u.DevicePrivate.Data[0] = 1;
    d.u.DevicePrivate.Data[1] = barIndex;
    return d;
}

IO_RESOURCE_DESCRIPTOR Irq()
{
    IO_RESOURCE_DESCRIPTOR d;
    memset(&d, 0, sizeof(d));
    d.Type = CmResourceTypeInterrupt;
    d.u.Interrupt.MinimumVector = 0;
    d.u.Interrupt.MaximumVector = 0xFF;
    return d;
}

// A requirement the mapping passes over.
IO_RESOURCE_DESCRIPTOR Dma()
{
    IO_RESOURCE_DESCRIPTOR d;
    memset(&d, 0, sizeof(d));
    d.Type = CmResourceTypeDma;
    d.u.Dma.MinimumChannel = 0;
    d.u.Dma.MaximumChannel = 7;
    return d;
}

// A requirements list of one or more alternative lists, laid out as the bus
// driver hands it over.
class Requirements {
  public:
    explicit Requirements(std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>> lists)
    {
        size_t size = offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List);
        for (const auto &l : lists)
            size += offsetof(IO_RESOURCE_LIST, Descriptors) + l.size() * sizeof(IO_RESOURCE_DESCRIPTOR);
        storage_.assign((size + 7) / 8, 0);
        auto *req = Get();
        req->ListSize = (ULONG)size;
        req->InterfaceType = PCIBus;
        req->AlternativeLists = (ULONG)lists.size();
        auto *p = reinterpret_cast<unsigned char *>(req->List);
        for (const auto &l : lists) {
            auto *list = reinterpret_cast<PIO_RESOURCE_LIST>(p);
            list->Version = 1;
            list->Revision = 1;
            list->Count = (ULONG)l.size();
            memcpy(list->Descriptors, l.data(), l.size() * sizeof(IO_RESOURCE_DESCRIPTOR));
            p += offsetof(IO_RESOURCE_LIST, Descriptors) + l.size() * sizeof(IO_RESOURCE_DESCRIPTOR);
        }
    }
    PIO_RESOURCE_REQUIREMENTS_LIST Get() { return reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(storage_.data()); }

  private:
    std::vector<uint64_t> storage_;
};

// ---------------------------------------------------------------- chassis

class ChassisTest : public QuirksTest {
  protected:
    // 00:03.0 TI1420, the adapter's controller, buses 1..2 behind it;
    // 01:00.0 DEC21154 PCI-to-PCI bridge in the chassis, bus 2 behind it;
    // 02:02.0 a legacy card with an I/O, a memory and a prefetchable BAR;
    // 02:04.0 a VGA controller.
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
        bridge_->IoBase = 0x1010;
        bridge_->IoLength = 0x1000 - 0x10;
        bridge_->IoEnd = 0x2000;
        bridge_->MemBase = 0xE0000000;
        bridge_->MemLength = 0x100000;
        bridge_->MemEnd = 0xE0100000;
        bridge_->PreBase = 0xD0000000;
        bridge_->PreLength = 0x100000;
        bridge_->PreEnd = 0xD0100000;
        card_ = Attach({cardFn_});
        vga_ = Attach({vgaFn_, VGA});
        for (auto *f : {rootFn_, bridgeFn_, cardFn_, vgaFn_})
            f->ClearWriteLog();
    }

    // The trace without the LocateMe line that every mapping begins with.
    std::vector<std::string> MappingLines() const
    {
        std::vector<std::string> out;
        for (const auto &l : Lines())
            if (l.rfind("LocateMe:", 0) != 0)
                out.push_back(l);
        return out;
    }

    sim::PciFunction *rootFn_ = nullptr, *bridgeFn_ = nullptr, *cardFn_ = nullptr, *vgaFn_ = nullptr;
    PDEVICE_EXTENSION root_ = nullptr, bridge_ = nullptr, card_ = nullptr, vga_ = nullptr;
};

// ------------------------------------------------------- mapLegacyDevice

TEST_F(ChassisTest, MapLegacyOffDoesNothingAtAll)
{
    Build(0);
    Requirements req({{Port(0x20, 0x20), Private(0)}});

    mapLegacyDevice(card_, req.Get());

    EXPECT_EQ(Lines(), std::vector<std::string>{});
    EXPECT_EQ(cardFn_->WriteLog(), std::vector<Write>{}) << Describe(cardFn_->WriteLog());
    EXPECT_EQ(bridge_->IoBase, 0x1010u);
}

TEST_F(ChassisTest, MissingListIsReported)
{
    Build(1);

    mapLegacyDevice(card_, nullptr);

    EXPECT_EQ(Lines(), std::vector<std::string>{"WARNING mapLegacyDevice: pRes is NULL!!!"});
    EXPECT_EQ(cardFn_->WriteLog(), std::vector<Write>{}) << Describe(cardFn_->WriteLog());
}

TEST_F(ChassisTest, IoRequirementIsPlacedAtTheAlignedCursor)
{
    Build(1);
    Requirements req({{Port(0x20, 0x20), Private(0)}});

    mapLegacyDevice(card_, req.Get());

    EXPECT_EQ(cardFn_->WriteLog(), (std::vector<Write>{{0x10, 4, 0x1020}, {0x04, 2, 0x0007}}))
        << Describe(cardFn_->WriteLog());
    EXPECT_EQ(bridge_->IoBase, 0x1040u);
    EXPECT_EQ(Lines(), (std::vector<std::string>{"LocateMe: vid 0x1234-5678 @ 2:2:0",
                                                 "NOTE: mapping legacy device @ 2:2:0",
                                                 "mapLegacyDevice: mapping I/O bar #0 <== 0x1020",
                                                 "mapLegacyDevice: cmd reg <== 0x7"}));
    EXPECT_EQ(cardFn_->Peek16(0x04) & 0x7, 0x7);
}

TEST_F(ChassisTest, MemoryRequirementComesFromTheMemoryWindow)
{
    Build(1);
    Requirements req({{Mem(0x1000, 0x1000), Private(1)}});

    mapLegacyDevice(card_, req.Get());

    EXPECT_EQ(cardFn_->WriteLog(), (std::vector<Write>{{0x14, 4, 0xE0000000}, {0x04, 2, 0x0006}}))
        << Describe(cardFn_->WriteLog());
    EXPECT_EQ(bridge_->MemBase, 0xE0001000u);
    EXPECT_EQ(bridge_->PreBase, 0xD0000000u);
    EXPECT_EQ(MappingLines(), (std::vector<std::string>{"NOTE: mapping legacy device @ 2:2:0",
                                                        "mapLegacyDevice: mapping MEM bar #1 <== 0xe0000000",
                                                        "mapLegacyDevice: cmd reg <== 0x6"}));
}

TEST_F(ChassisTest, PrefetchableRequirementComesFromThePrefetchableWindow)
{
    Build(1);
    Requirements req({{Mem(0x1000, 0x1000, true), Private(2)}});

    mapLegacyDevice(card_, req.Get());

    EXPECT_EQ(cardFn_->WritesTo(0x18, 4), (std::vector<Write>{{0x18, 4, 0xD0000000}}))
        << Describe(cardFn_->WriteLog());
    EXPECT_EQ(bridge_->PreBase, 0xD0001000u);
    EXPECT_EQ(bridge_->MemBase, 0xE0000000u) << "memory cursor untouched";
}

TEST_F(ChassisTest, InterruptRequirementGetsTheRootControllersIrq)
{
    Build(1);
    Requirements req({{Irq()}});

    mapLegacyDevice(card_, req.Get());

    EXPECT_EQ(cardFn_->WriteLog(), (std::vector<Write>{{0x3C, 1, 11}, {0x04, 2, 0x0006}}))
        << Describe(cardFn_->WriteLog());
    EXPECT_EQ(MappingLines(), (std::vector<std::string>{"NOTE: mapping legacy device @ 2:2:0",
                                                        "mapLegacyDevice: mapping IRQ #11",
                                                        "mapLegacyDevice: readback 11",
                                                        "mapLegacyDevice: cmd reg <== 0x6"}));
}

TEST_F(ChassisTest, WholeCardInOneList)
{
    Build(1);
    Requirements req({{Port(0x20, 0x20), Private(0), Mem(0x1000, 0x1000), Private(1), Irq(),
                       Mem(0x1000, 0x1000, true), Private(2)}});

    mapLegacyDevice(card_, req.Get());

    EXPECT_EQ(cardFn_->WriteLog(), (std::vector<Write>{{0x10, 4, 0x1020},
                                                       {0x14, 4, 0xE0000000},
                                                       {0x3C, 1, 11},
                                                       {0x18, 4, 0xD0000000},
                                                       {0x04, 2, 0x0007}}))
        << Describe(cardFn_->WriteLog());
    EXPECT_EQ(cardFn_->Peek32(0x10), 0x1021u) << "I/O BAR as decoded";
    EXPECT_EQ(cardFn_->Peek32(0x14), 0xE0000000u);
}

TEST_F(ChassisTest, EveryAlternativeListIsPlacedAndTheCursorsAdvanceForAll)
{
    Build(1);
    Requirements req({{Port(0x20, 0x20), Private(0)}, {Port(0x20, 0x20), Private(0)}});

    mapLegacyDevice(card_, req.Get());

    EXPECT_EQ(cardFn_->WritesTo(0x10, 4), (std::vector<Write>{{0x10, 4, 0x1020}, {0x10, 4, 0x1040}}))
        << Describe(cardFn_->WriteLog());
    EXPECT_EQ(bridge_->IoBase, 0x1060u);
}

TEST_F(ChassisTest, BridgeByClassCodeIsNeverMapped)
{
    Build(1);
    Requirements req({{Port(0x20, 0x20), Private(0)}});

    mapLegacyDevice(bridge_, req.Get());

    EXPECT_EQ(MappingLines(), std::vector<std::string>{"mapLegacyDevice: ignoring bridge device..."});
    EXPECT_EQ(bridgeFn_->WriteLog(), std::vector<Write>{}) << Describe(bridgeFn_->WriteLog());
}

TEST_F(ChassisTest, FailedClassReadStillMaps)
{
    Build(1);
    bus_->SetConfigMode(card_->Pdo, sim::ConfigMode::Fail);
    Requirements req({{Port(0x20, 0x20), Private(0)}});

    mapLegacyDevice(card_, req.Get());

    // All-ones is no bridge class; the direct accesses do not use the stack.
    EXPECT_EQ(testsupport::CountContaining(Lines(), "ERROR! ReadPCIConfigW @ 0x8 failed"), 1u);
    EXPECT_EQ(cardFn_->WriteLog(), (std::vector<Write>{{0x10, 4, 0x1020}, {0x04, 2, 0x0007}}))
        << Describe(cardFn_->WriteLog());
}

TEST_F(ChassisTest, NoParentLeavesTheDeviceUntouched)
{
    Build(1);
    bridge_->SecBus = 7; // no filtered bridge has bus 2 behind it any more
    Requirements req({{Port(0x20, 0x20), Private(0)}});

    mapLegacyDevice(card_, req.Get());

    EXPECT_EQ(MappingLines(), (std::vector<std::string>{"NOTE: mapping legacy device @ 2:2:0",
                                                        "ERROR mapLegacyDevice: GetParent returned NULL"}));
    EXPECT_EQ(cardFn_->WriteLog(), std::vector<Write>{}) << Describe(cardFn_->WriteLog());
}

TEST_F(ChassisTest, NoRootLeavesTheDeviceUntouched)
{
    Build(1);
    root_->Flags &= ~ROOT;
    Requirements req({{Port(0x20, 0x20), Private(0)}});

    mapLegacyDevice(card_, req.Get());

    EXPECT_EQ(MappingLines(), (std::vector<std::string>{"NOTE: mapping legacy device @ 2:2:0",
                                                        "ERROR mapLegacyDevice: GetRoot returned NULL"}));
    EXPECT_EQ(cardFn_->WriteLog(), std::vector<Write>{}) << Describe(cardFn_->WriteLog());
    EXPECT_EQ(bridge_->IoBase, 0x1010u);
}

// Requirements the bus driver should never produce, and ranges that do not
// fit: each is skipped with a warning, its register and the cursor left alone.
struct SkipCase {
    const char *name;
    std::vector<IO_RESOURCE_DESCRIPTOR> list;
    std::string warning;
};

class MapSkipTest : public ChassisTest, public ::testing::WithParamInterface<SkipCase> {};

TEST_P(MapSkipTest, SkippedWithWarningCursorAndRegisterLeftAlone)
{
    Build(1);
    // Cursors near the ends of the windows for the does-not-fit cases.
    bridge_->IoBase = 0x1FF0;
    bridge_->MemBase = 0xE00FF000;
    bridge_->PreBase = 0xD00FF800;
    Requirements req({GetParam().list});

    mapLegacyDevice(card_, req.Get());

    EXPECT_EQ(MappingLines(), (std::vector<std::string>{"NOTE: mapping legacy device @ 2:2:0", GetParam().warning,
                                                        "mapLegacyDevice: cmd reg <== 0x6"}));
    EXPECT_EQ(cardFn_->WriteLog(), (std::vector<Write>{{0x04, 2, 0x0006}})) << Describe(cardFn_->WriteLog());
    EXPECT_EQ(bridge_->IoBase, 0x1FF0u);
    EXPECT_EQ(bridge_->MemBase, 0xE00FF000u);
    EXPECT_EQ(bridge_->PreBase, 0xD00FF800u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MapSkipTest,
    ::testing::Values(
        SkipCase{"PortLastOfItsList", {Port(0x8, 0x8)}, "WARNING mapLegacyDevice: desc 0 has no BAR index, skipped"},
        SkipCase{"MemoryFollowedByAnotherRequirement",
                 {Mem(0x100, 0x100), Dma()},
                 "WARNING mapLegacyDevice: desc 0 has no BAR index, skipped"},
        SkipCase{"IndexPastTheSixRegisters",
                 {Port(0x8, 0x8), Private(6)},
                 "WARNING mapLegacyDevice: desc 0 names BAR #6, skipped"},
        SkipCase{"PortPastTheWindowEnd",
                 {Port(0x20, 0x20), Private(0)},
                 "WARNING mapLegacyDevice: I/O bar #0 (0x20 bytes) does not fit at 0x1ff0, skipped"},
        SkipCase{"MemoryPastTheWindowEnd",
                 {Mem(0x2000, 0x1000), Private(1)},
                 "WARNING mapLegacyDevice: MEM bar #1 (0x2000 bytes) does not fit at 0xe00ff000, skipped"},
        SkipCase{"PrefetchableAlignedPastTheWindowEnd",
                 {Mem(0x1000, 0x1000, true), Private(2)},
                 "WARNING mapLegacyDevice: MEM bar #2 (0x1000 bytes) does not fit at 0xd00ff800, skipped"}),
    [](const ::testing::TestParamInfo<SkipCase> &info) { return std::string(info.param.name); });

TEST_F(ChassisTest, SkippedPortDoesNotStopTheWalk)
{
    // A skipped port does not stop the walk: the memory requirement after it
    // is still placed, and I/O space stays off.
    Build(1);
    Requirements req({{Port(0x20, 0x20), Mem(0x1000, 0x1000), Private(1)}});

    mapLegacyDevice(card_, req.Get());

    EXPECT_EQ(cardFn_->WriteLog(), (std::vector<Write>{{0x14, 4, 0xE0000000}, {0x04, 2, 0x0006}}))
        << Describe(cardFn_->WriteLog());
    EXPECT_EQ(testsupport::CountContaining(Lines(), "desc 0 has no BAR index"), 1u);
    EXPECT_EQ(bridge_->IoBase, 0x1010u);
}

TEST_F(ChassisTest, ZeroAlignmentPlacesAtTheCursor)
{
    Build(1);
    bridge_->IoBase = 0x1013;
    Requirements req({{Port(0x8, 0), Private(0)}});

    mapLegacyDevice(card_, req.Get());

    EXPECT_EQ(cardFn_->WritesTo(0x10, 4), (std::vector<Write>{{0x10, 4, 0x1013}})) << Describe(cardFn_->WriteLog());
    EXPECT_EQ(bridge_->IoBase, 0x101Bu);
}

TEST_F(ChassisTest, RangeEndingExactlyAtTheWindowEndFits)
{
    Build(1);
    bridge_->IoBase = 0x1FE0;
    Requirements req({{Port(0x20, 0x20), Private(0)}});

    mapLegacyDevice(card_, req.Get());

    EXPECT_EQ(cardFn_->WritesTo(0x10, 4), (std::vector<Write>{{0x10, 4, 0x1FE0}})) << Describe(cardFn_->WriteLog());
    EXPECT_EQ(bridge_->IoBase, 0x2000u);
}

TEST_F(ChassisTest, ParentWithoutSuchAWindowPlacesNothing)
{
    Build(1);
    bridge_->IoBase = 0;
    bridge_->IoLength = 0;
    bridge_->IoEnd = 0;
    Requirements req({{Port(0x20, 0x20), Private(0)}});

    mapLegacyDevice(card_, req.Get());

    EXPECT_EQ(testsupport::CountContaining(Lines(), "WARNING mapLegacyDevice: I/O bar #0 (0x20 bytes) does not fit"),
              1u)
        << testsupport::TraceText();
    EXPECT_EQ(cardFn_->WritesTo(0x10, 4).size(), 0u) << Describe(cardFn_->WriteLog());
    EXPECT_EQ(bridge_->IoBase, 0u);
}

TEST_F(ChassisTest, RoundingPastFourGigabytesDoesNotWrap)
{
    Build(1);
    bridge_->MemBase = 0xFFFFF800;
    bridge_->MemEnd = 0xFFFFFFFF;
    Requirements req({{Mem(0x100, 0x1000), Private(1)}});

    mapLegacyDevice(card_, req.Get());

    EXPECT_EQ(cardFn_->WritesTo(0x14, 4).size(), 0u) << Describe(cardFn_->WriteLog());
    EXPECT_EQ(bridge_->MemBase, 0xFFFFF800u);
}

TEST_F(ChassisTest, ListShorterThanItsCountsStopsTheWalk)
{
    Build(1);
    Requirements req({{Port(0x20, 0x20), Private(0)}});
    req.Get()->ListSize -= sizeof(IO_RESOURCE_DESCRIPTOR); // the tag falls outside

    mapLegacyDevice(card_, req.Get());

    EXPECT_EQ(MappingLines(), (std::vector<std::string>{
                                  "NOTE: mapping legacy device @ 2:2:0",
                                  "WARNING mapLegacyDevice: list 0 runs past the end of the requirements, stopped",
                                  "mapLegacyDevice: cmd reg <== 0x6"}));
    EXPECT_EQ(cardFn_->WritesTo(0x10, 4).size(), 0u);
}

// ------------------------------------------------------------- vgaEnable

TEST_F(ChassisTest, VgaTwoBridgesDeepTurnsOnForwardingInBoth)
{
    Build(0, 1);
    bridgeFn_->Poke16(0x3E, 0x0008); // already set: written all the same

    vgaEnable(vga_->DeviceObject);

    EXPECT_EQ(bridgeFn_->WritesTo(0x3E, 2), (std::vector<Write>{{0x3E, 2, 0x0008}}))
        << Describe(bridgeFn_->WriteLog());
    ASSERT_EQ(rootFn_->WritesTo(0x3E, 2).size(), 1u) << Describe(rootFn_->WriteLog());
    EXPECT_EQ(rootFn_->WritesTo(0x3E, 2)[0].value, (uint32_t)(sim::models::TI1420().bridgeControl | 0x0008));
    EXPECT_EQ(rootFn_->Peek16(0x3E) & 0x0008, 0x0008);
    EXPECT_EQ(Lines(), std::vector<std::string>{});
}

TEST_F(ChassisTest, VgaWithoutAliasOptionTouchesNothing)
{
    Build(0, 0);

    vgaEnable(vga_->DeviceObject);

    EXPECT_EQ(Lines(), std::vector<std::string>{});
    EXPECT_EQ(bridgeFn_->WriteLog(), std::vector<Write>{}) << Describe(bridgeFn_->WriteLog());
    EXPECT_EQ(rootFn_->WriteLog(), std::vector<Write>{}) << Describe(rootFn_->WriteLog());
}

class NotVgaTest : public ChassisTest, public ::testing::WithParamInterface<ULONG> {};

TEST_P(NotVgaTest, NonVgaDeviceIsReportedWhateverTheOption)
{
    Build(0, GetParam());

    vgaEnable(card_->DeviceObject);

    EXPECT_EQ(Lines(), std::vector<std::string>{"vgaEnable: Called but not a VGA device!!!"});
    EXPECT_EQ(bridgeFn_->WriteLog(), std::vector<Write>{}) << Describe(bridgeFn_->WriteLog());
}

INSTANTIATE_TEST_SUITE_P(VgaAlias, NotVgaTest, ::testing::Values(0u, 1u));

TEST_F(ChassisTest, VgaClimbStopsWhenABridgeIsItsOwnParent)
{
    Build(0, 1);
    // A bridge whose bus and secondary bus both read as 2 finds itself as
    // its own parent. (Its register access goes to 02:00.0, where nothing
    // answers.)
    bridge_->Bus = 2;

    vgaEnable(vga_->DeviceObject);

    EXPECT_EQ(rootFn_->WriteLog(), std::vector<Write>{}) << Describe(rootFn_->WriteLog());
    EXPECT_EQ(testsupport::CountContaining(Lines(), "WARNING vgaEnable: bridge chain loops at devObj"), 1u)
        << testsupport::TraceText();
}

// ----------------------------------------------------------- patchMatrox

TEST_F(ChassisTest, MatroxHookOnlyReports)
{
    Build(0);
    machine_.ClearCounters();

    patchMatrox(vga_);

    EXPECT_EQ(Lines(), std::vector<std::string>{"Leaving patchMatrox without doing a thing"});
    EXPECT_EQ(machine_.ConfigCycles(), 0u);
}

} // namespace
