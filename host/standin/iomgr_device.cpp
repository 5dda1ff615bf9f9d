/*
 * iomgr_device.cpp - the I/O manager's driver and device objects: creation
 * and deletion, device stacks (attach, detach), object references, device
 * properties, AddDevice, and the checks Driver Verifier makes of a device
 * made ready or a filter attached (iomgr.h lists the rules).
 */
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "internal.h"
#include "iomgr.h"
#include "iomgr_records.h"

namespace standin {

using namespace iorecords;

namespace {

constexpr CSHORT kIoTypeDriver = 4;
constexpr CSHORT kIoTypeDevice = 3;

size_t ExtensionOffset()
{
    return (sizeof(DEVICE_OBJECT) + 15) & ~(size_t)15;
}

std::string DriverNameOf(PDRIVER_OBJECT driver)
{
    auto it = drivers.find(driver);
    if (it != drivers.end())
        return it->second->narrowName;
    return "(unknown driver " + iodetail::Hex((ULONG_PTR)driver) + ")";
}

bool FrameActive(uint64_t serial)
{
    for (const ActiveCall &c : activeCalls)
        if (c.serial == serial)
            return true;
    return false;
}

/* The device is running a dispatch or completion routine for an
 * IRP_MN_SURPRISE_REMOVAL now. */
bool RunningSurpriseRemoval(PDEVICE_OBJECT device)
{
    for (const ActiveCall &c : activeCalls) {
        if (c.device == device && c.major == IRP_MJ_PNP && c.minor == IRP_MN_SURPRISE_REMOVAL)
            return true;
    }
    return false;
}

void CheckInitializingCleared(PDEVICE_OBJECT device, const char *when)
{
    if (device->Flags & DO_DEVICE_INITIALIZING)
        ReportFinding("DEVICE_INITIALIZING_NOT_CLEARED",
                      iodetail::DescribeDevice(device) + " still has DO_DEVICE_INITIALIZING set " + when);
}

/* Driver Verifier's checks of a filter that attached: it must look to the
 * I/O manager like the device it attached to. */
void CheckAttach(const PendingAttach &a)
{
    DeviceRecord *rec = FindDevice(a.device);
    if (rec == nullptr || rec->deleted || DeviceIsDeleted(a.lower))
        return;
    PDEVICE_OBJECT d = a.device;
    std::string who = iodetail::DescribeDevice(d) + ", attached to " + iodetail::DescribeDevice(a.lower) + ",";
    if (a.busFilter)
        CheckInitializingCleared(d, "after the call that attached it returned");
    if (!a.filter)
        return;
    if ((a.lower->Flags & DO_POWER_PAGABLE) && !(d->Flags & DO_POWER_PAGABLE))
        ReportFinding("POWER_PAGABLE_NOT_INHERITED", who + " lacks the DO_POWER_PAGABLE of the device below");
    ULONG io = a.lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO);
    if ((d->Flags & io) != io)
        ReportFinding("IO_FLAGS_NOT_INHERITED",
                      who + " lacks the DO_BUFFERED_IO/DO_DIRECT_IO flag " + iodetail::Hex(io) + " of the device below");
    if ((d->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO)) == (DO_BUFFERED_IO | DO_DIRECT_IO))
        ReportFinding("BUFFERED_AND_DIRECT_IO", who + " has both DO_BUFFERED_IO and DO_DIRECT_IO set");
    if (d->DeviceType != a.lower->DeviceType)
        ReportFinding("DEVICE_TYPE_NOT_INHERITED", who + " has device type " + iodetail::Hex(d->DeviceType) +
                                                       ", the device below " + iodetail::Hex(a.lower->DeviceType));
}

} // namespace

namespace iorecords {

/* Check the attaches whose call has returned. */
void CheckDueAttaches()
{
    std::vector<PendingAttach> due;
    for (auto it = pendingAttaches.begin(); it != pendingAttaches.end();) {
        if (it->frame == 0 || !FrameActive(it->frame)) {
            due.push_back(*it);
            it = pendingAttaches.erase(it);
        } else {
            ++it;
        }
    }
    for (const PendingAttach &a : due)
        CheckAttach(a);
}

} // namespace iorecords

/* ---------------------------------------------------------- driver objects */

