/*
 * legacy_map.cpp - device-level adjustments for functions behind the
 * adapter: placing a legacy device's base addresses, interrupt line and
 * command register by hand, VGA forwarding in the bridges above a display
 * controller, and the Matrox hook.
 */
#include "quirks/quirks.h"
#include "core/config.h"
#include "core/debug.h"
#include "pci/pci_direct.h"
#include "pci/pci_lower.h"
#include "pci/pci_regs.h"
#include "pci/bus_window_keys.h"
#include "pnp/pnp.h"

/* No chain of bridges is longer than the number of bus numbers; a longer
 * climb means the lookups go round in a circle. */
#define MAX_BRIDGE_DEPTH 256

ULONG roundUp(ULONG Value, ULONG Alignment)
{
    ULONG remainder;

    /* No alignment and an alignment of 1 are the same thing. */
    if (Alignment == 0)
        return Value;
    remainder = Value % Alignment;
    if (remainder == 0)
        return Value;
    return Value + (Alignment - remainder);
}

/*
 * Places a range of Length bytes aligned to Alignment at the cursor of one of
 * the parent's windows, which ends (exclusive) at End. Returns TRUE and the
 * address when it fits, and then moves the cursor past the range; returns
 * FALSE and leaves the cursor alone when the parent has no such window
 * (End 0), when rounding up wraps past 4 GB, or when the range would run past
 * the end of the window.
 */
static BOOLEAN placeInWindow(PULONG Cursor, ULONG End, ULONG Length, ULONG Alignment, PULONG Address)
{
    ULONG aligned = roundUp(*Cursor, Alignment);

    if (End == 0 || aligned < *Cursor || aligned > End || Length > End - aligned)
        return FALSE;
    *Address = aligned;
    *Cursor = aligned + Length;
    return TRUE;
}

/* The base address register index that the device-private descriptor right
 * after descriptor j gives, or -1 when no such descriptor follows. */
static LONG barIndexAfter(PIO_RESOURCE_LIST List, ULONG j)
{
    if (j + 1 >= List->Count || List->Descriptors[j + 1].Type != CmResourceTypeDevicePrivate)
        return -1;
    return (LONG)List->Descriptors[j + 1].u.DevicePrivate.Data[BUS_BAR_INDEX_WORD];
}

/*
 * Gives a non-bridge device behind the adapter its base addresses, carving
 * them out of the windows assigned to the bridge above it, its interrupt line
 * from the adapter's controller and a command register that turns it on.
 *
 * The bus driver tags every port and memory requirement with a device-private
 * descriptor that holds the base address register index; a requirement
 * without that tag, or with an index past the six registers, is skipped with
 * a warning. The parent's IoBase, PreBase and MemBase are cursors that move
 * past each placed range; IoEnd, PreEnd and MemEnd, fixed when the parent's
 * resources were extracted, bound them: a range that would not fit is not
 * placed, its register is left alone and the cursor does not move. I/O space
 * is enabled only when an I/O register was actually written.
 */
