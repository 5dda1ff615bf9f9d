// A filter device of the driver on the stack of a simulated function, for the
// tests and fuzz targets that call the driver's routines on devices of their
// own rather than through the driver's AddDevice.
#ifndef TOLMU_TESTS_FILTER_DEVICE_H
#define TOLMU_TESTS_FILTER_DEVICE_H

#include <cstring>

#include "pci_bus_driver.h"
#include "pnp/device_extension.h"
#include "standin/iomgr.h"

namespace testsupport {

// Attached inside the stand-in's AddDevice call, the lower device's type and I/O
// flags taken over; the extension as AddDevice and LocateMe leave it: identity and
// location from the function, a bridge's bus numbers from its registers (unknown
// for other devices), no interrupt or register window yet. Null when nothing
// routes to the function or no device can be made.
inline PDEVICE_EXTENSION AttachFilterDevice(PDRIVER_OBJECT driver, sim::PciBusDriver &bus, sim::PciFunction *fn,
                                            ULONG bridgeType, ULONG flags)
{
    PDEVICE_OBJECT pdo = bus.PdoFor(fn), filter = nullptr;
    if (pdo == nullptr ||
        IoCreateDevice(driver, sizeof(DEVICE_EXTENSION), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &filter) != STATUS_SUCCESS)
        return nullptr;
    PDEVICE_EXTENSION e = GET_EXTENSION(filter);
    std::memset(e, 0, sizeof *e);
    standin::BeginAddDevice(pdo, standin::AddDeviceRole::Function);
    e->DeviceObject = filter, e->Pdo = pdo, e->LowerDevice = IoAttachDeviceToDeviceStack(filter, pdo);
    filter->DeviceType = e->LowerDevice->DeviceType;
    filter->Flags |= e->LowerDevice->Flags & (DO_POWER_PAGABLE | DO_BUFFERED_IO | DO_DIRECT_IO);
    filter->Flags &= ~DO_DEVICE_INITIALIZING;
    standin::EndAddDevice();
    e->VenId = fn->VendorId(), e->DevId = fn->DeviceId(), e->Bus = (ULONG)bus.Machine().BusNumberOf(fn);
    e->Device = (ULONG)fn->DeviceNumber(), e->Function = (ULONG)fn->FunctionNumber();
    const bool bridge = bridgeType != BRIDGE_TYPE_OTHER;
    e->PriBus = bridge ? fn->PrimaryBus() : UNKNOWN_NUMBER, e->SecBus = bridge ? fn->SecondaryBus() : UNKNOWN_NUMBER;
    e->SubBus = bridge ? fn->SubordinateBus() : UNKNOWN_NUMBER;
    e->BridgeType = bridgeType, e->Flags = flags, e->Irq = e->ExCa = UNKNOWN_NUMBER, e->Marker = EXTENSION_MARKER;
    return e;
}

// Off its stack and deleted, as a removal leaves it.
inline void RemoveFilterDevice(PDEVICE_OBJECT filter)
{
    if (GET_EXTENSION(filter)->LowerDevice != nullptr)
        IoDetachDevice(GET_EXTENSION(filter)->LowerDevice);
    IoDeleteDevice(filter);
}

} // namespace testsupport

#endif
