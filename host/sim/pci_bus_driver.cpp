/*
 * pci_bus_driver.cpp - the simulated PCI bus driver's answers: PDOs,
 * configuration requests, device properties, and the PnP and power requests
 * a PCI bus driver answers for its PDOs. What it programs into the hardware
 * (start, stop, power state) and its view of the hardware are in
 * pci_bus_hardware.cpp.
 */
#include "pci_bus_driver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "standin/iomgr.h"

namespace sim {

using namespace busreg;

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

/* GUID_BUS_TYPE_PCI */
const GUID kBusTypePci = {0xc8ebdfb0, 0xb510, 0x11d0, {0x80, 0xe5, 0x00, 0xa0, 0xc9, 0x25, 0x42, 0xe3}};

const char *const kFormatLocation = "PCI bus %u, device %u, function %u";

PWCHAR PoolWide(const std::vector<std::string> &strings, bool multi)
{
    size_t chars = 0;
    for (const auto &s : strings)
        chars += s.size() + 1;
    if (multi)
        chars += 1;
    auto *out = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), kSimPoolTag));
    if (out == nullptr)
        return nullptr;
    size_t k = 0;
    for (const auto &s : strings) {
        for (char c : s)
            out[k++] = (WCHAR)(unsigned char)c;
        out[k++] = 0;
    }
    if (multi)
        out[k++] = 0;
    return out;
}

} // namespace

/* ==================================================================== setup */

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
    for (auto &entry : records_)
        UnmapSocketWindow(entry.second);
    for (PDEVICE_OBJECT pdo : pdos_) {
        standin::SetDevicePropertyProvider(pdo, nullptr);
        if (!standin::DeviceIsDeleted(pdo))
            IoDeleteDevice(pdo);
    }
    pdos_.clear();
    records_.clear();
}

