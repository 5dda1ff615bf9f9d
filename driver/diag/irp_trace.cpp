/*
 * irp_trace.cpp - the trace of PnP requests.
 *
 * PnP dispatch calls PrintIrpIn before its handler and PrintIrpContents and
 * PrintIrpOut after it. The minor-name table names each minor code, carries
 * the quiet bits that DriverEntry sets for chatty codes and points at the
 * code's contents printer. findPtr gives each device object a short identity
 * word ((vendor id << 16) | device id for filter devices) shown beside its
 * address.
 */
#include "diag/irp_trace.h"

#include "diag/resource_print.h"
#include "core/debug.h"

/* ------------------------------------------------------ minor-name table */

/* Alphabetical by name, scanned from the front. Mutable only for the quiet
 * bits, which DriverEntry sets before the first request arrives. */
static PNP_MINOR_NAME pnpMinorNames[] MODULE_STATE = {
    {0, IRP_MN_CANCEL_REMOVE_DEVICE, "CANCEL_REMOVE_DEVICE", PrintNothing},
    {0, IRP_MN_CANCEL_STOP_DEVICE, "CANCEL_STOP_DEVICE", PrintNothing},
    {0, IRP_MN_DEVICE_USAGE_NOTIFICATION, "DEVICE_USAGE_NOTIFICATION", PrintNothing},
    {0, IRP_MN_EJECT, "EJECT", PrintNothing},
    {0, IRP_MN_FILTER_RESOURCE_REQUIREMENTS, "FILTER_RESOURCE_REQ", PrintNothing},
    {0, IRP_MN_QUERY_BUS_INFORMATION, "QUERY_BUS_INFORMATION", PrintBusInformation},
    /* The capabilities and relations handlers print these themselves. */
    {0, IRP_MN_QUERY_CAPABILITIES, "QUERY_CAPABILITIES", PrintNothing},
    {0, IRP_MN_QUERY_DEVICE_RELATIONS, "QUERY_DEVICE_RELATIONS", PrintNothing},
    {0, IRP_MN_QUERY_DEVICE_TEXT, "QUERY_DEVICE_TEXT", PrintDeviceText},
    {0, IRP_MN_QUERY_ID, "QUERY_ID", PrintQueryId},
    {0, IRP_MN_QUERY_INTERFACE, "QUERY_INTERFACE", PrintQueryInterface},
    {0, IRP_MN_QUERY_LEGACY_BUS_INFORMATION, "QUERY_LEGACY_BUS_INFO", PrintNothing},
    {0, IRP_MN_QUERY_PNP_DEVICE_STATE, "QUERY_PNP_DEVICE_STATE", PrintPnpDeviceState},
    {0, IRP_MN_QUERY_REMOVE_DEVICE, "QUERY_REMOVE_DEVICE", PrintNothing},
    {0, IRP_MN_QUERY_RESOURCES, "QUERY_RESOURCES", PrintQueryResources},
    {0, IRP_MN_QUERY_RESOURCE_REQUIREMENTS, "QUERY_RESOURCE_REQ", PrintQueryResourceRequirements},
    {0, IRP_MN_QUERY_STOP_DEVICE, "QUERY_STOP_DEVICE", PrintNothing},
    {0, IRP_MN_READ_CONFIG, "READ_CONFIG", PrintReadConfig},
    {0, IRP_MN_REMOVE_DEVICE, "REMOVE_DEVICE", PrintNothing},
    {0, IRP_MN_SET_LOCK, "SET_LOCK", PrintNothing},
    {0, IRP_MN_START_DEVICE, "START_DEVICE", PrintStartDevice},
    {0, IRP_MN_STOP_DEVICE, "STOP_DEVICE", PrintNothing},
    {0, IRP_MN_SURPRISE_REMOVAL, "SURPRISE_REMOVAL", PrintNothing},
    {0, IRP_MN_WRITE_CONFIG, "WRITE_CONFIG", PrintWriteConfig},
    {0xFFFFFFFF, 0xFF, 0, 0}, /* terminator: every other minor code */
};

VOID SetMinorQuiet(ULONG minor, ULONG bits)
{
    PPNP_MINOR_NAME row;

    for (row = pnpMinorNames; row->Name != 0; row++) {
        if (row->Minor == minor) {
            row->Quiet |= bits;
            return;
        }
    }
}

