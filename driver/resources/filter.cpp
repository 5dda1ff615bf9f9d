/*
 * filter.cpp - rewriting a bridge's resource requirements with the needs of
 * the hierarchy behind it.
 *
 * The bus driver tags each bridge window with a device-private descriptor
 * standing right behind the window's descriptors (the preferred one and its
 * alternatives); the tag's three data words name the window. The tables
 * below say which window each tag names and what to do with it: the window
 * descriptors in front of a recognised tag get the enumerated length and
 * alignment and may be placed anywhere.
 */
#include "resources/resources.h"

#include "diag/resource_print.h"
#include "core/config.h"
#include "core/debug.h"
#include "enum/enumerate.h"
#include "pci/bus_window_keys.h"
#include "pnp/pnp.h"

/* Alignment of an I/O window: bridges decode I/O in 4 KB steps. */
#define IO_WINDOW_ALIGNMENT 0x1000

/* Highest address of a port window and of a memory window. */
#define PORT_MAXIMUM 0xFFFF
#define MEMORY_MAXIMUM 0xFFFFFFFF

/* PCI-to-PCI bridge windows, by the tag the bus driver puts behind them. */
static const ResourceFilter P2pFilters[RESOURCE_FILTERS] = {
    /* I/O window: decoded positively by the bridge */
    {1, {BUS_WINDOW_KEY0, BUS_P2P_KEY_IO, BUS_WINDOW_KEY2}, FILTER_ACTION_IO, CM_RESOURCE_PORT_POSITIVE_DECODE, 0},
    /* memory window */
    {1, {BUS_WINDOW_KEY0, BUS_P2P_KEY_MEMORY, BUS_WINDOW_KEY2}, FILTER_ACTION_MEMORY, 0, 0},
    /* prefetchable memory window */
    {1, {BUS_WINDOW_KEY0, BUS_P2P_KEY_PREFETCH, BUS_WINDOW_KEY2}, FILTER_ACTION_PREFETCH, 0, 0},
};

/* CardBus bridge windows (the adapter's own controller included). */
static const ResourceFilter CardBusFilters[RESOURCE_FILTERS] = {
    /* memory window 0 */
    {1, {BUS_WINDOW_KEY0, BUS_CB_KEY_MEMORY, BUS_WINDOW_KEY2}, FILTER_ACTION_MEMORY, 0, 0},
    /* memory window 1, made the prefetchable one */
    {1, {BUS_WINDOW_KEY0, BUS_CB_KEY_PREFETCH, BUS_WINDOW_KEY2}, FILTER_ACTION_PREFETCH, CM_RESOURCE_MEMORY_PREFETCHABLE,
     0},
    /* I/O window */
    {1, {BUS_WINDOW_KEY0, BUS_CB_KEY_IO, BUS_WINDOW_KEY2}, FILTER_ACTION_IO, CM_RESOURCE_PORT_POSITIVE_DECODE, 0},
};

/* What the enumeration says the bridge's windows need. */
typedef struct _WINDOW_NEEDS {
    ULONG Memory;
    ULONG Prefetch;
    ULONG Io;
    ULONG MemoryAlign;
    ULONG PrefetchAlign;
} WINDOW_NEEDS;

static VOID printBanner(const char *title)
{
    DebugPrint("=================================================\n");
    DebugPrint("%s", title);
    DebugPrint("=================================================\n");
}

VOID inheritFlags(PDEVICE_OBJECT FilterDevice)
{
    PDEVICE_EXTENSION extension = GET_EXTENSION(FilterDevice);
    PDEVICE_OBJECT parent = GetParent(FilterDevice);
    PDEVICE_EXTENSION parentExtension;

    if (parent == 0)
        return;
    parentExtension = GET_EXTENSION(parent);

    /* Marks flow down the hierarchy; they are never taken away here. */
    if (parentExtension->Flags & NOIO)
        extension->Flags |= NOIO;
    if (parentExtension->Flags & ENUMERATE)
        extension->Flags |= ENUMERATE;
}