PDEVICE_OBJECT PciBusDriver::PdoFor(uint8_t bus, uint8_t device, uint8_t function)
{
    PciFunction *fn = machine_.Find(bus, device, function);
    if (fn == nullptr)
        return nullptr;
    if (PDEVICE_OBJECT existing = ExistingPdo(fn))
        return existing;

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
    record.parentBridge = fn->Segment() != nullptr ? fn->Segment()->Bridge() : nullptr;
    record.present = IsPresent(fn);
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
        if (p == DevicePropertyUINumber) {
            *value = r->device;
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

PDEVICE_OBJECT PciBusDriver::ExistingPdo(const PciFunction *function) const
{
    for (auto &entry : records_)
        if (entry.second.function == function)
            return entry.first;
    return nullptr;
}

PdoRecord *PciBusDriver::Record(PDEVICE_OBJECT pdo) const
{
    auto it = records_.find(pdo);
    return it == records_.end() ? nullptr : const_cast<PdoRecord *>(&it->second);
}

static PdoRecord &RecordOrThrow(const PciBusDriver &bus, PDEVICE_OBJECT pdo, const char *who)
{
    PdoRecord *r = bus.Record(pdo);
    if (r == nullptr)
        throw std::invalid_argument(std::string(who) + ": not a PDO of this bus driver");
    return *r;
}

void PciBusDriver::SetConfigMode(PDEVICE_OBJECT pdo, ConfigMode mode, NTSTATUS failStatus)
{
    PdoRecord &r = RecordOrThrow(*this, pdo, "SetConfigMode");
    r.mode = mode;
    r.failStatus = failStatus;
}

void PciBusDriver::SetPropertiesFail(PDEVICE_OBJECT pdo, bool fail)
{
    RecordOrThrow(*this, pdo, "SetPropertiesFail").failProperties = fail;
}

void PciBusDriver::FailMinor(PDEVICE_OBJECT pdo, UCHAR minor, NTSTATUS status)
{
    RecordOrThrow(*this, pdo, "FailMinor").failMinor[minor] = status;
}

void PciBusDriver::PendMinor(PDEVICE_OBJECT pdo, UCHAR minor, bool pend)
{
    PdoRecord &r = RecordOrThrow(*this, pdo, "PendMinor");
    if (pend)
        r.pendMinor.insert(minor);
    else
        r.pendMinor.erase(minor);
}

void PciBusDriver::ClearInjection(PDEVICE_OBJECT pdo)
{
    PdoRecord &r = RecordOrThrow(*this, pdo, "ClearInjection");
    r.failMinor.clear();
    r.pendMinor.clear();
    r.mode = ConfigMode::Synchronous;
    r.failProperties = false;
}

void PciBusDriver::FailNthConfigRequest(uint64_t k, NTSTATUS status)
{
    configFailCountdown_ = k;
    configFailStatus_ = status;
}

void PciBusDriver::FailAllConfigRequests(bool fail, NTSTATUS status)
{
    configFailAll_ = fail;
    configFailStatus_ = status;
}

void PciBusDriver::PendAllConfigRequests(bool pend)
{
    configPendAll_ = pend;
}

void PciBusDriver::PendAllRequests(bool pend)
{
    pendAll_ = pend;
}

void PciBusDriver::SetPresent(PciFunction *function, bool present)
{
    function->SetPresent(present);
    if (present)
        gone_.erase(function);
    else
        gone_.insert(function);
    for (auto &entry : records_)
        if (entry.second.function == function)
            entry.second.present = present;
}

bool PciBusDriver::BehindCardBus(const PdoRecord &r) const
{
    return r.parentBridge != nullptr && IsCardBus(r.parentBridge);
}

/* ==================================================== configuration access */

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
    configRequests_++;
    bool injected = configFailAll_;
    if (configFailCountdown_ != 0 && --configFailCountdown_ == 0)
        injected = true;
    if (r->mode == ConfigMode::Fail || r->mode == ConfigMode::PendingFail) {
        status = r->failStatus;
    } else if (injected) {
        status = configFailStatus_;
        injectedConfig_.push_back(FailedConfigRequest{write, offset, length});
    } else if (!r->present) {
        status = STATUS_DEVICE_REMOVED;
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

    if (r->mode == ConfigMode::Pending || r->mode == ConfigMode::PendingFail || configPendAll_) {
        IoMarkIrpPending(irp);
        pended_++;
        standin::QueueDeferred([irp, status, done]() { Complete(irp, status, done); },
                               write ? "bus driver: write config" : "bus driver: read config");
        return STATUS_PENDING;
    }
    Complete(irp, status, done);
    return status;
}

/* ================================================================ queries */

NTSTATUS PciBusDriver::QueryRelations(PdoRecord &r, PIRP irp, ULONG_PTR *information)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    DEVICE_RELATION_TYPE type = stack->Parameters.QueryDeviceRelations.Type;
    PDEVICE_OBJECT self = stack->DeviceObject;

    if (type == TargetDeviceRelation) {
        auto *rel = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kSimPoolTag));
        if (rel == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
        rel->Count = 1;
        rel->Objects[0] = self;
        ObReferenceObject(self);
        *information = (ULONG_PTR)rel;
        return STATUS_SUCCESS;
    }
    if (type != BusRelations || !r.function->IsBridge())
        return irp->IoStatus.Status;

    /* What an unconfigured bridge on the secondary bus can be given, then
     * what answers there now. */
    NumberChildBridges(r.function);
    std::vector<PDEVICE_OBJECT> children;
    if (r.present) {
        for (PciFunction *child : ChildrenNow(r.function)) {
            PDEVICE_OBJECT pdo = ExistingPdo(child);
            if (pdo == nullptr)
                pdo = PdoFor(r.function->SecondaryBus(), uint8_t(child->DeviceNumber()),
                             uint8_t(child->FunctionNumber()));
            PdoRecord *cr = Record(pdo);
            if (pdo != nullptr && cr != nullptr && cr->present)
                children.push_back(pdo);
        }
    }
    size_t size = offsetof(DEVICE_RELATIONS, Objects) + std::max<size_t>(1, children.size()) * sizeof(PDEVICE_OBJECT);
    auto *rel = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, kSimPoolTag));
    if (rel == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    rel->Count = ULONG(children.size());
    for (size_t i = 0; i < children.size(); i++) {
        rel->Objects[i] = children[i];
        ObReferenceObject(children[i]);
    }
    /* Relations a driver above put in first are replaced by the bus's own. */
    if (irp->IoStatus.Information != 0 && NT_SUCCESS(irp->IoStatus.Status)) {
        auto *old = reinterpret_cast<PDEVICE_RELATIONS>(irp->IoStatus.Information);
        for (ULONG i = 0; i < old->Count; i++)
            ObDereferenceObject(old->Objects[i]);
        ExFreePool(old);
    }
    *information = (ULONG_PTR)rel;
    return STATUS_SUCCESS;
}

