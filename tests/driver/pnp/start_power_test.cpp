// The start sequence (its order and conditions) and power dispatch (power-ups
// re-programmed in the completion routine, everything else passed through).
#include <gtest/gtest.h>

#include "diag/irp_trace.h"
#include "pnp_harness.h"

using pnptest::SendPnp;
using pnptest::SendPower;
using testsupport::CountContaining;
using testsupport::TraceLines;

namespace {

const char kParams[] = "tolmu\\Parameters";

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
    // A controller of the given model at 00:03.0 filtered as the adapter's,
    // with a chassis bridge and a card behind it filtered as children.
    void Build(const sim::DeviceModel &controller)
    {
        cb_ = machine_.AddFunction(machine_.Root(), 3, 0, controller);
        machine_.SetBusNumbers(cb_, 0, 2, 5);
        p2p_ = machine_.AddFunction(machine_.SecondarySegment(cb_), 0, 0, sim::models::DEC21154());
        machine_.SetBusNumbers(p2p_, 2, 3, 3);
        nic_ = machine_.AddFunction(machine_.SecondarySegment(p2p_), 1, 0, sim::models::RTL8139());
        Load();
        AddDevice(driver_, bus_->PdoFor(cb_));
        AddChildDevice(driver_, bus_->PdoFor(p2p_), 1);
        AddChildDevice(driver_, bus_->PdoFor(nic_), 1);
        for (auto *fn : {p2p_, nic_})
            LocateMe(Ext(F(fn)));
    }
    PDEVICE_OBJECT F(sim::PciFunction *fn) { return FilterOn(bus_->PdoFor(fn)); }

    pnptest::Result Start(PDEVICE_OBJECT filter, PCM_RESOURCE_LIST raw = nullptr, PCM_RESOURCE_LIST tr = nullptr)
    {
        return SendPnp(filter, IRP_MN_START_DEVICE, [&](PIO_STACK_LOCATION s, PIRP) {
            s->Parameters.StartDevice.AllocatedResources = raw;
            s->Parameters.StartDevice.AllocatedResourcesTranslated = tr;
        });
    }

    sim::PciFunction *cb_ = nullptr, *p2p_ = nullptr, *nic_ = nullptr;
};

TEST_F(StartTest, OrdinaryDeviceGetsPatchesTimersAndVgaCheckButNoCardBusSteps)
{
    Build(sim::models::TI1420());
    nic_->ClearWriteLog();
    auto r = Start(F(nic_));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(nic_->Peek8(0x0C), 0x10);
    EXPECT_EQ(nic_->Peek8(0x0D), 0xF8);
    EXPECT_TRUE(nic_->WritesTo(0x1B).empty()) << "no secondary latency on a device";
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "==== PrestartDevice PCI Space"), 1u);
    EXPECT_EQ(CountContaining(lines, "==== startDevice PCI Space"), 1u);
    EXPECT_EQ(CountContaining(lines, "vgaEnable: Called but not a VGA device!!!"), 1u);
    EXPECT_EQ(CountContaining(lines, "hackCbBridge"), 0u);
    EXPECT_LT(LineOf(lines, "PrestartDevice"), LineOf(lines, "vgaEnable"));
    EXPECT_LT(LineOf(lines, "vgaEnable"), LineOf(lines, "==== startDevice"));
}

TEST_F(StartTest, BridgeAlsoGetsTheSecondaryLatency)
{
    Build(sim::models::TI1420());
    Start(F(p2p_));
    EXPECT_EQ(p2p_->Peek8(0x1B), 0xF8);
}

TEST_F(StartTest, RootControllerGetsBridgeControlButNoExternalPatch)
{
    Build(sim::models::TI1420());
    cb_->Poke16(0x3E, 0x0040);
    Start(F(cb_));
    EXPECT_EQ(cb_->Peek16(0x3E), 0x0640);
    EXPECT_EQ(CountContaining(TraceLines(), "hackCbBridge: Found External PCI/CardBus Adapter"), 0u);
}