NTSTATUS NTAPI DefaultDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

PDRIVER_OBJECT CreateDriverObject(const std::string &name)
{
    auto block = std::make_unique<DriverBlock>();
    memset(&block->object, 0, sizeof block->object);
    memset(&block->extension, 0, sizeof block->extension);
    block->narrowName = name;
    block->name.assign(name.begin(), name.end());
    PDRIVER_OBJECT driver = &block->object;
    driver->Type = kIoTypeDriver;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = &block->extension;
    block->extension.DriverObject = driver;
    driver->DriverName.Buffer = block->name.empty() ? nullptr : &block->name[0];
    driver->DriverName.Length = (USHORT)(block->name.size() * sizeof(WCHAR));
    driver->DriverName.MaximumLength = driver->DriverName.Length;
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        driver->MajorFunction[i] = DefaultDispatch;
    drivers[driver] = std::move(block);
    return driver;
}

void DestroyDriverObject(PDRIVER_OBJECT driver)
{
    auto it = drivers.find(driver);
    if (it == drivers.end())
        return;
    if (driver->DeviceObject != nullptr) {
        /* The devices stay (their records point at the driver's name, kept
         * in the device record); the driver object goes. */
        std::string list;
        for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) {
            list += " " + iodetail::Hex((ULONG_PTR)d);
            d->DriverObject = nullptr;
        }
        ReportFinding("DRIVER_DESTROYED_WITH_DEVICES",
                      "driver " + it->second->narrowName + " destroyed with devices still in its list:" + list);
    }
    drivers.erase(it);
}

/* ---------------------------------------------------------- device queries */

bool DeviceIsDeleted(PDEVICE_OBJECT device)
{
    DeviceRecord *rec = FindDevice(device);
    return rec != nullptr && rec->deleted;
}

bool IsKnownDevice(PDEVICE_OBJECT device)
{
    return FindDevice(device) != nullptr;
}

PDEVICE_OBJECT AttachedTo(PDEVICE_OBJECT device)
{
    DeviceRecord *rec = FindDevice(device);
    return rec == nullptr ? nullptr : rec->attachedTo;
}

PDEVICE_OBJECT StackBottom(PDEVICE_OBJECT device)
{
    while (device != nullptr && AttachedTo(device) != nullptr)
        device = AttachedTo(device);
    return device;
}

size_t LiveDeviceCount()
{
    size_t n = 0;
    for (auto &d : devices)
        n += d.second.deleted ? 0 : 1;
    return n;
}

LONG ObjectReferenceCount(PVOID object)
{
    auto it = references.find(object);
    return it == references.end() ? 0 : it->second;
}

void SetDevicePropertyProvider(PDEVICE_OBJECT pdo, DevicePropertyProvider provider)
{
    if (provider)
        propertyProviders[pdo] = std::move(provider);
    else
        propertyProviders.erase(pdo);
}

DevicePropertyProvider DwordPropertyProvider(std::function<bool(DEVICE_REGISTRY_PROPERTY, ULONG *)> lookup)
{
    return [lookup](DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer, PULONG resultLength) {
        ULONG value = 0;
        if (!lookup(property, &value))
            return STATUS_INVALID_PARAMETER;
        if (resultLength != nullptr)
            *resultLength = sizeof(ULONG);
        if (length < sizeof(ULONG))
            return STATUS_BUFFER_TOO_SMALL;
        memcpy(buffer, &value, sizeof value);
        return STATUS_SUCCESS;
    };
}

void SetCreateDeviceStatus(NTSTATUS status)
{
    createDeviceStatus = status;
}

void SetAttachFails(bool fail)
{
    attachFails = fail;
}

void SetIrpAllocationFails(bool fail)
{
    irpAllocationFails = fail;
}

void SetAttachedDeviceReferenceFails(bool fail)
{
    attachedReferenceFails = fail;
}

/* ------------------------------------------------------------- AddDevice */

void BeginAddDevice(PDEVICE_OBJECT pdo, AddDeviceRole role)
{
    uint64_t serial = PushCall(nullptr, pdo, 0);
    addScopes.push_back(AddDeviceScope{serial, role, pdo, {}});
}

