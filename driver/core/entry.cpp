/*
 * entry.cpp - loading and unloading the driver, the default dispatch
 * routine, and the operating-system banner.
 *
 * Nothing at load touches hardware: the driver reads its configuration,
 * starts the trace buffer, prints its banners and sets up its entry points.
 * Everything else happens on behalf of the PnP requests that follow.
 */
#include "core/driver.h"
#include "core/config.h"
#include "core/debug.h"
#include "diag/irp_trace.h"
#include "pnp/pnp.h"

/* Operating-system version, asked for once. */
static ULONG OsMajor MODULE_STATE = 0;
static ULONG OsMinor MODULE_STATE = 0;
static ULONG OsBuild MODULE_STATE = 0;
static BOOLEAN OsChecked MODULE_STATE = 0;
static WCHAR OsServicePackText[256] MODULE_STATE = {0};
static UNICODE_STRING OsServicePack MODULE_STATE = {0, 0, 0};

/* Characters of the service-pack text kept, at most: the 256-byte maximum
 * length the string is prepared with. The rest of the 512-byte buffer stays
 * zero, so the kept text is always terminated. */
#define OS_SERVICE_PACK_CHARS (256 / sizeof(WCHAR))

VOID PrintOsVersion(void)
{
    ULONG chars;
    ULONG i;

    if (OsMajor == 0) {
        RtlZeroMemory(OsServicePackText, sizeof(OsServicePackText));
        OsServicePack.Buffer = OsServicePackText;
        OsServicePack.Length = 0;
        OsServicePack.MaximumLength = 256;
        OsChecked = PsGetVersion(&OsMajor, &OsMinor, &OsBuild, &OsServicePack);

        /* PsGetVersion points the counted string at the system's own copy
         * of the text rather than filling the buffer given: copy the text
         * from wherever the string points, bounded by its Length (the
         * system's copy need not be terminated), into the zero-filled
         * buffer, and keep the string over that buffer. */
        chars = OsServicePack.Length / sizeof(WCHAR);
        if (OsServicePack.Buffer == 0)
            chars = 0;
        if (chars > OS_SERVICE_PACK_CHARS)
            chars = OS_SERVICE_PACK_CHARS;
        if (OsServicePack.Buffer != OsServicePackText) {
            for (i = 0; i < chars; i++)
                OsServicePackText[i] = OsServicePack.Buffer[i];
        }
        for (i = chars; i < sizeof(OsServicePackText) / sizeof(WCHAR); i++)
            OsServicePackText[i] = 0;
        OsServicePack.Buffer = OsServicePackText;
        OsServicePack.Length = (USHORT)(chars * sizeof(WCHAR));
        OsServicePack.MaximumLength = 256;
    }

    /* The text is printed from the driver's own buffer, which always holds a
     * terminator after it. */
    if (OsServicePack.Length != 0)
        DebugPrint("OS Version %d.%d Build %d (%s) SP: %ws\n", OsMajor, OsMinor, OsBuild,
                   OsChecked ? "checked" : "free", OsServicePackText);
    else
        DebugPrint("OS Version %d.%d Build %d (%s)\n", OsMajor, OsMinor, OsBuild, OsChecked ? "checked" : "free");
}

BOOLEAN IsCheckedBuild(void)
{
    return OsChecked;
}

NTSTATUS NTAPI PassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = GET_EXTENSION(DeviceObject);

    IoCopyCurrentIrpStackLocationToNext(Irp);
    return IoCallDriver(ext->LowerDevice, Irp);
}

VOID NTAPI Unload(PDRIVER_OBJECT DriverObject)
{
    DebugPrint("Unload called\n");
    RegisterConfiguration(WSTR("trace"), 0);
    TraceStop();
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    ULONG major;
    LONG verbose;

    ReadConfiguration();

    RegisterConfiguration(WSTR("trace"), PTR32(TraceStart(GetTraceSize())));
    RegisterConfiguration(WSTR("iam"), GetIam());

    DebugPrint("Tolmu V%s Build: %s %s\n", TOLMU_VERSION, __DATE__, __TIME__);
    PrintOsVersion();
    PrintConfiguration();

    for (major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++)
        DriverObject->MajorFunction[major] = PassThrough;
    DriverObject->MajorFunction[IRP_MJ_PNP] = PnpDispatch;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = Unload;
    DriverObject->MajorFunction[IRP_MJ_POWER] = PowerDispatch;

    /* Chatty minor codes stay out of the trace unless the verbosity asks for
     * them. */
    verbose = GetVerbose();
    if (verbose < 11)
        SetMinorQuiet(IRP_MN_READ_CONFIG, PNP_QUIET_ALL);
    if (verbose < 10) {
        SetMinorQuiet(IRP_MN_WRITE_CONFIG, PNP_QUIET_ALL);
        SetMinorQuiet(IRP_MN_QUERY_ID, PNP_QUIET_ALL);
        SetMinorQuiet(IRP_MN_QUERY_DEVICE_TEXT, PNP_QUIET_ALL);
        SetMinorQuiet(IRP_MN_DEVICE_USAGE_NOTIFICATION, PNP_QUIET_ALL);
    }
    if (verbose == 0) {
        SetMinorQuiet(IRP_MN_QUERY_INTERFACE, PNP_QUIET_ALL);
        SetMinorQuiet(IRP_MN_QUERY_RESOURCES, PNP_QUIET_ALL);
        SetMinorQuiet(IRP_MN_QUERY_RESOURCE_REQUIREMENTS, PNP_QUIET_ALL);
        SetMinorQuiet(IRP_MN_QUERY_LEGACY_BUS_INFORMATION, PNP_QUIET_ALL);
        SetMinorQuiet(IRP_MN_QUERY_BUS_INFORMATION, PNP_QUIET_ALL);
    }
    return STATUS_SUCCESS;
}
