// The start sequence and power dispatch, judged by the registers they leave.
#include <gtest/gtest.h>

#include <map>

#include "pnp_harness.h"

using pnptest::Send;
using testsupport::CountContaining;
using testsupport::TraceLines;

namespace {

class StartTest : public pnptest::FilterTest {
  protected:
    pnptest::Result Start(PDEVICE_OBJECT filter, PCM_RESOURCE_LIST raw = nullptr, PCM_RESOURCE_LIST tr = nullptr)
    {
        return Send(filter, IRP_MN_START_DEVICE, [&](PIO_STACK_LOCATION s, PIRP) {
            s->Parameters.StartDevice.AllocatedResources = raw;
            s->Parameters.StartDevice.AllocatedResourcesTranslated = tr;
        });
    }
    pnptest::Result PowerUp(PDEVICE_OBJECT f) // to D0
    {
        return Send(f, IRP_MN_SET_POWER, [](PIO_STACK_LOCATION s, PIRP) {
            s->Parameters.Power.Type = DevicePowerState, s->Parameters.Power.State.DeviceState = PowerDeviceD0;
            s->Parameters.Power.ShutdownType = PowerActionSleep;
        }, IRP_MJ_POWER);
    }
    void Boot(const sim::DeviceModel &controller = sim::models::TI1420()) { BuildChassis(controller), FilterChassis(); }
};

// At the start and every return to D0: O2Micro window settings (not on the OZ6933) and ToPIC
// bytes, only on their own controllers.
struct VendorCase {
    const char *name;
    sim::DeviceModel (*model)();
    bool o2Settings, toshibaBytes;
};

void PrintTo(const VendorCase &c, std::ostream *os) { *os << c.name; }

class VendorSettingsTest : public StartTest, public ::testing::WithParamInterface<VendorCase> {};

TEST_P(VendorSettingsTest, OnlyTheirOwnControllersGetVendorSettings)
{
    const uint64_t base = 0xF8001000;
    std::map<uint32_t, uint32_t> regs;
    int accesses = 0;
    standin::RegisterMmioWindow(base, 0x1000, [&](uint32_t offset, int) { return accesses++, regs[offset]; },
                                [&](uint32_t offset, int, uint32_t value) { accesses++, regs[offset] = value; });
    Boot(GetParam().model());
    Ext(F(cb_))->ExCa = (ULONG)base; // as the start resources give it
    for (bool powerUp : {false, true}) {
        SCOPED_TRACE(powerUp ? "power-up" : "start");
        regs = {{0x028, 0x00010203}, {0x83D, 0x05}};
        accesses = 0;
        cb_->Poke8(0xAF, 0xFF);
        cb_->Poke8(0xB6, 0xFF);
        if (powerUp)
            PowerUp(F(cb_));
        else
            Start(F(cb_));
        if (GetParam().o2Settings) {
            EXPECT_EQ(regs[0x028], 0x00010E03u) << "bits 10 and 11";
            EXPECT_EQ(regs[0x83D], 0xC5u) << "bits 6 and 7";
        } else {
            EXPECT_EQ(accesses, 0);
        }
        EXPECT_EQ(cb_->Peek8(0xAF), GetParam().toshibaBytes ? 0x01 : 0xFF);
        EXPECT_EQ(cb_->Peek8(0xB6), GetParam().toshibaBytes ? 0x00 : 0xFF);
    }
    EXPECT_EQ(standin::LiveMappingCount(), 0u);
    standin::UnregisterMmioWindow(base);
}

INSTANTIATE_TEST_SUITE_P(Controllers, VendorSettingsTest,
                         ::testing::Values(VendorCase{"O2MicroOZ711", sim::models::O2MicroOZ711, true, false},
                                           VendorCase{"O2MicroOZ6933", sim::models::O2Micro6933, false, false},
                                           VendorCase{"TI1420", sim::models::TI1420, false, false},
                                           VendorCase{"ToshibaToPIC", sim::models::ToshibaToPIC, false, true}),
                         [](const ::testing::TestParamInfo<VendorCase> &info) { return std::string(info.param.name); });

// A checked build widens a PCI-to-PCI bridge's I/O ranges to 4 KB; other devices keep theirs.
// A start is dumped before and after, the VGA check between (the timers, latency and bridge control
// it sets: tests/system). A failed start adjusts nothing but still stalls.
TEST_F(StartTest, CheckedBuildWidensBridgeIoAndFailedStartAdjustsNothing)
{
    Configure({{"ticks", 0x2000}});
    standin::SetCheckedBuild(true);
    Boot();
    CM_RESOURCE_LIST raw{};
    auto &d = raw.List[0].PartialResourceList.PartialDescriptors[0];
    raw.Count = raw.List[0].PartialResourceList.Count = 1, d.Type = CmResourceTypePort, d.u.Port.Length = 0x100;
    CM_RESOURCE_LIST tr = raw, nic = raw;
    Start(F(p2p_), &raw, &tr);
    Start(F(nic_), &nic, &nic);
    auto length = [](CM_RESOURCE_LIST &l) { return l.List[0].PartialResourceList.PartialDescriptors[0].u.Port.Length; };
    EXPECT_EQ((std::vector<ULONG>{length(raw), length(tr), length(nic)}), (std::vector<ULONG>{0x1000, 0x1000, 0x100}));
    std::vector<size_t> at;
    for (const char *text : {"==== PrestartDevice PCI Space", "vgaEnable: Called but not", "==== startDevice PCI Space"})
        at.push_back(testsupport::TraceText().rfind(text));
    EXPECT_TRUE(at[0] < at[1] && at[1] < at[2] && at[2] != std::string::npos) << testsupport::TraceText();

    bus_->FailMinor(Pdo(vga_), IRP_MN_START_DEVICE, STATUS_UNSUCCESSFUL);
    vga_->ClearWriteLog();
    const size_t dumps = CountContaining(TraceLines(), "==== startDevice");
    uint64_t t0 = standin::VirtualMicroseconds();
    EXPECT_EQ(Start(F(vga_)).status, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(vga_->WriteLog().empty());
    EXPECT_EQ(standin::VirtualMicroseconds() - t0, 0x2000u);
    EXPECT_EQ(CountContaining(TraceLines(), "==== startDevice"), dumps);
}

// What the start set comes back at D0, once per register after two starts; VGA forwarding is only
// a display's business (the timers and the rest of the write-back: tests/system's sleep steps).
TEST_F(StartTest, PowerUpWritesBackOnceWhatTheStartsSet)
{
    Boot();
    auto *ti = machine_.AddFunction(machine_.SecondarySegment(p2p_), 4, 0, sim::models::TI1420());
    AddChildDevice(driver_, Pdo(ti), 2);
    LocateMe(Ext(F(ti)));
    Start(F(ti)), Start(F(ti));
    const uint16_t started = ti->Peek16(0x8C);
    ti->ResetVolatileState();
    ti->ClearWriteLog();
    const size_t vgaLines = CountContaining(TraceLines(), "vgaEnable");
    for (auto *fn : {ti, p2p_, nic_})
        EXPECT_EQ(PowerUp(F(fn)).status, STATUS_SUCCESS);
    EXPECT_EQ(ti->Peek16(0x8C), started);
    EXPECT_EQ(ti->WritesTo(0x8C, 2).size(), 1u) << "two starts, one write back";
    EXPECT_EQ(CountContaining(TraceLines(), "vgaEnable"), vgaLines);
}

// A pending power-up is finished later; a failed one, a wait-wake request and an unlocated device
// (all-ones numbers would address the decoy at ff:1f.7) write nothing (other power requests than
// a device's D0: tests/system).
TEST_F(StartTest, OnlyASuccessfulPowerUpOfALocatedDeviceWritesAnything)
{
    Configure({{"Verbose", 10}});
    auto *decoy = machine_.AddFunction(machine_.RootBus(0xFF), 0x1F, 7, sim::models::RTL8139());
    Boot();
    bus_->PendMinor(Pdo(nic_), 0x80 | IRP_MN_SET_POWER);
    EXPECT_EQ(PowerUp(F(nic_)).status, STATUS_SUCCESS);
    EXPECT_EQ(nic_->Peek8(0x0D), 0xF8);
    EXPECT_EQ(CountContaining(TraceLines(), "NOTE PowerUpComplete: marking Irp 0x"), 1u);

    bus_->FailMinor(Pdo(p2p_), 0x80 | IRP_MN_SET_POWER, STATUS_UNSUCCESSFUL);
    for (auto *fn : {p2p_, vga_, decoy})
        fn->ClearWriteLog();
    EXPECT_EQ(PowerUp(F(p2p_)).status, STATUS_UNSUCCESSFUL);
    Send(F(vga_), IRP_MN_WAIT_WAKE, nullptr, IRP_MJ_POWER);
    EXPECT_TRUE(p2p_->WriteLog().empty());
    EXPECT_TRUE(vga_->WriteLog().empty());
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "PowerUpComplete: VenId"), 1u) << "the pending one's only";
    EXPECT_EQ(CountContaining(lines, "location unknown"), 0u);
    EXPECT_EQ(CountContaining(lines, "PowerDispatch: IRP_MN_WAIT_WAKE"), 1u);

    PDEVICE_EXTENSION e = Ext(F(vga_));
    e->Bus = e->Device = e->Function = UNKNOWN_NUMBER;
    EXPECT_EQ(PowerUp(F(vga_)).status, STATUS_SUCCESS);
    EXPECT_EQ(Start(F(vga_)).status, STATUS_SUCCESS);
    EXPECT_TRUE(decoy->WriteLog().empty());
    lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "WARNING PowerUpComplete: location unknown, configuration left alone"), 1u);
    EXPECT_EQ(CountContaining(lines, "WARNING startDevice: location unknown, no patching"), 1u);
}

} // namespace
