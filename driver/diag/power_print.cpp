/*
 * power_print.cpp - power values as text, the power-parameters line of a
 * power request and the device capabilities print.
 */
#include "diag/power_print.h"

#include "core/debug.h"

/* Indexed by the power minor code. */
static const char *const powerMinorNames[] = {
    "IRP_MN_WAIT_WAKE",      /* IRP_MN_WAIT_WAKE */
    "IRP_MN_POWER_SEQUENCE", /* IRP_MN_POWER_SEQUENCE */
    "IRP_MN_SET_POWER",      /* IRP_MN_SET_POWER */
    "IRP_MN_QUERY_POWER",    /* IRP_MN_QUERY_POWER */
};

/* Indexed by SYSTEM_POWER_STATE; every name is ten characters wide so the
 * capability lines line up. */
static const char *const systemPowerStateNames[] = {
    "Unspecific", /* PowerSystemUnspecified */
    " Working  ", /* PowerSystemWorking */
    "Sleeping-1", /* PowerSystemSleeping1 */
    "Sleeping-2", /* PowerSystemSleeping2 */
    "Sleeping-3", /* PowerSystemSleeping3 */
    "Hibernate ", /* PowerSystemHibernate */
    " Shutdown ", /* PowerSystemShutdown */
    " Maximum  ", /* PowerSystemMaximum */
};

/* Indexed by DEVICE_POWER_STATE. */
static const char *const devicePowerStateNames[] = {
    "Unspecified", /* PowerDeviceUnspecified */
    "D0",          /* PowerDeviceD0 */
    "D1",          /* PowerDeviceD1 */
    "D2",          /* PowerDeviceD2 */
    "D3",          /* PowerDeviceD3 */
    "Maximum",     /* PowerDeviceMaximum */
};

/* Indexed by POWER_ACTION. */
static const char *const powerActionNames[] = {
    "ActionNone",    /* PowerActionNone */
    "Reserved",      /* PowerActionReserved */
    "Sleep",         /* PowerActionSleep */
    "Hibernate",     /* PowerActionHibernate */
    "Shutdown",      /* PowerActionShutdown */
    "ShutdownReset", /* PowerActionShutdownReset */
    "ShutdownOff",   /* PowerActionShutdownOff */
    "WarmEject",     /* PowerActionWarmEject */
};

#define NAME_COUNT(table) (sizeof(table) / sizeof((table)[0]))

const char *PowerMinorFunctionString(UCHAR minor)
{
    if (minor < NAME_COUNT(powerMinorNames))
        return powerMinorNames[minor];
    DebugPrint("WARNING PowerMinorFunctionString: Unknown IRP_MN_0x%lx\n", (ULONG)minor);
    return "IRP_MN_?????";
}

const char *SystemPowerStateString(ULONG state)
{
    if (state < NAME_COUNT(systemPowerStateNames))
        return systemPowerStateNames[state];
    return systemPowerStateNames[PowerSystemUnspecified];
}

const char *DevicePowerStateString(ULONG state)
{
    if (state < NAME_COUNT(devicePowerStateNames))
        return devicePowerStateNames[state];
    return devicePowerStateNames[PowerDeviceUnspecified];
}

const char *PowerActionString(ULONG action)
{
    if (action < NAME_COUNT(powerActionNames))
        return powerActionNames[action];
    return powerActionNames[PowerActionNone];
}

VOID PrintPowerIrp(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const char *typeName;
    const char *stateName;

    if (stack->MinorFunction != IRP_MN_SET_POWER && stack->MinorFunction != IRP_MN_QUERY_POWER)
        return;

    if (stack->Parameters.Power.Type == SystemPowerState) {
        typeName = "System";
        stateName = SystemPowerStateString(stack->Parameters.Power.State.SystemState);
    } else {
        typeName = "Device";
        stateName = DevicePowerStateString(stack->Parameters.Power.State.DeviceState);
    }
    DebugPrint("               Type [%s] State [%s] Shutdown [%s]\n", typeName, stateName,
               PowerActionString(stack->Parameters.Power.ShutdownType));
}