VOID mapLegacyDevice(PDEVICE_EXTENSION Extension, PIO_RESOURCE_REQUIREMENTS_LIST List)
{
    PDEVICE_OBJECT parentDevice;
    PDEVICE_OBJECT rootDevice;
    PDEVICE_EXTENSION parent;
    PDEVICE_EXTENSION root;
    PIO_RESOURCE_LIST resources;
    PIO_RESOURCE_DESCRIPTOR descriptor;
    PUCHAR listEnd;
    PULONG cursor;
    ULONG end;
    ULONG classCode;
    ULONG address;
    USHORT command;
    UCHAR bus, device, function;
    UCHAR barOffset;
    LONG index;
    ULONG i, j;

    if (GetMapLegacy() == 0)
        return;
    if (List == 0) {
        DebugPrint("WARNING mapLegacyDevice: pRes is NULL!!!\n");
        return;
    }

    LocateMe(Extension);

    classCode = ReadPCIConfigDW(Extension->Pdo, CFG32_CLASS_REVISION);
    classCode &= CFG_CLASS_MASK;
    if (classCode == CFG_CLASS_BRIDGE_PCI || classCode == CFG_CLASS_BRIDGE_CARDBUS) {
        DebugPrint("mapLegacyDevice: ignoring bridge device...\n");
        return;
    }

    if (!LocationKnown(Extension)) {
        DebugPrint("WARNING mapLegacyDevice: location unknown, nothing mapped\n");
        return;
    }

    /* Each kind of decoding is turned on only for what was placed. */
    command = 0;
    DebugPrint("NOTE: mapping legacy device @ %x:%x:%x\n", Extension->Bus, Extension->Device, Extension->Function);

    parentDevice = GetParent(Extension->DeviceObject);
    if (parentDevice == 0) {
        DebugPrint("ERROR mapLegacyDevice: GetParent returned NULL\n");
        return;
    }
    rootDevice = GetRoot(Extension->DeviceObject);
    if (rootDevice == 0) {
        DebugPrint("ERROR mapLegacyDevice: GetRoot returned NULL\n");
        return;
    }
    parent = GET_EXTENSION(parentDevice);
    root = GET_EXTENSION(rootDevice);

    bus = (UCHAR)Extension->Bus;
    device = (UCHAR)Extension->Device;
    function = (UCHAR)Extension->Function;

    /* The alternative lists follow one another; none may run past the size
     * the list declares. */
    listEnd = (PUCHAR)List + List->ListSize;
    resources = &List->List[0];
    for (i = 0; i < List->AlternativeLists; i++) {
        if ((PUCHAR)resources->Descriptors > listEnd ||
            (ULONG)(listEnd - (PUCHAR)resources->Descriptors) / sizeof(IO_RESOURCE_DESCRIPTOR) < resources->Count) {
            DebugPrint("WARNING mapLegacyDevice: list %d runs past the end of the requirements, stopped\n", i);
            break;
        }

        for (j = 0; j < resources->Count; j++) {
            descriptor = &resources->Descriptors[j];

            switch (descriptor->Type) {
            case CmResourceTypePort:
            case CmResourceTypeMemory:
                index = barIndexAfter(resources, j);
                if (index < 0) {
                    DebugPrint("WARNING mapLegacyDevice: desc %d has no BAR index, skipped\n", j);
                    break;
                }
                if (index >= CFG_BAR_COUNT) {
                    DebugPrint("WARNING mapLegacyDevice: desc %d names BAR #%d, skipped\n", j, index);
                    break;
                }
                barOffset = (UCHAR)CFG32_BAR(index);

                if (descriptor->Type == CmResourceTypePort) {
                    if (!placeInWindow(&parent->IoBase, parent->IoEnd, descriptor->u.Port.Length,
                                       descriptor->u.Port.Alignment, &address)) {
                        DebugPrint("WARNING mapLegacyDevice: I/O bar #%d (0x%lx bytes) "
                                   "does not fit at 0x%lx, skipped\n",
                                   index, descriptor->u.Port.Length, parent->IoBase);
                        break;
                    }
                    command |= CFG_COMMAND_IO;
                    DebugPrint("mapLegacyDevice: mapping I/O bar #%d <== 0x%lx\n", index, address);
                } else {
                    if (descriptor->Flags & CM_RESOURCE_MEMORY_PREFETCHABLE) {
                        cursor = &parent->PreBase;
                        end = parent->PreEnd;
                    } else {
                        cursor = &parent->MemBase;
                        end = parent->MemEnd;
                    }
                    if (!placeInWindow(cursor, end, descriptor->u.Memory.Length, descriptor->u.Memory.Alignment,
                                       &address)) {
                        DebugPrint("WARNING mapLegacyDevice: MEM bar #%d (0x%lx bytes) "
                                   "does not fit at 0x%lx, skipped\n",
                                   index, descriptor->u.Memory.Length, *cursor);
                        break;
                    }
                    command |= CFG_COMMAND_MEMORY | CFG_COMMAND_MASTER;
                    DebugPrint("mapLegacyDevice: mapping MEM bar #%d <== 0x%lx\n", index, address);
                    /* The upper half of a 64-bit BAR: the range is below 4 GB. */
                    if ((PciCfgRead32(bus, device, function, barOffset) & CFG_BAR_MEM_TYPE_MASK) ==
                            CFG_BAR_MEM_TYPE_64 &&
                        index + 1 < CFG_BAR_COUNT)
                        PciCfgWrite32(bus, device, function, (UCHAR)(barOffset + 4), 0);
                }
                PciCfgWrite32(bus, device, function, barOffset, address);
                break;

            case CmResourceTypeInterrupt:
                DebugPrint("mapLegacyDevice: mapping IRQ #%d\n", root->Irq);
                PciCfgWrite8(bus, device, function, CFG8_INTERRUPT_LINE, (UCHAR)root->Irq);
                DebugPrint("mapLegacyDevice: readback %d\n", PciCfgRead8(bus, device, function, CFG8_INTERRUPT_LINE));
                break;

            default:
                break;
            }
        }
        /* The next alternative list begins after this one's last descriptor. */
        resources = (PIO_RESOURCE_LIST)&resources->Descriptors[resources->Count];
    }

    DebugPrint("mapLegacyDevice: cmd reg <== 0x%x\n", (ULONG)command);
    PciCfgWrite16(bus, device, function, CFG16_COMMAND, command);
}

