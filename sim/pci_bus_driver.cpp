/*
 * pci_bus_driver.cpp - the simulated PCI bus driver: PDOs, configuration
 * requests and device properties.
 */
#include "pci_bus_driver.h"

#include <cstring>
#include <stdexcept>

#include "standin/iomgr.h"

namespace sim {

namespace {

/* A PDO's extension holds only the way back to its record. */
struct PdoExtension {
    PciBusDriver *owner;
};

PciBusDriver *OwnerOf(PDEVICE_OBJECT device)
{
    return static_cast<PdoExtension *>(device->DeviceExtension)->owner;
}

void Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

} // namespace

PciBusDriver::PciBusDriver(PciMachine &machine) : machine_(machine)
{
    driver_ = standin::CreateDriverObject("\\Driver\\PCI");
    driver_->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver_->MajorFunction[IRP_MJ_POWER] = DispatchPower;
}

PciBusDriver::~PciBusDriver()
{
    DeleteAllPdos();
    standin::DestroyDriverObject(driver_);
}

void PciBusDriver::DeleteAllPdos()
{
    for (PDEVICE_OBJECT pdo : pdos_)
        if (!standin::DeviceIsDeleted(pdo))
            IoDeleteDevice(pdo);
    pdos_.clear();
    records_.clear();
}

PDEVICE_OBJECT PciBusDriver::PdoFor(uint8_t bus, uint8_t device, uint8_t function)
{
    PciFunction *fn = machine_.Find(bus, device, function);
    if (fn == nullptr)
        return nullptr;
    for (auto &entry : records_)
        if (entry.second.function == fn)
            return entry.first;

    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status =
        IoCreateDevice(driver_, sizeof(PdoExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo);
    if (status != STATUS_SUCCESS)
        throw std::runtime_error("simulated PCI bus driver: IoCreateDevice failed");
    static_cast<PdoExtension *>(pdo->DeviceExtension)->owner = this;
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;

    PdoRecord record;
    record.function = fn;
    record.bus = bus;
    record.device = device;
    record.fn = function;
    records_[pdo] = record;
    pdos_.push_back(pdo);

    standin::SetDevicePropertyProvider(pdo, standin::DwordPropertyProvider([this, pdo](DEVICE_REGISTRY_PROPERTY p,
                                                                                       ULONG *value) {
        PdoRecord *r = Record(pdo);
        if (r == nullptr || r->failProperties)
            return false;
        if (p == DevicePropertyBusNumber) {
            *value = r->bus;
            return true;
        }
        if (p == DevicePropertyAddress) {
            *value = (ULONG(r->device) << 16) | r->fn;
            return true;
        }
        return false;
    }));
    return pdo;
}

PDEVICE_OBJECT PciBusDriver::PdoFor(PciFunction *function)
{
    int bus = machine_.BusNumberOf(function);
    if (bus < 0)
        return nullptr;
    return PdoFor(uint8_t(bus), uint8_t(function->DeviceNumber()), uint8_t(function->FunctionNumber()));
}

PdoRecord *PciBusDriver::Record(PDEVICE_OBJECT pdo) const
{
    auto it = records_.find(pdo);
    return it == records_.end() ? nullptr : const_cast<PdoRecord *>(&it->second);
}

void PciBusDriver::SetConfigMode(PDEVICE_OBJECT pdo, ConfigMode mode, NTSTATUS failStatus)
{
    PdoRecord *r = Record(pdo);
    if (r == nullptr)
        throw std::invalid_argument("SetConfigMode: not a PDO of this bus driver");
    r->mode = mode;
    r->failStatus = failStatus;
}

void PciBusDriver::SetPropertiesFail(PDEVICE_OBJECT pdo, bool fail)
{
    PdoRecord *r = Record(pdo);
    if (r == nullptr)
        throw std::invalid_argument("SetPropertiesFail: not a PDO of this bus driver");
    r->failProperties = fail;
}

NTSTATUS PciBusDriver::HandleConfig(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PdoRecord *r = Record(device);
    bool write = stack->MinorFunction == IRP_MN_WRITE_CONFIG;
    ULONG offset = stack->Parameters.ReadWriteConfig.Offset;
    ULONG length = stack->Parameters.ReadWriteConfig.Length;
    auto *buffer = static_cast<uint8_t *>(stack->Parameters.ReadWriteConfig.Buffer);

    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR done = 0;
    if (r->mode == ConfigMode::Fail || r->mode == ConfigMode::PendingFail) {
        status = r->failStatus;
    } else if (stack->Parameters.ReadWriteConfig.WhichSpace != PCI_WHICHSPACE_CONFIG || buffer == nullptr ||
               offset > 256 || length > 256 - offset) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        /* Byte by byte, each a configuration cycle at the PDO's bus number. */
        for (ULONG i = 0; i < length; i++) {
            uint8_t off = uint8_t(offset + i);
            if (write)
                machine_.ConfigWrite(r->bus, r->device, r->fn, off, 1, buffer[i]);
            else
                buffer[i] = uint8_t(machine_.ConfigRead(r->bus, r->device, r->fn, off, 1));
        }
        done = length;
        if (write)
            r->configWrites++;
        else
            r->configReads++;
    }

    if (r->mode == ConfigMode::Pending || r->mode == ConfigMode::PendingFail) {
        IoMarkIrpPending(irp);
        standin::QueueDeferred([irp, status, done]() { Complete(irp, status, done); },
                               write ? "bus driver: write config" : "bus driver: read config");
        return STATUS_PENDING;
    }
    Complete(irp, status, done);
    return status;
}

NTSTATUS NTAPI PciBusDriver::DispatchPnp(PDEVICE_OBJECT device, PIRP irp)
{
    PciBusDriver *self = OwnerOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);

    switch (stack->MinorFunction) {
    case IRP_MN_READ_CONFIG:
    case IRP_MN_WRITE_CONFIG:
        return self->HandleConfig(device, irp);
    default: {
        /* Requests a bus driver does not handle keep their status. */
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    }
}

NTSTATUS NTAPI PciBusDriver::DispatchPower(PDEVICE_OBJECT device, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

} // namespace sim
