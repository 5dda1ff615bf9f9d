/*
 * window_totals.cpp - turning a probed tree into window needs.
 *
 * Every bridge, and the root record standing for the enumerated bridge,
 * receives the I/O, memory and prefetchable memory of everything below it,
 * raised to the granularity of a bridge window, and the largest alignment
 * needed below it. A memory window is never aligned to less than 1 MB.
 */
#include "enum/pci_tree.h"
#include "driver/debug.h"

#define IO_WINDOW_GRANULARITY 0x100      /* 256 bytes */
#define MEM_WINDOW_GRANULARITY 0x100000  /* 1 MB */
#define MIN_WINDOW_ALIGNMENT 0x100000    /* 1 MB */

static BOOLEAN isWindowOwner(PciNode *node)
{
    return isBridge(node->baseClass, node->subClass) || (node->vendorId == 0 && node->deviceId == 0);
}

/* Rounds one total up to its granularity. A total too close to 4 GB to be
 * rounded up would wrap to a small number; it is kept at the largest multiple
 * that fits instead, and reported. */
static ULONG adjustOne(PciNode *node, ULONG value, ULONG granularity, const char *format)
{
    ULONG rounded;

    if (granularity == 0 || value == 0 || (value & (granularity - 1)) == 0)
        return value;

    if (value > (ULONG)(0 - granularity)) {
        rounded = (ULONG)(0 - granularity);
        DebugPrint("WARNING adjustSpaces: %04x:%04x total 0x%lX above 4 GB, kept at 0x%lX\n", node->vendorId,
                   node->deviceId, value, rounded);
        return rounded;
    }

    rounded = (value & ~(granularity - 1)) + granularity;
    if (GetVerbose() >= 9)
        DebugPrint(format, node->vendorId, node->deviceId, value, rounded);
    return rounded;
}

VOID adjustSpaces(PciNode *node, ULONG ioGranularity, ULONG memGranularity)
{
    node->memSize = adjustOne(node, node->memSize, memGranularity, "adjustSpaces: %04x:%04x Mem 0x%lX to 0x%lX\n");
    node->preSize = adjustOne(node, node->preSize, memGranularity, "adjustSpaces: %04x:%04x Pre 0x%lX to 0x%lX\n");
    node->ioSize = adjustOne(node, node->ioSize, ioGranularity, "adjustSpaces: %04x:%04x I/O 0x%lX to 0x%lX\n");
}

/* Adds a child's total to its owner's without wrapping past 4 GB. */
static ULONG addTotal(PciNode *owner, ULONG sum, ULONG size)
{
    if (sum > 0xFFFFFFFF - size) {
        DebugPrint("WARNING totalAllSpaces: %04x:%04x total above 4 GB, kept at 0xFFFFFFFF\n", owner->vendorId,
                   owner->deviceId);
        return 0xFFFFFFFF;
    }
    return sum + size;
}

/* The node's own share of the pass, once everything below it is final. */
static VOID totalNode(PciNode *node)
{
    PciNode *child;

    if (isWindowOwner(node)) {
        for (child = node->down; child != 0; child = child->next) {
            node->ioSize = addTotal(node, node->ioSize, child->ioSize);
            node->preSize = addTotal(node, node->preSize, child->preSize);
            node->memSize = addTotal(node, node->memSize, child->memSize);
            if (child->memAlign > node->memAlign)
                node->memAlign = child->memAlign;
            if (child->preAlign > node->preAlign)
                node->preAlign = child->preAlign;
            if (GetVerbose() >= 9) {
                DebugPrint("totalAllSpaces: %04x:%04x += %04x:%04x @ %x:%x:%x I/M/P %x/%x/%x\n", node->vendorId,
                           node->deviceId, child->vendorId, child->deviceId, node->bus, node->device,
                           node->function, node->ioSize, node->memSize, node->preSize);
                DebugPrint("              : down %x next %x\n", PTR32(child->down), PTR32(child->next));
            }
        }
        adjustSpaces(node, node->ioSize != 0 ? IO_WINDOW_GRANULARITY : 0, MEM_WINDOW_GRANULARITY);
    }

    if (node->preAlign != 0 && node->preAlign < MIN_WINDOW_ALIGNMENT)
        node->preAlign = MIN_WINDOW_ALIGNMENT;
    if (node->memAlign != 0 && node->memAlign < MIN_WINDOW_ALIGNMENT)
        node->memAlign = MIN_WINDOW_ALIGNMENT;
}

/*
 * Same visiting order as a recursion over down, then next, then the node:
 * every subtree of the chain first, in chain order, then the chain's nodes
 * from the last back to the first. Only the bridge levels recurse.
 */
VOID totalAllSpaces(PciNode *node)
{
    PciNode *p;
    ULONG n;

    for (p = node; p != 0; p = p->next)
        if (p->down != 0)
            totalAllSpaces(p->down);

    for (n = pciChainLength(node); n > 0; n--)
        totalNode(pciChainAt(node, n - 1));
}