/* The first enabled filter whose key equals the tag's data words, or null. */
static const ResourceFilter *findFilter(const ResourceFilter *table, PIO_RESOURCE_DESCRIPTOR tag, ULONG *number)
{
    ULONG f;

    for (f = 0; f < RESOURCE_FILTERS; f++) {
        if (!table[f].enabled) {
            if (GetVerbose() > 5)
                DebugPrint("Filter %d is not enabled\n", f);
            continue;
        }
        if (table[f].key[0] == tag->u.DevicePrivate.Data[0] && table[f].key[1] == tag->u.DevicePrivate.Data[1] &&
            table[f].key[2] == tag->u.DevicePrivate.Data[2]) {
            *number = f;
            return &table[f];
        }
    }
    return 0;
}

/* Rewrites one window descriptor by a filter. */
static VOID applyFilter(const ResourceFilter *filter, PIO_RESOURCE_DESCRIPTOR d, ULONG index, const WINDOW_NEEDS *needs)
{
    ULONG origLength;
    ULONG origAlignment;

    if (d->Type != CmResourceTypePort && d->Type != CmResourceTypeMemory) {
        DebugPrint("ERROR FilterBridgeResList trying to filter desc %d\nBAD TYPE 0x%x... skipping\n", index, d->Type);
        return;
    }

    /* Port and memory descriptors share the layout of these four fields. */
    origLength = d->u.Generic.Length;
    origAlignment = d->u.Generic.Alignment;

    switch (filter->action) {
    case FILTER_ACTION_IO:
        d->u.Generic.Length = needs->Io;
        d->u.Generic.Alignment = IO_WINDOW_ALIGNMENT;
        break;
    case FILTER_ACTION_MEMORY:
        d->u.Generic.Length = needs->Memory;
        d->u.Generic.Alignment = needs->MemoryAlign;
        break;
    case FILTER_ACTION_PREFETCH:
        d->u.Generic.Length = needs->Prefetch;
        d->u.Generic.Alignment = needs->PrefetchAlign;
        break;
    default:
        return;
    }

    /* Anywhere the descriptor's kind of space reaches. */
    d->u.Generic.MinimumAddress.LowPart = 0;
    d->u.Generic.MinimumAddress.HighPart = 0;
    d->u.Generic.MaximumAddress.HighPart = 0;
    d->u.Generic.MaximumAddress.LowPart = (d->Type == CmResourceTypePort) ? PORT_MAXIMUM : MEMORY_MAXIMUM;

    d->Flags = (USHORT)((d->Flags | filter->setFlags) & ~filter->clearFlags);

    DebugPrint("[NOTE] orig len   0x%08x new len   0x%08x\n", origLength, d->u.Generic.Length);
    DebugPrint("[NOTE] orig align 0x%08x new align 0x%08x\n", origAlignment, d->u.Generic.Alignment);
}

ULONG FilterResources(PDEVICE_OBJECT FilterDevice, PIO_RESOURCE_REQUIREMENTS_LIST List, PBOOLEAN IoDropped)
{
    PDEVICE_EXTENSION extension = GET_EXTENSION(FilterDevice);
    const ResourceFilter *table;
    const ResourceFilter *filter;
    PIO_RESOURCE_LIST alternative;
    PIO_RESOURCE_DESCRIPTOR d;
    WINDOW_NEEDS needs;
    ULONG number;
    LONG start;
    LONG i;
    LONG j;

    if (extension->BridgeType == BRIDGE_TYPE_P2P)
        table = P2pFilters;
    else if (extension->BridgeType == BRIDGE_TYPE_CARDBUS)
        table = CardBusFilters;
    else
        return 1;

    EnumerateFromHere(extension, &needs.Memory, &needs.Prefetch, &needs.Io, &needs.MemoryAlign,
                      &needs.PrefetchAlign, IoDropped);
    DebugPrint("[Need  Mem 0x%08lx Pre 0x%08lx Io 0x%03x]\n", needs.Memory, needs.Prefetch, needs.Io);
    DebugPrint("[Align Mem 0x%08lx Pre 0x%08lx]\n", needs.MemoryAlign, needs.PrefetchAlign);

    if (List == 0) {
        DebugPrint("WARNING: FilterResources has NULL rList\n");
        return 0;
    }
    if (List->AlternativeLists == 0)
        return needs.Io;

    /* Only the first alternative list is rewritten. start is the last
     * descriptor that is not an alternative: the preferred descriptor of the
     * window the next tag names. */
    alternative = List->List;
    start = 0;
    for (i = 0; i < (LONG)alternative->Count; i++) {
        d = &alternative->Descriptors[i];
        if (d->Type != CmResourceTypeDevicePrivate) {
            if (d->Option != IO_RESOURCE_ALTERNATIVE)
                start = i;
            continue;
        }

        filter = findFilter(table, d, &number);
        if (filter == 0)
            continue;

        DebugPrint("-------------------------------------------------\n");
        if (start == i - 1)
            DebugPrint("[NOTE] checking Desc #%d Applying filter %d\n", start, number);
        else
            DebugPrint("[NOTE] checking Desc #%d-%d Applying filter %d\n", start, i - 1, number);
        for (j = start; j < i; j++)
            applyFilter(filter, &alternative->Descriptors[j], (ULONG)j, &needs);
    }

    return needs.Io;
}

