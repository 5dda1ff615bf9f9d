/*
 * start.cpp - IRP_MN_START_DEVICE: the lower driver starts the device first,
 * then the driver takes the start resources and adjusts the hardware in a
 * fixed order. Every filter device comes through here (the root controller,
 * bridges and ordinary functions); each step decides for itself whether it
 * applies.
 */
#include "pnp/pnp.h"
#include "diag/irp_trace.h"
#include "core/config.h"
#include "core/debug.h"
#include "core/driver.h"
#include "pci/pci_dump.h"
#include "quirks/quirks.h"

#define VENDOR_TOSHIBA 0x1179

/* The I/O range a checked build's PCI driver must see for a PCI-to-PCI
 * bridge before it agrees to start it. */
#define CHECKED_BUILD_IO_LENGTH 0x1000

NTSTATUS startDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = GET_EXTENSION(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PCM_RESOURCE_LIST raw = stack->Parameters.StartDevice.AllocatedResources;
    PCM_RESOURCE_LIST translated = stack->Parameters.StartDevice.AllocatedResourcesTranslated;
    NTSTATUS status;

    PrintIrpContents(DeviceObject, Irp, "");

    if (IsCheckedBuild() && (ext->Flags & P2P_BRIDGE)) {
        hackIoLength(raw, CHECKED_BUILD_IO_LENGTH);
        hackIoLength(translated, CHECKED_BUILD_IO_LENGTH);
    }

    DumpPciSpace("PrestartDevice", ext->Pdo, 64);

    status = PnpPassDownIrpAndWait(DeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        ExtractResources(ext, translated);
        if (!LocationKnown(ext))
            DebugPrint("WARNING startDevice: location unknown, no patching\n");
        setPowerLostSettings(ext, CONFIG_THROUGH_STACK);

        ext->StartSettingCount = 0;
        if (ext->Flags & CB_BRIDGE) {
            setCbBridgeControl(ext, DeviceObject);
            setO2MicroBits(ext);
            hackCbBridge(ext);
            if (ext->VenId == VENDOR_TOSHIBA) {
                noteToshibaSettings(ext);
                setToPICBites(ext);
            }
        }

        vgaEnable(DeviceObject);

        if (GetVerbose() >= 5)
            PrintExtractedResources(ext);
        DumpPciSpace("startDevice", ext->Pdo, 64);
    }

    /* Some chassis need time after a start, whether or not it worked. */
    if (GetTicks() != 0) {
        DebugPrint("Stalling execution for 0x%x ticks\n", GetTicks());
        KeStallExecutionProcessor(GetTicks());
    }
    return status;
}
