/*
 * config.cpp - the configuration values under tolmu\Parameters, read once at
 * load, their accessors and dump, and the values the driver publishes under
 * dromel\Configured (trace, iam).
 */
#include "core/config.h"
#include "core/debug.h"

/* The values, 0 until the registry has been read. */
static ULONG TraceSize MODULE_STATE = 0;
static ULONG PreFetch MODULE_STATE = 0;
static ULONG Memory MODULE_STATE = 0;
static ULONG Io MODULE_STATE = 0;
static ULONG filterIO MODULE_STATE = 0;
static ULONG setBusNo MODULE_STATE = 0;
static ULONG mapLegacy MODULE_STATE = 0;
static ULONG vgaAlias MODULE_STATE = 0;
static ULONG nSockets MODULE_STATE = 0;
static ULONG ignoreO2 MODULE_STATE = 0;
static ULONG ignoreToshiba MODULE_STATE = 0;
static ULONG ignoreVenId MODULE_STATE = 0;
static ULONG ignoreDevId MODULE_STATE = 0;
static ULONG ignoreCb MODULE_STATE = 0;
static ULONG ticks MODULE_STATE = 0;

/* Set when the registry read failed as a whole. */
static ULONG ConfigFailed MODULE_STATE = 0;

/* Up to two controller location codes: the first in the low half, a second
 * in the high half. */
static ULONG iam MODULE_STATE = 0;

/* One row per value, in the order they are read. */
typedef struct _CONFIG_ROW {
    PCWSTR Name;
    ULONG DefaultValue;
} CONFIG_ROW;

enum {
    ROW_TRACESIZE,
    ROW_PREFETCH,
    ROW_MEMORY,
    ROW_IO,
    ROW_FILTERIO,
    ROW_SETBUSNO,
    ROW_MAPLEGACY,
    ROW_VGAALIAS,
    ROW_NSOCKETS,
    ROW_IGNOREO2,
    ROW_IGNORETOSHIBA,
    ROW_IGNOREVENID,
    ROW_IGNOREDEVID,
    ROW_IGNORECB,
    ROW_TICKS,
    ROW_VERBOSE,
    CONFIG_ROWS
};

static const CONFIG_ROW ConfigRows[CONFIG_ROWS] = {
    {WSTR("TraceSize"), 0x20000},
    {WSTR("PreFetch"), 0x8000000},
    {WSTR("Memory"), 0x8000000},
    {WSTR("Io"), 0x300},
    {WSTR("filterIO"), 0},
    {WSTR("setBusNo"), 0},
    {WSTR("mapLegacy"), 0},
    {WSTR("vgaAlias"), 0},
    {WSTR("nSockets"), 0},
    {WSTR("ignoreO2"), 0},
    {WSTR("ignoreToshiba"), 0},
    {WSTR("ignoreVenId"), 0},
    {WSTR("ignoreDevId"), 0},
    {WSTR("ignoreCb"), 0},
    {WSTR("ticks"), 0},
    {WSTR("Verbose"), 0},
};

/* Room in the query table; the unused entries stay zero, and the first of
 * them ends the table. */
#define CONFIG_QUERY_ENTRIES 32

/*
 * Takes a value only when its data is exactly four bytes long, whatever its
 * registry type: a REG_DWORD, four bytes of binary data, or a one-character
 * wide string with its terminator. Anything else is skipped and its variable
 * keeps its default. Never fails, so one odd value does not stop the others.
 */
static NTSTATUS NTAPI ConfigQueryRoutine(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength,
                                         PVOID Context, PVOID EntryContext)
{
    if (ValueLength == sizeof(ULONG) && ValueData != 0 && EntryContext != 0)
        RtlCopyMemory(EntryContext, ValueData, sizeof(ULONG));
    return STATUS_SUCCESS;
}

void ReadConfiguration(void)
{
    RTL_QUERY_REGISTRY_TABLE table[CONFIG_QUERY_ENTRIES];
    ULONG *variables[CONFIG_ROWS];
    ULONG verbose = 0;
    NTSTATUS status;
    int i;

    variables[ROW_TRACESIZE] = &TraceSize;
    variables[ROW_PREFETCH] = &PreFetch;
    variables[ROW_MEMORY] = &Memory;
    variables[ROW_IO] = &Io;
    variables[ROW_FILTERIO] = &filterIO;
    variables[ROW_SETBUSNO] = &setBusNo;
    variables[ROW_MAPLEGACY] = &mapLegacy;
    variables[ROW_VGAALIAS] = &vgaAlias;
    variables[ROW_NSOCKETS] = &nSockets;
    variables[ROW_IGNOREO2] = &ignoreO2;
    variables[ROW_IGNORETOSHIBA] = &ignoreToshiba;
    variables[ROW_IGNOREVENID] = &ignoreVenId;
    variables[ROW_IGNOREDEVID] = &ignoreDevId;
    variables[ROW_IGNORECB] = &ignoreCb;
    variables[ROW_TICKS] = &ticks;
    variables[ROW_VERBOSE] = &verbose; /* the verbosity itself changes only on success */

    /* Every variable holds its default before the query, so that whatever
     * the query does not hand over keeps it: a value of the wrong length, the
     * values after a failed entry, and all of them when the Parameters key is
     * missing (the call then fails, or succeeds without calling the routine,
     * and neither hands over a default). */
    RtlZeroMemory(table, sizeof(table));
    for (i = 0; i < CONFIG_ROWS; i++) {
        *variables[i] = ConfigRows[i].DefaultValue;
        table[i].QueryRoutine = ConfigQueryRoutine;
        table[i].Flags = 0;
        table[i].Name = (PWSTR)ConfigRows[i].Name;
        table[i].EntryContext = variables[i];
        table[i].DefaultType = REG_DWORD;
        table[i].DefaultData = (PVOID)&ConfigRows[i].DefaultValue;
        table[i].DefaultLength = sizeof(ULONG);
    }

    status = RtlQueryRegistryValues(RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL, TOLMU_PARAMETERS_PATH, table,
                                    0, 0);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        /* No Parameters key at all (an installation that never set a value):
         * the query stops before any value is looked at, and the driver
         * behaves as with an empty key, every value keeping its default. No
         * entry is marked required, so the key is the only thing this status
         * can be about. */
        status = STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(status)) {
        ConfigFailed = 1;
        return;
    }
    if (verbose != 0)
        SetVerbose((LONG)verbose);
}