void EndAddDevice()
{
    if (addScopes.empty())
        return;
    AddDeviceScope scope = addScopes.back();
    addScopes.pop_back();
    for (auto it = activeCalls.begin(); it != activeCalls.end(); ++it) {
        if (it->serial == scope.serial) {
            activeCalls.erase(it);
            break;
        }
    }
    CheckDueAttaches();
    for (PDEVICE_OBJECT d : scope.created)
        if (!DeviceIsDeleted(d))
            CheckInitializingCleared(d, "at the end of AddDevice");
}

NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, AddDeviceRole role)
{
    if (driver == nullptr || driver->DriverExtension == nullptr || driver->DriverExtension->AddDevice == nullptr)
        return STATUS_SUCCESS;
    BeginAddDevice(pdo, role);
    NTSTATUS status = driver->DriverExtension->AddDevice(driver, pdo);
    EndAddDevice();
    return status;
}

} // namespace standin

using namespace standin;
using namespace standin::iorecords;

/* ============================================================ devices */

extern "C" NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                         PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                         ULONG DeviceCharacteristics, BOOLEAN Exclusive, PDEVICE_OBJECT *DeviceObject)
{
    *DeviceObject = nullptr;
    if (createDeviceStatus != STATUS_SUCCESS)
        return createDeviceStatus;
    size_t offset = ExtensionOffset();
    void *block = calloc(1, offset + (DeviceExtensionSize ? DeviceExtensionSize : 1));
    if (block == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_OBJECT device = static_cast<PDEVICE_OBJECT>(block);
    device->Type = kIoTypeDevice;
    device->Size = (USHORT)(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->DeviceType = DeviceType;
    device->Characteristics = DeviceCharacteristics;
    device->Flags = DO_DEVICE_INITIALIZING;
    if (Exclusive)
        device->Flags |= DO_EXCLUSIVE;
    if (DeviceName != nullptr && DeviceName->Length != 0)
        device->Flags |= DO_DEVICE_HAS_NAME;
    device->StackSize = 1;
    device->DeviceExtension = DeviceExtensionSize ? static_cast<char *>(block) + offset : nullptr;
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
    /* New devices go to the head of the driver's list, as on Windows. */
    if (DriverObject != nullptr) {
        device->NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = device;
    }
    DeviceRecord rec;
    rec.block = block;
    rec.extensionSize = DeviceExtensionSize;
    rec.driverName = DriverNameOf(DriverObject);
    if (DeviceName != nullptr && DeviceName->Buffer != nullptr)
        rec.name = detail::Narrow(DeviceName->Buffer, DeviceName->Length / sizeof(WCHAR));
    devices[device] = rec;
    if (!addScopes.empty())
        addScopes.back().created.push_back(device);
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    DeviceRecord *rec = FindDevice(DeviceObject);
    if (rec == nullptr) {
        ReportFinding("DELETE_OF_UNKNOWN_DEVICE",
                      "IoDeleteDevice on " + iodetail::Hex((ULONG_PTR)DeviceObject) + ", not made by IoCreateDevice");
        return;
    }
    if (rec->deleted) {
        ReportFinding("DEVICE_DELETED_TWICE", "IoDeleteDevice on " + iodetail::DescribeDevice(DeviceObject) +
                                                  ", already deleted");
        return;
    }
    if (RunningSurpriseRemoval(DeviceObject))
        ReportFinding("DELETE_AT_SURPRISE_REMOVAL",
                      "IoDeleteDevice on " + iodetail::DescribeDevice(DeviceObject) +
                          " while it handles IRP_MN_SURPRISE_REMOVAL; the device goes at IRP_MN_REMOVE_DEVICE");
    /* A device may be deleted while one is still attached above it: during
     * removal each driver passes the request down before it detaches, so the
     * lower devices go first. The upper device must then detach from the
     * deleted one (IoDetachDevice accepts it, as on Windows); one that never
     * does is reported by CheckIoLeftovers. */
    if (rec->attachedTo != nullptr && rec->attachedTo->AttachedDevice == DeviceObject)
        ReportFinding("DELETE_WHILE_ATTACHED", "IoDeleteDevice on " + iodetail::DescribeDevice(DeviceObject) +
                                                   " still attached to " +
                                                   iodetail::DescribeDevice(rec->attachedTo) +
                                                   " (IoDetachDevice was not called)");
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    if (driver != nullptr) {
        for (PDEVICE_OBJECT *link = &driver->DeviceObject; *link != nullptr; link = &(*link)->NextDevice) {
            if (*link == DeviceObject) {
                *link = DeviceObject->NextDevice;
                break;
            }
        }
    }
    DeviceObject->NextDevice = nullptr;
    if (DeviceObject->DeviceExtension != nullptr)
        memset(DeviceObject->DeviceExtension, kPoisonByte, rec->extensionSize);
    rec->deleted = true;
}

extern "C" PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    if (attachFails || TargetDevice == nullptr)
        return nullptr;
    if (RefuseDeletedDevice(SourceDevice, "IoAttachDeviceToDeviceStack (source)"))
        return nullptr;
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice != nullptr)
        top = top->AttachedDevice;
    /* Windows refuses to attach to a device that is going away. */
    if (RefuseDeletedDevice(top, "IoAttachDeviceToDeviceStack (target)"))
        return nullptr;
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = (CCHAR)(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    SourceDevice->SectorSize = top->SectorSize;
    uint64_t frame = activeCalls.empty() ? 0 : activeCalls.back().serial;
    bool inAddDevice = !addScopes.empty() && frame == addScopes.back().serial;
    if (DeviceRecord *rec = FindDevice(SourceDevice)) {
        rec->attachedTo = top;
        rec->busFilter = !inAddDevice;
        rec->stackPdo = StackBottom(top);
    }
    bool filter = !inAddDevice || addScopes.back().role != AddDeviceRole::Function;
    pendingAttaches.push_back(PendingAttach{SourceDevice, top, frame, filter, !inAddDevice});
    return top;
}

extern "C" VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    PDEVICE_OBJECT source = TargetDevice->AttachedDevice;
    if (source == nullptr) {
        ReportFinding("DETACH_WITH_NOTHING_ATTACHED",
                      "IoDetachDevice on " + iodetail::DescribeDevice(TargetDevice) + ", which has no attached device");
        return;
    }
    if (RunningSurpriseRemoval(source))
        ReportFinding("DETACH_AT_SURPRISE_REMOVAL",
                      "IoDetachDevice of " + iodetail::DescribeDevice(source) +
                          " while it handles IRP_MN_SURPRISE_REMOVAL; it detaches at IRP_MN_REMOVE_DEVICE");
    if (DeviceRecord *rec = FindDevice(source))
        rec->attachedTo = nullptr;
    TargetDevice->AttachedDevice = nullptr;
}

