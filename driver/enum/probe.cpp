/*
 * probe.cpp - probing the hierarchy behind a bridge through the
 * configuration ports: every function found gets a node, every bridge found
 * gets bus numbers and is probed in turn (depth first), every BAR of an
 * ordinary function is sized and summed.
 *
 * The operating system's own bus drivers have numbered too little of the
 * chassis to be trusted, so the driver numbers the bridges itself:
 * consecutively, in depth-first preorder, from the enumerated bridge's
 * secondary bus plus one.
 */
#include "enum/pci_tree.h"
#include "pci/pci_direct.h"
#include "pci/pci_dump.h"
#include "pci/pci_regs.h"
#include "core/debug.h"

UCHAR nextBus MODULE_STATE = 0;
UCHAR highBus MODULE_STATE = 0;
UCHAR busLimit MODULE_STATE = 0xFF;

#define PROBE_SETTLE_HALF_SECONDS 8 /* four seconds before a bus is scanned */

BOOLEAN isBridge(UCHAR baseClass, UCHAR subClass)
{
    return baseClass == CFG_BASE_CLASS_BRIDGE &&
           (subClass == CFG_SUB_CLASS_PCI_BRIDGE || subClass == CFG_SUB_CLASS_CARDBUS_BRIDGE);
}

VOID configBridge(PciNode *node)
{
    DebugPrint("configBridge: %02x:%02x:%x\n", node->bus, node->device, node->function);
    DebugPrint("configBridge: Setting bridge bus numbers to %x %x %x\n", node->priBus, node->secBus, node->subBus);
    PciCfgWrite8(node->bus, node->device, node->function, CFG8_BRIDGE_PRIMARY_BUS, node->priBus);
    PciCfgWrite8(node->bus, node->device, node->function, CFG8_BRIDGE_SECONDARY_BUS, node->secBus);
    PciCfgWrite8(node->bus, node->device, node->function, CFG8_BRIDGE_SUBORDINATE_BUS, node->subBus);
    PciCfgWrite16(node->bus, node->device, node->function, CFG16_BRIDGE_CONTROL, 0);
}

/* Adds without wrapping past 4 GiB: a sum that would wrap stays at the
 * largest value and is reported, so a huge need is never mistaken for a
 * small one. */
static ULONG addSaturated(ULONG sum, ULONG size, const char *who, PciNode *node)
{
    if (sum > 0xFFFFFFFF - size) {
        DebugPrint("WARNING %s: %04x:%04x total above 4 GB, kept at 0xFFFFFFFF\n", who, node->vendorId,
                   node->deviceId);
        return 0xFFFFFFFF;
    }
    return sum + size;
}