NTSTATUS FilterResourceRequirements(PDEVICE_OBJECT FilterDevice, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GET_EXTENSION(FilterDevice);
    PIO_RESOURCE_REQUIREMENTS_LIST original;
    PIO_RESOURCE_REQUIREMENTS_LIST list;
    PIO_RESOURCE_REQUIREMENTS_LIST newList;
    BOOLEAN dropIo = FALSE;
    BOOLEAN ioDropped = FALSE;
    NTSTATUS status;
    ULONG ioNeed;

    LocateMe(extension);
    inheritFlags(FilterDevice);

    original = (PIO_RESOURCE_REQUIREMENTS_LIST)Irp->IoStatus.Information;
    printBanner("Pre-Filtered Resources:\n");
    PrintResourceRequirementsList(original);

    /* The edits go into a copy: the list the request came with stays as it
     * was until the drivers below have answered, since on a failure the PnP
     * manager goes on with it. Without memory for a copy the list is edited
     * where it is. */
    list = original != 0 ? dupResourceRequirementsList(original) : 0;
    if (list == 0)
        list = original;

    if ((extension->Flags & BRIDGE_FLAGS) == 0) {
        adjustMinMax(list);
    } else {
        ioNeed = FilterResources(FilterDevice, list, &ioDropped);

        if ((extension->Flags & CB_BRIDGE) && !(extension->Flags & ROOT)) {
            /* A CardBus bridge behind the adapter: its I/O window would only
             * eat the little I/O space the adapter's windows get. */
            dropIo = TRUE;
        } else if ((extension->Flags & P2P_BRIDGE) && ioDropped) {
            /* The room above holds no whole block of I/O for this bridge. */
            dropIo = TRUE;
        } else if ((extension->Flags & P2P_BRIDGE) && GetFilterIO() != 0 &&
                   ((extension->Flags & NOIO) || ioNeed == 0)) {
            /* Nothing behind this bridge needs I/O space, or it was told to
             * go without. */
            dropIo = TRUE;
        }

        /* filterOutIo frees the list it is given: only ever the copy. */
        if (dropIo && list != original) {
            newList = filterOutIo(list);
            /* The same list back means nothing was replaced (no memory for
             * the new one): the copy goes down as it is. */
            list = newList;
        }
    }

    Irp->IoStatus.Information = (ULONG_PTR)list;
    status = PnpPassDownIrpAndWait(FilterDevice, Irp);

    /* Nobody below handled the request (it still carries the status the PnP
     * manager preset). The PnP manager takes the list in the request only
     * from a successful request; any other status makes it go on with its
     * own list. A driver that changes the list completes the request with
     * success. */
    if (status == STATUS_NOT_SUPPORTED && Irp->IoStatus.Information != 0) {
        DebugPrint("NOTE FilterResourceRequirements: not handled below, completing with the filtered list\n");
        status = STATUS_SUCCESS;
        Irp->IoStatus.Status = STATUS_SUCCESS;
    }

    if (list != original) {
        if (NT_SUCCESS(status)) {
            /* The request's list replaced the original, which is ours to free. */
            MFree(original);
        } else {
            /* The PnP manager goes on with its own list: it gets it back, and
             * the copy (unless a driver below replaced it) is freed. */
            if (Irp->IoStatus.Information == (ULONG_PTR)list)
                MFree(list);
            Irp->IoStatus.Information = (ULONG_PTR)original;
        }
    }

    if (NT_SUCCESS(status)) {
        printBanner("Post-Filtered Resources:\n");
        PrintResourceRequirementsList((PIO_RESOURCE_REQUIREMENTS_LIST)Irp->IoStatus.Information);
    }
    return status;
}
