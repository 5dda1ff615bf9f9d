/*
 * resource_print.cpp - flag words, requirement lists and resource lists in
 * the driver's compact text form.
 */
#include "diag/resource_print.h"

#include "core/debug.h"

/* ------------------------------------------------------------ flag names */

typedef struct _FLAG_NAME {
    ULONG Bit;        /* 0 ends the table */
    const char *Name;
} FLAG_NAME;

static const FLAG_NAME portFlagNames[] = {
    {CM_RESOURCE_PORT_10_BIT_DECODE, "10BIT"},
    {CM_RESOURCE_PORT_12_BIT_DECODE, "12BIT"},
    {CM_RESOURCE_PORT_16_BIT_DECODE, "16BIT"},
    {CM_RESOURCE_PORT_POSITIVE_DECODE, "POS"},
    {CM_RESOURCE_PORT_PASSIVE_DECODE, "PASS"},
    {CM_RESOURCE_PORT_WINDOW_DECODE, "WIND"},
    {0, 0},
};

static const FLAG_NAME memoryFlagNames[] = {
    {CM_RESOURCE_MEMORY_READ_ONLY, "RO"},
    {CM_RESOURCE_MEMORY_WRITE_ONLY, "WO"},
    {CM_RESOURCE_MEMORY_PREFETCHABLE, "PRE"},
    {CM_RESOURCE_MEMORY_COMBINEDWRITE, "COMB"},
    {CM_RESOURCE_MEMORY_24, "24BIT"},
    {CM_RESOURCE_MEMORY_CACHEABLE, "CACHE"},
    {0, 0},
};

static const FLAG_NAME deviceObjectFlagNames[] = {
    {DO_VERIFY_VOLUME, "VERIFY_VOLUME"},
    {DO_BUFFERED_IO, "BUFFERED_IO"},
    {DO_EXCLUSIVE, "EXCLUSIVE"},
    {DO_DIRECT_IO, "DIRECT_IO"},
    {DO_MAP_IO_BUFFER, "MAP_IO_BUFFER"},
    {DO_DEVICE_HAS_NAME, "HAS_NAME"},
    {DO_DEVICE_INITIALIZING, "IS_INITIALIZING"},
    {DO_SYSTEM_BOOT_PARTITION, "SYSTEM_BOOT_PARTITION"},
    {DO_LONG_TERM_REQUESTS, "LONG_TERM_REQUESTS"},
    {DO_NEVER_LAST_DEVICE, "NEVER_LAST_DEVICE"},
    {DO_SHUTDOWN_REGISTERED, "SHUTDOWN_REGISTERED"},
    {DO_BUS_ENUMERATED_DEVICE, "BUS_ENUMERATED_DEVICE"},
    {DO_POWER_PAGABLE, "POWER_PAGABLE"},
    {DO_POWER_INRUSH, "POWER_INRUSH"},
    {DO_LOW_PRIORITY_FILESYSTEM, "LOW_PRIORITY_FILESYSTEM"},
    {0, 0},
};

static const FLAG_NAME pnpDeviceStateFlagNames[] = {
    {PNP_DEVICE_DISABLED, "DISABLED"},
    {PNP_DEVICE_DONT_DISPLAY_IN_UI, "DONT_DISPLAY_IN_UI"},
    {PNP_DEVICE_FAILED, "FAILED"},
    {PNP_DEVICE_REMOVED, "REMOVED"},
    {PNP_DEVICE_RESOURCE_REQUIREMENTS_CHANGED, "RESOURCE_REQUIREMENTS_CHANGED"},
    {PNP_DEVICE_NOT_DISABLEABLE, "NOT_DISABLEABLE"},
    {0, 0},
};

typedef struct _FLAG_TABLE {
    ULONG Selector;
    const FLAG_NAME *Names;
} FLAG_TABLE;

static const FLAG_TABLE flagTables[] = {
    {FLAGS_PORT, portFlagNames},
    {FLAGS_MEMORY, memoryFlagNames},
    {FLAGS_DEVICE_OBJECT, deviceObjectFlagNames},
    {FLAGS_PNP_DEVICE_STATE, pnpDeviceStateFlagNames},
};

/* Name slots of one flags line. */
#define FLAG_SLOTS 9

