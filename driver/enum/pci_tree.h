/*
 * pci_tree.h - the private tree of PCI functions found behind an enumerated
 * bridge, the bus-number counters, and the probe, sizing and totalling
 * routines that build and read it.
 */
#ifndef TOLMU_PCI_TREE_H
#define TOLMU_PCI_TREE_H

#include "tolmu_platform.h"
#include "pci/pci_regs.h"

#define PCI_NODE_BARS CFG_BAR_COUNT

/* One probed function. The root record (owned by the enumeration) keeps
 * vendorId and deviceId 0. */
typedef struct _PciNode {
    struct _PciNode *next; /* next function on the same bus */
    struct _PciNode *down; /* first function on the bus behind a bridge */
    struct _PciNode *up;   /* the node whose down chain holds this one, set by the walks below
                            * (probe, totals, dump, free) as they descend: it lets them climb back
                            * without recursion, so the kernel stack they use does not grow with
                            * the depth of the hierarchy (up to 255 levels of bridges) */
    UCHAR bus;
    UCHAR device;
    UCHAR function;
    USHORT vendorId;
    USHORT deviceId;
    UCHAR subClass;
    UCHAR baseClass;
    UCHAR headerType; /* bit 7: multi-function device */
    UCHAR priBus;
    UCHAR secBus;
    UCHAR subBus; /* the subordinate number first given (highBus at the time) */
    ULONG ioSize;
    ULONG memSize;
    ULONG preSize;
    ULONG preAlign;
    ULONG memAlign;
    ULONG barSize[PCI_NODE_BARS];
    UCHAR barKind[PCI_NODE_BARS]; /* 1 = I/O; else the BAR's low four bits */
} PciNode;

/* Next secondary bus number to hand out, and the subordinate number written
 * into every bridge while its subtree is probed. Shared by all enumerations
 * of one load; 8-bit arithmetic. */
extern UCHAR nextBus;
extern UCHAR highBus;
/* The last bus number the running enumeration may hand out: numbers above
 * it are routed by other bridges (0xFF outside an enumeration). */
extern UCHAR busLimit;

VOID probeBuses(PciNode *parent, UCHAR bus);
PciNode *addNewDevice(UCHAR bus, UCHAR device, UCHAR function);
VOID sizeBars(PciNode *node);
VOID sumBars(PciNode *node);
BOOLEAN isBridge(UCHAR baseClass, UCHAR subClass);
VOID configBridge(PciNode *node);
VOID dumpPciTree(PciNode *node);
/* A walk over every node of a tree in the order of a recursion over down,
 * then next, then the node: the subtrees of a chain in chain order, then the
 * chain's nodes from the last back to the first. It keeps no stack: going
 * down it sets each owner's up link, and climbs back by it. */
typedef struct _PciWalk {
    PciNode *first; /* the top chain */
    PciNode *chain; /* the chain being walked */
    PciNode *owner; /* the node whose down chain it is; 0 for the top chain */
    PciNode *scan;  /* the next node of the chain to look below */
    ULONG left;     /* nodes of the chain still to be handed out, last first */
    BOOLEAN handing; /* the chain's subtrees are done: its nodes are being handed out */
} PciWalk;

VOID pciWalkStart(PciWalk *walk, PciNode *first);
/* The next node, or 0 when the walk is over. */
PciNode *pciWalkNext(PciWalk *walk);
VOID freePciTree(PciNode *node, BOOLEAN freeSelf);

/* Window totals of a probed tree. */
VOID totalAllSpaces(PciNode *node);
VOID adjustSpaces(PciNode *node, ULONG ioGranularity, ULONG memGranularity);

/* The n-th node of a sibling chain (0 = first), or null. */
PciNode *pciChainAt(PciNode *first, ULONG n);
ULONG pciChainLength(PciNode *first);

#endif /* TOLMU_PCI_TREE_H */