VOID sizeBars(PciNode *node)
{
    UCHAR b = node->bus, d = node->device, f = node->function;
    ULONG command;
    ULONG bars;
    ULONG i;

    /* A bridge header has fewer BARs: past them lie its bus numbers and
     * windows, which must never receive the sizing pattern. */
    switch (node->headerType & CFG_HEADER_LAYOUT_MASK) {
    case CFG_HEADER_LAYOUT_DEVICE:
        bars = PCI_NODE_BARS;
        break;
    case CFG_HEADER_LAYOUT_PCI_BRIDGE:
        bars = CFG_P2P_BAR_COUNT;
        break;
    case CFG_HEADER_LAYOUT_CARDBUS:
        bars = CFG_CB_BAR_COUNT;
        break;
    default:
        return;
    }

    /* The function decodes nothing while its BARs hold the sizing pattern. */
    command = PciCfgRead16(b, d, f, CFG16_COMMAND);
    PciCfgWrite16(b, d, f, CFG16_COMMAND, 0);

    for (i = 0; i < bars; i++) {
        UCHAR reg = (UCHAR)CFG32_BAR(i);
        ULONG saved, readback, mask, size;

        saved = PciCfgRead32(b, d, f, reg);
        PciCfgWrite32(b, d, f, reg, 0xFFFFFFFF);
        readback = PciCfgRead32(b, d, f, reg);
        PciCfgWrite32(b, d, f, reg, saved);

        mask = readback;
        if (saved & CFG_BAR_IO_SPACE) {
            node->barKind[i] = 1;
            /* A 16-bit I/O decoder leaves the upper half 0. */
            if ((mask & 0xFFFF0000) == 0)
                mask |= 0xFFFF0000;
            size = 0xFFFFFFFF - mask + 2;
        } else {
            node->barKind[i] = (UCHAR)(saved & 0x0F);
            size = readback != 0 ? ((~readback) | 0x0F) + 1 : 0;
        }
        node->barSize[i] = size;

        if (readback != 0)
            DebugPrint("        [%d] mask 0x%08lX size 0x%lX\n", i, readback, size);

        if (!(saved & CFG_BAR_IO_SPACE) && (saved & CFG_BAR_MEM_TYPE_MASK) == CFG_BAR_MEM_TYPE_64) {
            /* A 64-bit BAR: its size comes from the low double word, and the
             * upper half in the next register is neither probed nor counted.
             * One of 4 GB or more has no size bit in the low half at all. */
            if (readback != 0 && size == 0)
                DebugPrint("WARNING sizeBars: %02x:%02x:%x BAR %d of 4 GB or more not counted\n", b, d, f, i);
            i++;
        }
    }

    PciCfgWrite16(b, d, f, CFG16_COMMAND, (USHORT)command);
}

VOID sumBars(PciNode *node)
{
    ULONG i;

    if (isBridge(node->baseClass, node->subClass))
        return;

    for (i = 0; i < PCI_NODE_BARS; i++) {
        ULONG size = node->barSize[i];
        UCHAR kind = node->barKind[i];

        if (size != 0) {
            if (kind & CFG_BAR_IO_SPACE) {
                node->ioSize = addSaturated(node->ioSize, size, "sumBars", node);
            } else if (kind & CFG_BAR_MEM_PREFETCH) {
                node->preSize = addSaturated(node->preSize, size, "sumBars", node);
                if (size > node->preAlign)
                    node->preAlign = size;
            } else {
                node->memSize = addSaturated(node->memSize, size, "sumBars", node);
                if (size > node->memAlign)
                    node->memAlign = size;
            }
        }
        if ((kind & CFG_BAR_MEM_TYPE_MASK) == CFG_BAR_MEM_TYPE_64)
            i++;
    }
}

PciNode *addNewDevice(UCHAR bus, UCHAR device, UCHAR function)
{
    ULONG id;
    USHORT vendorId, deviceId;
    PciNode *node;

    id = PciCfgRead32(bus, device, function, CFG32_ID);
    deviceId = (USHORT)(id >> 16);
    vendorId = (USHORT)PciCfgRead16(bus, device, function, CFG16_VENDOR_ID);
    if (vendorId == CFG_VENDOR_ID_NONE)
        return 0;

    DebugPrint("addNewDevice: trying %x:%02x (%04x/%04x)\n", bus, device, vendorId, deviceId);

    /* A bridge is accepted only as function 0. */
    if (function != 0) {
        UCHAR sub = (UCHAR)PciCfgRead8(bus, device, function, CFG8_SUB_CLASS);
        UCHAR base = (UCHAR)PciCfgRead8(bus, device, function, CFG8_BASE_CLASS);

        if (isBridge(base, sub)) {
            DebugPrint("WARNING addNewDevice: %02x:%02x:%x Ven 0x%04X-%04X ignored\n", bus, device, function,
                       vendorId, deviceId);
            return 0;
        }
    }

    node = (PciNode *)Malloc(sizeof(PciNode));
    if (node == 0) {
        DebugPrint("ERROR addNewDevice: Malloc failed\n");
        return 0;
    }
    RtlZeroMemory(node, sizeof(PciNode));
    node->bus = bus;
    node->device = device;
    node->function = function;
    node->vendorId = vendorId;
    node->deviceId = deviceId;
    node->subClass = (UCHAR)PciCfgRead8(bus, device, function, CFG8_SUB_CLASS);
    node->baseClass = (UCHAR)PciCfgRead8(bus, device, function, CFG8_BASE_CLASS);
    node->headerType = (UCHAR)PciCfgRead8(bus, device, function, CFG8_HEADER_TYPE);

    /* A bridge's own BARs are sized too: they are placed in the window of
     * the bridge above it. Its totals are those of its subtree. */
    sizeBars(node);
    if (!isBridge(node->baseClass, node->subClass))
        sumBars(node);
    return node;
}