VOID PrintFlags(const char *title, ULONG selector, ULONG value)
{
    const FLAG_NAME *names = 0;
    const char *slot[FLAG_SLOTS];
    ULONG used = 0;
    ULONG i;

    if (value == 0)
        return;

    for (i = 0; i < sizeof(flagTables) / sizeof(flagTables[0]); i++) {
        if (flagTables[i].Selector == selector) {
            names = flagTables[i].Names;
            break;
        }
    }
    if (names == 0)
        return;

    for (i = 0; i < FLAG_SLOTS; i++)
        slot[i] = "";

    /* The device-object table names fifteen bits but a line has nine slots:
     * the first nine set bits in table order are shown, the rest only in the
     * hexadecimal value. */
    for (; names->Bit != 0 && used < FLAG_SLOTS; names++) {
        if (value & names->Bit)
            slot[used++] = names->Name;
    }

    DebugPrint("%s: 0x%x %s %s %s %s %s %s %s %s %s\n", title, value, slot[0], slot[1], slot[2], slot[3], slot[4],
               slot[5], slot[6], slot[7], slot[8]);
}

VOID PrintDeviceFlags(const char *title, ULONG flags)
{
    PrintFlags(title, FLAGS_DEVICE_OBJECT, flags);
}

/* ------------------------------------------------------------ value names */

typedef struct _VALUE_NAME {
    ULONG Value;
    const char *Name;
} VALUE_NAME;

static const VALUE_NAME resourceTypeNames[] = {
    {CmResourceTypeNull, "NUL "},
    {CmResourceTypePort, "I/O "},
    {CmResourceTypeInterrupt, "INT "},
    {CmResourceTypeMemory, "MEM "},
    {CmResourceTypeDma, "DMA "},
    {CmResourceTypeDeviceSpecific, "DEV "},
    {CmResourceTypeBusNumber, "BUS "},
    {CmResourceTypeConfigData, "CFG "},
    {CmResourceTypeDevicePrivate, "--- "},
    {CmResourceTypePcCardConfig, "PCC "},
    {CmResourceTypeMfCardConfig, "MFC "},
};

static const VALUE_NAME optionNames[] = {
    {0, "    "},
    {IO_RESOURCE_PREFERRED, "PREF"},
    {IO_RESOURCE_DEFAULT, "DEF "},
    {IO_RESOURCE_ALTERNATIVE, "ALT "},
};

static const char *const shareNames[] = {
    "UNKNOWN",          /* CmResourceShareUndetermined */
    "EXCLUSIVE device", /* CmResourceShareDeviceExclusive */
    "EXCLUSIVE Driver", /* CmResourceShareDriverExclusive */
    "SHARED",           /* CmResourceShareShared */
};

const char *WichType(ULONG type)
{
    ULONG i;

    for (i = 0; i < sizeof(resourceTypeNames) / sizeof(resourceTypeNames[0]); i++) {
        if (resourceTypeNames[i].Value == type)
            return resourceTypeNames[i].Name;
    }
    DebugPrint("WARNING WichType: UNKNOWN ResourceType 0x%x\n", type);
    return "??? ";
}

const char *ResourceOptionString(ULONG option)
{
    ULONG i;

    /* Only the single values have names; a combination is unknown too. */
    for (i = 0; i < sizeof(optionNames) / sizeof(optionNames[0]); i++) {
        if (optionNames[i].Value == option)
            return optionNames[i].Name;
    }
    return "??? ";
}

VOID PrintShareDisposition(ULONG share)
{
    /* A disposition the platform does not define is shown as unknown. */
    const char *name = "???";

    if (share < sizeof(shareNames) / sizeof(shareNames[0]))
        name = shareNames[share];
    DebugPrint("     Share: %s\n", name);
}

/* ------------------------------------------------------ requirement lists */

