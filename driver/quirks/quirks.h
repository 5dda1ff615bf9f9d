/*
 * quirks.h - controller and device adjustments: CardBus controller
 * registers, the PCI register patch table, legacy device mapping and VGA
 * forwarding.
 */
#ifndef TOLMU_QUIRKS_H
#define TOLMU_QUIRKS_H

#include "pnp/device_extension.h"

/* How a setting reaches the device's configuration space: through the bus
 * driver (a request to the device's own stack, waited for: passive level,
 * the start sequence) or through the configuration ports (any IRQL up to
 * dispatch level, the power-up completion; only where LocationKnown). */
typedef enum _CONFIG_PATH { CONFIG_THROUGH_STACK, CONFIG_THROUGH_PORTS } CONFIG_PATH;

/* CardBus controller settings */
VOID setPowerLostSettings(PDEVICE_EXTENSION Extension, CONFIG_PATH Path);
VOID setLatencyTimers(PDEVICE_EXTENSION Extension, CONFIG_PATH Path);
VOID setCbBridgeControl(PDEVICE_EXTENSION Extension, PDEVICE_OBJECT FilterDevice);
VOID setO2MicroBits(PDEVICE_EXTENSION Extension);
VOID hackCbBridge(PDEVICE_EXTENSION Extension);
VOID noteToshibaSettings(PDEVICE_EXTENSION Extension);
VOID setToPICBites(PDEVICE_EXTENSION Extension);
VOID restoreStartSettings(PDEVICE_EXTENSION Extension);
VOID hackIoLength(PCM_RESOURCE_LIST List, ULONG NewLength);

/* PCI register patch table */
typedef struct _PCI_PATCH {
    USHORT VendorId;
    USHORT DeviceId;
    USHORT Width; /* 8, 16 or 32 */
    USHORT Offset;
    ULONG ClearMask;
    ULONG SetBits;
    LONG Function; /* -1: the function being patched */
} PCI_PATCH;

extern const PCI_PATCH PciPatchTable[];
VOID PciPatching(UCHAR Bus, UCHAR Device, UCHAR Function);

/* Legacy device mapping and VGA */
ULONG roundUp(ULONG Value, ULONG Alignment);
VOID mapLegacyDevice(PDEVICE_EXTENSION Extension, PIO_RESOURCE_REQUIREMENTS_LIST List);
VOID vgaEnable(PDEVICE_OBJECT FilterDevice);
VOID patchMatrox(PDEVICE_EXTENSION Extension);

#endif /* TOLMU_QUIRKS_H */