/* Numbers a bridge found on `bus`. TRUE when it got a secondary bus, which
 * is then to be probed; FALSE when no number is left. */
static BOOLEAN numberBridge(PciNode *node, UCHAR bus)
{
    UCHAR high = highBus < busLimit ? highBus : busLimit;

    DebugPrint("probeBuses: Found Bridge on Bus %x\n", bus);

    /* No number left: bus numbers are 8 bits (past 0xFF the next would be
     * the host's own bus 0), numbers above highBus are not forwarded by the
     * bridges above, and numbers past busLimit are routed by other bridges.
     * The bridge stays unnumbered, with its bus-number registers cleared so
     * that it forwards nothing, and nothing behind it is counted. */
    if (nextBus == 0 || nextBus > high) {
        DebugPrint("WARNING probeBuses: no bus number left for bridge %02x:%02x:%x\n", node->bus, node->device,
                   node->function);
        PciCfgWrite8(node->bus, node->device, node->function, CFG8_BRIDGE_PRIMARY_BUS, 0);
        PciCfgWrite8(node->bus, node->device, node->function, CFG8_BRIDGE_SECONDARY_BUS, 0);
        PciCfgWrite8(node->bus, node->device, node->function, CFG8_BRIDGE_SUBORDINATE_BUS, 0);
        return FALSE;
    }

    node->priBus = bus;
    node->secBus = nextBus;
    node->subBus = high;
    configBridge(node);
    DumpPciSpaceAt("probeBuses", node->bus, node->device, node->function, 0x40);
    nextBus = (UCHAR)(nextBus + 1);
    return TRUE;
}

/* Closes a numbered bridge's subordinate range around what was found behind
 * it: the last number handed out in its subtree. */
static VOID closeBridge(PciNode *node)
{
    PciCfgWrite8(node->bus, node->device, node->function, CFG8_BRIDGE_SUBORDINATE_BUS, (UCHAR)(nextBus - 1));
    DumpPciSpaceAt("after", node->bus, node->device, node->function, 0x20);
}

static VOID startBus(UCHAR bus)
{
    ULONG wait;

    DebugPrint("$$$$$ probeBuses: probing bus 0x%x next 0x%x high 0x%x\n", bus, nextBus, highBus);

    /* Functions behind a freshly numbered bridge (and cards that are still
     * powering up in the chassis) need time before they answer. */
    for (wait = 0; wait < PROBE_SETTLE_HALF_SECONDS; wait++)
        StallHalfSecond();
}

/*
 * Depth first: a bridge found is numbered and the bus behind it probed
 * before the next function of its own bus; then its subordinate number is
 * closed around its subtree. The walk keeps no state per level but the
 * node: going down, the bridge's up link names the node whose bus it sits
 * on; coming back, the bridge's own location tells where the probe of that
 * bus stopped. So the kernel stack used is the same at any depth.
 */
