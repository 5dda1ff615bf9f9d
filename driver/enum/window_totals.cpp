/*
 * window_totals.cpp - turning a probed tree into window needs.
 *
 * Every bridge, and the root record standing for the enumerated bridge,
 * receives the I/O, memory and prefetchable memory of everything below it,
 * raised to the granularity of a bridge window, and the largest alignment
 * needed below it. A memory window is never aligned to less than 1 MB.
 */
#include "enum/pci_tree.h"
#include "core/config.h"
#include "core/debug.h"

#define IO_WINDOW_GRANULARITY 0x100      /* 256 bytes */
#define IO_BLOCK 0x1000                  /* a PCI-to-PCI bridge decodes I/O in 4 KB blocks */
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

static BOOLEAN isPciToPciBridge(PciNode *node)
{
    return isBridge(node->baseClass, node->subClass) && node->subClass == CFG_SUB_CLASS_PCI_BRIDGE;
}

/*
 * What a child takes from its owner's windows. An ordinary function: its
 * BARs. A nested bridge: what the requirements filter will ask for it when
 * its own turn comes - its subtree's totals, at least the 1 MB memory and
 * prefetchable windows every enumerated bridge asks for, its I/O window
 * kept to whole blocks that fit the adapter's Io (none for a CardBus bridge,
 * whose I/O window is always removed, nor under filterIO) - and its own
 * BARs, which sit on the owner's bus.
 */
static VOID childShare(PciNode *child, PciNode *share)
{
    ULONG ioBound = GetIo() & ~(ULONG)(IO_BLOCK - 1);

    if (!isBridge(child->baseClass, child->subClass)) {
        *share = *child;
        return;
    }

    /* The bridge's own BARs, summed as a function's would be. */
    *share = *child;
    share->baseClass = 0;
    share->ioSize = share->memSize = share->preSize = share->memAlign = share->preAlign = 0;
    sumBars(share);

    share->memSize = addTotal(share, share->memSize, child->memSize != 0 ? child->memSize : MIN_WINDOW_ALIGNMENT);
    share->preSize = addTotal(share, share->preSize, child->preSize != 0 ? child->preSize : MIN_WINDOW_ALIGNMENT);
    if (isPciToPciBridge(child) && GetFilterIO() == 0)
        share->ioSize = addTotal(share, share->ioSize, child->ioSize > ioBound ? ioBound : child->ioSize);
    if (child->memAlign > share->memAlign)
        share->memAlign = child->memAlign;
    if (child->preAlign > share->preAlign)
        share->preAlign = child->preAlign;
    if (share->memAlign < MIN_WINDOW_ALIGNMENT)
        share->memAlign = MIN_WINDOW_ALIGNMENT;
    if (share->preAlign < MIN_WINDOW_ALIGNMENT)
        share->preAlign = MIN_WINDOW_ALIGNMENT;
}

/* The node's own share of the pass, once everything below it is final. */
static VOID totalNode(PciNode *node)
{
    PciNode *child;
    PciNode share;
    ULONG ioGranularity;

    if (isWindowOwner(node)) {
        for (child = node->down; child != 0; child = child->next) {
            childShare(child, &share);
            node->ioSize = addTotal(node, node->ioSize, share.ioSize);
            node->preSize = addTotal(node, node->preSize, share.preSize);
            node->memSize = addTotal(node, node->memSize, share.memSize);
            if (share.memAlign > node->memAlign)
                node->memAlign = share.memAlign;
            if (share.preAlign > node->preAlign)
                node->preAlign = share.preAlign;
            if (GetVerbose() >= 9) {
                DebugPrint("totalAllSpaces: %04x:%04x += %04x:%04x @ %x:%x:%x I/M/P %x/%x/%x\n", node->vendorId,
                           node->deviceId, child->vendorId, child->deviceId, node->bus, node->device,
                           node->function, node->ioSize, node->memSize, node->preSize);
                DebugPrint("              : down %x next %x\n", PTR32(child->down), PTR32(child->next));
            }
        }
        /* A PCI-to-PCI bridge's I/O window is whole 4 KB blocks. */
        ioGranularity = isPciToPciBridge(node) ? IO_BLOCK : IO_WINDOW_GRANULARITY;
        adjustSpaces(node, node->ioSize != 0 ? ioGranularity : 0, MEM_WINDOW_GRANULARITY);
    }

    if (node->preAlign != 0 && node->preAlign < MIN_WINDOW_ALIGNMENT)
        node->preAlign = MIN_WINDOW_ALIGNMENT;
    if (node->memAlign != 0 && node->memAlign < MIN_WINDOW_ALIGNMENT)
        node->memAlign = MIN_WINDOW_ALIGNMENT;
}

/* Same visiting order as a recursion over down, then next, then the node:
 * every node's total is taken once everything below it is final. */
VOID totalAllSpaces(PciNode *node)
{
    PciWalk walk;
    PciNode *p;

    pciWalkStart(&walk, node);
    while ((p = pciWalkNext(&walk)) != 0)
        totalNode(p);
}