NTSTATUS PciBusDriver::QueryCapabilities(PdoRecord &r, PIRP irp)
{
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    if (caps == nullptr || caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES))
        return STATUS_INVALID_PARAMETER;
    caps->DeviceD1 = 0;
    caps->DeviceD2 = 0;
    caps->LockSupported = 0;
    caps->EjectSupported = 0;
    caps->Removable = BehindCardBus(r) ? 1 : 0;
    caps->DockDevice = 0;
    caps->UniqueID = 0;
    caps->SilentInstall = 0;
    caps->RawDeviceOK = 0;
    caps->SurpriseRemovalOK = BehindCardBus(r) ? 1 : 0;
    caps->WakeFromD0 = caps->WakeFromD1 = caps->WakeFromD2 = caps->WakeFromD3 = 0;
    caps->HardwareDisabled = 0;
    caps->Address = (ULONG(r.device) << 16) | r.fn;
    caps->UINumber = r.device;
    caps->DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    caps->DeviceState[PowerSystemSleeping1] = PowerDeviceD3;
    caps->DeviceState[PowerSystemSleeping2] = PowerDeviceD3;
    caps->DeviceState[PowerSystemSleeping3] = PowerDeviceD3;
    caps->DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    caps->DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    caps->SystemWake = PowerSystemUnspecified;
    caps->DeviceWake = PowerDeviceUnspecified;
    caps->D1Latency = 0;
    caps->D2Latency = 0;
    caps->D3Latency = 0;
    return STATUS_SUCCESS;
}

static std::string Hex4(unsigned v)
{
    char buf[8];
    snprintf(buf, sizeof buf, "%04X", v & 0xFFFF);
    return buf;
}

static std::string Hex2(unsigned v)
{
    char buf[8];
    snprintf(buf, sizeof buf, "%02X", v & 0xFF);
    return buf;
}

NTSTATUS PciBusDriver::QueryId(PdoRecord &r, PIRP irp, ULONG_PTR *information)
{
    PciFunction *f = r.function;
    std::string ven = "VEN_" + Hex4(f->VendorId()), dev = "DEV_" + Hex4(f->DeviceId());
    uint16_t subVendor = 0, subSystem = 0;
    if (f->HeaderLayout() == kHeaderDevice) {
        subVendor = f->Peek16(CFG16_SUBSYSTEM_VENDOR_ID);
        subSystem = f->Peek16(CFG16_SUBSYSTEM_ID);
    } else if (IsCardBus(f)) {
        subVendor = f->Peek16(CFG16_CB_SUBSYSTEM_VENDOR_ID);
        subSystem = f->Peek16(CFG16_CB_SUBSYSTEM_ID);
    }
    std::string subsys = "SUBSYS_" + Hex4(subSystem) + Hex4(subVendor);
    std::string rev = "REV_" + Hex2(f->Peek8(CFG8_REVISION));
    uint32_t cc = f->ClassCode();
    std::string cc6 = "CC_" + Hex2(cc >> 16) + Hex2(cc >> 8) + Hex2(cc);
    std::string cc4 = "CC_" + Hex2(cc >> 16) + Hex2(cc >> 8);
    std::string base = "PCI\\" + ven + "&" + dev;

    std::vector<std::string> strings;
    bool multi = false;
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
        strings = {base + "&" + subsys + "&" + rev};
        break;
    case BusQueryHardwareIDs:
        strings = {base + "&" + subsys + "&" + rev, base + "&" + subsys, base + "&" + rev, base,
                   base + "&" + cc6, base + "&" + cc4};
        multi = true;
        break;
    case BusQueryCompatibleIDs:
        strings = {"PCI\\" + ven + "&" + cc6, "PCI\\" + ven + "&" + cc4, "PCI\\" + ven, "PCI\\" + cc6,
                   "PCI\\" + cc4};
        multi = true;
        break;
    case BusQueryInstanceID: {
        /* <depth>&<parent hash>&0&<device and function> */
        uint32_t hash = 0x61AAA01u;
        for (PciFunction *p = r.parentBridge; p != nullptr; p = p->Segment() ? p->Segment()->Bridge() : nullptr)
            hash = hash * 31 + uint32_t(p->DeviceNumber() << 3 | p->FunctionNumber()) + 0x9E37u;
        char buf[40];
        snprintf(buf, sizeof buf, "3&%x&0&%02X", hash, unsigned(r.device) << 3 | r.fn);
        strings = {buf};
        break;
    }
    default:
        return irp->IoStatus.Status;
    }
    PWCHAR text = PoolWide(strings, multi);
    if (text == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    *information = (ULONG_PTR)text;
    return STATUS_SUCCESS;
}

