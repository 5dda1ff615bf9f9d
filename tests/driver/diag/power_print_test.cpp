// Power names, the power-parameters line and the capabilities print.
#include "diag_fixture.h"

namespace {

using namespace diagtest;

TEST_F(DiagTest, PowerNamesCoverEveryValueAndFallBackOutOfRange)
{
    struct Row {
        ULONG value;
        const char *system, *device, *action;
    };
    const Row rows[] = {
        {0, "Unspecific", "Unspecified", "ActionNone"}, {1, " Working  ", "D0", "Reserved"},
        {2, "Sleeping-1", "D1", "Sleep"},               {3, "Sleeping-2", "D2", "Hibernate"},
        {4, "Sleeping-3", "D3", "Shutdown"},            {5, "Hibernate ", "Maximum", "ShutdownReset"},
        {6, " Shutdown ", "Unspecified", "ShutdownOff"}, {7, " Maximum  ", "Unspecified", "WarmEject"},
        {8, "Unspecific", "Unspecified", "ActionNone"}, {0xFFFFFFFF, "Unspecific", "Unspecified", "ActionNone"}};
    for (const Row &r : rows) {
        EXPECT_STREQ(SystemPowerStateString(r.value), r.system) << "value " << r.value;
        EXPECT_STREQ(DevicePowerStateString(r.value), r.device) << "value " << r.value;
        EXPECT_STREQ(PowerActionString(r.value), r.action) << "value " << r.value;
    }
    const char *minors[] = {"IRP_MN_WAIT_WAKE", "IRP_MN_POWER_SEQUENCE", "IRP_MN_SET_POWER", "IRP_MN_QUERY_POWER"};
    for (UCHAR m = 0; m < 4; m++)
        EXPECT_STREQ(PowerMinorFunctionString(m), minors[m]);
    EXPECT_EQ(Take(), Lines{});
    for (UCHAR m : {4, 7, 0xFF}) {
        EXPECT_STREQ(PowerMinorFunctionString(m), "IRP_MN_?????");
        EXPECT_EQ(Take(), Lines{Fmt("WARNING PowerMinorFunctionString: Unknown IRP_MN_0x%x", (unsigned)m)});
    }
}

TEST_F(DiagTest, PowerParametersArePrintedForSetAndQueryPowerOnly)
{
    struct Row {
        UCHAR minor;
        POWER_STATE_TYPE type;
        ULONG state;
        POWER_ACTION action;
        const char *line;
    };
    const Row rows[] = {
        {IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3, PowerActionSleep,
         "Type [System] State [Sleeping-3] Shutdown [Sleep]"},
        {IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3, PowerActionNone,
         "Type [Device] State [D3] Shutdown [ActionNone]"},
        {IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemWorking, PowerActionShutdownReset,
         "Type [System] State [ Working  ] Shutdown [ShutdownReset]"},
        {IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD0, PowerActionWarmEject,
         "Type [Device] State [D0] Shutdown [WarmEject]"},
        {IRP_MN_WAIT_WAKE, SystemPowerState, PowerSystemSleeping3, PowerActionSleep, nullptr},
        {IRP_MN_POWER_SEQUENCE, SystemPowerState, PowerSystemSleeping3, PowerActionSleep, nullptr},
        {4, SystemPowerState, PowerSystemSleeping3, PowerActionSleep, nullptr}};
    for (const Row &r : rows) {
        HandIrp irp(IRP_MJ_POWER, r.minor);
        irp.Stack()->Parameters.Power.Type = r.type;
        if (r.type == SystemPowerState)
            irp.Stack()->Parameters.Power.State.SystemState = (SYSTEM_POWER_STATE)r.state;
        else
            irp.Stack()->Parameters.Power.State.DeviceState = (DEVICE_POWER_STATE)r.state;
        irp.Stack()->Parameters.Power.ShutdownType = r.action;
        PrintPowerIrp(irp.Irp());
        EXPECT_EQ(Take(), r.line ? Lines{Blanks(15) + r.line} : Lines{}) << "minor " << (int)r.minor;
    }
}

class CapabilitiesTest : public DiagTest {
  protected:
    void SetUp() override
    {
        DiagTest::SetUp();
        irp_ = PnpIrp(IRP_MN_QUERY_CAPABILITIES);
        caps_.Size = sizeof(caps_);
        caps_.Version = 1;
        caps_.Address = caps_.UINumber = 0xFFFFFFFF;
        irp_->Stack()->Parameters.DeviceCapabilities.Capabilities = &caps_;
        irp_->Finish(STATUS_SUCCESS);
    }
    Lines Print()
    {
        PrintDeviceCapabilities(irp_->Irp());
        return Take();
    }
    DEVICE_CAPABILITIES caps_{};
    std::unique_ptr<HandIrp> irp_;
};

TEST_F(CapabilitiesTest, AddressUINumberAndLatencyAloneShowOnlyFromVerboseTen)
{
    caps_.Address = 0x00030001;
    caps_.UINumber = 0;
    caps_.D1Latency = 1;
    caps_.UniqueID = 1;
    SetVerbose(9);
    EXPECT_FALSE(HasCapabilitiesToShow(&caps_));
    EXPECT_EQ(Print(), Lines{});

    caps_.UniqueID = 0;
    caps_.D2Latency = 2;
    caps_.D3Latency = 100;
    SetVerbose(10);
    // The latencies count in 100 us units; the line keeps the trace's usual
    // factor of 100 under the word "ms".
    EXPECT_EQ(Print(), (Lines{"  Address        : 0x00030001", "  UINumber       : 0x00000000",
                              "  Latency        : D1 100 ms D2 200 ms D3 10000 ms"}));
    caps_.Address = 0; // address 0 is not shown, UINumber 0 is
    caps_.D1Latency = caps_.D2Latency = caps_.D3Latency = 0;
    EXPECT_EQ(Print(), Lines{"  UINumber       : 0x00000000"});
    caps_.Address = caps_.UINumber = 0xFFFFFFFF;
    EXPECT_EQ(Print(), Lines{});
}

TEST_F(CapabilitiesTest, EveryLineInOrder)
{
    caps_.LockSupported = caps_.EjectSupported = caps_.Removable = caps_.DockDevice = caps_.SilentInstall = 1;
    caps_.SurpriseRemovalOK = caps_.RawDeviceOK = caps_.HardwareDisabled = caps_.WarmEjectSupported = 1;
    caps_.NonDynamic = caps_.UniqueID = caps_.DeviceD1 = caps_.DeviceD2 = 1;
    caps_.WakeFromD0 = caps_.WakeFromD1 = caps_.WakeFromD2 = caps_.WakeFromD3 = 1;
    caps_.Address = 0x10;
    caps_.UINumber = 7;
    caps_.DeviceWake = PowerDeviceD2;
    caps_.SystemWake = PowerSystemSleeping1;
    caps_.D3Latency = 3;
    caps_.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    caps_.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    EXPECT_EQ(Print(), (Lines{"  LockSupported  : TRUE", "  EjectSupported : TRUE", "  Removable      : TRUE",
                              "  DockDevice     : TRUE", "  SilentInstall  : TRUE", "  SurpriseOK     : TRUE",
                              "  RawDeviceOK    : TRUE", "  HWDisabled     : TRUE", "  WarmEject      : TRUE",
                              "  NonDynamic     : TRUE", "  Address        : 0x00000010",
                              "  UINumber       : 0x00000007", "  Unique ID      : TRUE", "  Supports D1    : TRUE",
                              "  Supports D2    : TRUE", "  Wake From D0   : TRUE", "  Wake From D1   : TRUE",
                              "  Wake From D2   : TRUE", "  Wake From D3   : TRUE", "  Device Wake    : D2",
                              "  System Wake    : Sleeping-1", "  Latency        : D1 0 ms D2 0 ms D3 300 ms",
                              "  DevState[ Working  ] = D0", "  DevState[Sleeping-1] = Unspecified",
                              "  DevState[Sleeping-2] = Unspecified", "  DevState[Sleeping-3] = Unspecified",
                              "  DevState[Hibernate ] = Unspecified", "  DevState[ Shutdown ] = D3"}));
}

// One field set at a time: flags, wake and device states are each worth a
// print at verbose 0; identity words and latencies are not.
TEST(HasCapabilitiesToShow, CountsFlagsWakeAndDeviceStatesOnly)
{
#define ROW(field, value, shows) {#field, [](DEVICE_CAPABILITIES *c) { c->field = value; }, shows}
    const struct {
        const char *name;
        void (*set)(DEVICE_CAPABILITIES *c);
        bool shows;
    } rows[] = {ROW(LockSupported, 1, true),       ROW(EjectSupported, 1, true),     ROW(Removable, 1, true),
                ROW(DockDevice, 1, true),          ROW(SilentInstall, 1, true),      ROW(SurpriseRemovalOK, 1, true),
                ROW(RawDeviceOK, 1, true),         ROW(HardwareDisabled, 1, true),   ROW(WarmEjectSupported, 1, true),
                ROW(NonDynamic, 1, true),          ROW(WakeFromD0, 1, true),         ROW(WakeFromD3, 1, true),
                ROW(DeviceD1, 1, true),            ROW(DeviceD2, 1, true),           ROW(DeviceWake, PowerDeviceD3, true),
                ROW(SystemWake, PowerSystemWorking, true), ROW(DeviceState[1], PowerDeviceD0, true),
                ROW(DeviceState[6], PowerDeviceD3, true),  ROW(DeviceState[0], PowerDeviceD0, false),
                ROW(UniqueID, 1, false),           ROW(Address, 5, false),           ROW(UINumber, 0, false),
                ROW(D2Latency, 9, false),          ROW(Version, 1, false)};
#undef ROW
    for (const auto &r : rows) {
        DEVICE_CAPABILITIES c{};
        c.Address = c.UINumber = 0xFFFFFFFF;
        r.set(&c);
        EXPECT_EQ(HasCapabilitiesToShow(&c) != FALSE, r.shows) << r.name;
    }
}

TEST_F(DiagTest, DevStatesShowSixEntriesWhenAnyIsSetAndIgnoreEntryZero)
{
    DEVICE_POWER_STATE states[PowerSystemMaximum] = {};
    states[PowerSystemUnspecified] = PowerDeviceD3;
    PrintDevStates(states);
    EXPECT_EQ(Take(), Lines{});
    states[PowerSystemWorking] = PowerDeviceD0;
    PrintDevStates(states);
    EXPECT_EQ(Take(), (Lines{"  DevState[ Working  ] = D0", "  DevState[Sleeping-1] = Unspecified",
                             "  DevState[Sleeping-2] = Unspecified", "  DevState[Sleeping-3] = Unspecified",
                             "  DevState[Hibernate ] = Unspecified", "  DevState[ Shutdown ] = Unspecified"}));
}

} // namespace
