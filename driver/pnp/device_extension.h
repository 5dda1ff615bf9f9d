/*
 * device_extension.h - the record every filter device object carries, and
 * its role flags.
 */
#ifndef TOLMU_DEVICE_EXTENSION_H
#define TOLMU_DEVICE_EXTENSION_H

#include "tolmu_platform.h"

/* Role bits of Flags. */
#define ENUMERATE 0x80000000  /* probe the hierarchy behind this bridge when its requirements are filtered */
#define P2P_BRIDGE 0x40000000 /* a PCI-to-PCI bridge */
#define CB_BRIDGE 0x20000000  /* a CardBus bridge (the controller taken by AddDevice counts as one) */
#define ROOT 0x10000000       /* the adapter's own controller, given to AddDevice */
#define NOIO 0x08000000       /* strip the I/O window from this bridge's requirements */
#define VGA 0x04000000        /* a VGA-compatible display controller */
#define REPROBE 0x02000000    /* hardware behind this bridge was pulled out: number what comes back anew */
#define BRIDGE_FLAGS (P2P_BRIDGE | CB_BRIDGE)

/* BridgeType */
#define BRIDGE_TYPE_OTHER 0
#define BRIDGE_TYPE_P2P 1
#define BRIDGE_TYPE_CARDBUS 2

/* The most registers the start sequence sets through the bus driver on one
 * device beyond its timers (TI1420: four, plus the bridge control; ToPIC:
 * two). */
#define START_SETTINGS_MAX 8

/* One register the start sequence wrote: written again with the same value
 * when the device comes back to D0, since a power cycle loses it. */
typedef struct _START_SETTING {
    UCHAR Offset;
    UCHAR Width; /* 1 or 2 */
    USHORT Value;
} START_SETTING;

/* Present in every extension once the filter device is attached: the
 * searches trust only records that carry it. */
#define EXTENSION_MARKER 0xDEADDEB1

/* All-ones in a number field means unknown. */
#define UNKNOWN_NUMBER 0xFFFFFFFF

typedef struct _DEVICE_EXTENSION {
    PDEVICE_OBJECT DeviceObject; /* the filter device object owning this record */
    PDEVICE_OBJECT Pdo;          /* the physical device object at the bottom of the stack */
    PDEVICE_OBJECT LowerDevice;  /* where every request is passed; null after removal */
    ULONG BridgeType;
    USHORT VenId;
    USHORT DevId;
    ULONG Bus;
    ULONG Device;
    ULONG Function;
    ULONG PriBus;
    ULONG SecBus;
    ULONG SubBus;
    ULONG Flags;
    ULONG Irq;
    ULONG ExCa; /* physical base of a CardBus controller's 4 KB register window */
    ULONG IoBase;
    ULONG IoLength;
    ULONG PreBase;
    ULONG PreLength;
    ULONG MemBase;
    ULONG MemLength;
    DEVICE_CAPABILITIES Capabilities;
    PIO_RESOURCE_REQUIREMENTS_LIST DupRequirements;
    ULONG Marker;
    /* End (exclusive) of the I/O, prefetchable and memory windows as the
     * start resources gave them, 0 when none. IoBase, PreBase and MemBase
     * move forward as legacy devices are placed in the windows; these ends
     * do not, so a placement can be checked against the window. */
    ULONG IoEnd;
    ULONG PreEnd;
    ULONG MemEnd;
    /* Registers the last start sequence set through the bus driver, in the
     * order written. */
    ULONG StartSettingCount;
    START_SETTING StartSettings[START_SETTINGS_MAX];
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

#define GET_EXTENSION(deviceObject) ((PDEVICE_EXTENSION)(deviceObject)->DeviceExtension)

#endif /* TOLMU_DEVICE_EXTENSION_H */
