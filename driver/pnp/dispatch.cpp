/*
 * dispatch.cpp - every PnP request of a filter device: traced on the way in,
 * handed to its handler, traced on the way out and completed here.
 *
 * Every handler lets the lower stack see the request first: it passes the
 * request down and waits for it (PnpPassDownIrpAndWait), then looks at or
 * adjusts the result. The request always comes back to PnpDispatch, which
 * completes it with the status of the lower driver or of the handler.
 */
#include "pnp/pnp.h"
#include "diag/irp_trace.h"
#include "diag/power_print.h"
#include "enum/enumerate.h"
#include "pci/bus_conventions.h"
#include "quirks/quirks.h"
#include "resources/resources.h"
#include "core/config.h"
#include "core/debug.h"

typedef struct _PNP_HANDLER_ENTRY {
    ULONG Minor;
    PNP_HANDLER *Handler;
} PNP_HANDLER_ENTRY;

/* Minor code of the last row: no request carries it (the minor codes end at
 * IRP_MN_QUERY_LEGACY_BUS_INFORMATION, 0x18). */
#define PNP_ANY_MINOR 0xFF

/* Handlers by minor code, searched in order up to the last row, which takes
 * every request whose minor code matches none of the rows above it. */
static const PNP_HANDLER_ENTRY PnpHandlers[] = {
    {IRP_MN_FILTER_RESOURCE_REQUIREMENTS, FilterResourceRequirements},
    {IRP_MN_QUERY_CAPABILITIES, QueryCapabilities},
    {IRP_MN_QUERY_DEVICE_RELATIONS, QueryDeviceRelations},
    {IRP_MN_QUERY_RESOURCES, QueryResources},
    {IRP_MN_REMOVE_DEVICE, RemoveDevice},
    {IRP_MN_QUERY_RESOURCE_REQUIREMENTS, QueryResourceRequirements},
    {IRP_MN_START_DEVICE, startDevice},
    {IRP_MN_SURPRISE_REMOVAL, SurpriseRemoval},
    {IRP_MN_QUERY_INTERFACE, QueryInterface},
    {PNP_ANY_MINOR, PnpPassDownIrpAndWait}, /* every other minor code */
};

static PNP_HANDLER *LookupPnpHandler(UCHAR minor)
{
    const PNP_HANDLER_ENTRY *entry;

    for (entry = PnpHandlers; entry->Minor != PNP_ANY_MINOR && entry->Minor != minor; entry++)
        ;
    return entry->Handler;
}

NTSTATUS NTAPI PnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS status;

    PrintIrpIn(DeviceObject, Irp, "ENTER ");

    status = LookupPnpHandler(IoGetCurrentIrpStackLocation(Irp)->MinorFunction)(DeviceObject, Irp);

    /* After a removal the device object is gone: these two use its address
     * only as the key of its identity word. */
    PrintIrpContents(DeviceObject, Irp, "");
    PrintIrpOut(DeviceObject, Irp, "DONE  ");

    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

/*
 * Signals the waiting handler and keeps the request: STATUS_MORE_PROCESSING_
 * REQUIRED stops the completion here, so the request comes back to
 * PnpDispatch, which looks at the result and completes it again.
 */
static IO_COMPLETION_ROUTINE PassDownCompletion;

static NTSTATUS NTAPI PassDownCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    if (Irp->PendingReturned)
        KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CallLowerAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = GET_EXTENSION(DeviceObject);
    KEVENT event;
    NTSTATUS status;

    IoCopyCurrentIrpStackLocationToNext(Irp);
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(Irp, PassDownCompletion, &event, TRUE, TRUE, TRUE);

    status = IoCallDriver(ext->LowerDevice, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, 0);
        status = Irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS PnpPassDownIrpAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS status = CallLowerAndWait(DeviceObject, Irp);

    if (status != Irp->IoStatus.Status)
        DebugPrint("WARNING PnpPassDownIrpAndWait: differ status 0x%x IoStatus 0x%x\n", status, Irp->IoStatus.Status);
    return status;
}

NTSTATUS QueryInterface(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PrintIrpContents(DeviceObject, Irp, "");
    return PnpPassDownIrpAndWait(DeviceObject, Irp);
}

NTSTATUS QueryResourceRequirements(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = GET_EXTENSION(DeviceObject);
    NTSTATUS status = PnpPassDownIrpAndWait(DeviceObject, Irp);

    if (NT_SUCCESS(status) && ext->BridgeType == BRIDGE_TYPE_OTHER) {
        DebugPrint("QueryResourceRequirements: duplicating resources...\n");
        /* A copy from an earlier query that no resource query took away. */
        MFree(ext->DupRequirements);
        ext->DupRequirements = dupResourceRequirementsList((PIO_RESOURCE_REQUIREMENTS_LIST)Irp->IoStatus.Information);
    }
    return status;
}

