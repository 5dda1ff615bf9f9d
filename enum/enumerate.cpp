/*
 * enumerate.cpp - how big must this bridge's windows be: a fresh probe of
 * everything behind a bridge marked for enumeration, or the configured sizes
 * for any other bridge; and keeping the bus numbers of the filtered bridges
 * above it in step, so they forward configuration cycles to what the probe
 * numbers.
 */
#include "enum/enumerate.h"
#include "enum/pci_tree.h"
#include "pnp/pnp.h"
#include "pci/pci_direct.h"
#include "pci/pci_dump.h"
#include "pci/pci_lower.h"
#include "driver/config.h"
#include "driver/debug.h"

#define CFG_BUS_NUMBERS 0x18     /* 32 bit: primary, secondary, subordinate, secondary latency */
#define CFG_PRIMARY_BUS 0x18     /* 8 bit */
#define CFG_SECONDARY_BUS 0x19   /* 8 bit */
#define CFG_SUBORDINATE_BUS 0x1A /* 8 bit */

/* Bus numbers reserved behind an enumerated bridge beyond its own bus. */
#define BUS_NUMBER_HEADROOM 16

#define MIN_WINDOW 0x100000 /* 1 MB: the least a memory window is given */

VOID propigateBusNo(PDEVICE_OBJECT FilterDevice, UCHAR BusNo)
{
    PDEVICE_EXTENSION ext = GET_EXTENSION(FilterDevice);
    PDEVICE_OBJECT d = FilterDevice;
    ULONG steps = CountDriverDevices(FilterDevice->DriverObject);

    if (GetVerbose() >= 9)
        DebugPrint("propigateBusNo: propigating 0x%x from %x:%x:%x\n", BusNo, ext->Bus, ext->Device, ext->Function);

    /* Up the chain of filtered bridges; no chain is longer than the driver
     * has device objects, even when bad hardware makes the bus numbers loop. */
    while (d != 0 && steps-- > 0) {
        PDEVICE_EXTENSION e = GET_EXTENSION(d);
        UCHAR sub = ReadPCIConfigB(d, CFG_SUBORDINATE_BUS);

        /* Read through the bus driver, written through the ports; only ever
         * raised. */
        if (BusNo > sub) {
            PciCfgWrite8((UCHAR)e->Bus, (UCHAR)e->Device, (UCHAR)e->Function, CFG_SUBORDINATE_BUS, BusNo);
            DebugPrint("NOTE propigateBusNo: %x:%x:%x updating sub from %x to %x\n", e->Bus, e->Device, e->Function,
                       sub, BusNo);
        }
        if (e->SubBus < BusNo)
            e->SubBus = BusNo;

        d = GetParent(d);
    }
}

VOID CheckBusNumbers(PDEVICE_EXTENSION Extension)
{
    ULONG numbers = ReadPCIConfigDW(Extension->Pdo, CFG_BUS_NUMBERS);
    ULONG pri = numbers & 0xFF;
    ULONG sec = (numbers >> 8) & 0xFF;
    ULONG sub = (numbers >> 16) & 0xFF;

    if (pri != Extension->PriBus) {
        DebugPrint("WARNING CheckBusNumbers: pExt->PriBus (0x%x) != pri (0x%x)\n", Extension->PriBus, pri);
        Extension->PriBus = pri;
    }
    if (sec != Extension->SecBus) {
        DebugPrint("WARNING CheckBusNumbers: pExt->SecBus (0x%x) != sec (0x%x)\n", Extension->SecBus, sec);
        Extension->SecBus = sec;
    }
    if (sub != Extension->SubBus) {
        DebugPrint("WARNING CheckBusNumbers: pExt->SubBus (0x%x) != sub (0x%x)\n", Extension->SubBus, sub);
        Extension->SubBus = sub;
    }
}

/* Gives a bridge with secondary bus 0 its primary, secondary and (for now)
 * subordinate bus numbers; FALSE when no number is left. */
