// CardBus controller settings: bridge control, TI, Toshiba and O2Micro registers, I/O length.
#include "quirks_fixture.h"

using namespace quirkstest;

namespace {

TEST_F(QuirksTest, BridgeControlGetsPrefetchAndPostingOnlyWhenMissing)
{
    auto *cb = machine_.AddFunction(machine_.Root(), 3, 0, sim::models::TI1420());
    Power();
    PDEVICE_EXTENSION ext = Attach({cb, CB_BRIDGE, BRIDGE_TYPE_CARDBUS});
    const USHORT rows[][2] = {{0x0040, 0x0640}, {0x0440, 0x0640}, {0x0240, 0x0640}, {0x0640, 0x0640}, {0x07C0, 0x07C0}};
    for (const auto &r : rows) {
        cb->Poke16(0x3E, r[0]);
        cb->ClearWriteLog();
        setCbBridgeControl(ext, ext->DeviceObject);
        EXPECT_EQ(cb->WriteLog(), r[0] == r[1] ? Writes{} : WordsAsBytes({{0x3E, r[1]}}))
            << "read 0x" << std::hex << r[0];
        EXPECT_EQ(cb->Peek16(0x3E), r[1]);
    }

    // While any part of the location is unknown (only the low byte counts) nothing is read.
    cb->Poke16(0x3E, 0x0040);
    cb->ClearWriteLog();
    cb->ClearCounts();
    for (ULONG *field : {&ext->Bus, &ext->Device, &ext->Function}) {
        ULONG saved = *field;
        *field = 0x000000FF;
        setCbBridgeControl(ext, ext->DeviceObject);
        *field = saved;
    }
    EXPECT_EQ(cb->ReadCount(), 0u);
    EXPECT_EQ(Trace(), Lines{});

    bus_->SetConfigMode(ext->Pdo, sim::ConfigMode::Fail);
    setCbBridgeControl(ext, ext->DeviceObject);
    EXPECT_EQ(cb->WriteLog(), Writes{});
    EXPECT_EQ(Trace(), Lines{"ERROR! ReadPCIConfigW @ 0x3e failed"});
}

struct HackCase {
    const char *name;
    sim::DeviceModel (*inner)();
    ULONG innerFlags;
    bool onRoot;
    Writes writes;
    Lines lines;
};

class HackCbBridgeTest : public QuirksTest, public ::testing::WithParamInterface<HackCase> {};

// The adapter's controller at 00:03.0, another at 01:00.0: only a TI one behind it is patched.
TEST_P(HackCbBridgeTest, OnlyTiControllersBehindTheAdapterArePatched)
{
    const HackCase &c = GetParam();
    auto *root = machine_.AddFunction(machine_.Root(), 3, 0, sim::models::TI1420());
    auto *inner = machine_.AddFunction(machine_.SecondarySegment(root), 0, 0, c.inner());
    machine_.SetBusNumbers(root, 0, 1, 2);
    machine_.SetBusNumbers(inner, 1, 2, 2);
    Power();
    PDEVICE_EXTENSION rootExt = Attach({root, CB_BRIDGE | ROOT, BRIDGE_TYPE_CARDBUS, 0, 1, 2});
    PDEVICE_EXTENSION innerExt = Attach({inner, c.innerFlags, BRIDGE_TYPE_CARDBUS, 1, 2, 2});
    root->ClearWriteLog();
    inner->ClearWriteLog();

    hackCbBridge(c.onRoot ? rootExt : innerExt);

    EXPECT_EQ(inner->WriteLog(), c.writes);
    EXPECT_EQ(root->WriteLog(), Writes{});
    EXPECT_EQ(Trace(), c.lines);
}

const char *const kFound = "hackCbBridge: Found External PCI/CardBus Adapter";

INSTANTIATE_TEST_SUITE_P(
    Cases, HackCbBridgeTest,
    ::testing::Values(
        HackCase{"Ti1420GetsFourWordsInOrder", sim::models::TI1420, CB_BRIDGE, false,
                 WordsAsBytes({{0x8C, 0xCD22}, {0x8E, 0x0ECB}, {0x92, 0x6166}, {0x82, 0x0844}}),
                 {kFound, "hackCbBridge: Patching TI1420 Control Registers"}},
        HackCase{"Ti1131GetsThreeBytesInOrder", sim::models::TI1131, CB_BRIDGE, false,
                 {{0x8C, 1, 0xC7}, {0x8D, 1, 0xD1}, {0x8E, 1, 0x07}},
                 {kFound, "hackCbBridge: Patching TI1131 Control Registers"}},
        HackCase{"OtherControllerIsOnlyReported", sim::models::O2MicroOZ711, CB_BRIDGE, false, {}, {kFound}},
        HackCase{"RootControllerIsNeverPatched", sim::models::TI1420, CB_BRIDGE, true, {}, {}},
        HackCase{"NonCardBusDeviceIsNotPatched", sim::models::TI1420, P2P_BRIDGE, false, {}, {}}),
    [](const ::testing::TestParamInfo<HackCase> &info) { return std::string(info.param.name); });

// The ToPIC registers are noted as left; the two bytes set unless the option says not to.
TEST_F(QuirksTest, ToshibaSettingsAreNotedThenSetUnlessIgnored)
{
    auto *topic = machine_.AddFunction(machine_.Root(), 5, 0, sim::models::ToshibaToPIC());
    for (uint8_t off : {0xAF, 0xB0, 0xB5, 0xB6})
        topic->Poke8(off, off);
    Power();
    PDEVICE_EXTENSION ext = Attach({topic, CB_BRIDGE | ROOT, BRIDGE_TYPE_CARDBUS, 0, 1, 1});
    noteToshibaSettings(ext);
    EXPECT_EQ(Fresh(), (Lines{"noteToshibaSettings: 0xAF = 0xAF", "noteToshibaSettings: 0xB0 = 0xB0",
                              "noteToshibaSettings: 0xB5 = 0xB5", "noteToshibaSettings: 0xB6 = 0xB6"}));
    Configure({{"ignoreToshiba", 1}});
    topic->ClearWriteLog();
    setToPICBites(ext);
    EXPECT_EQ(Fresh(), Lines{"WARNING setToPICBites: ignoring ToPIC hack..."});
    EXPECT_EQ(topic->WriteLog(), Writes{});
    Configure({{"ignoreToshiba", 0}});
    setToPICBites(ext);
    EXPECT_EQ(topic->WriteLog(), (Writes{{0xAF, 1, 0x01}, {0xB6, 1, 0x00}}));
    // A return to D0 writes the two again, and nothing of a slot an earlier start left behind.
    ext->StartSettings[2] = {0x40, 1, 0x55};
    topic->ClearWriteLog();
    restoreStartSettings(ext);
    EXPECT_EQ(topic->WriteLog(), (Writes{{0xAF, 1, 0x01}, {0xB6, 1, 0x00}}));
}

// The option, no window or a failed mapping keep the settings from being made; mappings released.
TEST_F(QuirksTest, O2MicroWindowIsLeftAloneWhenIgnoredMissingOrUnmappable)
{
    const uint64_t base = 0xF8001000;
    int accesses = 0;
    standin::RegisterMmioWindow(base, 0x1000, [&](uint32_t, int) { return accesses++, 0u; }, [&](uint32_t, int, uint32_t) { accesses++; });
    auto *o2 = machine_.AddFunction(machine_.Root(), 4, 0, sim::models::O2MicroOZ711());
    Power();
    PDEVICE_EXTENSION ext = Attach({o2, CB_BRIDGE | ROOT, BRIDGE_TYPE_CARDBUS, 0, 1, 1});
    Configure({{"ignoreO2", 1}});
    ext->ExCa = (ULONG)base;
    setO2MicroBits(ext);
    EXPECT_EQ(Fresh(), Lines{"WARNING setO2MicroBits: ignoring O2Micro hack..."});
    Configure({{"ignoreO2", 0}});
    ext->ExCa = 0xFFFFFFFF;
    setO2MicroBits(ext);
    EXPECT_EQ(Fresh(), Lines{"WARNING setO2MicroBits: ExCa == -1"});
    EXPECT_EQ(standin::MapIoSpaceCalls(), 0u);
    ext->ExCa = (ULONG)base;
    standin::SetMapIoSpaceFails(true);
    setO2MicroBits(ext);
    EXPECT_EQ(standin::MapIoSpaceCalls(), 1u);
    EXPECT_EQ(accesses, 0);
    standin::SetMapIoSpaceFails(false);
    setO2MicroBits(ext);
    EXPECT_EQ(Fresh(), (Lines{"setO2MicroBits: before [0x00000000 and 0x00]",
                              "setO2MicroBits: after  [0x00000000 and 0x00]"}));
    EXPECT_EQ(standin::LiveMappingCount(), 0u) << "the window is unmapped again";
    standin::UnregisterMmioWindow(base);
}

// Two full descriptors: every I/O range gets the new length, keeping its start; memory left alone.
TEST_F(QuirksTest, IoLengthChangesEveryPortRangeAndNothingElse)
{
    hackIoLength(nullptr, 0x1000);
    struct {
        CM_RESOURCE_LIST head;                  // Count, first full descriptor, its first partial
        CM_PARTIAL_RESOURCE_DESCRIPTOR more[1]; // second partial of the first
        CM_FULL_RESOURCE_DESCRIPTOR second;     // with its one partial
    } list{};
    list.head.Count = list.head.List[0].PartialResourceList.Count = 2, list.second.PartialResourceList.Count = 1;
    PCM_PARTIAL_RESOURCE_DESCRIPTOR d = list.head.List[0].PartialResourceList.PartialDescriptors;
    PCM_PARTIAL_RESOURCE_DESCRIPTOR p = list.second.PartialResourceList.PartialDescriptors;
    d[0].Type = p[0].Type = CmResourceTypePort;
    d[1].Type = CmResourceTypeMemory;
    d[0].u.Port.Start.QuadPart = 0x3000, d[0].u.Port.Length = 0x100, d[1].u.Memory.Length = 0x200, p[0].u.Port.Length = 0x80;
    hackIoLength(&list.head, 0x1000);
    EXPECT_EQ((std::vector<ULONG>{d[0].u.Port.Start.LowPart, d[0].u.Port.Length, d[1].u.Memory.Length, p[0].u.Port.Length}),
              (std::vector<ULONG>{0x3000, 0x1000, 0x200, 0x1000}));
    EXPECT_EQ(Trace(), (Lines{"hackIoLength old = 0x100 new = 0x1000", "hackIoLength old = 0x80 new = 0x1000"}));
}

} // namespace
