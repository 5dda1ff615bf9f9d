/*
 * function_drivers.cpp - a WDM function driver that owns no hardware: it
 * passes every request down, waits for the ones a real function driver
 * waits for, and takes itself off the stack at removal.
 */
#include "function_drivers.h"

#include <cstring>

#include "standin/iomgr.h"

namespace sim {

namespace {

constexpr ULONG kExtensionMarker = 0x46444F31; /* "FDO1" */

struct FdoExtension {
    ULONG marker;
    FunctionDriver *owner;
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower;
    PDEVICE_OBJECT pdo;
    NTSTATUS failStart; /* STATUS_SUCCESS: start as the lower drivers did */
};

FdoExtension *Ext(PDEVICE_OBJECT device)
{
    return static_cast<FdoExtension *>(device->DeviceExtension);
}

/* The request must come back to the dispatch routine, which completes it
 * after looking at the result. */
NTSTATUS NTAPI WaitCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    if (irp->PendingReturned)
        KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS PassDownAndWait(FdoExtension *ext, PIRP irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, WaitCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(ext->lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

} // namespace

FunctionDriver::FunctionDriver(const std::string &name, bool handlesFilter) : handlesFilter_(handlesFilter)
{
    driver_ = standin::CreateDriverObject(name);
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        driver_->MajorFunction[i] = DispatchOther;
    driver_->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver_->MajorFunction[IRP_MJ_POWER] = DispatchPower;
}

FunctionDriver::~FunctionDriver()
{
    /* Devices never removed (a test that stopped half-way) go with the
     * driver, each taken off its stack first. */
    while (driver_->DeviceObject != nullptr) {
        PDEVICE_OBJECT d = driver_->DeviceObject;
        if (standin::AttachedTo(d) != nullptr)
            IoDetachDevice(Ext(d)->lower);
        IoDeleteDevice(d);
    }
    standin::DestroyDriverObject(driver_);
}

PDEVICE_OBJECT FunctionDriver::AddDevice(PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT device = nullptr;
    if (IoCreateDevice(driver_, sizeof(FdoExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &device) !=
        STATUS_SUCCESS)
        return nullptr;
    FdoExtension *ext = Ext(device);
    memset(ext, 0, sizeof *ext);
    ext->marker = kExtensionMarker;
    ext->owner = this;
    ext->self = device;
    ext->pdo = pdo;
    ext->failStart = STATUS_SUCCESS;
    ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (ext->lower == nullptr) {
        IoDeleteDevice(device);
        return nullptr;
    }
    device->Flags |= ext->lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

PDEVICE_OBJECT FunctionDriver::DeviceFor(PDEVICE_OBJECT pdo) const
{
    for (PDEVICE_OBJECT d = driver_->DeviceObject; d != nullptr; d = d->NextDevice)
        if (Ext(d)->pdo == pdo)
            return d;
    return nullptr;
}

PDEVICE_OBJECT FunctionDriver::LowerOf(PDEVICE_OBJECT device) const
{
    return device == nullptr ? nullptr : Ext(device)->lower;
}

size_t FunctionDriver::LiveDevices() const
{
    size_t n = 0;
    for (PDEVICE_OBJECT d = driver_->DeviceObject; d != nullptr; d = d->NextDevice)
        n++;
    return n;
}

void FunctionDriver::FailStart(PDEVICE_OBJECT pdo, NTSTATUS status)
{
    PDEVICE_OBJECT d = DeviceFor(pdo);
    if (d != nullptr)
        Ext(d)->failStart = status;
}

NTSTATUS NTAPI FunctionDriver::DispatchPnp(PDEVICE_OBJECT device, PIRP irp)
{
    FdoExtension *ext = Ext(device);
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    ext->owner->received_.push_back(minor);

    switch (minor) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_CAPABILITIES: {
        NTSTATUS status = PassDownAndWait(ext, irp);
        if (minor == IRP_MN_START_DEVICE && NT_SUCCESS(status) && ext->failStart != STATUS_SUCCESS)
            status = ext->failStart;
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    case IRP_MN_REMOVE_DEVICE: {
        PDEVICE_OBJECT lower = ext->lower;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(lower, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        return status;
    }
    case IRP_MN_FILTER_RESOURCE_REQUIREMENTS:
        if (ext->owner->handlesFilter_) {
            NTSTATUS status = PassDownAndWait(ext, irp);
            if (status == STATUS_NOT_SUPPORTED || NT_SUCCESS(status))
                status = STATUS_SUCCESS;
            irp->IoStatus.Status = status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        }
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(ext->lower, irp);
    default:
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(ext->lower, irp);
    }
}

NTSTATUS NTAPI FunctionDriver::DispatchPower(PDEVICE_OBJECT device, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Ext(device)->lower, irp);
}

NTSTATUS NTAPI FunctionDriver::DispatchOther(PDEVICE_OBJECT device, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(Ext(device)->lower, irp);
}

} // namespace sim