TEST_F(StartTest, CardBusBridgeBehindTheAdapterIsPatched)
{
    Build(sim::models::O2MicroOZ711());
    auto *ti = machine_.AddFunction(machine_.SecondarySegment(p2p_), 4, 0, sim::models::TI1420());
    AddChildDevice(driver_, bus_->PdoFor(ti), 2);
    LocateMe(Ext(F(ti)));
    Start(F(ti));
    EXPECT_EQ(ti->Peek16(0x8C), 0xCD22);
    EXPECT_EQ(ti->Peek16(0x8E), 0x0ECB);
    EXPECT_EQ(ti->Peek16(0x92), 0x6166);
    EXPECT_EQ(ti->Peek16(0x82), 0x0844);
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "hackCbBridge: Found External PCI/CardBus Adapter"), 1u);
    EXPECT_EQ(CountContaining(lines, "hackCbBridge: Patching TI1420 Control Registers"), 1u);
}

TEST_F(StartTest, O2MicroGetsItsWindowBitsBetweenBridgeControlAndTheExternalCheck)
{
    Build(sim::models::O2MicroOZ711());
    // No register window in the start resources: the O2Micro step says so.
    Start(F(cb_));
    auto lines = TraceLines();
    int o2 = LineOf(lines, "WARNING setO2MicroBits: ExCa == -1");
    ASSERT_GE(o2, 0);
    EXPECT_LT(LineOf(lines, "==== PrestartDevice"), o2);
    EXPECT_LT(o2, LineOf(lines, "vgaEnable"));
}

TEST_F(StartTest, O2Micro6933IsLeftOut)
{
    Build(sim::models::O2Micro6933());
    Start(F(cb_));
    EXPECT_EQ(CountContaining(TraceLines(), "setO2MicroBits"), 0u);
}

TEST_F(StartTest, ToshibaSettingsAreNotedThenSetAfterTheExternalCheck)
{
    Build(sim::models::ToshibaToPIC());
    Start(F(cb_));
    auto lines = TraceLines();
    int note = LineOf(lines, "noteToshibaSettings: 0xAF = 0x");
    ASSERT_GE(note, 0);
    EXPECT_EQ(CountContaining(lines, "noteToshibaSettings: 0xB6 = 0x"), 1u);
    EXPECT_EQ(cb_->Peek8(0xAF), 0x01);
    EXPECT_EQ(cb_->Peek8(0xB6), 0x00);
    EXPECT_LT(note, LineOf(lines, "vgaEnable"));
}

TEST_F(StartTest, CheckedBuildWidensTheIoRangesOfAPciBridgeBeforeItStarts)
{
    standin::SetCheckedBuild(true);
    Build(sim::models::TI1420());
    CM_RESOURCE_LIST raw{};
    raw.Count = 1;
    raw.List[0].PartialResourceList.Count = 1;
    raw.List[0].PartialResourceList.PartialDescriptors[0].Type = CmResourceTypePort;
    raw.List[0].PartialResourceList.PartialDescriptors[0].u.Port.Start.QuadPart = 0x4000;
    raw.List[0].PartialResourceList.PartialDescriptors[0].u.Port.Length = 0x100;
    CM_RESOURCE_LIST tr = raw;
    Start(F(p2p_), &raw, &tr);
    EXPECT_EQ(raw.List[0].PartialResourceList.PartialDescriptors[0].u.Port.Length, 0x1000u);
    EXPECT_EQ(tr.List[0].PartialResourceList.PartialDescriptors[0].u.Port.Length, 0x1000u);
    EXPECT_EQ(CountContaining(TraceLines(), "hackIoLength old = 0x100 new = 0x1000"), 2u);
}

TEST_F(StartTest, FreeBuildKeepsIoLengths)
{
    Build(sim::models::TI1420());
    CM_RESOURCE_LIST raw{};
    raw.Count = 1;
    raw.List[0].PartialResourceList.Count = 1;
    raw.List[0].PartialResourceList.PartialDescriptors[0].Type = CmResourceTypePort;
    raw.List[0].PartialResourceList.PartialDescriptors[0].u.Port.Start.QuadPart = 0x4000;
    raw.List[0].PartialResourceList.PartialDescriptors[0].u.Port.Length = 0x100;
    Start(F(p2p_), &raw, &raw);
    EXPECT_EQ(raw.List[0].PartialResourceList.PartialDescriptors[0].u.Port.Length, 0x100u);
}

TEST_F(StartTest, FailedStartAdjustsNothingButStillStalls)
{
    standin::RegSetDword(kParams, "ticks", 0x2000);
    ReadConfiguration();
    Build(sim::models::TI1420());
    bus_->FailMinor(bus_->PdoFor(nic_), IRP_MN_START_DEVICE, STATUS_UNSUCCESSFUL);
    nic_->ClearWriteLog();
    uint64_t t0 = standin::VirtualMicroseconds();
    auto r = Start(F(nic_));
    EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(nic_->WriteLog().empty());
    EXPECT_EQ(standin::VirtualMicroseconds() - t0, 0x2000u);
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "Stalling execution for 0x2000 ticks"), 1u);
    EXPECT_EQ(CountContaining(lines, "vgaEnable"), 0u);
    EXPECT_EQ(CountContaining(lines, "==== startDevice"), 0u);
}

