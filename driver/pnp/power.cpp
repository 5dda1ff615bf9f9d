/*
 * power.cpp - power requests: traced and passed on at once. A power-up to D0
 * gets a completion routine that writes back what a power cycle loses (the
 * patch table, cache line size and latency timers, the O2Micro settings).
 */
#include "pnp/pnp.h"
#include "diag/irp_trace.h"
#include "diag/power_print.h"
#include "quirks/quirks.h"
#include "core/debug.h"

BOOLEAN IsPowerUpIrp(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    return stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState &&
           stack->Parameters.Power.State.DeviceState == PowerDeviceD0;
}

/*
 * Runs once the lower drivers have powered the device up with success,
 * possibly at DISPATCH_LEVEL: everything here uses the configuration ports
 * and the mapped register window, never a request that would have to be
 * waited for.
 */
static IO_COMPLETION_ROUTINE PowerUpComplete;

static NTSTATUS NTAPI PowerUpComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)Context;

    if (Irp->PendingReturned) {
        if (GetVerbose() > 9)
            DebugPrint("NOTE PowerUpComplete: marking Irp 0x%x pending\n", PTR32(Irp));
        IoMarkIrpPending(Irp);
    }

    DebugPrint("PowerUpComplete: VenId 0x%04x-%04x @ %x:%x:%x\n", ext->VenId, ext->DevId, ext->Bus, ext->Device,
               ext->Function);

    if (!LocationKnown(ext))
        DebugPrint("WARNING PowerUpComplete: location unknown, configuration left alone\n");
    setPowerLostSettings(ext, CONFIG_THROUGH_PORTS);
    setO2MicroBits(ext);
    /* The rest of what the start sequence set: the CardBus bridge control
     * and vendor registers, and VGA forwarding in the bridges above a
     * display controller (written when its parents are already up: parents
     * return to D0 before their children). */
    if (LocationKnown(ext))
        restoreStartSettings(ext);
    if (ext->Flags & VGA)
        vgaEnable(ext->DeviceObject);

    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = GET_EXTENSION(DeviceObject);
    ULONG identity = findPtr((ULONG_PTR)DeviceObject, 0);

    DebugPrint("PowerDispatch: %s (0x%08x)\n", PowerMinorFunctionString(IoGetCurrentIrpStackLocation(Irp)->MinorFunction),
               identity);
    PrintPowerIrp(Irp);

    if (IsPowerUpIrp(Irp)) {
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, PowerUpComplete, ext, TRUE, FALSE, FALSE);
        IoMarkIrpPending(Irp);
        PoStartNextPowerIrp(Irp);
        PoCallDriver(ext->LowerDevice, Irp);
        return STATUS_PENDING;
    }

    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(ext->LowerDevice, Irp);
}
