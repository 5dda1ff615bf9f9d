// Power names, the power-parameters line and the capabilities print.
#include "diag_fixture.h"

namespace {

using namespace diagtest;

// The last name of each table, and the fallback just past it.
TEST_F(DiagTest, PowerNamesFallBackPastTheirTables)
{
    EXPECT_EQ((Lines{SystemPowerStateString(PowerSystemMaximum), SystemPowerStateString(PowerSystemMaximum + 1),
                     DevicePowerStateString(PowerDeviceMaximum), DevicePowerStateString(PowerDeviceMaximum + 1),
                     PowerActionString(PowerActionWarmEject), PowerActionString(PowerActionWarmEject + 1),
                     PowerMinorFunctionString(IRP_MN_QUERY_POWER)}),
              (Lines{" Maximum  ", "Unspecific", "Maximum", "Unspecified", "WarmEject", "ActionNone", "IRP_MN_QUERY_POWER"}));
    EXPECT_EQ(Take(), Lines{});
    EXPECT_STREQ(PowerMinorFunctionString(4), "IRP_MN_?????");
    EXPECT_EQ(Take(), Lines{"WARNING PowerMinorFunctionString: Unknown IRP_MN_0x4"});
}

TEST_F(DiagTest, PowerParametersArePrintedForSetAndQueryPowerOnly)
{
    for (UCHAR minor : {IRP_MN_SET_POWER, IRP_MN_QUERY_POWER, IRP_MN_WAIT_WAKE, IRP_MN_POWER_SEQUENCE}) {
        HandIrp system(IRP_MJ_POWER, minor), device(IRP_MJ_POWER, minor);
        auto &sys = system.Stack()->Parameters.Power, &dev = device.Stack()->Parameters.Power;
        sys.Type = SystemPowerState, sys.State.SystemState = PowerSystemSleeping3, sys.ShutdownType = PowerActionSleep;
        dev.Type = DevicePowerState, dev.State.DeviceState = PowerDeviceD3, dev.ShutdownType = PowerActionNone;
        PrintPowerIrp(system.Irp());
        PrintPowerIrp(device.Irp());
        const std::string indent(15, ' ');
        EXPECT_EQ(Take(), minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER
                              ? (Lines{indent + "Type [System] State [Sleeping-3] Shutdown [Sleep]",
                                       indent + "Type [Device] State [D3] Shutdown [ActionNone]"})
                              : Lines{})
            << "minor " << int(minor);
    }
}

// Each capability flag but UniqueID and NoDisplayInUI, the wake states and the device states of
// entries 1 to 6 are each worth a print at verbose 0; the identity words and latencies are not.
TEST_F(DiagTest, CapabilitiesAreShownWhenAnyFlagOrStateIsSet)
{
    auto shows = [](void (*set)(DEVICE_CAPABILITIES *, int), int i) {
        DEVICE_CAPABILITIES c{};
        c.Address = c.UINumber = 0xFFFFFFFF;
        set(&c, i);
        return HasCapabilitiesToShow(&c) != FALSE;
    };
    // The 18 flags are the bits after Size and Version, DeviceD1 first.
    for (int bit = 0; bit < 18; bit++)
        EXPECT_EQ(shows([](DEVICE_CAPABILITIES *c, int b) { ((ULONG *)c)[1] = 1u << b; }, bit), bit != 6 && bit != 17)
            << "flag bit " << bit;
    for (int state = 0; state < PowerSystemMaximum; state++)
        EXPECT_EQ(shows([](DEVICE_CAPABILITIES *c, int i) { c->DeviceState[i] = PowerDeviceD0; }, state), state != 0)
            << "state " << state;
    EXPECT_TRUE(shows([](DEVICE_CAPABILITIES *c, int) { c->DeviceWake = PowerDeviceD3; }, 0));
    EXPECT_TRUE(shows([](DEVICE_CAPABILITIES *c, int) { c->SystemWake = PowerSystemWorking; }, 0));
    EXPECT_FALSE(shows([](DEVICE_CAPABILITIES *c, int) { c->Address = 5, c->UINumber = 0, c->D2Latency = 9; }, 0));
}

TEST_F(DiagTest, CapabilitiesPrint)
{
    DEVICE_CAPABILITIES caps{};
    caps.UINumber = 0xFFFFFFFF, caps.Address = 0x00030001, caps.D1Latency = 1;
    auto irp = PnpIrp(IRP_MN_QUERY_CAPABILITIES);
    irp->Stack()->Parameters.DeviceCapabilities.Capabilities = &caps;
    SetVerbose(9);
    PrintDeviceCapabilities(irp->Irp());
    EXPECT_EQ(Take(), Lines{}) << "identity and latency alone below verbose 10";
    SetVerbose(10);
    caps.D3Latency = 100; // 100 us units, shown times 100 under "ms" as the trace always has
    PrintDeviceCapabilities(irp->Irp());
    EXPECT_EQ(Take(), (Lines{"  Address        : 0x00030001", "  Latency        : D1 100 ms D2 0 ms D3 10000 ms"}));
    caps.Address = caps.UINumber = caps.D1Latency = caps.D3Latency = 0; // 0 is no address; UINumber 0 is one
    PrintDeviceCapabilities(irp->Irp());
    EXPECT_EQ(Take(), Lines{"  UINumber       : 0x00000000"});

    // Everything set, at verbose 0: one line each, then the six states.
    SetVerbose(0);
    ((ULONG *)&caps)[1] = 0x3FFFF; // the 18 flag bits
    caps.Address = 0x10, caps.DeviceWake = PowerDeviceD2, caps.SystemWake = PowerSystemSleeping1, caps.D2Latency = 3;
    caps.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    PrintDeviceCapabilities(irp->Irp());
    Lines lines = Take();
    ASSERT_EQ(lines.size(), 28u);
    EXPECT_EQ((Lines{lines[19], lines[20], lines[22], lines[27]}),
              (Lines{"  Device Wake    : D2", "  System Wake    : Sleeping-1", "  DevState[ Working  ] = Unspecified",
                     "  DevState[ Shutdown ] = D3"}));
}

} // namespace
