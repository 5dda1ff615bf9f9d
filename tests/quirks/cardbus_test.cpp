// CardBus controller settings: PCI timers, bridge control, the TI, Toshiba
// and O2Micro registers, and the I/O length of checked builds.
#include "quirks_fixture.h"

#include <map>

using quirkstest::FilterSetup;
using quirkstest::QuirksTest;
using quirkstest::Write;

namespace {

// ------------------------------------------------------------ PCI timers

struct TimerCase {
    const char *name;
    ULONG bridgeType;
    std::vector<Write> expected;
};

class LatencyTimerTest : public QuirksTest, public ::testing::WithParamInterface<TimerCase> {};

TEST_P(LatencyTimerTest, WritesTimersAndBridgeLatencyOnlyForBridges)
{
    // 00:03.0 TI1420 CardBus controller; the timers go through its stack
    // whatever role the extension gives it.
    auto *cb = machine_.AddFunction(machine_.Root(), 3, 0, sim::models::TI1420());
    Power();
    PDEVICE_EXTENSION ext = Attach({cb, 0, GetParam().bridgeType});
    cb->ClearWriteLog();

    setLatencyTimers(ext->DeviceObject);

    EXPECT_EQ(cb->WriteLog(), GetParam().expected) << Describe(cb->WriteLog());
    EXPECT_EQ(cb->Peek8(0x0C), 0x10) << "cache line size";
    EXPECT_EQ(cb->Peek8(0x0D), 0xF8) << "latency timer";
}

INSTANTIATE_TEST_SUITE_P(
    BridgeTypes, LatencyTimerTest,
    // The word 0xF810 at 0x0C reaches the function as its two bytes.
    ::testing::Values(TimerCase{"OtherDevice", BRIDGE_TYPE_OTHER, {{0x0C, 1, 0x10}, {0x0D, 1, 0xF8}}},
                      TimerCase{"PciBridge", BRIDGE_TYPE_P2P, {{0x0C, 1, 0x10}, {0x0D, 1, 0xF8}, {0x1B, 1, 0xF8}}},
                      TimerCase{"CardBusBridge",
                                BRIDGE_TYPE_CARDBUS,
                                {{0x0C, 1, 0x10}, {0x0D, 1, 0xF8}, {0x1B, 1, 0xF8}}}),
    [](const ::testing::TestParamInfo<TimerCase> &info) { return std::string(info.param.name); });

// --------------------------------------------------------- bridge control

struct ControlCase {
    USHORT before;
    bool written;
    USHORT after;
};

class BridgeControlTest : public QuirksTest, public ::testing::WithParamInterface<ControlCase> {};

TEST_P(BridgeControlTest, SetsPrefetchAndPostingOnlyWhenMissing)
{
    auto *cb = machine_.AddFunction(machine_.Root(), 3, 0, sim::models::TI1420());
    cb->Poke16(0x3E, GetParam().before);
    Power();
    PDEVICE_EXTENSION ext = Attach({cb, CB_BRIDGE, BRIDGE_TYPE_CARDBUS});
    cb->ClearWriteLog();

    setCbBridgeControl(ext, ext->DeviceObject);

    std::vector<Write> expected;
    if (GetParam().written)
        expected = Bytes(0x3E, GetParam().after, 2);
    EXPECT_EQ(cb->WriteLog(), expected) << "control read 0x" << std::hex << GetParam().before << ": "
                                        << Describe(cb->WriteLog());
    EXPECT_EQ(cb->Peek16(0x3E), GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(ReadValues, BridgeControlTest,
                         ::testing::Values(ControlCase{0x0040, true, 0x0640}, ControlCase{0x0440, true, 0x0640},
                                           ControlCase{0x0240, true, 0x0640}, ControlCase{0x0640, false, 0x0640},
                                           ControlCase{0x07C0, false, 0x07C0}));

TEST_F(QuirksTest, BridgeControlLeftAloneWhileLocationUnknown)
{
    auto *cb = machine_.AddFunction(machine_.Root(), 3, 0, sim::models::TI1420());
    cb->Poke16(0x3E, 0x0040);
    Power();
    PDEVICE_EXTENSION ext = Attach({cb, CB_BRIDGE, BRIDGE_TYPE_CARDBUS});
    cb->ClearWriteLog();
    cb->ClearCounts();

    for (ULONG *field : {&ext->Bus, &ext->Device, &ext->Function}) {
        ULONG saved = *field;
        *field = 0x000000FF; // only the low byte counts
        setCbBridgeControl(ext, ext->DeviceObject);
        *field = saved;
    }

    EXPECT_EQ(cb->ReadCount(), 0u) << "not even read";
    EXPECT_EQ(cb->WriteLog(), std::vector<Write>{}) << Describe(cb->WriteLog());
}

TEST_F(QuirksTest, BridgeControlFailedReadWritesNothing)
{
    auto *cb = machine_.AddFunction(machine_.Root(), 3, 0, sim::models::TI1420());
    cb->Poke16(0x3E, 0x0040);
    Power();
    PDEVICE_EXTENSION ext = Attach({cb, CB_BRIDGE, BRIDGE_TYPE_CARDBUS});
    bus_->SetConfigMode(ext->Pdo, sim::ConfigMode::Fail);
    cb->ClearWriteLog();

    setCbBridgeControl(ext, ext->DeviceObject);

    EXPECT_EQ(cb->WriteLog(), std::vector<Write>{}) << Describe(cb->WriteLog());
    EXPECT_EQ(Lines(), std::vector<std::string>{"ERROR! ReadPCIConfigW @ 0x3e failed"});
}

// ------------------------------------------------------------ hackCbBridge

class HackCbBridgeTest : public QuirksTest {
  protected:
    // The adapter's controller at 00:03.0 and a second controller behind it
    // at 01:00.0.
    PDEVICE_EXTENSION Build(const sim::DeviceModel &inner, ULONG innerFlags)
    {
        auto *root = machine_.AddFunction(machine_.Root(), 3, 0, sim::models::TI1420());
        inner_ = machine_.AddFunction(machine_.SecondarySegment(root), 0, 0, inner);
        machine_.SetBusNumbers(root, 0, 1, 2);
        machine_.SetBusNumbers(inner_, 1, 2, 2);
        Power();
        root_ = Attach({root, CB_BRIDGE | ROOT, BRIDGE_TYPE_CARDBUS, 0, 1, 2});
        rootFunction_ = root;
        PDEVICE_EXTENSION ext = Attach({inner_, innerFlags, BRIDGE_TYPE_CARDBUS, 1, 2, 2});
        root->ClearWriteLog();
        inner_->ClearWriteLog();
        return ext;
    }
    sim::PciFunction *inner_ = nullptr;
    sim::PciFunction *rootFunction_ = nullptr;
    PDEVICE_EXTENSION root_ = nullptr;
};

TEST_F(HackCbBridgeTest, Ti1420BehindTheAdapterGetsFourWordsInOrder)
{
    PDEVICE_EXTENSION ext = Build(sim::models::TI1420(), CB_BRIDGE);

    hackCbBridge(ext);

    EXPECT_EQ(inner_->WriteLog(), Concat({Bytes(0x8C, 0xCD22, 2), Bytes(0x8E, 0x0ECB, 2), Bytes(0x92, 0x6166, 2),
                                          Bytes(0x82, 0x0844, 2)}))
        << Describe(inner_->WriteLog());
    EXPECT_EQ(Lines(), (std::vector<std::string>{"hackCbBridge: Found External PCI/CardBus Adapter",
                                                 "hackCbBridge: Patching TI1420 Control Registers"}));
}

TEST_F(HackCbBridgeTest, Ti1131BehindTheAdapterGetsThreeBytesInOrder)
{
    PDEVICE_EXTENSION ext = Build(sim::models::TI1131(), CB_BRIDGE);

    hackCbBridge(ext);

    EXPECT_EQ(inner_->WriteLog(), (std::vector<Write>{{0x8C, 1, 0xC7}, {0x8D, 1, 0xD1}, {0x8E, 1, 0x07}}))
        << Describe(inner_->WriteLog());
    auto lines = Lines();
    ASSERT_EQ(lines.size(), 2u) << testsupport::TraceText();
    EXPECT_EQ(lines[1], "hackCbBridge: Patching TI1131 Control Registers");
}

TEST_F(HackCbBridgeTest, OtherControllerBehindTheAdapterIsOnlyReported)
{
    PDEVICE_EXTENSION ext = Build(sim::models::O2MicroOZ711(), CB_BRIDGE);

    hackCbBridge(ext);

    EXPECT_EQ(inner_->WriteLog(), std::vector<Write>{}) << Describe(inner_->WriteLog());
    EXPECT_EQ(Lines(), std::vector<std::string>{"hackCbBridge: Found External PCI/CardBus Adapter"});
}

TEST_F(HackCbBridgeTest, RootControllerIsNeverPatchedEvenIfTi1420)
{
    Build(sim::models::TI1420(), CB_BRIDGE);

    hackCbBridge(root_);

    EXPECT_EQ(rootFunction_->WriteLog(), std::vector<Write>{}) << Describe(rootFunction_->WriteLog());
    EXPECT_EQ(Lines(), std::vector<std::string>{});
}

TEST_F(HackCbBridgeTest, NonCardBusDeviceIsNotPatched)
{
    PDEVICE_EXTENSION ext = Build(sim::models::TI1420(), P2P_BRIDGE);

    hackCbBridge(ext);

    EXPECT_EQ(inner_->WriteLog(), std::vector<Write>{}) << Describe(inner_->WriteLog());
    EXPECT_EQ(Lines(), std::vector<std::string>{});
}

// ----------------------------------------------------------------- Toshiba

class ToshibaTest : public QuirksTest {
  protected:
    PDEVICE_EXTENSION Build()
    {
        topic_ = machine_.AddFunction(machine_.Root(), 5, 0, sim::models::ToshibaToPIC());
        topic_->Poke8(0xAF, 0x12);
        topic_->Poke8(0xB0, 0x34);
        topic_->Poke8(0xB5, 0x56);
        topic_->Poke8(0xB6, 0x04);
        Power();
        PDEVICE_EXTENSION ext = Attach({topic_, CB_BRIDGE | ROOT, BRIDGE_TYPE_CARDBUS, 0, 1, 1});
        topic_->ClearWriteLog();
        return ext;
    }
    sim::PciFunction *topic_ = nullptr;
};

const std::vector<std::string> kToshibaNotes = {
    "noteToshibaSettings: 0xAF = 0x12", "noteToshibaSettings: 0xB0 = 0x34", "noteToshibaSettings: 0xB5 = 0x56",
    "noteToshibaSettings: 0xB6 = 0x04"};

TEST_F(ToshibaTest, SettingsAreNotedAndThenSetInOrder)
{
    PDEVICE_EXTENSION ext = Build();

    noteToshibaSettings(ext);
    EXPECT_EQ(topic_->WriteLog(), std::vector<Write>{}) << "noting writes nothing: " << Describe(topic_->WriteLog());
    setToPICBites(ext);

    EXPECT_EQ(Lines(), kToshibaNotes);
    EXPECT_EQ(topic_->WriteLog(), (std::vector<Write>{{0xAF, 1, 0x01}, {0xB6, 1, 0x00}}))
        << Describe(topic_->WriteLog());
    EXPECT_EQ(topic_->Peek8(0xAF), 0x01);
    EXPECT_EQ(topic_->Peek8(0xB6), 0x00);
}

TEST_F(ToshibaTest, IgnoreToshibaStillNotesButWritesNothing)
{
    Configure({{"ignoreToshiba", 1}});
    PDEVICE_EXTENSION ext = Build();

    noteToshibaSettings(ext);
    setToPICBites(ext);

    auto expected = kToshibaNotes;
    expected.push_back("WARNING setToPICBites: ignoring ToPIC hack...");
    EXPECT_EQ(Lines(), expected);
    EXPECT_EQ(topic_->WriteLog(), std::vector<Write>{}) << Describe(topic_->WriteLog());
}

// ----------------------------------------------------------------- O2Micro

// The O2Micro controller's socket/ExCA window as the machine decodes it:
// registers by offset, and every access in order.
struct O2Window {
    static constexpr uint64_t kBase = 0xF8001000;
    std::map<uint32_t, uint32_t> regs;
    std::vector<std::string> log;

    void Register()
    {
        standin::RegisterMmioWindow(
            kBase, 0x1000,
            [this](uint32_t offset, int width) {
                uint32_t v = regs[offset];
                log.push_back(Entry("R", offset, width, v));
                return v;
            },
            [this](uint32_t offset, int width, uint32_t value) {
                regs[offset] = value;
                log.push_back(Entry("W", offset, width, value));
            });
    }
    static std::string Entry(const char *kind, uint32_t offset, int width, uint32_t value)
    {
        char buf[48];
        snprintf(buf, sizeof(buf), "%s%d %03X=%X", kind, width * 8, offset, value);
        return buf;
    }
};

class O2MicroTest : public QuirksTest {
  protected:
    void SetUp() override
    {
        QuirksTest::SetUp();
        window_.regs[0x028] = 0x00010203;
        window_.regs[0x83D] = 0x05;
        window_.Register();
    }
    void TearDown() override
    {
        standin::UnregisterMmioWindow(O2Window::kBase);
        QuirksTest::TearDown();
    }
    // An O2Micro controller whose register window the start resources gave.
    PDEVICE_EXTENSION Build(ULONG exca)
    {
        auto *o2 = machine_.AddFunction(machine_.Root(), 4, 0, sim::models::O2MicroOZ711());
        Power();
        PDEVICE_EXTENSION ext = Attach({o2, CB_BRIDGE | ROOT, BRIDGE_TYPE_CARDBUS, 0, 1, 1});
        ext->ExCa = exca;
        return ext;
    }
    O2Window window_;
};

TEST_F(O2MicroTest, SetsWindowBitsThroughTheMappingAndReleasesIt)
{
    PDEVICE_EXTENSION ext = Build((ULONG)O2Window::kBase);

    setO2MicroBits(ext);

    EXPECT_EQ(Lines(), (std::vector<std::string>{"setO2MicroBits: before [0x00010203 and 0x05]",
                                                 "setO2MicroBits: after  [0x00010e03 and 0xC5]"}));
    EXPECT_EQ(window_.log, (std::vector<std::string>{"R32 028=10203", "R8 83D=5",          // before
                                                     "R32 028=10203", "W32 028=10E03",     // bits 10, 11
                                                     "R8 83D=5", "W8 83D=C5",              // bits 6, 7
                                                     "R32 028=10E03", "R8 83D=C5"}));      // after
    EXPECT_EQ(standin::MapIoSpaceCalls(), 1u);
    EXPECT_EQ(standin::LiveMappingCount(), 0u) << "the window is unmapped again";
}

TEST_F(O2MicroTest, SecondRunAfterPowerUpMapsAndReleasesAgain)
{
    PDEVICE_EXTENSION ext = Build((ULONG)O2Window::kBase);

    setO2MicroBits(ext);
    setO2MicroBits(ext);

    EXPECT_EQ(standin::MapIoSpaceCalls(), 2u);
    EXPECT_EQ(standin::LiveMappingCount(), 0u);
    auto lines = Lines();
    ASSERT_EQ(lines.size(), 4u) << testsupport::TraceText();
    EXPECT_EQ(lines[2], "setO2MicroBits: before [0x00010e03 and 0xC5]");
}

TEST_F(O2MicroTest, IgnoreO2WarnsAndMapsNothing)
{
    Configure({{"ignoreO2", 1}});
    PDEVICE_EXTENSION ext = Build((ULONG)O2Window::kBase);

    setO2MicroBits(ext);

    EXPECT_EQ(Lines(), std::vector<std::string>{"WARNING setO2MicroBits: ignoring O2Micro hack..."});
    EXPECT_EQ(standin::MapIoSpaceCalls(), 0u);
    EXPECT_TRUE(window_.log.empty());
}

TEST_F(O2MicroTest, NoWindowWarnsAndMapsNothing)
{
    PDEVICE_EXTENSION ext = Build(0xFFFFFFFF);

    setO2MicroBits(ext);

    EXPECT_EQ(Lines(), std::vector<std::string>{"WARNING setO2MicroBits: ExCa == -1"});
    EXPECT_EQ(standin::MapIoSpaceCalls(), 0u);
}

TEST_F(O2MicroTest, MappingFailureIsSilent)
{
    PDEVICE_EXTENSION ext = Build((ULONG)O2Window::kBase);
    standin::SetMapIoSpaceFails(true);

    setO2MicroBits(ext);

    EXPECT_EQ(Lines(), std::vector<std::string>{});
    EXPECT_EQ(standin::MapIoSpaceCalls(), 1u);
    EXPECT_TRUE(window_.log.empty());
    EXPECT_EQ(standin::LiveMappingCount(), 0u);
}

// ------------------------------------------------------------ hackIoLength

// A translated resource list of two full descriptors: the first with an I/O
// range and a memory range, the second with one I/O range.
struct TwoFullLists {
    CM_RESOURCE_LIST head;                          // Count, first full descriptor, its first partial
    CM_PARTIAL_RESOURCE_DESCRIPTOR firstMore[1];    // second partial of the first
    CM_FULL_RESOURCE_DESCRIPTOR second;             // with its one partial
};

TEST_F(QuirksTest, IoLengthChangesEveryPortRangeAndNothingElse)
{
    static_assert(offsetof(TwoFullLists, second) ==
                      offsetof(CM_RESOURCE_LIST, List) + sizeof(CM_FULL_RESOURCE_DESCRIPTOR) +
                          sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR),
                  "the list is laid out back to back");
    TwoFullLists list;
    memset(&list, 0, sizeof(list));
    list.head.Count = 2;
    list.head.List[0].PartialResourceList.Count = 2;
    PCM_PARTIAL_RESOURCE_DESCRIPTOR d = list.head.List[0].PartialResourceList.PartialDescriptors;
    d[0].Type = CmResourceTypePort;
    d[0].u.Port.Start.QuadPart = 0x3000;
    d[0].u.Port.Length = 0x100;
    d[1].Type = CmResourceTypeMemory;
    d[1].u.Memory.Start.QuadPart = 0xE0000000;
    d[1].u.Memory.Length = 0x200;
    list.second.PartialResourceList.Count = 1;
    PCM_PARTIAL_RESOURCE_DESCRIPTOR p = list.second.PartialResourceList.PartialDescriptors;
    p[0].Type = CmResourceTypePort;
    p[0].u.Port.Start.QuadPart = 0x4000;
    p[0].u.Port.Length = 0x80;

    hackIoLength(&list.head, 0x1000);

    EXPECT_EQ(Lines(), (std::vector<std::string>{"hackIoLength old = 0x100 new = 0x1000",
                                                 "hackIoLength old = 0x80 new = 0x1000"}));
    EXPECT_EQ(d[0].u.Port.Length, 0x1000u);
    EXPECT_EQ(d[0].u.Port.Start.QuadPart, 0x3000);
    EXPECT_EQ(p[0].u.Port.Length, 0x1000u);
    EXPECT_EQ(p[0].u.Port.Start.QuadPart, 0x4000);
    EXPECT_EQ(d[1].u.Memory.Length, 0x200u) << "memory range left alone";
    EXPECT_EQ(d[1].u.Memory.Start.QuadPart, 0xE0000000);
}

TEST_F(QuirksTest, IoLengthWithoutListDoesNothing)
{
    hackIoLength(nullptr, 0x1000);
    EXPECT_EQ(Lines(), std::vector<std::string>{});
}

} // namespace