NTSTATUS PciBusDriver::QueryText(PdoRecord &r, PIRP irp, ULONG_PTR *information)
{
    std::string text;
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceText.DeviceTextType) {
    case DeviceTextDescription:
        text = r.function->Name().empty() ? "PCI device" : r.function->Name();
        break;
    case DeviceTextLocationInformation: {
        char buf[64];
        snprintf(buf, sizeof buf, kFormatLocation, unsigned(r.bus), unsigned(r.device), unsigned(r.fn));
        text = buf;
        break;
    }
    default:
        return irp->IoStatus.Status;
    }
    PWCHAR wide = PoolWide({text}, false);
    if (wide == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    *information = (ULONG_PTR)wide;
    return STATUS_SUCCESS;
}

/* ================================================================ removal */

void PciBusDriver::DeletePdo(PDEVICE_OBJECT pdo)
{
    PdoRecord *r = Record(pdo);
    if (r != nullptr)
        UnmapSocketWindow(*r);
    standin::SetDevicePropertyProvider(pdo, nullptr);
    records_.erase(pdo);
    pdos_.erase(std::remove(pdos_.begin(), pdos_.end(), pdo), pdos_.end());
    IoDeleteDevice(pdo);
}

void PciBusDriver::Remove(PDEVICE_OBJECT pdo)
{
    PdoRecord *r = Record(pdo);
    if (r == nullptr)
        return;
    Stop(*r);
    r->removed = true;
    PciFunction *self = r->function;
    /* A bus going away takes the PDOs of its removed children with it. */
    std::vector<PDEVICE_OBJECT> orphans;
    for (auto &entry : records_)
        if (entry.second.parentBridge == self && entry.second.removed && entry.first->AttachedDevice == nullptr)
            orphans.push_back(entry.first);
    for (PDEVICE_OBJECT o : orphans)
        DeletePdo(o);
    /* A function that is physically gone loses its PDO with its removal. */
    if (!Record(pdo)->present)
        DeletePdo(pdo);
}

/* ================================================================ dispatch */