void PrintConfiguration(void)
{
    if (ConfigFailed)
        DebugPrint("RtlQueryRegistryValues failed\n");
    DebugPrint("TOLMU: PreFetch      = 0x%x\n", PreFetch);
    DebugPrint("TOLMU: Memory        = 0x%x\n", Memory);
    DebugPrint("TOLMU: Io            = 0x%x\n", Io);
    DebugPrint("TOLMU: setBusNo      = 0x%x\n", setBusNo);
    DebugPrint("TOLMU: TraceSize     = 0x%x\n", TraceSize);
    DebugPrint("TOLMU: filterIO      = 0x%x\n", filterIO);
    DebugPrint("TOLMU: mapLegacy     = 0x%x\n", mapLegacy);
    DebugPrint("TOLMU: vgaAlias      = 0x%x\n", vgaAlias);
    DebugPrint("TOLMU: nSockets      = 0x%x\n", nSockets);
    DebugPrint("TOLMU: ignoreO2      = 0x%x\n", ignoreO2);
    DebugPrint("TOLMU: ignoreToshiba = 0x%x\n", ignoreToshiba);
    DebugPrint("TOLMU: ignoreDevId   = 0x%x\n", ignoreDevId);
    DebugPrint("TOLMU: ignoreVenId   = 0x%x\n", ignoreVenId);
    DebugPrint("TOLMU: ignoreCb      = 0x%08lX\n", ignoreCb);
    DebugPrint("TOLMU: ticks         = 0x%x\n", ticks);
    DebugPrint("TOLMU: Verbose       = 0x%x\n", GetVerbose());
}

/*
 * Publishes one value under dromel\Configured. The key is created one level
 * at a time, dromel first: RtlCreateRegistryKey creates only the last key of
 * its path and fails when a key on the way is missing, as dromel is on a
 * machine where nothing has published before. An existing key is opened.
 */
void RegisterConfiguration(PCWSTR name, ULONG value)
{
    NTSTATUS status;

    status = RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, (PWSTR)TOLMU_PUBLISH_PARENT_PATH);
    if (NT_SUCCESS(status))
        status = RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, (PWSTR)TOLMU_PUBLISH_PATH);
    if (!NT_SUCCESS(status)) {
        DebugPrint("ERROR RegisterConfiguration: RtlCreateRegistryKey failed\n");
        return;
    }
    RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, TOLMU_PUBLISH_PATH, name, REG_DWORD, &value, sizeof(ULONG));
}

ULONG GetTraceSize(void) { return TraceSize; }
ULONG GetPreFetch(void) { return PreFetch; }
ULONG GetMemory(void) { return Memory; }
ULONG GetIo(void) { return Io; }
ULONG GetFilterIO(void) { return filterIO; }
ULONG GetSetBusNo(void) { return setBusNo; }
ULONG GetMapLegacy(void) { return mapLegacy; }
ULONG GetVgaAlias(void) { return vgaAlias; }
ULONG GetIgnoreO2(void) { return ignoreO2; }
ULONG GetIgnoreToshiba(void) { return ignoreToshiba; }
ULONG GetIgnoreCb(void) { return ignoreCb; }
ULONG GetTicks(void) { return ticks; }
ULONG GetConfigurationFailed(void) { return ConfigFailed; }

/* Only a single-socket controller is told apart; every other value means two. */
ULONG GetNSockets(void)
{
    return nSockets == 1 ? 1 : 2;
}

/* Device and vendor ids are 16 bits wide. */
ULONG GetIgnoreVenId(void)
{
    return ignoreVenId & 0xFFFF;
}

ULONG GetIgnoreDevId(void)
{
    return ignoreDevId & 0xFFFF;
}

ULONG GetIam(void)
{
    return iam;
}

VOID SetIam(ULONG value)
{
    iam = value;
}
