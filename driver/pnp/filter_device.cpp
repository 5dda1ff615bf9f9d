/*
 * filter_device.cpp - creating filter device objects and putting them on
 * top of device stacks: the adapter's controller through AddDevice, and every
 * child the bus driver reports below a filtered bridge through AddChildDevice.
 */
#include "pnp/pnp.h"
#include "pci/pci_dump.h"
#include "pci/pci_lower.h"
#include "pci/pci_regs.h"
#include "diag/irp_trace.h"
#include "diag/resource_print.h"
#include "core/config.h"
#include "core/debug.h"

/* Flags a filter device takes over from the device below it. */
#define INHERITED_DO_FLAGS (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE)

static const char AddSeparator[] = "+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+\n";
static const char AddDone[] = "DONE  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+\n";

static ULONG IdentityWord(USHORT vendorId, USHORT deviceId)
{
    return ((ULONG)vendorId << 16) | deviceId;
}

ULONG AlreadySeenThisOne(PDEVICE_OBJECT FirstDevice, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT d;

    for (d = FirstDevice; d != 0; d = d->NextDevice) {
        if (GET_EXTENSION(d)->Pdo == PhysicalDeviceObject) {
            DebugPrint("WARNING AlreadySeenThisOne: PDO 0x%lx in devObj 0x%lx\n", PTR32(PhysicalDeviceObject),
                       PTR32(d));
            return 1;
        }
    }
    return 0;
}

NTSTATUS CommonAdd(const char *Name, PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                   PDEVICE_EXTENSION *Extension, ULONG Child)
{
    PDEVICE_OBJECT filter = 0;
    PDEVICE_EXTENSION ext;
    PDEVICE_OBJECT lower;
    USHORT vendorId, deviceId;
    BOOLEAN located = FALSE;
    NTSTATUS status;

    if (AlreadySeenThisOne(DriverObject->DeviceObject, PhysicalDeviceObject))
        return STATUS_SUCCESS;

    vendorId = ReadPCIConfigW(PhysicalDeviceObject, CFG16_VENDOR_ID);
    deviceId = ReadPCIConfigW(PhysicalDeviceObject, CFG16_DEVICE_ID);
    if (vendorId == 0xFFFF || deviceId == 0xFFFF) {
        DebugPrint("ERROR %s: illegal Vendor & Device ID\n", Name);
        return STATUS_SUCCESS;
    }

    if (vendorId == GetIgnoreVenId() && deviceId == GetIgnoreDevId())
        return STATUS_SUCCESS;

    findPtr((ULONG_PTR)DriverObject, IdentityWord(vendorId, deviceId));

    DebugPrint(">>>>> %s(0x%08X 0x%08X vid 0x%04X-%04X)\n", Name, PTR32(DriverObject), PTR32(PhysicalDeviceObject),
               vendorId, deviceId);
    DumpPciSpace("", PhysicalDeviceObject, 32);

    status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), 0, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &filter);
    if (!NT_SUCCESS(status)) {
        DebugPrint("ERROR %s: creating device (status = 0x%X)\n", Name, status);
        return STATUS_DEVICE_REMOVED;
    }

    DebugPrint("%s created filter FDO (0x%X)\n        attaching to stack PDO (0x%X)\n", Name, PTR32(filter),
               PTR32(PhysicalDeviceObject));

    ext = GET_EXTENSION(filter);
    *Extension = ext;
    ext->DeviceObject = filter;
    ext->Pdo = PhysicalDeviceObject;
    ext->VenId = vendorId;
    ext->DevId = deviceId;

    if (!Child) {
        ULONG code;

        LocateMe(ext);
        located = TRUE;
        code = (ext->Bus << 8) | ext->Device;
        DebugPrint("||| CommonAdd: icb = 0x%08lX tmp = 0x%04lX\n", GetIgnoreCb(), code);
        if (GetIgnoreCb() != 0 && (code == (GetIgnoreCb() & 0xFFFF) || code == (GetIgnoreCb() >> 16))) {
            DebugPrint("||| NOTE %s: ignoring this controller\n", Name);
            IoDeleteDevice(filter);
            *Extension = 0;
            return STATUS_SUCCESS;
        }
    }

    lower = IoAttachDeviceToDeviceStack(filter, PhysicalDeviceObject);
    ext->LowerDevice = lower;
    if (lower == 0) {
        DebugPrint("ERROR %s: attaching device to stack\n", Name);
        IoDeleteDevice(filter);
        *Extension = 0;
        return STATUS_DEVICE_REMOVED;
    }

    findPtr((ULONG_PTR)filter, IdentityWord(vendorId, deviceId));

    ext->SubBus = UNKNOWN_NUMBER;
    ext->PriBus = UNKNOWN_NUMBER;
    ext->SecBus = UNKNOWN_NUMBER;
    ext->ExCa = UNKNOWN_NUMBER;
    ext->Irq = UNKNOWN_NUMBER;
    if (!located) {
        ext->Bus = UNKNOWN_NUMBER;
        ext->Device = UNKNOWN_NUMBER;
        ext->Function = UNKNOWN_NUMBER;
    }
    ext->Marker = EXTENSION_MARKER;

    /* The filter must look to the I/O manager like the device below it. */
    filter->AlignmentRequirement = lower->AlignmentRequirement;
    filter->Characteristics = lower->Characteristics;
    filter->DeviceType = lower->DeviceType;
    filter->Flags |= lower->Flags & INHERITED_DO_FLAGS;
    filter->Flags &= ~DO_DEVICE_INITIALIZING;

    PrintDeviceFlags("Device Flags", filter->Flags);
    return COMMON_ADD_ATTACHED;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_EXTENSION ext = 0;
    NTSTATUS result;

    DebugPrint(AddSeparator);
    registerMe(PhysicalDeviceObject);

    result = CommonAdd("AddDevice", DriverObject, PhysicalDeviceObject, &ext, 0);
    if (result != COMMON_ADD_ATTACHED)
        return result;

    /* The controller the PnP manager hands us is the adapter's own. It is
     * treated as a CardBus controller unless it is a PCI-to-PCI bridge: the
     * bus driver tags a PCI-to-PCI bridge's windows with other keys, and the
     * CardBus window table would give its I/O window the prefetchable need
     * and its memory window the I/O need. */
    if ((ReadPCIConfigDW(ext->DeviceObject, CFG32_CLASS_REVISION) & CFG_CLASS_MASK) == CFG_CLASS_BRIDGE_PCI) {
        ext->BridgeType = BRIDGE_TYPE_P2P;
        ext->Flags |= ROOT | P2P_BRIDGE;
    } else {
        ext->BridgeType = BRIDGE_TYPE_CARDBUS;
        ext->Flags |= ROOT | CB_BRIDGE;
    }

    /* On a single-socket controller only function 0 is filtered. The device
     * object stays in the driver's list with its marked extension. */
    if (GetNSockets() == 1 && ext->Function == 1) {
        DebugPrint("WARNING: detaching device from stack...\n");
        IoDetachDevice(ext->LowerDevice);
    }

    DebugPrint(AddDone);
    return STATUS_SUCCESS;
}

