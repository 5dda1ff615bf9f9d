/*
 * resource_print.h - printers for flag words, requirement lists and resource
 * lists.
 *
 * Every line goes through DebugPrint. The printers read the platform's
 * records as they are and never change them.
 */
#ifndef TOLMU_RESOURCE_PRINT_H
#define TOLMU_RESOURCE_PRINT_H

#include "tolmu_platform.h"

/* Selectors of PrintFlags: which flag-name table names the bits. Port and
 * memory equal the resource types, so a descriptor's Type can be passed. */
#define FLAGS_PORT CmResourceTypePort     /* CM_RESOURCE_PORT_* */
#define FLAGS_MEMORY CmResourceTypeMemory /* CM_RESOURCE_MEMORY_* */
#define FLAGS_DEVICE_OBJECT 0xFFFFFFFF    /* DO_* */
#define FLAGS_PNP_DEVICE_STATE 0xDEADBABE /* PNP_DEVICE_* */

/* One line "title: 0xvalue" followed by the names of the first nine set
 * bits that the selected table names; nothing for a value of 0 or an unknown
 * selector. */
VOID PrintFlags(const char *title, ULONG selector, ULONG value);
/* PrintFlags with the device-object flag table. */
VOID PrintDeviceFlags(const char *title, ULONG flags);

VOID PrintResourceRequirementsList(PIO_RESOURCE_REQUIREMENTS_LIST list);
VOID PrintResourceList(PCM_RESOURCE_LIST list);

/* Four-character names of a resource type and of a requirement's option. */
const char *WichType(ULONG type);
const char *ResourceOptionString(ULONG option);
/* The "     Share: ..." line of a descriptor. */
VOID PrintShareDisposition(ULONG share);

#endif /* TOLMU_RESOURCE_PRINT_H */