extern "C" PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
{
    if (attachedReferenceFails || DeviceObject == nullptr)
        return nullptr;
    PDEVICE_OBJECT top = DeviceObject;
    while (top->AttachedDevice != nullptr)
        top = top->AttachedDevice;
    ObfReferenceObject(top);
    return top;
}

extern "C" VOID FASTCALL ObfReferenceObject(PVOID Object)
{
    references[Object]++;
}

extern "C" VOID FASTCALL ObfDereferenceObject(PVOID Object)
{
    auto it = references.find(Object);
    if (it == references.end() || it->second <= 0) {
        std::string what = FindDevice(static_cast<PDEVICE_OBJECT>(Object))
                               ? iodetail::DescribeDevice(static_cast<PDEVICE_OBJECT>(Object))
                               : "object " + iodetail::Hex((ULONG_PTR)Object);
        ReportFinding("DEREFERENCE_BELOW_ZERO", "ObfDereferenceObject on " + what + " with no reference left to drop");
        return;
    }
    it->second--;
}

extern "C" NTSTATUS NTAPI IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                              ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength)
{
    if (RefuseDeletedDevice(DeviceObject, "IoGetDeviceProperty"))
        return STATUS_INVALID_DEVICE_REQUEST;
    auto it = propertyProviders.find(DeviceObject);
    if (it == propertyProviders.end())
        return STATUS_INVALID_DEVICE_REQUEST;
    /* Copy: the provider may replace itself. */
    DevicePropertyProvider provider = it->second;
    return provider(DeviceProperty, BufferLength, PropertyBuffer, ResultLength);
}

