/*
 * list_edit.cpp - the requirements-list editors: a private copy of a list,
 * a list without a bridge's I/O window, and memory ranges freed of their
 * placement limits.
 *
 * A requirements list is a header followed by its alternative lists; each
 * alternative list is a small header and Count descriptors, and the next one
 * begins right after the last descriptor of the one before. The walks below
 * trust Count, as the PnP manager does.
 */
#include "resources/resources.h"

#include "core/debug.h"

PIO_RESOURCE_LIST NextResourceList(PIO_RESOURCE_LIST List)
{
    return (PIO_RESOURCE_LIST)&List->Descriptors[List->Count];
}

/* The fields of a requirements list in front of its first alternative list. */
static VOID copyListHeader(PIO_RESOURCE_REQUIREMENTS_LIST to, PIO_RESOURCE_REQUIREMENTS_LIST from)
{
    ULONG i;

    to->ListSize = from->ListSize;
    to->InterfaceType = from->InterfaceType;
    to->BusNumber = from->BusNumber;
    to->SlotNumber = from->SlotNumber;
    for (i = 0; i < 3; i++)
        to->Reserved[i] = from->Reserved[i];
    to->AlternativeLists = from->AlternativeLists;
}

PIO_RESOURCE_REQUIREMENTS_LIST dupResourceRequirementsList(PIO_RESOURCE_REQUIREMENTS_LIST Old)
{
    PIO_RESOURCE_REQUIREMENTS_LIST copy;
    PIO_RESOURCE_LIST from;
    PIO_RESOURCE_LIST to;
    ULONG i;
    ULONG j;

    if (Old == 0) {
        DebugPrint("ERROR dupResourceRequirementsList: pOld is NULL\n");
        return 0;
    }

    /* PMalloc reports its own failure; the caller then simply has no copy. */
    copy = (PIO_RESOURCE_REQUIREMENTS_LIST)PMalloc(Old->ListSize);
    if (copy == 0)
        return 0;
    /* Pool blocks come uncleared: whatever ListSize holds beyond the last
     * descriptor is zero rather than stale pool contents. */
    RtlZeroMemory(copy, Old->ListSize);

    copyListHeader(copy, Old);
    from = Old->List;
    to = copy->List;
    for (i = 0; i < Old->AlternativeLists; i++) {
        to->Version = from->Version;
        to->Revision = from->Revision;
        to->Count = from->Count;
        for (j = 0; j < from->Count; j++)
            to->Descriptors[j] = from->Descriptors[j];
        from = NextResourceList(from);
        to = NextResourceList(to);
    }
    return copy;
}

PIO_RESOURCE_REQUIREMENTS_LIST filterOutIo(PIO_RESOURCE_REQUIREMENTS_LIST Old)
{
    PIO_RESOURCE_REQUIREMENTS_LIST nList;
    PIO_RESOURCE_LIST from;
    PIO_RESOURCE_LIST to;
    ULONG i;
    ULONG j;
    ULONG k;

    if (GetVerbose() > 5)
        DebugPrint("NOTE filterOutIo: entered\n");

    /* Without a list, or without memory for the new one, the request keeps
     * the list it carries: the caller sees the same pointer come back. */
    if (Old == 0) {
        DebugPrint("ERROR filterOutIo: pOld is NULL\n");
        return Old;
    }
    nList = (PIO_RESOURCE_REQUIREMENTS_LIST)PMalloc(Old->ListSize);
    if (nList == 0) {
        DebugPrint("ERROR filterOutIo: PMalloc failed, list left unchanged\n");
        return Old;
    }
    /* The new list keeps the old ListSize and may end in unused space;
     * that space is zero, not stale pool contents. */
    RtlZeroMemory(nList, Old->ListSize);

    copyListHeader(nList, Old);
    from = Old->List;
    to = nList->List;
    for (i = 0; i < Old->AlternativeLists; i++) {
        to->Version = from->Version;
        to->Revision = from->Revision;
        to->Count = from->Count;

        j = 0;
        k = 0;
        while (j < from->Count) {
            if (from->Descriptors[j].Type == CmResourceTypePort) {
                if (j + 1 < from->Count) {
                    /* The I/O window and the device-private descriptor that
                     * tags it go together. */
                    to->Count -= 2;
                    if (GetVerbose() > 5) {
                        DebugPrint("filterOutIo: skipping desc %d & %d\n", j, j + 1);
                        DebugPrint("filterOutIo: nList->Count is now %d\n", to->Count);
                    }
                    j += 2;
                } else {
                    /* A port descriptor closing the list has no partner
                     * behind it: it goes alone. */
                    to->Count -= 1;
                    if (GetVerbose() > 5) {
                        DebugPrint("filterOutIo: skipping desc %d\n", j);
                        DebugPrint("filterOutIo: nList->Count is now %d\n", to->Count);
                    }
                    j += 1;
                }
                continue;
            }
            if (GetVerbose() > 5)
                DebugPrint("filterOutIo: Copying desc %d to %d\n", j, k);
            to->Descriptors[k] = from->Descriptors[j];
            j++;
            k++;
        }

        /* The next alternative list begins right after the last descriptor
         * kept in this one (to->Count equals k here). */
        from = NextResourceList(from);
        to = NextResourceList(to);
    }

    MFree(Old);
    return nList;
}

VOID adjustMinMax(PIO_RESOURCE_REQUIREMENTS_LIST List)
{
    PIO_RESOURCE_LIST alternative;
    PIO_RESOURCE_DESCRIPTOR d;
    ULONG i;
    ULONG j;

    if (List == 0) {
        DebugPrint("WARNING adjustMinMax pReq == NULL\n");
        return;
    }

    /* A device behind the adapter may have its memory placed anywhere in the
     * 32-bit space: the windows above it are where the room is. */
    alternative = List->List;
    for (i = 0; i < List->AlternativeLists; i++) {
        for (j = 0; j < alternative->Count; j++) {
            d = &alternative->Descriptors[j];
            if (d->Type != CmResourceTypeMemory)
                continue;
            if (d->u.Memory.MinimumAddress.LowPart != 0) {
                DebugPrint("WARNING adjustMinMax: Min != 0x0 %lx\n", d->u.Memory.MinimumAddress.LowPart);
                d->u.Memory.MinimumAddress.LowPart = 0;
            }
            if (d->u.Memory.MaximumAddress.LowPart != 0xFFFFFFFF) {
                DebugPrint("WARNING adjustMinMax Max != 0xFFFFFFFF %lx\n", d->u.Memory.MaximumAddress.LowPart);
                d->u.Memory.MaximumAddress.LowPart = 0xFFFFFFFF;
            }
        }
        alternative = NextResourceList(alternative);
    }
}