static VOID PrintIoDescriptor(PIO_RESOURCE_DESCRIPTOR d, ULONG j)
{
    const char *type = WichType(d->Type);
    const char *option = ResourceOptionString(d->Option);

    switch (d->Type) {
    case CmResourceTypePort:
        DebugPrint("%sdescriptor: %d %s [Min 0x%lX Max 0x%lX]\n", type, (int)j, option,
                   d->u.Port.MinimumAddress.LowPart, d->u.Port.MaximumAddress.LowPart);
        DebugPrint("     Align = 0x%lX Len = 0x%lX\n", d->u.Port.Alignment, d->u.Port.Length);
        PrintFlags("     Flags", FLAGS_PORT, d->Flags);
        PrintShareDisposition(d->ShareDisposition);
        break;
    case CmResourceTypeInterrupt:
        DebugPrint("%sdescriptor: %d %s Vector [Min 0x%lX Max 0x%lX]\n", type, (int)j, option,
                   d->u.Interrupt.MinimumVector, d->u.Interrupt.MaximumVector);
        PrintShareDisposition(d->ShareDisposition);
        break;
    case CmResourceTypeMemory:
        DebugPrint("%sdescriptor: %d %s [Min 0x%lX:%lX Max 0x%lX:%lX]\n", type, (int)j, option,
                   (ULONG)d->u.Memory.MinimumAddress.HighPart, d->u.Memory.MinimumAddress.LowPart,
                   (ULONG)d->u.Memory.MaximumAddress.HighPart, d->u.Memory.MaximumAddress.LowPart);
        DebugPrint("     Align = 0x%lX Len = 0x%lX\n", d->u.Memory.Alignment, d->u.Memory.Length);
        PrintFlags("     Flags", FLAGS_MEMORY, d->Flags);
        PrintShareDisposition(d->ShareDisposition);
        break;
    case CmResourceTypeDevicePrivate:
        DebugPrint("%sdescriptor: %d [Marker %d-%d]\n", type, (int)j, (int)d->u.DevicePrivate.Data[0],
                   (int)d->u.DevicePrivate.Data[1]);
        break;
    default:
        DebugPrint("%sdescriptor: %d\n", type, (int)j);
        break;
    }
}

VOID PrintResourceRequirementsList(PIO_RESOURCE_REQUIREMENTS_LIST list)
{
    PIO_RESOURCE_LIST alternative;
    ULONG i;
    ULONG j;

    if (list == 0) {
        DebugPrint("WARNING PrintResourceRequirementsList: pReq is NULL!!!\n");
        return;
    }
    if (GetVerbose() >= 9)
        DebugPrint("SlotNumber is %d\n", (int)list->SlotNumber);

    alternative = list->List;
    for (i = 0; i < list->AlternativeLists; i++) {
        DebugPrint("Resource Requirements [%d] Count %d\n", (int)i, (int)alternative->Count);
        for (j = 0; j < alternative->Count; j++)
            PrintIoDescriptor(&alternative->Descriptors[j], j);
        /* The next alternative list starts right after this one's last
         * descriptor. */
        alternative = (PIO_RESOURCE_LIST)&alternative->Descriptors[alternative->Count];
    }
}

/* --------------------------------------------------------- resource lists */

static VOID PrintCmDescriptor(PCM_PARTIAL_RESOURCE_DESCRIPTOR d, ULONG j)
{
    const char *type = WichType(d->Type);

    switch (d->Type) {
    case CmResourceTypePort:
    case CmResourceTypeMemory:
        /* Port and memory share the layout of Start and Length. */
        DebugPrint("%sdescriptor: %d [Start = 0x%lX Len = 0x%lX]\n", type, (int)j, d->u.Generic.Start.LowPart,
                   d->u.Generic.Length);
        PrintFlags("     Flags", d->Type, d->Flags);
        PrintShareDisposition(d->ShareDisposition);
        break;
    case CmResourceTypeInterrupt:
        DebugPrint("%sdescriptor: %d [Vec = 0x%X Level = 0x%X]\n", type, (int)j, d->u.Interrupt.Vector,
                   d->u.Interrupt.Level);
        PrintShareDisposition(d->ShareDisposition);
        break;
    case CmResourceTypeDevicePrivate:
        DebugPrint("%sdescriptor: %d [Marker %d-%d]\n", type, (int)j, (int)d->u.DevicePrivate.Data[0],
                   (int)d->u.DevicePrivate.Data[1]);
        break;
    default:
        DebugPrint("%sdescriptor: %d\n", type, (int)j);
        break;
    }
}

VOID PrintResourceList(PCM_RESOURCE_LIST list)
{
    PCM_FULL_RESOURCE_DESCRIPTOR full;
    PCM_PARTIAL_RESOURCE_LIST partial;
    ULONG i;
    ULONG j;

    if (list == 0)
        return;

    full = list->List;
    for (i = 0; i < list->Count; i++) {
        partial = &full->PartialResourceList;
        if (GetVerbose() >= 9)
            DebugPrint("InterfaceType: 0x%X BusNumber: 0x%X\n", (ULONG)full->InterfaceType, full->BusNumber);
        for (j = 0; j < partial->Count; j++)
            PrintCmDescriptor(&partial->PartialDescriptors[j], j);
        /* The next full descriptor starts right after this one's last
         * partial descriptor. */
        full = (PCM_FULL_RESOURCE_DESCRIPTOR)&partial->PartialDescriptors[partial->Count];
    }
    DebugPrint("+++++++++++++++++++++++++++++++++++++++++++++++\n");
}