NTSTATUS AddChildDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT ChildPdo, ULONG Count)
{
    PDEVICE_EXTENSION ext = 0;
    NTSTATUS result;
    ULONG classCode;

    DebugPrint(AddSeparator);

    /* A child whose stack already has a device of another driver above the
     * bus driver's (its function driver, once started) is left alone: a
     * filter attached now would sit above that driver, not below it. */
    if (ChildPdo->AttachedDevice != 0 && ChildPdo->AttachedDevice->DriverObject != DriverObject) {
        DebugPrint("NOTE AddChildDevice: PDO 0x%08X already has a device above it, left alone\n", PTR32(ChildPdo));
        return STATUS_SUCCESS;
    }

    result = CommonAdd("AddChildDevice", DriverObject, ChildPdo, &ext, 1);
    if (result != COMMON_ADD_ATTACHED)
        return result;

    classCode = ReadPCIConfigDW(ext->DeviceObject, CFG32_CLASS_REVISION);
    if ((classCode & CFG_CLASS_MASK) == CFG_CLASS_BRIDGE_PCI) {
        ext->BridgeType = BRIDGE_TYPE_P2P;
        ext->Flags |= P2P_BRIDGE;
        /* A bridge with siblings is a chassis bridge whose hierarchy the
         * operating system cannot be trusted to size. */
        if (Count > 1) {
            ext->Flags |= ENUMERATE | NOIO;
            DebugPrint("NOTE AddChildDevice: NOIO and ENUMERATE flags set\n");
        }
    } else if ((classCode & CFG_CLASS_MASK) == CFG_CLASS_BRIDGE_CARDBUS) {
        ext->Flags |= ENUMERATE | NOIO;
        ext->BridgeType = BRIDGE_TYPE_CARDBUS;
        ext->Flags |= CB_BRIDGE;
    } else {
        ext->BridgeType = BRIDGE_TYPE_OTHER;
        if ((classCode & CFG_CLASS_CODE_MASK) == CFG_CLASS_VGA)
            ext->Flags |= VGA;
    }

    DebugPrint(AddDone);
    return STATUS_SUCCESS;
}