PCPNP_MINOR_NAME LookupPnpMinor(PIRP Irp, const char *caller)
{
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    PCPNP_MINOR_NAME row;

    /* The terminator is recognised by its missing name, so a request with
     * minor code 0xFF does not match it. */
    for (row = pnpMinorNames; row->Name != 0; row++) {
        if ((row->Minor & 0xFF) == minor)
            return row;
    }
    if (GetVerbose() >= 9)
        DebugPrint("WARNING %s: UNKNOWN Irp MinorFunction 0x%02x\n", caller, (ULONG)minor);
    return 0;
}

/* ---------------------------------------------------- the trace steps */

VOID PrintIrpIn(PDEVICE_OBJECT DeviceObject, PIRP Irp, const char *prefix)
{
    PCPNP_MINOR_NAME row = LookupPnpMinor(Irp, "PrintIrpIn");

    if (row == 0)
        return;
    if ((row->Quiet & PNP_QUIET_ENTER) && GetVerbose() <= 9)
        return;
    DebugPrint("%s%s (0x%08lx %08lx)\n", prefix, row->Name, findPtr((ULONG_PTR)DeviceObject, 0),
               PTR32(DeviceObject));
}

VOID PrintIrpOut(PDEVICE_OBJECT DeviceObject, PIRP Irp, const char *prefix)
{
    PCPNP_MINOR_NAME row = LookupPnpMinor(Irp, "PrintIrpOut");
    const char *mark;

    if (row == 0)
        return;
    /* Error and warning statuses are negative; STATUS_PENDING and other
     * informational statuses get no mark. */
    mark = (Irp->IoStatus.Status < 0) ? " (FAILED)" : "";
    if (GetVerbose() < 9 && (row->Quiet & PNP_QUIET_FAILED))
        mark = "";
    if ((row->Quiet & PNP_QUIET_EXIT) && GetVerbose() <= 9)
        return;
    DebugPrint("%s%s (0x%08lx %08lx)%s\n", prefix, row->Name, findPtr((ULONG_PTR)DeviceObject, 0),
               PTR32(DeviceObject), mark);
}

VOID PrintIrpContents(PDEVICE_OBJECT DeviceObject, PIRP Irp, const char *prefix)
{
    PCPNP_MINOR_NAME row = LookupPnpMinor(Irp, "PrintIrpContents");

    if (row == 0 || row->Print == 0)
        return;
    if (GetVerbose() <= 9 && (row->Quiet & PNP_QUIET_CONTENTS))
        return;
    /* Only a request that finished with exactly STATUS_SUCCESS carries
     * results worth reading. */
    if (Irp->IoStatus.Status == STATUS_SUCCESS)
        row->Print(Irp);
}

/* ------------------------------------------------------ identity words */

#define FIND_PTR_ENTRIES 64

typedef struct _FIND_PTR_ENTRY {
    ULONG_PTR Key; /* device-object address; 0 marks a free entry */
    ULONG Value;   /* identity word */
} FIND_PTR_ENTRY;

/* Entries are taken from the front and never freed while the driver is
 * loaded. */
static FIND_PTR_ENTRY findPtrTable[FIND_PTR_ENTRIES] MODULE_STATE = {};
/* PnP and power requests of different devices can register new device
 * objects at the same time; the lock keeps two of them from claiming the
 * same free entry. A zeroed spin lock is an initialised one. */
static KSPIN_LOCK findPtrLock MODULE_STATE = 0;

/*
 * Looks up the key; a value of 0 asks, any other value registers or updates.
 * Returns the stored value. A key seen for the first time with value 0 is
 * entered with value 0 and the key itself is returned, so such a device
 * object shows its address twice the first time and 0 afterwards. With the
 * table full a new key is reported and returned unchanged.
 */
ULONG findPtr(ULONG_PTR key, ULONG value)
{
    KIRQL oldIrql;
    ULONG result = 0;
    BOOLEAN found = FALSE;
    ULONG i;

    KeAcquireSpinLock(&findPtrLock, &oldIrql);
    for (i = 0; i < FIND_PTR_ENTRIES; i++) {
        FIND_PTR_ENTRY *entry = &findPtrTable[i];

        if (entry->Key == key) {
            if (value != 0)
                entry->Value = value;
            result = entry->Value;
            found = TRUE;
            break;
        }
        if (entry->Key == 0) {
            entry->Key = key;
            entry->Value = value;
            result = (value != 0) ? value : (ULONG)key;
            found = TRUE;
            break;
        }
    }
    KeReleaseSpinLock(&findPtrLock, oldIrql);

    if (!found) {
        DebugPrint("WARNING findPtr: table overflow (only %d entries)!!!\n", FIND_PTR_ENTRIES);
        result = (ULONG)key;
    }
    return result;
}

