/*
 * pci_lower.cpp - reading and writing a device's configuration space by
 * asking its bus driver.
 *
 * The request goes to the top of the device's stack, so once a filter device
 * of this driver sits there it passes through our own PnP dispatch, which
 * hands configuration requests down unchanged. Writes are read back and a
 * difference is reported: several controllers silently ignore bits.
 */
#include "pci/pci_lower.h"
#include "pci/bus_conventions.h"
#include "core/debug.h"

NTSTATUS _ReadWritePci(PDEVICE_OBJECT DeviceObject, ULONG Write, PVOID Buffer, ULONG Offset, ULONG Length)
{
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    PDEVICE_OBJECT top;
    PIRP irp;
    PIO_STACK_LOCATION stack;
    NTSTATUS status;

    KeInitializeEvent(&event, NotificationEvent, FALSE);

    top = IoGetAttachedDeviceReference(DeviceObject);
    if (top == 0) {
        DebugPrint("WARNING _ReadWritePci: IoGetAttachedDeviceReference returned NULL\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, 0, 0, 0, &event, &ioStatus);
    if (irp == 0) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        stack = IoGetNextIrpStackLocation(irp);
        stack->MinorFunction = Write ? BUS_MN_WRITE_CONFIG : BUS_MN_READ_CONFIG;
        stack->Parameters.ReadWriteConfig.WhichSpace = BUS_CONFIG_SPACE;
        stack->Parameters.ReadWriteConfig.Buffer = Buffer;
        stack->Parameters.ReadWriteConfig.Offset = Offset;
        stack->Parameters.ReadWriteConfig.Length = Length;
        /* A PnP request nobody handles must come back as not supported. */
        irp->IoStatus.Status = BUS_CONFIG_PRESET_STATUS;

        status = IoCallDriver(top, irp);
        if (status == STATUS_PENDING) {
            /* The request is the I/O manager's once it completes; only the
             * status block may be read afterwards. */
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, 0);
            status = ioStatus.Status;
        }
    }

    ObfDereferenceObject(top);
    return status;
}

UCHAR ReadPCIConfigB(PDEVICE_OBJECT DeviceObject, ULONG Offset)
{
    UCHAR value = 0xFF;

    if (_ReadWritePci(DeviceObject, 0, &value, Offset, sizeof(value)) != STATUS_SUCCESS)
        DebugPrint("ERROR! ReadPCIConfigB @ 0x%x failed\n", Offset);
    return value;
}

USHORT ReadPCIConfigW(PDEVICE_OBJECT DeviceObject, ULONG Offset)
{
    USHORT value = 0xFFFF;

    if (_ReadWritePci(DeviceObject, 0, &value, Offset, sizeof(value)) != STATUS_SUCCESS)
        DebugPrint("ERROR! ReadPCIConfigW @ 0x%x failed\n", Offset);
    return value;
}

ULONG ReadPCIConfigDW(PDEVICE_OBJECT DeviceObject, ULONG Offset)
{
    ULONG value = 0xFFFFFFFF;

    /* Reported with the word read's text: the message names the routine
     * family, not the width. */
    if (_ReadWritePci(DeviceObject, 0, &value, Offset, sizeof(value)) != STATUS_SUCCESS)
        DebugPrint("ERROR! ReadPCIConfigW @ 0x%x failed\n", Offset);
    return value;
}

NTSTATUS ReadPCIConfigBuf(PDEVICE_OBJECT DeviceObject, ULONG Offset, PVOID Buffer, ULONG Length)
{
    NTSTATUS status = _ReadWritePci(DeviceObject, 0, Buffer, Offset, Length);

    if (status != STATUS_SUCCESS)
        DebugPrint("ERROR! ReadPCIConfigBuf @ 0x%x failed\n", Offset);
    return status;
}

NTSTATUS WritePCIConfigB(PDEVICE_OBJECT DeviceObject, ULONG Offset, UCHAR Value)
{
    NTSTATUS status = _ReadWritePci(DeviceObject, 1, &Value, Offset, sizeof(Value));
    UCHAR readback;

    if (status != STATUS_SUCCESS) {
        DebugPrint("ERROR! WritePCIConfigB @ 0x%x failed\n", Offset);
        return status;
    }
    readback = ReadPCIConfigB(DeviceObject, Offset);
    if (readback != Value)
        DebugPrint("WritePCIConfigB: wrote 0x%02x readback 0x%02x\n", Value, readback);
    return status;
}

NTSTATUS WritePCIConfigW(PDEVICE_OBJECT DeviceObject, ULONG Offset, USHORT Value)
{
    NTSTATUS status = _ReadWritePci(DeviceObject, 1, &Value, Offset, sizeof(Value));
    USHORT readback;

    if (status != STATUS_SUCCESS) {
        DebugPrint("ERROR! WritePCIConfigW @ 0x%x failed\n", Offset);
        return status;
    }
    readback = ReadPCIConfigW(DeviceObject, Offset);
    if (readback != Value)
        DebugPrint("WritePCIConfigW: wrote 0x%04x readback 0x%04x\n", Value, readback);
    return status;
}
