/*
 * lookups.cpp - where a filter device sits: its PCI location, the filter
 * device of its parent bridge, the adapter's root controller above it, and
 * the record of controller locations in the iam word.
 *
 * The filter devices of one load mirror the PCI hierarchy behind the adapter,
 * but nothing links them: the tree is worked out on demand from bus numbers,
 * a device's parent being the bridge whose secondary bus is the device's bus.
 */
#include "pnp/pnp.h"
#include "pci/bus_conventions.h"
#include "pci/pci_regs.h"
#include "pci/pci_lower.h"
#include "core/config.h"
#include "core/debug.h"

ULONG GetDevicePropertyDW(PDEVICE_OBJECT Pdo, DEVICE_REGISTRY_PROPERTY Property)
{
    ULONG value = UNKNOWN_NUMBER;
    ULONG length = 0;
    NTSTATUS status;

    status = IoGetDeviceProperty(Pdo, Property, sizeof(value), &value, &length);
    if (status != STATUS_SUCCESS || length != sizeof(value))
        return UNKNOWN_NUMBER;
    return value;
}

ULONG GetLocationCode(PDEVICE_OBJECT Pdo)
{
    ULONG bus = GetDevicePropertyDW(Pdo, BUS_PROPERTY_BUS_NUMBER);
    ULONG address = GetDevicePropertyDW(Pdo, BUS_PROPERTY_ADDRESS);

    return (bus << 8) | (BUS_ADDRESS_DEVICE(address) & 0x1F);
}

VOID registerMe(PDEVICE_OBJECT Pdo)
{
    ULONG code = GetLocationCode(Pdo);
    ULONG iam = GetIam();

    DebugPrint("||| registerMe: before iam = 0x%08lX tmp = 0x%04X\n", iam, code);

    /* Two places: the first controller in the low half, a second one in the
     * high half; a controller already recorded, or a third, changes nothing. */
    if (iam == 0)
        iam = code;
    else if ((iam & 0xFFFF) == code)
        ;
    else if ((iam >> 16) == 0)
        iam = (iam & 0xFFFF) | (code << 16);
    SetIam(iam);

    DebugPrint("||| registerMe: after  iam = 0x%08lX tmp = 0x%04X\n", iam, code);
    RegisterConfiguration(WSTR("iam"), iam);
}

BOOLEAN LocationKnown(PDEVICE_EXTENSION Extension)
{
    return Extension->Bus <= 0xFF && Extension->Device <= 31 && Extension->Function <= 7;
}

VOID LocateMe(PDEVICE_EXTENSION Extension)
{
    ULONG address;

    Extension->Bus = GetDevicePropertyDW(Extension->Pdo, BUS_PROPERTY_BUS_NUMBER);
    address = GetDevicePropertyDW(Extension->Pdo, BUS_PROPERTY_ADDRESS);
    Extension->Device = BUS_ADDRESS_DEVICE(address);
    Extension->Function = BUS_ADDRESS_FUNCTION(address);

    if (Extension->Flags & BRIDGE_FLAGS) {
        ULONG numbers = ReadPCIConfigDW(Extension->DeviceObject, CFG32_BRIDGE_BUS_NUMBERS) & 0x00FFFFFF;

        Extension->PriBus = numbers & 0xFF;
        Extension->SecBus = (numbers >> 8) & 0xFF;
        Extension->SubBus = (numbers >> 16) & 0xFF;
    }

    DebugPrint("LocateMe: vid 0x%04X-%04X @ %x:%x:%x\n", Extension->VenId, Extension->DevId, Extension->Bus,
               Extension->Device, Extension->Function);
}

PDEVICE_OBJECT GetParent(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION own = GET_EXTENSION(DeviceObject);
    PDEVICE_OBJECT candidate;

    for (candidate = DeviceObject->DriverObject->DeviceObject; candidate != 0; candidate = candidate->NextDevice) {
        PDEVICE_EXTENSION ext = GET_EXTENSION(candidate);

        if (ext->Marker != EXTENSION_MARKER) {
            if (GetVerbose() >= 9)
                DebugPrint("GetParent: skipping devObj 0x%08lX without Marker\n", PTR32(candidate));
            continue;
        }
        if (ext->Flags & BRIDGE_FLAGS) {
            if (GetVerbose() >= 9)
                DebugPrint("GetParent: Bus 0x%x Sec 0x%x Sub 0x%x\n", own->Bus, ext->SecBus, ext->SubBus);
            /* Secondary bus 0 is an unnumbered bridge: bus 0 is the root
             * bus, never behind a bridge, and such a bridge forwards
             * nothing. Taking it for the parent of what sits on bus 0 (the
             * adapter's controller) made parent climbs go round in a loop
             * through a bridge that is not above the device at all. */
            if (ext->SecBus != 0 && own->Bus == ext->SecBus)
                return candidate;
        }
    }
    return 0;
}

/* How many device objects the driver has: no chain of parents can be longer,
 * so a loop of bus numbers in bad hardware cannot keep a climb going. */
ULONG CountDriverDevices(PDRIVER_OBJECT DriverObject)
{
    PDEVICE_OBJECT d;
    ULONG n = 0;

    for (d = DriverObject->DeviceObject; d != 0; d = d->NextDevice)
        n++;
    return n;
}

PDEVICE_OBJECT GetRoot(PDEVICE_OBJECT DeviceObject)
{
    ULONG bus = GET_EXTENSION(DeviceObject)->Bus;
    PDEVICE_OBJECT candidate = DeviceObject;
    ULONG steps = CountDriverDevices(DeviceObject->DriverObject);

    for (;;) {
        PDEVICE_EXTENSION ext = GET_EXTENSION(candidate);

        if (ext->Marker == EXTENSION_MARKER) {
            if (GetVerbose() >= 9)
                DebugPrint("GetRoot: @ %x-%x-%x Flags 0x%x\n", ext->Bus, ext->Device, ext->Function, ext->Flags);
            if ((ext->Flags & BRIDGE_FLAGS) && GetVerbose() >= 9)
                DebugPrint("GetRoot: My Bus 0x%x PSec 0x%x PSub 0x%x\n", bus, ext->SecBus, ext->SubBus);
            if ((ext->Flags & ROOT) && ext->SecBus <= bus && bus <= ext->SubBus) {
                if (GetVerbose() >= 9)
                    DebugPrint("GetRoot: found root!!!\n");
                return candidate;
            }
        }

        candidate = (steps-- > 0) ? GetParent(candidate) : 0;
        if (candidate == 0) {
            if (GetVerbose() >= 9)
                DebugPrint("GetRoot: returning NULL\n");
            return 0;
        }
    }
}