VOID probeBuses(PciNode *parent, UCHAR bus)
{
    PciNode *top = parent;
    PciNode *first = 0;    /* the first node found on the bus being probed */
    PciNode *topFirst = 0; /* the same for the top bus, while a bus below is probed */
    PciNode *node;
    ULONG device = 0, function = 0;

    startBus(bus);

    for (;;) {
        if (device == 32) {
            /* This bus is done: back to the bus of the bridge in front of
             * it, right after that bridge. A bus below the top hangs from a
             * fresh node, whose down is its first node. */
            if (parent == top)
                return;
            node = parent;
            closeBridge(node);
            parent = node->up;
            bus = node->bus;
            device = node->device;
            function = node->function;
            if (parent == top)
                first = topFirst;
            else
                first = parent->down != node ? parent->down : 0;
        } else {
            node = addNewDevice(bus, (UCHAR)device, (UCHAR)function);
            if (node == 0) {
                device++;
                function = 0;
                continue;
            }

            if (parent->down == 0)
                parent->down = node;

            if (isBridge(node->baseClass, node->subClass) && numberBridge(node, bus)) {
                if (parent == top)
                    topFirst = first;
                node->up = parent;
                parent = node;
                first = 0;
                bus = node->secBus;
                device = function = 0;
                startBus(bus);
                continue;
            }
        }

        /* The first node found stays first; each later one goes right
         * behind it. */
        if (first == 0) {
            first = node;
        } else {
            node->next = first->next;
            first->next = node;
        }

        if (!(node->headerType & CFG_HEADER_MULTI_FUNCTION) || ++function == 8) {
            device++;
            function = 0;
        }
    }
}

ULONG pciChainLength(PciNode *first)
{
    ULONG n = 0;

    for (; first != 0; first = first->next)
        n++;
    return n;
}

PciNode *pciChainAt(PciNode *first, ULONG n)
{
    while (first != 0 && n-- > 0)
        first = first->next;
    return first;
}

VOID pciWalkStart(PciWalk *walk, PciNode *first)
{
    walk->first = walk->chain = walk->scan = first;
    walk->owner = 0;
    walk->left = 0;
    walk->handing = FALSE;
}

PciNode *pciWalkNext(PciWalk *walk)
{
    PciNode *p;

    for (;;) {
        if (walk->left > 0) {
            walk->left--;
            return pciChainAt(walk->chain, walk->left);
        }

        if (walk->handing) {
            /* The chain is done: up again, on to the owner's next sibling. */
            if (walk->owner == 0)
                return 0;
            walk->handing = FALSE;
            walk->scan = walk->owner->next;
            walk->owner = walk->owner->up;
            walk->chain = walk->owner != 0 ? walk->owner->down : walk->first;
            continue;
        }

        /* Down into the next subtree of the chain. */
        for (p = walk->scan; p != 0 && p->down == 0; p = p->next)
            ;
        if (p != 0) {
            p->up = walk->owner;
            walk->owner = p;
            walk->chain = walk->scan = p->down;
            continue;
        }

        /* Every subtree of the chain is done: its nodes, last first. */
        walk->scan = 0;
        walk->left = pciChainLength(walk->chain);
        walk->handing = TRUE;
    }
}

static VOID dumpNode(PciNode *p)
{
    DebugPrint("dumpPciTree %04x:%04x @ %02x:%02x:%x I/M/P %x/%x/%x\n", p->vendorId, p->deviceId, p->bus, p->device,
               p->function, p->ioSize, p->memSize, p->preSize);
    DebugPrint("            %08x down %08x next %08x\n", PTR32(p), PTR32(p->down), PTR32(p->next));
}

/* Visiting order: the whole subtree below, then the rest of the sibling
 * chain, then the node itself. */
VOID dumpPciTree(PciNode *node)
{
    PciWalk walk;
    PciNode *p;

    pciWalkStart(&walk, node);
    while ((p = pciWalkNext(&walk)) != 0)
        dumpNode(p);
}

/*
 * Each node's subtree is freed before the node, in chain order. Without
 * recursion: a node with a subtree is left for later, its up link naming
 * the node to come back to.
 */
VOID freePciTree(PciNode *node, BOOLEAN freeSelf)
{
    PciNode *owner = 0;
    PciNode *p = node;
    PciNode *next;

    for (;;) {
        if (p != 0 && p->down != 0) {
            p->up = owner;
            owner = p;
            p = p->down;
            continue;
        }
        if (p == 0) {
            /* A chain is done: free the node it hangs from. */
            if (owner == 0)
                return;
            p = owner;
            owner = p->up;
        }
        next = p->next;
        if (p != node || freeSelf)
            MFree(p);
        p = next;
    }
}