BOOLEAN HasCapabilitiesToShow(const DEVICE_CAPABILITIES *c)
{
    ULONG i;

    if (c->LockSupported || c->EjectSupported || c->Removable || c->DockDevice || c->SilentInstall ||
        c->SurpriseRemovalOK || c->RawDeviceOK || c->HardwareDisabled || c->WarmEjectSupported || c->NonDynamic ||
        c->WakeFromD0 || c->WakeFromD1 || c->WakeFromD2 || c->WakeFromD3 || c->DeviceD1 || c->DeviceD2 ||
        c->DeviceWake != PowerDeviceUnspecified || c->SystemWake != PowerSystemUnspecified)
        return TRUE;

    /* Entry 0 (unspecified) and entry 7 (maximum) are never shown. */
    for (i = PowerSystemWorking; i <= PowerSystemShutdown; i++) {
        if (c->DeviceState[i] != PowerDeviceUnspecified)
            return TRUE;
    }
    return FALSE;
}

VOID PrintDevStates(const DEVICE_POWER_STATE *deviceState)
{
    ULONG i;
    BOOLEAN any = FALSE;

    for (i = PowerSystemWorking; i <= PowerSystemShutdown; i++) {
        if (deviceState[i] != PowerDeviceUnspecified)
            any = TRUE;
    }
    if (!any)
        return;

    for (i = PowerSystemWorking; i <= PowerSystemShutdown; i++)
        DebugPrint("  DevState[%s] = %s\n", SystemPowerStateString(i), DevicePowerStateString(deviceState[i]));
}

VOID PrintDeviceCapabilities(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PDEVICE_CAPABILITIES c = stack->Parameters.DeviceCapabilities.Capabilities;

    if (!HasCapabilitiesToShow(c) && GetVerbose() < 10)
        return;

    if (c->LockSupported)
        DebugPrint("  LockSupported  : %s\n", "TRUE");
    if (c->EjectSupported)
        DebugPrint("  EjectSupported : %s\n", "TRUE");
    if (c->Removable)
        DebugPrint("  Removable      : %s\n", "TRUE");
    if (c->DockDevice)
        DebugPrint("  DockDevice     : %s\n", "TRUE");
    if (c->SilentInstall)
        DebugPrint("  SilentInstall  : %s\n", "TRUE");
    if (c->SurpriseRemovalOK)
        DebugPrint("  SurpriseOK     : %s\n", "TRUE");
    if (c->RawDeviceOK)
        DebugPrint("  RawDeviceOK    : %s\n", "TRUE");
    if (c->HardwareDisabled)
        DebugPrint("  HWDisabled     : %s\n", "TRUE");
    if (c->WarmEjectSupported)
        DebugPrint("  WarmEject      : %s\n", "TRUE");
    if (c->NonDynamic)
        DebugPrint("  NonDynamic     : %s\n", "TRUE");
    /* 0 and all-ones both mean the bus driver reported no address. */
    if (c->Address != 0 && c->Address != 0xFFFFFFFF)
        DebugPrint("  Address        : 0x%08lx\n", c->Address);
    if (c->UINumber != 0xFFFFFFFF)
        DebugPrint("  UINumber       : 0x%08lx\n", c->UINumber);
    if (c->UniqueID)
        DebugPrint("  Unique ID      : %s\n", "TRUE");
    if (c->DeviceD1)
        DebugPrint("  Supports D1    : %s\n", "TRUE");
    if (c->DeviceD2)
        DebugPrint("  Supports D2    : %s\n", "TRUE");
    if (c->WakeFromD0)
        DebugPrint("  Wake From D0   : %s\n", "TRUE");
    if (c->WakeFromD1)
        DebugPrint("  Wake From D1   : %s\n", "TRUE");
    if (c->WakeFromD2)
        DebugPrint("  Wake From D2   : %s\n", "TRUE");
    if (c->WakeFromD3)
        DebugPrint("  Wake From D3   : %s\n", "TRUE");
    if (c->DeviceWake != PowerDeviceUnspecified)
        DebugPrint("  Device Wake    : %s\n", DevicePowerStateString(c->DeviceWake));
    if (c->SystemWake != PowerSystemUnspecified)
        DebugPrint("  System Wake    : %s\n", SystemPowerStateString(c->SystemWake));
    /* The latencies count in units of 100 microseconds; multiplied by 100
     * they are microseconds, printed under the word "ms" as the trace has
     * always shown them, so old and new traces compare line by line. */
    if (c->D1Latency != 0 || c->D2Latency != 0 || c->D3Latency != 0)
        DebugPrint("  Latency        : D1 %d ms D2 %d ms D3 %d ms\n", (int)(c->D1Latency * 100),
                   (int)(c->D2Latency * 100), (int)(c->D3Latency * 100));
    PrintDevStates(c->DeviceState);
}