/* ------------------------------------------------------- relations print */

static const char *const relationNames[] = {
    "Bus",      /* BusRelations */
    "Ejection", /* EjectionRelations */
    "Power",    /* PowerRelations */
    "Removal",  /* RemovalRelations */
    "Target",   /* TargetDeviceRelation */
};

VOID PrintDeviceRelations(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG type = (ULONG)stack->Parameters.QueryDeviceRelations.Type;
    PDEVICE_RELATIONS relations = (PDEVICE_RELATIONS)Irp->IoStatus.Information;
    const char *name = "UNKNOWN";
    ULONG i;

    if (type < sizeof(relationNames) / sizeof(relationNames[0]))
        name = relationNames[type];
    DebugPrint("Querying for %s relations\n", name);

    if (relations == 0 || type != BusRelations)
        return;
    /* Children the driver has not seen yet take a findPtr entry here. */
    for (i = 0; i < relations->Count; i++)
        DebugPrint("  Relation[%d] = 0x%x/0x%x\n", (int)i, findPtr((ULONG_PTR)relations->Objects[i], 0),
                   PTR32(relations->Objects[i]));
}

/* ----------------------------------------------------------- wide strings */

/* Characters of one printed line; the line buffer holds one more for the
 * terminator. */
#define WIDE_LINE_CHARS 127

/* Prints one line of at most 127 characters of text, each the low byte of a
 * code unit, ending before the first unit whose low byte is 0. Returns the
 * number of characters printed. */
static ULONG PrintWideLine(PCWSTR text)
{
    char line[WIDE_LINE_CHARS + 1];
    ULONG n;

    for (n = 0; n < WIDE_LINE_CHARS; n++) {
        line[n] = (char)(text[n] & 0xFF);
        if (line[n] == 0)
            break;
    }
    line[n] = 0;
    DebugPrint("     '%s'\n", line);
    return n;
}

VOID PrintWideString(PCWSTR text)
{
    PrintWideLine(text);
}

VOID PrintWideMultiString(PCWSTR text)
{
    ULONG pos = 0;
    ULONG n;

    while (text[pos] != 0) {
        n = PrintWideLine(text + pos);
        pos += n;
        /* A long string continues on the next line; a string that ended
         * here is followed by its terminator. */
        if ((text[pos] & 0xFF) == 0)
            pos++;
    }
}

/* ---------------------------------------------------------- interface types */

/* Indexed by INTERFACE_TYPE. */
static const char *const interfaceTypeNames[] = {
    "Internal",     "Isa",     "Eisa",    "MicroChannel",      "TurboChannel",     "PCIBus",
    "VMEBus",       "NuBus",   "PCMCIABus", "CBus",            "MPIBus",           "MPSABus",
    "ProcessorInternal", "InternalPowerBus", "PNPISABus", "PNPBus",
};

const char *InterfaceTypeString(LONG type)
{
    if (type < 0 || type >= (LONG)(sizeof(interfaceTypeNames) / sizeof(interfaceTypeNames[0])))
        return "UNKNOWN";
    return interfaceTypeNames[type];
}

/* ------------------------------------------------------ contents printers */

VOID PrintNothing(PIRP Irp)
{
}

VOID PrintStartDevice(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PCM_RESOURCE_LIST translated = stack->Parameters.StartDevice.AllocatedResourcesTranslated;

    if (translated == 0)
        return;
    DebugPrint("+++++++++++++++++++++++++++++++++++++++++++++++\n");
    DebugPrint("StartDevice: Translated resources\n");
    PrintResourceList(translated);
}

VOID PrintQueryResources(PIRP Irp)
{
    if (Irp->IoStatus.Information != 0)
        PrintResourceList((PCM_RESOURCE_LIST)Irp->IoStatus.Information);
}

VOID PrintQueryResourceRequirements(PIRP Irp)
{
    if (Irp->IoStatus.Information != 0)
        PrintResourceRequirementsList((PIO_RESOURCE_REQUIREMENTS_LIST)Irp->IoStatus.Information);
}

/* Indexed by BUS_QUERY_ID_TYPE. */
static const char *const queryIdLines[] = {
    "     BusQueryDeviceID\n",
    "     BusQueryHardwareIDs\n",
    "     BusQueryCompatibleIDs\n",
    "     BusQueryInstanceID\n",
    "     BusQueryDeviceSerialNumber\n",
};

