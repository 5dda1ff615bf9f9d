// The start sequence (its steps, order and conditions) and power dispatch
// (power-ups re-programmed in the completion routine, everything else passed
// through), judged by the registers they leave.
#include <gtest/gtest.h>

#include <map>

#include "pnp_harness.h"

using pnptest::SendPnp;
using pnptest::SendPower;
using testsupport::CountContaining;
using testsupport::TraceLines;

namespace {

// Index of the first trace line containing text, or -1.
int LineOf(const std::vector<std::string> &lines, const std::string &text)
{
    for (size_t i = 0; i < lines.size(); i++)
        if (lines[i].find(text) != std::string::npos)
            return int(i);
    return -1;
}

class StartTest : public pnptest::FilterTest {
  protected:
    pnptest::Result Start(PDEVICE_OBJECT filter, PCM_RESOURCE_LIST raw = nullptr, PCM_RESOURCE_LIST tr = nullptr)
    {
        return SendPnp(filter, IRP_MN_START_DEVICE, [&](PIO_STACK_LOCATION s, PIRP) {
            s->Parameters.StartDevice.AllocatedResources = raw;
            s->Parameters.StartDevice.AllocatedResourcesTranslated = tr;
        });
    }
    pnptest::Result SetPower(PDEVICE_OBJECT f, POWER_STATE_TYPE type, ULONG state, UCHAR minor = IRP_MN_SET_POWER)
    {
        return SendPower(f, minor, [&](PIO_STACK_LOCATION s) {
            s->Parameters.Power.Type = type;
            s->Parameters.Power.State.DeviceState = DEVICE_POWER_STATE(state);
            s->Parameters.Power.ShutdownType = PowerActionSleep;
        });
    }
    // A TI1420 behind the chassis bridge: a CardBus controller behind the
    // adapter, filtered and located.
    sim::PciFunction *AddInnerController()
    {
        auto *ti = machine_.AddFunction(machine_.SecondarySegment(p2p_), 4, 0, sim::models::TI1420());
        AddChildDevice(driver_, Pdo(ti), 2);
        LocateMe(Ext(F(ti)));
        return ti;
    }
};

// Every device gets the patch table, its timers and the VGA check in that
// order between the two dumps; bridges also get the secondary latency; the
// adapter's controller its bridge control but not the patch for controllers
// behind the adapter, which a TI1420 behind the chassis bridge gets.
TEST_F(StartTest, EachDeviceGetsTheStepsItsKindNeeds)
{
    BuildChassis(sim::models::TI1420());
    FilterChassis();
    cb_->Poke16(0x3E, 0x0040);
    nic_->ClearWriteLog();
    EXPECT_EQ(Start(F(nic_)).status, STATUS_SUCCESS);
    EXPECT_EQ(nic_->Peek16(0x0C), 0xF810);
    EXPECT_TRUE(nic_->WritesTo(0x1B).empty()) << "no secondary latency on a device";
    auto lines = TraceLines();
    EXPECT_LT(LineOf(lines, "==== PrestartDevice PCI Space"), LineOf(lines, "vgaEnable: Called but not a VGA device"));
    EXPECT_LT(LineOf(lines, "vgaEnable"), LineOf(lines, "==== startDevice PCI Space"));

    Start(F(p2p_));
    EXPECT_EQ(p2p_->Peek8(0x1B), 0xF8);
    Start(F(cb_));
    EXPECT_EQ(cb_->Peek16(0x3E), 0x0640);
    EXPECT_EQ(CountContaining(TraceLines(), "hackCbBridge"), 0u);

    auto *ti = AddInnerController();
    Start(F(ti));
    EXPECT_EQ(ti->Peek16(0x8C), 0xCD22);
    EXPECT_EQ(ti->Peek16(0x82), 0x0844);
    EXPECT_EQ(CountContaining(TraceLines(), "hackCbBridge: Patching TI1420 Control Registers"), 1u);
}

// The O2Micro socket settings live in the controller's register window; only
// O2Micro controllers that have them (not the OZ6933) get them, at the start
// and again at every return to D0. Any other controller's window is not
// touched.
struct O2Case {
    const char *name;
    sim::DeviceModel (*model)();
    bool getsSettings;
};

class O2SettingsTest : public StartTest, public ::testing::WithParamInterface<O2Case> {};

TEST_P(O2SettingsTest, OnlyO2MicroControllersGetTheirWindowSettings)
{
    const uint64_t base = 0xF8001000;
    std::map<uint32_t, uint32_t> regs;
    int accesses = 0;
    standin::RegisterMmioWindow(
        base, 0x1000,
        [&](uint32_t offset, int) {
            accesses++;
            return regs[offset];
        },
        [&](uint32_t offset, int, uint32_t value) {
            accesses++;
            regs[offset] = value;
        });
    BuildChassis(GetParam().model());
    FilterChassis();
    Ext(F(cb_))->ExCa = (ULONG)base; // as the start resources give it
    for (int step = 0; step < 2; step++) {
        regs = {{0x028, 0x00010203}, {0x83D, 0x05}};
        accesses = 0;
        if (step == 0)
            Start(F(cb_));
        else
            SetPower(F(cb_), DevicePowerState, PowerDeviceD0);
        SCOPED_TRACE(step == 0 ? "start" : "power-up");
        if (GetParam().getsSettings) {
            EXPECT_EQ(regs[0x028], 0x00010E03u) << "bits 10 and 11";
            EXPECT_EQ(regs[0x83D], 0xC5u) << "bits 6 and 7";
        } else {
            EXPECT_EQ(accesses, 0);
        }
    }
    EXPECT_EQ(standin::LiveMappingCount(), 0u);
    standin::UnregisterMmioWindow(base);
}

INSTANTIATE_TEST_SUITE_P(Controllers, O2SettingsTest,
                         ::testing::Values(O2Case{"O2MicroOZ711", sim::models::O2MicroOZ711, true},
                                           O2Case{"O2MicroOZ6933", sim::models::O2Micro6933, false},
                                           O2Case{"TI1420", sim::models::TI1420, false},
                                           O2Case{"ToshibaToPIC", sim::models::ToshibaToPIC, false}),
                         [](const ::testing::TestParamInfo<O2Case> &info) { return std::string(info.param.name); });

TEST_F(StartTest, ToshibaSettingsAreNotedThenSet)
{
    BuildChassis(sim::models::ToshibaToPIC());
    FilterChassis();
    Start(F(cb_));
    EXPECT_EQ(cb_->Peek8(0xAF), 0x01);
    EXPECT_EQ(cb_->Peek8(0xB6), 0x00);
    EXPECT_EQ(CountContaining(TraceLines(), "noteToshibaSettings: 0xB6 = 0x"), 1u);
}

// A checked build's PCI driver starts a PCI-to-PCI bridge only with I/O
// ranges of its 4 KB granularity; other devices keep theirs.
TEST_F(StartTest, CheckedBuildWidensTheIoRangesOfAPciBridgeOnly)
{
    standin::SetCheckedBuild(true);
    BuildChassis(sim::models::TI1420());
    FilterChassis();
    CM_RESOURCE_LIST raw{};
    raw.Count = 1;
    raw.List[0].PartialResourceList.Count = 1;
    raw.List[0].PartialResourceList.PartialDescriptors[0].Type = CmResourceTypePort;
    raw.List[0].PartialResourceList.PartialDescriptors[0].u.Port.Length = 0x100;
    CM_RESOURCE_LIST tr = raw, nic = raw;
    Start(F(p2p_), &raw, &tr);
    Start(F(nic_), &nic, &nic);
    EXPECT_EQ(raw.List[0].PartialResourceList.PartialDescriptors[0].u.Port.Length, 0x1000u);
    EXPECT_EQ(tr.List[0].PartialResourceList.PartialDescriptors[0].u.Port.Length, 0x1000u);
    EXPECT_EQ(nic.List[0].PartialResourceList.PartialDescriptors[0].u.Port.Length, 0x100u);
}

TEST_F(StartTest, FailedStartAdjustsNothingButStillStalls)
{
    Configure({{"ticks", 0x2000}});
    BuildChassis(sim::models::TI1420());
    FilterChassis();
    bus_->FailMinor(Pdo(nic_), IRP_MN_START_DEVICE, STATUS_UNSUCCESSFUL);
    nic_->ClearWriteLog();
    uint64_t t0 = standin::VirtualMicroseconds();
    EXPECT_EQ(Start(F(nic_)).status, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(nic_->WriteLog().empty());
    EXPECT_EQ(standin::VirtualMicroseconds() - t0, 0x2000u);
    EXPECT_EQ(CountContaining(TraceLines(), "==== startDevice"), 0u);
}

TEST_F(StartTest, ExtractedResourcesArePrintedFromVerbosityFive)
{
    BuildChassis(sim::models::TI1420());
    FilterChassis();
    for (ULONG verbose : {4u, 5u}) {
        SetVerbose(verbose);
        Start(F(p2p_));
        EXPECT_EQ(CountContaining(TraceLines(), "Extracted Resources are:"), verbose >= 5 ? 1u : 0u) << verbose;
    }
}

// A power cycle loses the timers, the bridge control and vendor registers;
// what the start sequence set comes back at D0, once per register even after
// two starts. A plain device gets only its timer word.
TEST_F(StartTest, PowerUpWritesBackWhatAPowerCycleLoses)
{
    BuildChassis(sim::models::O2MicroOZ711());
    FilterChassis();
    auto *ti = AddInnerController();
    Start(F(ti));
    Start(F(ti));
    const uint8_t offsets[] = {0x0C, 0x3E, 0x82, 0x8C, 0x8E, 0x92};
    std::vector<uint16_t> started;
    for (uint8_t o : offsets)
        started.push_back(ti->Peek16(o));
    ASSERT_EQ(started[1] & 0x0600, 0x0600);
    for (auto *fn : {ti, p2p_, nic_}) {
        SetPower(F(fn), DevicePowerState, PowerDeviceD3);
        fn->ResetVolatileState();
        fn->ClearWriteLog();
    }
    ASSERT_NE(ti->Peek16(0x8C), started[3]);
    const size_t vgaLines = CountContaining(TraceLines(), "vgaEnable");

    for (auto *fn : {ti, p2p_, nic_})
        EXPECT_EQ(SetPower(F(fn), DevicePowerState, PowerDeviceD0).status, STATUS_SUCCESS);
    for (size_t i = 0; i < sizeof offsets; i++)
        EXPECT_EQ(ti->Peek16(offsets[i]), started[i]) << "register " << int(offsets[i]);
    EXPECT_EQ(ti->WritesTo(0x8C, 2).size(), 1u) << "two starts, one write back";
    EXPECT_EQ(ti->Peek8(0x1B), 0xF8);
    EXPECT_EQ(p2p_->Peek16(0x0C), 0xF810);
    EXPECT_EQ(p2p_->Peek8(0x1B), 0xF8);
    EXPECT_EQ(nic_->Peek16(0x0C), 0xF810);
    EXPECT_TRUE(nic_->WritesTo(0x1B).empty());
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "PowerUpComplete: VenId 0x1011-0026 @ 2:0:0"), 1u);
    EXPECT_EQ(CountContaining(lines, "               Type [Device] State [D0] Shutdown [Sleep]"), 3u);
    EXPECT_EQ(CountContaining(lines, "vgaEnable"), vgaLines) << "VGA forwarding is only a display's business";
}