TEST_F(StartTest, ExtractedResourcesArePrintedFromVerbosityFive)
{
    for (ULONG verbose : {4u, 5u}) {
        SCOPED_TRACE(verbose);
        standin::RegSetDword(kParams, "Verbose", verbose);
        ReadConfiguration();
        if (!cb_)
            Build(sim::models::TI1420());
        size_t before = TraceLines().size();
        Start(F(p2p_));
        auto lines = TraceLines();
        std::vector<std::string> added(lines.begin() + before, lines.end());
        EXPECT_EQ(CountContaining(added, "Extracted Resources are:"), verbose >= 5 ? 1u : 0u);
    }
}

class PowerTest : public StartTest {
  protected:
    pnptest::Result SetPower(PDEVICE_OBJECT f, POWER_STATE_TYPE type, ULONG state, UCHAR minor = IRP_MN_SET_POWER)
    {
        return SendPower(f, minor, [&](PIO_STACK_LOCATION s) {
            s->Parameters.Power.Type = type;
            s->Parameters.Power.State.DeviceState = DEVICE_POWER_STATE(state);
            s->Parameters.Power.ShutdownType = PowerActionSleep;
        });
    }
};

TEST_F(PowerTest, PowerUpReprogramsWhatAPowerCycleLoses)
{
    Build(sim::models::TI1420());
    LocateMe(Ext(F(cb_)));
    SetPower(F(p2p_), DevicePowerState, PowerDeviceD3);
    p2p_->ResetVolatileState();
    EXPECT_NE(p2p_->Peek8(0x0D), 0xF8);
    auto r = SetPower(F(p2p_), DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(p2p_->Peek8(0x0C), 0x10);
    EXPECT_EQ(p2p_->Peek8(0x0D), 0xF8);
    EXPECT_EQ(p2p_->Peek8(0x1B), 0xF8);
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "PowerDispatch: IRP_MN_SET_POWER (0x10110026)"), 2u);
    EXPECT_EQ(CountContaining(lines, "               Type [Device] State [D0] Shutdown [Sleep]"), 1u);
    EXPECT_EQ(CountContaining(lines, "PowerUpComplete: VenId 0x1011-0026 @ 2:0:0"), 1u);
}

// A power cycle resets a CardBus bridge's bridge control and vendor
// registers; what the start sequence set there comes back at D0, once per
// register even after several starts, through the ports (no request can be
// waited for in the completion).
TEST_F(PowerTest, PowerUpWritesTheStartSettingsAgain)
{
    Build(sim::models::O2MicroOZ711());
    auto *ti = machine_.AddFunction(machine_.SecondarySegment(p2p_), 4, 0, sim::models::TI1420());
    AddChildDevice(driver_, bus_->PdoFor(ti), 2);
    LocateMe(Ext(F(ti)));
    Start(F(ti));
    Start(F(ti));
    const uint8_t offsets[] = {0x3E, 0x82, 0x8C, 0x8E, 0x92};
    std::vector<uint16_t> started;
    for (uint8_t o : offsets)
        started.push_back(ti->Peek16(o));
    ASSERT_EQ(started[0] & 0x0600, 0x0600);

    SetPower(F(ti), DevicePowerState, PowerDeviceD3);
    ti->ResetVolatileState();
    ASSERT_NE(ti->Peek16(0x8C), started[2]);
    ti->ClearWriteLog();
    SetPower(F(ti), DevicePowerState, PowerDeviceD0);
    for (size_t i = 0; i < sizeof offsets; i++)
        EXPECT_EQ(ti->Peek16(offsets[i]), started[i]) << "register " << int(offsets[i]);
    EXPECT_EQ(ti->WritesTo(0x8C, 2).size(), 1u) << "two starts, one write back";
}