VOID PrintQueryId(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG idType = (ULONG)stack->Parameters.QueryId.IdType;
    PCWSTR id = (PCWSTR)Irp->IoStatus.Information;

    if (idType < sizeof(queryIdLines) / sizeof(queryIdLines[0]))
        DebugPrint(queryIdLines[idType]);

    if (GetVerbose() <= 5 || Irp->IoStatus.Status != STATUS_SUCCESS || id == 0)
        return;
    /* Hardware and compatible IDs are lists of strings, the others one. */
    if (idType == BusQueryHardwareIDs || idType == BusQueryCompatibleIDs)
        PrintWideMultiString(id);
    else
        PrintWideString(id);
}

VOID PrintDeviceText(PIRP Irp)
{
    if (Irp->IoStatus.Status == STATUS_SUCCESS && Irp->IoStatus.Information != 0)
        PrintWideString((PCWSTR)Irp->IoStatus.Information);
}

/* Data1 of GUID_ARBITER_INTERFACE_STANDARD; only this word is compared. */
#define ARBITER_INTERFACE_DATA1 0xE644F185

VOID PrintQueryInterface(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const GUID *guid = stack->Parameters.QueryInterface.InterfaceType;
    PARBITER_INTERFACE arbiter = (PARBITER_INTERFACE)stack->Parameters.QueryInterface.Interface;

    if (guid == 0 || guid->Data1 != ARBITER_INTERFACE_DATA1 || arbiter == 0)
        return;
    DebugPrint("     Arb handler @ 0x%08lx flags 0x%x\n", PTR32(arbiter->ArbiterHandler), arbiter->Flags);
}

VOID PrintPnpDeviceState(PIRP Irp)
{
    if (Irp->IoStatus.Status == STATUS_SUCCESS && Irp->IoStatus.Information != 0)
        PrintFlags("     Pnp", FLAGS_PNP_DEVICE_STATE, (ULONG)Irp->IoStatus.Information);
}

/* Formats of a final word that has only 1, 2 or 3 of its bytes inside the
 * request's buffer, indexed by that count. */
static const char *const partialWordFormats[] = {
    0,
    "     Buffer[%02x] = 0x%02lx\n",
    "     Buffer[%02x] = 0x%04lx\n",
    "     Buffer[%02x] = 0x%06lx\n",
};

/*
 * The config request's header line and, at verbosity 9 and above, its buffer
 * as 32-bit words. No byte beyond Length is read: when Length is not a
 * multiple of four the last word is assembled from the bytes that exist
 * (little-endian, as the words are) and printed with two hex digits per
 * byte, so the line shows how many bytes the request really carried.
 */
static VOID PrintConfigRequest(PIRP Irp, const char *header)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const UCHAR *buffer = (const UCHAR *)stack->Parameters.ReadWriteConfig.Buffer;
    ULONG length = stack->Parameters.ReadWriteConfig.Length;
    ULONG i;
    ULONG k;
    ULONG bytes;
    ULONG word;

    DebugPrint(header, stack->Parameters.ReadWriteConfig.WhichSpace, stack->Parameters.ReadWriteConfig.Offset,
               length);
    if (GetVerbose() < 9 || buffer == 0)
        return;
    for (i = 0; i < length; i += 4) {
        bytes = (length - i < 4) ? length - i : 4;
        word = 0;
        for (k = 0; k < bytes; k++)
            word |= (ULONG)buffer[i + k] << (8 * k);
        if (bytes == 4)
            DebugPrint("     Buffer[%02x] = 0x%08lx\n", i, word);
        else
            DebugPrint(partialWordFormats[bytes], i, word);
    }
}

VOID PrintReadConfig(PIRP Irp)
{
    PrintConfigRequest(Irp, "     ReadConfig: space 0x%x off 0x%02x len 0x%x\n");
}

VOID PrintWriteConfig(PIRP Irp)
{
    PrintConfigRequest(Irp, "     WriteConfig: space 0x%x off 0x%02x len 0x%x\n");
}

VOID PrintBusInformation(PIRP Irp)
{
    PPNP_BUS_INFORMATION info = (PPNP_BUS_INFORMATION)Irp->IoStatus.Information;

    if (info == 0)
        return;
    DebugPrint("     Bus 0x%02x Type %s Interface GUID 0x%08lx\n", info->BusNumber,
               InterfaceTypeString(info->LegacyBusType), info->BusTypeGuid.Data1);
}