NTSTATUS PciBusDriver::HandlePnp(PDEVICE_OBJECT device, PIRP irp, ULONG_PTR *information)
{
    PdoRecord &r = *Record(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    *information = irp->IoStatus.Information;

    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        return QueryRelations(r, irp, information);
    case IRP_MN_QUERY_CAPABILITIES:
        return QueryCapabilities(r, irp);
    case IRP_MN_QUERY_ID:
        return QueryId(r, irp, information);
    case IRP_MN_QUERY_DEVICE_TEXT:
        return QueryText(r, irp, information);
    case IRP_MN_QUERY_BUS_INFORMATION: {
        auto *info = static_cast<PPNP_BUS_INFORMATION>(
            ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), kSimPoolTag));
        if (info == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
        info->BusTypeGuid = kBusTypePci;
        info->LegacyBusType = PCIBus;
        info->BusNumber = r.bus;
        *information = (ULONG_PTR)info;
        return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
        return STATUS_SUCCESS;
    case IRP_MN_QUERY_RESOURCES: {
        std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> boot = BootConfig(r.function);
        *information = boot.empty() ? 0 : (ULONG_PTR)BuildCmList(boot, PCIBus, r.bus, PagedPool);
        return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS: {
        std::vector<IO_RESOURCE_DESCRIPTOR> req = Requirements(r.function);
        if (req.empty()) {
            *information = 0;
            return STATUS_SUCCESS;
        }
        PIO_RESOURCE_REQUIREMENTS_LIST list =
            BuildRequirementsList({req}, PCIBus, r.bus, ULONG(r.device) | ULONG(r.fn) << 5, PagedPool);
        if (list == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
        *information = (ULONG_PTR)list;
        return STATUS_SUCCESS;
    }
    case IRP_MN_START_DEVICE:
        return Start(r, irp);
    case IRP_MN_STOP_DEVICE:
        Stop(r);
        return STATUS_SUCCESS;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return STATUS_SUCCESS;
    case IRP_MN_SURPRISE_REMOVAL:
        Stop(r);
        return STATUS_SUCCESS;
    case IRP_MN_REMOVE_DEVICE:
        return STATUS_SUCCESS; /* the work follows the completion */
    default:
        /* Requests a bus driver does not handle keep their status. */
        return irp->IoStatus.Status;
    }
}

NTSTATUS NTAPI PciBusDriver::DispatchPnp(PDEVICE_OBJECT device, PIRP irp)
{
    PciBusDriver *self = OwnerOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    UCHAR minor = stack->MinorFunction;
    PdoRecord *r = self->Record(device);
    r->received.push_back(minor);

    if (minor == IRP_MN_READ_CONFIG || minor == IRP_MN_WRITE_CONFIG)
        return self->HandleConfig(device, irp);

    NTSTATUS status;
    ULONG_PTR information = irp->IoStatus.Information;
    auto failed = r->failMinor.find(minor);
    if (failed != r->failMinor.end())
        status = failed->second;
    else
        status = self->HandlePnp(device, irp, &information);

    if ((r->pendMinor.count(minor) != 0 || self->pendAll_) && minor != IRP_MN_REMOVE_DEVICE) {
        IoMarkIrpPending(irp);
        self->pended_++;
        standin::QueueDeferred([irp, status, information]() { Complete(irp, status, information); },
                               "bus driver: pended PnP request");
        return STATUS_PENDING;
    }
    Complete(irp, status, information);
    if (minor == IRP_MN_REMOVE_DEVICE && failed == r->failMinor.end())
        self->Remove(device);
    return status;
}

NTSTATUS NTAPI PciBusDriver::DispatchPower(PDEVICE_OBJECT device, PIRP irp)
{
    PciBusDriver *self = OwnerOf(device);
    PdoRecord *r = self->Record(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;

    switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
        if (stack->Parameters.Power.Type == DevicePowerState)
            self->SetPower(*r, stack->Parameters.Power.State.DeviceState);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_POWER:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_WAIT_WAKE:
        status = STATUS_INVALID_DEVICE_STATE; /* no function here can wake */
        break;
    default:
        break;
    }
    UCHAR key = UCHAR(0x80 | stack->MinorFunction);
    auto failed = r->failMinor.find(key);
    if (failed != r->failMinor.end())
        status = failed->second;
    PoStartNextPowerIrp(irp);
    if (r->pendMinor.count(key) != 0 || self->pendAll_) {
        IoMarkIrpPending(irp);
        self->pended_++;
        standin::QueueDeferred(
            [irp, status]() {
                irp->IoStatus.Status = status;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
            },
            "bus driver: pended power request");
        return STATUS_PENDING;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

} // namespace sim