static BOOLEAN NumberUnnumberedBridge(PDEVICE_EXTENSION Extension)
{
    UCHAR bus = (UCHAR)Extension->Bus;
    ULONG secondary = (ULONG)bus + 1;

    if (nextBus > secondary)
        secondary = nextBus;
    if (secondary > 0xFF) {
        DebugPrint("WARNING EnumerateFromHere: no bus number left for %x:%x:%x\n", Extension->Bus, Extension->Device,
                   Extension->Function);
        return FALSE;
    }

    DebugPrint("NOTE EnumerateFromHere: numbering bridge %x:%x:%x pri %x sec %x\n", Extension->Bus, Extension->Device,
               Extension->Function, bus, secondary);
    PciCfgWrite8(bus, (UCHAR)Extension->Device, (UCHAR)Extension->Function, CFG_PRIMARY_BUS, bus);
    PciCfgWrite8(bus, (UCHAR)Extension->Device, (UCHAR)Extension->Function, CFG_SECONDARY_BUS, (UCHAR)secondary);
    PciCfgWrite8(bus, (UCHAR)Extension->Device, (UCHAR)Extension->Function, CFG_SUBORDINATE_BUS, (UCHAR)secondary);
    Extension->PriBus = bus;
    Extension->SecBus = secondary;
    Extension->SubBus = secondary;
    return TRUE;
}

/* bus + 16, kept at 0xFF: a subordinate number that wrapped round to a low
 * value would forward nothing behind the bridge. */
static UCHAR HighBusAbove(ULONG bus)
{
    ULONG high = (bus & 0xFF) + BUS_NUMBER_HEADROOM;

    if (high > 0xFF) {
        DebugPrint("WARNING EnumerateFromHere: bus numbers run past 0xff, high kept at 0xff\n");
        return 0xFF;
    }
    return (UCHAR)high;
}

VOID EnumerateFromHere(PDEVICE_EXTENSION Extension, PULONG MemoryNeed, PULONG PrefetchNeed, PULONG IoNeed,
                       PULONG MemoryAlign, PULONG PrefetchAlign)
{
    PciNode root;

    CheckBusNumbers(Extension);
    DebugPrint("EnumerateFromHere %x:%x:%x Pri %x Sec %x Sub %x\n", Extension->Bus, Extension->Device,
               Extension->Function, Extension->PriBus, Extension->SecBus, Extension->SubBus);

    if (!(Extension->Flags & ENUMERATE)) {
        DebugPrint("probeBuses: No need to enumerate this node\n");
        propigateBusNo(Extension->DeviceObject, (UCHAR)(Extension->Bus + 1));
        *MemoryNeed = GetMemory();
        *PrefetchNeed = GetPreFetch();
        *IoNeed = GetIo();
        *MemoryAlign = GetMemory();
        *PrefetchAlign = GetPreFetch();
        return;
    }

    DumpPciSpace("Enumerate", Extension->Pdo, 0x20);

    /* A bridge the operating system left unnumbered has secondary bus 0: a
     * probe from there would walk the host's own bus and renumber its
     * bridges. Number it first, behind its own bus or behind what the last
     * enumeration handed out, whichever is higher. */
    if (Extension->SecBus == 0 && !NumberUnnumberedBridge(Extension)) {
        *IoNeed = 0;
        *MemoryNeed = *PrefetchNeed = *MemoryAlign = *PrefetchAlign = MIN_WINDOW;
        return;
    }

    if (highBus == 0)
        highBus = HighBusAbove(Extension->Bus);
    if (Extension->SecBus > highBus)
        highBus = HighBusAbove(Extension->SecBus);

    /* This bridge and every filtered bridge above it must forward
     * configuration cycles up to highBus. */
    propigateBusNo(Extension->DeviceObject, highBus);

    nextBus = (UCHAR)(Extension->SecBus + 1);
    RtlZeroMemory(&root, sizeof(root));
    probeBuses(&root, (UCHAR)Extension->SecBus);
    totalAllSpaces(&root);
    dumpPciTree(&root);
    freePciTree(&root, FALSE);

    *IoNeed = root.ioSize > GetIo() ? GetIo() : root.ioSize;
    *MemoryNeed = root.memSize != 0 ? root.memSize : MIN_WINDOW;
    *PrefetchNeed = root.preSize != 0 ? root.preSize : MIN_WINDOW;
    *MemoryAlign = root.memAlign != 0 ? root.memAlign : MIN_WINDOW;
    *PrefetchAlign = root.preAlign != 0 ? root.preAlign : MIN_WINDOW;
}
