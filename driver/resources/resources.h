/*
 * resources.h - rewriting a bridge's resource requirements with the
 * enumerated needs, and the requirements-list editors.
 */
#ifndef TOLMU_RESOURCES_H
#define TOLMU_RESOURCES_H

#include "pnp/pnp.h"

/* One window filter: a device-private key and what to do with the window
 * descriptors in front of a descriptor carrying it. */
typedef struct _ResourceFilter {
    ULONG enabled;
    ULONG key[3];
    ULONG action; /* FILTER_ACTION_* */
    ULONG setFlags;
    ULONG clearFlags;
} ResourceFilter;

#define FILTER_ACTION_IO 0
#define FILTER_ACTION_MEMORY 2
#define FILTER_ACTION_PREFETCH 3
#define RESOURCE_FILTERS 3

PNP_HANDLER FilterResourceRequirements;
VOID inheritFlags(PDEVICE_OBJECT FilterDevice);
/* IoDropped, when given, is set when the bridge's I/O window must go. */
ULONG FilterResources(PDEVICE_OBJECT FilterDevice, PIO_RESOURCE_REQUIREMENTS_LIST List, PBOOLEAN IoDropped = 0);

PIO_RESOURCE_REQUIREMENTS_LIST dupResourceRequirementsList(PIO_RESOURCE_REQUIREMENTS_LIST Old);
PIO_RESOURCE_REQUIREMENTS_LIST filterOutIo(PIO_RESOURCE_REQUIREMENTS_LIST Old);
VOID adjustMinMax(PIO_RESOURCE_REQUIREMENTS_LIST List);

/* The alternative list that follows one in a requirements list. */
PIO_RESOURCE_LIST NextResourceList(PIO_RESOURCE_LIST List);

#endif /* TOLMU_RESOURCES_H */