TEST_F(StartTest, PendingPowerUpIsMarkedAndFinishedLaterAndAFailedOneWritesNothing)
{
    Configure({{"Verbose", 10}});
    BuildChassis(sim::models::TI1420());
    FilterChassis();
    bus_->PendMinor(Pdo(nic_), 0x80 | IRP_MN_SET_POWER);
    EXPECT_EQ(SetPower(F(nic_), DevicePowerState, PowerDeviceD0).status, STATUS_SUCCESS);
    EXPECT_EQ(nic_->Peek8(0x0D), 0xF8);
    EXPECT_EQ(CountContaining(TraceLines(), "NOTE PowerUpComplete: marking Irp 0x"), 1u);

    bus_->FailMinor(Pdo(p2p_), 0x80 | IRP_MN_SET_POWER, STATUS_UNSUCCESSFUL);
    p2p_->ClearWriteLog();
    EXPECT_EQ(SetPower(F(p2p_), DevicePowerState, PowerDeviceD0).status, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(p2p_->WriteLog().empty());
    EXPECT_EQ(CountContaining(TraceLines(), "PowerUpComplete: VenId 0x1011"), 0u);
}

TEST_F(StartTest, EveryOtherPowerRequestIsPassedThroughUntouched)
{
    BuildChassis(sim::models::TI1420());
    FilterChassis();
    nic_->ClearWriteLog();
    SetPower(F(nic_), SystemPowerState, PowerSystemWorking); // S0 has the value of D0
    SetPower(F(nic_), DevicePowerState, PowerDeviceD0, IRP_MN_QUERY_POWER);
    SetPower(F(nic_), DevicePowerState, PowerDeviceD3);
    SendPower(F(nic_), IRP_MN_WAIT_WAKE, nullptr);
    EXPECT_TRUE(nic_->WriteLog().empty());
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "PowerUpComplete"), 0u);
    EXPECT_EQ(CountContaining(lines, "Type [System] State [ Working  ]"), 1u);
    EXPECT_EQ(CountContaining(lines, "PowerDispatch: IRP_MN_WAIT_WAKE"), 1u);
}

// A device whose location the bus driver never told keeps all-ones numbers;
// written through the ports they would address ff:1f.7. A decoy there shows
// that power-up and start write nothing directly then.
TEST_F(StartTest, UnknownLocationWritesNothingThroughThePorts)
{
    auto *decoy = machine_.AddFunction(machine_.RootBus(0xFF), 0x1F, 7, sim::models::RTL8139());
    BuildChassis(sim::models::TI1420());
    FilterChassis();
    PDEVICE_EXTENSION e = Ext(F(p2p_));
    e->Bus = e->Device = e->Function = UNKNOWN_NUMBER;
    decoy->ClearWriteLog();
    EXPECT_EQ(SetPower(F(p2p_), DevicePowerState, PowerDeviceD0).status, STATUS_SUCCESS);
    EXPECT_EQ(Start(F(p2p_)).status, STATUS_SUCCESS);
    EXPECT_TRUE(decoy->WriteLog().empty());
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "WARNING PowerUpComplete: location unknown, configuration left alone"), 1u);
    EXPECT_EQ(CountContaining(lines, "WARNING startDevice: location unknown, no patching"), 1u);
}

} // namespace