NTSTATUS QueryResources(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = GET_EXTENSION(DeviceObject);
    NTSTATUS status = PnpPassDownIrpAndWait(DeviceObject, Irp);

    patchMatrox(ext);

    if (ext->BridgeType == BRIDGE_TYPE_OTHER && ext->DupRequirements != 0) {
        mapLegacyDevice(ext, ext->DupRequirements);
        DebugPrint("QueryResources: freeing duplicated resources...\n");
        MFree(ext->DupRequirements);
        ext->DupRequirements = 0;
    }
    return status;
}

NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = GET_EXTENSION(DeviceObject);
    NTSTATUS status = PnpPassDownIrpAndWait(DeviceObject, Irp);

    /* A copy still held goes with the device. */
    MFree(ext->DupRequirements);
    ext->DupRequirements = 0;

    IoDetachDevice(ext->LowerDevice);
    ext->LowerDevice = 0;
    IoDeleteDevice(DeviceObject);
    return status;
}

/*
 * After a surprise removal the PnP manager still sends IRP_MN_REMOVE_DEVICE
 * down the stack, and a driver above may still call into this device until
 * then: the filter device stays until the removal itself.
 */
NTSTATUS SurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_OBJECT parent = GetParent(DeviceObject);

    /* The hardware is gone from behind a bridge whose bus numbers this
     * driver handed out: what comes back there comes in power-on state and
     * is numbered by the bus driver alone, one bus per bridge; the bridge's
     * next bus relations set that right. */
    if (parent != 0 && (GET_EXTENSION(parent)->Flags & (ENUMERATE | ROOT)))
        GET_EXTENSION(parent)->Flags |= REPROBE;
    return PnpPassDownIrpAndWait(DeviceObject, Irp);
}

NTSTATUS QueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = GET_EXTENSION(DeviceObject);
    NTSTATUS status = PnpPassDownIrpAndWait(DeviceObject, Irp);
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;

    if (caps == 0)
        return status;
    if (RtlCompareMemory(caps, &ext->Capabilities, sizeof(DEVICE_CAPABILITIES)) == sizeof(DEVICE_CAPABILITIES))
        return status;

    /* Printed the first time and each time they change. */
    RtlCopyMemory(&ext->Capabilities, caps, sizeof(DEVICE_CAPABILITIES));
    DebugPrint("Device Capabilities for 0x%04x-%04x are:\n", ext->VenId, ext->DevId);
    PrintDeviceCapabilities(Irp);
    return status;
}

/* This driver's filter device on a physical device object, or null. */
static PDEVICE_OBJECT filterOf(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo)
{
    PDEVICE_OBJECT d;

    for (d = DriverObject->DeviceObject; d != 0; d = d->NextDevice)
        if (GET_EXTENSION(d)->Pdo == Pdo)
            return d;
    return 0;
}

NTSTATUS QueryDeviceRelations(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = GET_EXTENSION(DeviceObject);
    PDEVICE_RELATIONS relations;
    NTSTATUS status;
    ULONG i;

    if (GetTicks() != 0) {
        DebugPrint("Stalling execution for 0x%x ticks\n", GetTicks());
        KeStallExecutionProcessor(GetTicks());
    }

    status = PnpPassDownIrpAndWait(DeviceObject, Irp);

    relations = (PDEVICE_RELATIONS)Irp->IoStatus.Information;
    if (!NT_SUCCESS(status) || relations == 0)
        return status;

    PrintDeviceRelations(Irp);

    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryDeviceRelations.Type != BusRelations)
        return status;

    /* Hardware plugged in again behind a bridge whose numbers this driver
     * handed out: before the new children's stacks are built, the bridges
     * among them go back to unnumbered, so each is numbered as at the first
     * start. Children that stayed (they have this driver's device already)
     * are left alone. */
    if ((ext->Flags & REPROBE) && relations->Count != 0 && LocationKnown(ext)) {
        ext->Flags &= ~REPROBE;
        DebugPrint("NOTE QueryDeviceRelations: hardware behind %x:%x:%x is back\n", ext->Bus, ext->Device,
                   ext->Function);
        RestartBusNumbering(ext);
        for (i = 0; i < relations->Count; i++) {
            PDEVICE_OBJECT child = relations->Objects[i];
            ULONG bus, address;

            if (child == 0 || filterOf(DeviceObject->DriverObject, child) != 0)
                continue;
            bus = GetDevicePropertyDW(child, BUS_PROPERTY_BUS_NUMBER);
            address = GetDevicePropertyDW(child, BUS_PROPERTY_ADDRESS);
            if (bus == ext->SecBus && address != UNKNOWN_NUMBER)
                UnnumberReturnedBridge((UCHAR)bus, (UCHAR)(BUS_ADDRESS_DEVICE(address) & 0x1F),
                                       (UCHAR)(address & 0x07));
        }
    }

    /* Spread the filter over every child; one already filtered is skipped
     * by AlreadySeenThisOne. */
    for (i = 0; i < relations->Count; i++)
        if (relations->Objects[i] != 0)
            AddChildDevice(DeviceObject->DriverObject, relations->Objects[i], relations->Count);
    return status;
}