TEST_F(PowerTest, DeviceGetsOnlyTheCacheLineAndLatencyWord)
{
    Build(sim::models::TI1420());
    nic_->ClearWriteLog();
    SetPower(F(nic_), DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(nic_->WritesTo(0x0C, 2).size(), 1u);
    EXPECT_TRUE(nic_->WritesTo(0x1B).empty());
    EXPECT_EQ(CountContaining(TraceLines(), "vgaEnable"), 0u) << "VGA forwarding is only a display's business";
}

TEST_F(PowerTest, PendingPowerUpIsMarkedAndFinishedLater)
{
    standin::RegSetDword(kParams, "Verbose", 10);
    ReadConfiguration();
    Build(sim::models::TI1420());
    bus_->PendMinor(bus_->PdoFor(nic_), 0x80 | IRP_MN_SET_POWER);
    auto r = SetPower(F(nic_), DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(nic_->Peek8(0x0D), 0xF8);
    EXPECT_EQ(CountContaining(TraceLines(), "NOTE PowerUpComplete: marking Irp 0x"), 1u);
}

TEST_F(PowerTest, FailedPowerUpWritesNothing)
{
    Build(sim::models::TI1420());
    bus_->FailMinor(bus_->PdoFor(nic_), 0x80 | IRP_MN_SET_POWER, STATUS_UNSUCCESSFUL);
    nic_->ClearWriteLog();
    auto r = SetPower(F(nic_), DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(nic_->WriteLog().empty());
    EXPECT_EQ(CountContaining(TraceLines(), "PowerUpComplete"), 0u);
}

TEST_F(PowerTest, EverythingElseIsPassedThroughUntouched)
{
    Build(sim::models::TI1420());
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

TEST_F(PowerTest, IsPowerUpIrpKnowsOnlyDeviceD0SetPower)
{
    struct HandIrp {
        IRP irp{};
        IO_STACK_LOCATION loc[1]{};
    } h;
    h.irp.Tail.Overlay.CurrentStackLocation = &h.loc[0];
    h.loc[0].MinorFunction = IRP_MN_SET_POWER;
    h.loc[0].Parameters.Power.Type = DevicePowerState;
    h.loc[0].Parameters.Power.State.DeviceState = PowerDeviceD0;
    EXPECT_TRUE(IsPowerUpIrp(&h.irp));
    h.loc[0].Parameters.Power.Type = SystemPowerState;
    EXPECT_FALSE(IsPowerUpIrp(&h.irp));
    h.loc[0].Parameters.Power.Type = DevicePowerState;
    h.loc[0].MinorFunction = IRP_MN_QUERY_POWER;
    EXPECT_FALSE(IsPowerUpIrp(&h.irp));
}

TEST_F(PowerTest, UnknownPowerMinorIsNamedAndPassedOn)
{
    Build(sim::models::TI1420());
    SendPower(F(nic_), 4, nullptr);
    auto lines = TraceLines();
    int warn = LineOf(lines, "WARNING PowerMinorFunctionString: Unknown IRP_MN_0x4");
    ASSERT_GE(warn, 0);
    EXPECT_EQ(lines[warn + 1], "PowerDispatch: IRP_MN_????? (0x10ec8139)");
}

} // namespace

// A device whose location the bus driver never told keeps all-ones numbers;
// written through the ports they would address ff:1f.7. A decoy there shows
// that power-up and start write nothing directly then.
class UnknownLocationTest : public PowerTest {
  protected:
    void SetUp() override
    {
        PowerTest::SetUp();
        decoy_ = machine_.AddFunction(machine_.RootBus(0xFF), 0x1F, 7, sim::models::RTL8139());
        Build(sim::models::TI1420());
        PDEVICE_EXTENSION e = Ext(F(p2p_));
        e->Bus = e->Device = e->Function = UNKNOWN_NUMBER;
        decoy_->ClearWriteLog();
    }
    sim::PciFunction *decoy_ = nullptr;
};

TEST_F(UnknownLocationTest, PowerUpWritesNothingThroughThePorts)
{
    EXPECT_EQ(SetPower(F(p2p_), DevicePowerState, PowerDeviceD0).status, STATUS_SUCCESS);
    EXPECT_TRUE(decoy_->WriteLog().empty());
    EXPECT_EQ(CountContaining(TraceLines(), "WARNING PowerUpComplete: location unknown, configuration left alone"), 1u);
}

TEST_F(UnknownLocationTest, StartPatchesNothingThroughThePorts)
{
    EXPECT_EQ(Start(F(p2p_)).status, STATUS_SUCCESS);
    EXPECT_TRUE(decoy_->WriteLog().empty());
    EXPECT_EQ(CountContaining(TraceLines(), "WARNING startDevice: location unknown, no patching"), 1u);
}
