// Power names, the power-parameters line and the capabilities print.
#include "diag_fixture.h"

namespace {

using diagtest::DiagTest;
using diagtest::Joined;

// -------------------------------------------------------------- name tables

struct PowerNameRow {
    ULONG value;
    const char *system;
    const char *device;
    const char *action;
};

class PowerNamesTest : public DiagTest, public ::testing::WithParamInterface<PowerNameRow> {};

TEST_P(PowerNamesTest, NamesEachValue)
{
    const PowerNameRow &r = GetParam();
    EXPECT_STREQ(SystemPowerStateString(r.value), r.system) << "value " << r.value;
    EXPECT_STREQ(DevicePowerStateString(r.value), r.device) << "value " << r.value;
    EXPECT_STREQ(PowerActionString(r.value), r.action) << "value " << r.value;
    EXPECT_EQ(strlen(SystemPowerStateString(r.value)), 10u) << "system state names are ten wide";
    EXPECT_TRUE(Take().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PowerNamesTest,
    ::testing::Values(PowerNameRow{0, "Unspecific", "Unspecified", "ActionNone"},
                      PowerNameRow{1, " Working  ", "D0", "Reserved"},
                      PowerNameRow{2, "Sleeping-1", "D1", "Sleep"},
                      PowerNameRow{3, "Sleeping-2", "D2", "Hibernate"},
                      PowerNameRow{4, "Sleeping-3", "D3", "Shutdown"},
                      PowerNameRow{5, "Hibernate ", "Maximum", "ShutdownReset"},
                      PowerNameRow{6, " Shutdown ", "Unspecified", "ShutdownOff"},
                      PowerNameRow{7, " Maximum  ", "Unspecified", "WarmEject"},
                      PowerNameRow{8, "Unspecific", "Unspecified", "ActionNone"},
                      PowerNameRow{0xFFFFFFFF, "Unspecific", "Unspecified", "ActionNone"}));

struct MinorRow {
    UCHAR minor;
    const char *name;
    bool warns;
};

class PowerMinorNameTest : public DiagTest, public ::testing::WithParamInterface<MinorRow> {};

TEST_P(PowerMinorNameTest, NamesKnownCodesAndWarnsForOthers)
{
    const MinorRow &r = GetParam();
    EXPECT_STREQ(PowerMinorFunctionString(r.minor), r.name) << "minor " << (int)r.minor;
    std::vector<std::string> expected;
    if (r.warns)
        expected.push_back(diagtest::Fmt("WARNING PowerMinorFunctionString: Unknown IRP_MN_0x%x", (unsigned)r.minor));
    EXPECT_EQ(Take(), expected) << "minor " << (int)r.minor;
}

INSTANTIATE_TEST_SUITE_P(Rows, PowerMinorNameTest,
                         ::testing::Values(MinorRow{0, "IRP_MN_WAIT_WAKE", false},
                                           MinorRow{1, "IRP_MN_POWER_SEQUENCE", false},
                                           MinorRow{2, "IRP_MN_SET_POWER", false},
                                           MinorRow{3, "IRP_MN_QUERY_POWER", false},
                                           MinorRow{4, "IRP_MN_?????", true}, MinorRow{7, "IRP_MN_?????", true},
                                           MinorRow{0xFF, "IRP_MN_?????", true}));

// ---------------------------------------------------------- PrintPowerIrp

struct PowerIrpRow {
    const char *name;
    UCHAR minor;
    POWER_STATE_TYPE type;
    ULONG state;
    POWER_ACTION action;
    std::vector<std::string> lines;
};

class PrintPowerIrpTest : public DiagTest, public ::testing::WithParamInterface<PowerIrpRow> {};

TEST_P(PrintPowerIrpTest, PrintsTheParametersOfSetAndQueryPower)
{
    const PowerIrpRow &r = GetParam();
    auto irp = diagtest::PowerIrp(r.minor);
    irp->Stack()->Parameters.Power.Type = r.type;
    if (r.type == SystemPowerState)
        irp->Stack()->Parameters.Power.State.SystemState = (SYSTEM_POWER_STATE)r.state;
    else
        irp->Stack()->Parameters.Power.State.DeviceState = (DEVICE_POWER_STATE)r.state;
    irp->Stack()->Parameters.Power.ShutdownType = r.action;
    PrintPowerIrp(irp->Irp());
    std::vector<std::string> lines = Take();
    EXPECT_EQ(lines, r.lines) << r.name << "\n" << Joined(lines);
}

const std::string kPad(15, ' ');

INSTANTIATE_TEST_SUITE_P(
    Rows, PrintPowerIrpTest,
    ::testing::Values(
        PowerIrpRow{"set_system_s3",
                    IRP_MN_SET_POWER,
                    SystemPowerState,
                    PowerSystemSleeping3,
                    PowerActionSleep,
                    {kPad + "Type [System] State [Sleeping-3] Shutdown [Sleep]"}},
        PowerIrpRow{"set_device_d3",
                    IRP_MN_SET_POWER,
                    DevicePowerState,
                    PowerDeviceD3,
                    PowerActionNone,
                    {kPad + "Type [Device] State [D3] Shutdown [ActionNone]"}},
        PowerIrpRow{"query_system_working",
                    IRP_MN_QUERY_POWER,
                    SystemPowerState,
                    PowerSystemWorking,
                    PowerActionShutdownReset,
                    {kPad + "Type [System] State [ Working  ] Shutdown [ShutdownReset]"}},
        PowerIrpRow{"query_device_d0",
                    IRP_MN_QUERY_POWER,
                    DevicePowerState,
                    PowerDeviceD0,
                    PowerActionWarmEject,
                    {kPad + "Type [Device] State [D0] Shutdown [WarmEject]"}},
        PowerIrpRow{"wait_wake", IRP_MN_WAIT_WAKE, SystemPowerState, PowerSystemSleeping3, PowerActionSleep, {}},
        PowerIrpRow{"sequence", IRP_MN_POWER_SEQUENCE, SystemPowerState, PowerSystemWorking, PowerActionNone, {}},
        PowerIrpRow{"minor_4", 4, SystemPowerState, PowerSystemWorking, PowerActionNone, {}}),
    [](const ::testing::TestParamInfo<PowerIrpRow> &info) { return std::string(info.param.name); });

// ------------------------------------------------------------ capabilities

class CapabilitiesTest : public DiagTest {
  protected:
    void SetUp() override
    {
        DiagTest::SetUp();
        // After the stand-in's reset, which forgets every request.
        irp_ = diagtest::PnpIrp(IRP_MN_QUERY_CAPABILITIES);
        caps_.Size = sizeof(caps_);
        caps_.Version = 1;
        caps_.Address = 0xFFFFFFFF;
        caps_.UINumber = 0xFFFFFFFF;
        irp_->Stack()->Parameters.DeviceCapabilities.Capabilities = &caps_;
        irp_->Finish(STATUS_SUCCESS);
    }

    std::vector<std::string> Print()
    {
        PrintDeviceCapabilities(irp_->Irp());
        return Take();
    }

    DEVICE_CAPABILITIES caps_{};
    std::unique_ptr<diagtest::HandIrp> irp_;
};

TEST_F(CapabilitiesTest, NothingToShowPrintsNothingBelowVerboseTen)
{
    caps_.Address = 0x00030001;
    caps_.UINumber = 0;
    caps_.D1Latency = 1;
    caps_.UniqueID = 1;
    SetVerbose(9);
    EXPECT_FALSE(HasCapabilitiesToShow(&caps_));
    std::vector<std::string> lines = Print();
    EXPECT_TRUE(lines.empty()) << Joined(lines);
}

TEST_F(CapabilitiesTest, VerboseTenPrintsAddressUINumberAndLatency)
{
    caps_.Address = 0x00030001;
    caps_.UINumber = 0;
    caps_.D1Latency = 1;
    caps_.D2Latency = 2;
    caps_.D3Latency = 100;
    SetVerbose(10);
    std::vector<std::string> lines = Print();
    // The latencies count in 100 us units; the line keeps the trace's usual
    // factor of 100 under the word "ms".
    EXPECT_EQ(lines, std::vector<std::string>({"  Address        : 0x00030001", "  UINumber       : 0x00000000",
                                               "  Latency        : D1 100 ms D2 200 ms D3 10000 ms"}))
        << Joined(lines);
}

TEST_F(CapabilitiesTest, AddressZeroIsNotPrintedButUINumberZeroIs)
{
    caps_.Address = 0;
    caps_.UINumber = 0;
    SetVerbose(10);
    std::vector<std::string> lines = Print();
    EXPECT_EQ(lines, std::vector<std::string>({"  UINumber       : 0x00000000"})) << Joined(lines);
}

TEST_F(CapabilitiesTest, EmptyRecordAtVerboseTenPrintsNothing)
{
    SetVerbose(10);
    std::vector<std::string> lines = Print();
    EXPECT_TRUE(lines.empty()) << Joined(lines);
}

TEST_F(CapabilitiesTest, EveryFlagLineInOrder)
{
    caps_.LockSupported = 1;
    caps_.EjectSupported = 1;
    caps_.Removable = 1;
    caps_.DockDevice = 1;
    caps_.SilentInstall = 1;
    caps_.SurpriseRemovalOK = 1;
    caps_.RawDeviceOK = 1;
    caps_.HardwareDisabled = 1;
    caps_.WarmEjectSupported = 1;
    caps_.NonDynamic = 1;
    caps_.Address = 0x10;
    caps_.UINumber = 7;
    caps_.UniqueID = 1;
    caps_.DeviceD1 = 1;
    caps_.DeviceD2 = 1;
    caps_.WakeFromD0 = 1;
    caps_.WakeFromD1 = 1;
    caps_.WakeFromD2 = 1;
    caps_.WakeFromD3 = 1;
    caps_.DeviceWake = PowerDeviceD2;
    caps_.SystemWake = PowerSystemSleeping1;
    caps_.D3Latency = 3;
    caps_.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    caps_.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    std::vector<std::string> lines = Print();
    EXPECT_EQ(lines, std::vector<std::string>({
                         "  LockSupported  : TRUE",
                         "  EjectSupported : TRUE",
                         "  Removable      : TRUE",
                         "  DockDevice     : TRUE",
                         "  SilentInstall  : TRUE",
                         "  SurpriseOK     : TRUE",
                         "  RawDeviceOK    : TRUE",
                         "  HWDisabled     : TRUE",
                         "  WarmEject      : TRUE",
                         "  NonDynamic     : TRUE",
                         "  Address        : 0x00000010",
                         "  UINumber       : 0x00000007",
                         "  Unique ID      : TRUE",
                         "  Supports D1    : TRUE",
                         "  Supports D2    : TRUE",
                         "  Wake From D0   : TRUE",
                         "  Wake From D1   : TRUE",
                         "  Wake From D2   : TRUE",
                         "  Wake From D3   : TRUE",
                         "  Device Wake    : D2",
                         "  System Wake    : Sleeping-1",
                         "  Latency        : D1 0 ms D2 0 ms D3 300 ms",
                         "  DevState[ Working  ] = D0",
                         "  DevState[Sleeping-1] = Unspecified",
                         "  DevState[Sleeping-2] = Unspecified",
                         "  DevState[Sleeping-3] = Unspecified",
                         "  DevState[Hibernate ] = Unspecified",
                         "  DevState[ Shutdown ] = D3",
                     }))
        << Joined(lines);
}

// One field set at a time: each of these alone is worth a print at verbose 0.
struct ShowRow {
    const char *name;
    void (*set)(DEVICE_CAPABILITIES *c);
    bool shows;
};

class HasCapabilitiesTest : public DiagTest, public ::testing::WithParamInterface<ShowRow> {};

TEST_P(HasCapabilitiesTest, CountsFlagsWakeAndDeviceStatesOnly)
{
    DEVICE_CAPABILITIES c{};
    c.Address = 0xFFFFFFFF;
    c.UINumber = 0xFFFFFFFF;
    GetParam().set(&c);
    EXPECT_EQ(HasCapabilitiesToShow(&c) != FALSE, GetParam().shows) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HasCapabilitiesTest,
    ::testing::Values(ShowRow{"lock", [](DEVICE_CAPABILITIES *c) { c->LockSupported = 1; }, true},
                      ShowRow{"eject", [](DEVICE_CAPABILITIES *c) { c->EjectSupported = 1; }, true},
                      ShowRow{"removable", [](DEVICE_CAPABILITIES *c) { c->Removable = 1; }, true},
                      ShowRow{"dock", [](DEVICE_CAPABILITIES *c) { c->DockDevice = 1; }, true},
                      ShowRow{"silent", [](DEVICE_CAPABILITIES *c) { c->SilentInstall = 1; }, true},
                      ShowRow{"surprise", [](DEVICE_CAPABILITIES *c) { c->SurpriseRemovalOK = 1; }, true},
                      ShowRow{"raw", [](DEVICE_CAPABILITIES *c) { c->RawDeviceOK = 1; }, true},
                      ShowRow{"disabled", [](DEVICE_CAPABILITIES *c) { c->HardwareDisabled = 1; }, true},
                      ShowRow{"warm_eject", [](DEVICE_CAPABILITIES *c) { c->WarmEjectSupported = 1; }, true},
                      ShowRow{"non_dynamic", [](DEVICE_CAPABILITIES *c) { c->NonDynamic = 1; }, true},
                      ShowRow{"wake_d0", [](DEVICE_CAPABILITIES *c) { c->WakeFromD0 = 1; }, true},
                      ShowRow{"wake_d3", [](DEVICE_CAPABILITIES *c) { c->WakeFromD3 = 1; }, true},
                      ShowRow{"d1", [](DEVICE_CAPABILITIES *c) { c->DeviceD1 = 1; }, true},
                      ShowRow{"d2", [](DEVICE_CAPABILITIES *c) { c->DeviceD2 = 1; }, true},
                      ShowRow{"device_wake", [](DEVICE_CAPABILITIES *c) { c->DeviceWake = PowerDeviceD3; }, true},
                      ShowRow{"system_wake", [](DEVICE_CAPABILITIES *c) { c->SystemWake = PowerSystemWorking; },
                              true},
                      ShowRow{"state_1", [](DEVICE_CAPABILITIES *c) { c->DeviceState[1] = PowerDeviceD0; }, true},
                      ShowRow{"state_6", [](DEVICE_CAPABILITIES *c) { c->DeviceState[6] = PowerDeviceD3; }, true},
                      ShowRow{"state_0", [](DEVICE_CAPABILITIES *c) { c->DeviceState[0] = PowerDeviceD0; }, false},
                      ShowRow{"unique_id", [](DEVICE_CAPABILITIES *c) { c->UniqueID = 1; }, false},
                      ShowRow{"address", [](DEVICE_CAPABILITIES *c) { c->Address = 5; }, false},
                      ShowRow{"ui_number", [](DEVICE_CAPABILITIES *c) { c->UINumber = 0; }, false},
                      ShowRow{"latency", [](DEVICE_CAPABILITIES *c) { c->D2Latency = 9; }, false},
                      ShowRow{"nothing", [](DEVICE_CAPABILITIES *c) {}, false}),
    [](const ::testing::TestParamInfo<ShowRow> &info) { return std::string(info.param.name); });

TEST_F(DiagTest, DevStatesWithOnlyWorkingSetPrintsSixLines)
{
    DEVICE_POWER_STATE states[PowerSystemMaximum] = {};
    states[PowerSystemWorking] = PowerDeviceD0;
    PrintDevStates(states);
    std::vector<std::string> lines = Take();
    EXPECT_EQ(lines, std::vector<std::string>({
                         "  DevState[ Working  ] = D0",
                         "  DevState[Sleeping-1] = Unspecified",
                         "  DevState[Sleeping-2] = Unspecified",
                         "  DevState[Sleeping-3] = Unspecified",
                         "  DevState[Hibernate ] = Unspecified",
                         "  DevState[ Shutdown ] = Unspecified",
                     }))
        << Joined(lines);
}

TEST_F(DiagTest, DevStatesIgnoreEntryZero)
{
    DEVICE_POWER_STATE states[PowerSystemMaximum] = {};
    states[PowerSystemUnspecified] = PowerDeviceD3;
    PrintDevStates(states);
    std::vector<std::string> lines = Take();
    EXPECT_TRUE(lines.empty()) << Joined(lines);
}

} // namespace
