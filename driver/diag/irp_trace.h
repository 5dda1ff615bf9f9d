/*
 * irp_trace.h - the trace of PnP requests: the minor-name table with its
 * quiet bits and contents printers, the identity words of device objects
 * (findPtr), and the printers of what the requests carry.
 */
#ifndef TOLMU_IRP_TRACE_H
#define TOLMU_IRP_TRACE_H

#include "tolmu_platform.h"

/* Quiet bits of a minor-name row. Each silences its part of the trace while
 * the verbosity is 9 or less (the failure mark: 8 or less). */
#define PNP_QUIET_ENTER 0x1    /* no ENTER line */
#define PNP_QUIET_EXIT 0x2     /* no DONE line */
#define PNP_QUIET_CONTENTS 0x4 /* no contents print */
#define PNP_QUIET_FAILED 0x8   /* no " (FAILED)" mark on the DONE line */
#define PNP_QUIET_ALL 0xF

/* Prints what a request returned; called only for a successful request. */
typedef VOID PNP_CONTENTS_PRINTER(PIRP Irp);

/* One row of the minor-name table. */
typedef struct _PNP_MINOR_NAME {
    ULONG Quiet;                 /* PNP_QUIET_* bits, set at load */
    ULONG Minor;                 /* low 8 bits compared with MinorFunction */
    const char *Name;            /* null in the terminator row */
    PNP_CONTENTS_PRINTER *Print; /* null in the terminator row */
} PNP_MINOR_NAME, *PPNP_MINOR_NAME;
typedef const PNP_MINOR_NAME *PCPNP_MINOR_NAME;

/* ORs bits into the quiet bits of the row of the minor code; a code without
 * a row changes nothing. */
VOID SetMinorQuiet(ULONG minor, ULONG bits);
/* The row of the request's minor code, or null (with a warning naming the
 * caller at verbosity 9 and above). */
PCPNP_MINOR_NAME LookupPnpMinor(PIRP Irp, const char *caller);

/* The three trace steps around every PnP request. */
VOID PrintIrpIn(PDEVICE_OBJECT DeviceObject, PIRP Irp, const char *prefix);
VOID PrintIrpOut(PDEVICE_OBJECT DeviceObject, PIRP Irp, const char *prefix);
VOID PrintIrpContents(PDEVICE_OBJECT DeviceObject, PIRP Irp, const char *prefix);

/* Looks up, registers or updates the identity word of a device object:
 * value 0 looks up, any other value registers. See irp_trace.cpp. */
ULONG findPtr(ULONG_PTR key, ULONG value);

/* What a device-relations request returned. */
VOID PrintDeviceRelations(PIRP Irp);

/* The contents printers of the minor-name table. */
PNP_CONTENTS_PRINTER PrintNothing;
PNP_CONTENTS_PRINTER PrintStartDevice;
PNP_CONTENTS_PRINTER PrintQueryResources;
PNP_CONTENTS_PRINTER PrintQueryResourceRequirements;
PNP_CONTENTS_PRINTER PrintQueryId;
PNP_CONTENTS_PRINTER PrintDeviceText;
PNP_CONTENTS_PRINTER PrintQueryInterface;
PNP_CONTENTS_PRINTER PrintPnpDeviceState;
PNP_CONTENTS_PRINTER PrintReadConfig;
PNP_CONTENTS_PRINTER PrintWriteConfig;
PNP_CONTENTS_PRINTER PrintBusInformation;

/* A wide string, one "     '...'" line of at most 127 characters. */
VOID PrintWideString(PCWSTR text);
/* A list of wide strings ended by an empty one, a line (or more) each. */
VOID PrintWideMultiString(PCWSTR text);

/* Name of an INTERFACE_TYPE value; "UNKNOWN" outside 0 to 15. */
const char *InterfaceTypeString(LONG type);

#endif /* TOLMU_IRP_TRACE_H */
