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
#include "pci/pci_regs.h"
#include "enum/bus_map.h"
#include "core/config.h"
#include "core/debug.h"

/* Bus numbers reserved behind an enumerated bridge beyond its own bus. */
#define BUS_NUMBER_HEADROOM 16

#define MIN_WINDOW 0x100000 /* 1 MB: the least a memory window is given */
#define IO_BLOCK 0x1000     /* a PCI-to-PCI bridge decodes I/O in 4 KB blocks */

/*
 * Hardware plugged in again behind a bridge: what the earlier enumerations
 * handed out behind it is free again. The numbering starts right behind the
 * bridge once more, and the top of the numbers is worked out again, as at
 * load; numbers still routed by bridges that stayed are avoided as always.
 */
VOID RestartBusNumbering(PDEVICE_EXTENSION Extension)
{
    nextBus = (UCHAR)(Extension->SecBus + 1);
    highBus = 0;
}

/*
 * A bridge plugged in again comes up unnumbered, and the bus driver then
 * hands each new bridge on the bus one number of the range above, so that
 * the first of them would block the numbers every later one needs. Such a
 * bridge is set back to unnumbered, as it was when the hierarchy was first
 * found, and numbered by its own enumeration. Anything else is left alone.
 */
VOID UnnumberReturnedBridge(UCHAR Bus, UCHAR Device, UCHAR Function)
{
    ULONG header;

    if ((PciCfgRead16(Bus, Device, Function, CFG16_VENDOR_ID) & 0xFFFF) == CFG_VENDOR_ID_NONE)
        return;
    header = PciCfgRead8(Bus, Device, Function, CFG8_HEADER_TYPE);
    if ((header & CFG_HEADER_LAYOUT_MASK) == CFG_HEADER_LAYOUT_DEVICE ||
        PciCfgRead8(Bus, Device, Function, CFG8_BRIDGE_SECONDARY_BUS) == 0)
        return;
    DebugPrint("NOTE UnnumberReturnedBridge: %x:%x:%x set back to unnumbered\n", Bus, Device, Function);
    PciCfgWrite8(Bus, Device, Function, CFG8_BRIDGE_SUBORDINATE_BUS, 0);
    PciCfgWrite8(Bus, Device, Function, CFG8_BRIDGE_SECONDARY_BUS, 0);
    PciCfgWrite8(Bus, Device, Function, CFG8_BRIDGE_PRIMARY_BUS, 0);
}

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
        UCHAR sub = ReadPCIConfigB(d, CFG8_BRIDGE_SUBORDINATE_BUS);

        /* Read through the bus driver, written through the ports; only ever
         * raised, and never at a location nobody could tell. */
        if (BusNo > sub && !LocationKnown(e)) {
            DebugPrint("WARNING propigateBusNo: location of a bridge above is unknown, sub left at %x\n", sub);
        } else if (BusNo > sub) {
            PciCfgWrite8((UCHAR)e->Bus, (UCHAR)e->Device, (UCHAR)e->Function, CFG8_BRIDGE_SUBORDINATE_BUS, BusNo);
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
    ULONG numbers = ReadPCIConfigDW(Extension->Pdo, CFG32_BRIDGE_BUS_NUMBERS);
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

/* TRUE when the filter device's parent was itself enumerated: its probe
 * numbered this bridge and the whole subtree below it. */
static BOOLEAN numberedByEarlierProbe(PDEVICE_EXTENSION Extension)
{
    PDEVICE_OBJECT parent = GetParent(Extension->DeviceObject);

    return parent != 0 && (GET_EXTENSION(parent)->Flags & ENUMERATE) != 0;
}

/*
 * A bridge with secondary bus 0 gets its primary, secondary and (for now)
 * subordinate bus numbers: the first number from behind its own bus or
 * behind what the last enumeration handed out, whichever is higher, that no
 * other bridge routes and that the bridges above it can be widened to
 * without covering a number routed beside them. FALSE when there is none.
 */
static BOOLEAN NumberUnnumberedBridge(PDEVICE_EXTENSION Extension, BusMap *Map, LONG Self, const UCHAR *Taken)
{
    UCHAR bus = (UCHAR)Extension->Bus;
    ULONG from = (ULONG)bus + 1;
    ULONG parentSub = 0xFF;
    ULONG secondary = 0;
    ULONG pass, n, m;

    if (nextBus > from)
        from = nextBus;

    if (Taken != 0) {
        if (Map->bridges[Self].parent != BUS_MAP_NONE)
            parentSub = Map->bridges[Map->bridges[Self].parent].subBus;
        /* From the preferred number up, then from just behind the bridge's
         * own bus. */
        for (pass = 0; pass < 2 && secondary == 0; pass++) {
            for (n = pass == 0 ? from : (ULONG)bus + 1; n <= 0xFF && secondary == 0; n++) {
                if (Taken[n])
                    continue;
                /* Widening the bridge above must not cover a taken number. */
                for (m = parentSub + 1; m < n && !Taken[m]; m++)
                    ;
                if (n <= parentSub || m == n)
                    secondary = n;
            }
        }
    }
    if (secondary == 0) {
        DebugPrint("WARNING EnumerateFromHere: no bus number left for %x:%x:%x\n", Extension->Bus, Extension->Device,
                   Extension->Function);
        return FALSE;
    }

    DebugPrint("NOTE EnumerateFromHere: numbering bridge %x:%x:%x pri %x sec %x\n", Extension->Bus, Extension->Device,
               Extension->Function, bus, secondary);
    PciCfgWrite8(bus, (UCHAR)Extension->Device, (UCHAR)Extension->Function, CFG8_BRIDGE_PRIMARY_BUS, bus);
    PciCfgWrite8(bus, (UCHAR)Extension->Device, (UCHAR)Extension->Function, CFG8_BRIDGE_SECONDARY_BUS,
                 (UCHAR)secondary);
    PciCfgWrite8(bus, (UCHAR)Extension->Device, (UCHAR)Extension->Function, CFG8_BRIDGE_SUBORDINATE_BUS,
                 (UCHAR)secondary);
    Extension->PriBus = bus;
    Extension->SecBus = secondary;
    Extension->SubBus = secondary;
    Map->bridges[Self].secBus = (UCHAR)secondary;
    Map->bridges[Self].subBus = (UCHAR)secondary;
    return TRUE;
}

/* The highest number the subtree of the bridge may reach: every number from
 * its secondary bus up to it is free of other bridges' routing. */
static ULONG SubtreeLimit(PDEVICE_EXTENSION Extension, const UCHAR *Taken)
{
    ULONG n;

    /* Without a map nothing is known to be free: no widening. */
    if (Taken == 0)
        return Extension->SubBus > Extension->SecBus ? Extension->SubBus : Extension->SecBus;
    for (n = Extension->SecBus + 1; n <= 0xFF && !Taken[n]; n++)
        ;
    return n - 1;
}

/* The bridges above the enumerated one that this driver does not filter
 * (the host's own bridges in front of the adapter) must route the new
 * numbers too. The map's bridges above it, filtered or not, are raised to
 * busNo where they stop short of it. */
static VOID raiseBridgesAbove(BusMap *Map, LONG Self, UCHAR BusNo)
{
    ULONG p;
    ULONG steps;

    if (Map == 0 || Self < 0)
        return;
    p = Map->bridges[Self].parent;
    for (steps = 0; p != BUS_MAP_NONE && steps < Map->count; steps++) {
        BusMapBridge *b = &Map->bridges[p];
        UCHAR sub = (UCHAR)PciCfgRead8(b->bus, b->device, b->function, CFG8_BRIDGE_SUBORDINATE_BUS);

        if (BusNo > sub) {
            PciCfgWrite8(b->bus, b->device, b->function, CFG8_BRIDGE_SUBORDINATE_BUS, BusNo);
            DebugPrint("NOTE EnumerateFromHere: bridge %x:%x:%x above the adapter: sub from %x to %x\n", b->bus,
                       b->device, b->function, sub, BusNo);
            b->subBus = BusNo;
        }
        p = b->parent;
    }
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

/*
 * The I/O a bridge's window asks for, given the I/O of what lies behind it.
 * A PCI-to-PCI bridge decodes I/O in whole 4 KB blocks whatever its window
 * registers were meant to cover, so it asks for whole blocks. Behind the
 * adapter the window above is no larger than Io: when Io cannot hold one
 * block, the bridge's I/O window is dropped rather than decoding over its
 * neighbours. The adapter's own bridge sits on the host's bus and always
 * gets whole blocks. A CardBus bridge decodes I/O to the byte.
 */
static ULONG wholeIoBlocks(ULONG io)
{
    if (io > 0xFFFFFFFF - (IO_BLOCK - 1))
        return 0xFFFFFFFF & ~(ULONG)(IO_BLOCK - 1);
    return (io + IO_BLOCK - 1) & ~(ULONG)(IO_BLOCK - 1);
}

static ULONG windowIo(PDEVICE_EXTENSION Extension, ULONG Total, PBOOLEAN Dropped)
{
    ULONG io = Total > GetIo() ? GetIo() : Total;
    ULONG bound = GetIo() & ~(ULONG)(IO_BLOCK - 1);
    ULONG blocks;

    if (Extension->BridgeType != BRIDGE_TYPE_P2P || Total == 0)
        return io;
    if (Extension->Flags & ROOT)
        return wholeIoBlocks(io);

    blocks = wholeIoBlocks(Total);
    if (blocks > bound)
        blocks = bound;
    if (blocks == 0) {
        DebugPrint("WARNING EnumerateFromHere: %x:%x:%x needs I/O 0x%x in 4 KB blocks but Io is 0x%x: I/O window "
                   "dropped, raise Io to give it room\n",
                   Extension->Bus, Extension->Device, Extension->Function, Total, GetIo());
        if (Dropped != 0)
            *Dropped = TRUE;
    }
    return blocks;
}

/* Reads the bus map and finds the bridge in it. Taken receives the numbers
 * its subtree may not use; *Known points at them, or is null when the map
 * cannot tell (no pool, too many bridges, the bridge not reached). */
static BusMap *readBusMap(PDEVICE_EXTENSION Extension, LONG *Self, UCHAR Taken[256], const UCHAR **Known)
{
    BusMap *map = busMapBuild();

    *Self = -1;
    *Known = 0;
    if (map != 0 && map->complete)
        *Self = busMapFind(map, Extension->Bus, Extension->Device, Extension->Function);
    if (*Self >= 0) {
        busMapTaken(map, (ULONG)*Self, Taken);
        *Known = Taken;
    }
    return map;
}

/* Numbers an unnumbered bridge that is not probed, and has the bridges
 * above it route its new bus. */
static VOID numberOnly(PDEVICE_EXTENSION Extension)
{
    UCHAR taken[256];
    const UCHAR *known;
    LONG self;
    BusMap *map = readBusMap(Extension, &self, taken, &known);

    if (NumberUnnumberedBridge(Extension, map, self, known)) {
        propigateBusNo(Extension->DeviceObject, (UCHAR)Extension->SecBus);
        raiseBridgesAbove(map, self, (UCHAR)Extension->SecBus);
    }
    busMapFree(map);
}

static VOID minimumWindows(PULONG MemoryNeed, PULONG PrefetchNeed, PULONG IoNeed, PULONG MemoryAlign,
                           PULONG PrefetchAlign)
{
    *IoNeed = 0;
    *MemoryNeed = *PrefetchNeed = *MemoryAlign = *PrefetchAlign = MIN_WINDOW;
}

VOID EnumerateFromHere(PDEVICE_EXTENSION Extension, PULONG MemoryNeed, PULONG PrefetchNeed, PULONG IoNeed,
                       PULONG MemoryAlign, PULONG PrefetchAlign, PBOOLEAN IoDropped)
{
    PciNode root;
    BusMap *map;
    LONG self;
    UCHAR taken[256];
    const UCHAR *known;
    ULONG limit;
    UCHAR top;
    ULONG before[3];

    if (IoDropped != 0)
        *IoDropped = FALSE;

    before[0] = Extension->PriBus;
    before[1] = Extension->SecBus;
    before[2] = Extension->SubBus;
    CheckBusNumbers(Extension);
    DebugPrint("EnumerateFromHere %x:%x:%x Pri %x Sec %x Sub %x\n", Extension->Bus, Extension->Device,
               Extension->Function, Extension->PriBus, Extension->SecBus, Extension->SubBus);

    /* All three numbers 0xFF: the read of the bridge's bus numbers failed (or
     * the bridge is gone); no bridge can have primary bus 0xFF. A probe from
     * "bus 0xFF" would raise every bridge above to subordinate 0xFF, over the
     * numbers of their other bridges. The numbers the record held before the
     * read (LocateMe read them for this very request) are taken again; when
     * there are none, the bus numbers are left alone and the bridge asks for
     * the least windows, as one whose location is unknown. */
    if (Extension->PriBus == 0xFF && Extension->SecBus == 0xFF && Extension->SubBus == 0xFF) {
        if (before[0] < 0xFF && before[1] <= 0xFF && before[2] <= 0xFF) {
            DebugPrint("WARNING EnumerateFromHere: bus numbers of %x:%x:%x unreadable, going on with Pri %x Sec %x "
                       "Sub %x\n",
                       Extension->Bus, Extension->Device, Extension->Function, before[0], before[1], before[2]);
            Extension->PriBus = before[0];
            Extension->SecBus = before[1];
            Extension->SubBus = before[2];
        } else {
            DebugPrint("WARNING EnumerateFromHere: bus numbers of %x:%x:%x unreadable, nothing probed or numbered\n",
                       Extension->Bus, Extension->Device, Extension->Function);
            minimumWindows(MemoryNeed, PrefetchNeed, IoNeed, MemoryAlign, PrefetchAlign);
            return;
        }
    }

    if (!(Extension->Flags & ENUMERATE)) {
        DebugPrint("probeBuses: No need to enumerate this node\n");
        /* A bridge left unnumbered (a chassis' uplink, the only function
         * behind the adapter) is numbered like an enumerated one, so that
         * the operating system finds what is behind it; raising only its
         * subordinate number would make it claim bus 0 up to that number. */
        if (Extension->SecBus == 0 && LocationKnown(Extension))
            numberOnly(Extension);
        else if (Extension->SecBus != 0)
            propigateBusNo(Extension->DeviceObject, (UCHAR)(Extension->Bus + 1));
        *MemoryNeed = GetMemory();
        *PrefetchNeed = GetPreFetch();
        *IoNeed = windowIo(Extension, GetIo(), IoDropped);
        *MemoryAlign = GetMemory();
        *PrefetchAlign = GetPreFetch();
        return;
    }

    DumpPciSpace("Enumerate", Extension->Pdo, 0x20);

    /* Without a location there is no bus to probe and no register to write. */
    if (!LocationKnown(Extension)) {
        DebugPrint("WARNING EnumerateFromHere: location unknown, nothing probed\n");
        minimumWindows(MemoryNeed, PrefetchNeed, IoNeed, MemoryAlign, PrefetchAlign);
        return;
    }

    map = readBusMap(Extension, &self, taken, &known);
    if (known == 0)
        DebugPrint("WARNING EnumerateFromHere: bus numbers in use unknown, none handed out or widened\n");

    /* A bridge the operating system left unnumbered has secondary bus 0: a
     * probe from there would walk the host's own bus and renumber its
     * bridges. Number it first. */
    if (Extension->SecBus == 0 && !NumberUnnumberedBridge(Extension, map, self, known)) {
        busMapFree(map);
        minimumWindows(MemoryNeed, PrefetchNeed, IoNeed, MemoryAlign, PrefetchAlign);
        return;
    }

    if (highBus == 0)
        highBus = HighBusAbove(Extension->Bus);
    if (Extension->SecBus > highBus)
        highBus = HighBusAbove(Extension->SecBus);

    /* The subtree gets the numbers up to highBus, but never one that a
     * bridge beside it (or beside a bridge above it) already routes. */
    top = highBus;
    limit = SubtreeLimit(Extension, known);
    /* The probe of the bridge above numbered this subtree already and left
     * this bridge routing exactly it: nothing is widened for it again. */
    if (numberedByEarlierProbe(Extension) && Extension->SubBus >= Extension->SecBus && limit > Extension->SubBus)
        limit = Extension->SubBus;
    if (limit < Extension->SecBus)
        limit = Extension->SecBus;
    if (top > limit) {
        DebugPrint("NOTE EnumerateFromHere: %x:%x:%x keeps to bus numbers 0x%x-0x%x\n", Extension->Bus,
                   Extension->Device, Extension->Function, Extension->SecBus, limit);
        top = (UCHAR)limit;
    }
    busLimit = top;

    /* This bridge and every bridge above it must forward configuration
     * cycles up to the top of the subtree. */
    propigateBusNo(Extension->DeviceObject, top);
    raiseBridgesAbove(map, self, top);
    busMapFree(map);

    nextBus = (UCHAR)(Extension->SecBus + 1);
    RtlZeroMemory(&root, sizeof(root));
    probeBuses(&root, (UCHAR)Extension->SecBus);
    totalAllSpaces(&root);
    dumpPciTree(&root);
    freePciTree(&root, FALSE);
    busLimit = 0xFF;

    /* The probe of the bridge above numbered this subtree already: the
     * bridge keeps to what lies behind it, leaving the rest of the numbers
     * to its siblings. */
    if (numberedByEarlierProbe(Extension) && (UCHAR)(nextBus - 1) != top) {
        PciCfgWrite8((UCHAR)Extension->Bus, (UCHAR)Extension->Device, (UCHAR)Extension->Function,
                     CFG8_BRIDGE_SUBORDINATE_BUS, (UCHAR)(nextBus - 1));
        DebugPrint("NOTE EnumerateFromHere: %x:%x:%x sub closed to %x\n", Extension->Bus, Extension->Device,
                   Extension->Function, (UCHAR)(nextBus - 1));
        Extension->SubBus = (UCHAR)(nextBus - 1);
    }

    *IoNeed = windowIo(Extension, root.ioSize, IoDropped);
    *MemoryNeed = root.memSize != 0 ? root.memSize : MIN_WINDOW;
    *PrefetchNeed = root.preSize != 0 ? root.preSize : MIN_WINDOW;
    *MemoryAlign = root.memAlign != 0 ? root.memAlign : MIN_WINDOW;
    *PrefetchAlign = root.preAlign != 0 ? root.preAlign : MIN_WINDOW;
}
