/*
 * bus_map.cpp - the bridges of the machine and the bus numbers they route,
 * read from the hardware.
 *
 * The scan reads identity and header type only, never writes, and does not
 * wait: it looks at buses that are already numbered. Buses are taken in the
 * order their bridges are found (the bridge table doubles as the queue), so
 * no recursion is needed however deep the hierarchy is.
 */
#include "enum/bus_map.h"
#include "pci/pci_direct.h"
#include "pci/pci_regs.h"
#include "core/debug.h"


static BOOLEAN bitTest(const UCHAR *bits, ULONG n) { return (bits[n >> 3] & (1 << (n & 7))) != 0; }
static VOID bitSet(UCHAR *bits, ULONG n) { bits[n >> 3] |= (UCHAR)(1 << (n & 7)); }

static VOID scanBus(BusMap *map, UCHAR bus, USHORT parent)
{
    ULONG device, function;

    bitSet(map->scanned, bus);
    for (device = 0; device < 32; device++) {
        for (function = 0; function < 8; function++) {
            UCHAR d = (UCHAR)device, f = (UCHAR)function;
            ULONG header, layout, numbers;

            if (PciCfgRead16(bus, d, f, CFG16_VENDOR_ID) == CFG_VENDOR_ID_NONE) {
                if (function == 0)
                    break;
                continue;
            }
            header = PciCfgRead8(bus, d, f, CFG8_HEADER_TYPE);
            layout = header & CFG_HEADER_LAYOUT_MASK;
            if (layout == CFG_HEADER_LAYOUT_PCI_BRIDGE || layout == CFG_HEADER_LAYOUT_CARDBUS) {
                if (map->count == BUS_MAP_MAX_BRIDGES) {
                    map->complete = FALSE;
                } else {
                    BusMapBridge *b = &map->bridges[map->count++];
                    numbers = PciCfgRead32(bus, d, f, CFG32_BRIDGE_BUS_NUMBERS);
                    b->bus = bus;
                    b->device = d;
                    b->function = f;
                    b->secBus = (UCHAR)(numbers >> 8);
                    b->subBus = (UCHAR)(numbers >> 16);
                    b->parent = parent;
                }
            }
            if (function == 0 && !(header & CFG_HEADER_MULTI_FUNCTION))
                break;
        }
    }
}

/* A bus number no bridge routes that something answers on belongs to a
 * host bridge of its own. */
static BOOLEAN routedByBridge(const BusMap *map, ULONG n)
{
    ULONG i;

    for (i = 0; i < map->count; i++) {
        const BusMapBridge *b = &map->bridges[i];
        if (b->secBus != 0 && n >= b->secBus && n <= b->subBus)
            return TRUE;
    }
    return FALSE;
}

static BOOLEAN busAnswers(UCHAR bus)
{
    ULONG device;

    for (device = 0; device < 32; device++)
        if (PciCfgRead16(bus, (UCHAR)device, 0, CFG16_VENDOR_ID) != CFG_VENDOR_ID_NONE)
            return TRUE;
    return FALSE;
}

BusMap *busMapBuild(VOID)
{
    BusMap *map = (BusMap *)Malloc(sizeof(BusMap));
    ULONG next = 0, root = 0;

    if (map == 0)
        return 0;
    RtlZeroMemory(map, sizeof(BusMap));
    map->complete = TRUE;

    bitSet(map->roots, 0);
    scanBus(map, 0, BUS_MAP_NONE);
    for (;;) {
        /* Behind every numbered bridge whose bus is new, in the order found. */
        for (; next < map->count; next++) {
            const BusMapBridge *b = &map->bridges[next];
            if (b->secBus > b->bus && b->subBus >= b->secBus && !bitTest(map->scanned, b->secBus))
                scanBus(map, b->secBus, (USHORT)next);
        }
        /* Then the next peer root bus, if any. */
        for (root++; root < 256; root++)
            if (!bitTest(map->scanned, root) && !routedByBridge(map, root) && busAnswers((UCHAR)root))
                break;
        if (root >= 256)
            break;
        bitSet(map->roots, root);
        scanBus(map, (UCHAR)root, BUS_MAP_NONE);
    }
    return map;
}

VOID busMapFree(BusMap *map)
{
    if (map != 0)
        MFree(map);
}

LONG busMapFind(const BusMap *map, ULONG bus, ULONG device, ULONG function)
{
    ULONG i;

    for (i = 0; i < map->count; i++) {
        const BusMapBridge *b = &map->bridges[i];
        if (b->bus == bus && b->device == device && b->function == function)
            return (LONG)i;
    }
    return -1;
}

BOOLEAN busMapIsAbove(const BusMap *map, ULONG a, ULONG b)
{
    ULONG steps;
    ULONG p = map->bridges[b].parent;

    /* Parents always come earlier in the table, so the walk ends; the step
     * count is a second guard. */
    for (steps = 0; p != BUS_MAP_NONE && steps < map->count; steps++) {
        if (p == a)
            return TRUE;
        p = map->bridges[p].parent;
    }
    return FALSE;
}

VOID busMapTaken(const BusMap *map, ULONG self, UCHAR taken[256])
{
    ULONG i, n, top = self, steps;
    ULONG ownRoot, ceiling = 256;

    RtlZeroMemory(taken, 256);
    for (steps = 0; map->bridges[top].parent != BUS_MAP_NONE && steps < map->count; steps++)
        top = map->bridges[top].parent;
    ownRoot = map->bridges[top].bus;

    /* Every root bus, and everything from the next root above this one. */
    for (n = 0; n < 256; n++) {
        if (bitTest(map->roots, n)) {
            taken[n] = 1;
            if (n > ownRoot && n < ceiling)
                ceiling = n;
        }
    }
    for (n = ceiling; n < 256; n++)
        taken[n] = 1;

    for (i = 0; i < map->count; i++) {
        const BusMapBridge *b = &map->bridges[i];
        ULONG last;

        if (i == self || b->secBus == 0 || busMapIsAbove(map, self, i))
            continue;
        if (busMapIsAbove(map, i, self)) {
            /* A bridge above: only its own secondary bus is in use. */
            taken[b->secBus] = 1;
            continue;
        }
        last = b->subBus >= b->secBus ? b->subBus : b->secBus;
        for (n = b->secBus; n <= last; n++)
            taken[n] = 1;
    }
}
