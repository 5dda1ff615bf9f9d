/*
 * bus_conventions.h - what the driver relies on from the PCI bus driver
 * below its filter devices, in one place.
 *
 * 1. Configuration requests: IRP_MJ_PNP with IRP_MN_READ_CONFIG or
 *    IRP_MN_WRITE_CONFIG, WhichSpace PCI_WHICHSPACE_CONFIG, a buffer, a byte
 *    offset and a length, sent to the top of a device's stack, move that many
 *    bytes of the device's configuration space and complete with
 *    STATUS_SUCCESS. Any other final status is a failure.
 * 2. Bus relations of a bridge list the physical device objects of the
 *    functions behind it; each answers configuration requests and the bus
 *    number and address properties (address = device << 16 | function).
 * 3. In a bridge's requirements list the descriptors of each window (the
 *    preferred one and its alternatives) are followed by a device-private
 *    descriptor whose three data words name the window (the keys below).
 * 4. In an ordinary function's requirements list every port or memory
 *    descriptor is followed by a device-private descriptor whose second data
 *    word is the index (0 to 5) of the base address register it describes.
 */
#ifndef TOLMU_BUS_CONVENTIONS_H
#define TOLMU_BUS_CONVENTIONS_H

#include "tolmu_platform.h"

/* 1. Configuration requests */
#define BUS_CONFIG_SPACE PCI_WHICHSPACE_CONFIG
#define BUS_MN_READ_CONFIG IRP_MN_READ_CONFIG   /* 0x0F */
#define BUS_MN_WRITE_CONFIG IRP_MN_WRITE_CONFIG /* 0x10 */
#define BUS_CONFIG_PRESET_STATUS STATUS_NOT_SUPPORTED

/* 2. Device properties */
#define BUS_PROPERTY_BUS_NUMBER DevicePropertyBusNumber /* 14 */
#define BUS_PROPERTY_ADDRESS DevicePropertyAddress      /* 16: device << 16 | function */
#define BUS_ADDRESS_DEVICE(a) ((a) >> 16)
#define BUS_ADDRESS_FUNCTION(a) ((a) & 0xFFFF)

/* 3. Window keys of a bridge's requirements list: the three data words of the
 * device-private descriptor behind each window's descriptors. */
#define BUS_WINDOW_KEY0 1
#define BUS_WINDOW_KEY2 0
/* PCI-to-PCI bridge: second word 2 = I/O, 3 = memory, 4 = prefetchable. */
#define BUS_P2P_KEY_IO 2
#define BUS_P2P_KEY_MEMORY 3
#define BUS_P2P_KEY_PREFETCH 4
/* CardBus bridge: second word 1 = memory, 2 = prefetchable, 3 = I/O. */
#define BUS_CB_KEY_MEMORY 1
#define BUS_CB_KEY_PREFETCH 2
#define BUS_CB_KEY_IO 3

/* 4. A function's requirements list: the BAR index travels in the second data
 * word of the device-private descriptor behind each port or memory descriptor. */
#define BUS_BAR_INDEX_WORD 1
#define BUS_BAR_COUNT 6
#define BUS_BAR_OFFSET(index) (0x10 + 4 * (index))

#endif /* TOLMU_BUS_CONVENTIONS_H */
