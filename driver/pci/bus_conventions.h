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
 *    descriptor whose three data words name the window
 *    (bus_window_keys.h).
 * 4. In an ordinary function's requirements list every port or memory
 *    descriptor is followed by a device-private descriptor whose second data
 *    word is the index (0 to 5) of the base address register it describes
 *    (bus_window_keys.h).
 */
#ifndef TOLMU_BUS_CONVENTIONS_H
#define TOLMU_BUS_CONVENTIONS_H

#include "tolmu_platform.h"
#include "pci/bus_window_keys.h"

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

/* 3. and 4. The keys of a requirements list: bus_window_keys.h. */

#endif /* TOLMU_BUS_CONVENTIONS_H */