/*
 * A VGA controller behind the adapter answers the legacy VGA ranges only if
 * every bridge above it forwards them: set VGA enable in the bridge control
 * register of each of this driver's bridges from the device up to the top.
 */
VOID vgaEnable(PDEVICE_OBJECT FilterDevice)
{
    PDEVICE_EXTENSION extension = GET_EXTENSION(FilterDevice);
    PDEVICE_EXTENSION bridge;
    PDEVICE_OBJECT current;
    PDEVICE_OBJECT parentDevice;
    ULONG control;
    ULONG depth;

    if ((extension->Flags & VGA) == 0) {
        DebugPrint("vgaEnable: Called but not a VGA device!!!\n");
        return;
    }
    if (GetVgaAlias() == 0)
        return;

    current = FilterDevice;
    for (depth = 0;; depth++) {
        parentDevice = GetParent(current);
        if (parentDevice == 0)
            break;
        /* A bridge whose secondary bus matches its own bus number (both
         * unknown, say) is its own parent; do not climb for ever. */
        if (parentDevice == current || depth >= MAX_BRIDGE_DEPTH) {
            DebugPrint("WARNING vgaEnable: bridge chain loops at devObj 0x%08lX, stopped\n", PTR32(parentDevice));
            break;
        }
        bridge = GET_EXTENSION(parentDevice);
        if (bridge->Marker == EXTENSION_MARKER && (bridge->Flags & BRIDGE_FLAGS) != 0 && LocationKnown(bridge)) {
            control =
                PciCfgRead16((UCHAR)bridge->Bus, (UCHAR)bridge->Device, (UCHAR)bridge->Function, CFG16_BRIDGE_CONTROL);
            PciCfgWrite16((UCHAR)bridge->Bus, (UCHAR)bridge->Device, (UCHAR)bridge->Function, CFG16_BRIDGE_CONTROL,
                          (USHORT)(control | CFG_BRIDGE_CONTROL_VGA));
        }
        current = parentDevice;
    }
}

/* Matrox display controllers need nothing here after all; the hook stays
 * so the resources handler keeps one call for every device. */
VOID patchMatrox(PDEVICE_EXTENSION Extension)
{
    DebugPrint("Leaving patchMatrox without doing a thing\n");
}
