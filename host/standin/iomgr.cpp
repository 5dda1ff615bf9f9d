/*
 * iomgr.cpp - the I/O manager: driver and device objects, device stacks,
 * object references, device properties, and requests with their stack
 * locations, passed down by IofCallDriver and walked back up by
 * IofCompleteRequest the way the Windows I/O manager does it.
 *
 * Requests are laid out as on Windows: the IRP, then StackCount stack
 * locations. CurrentLocation counts from StackCount + 1 (nothing dispatched)
 * down to 1 (the bottom driver); CurrentStackLocation points at location
 * CurrentLocation. A side table keyed by the request's address follows each
 * request's life (allocated, with a driver, held after
 * STATUS_MORE_PROCESSING_REQUIRED, completed, freed) so that the rules can be
 * checked where they apply. Freed requests and deleted devices keep their
 * memory, poisoned, until Reset: a driver that still uses them is caught
 * instead of crashing the test program.
 */
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <vector>

#include "internal.h"
#include "iomgr.h"

namespace standin {

namespace {

constexpr CSHORT kIoTypeDriver = 4;
constexpr CSHORT kIoTypeDevice = 3;
constexpr CSHORT kIoTypeIrp = 6;

struct DriverBlock {
    DRIVER_OBJECT object;
    DRIVER_EXTENSION extension;
    std::u16string name;
    std::string narrowName;
};

struct DeviceRecord {
    void *block = nullptr;
    size_t extensionSize = 0;
    bool deleted = false;
    PDEVICE_OBJECT attachedTo = nullptr;
    std::string name;
    std::string driverName;
    bool leakReported = false;
    bool attachedReported = false;
    /* Attached to a PDO outside any AddDevice (a bus filter, as Driver
     * Verifier calls it), and the bottom of the stack it attached to. */
    bool busFilter = false;
    PDEVICE_OBJECT stackPdo = nullptr;
};

struct IrpRecord {
    IrpState state = IrpState::Allocated;
    bool synchronous = false;
    bool ownMemory = true; /* false: a request a test built by hand */
    bool everSent = false;
    bool holdAfterMoreProcessing = false; /* a completion routine kept it */
    bool leftoverReported = false;
    int routinesRunning = 0; /* completion routines running for it now */
    int completions = 0;
    NTSTATUS finalStatus = STATUS_SUCCESS;
    size_t size = 0;
    /* Per stack location (index = location number), for its current trip:
     * the location was marked pending; completion has walked past it; its
     * dispatch routine returned STATUS_PENDING before either happened, so the
     * mark is checked when completion reaches the location (a driver without
     * completion routine gets the mark from the I/O manager then). */
    std::vector<bool> pendingMarked;
    std::vector<bool> walkedPast;
    std::vector<bool> awaitingMark;
    /* IoStatus.Status as completion walked past the location. */
    std::vector<NTSTATUS> walkedStatus;

    void SizeLocations(int stackCount)
    {
        pendingMarked.assign(stackCount + 2, false);
        walkedPast.assign(stackCount + 2, false);
        awaitingMark.assign(stackCount + 2, false);
        walkedStatus.assign(stackCount + 2, STATUS_SUCCESS);
    }
};

/* A driver running for a request: its dispatch routine, or the completion
 * routine it set for the location below its own. */
struct ActiveCall {
    PIRP irp; /* null for an AddDevice call */
    PDEVICE_OBJECT device;
    int location;
    uint64_t serial;
    UCHAR major, minor; /* of the request at the driver's location when called */
};

/* An attach whose flags are checked once the call that made it (dispatch
 * routine, completion routine, AddDevice; serial 0: none) has returned. */
struct PendingAttach {
    PDEVICE_OBJECT device;
    PDEVICE_OBJECT lower;
    uint64_t frame;
    bool filter;    /* a filter must look like the device below it */
    bool busFilter; /* attached outside AddDevice: DO_DEVICE_INITIALIZING checked here too */
};

struct AddDeviceScope {
    uint64_t serial;
    AddDeviceRole role;
    PDEVICE_OBJECT pdo;
    std::vector<PDEVICE_OBJECT> created;
};

std::map<PDRIVER_OBJECT, std::unique_ptr<DriverBlock>> drivers;
std::map<PDEVICE_OBJECT, DeviceRecord> devices;
std::map<PVOID, LONG> references;
std::map<PDEVICE_OBJECT, DevicePropertyProvider> propertyProviders;
std::map<PIRP, IrpRecord> irps;
std::vector<ActiveCall> activeCalls;
uint64_t nextCallSerial = 0;
std::vector<PendingAttach> pendingAttaches;
std::vector<AddDeviceScope> addScopes;

/* The memory of requests and devices still held when the program ends (the
 * last test is followed by no Reset), released quietly: nothing is checked. */
struct ReleaseAtExit {
    ~ReleaseAtExit()
    {
        for (auto &entry : irps)
            if (entry.second.ownMemory)
                free(entry.first);
        for (auto &entry : devices)
            free(entry.second.block);
    }
} releaseAtExit;

NTSTATUS createDeviceStatus = STATUS_SUCCESS;
bool attachFails = false;
bool irpAllocationFails = false;
bool attachedReferenceFails = false;

size_t ExtensionOffset()
{
    return (sizeof(DEVICE_OBJECT) + 15) & ~(size_t)15;
}

DeviceRecord *FindDevice(PDEVICE_OBJECT device)
{
    auto it = devices.find(device);
    return it == devices.end() ? nullptr : &it->second;
}

IrpRecord *FindIrp(PIRP irp)
{
    auto it = irps.find(irp);
    return it == irps.end() ? nullptr : &it->second;
}

/* A request the I/O manager did not allocate (a test built it by hand):
 * followed from its first call on, never freed by the stand-in. */
IrpRecord *AdoptIrp(PIRP irp)
{
    IrpRecord &rec = irps[irp];
    rec.state = IrpState::InFlight;
    rec.ownMemory = false;
    rec.size = sizeof(IRP) + (size_t)irp->StackCount * sizeof(IO_STACK_LOCATION);
    rec.SizeLocations(irp->StackCount);
    return &rec;
}

PIO_STACK_LOCATION LocationAt(PIRP irp, int location)
{
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (location - 1);
}

const char *MajorName(UCHAR major)
{
    switch (major) {
    case IRP_MJ_PNP:
        return "IRP_MJ_PNP";
    case IRP_MJ_POWER:
        return "IRP_MJ_POWER";
    case IRP_MJ_CREATE:
        return "IRP_MJ_CREATE";
    case IRP_MJ_CLOSE:
        return "IRP_MJ_CLOSE";
    case IRP_MJ_DEVICE_CONTROL:
        return "IRP_MJ_DEVICE_CONTROL";
    case IRP_MJ_SYSTEM_CONTROL:
        return "IRP_MJ_SYSTEM_CONTROL";
    default:
        return "IRP_MJ_?";
    }
}

/* A deleted device whose request or query arrives: the finding, true when
 * the caller must not go on. */
bool RefuseDeletedDevice(PDEVICE_OBJECT device, const char *what)
{
    DeviceRecord *rec = FindDevice(device);
    if (rec == nullptr || !rec->deleted)
        return false;
    ReportFinding("CALL_INTO_DELETED_DEVICE",
                  std::string(what) + " on " + iodetail::DescribeDevice(device) + ", deleted by IoDeleteDevice");
    return true;
}

/* What the I/O manager leaves of a stack location once completion has passed
 * it: only the error-returned mark survives. */
void ClearLocation(PIO_STACK_LOCATION sp)
{
    sp->MinorFunction = 0;
    sp->Flags = 0;
    sp->Control &= SL_ERROR_RETURNED;
    memset(&sp->Parameters, 0, sizeof(sp->Parameters));
    sp->FileObject = nullptr;
}

void PoisonIrp(PIRP irp, IrpRecord &rec)
{
    memset(irp, kPoisonByte, rec.size);
    rec.state = IrpState::Freed;
    rec.holdAfterMoreProcessing = false;
    iodetail::ForgetPowerIrp(irp);
}

/* Completion reached the top: a synchronous request hands its status to the
 * caller's status block and event and is freed; any other request goes back
 * to whoever allocated it. */
void FinishAtTop(PIRP irp, IrpRecord &rec)
{
    rec.state = IrpState::Completed;
    if (!rec.synchronous)
        return;
    if (irp->UserIosb != nullptr)
        *irp->UserIosb = irp->IoStatus;
    PKEVENT event = irp->UserEvent;
    PoisonIrp(irp, rec);
    if (event != nullptr)
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

void ReportPendingNotMarked(PIRP irp, PDEVICE_OBJECT device, int location)
{
    ReportFinding("PENDING_NOT_MARKED", "the dispatch routine of " + iodetail::DescribeDevice(device) +
                                            " returned STATUS_PENDING for " + iodetail::DescribeIrp(irp) +
                                            " without IoMarkIrpPending on stack location " + std::to_string(location));
}

std::string DriverNameOf(PDRIVER_OBJECT driver)
{
    auto it = drivers.find(driver);
    if (it != drivers.end())
        return it->second->narrowName;
    return "(unknown driver " + iodetail::Hex((ULONG_PTR)driver) + ")";
}

uint64_t PushCall(PIRP irp, PDEVICE_OBJECT device, int location)
{
    UCHAR major = 0xFF, minor = 0xFF;
    if (irp != nullptr && location >= 1 && location <= irp->StackCount) {
        major = LocationAt(irp, location)->MajorFunction;
        minor = LocationAt(irp, location)->MinorFunction;
    }
    activeCalls.push_back(ActiveCall{irp, device, location, ++nextCallSerial, major, minor});
    return nextCallSerial;
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

bool IsRemovalMinor(PIRP irp)
{
    if (irp->StackCount < 1)
        return false;
    PIO_STACK_LOCATION first = LocationAt(irp, irp->StackCount);
    return first->MajorFunction == IRP_MJ_PNP &&
           (first->MinorFunction == IRP_MN_REMOVE_DEVICE || first->MinorFunction == IRP_MN_SURPRISE_REMOVAL);
}

void ReportRemovalFailed(PIRP irp, PDEVICE_OBJECT by, const char *how)
{
    ReportFinding("REMOVAL_FAILED", iodetail::DescribeDevice(by) + " " + how + " " + iodetail::DescribeIrp(irp) +
                                        " with status " + iodetail::Hex((ULONG)irp->IoStatus.Status) +
                                        "; IRP_MN_REMOVE_DEVICE and IRP_MN_SURPRISE_REMOVAL must not fail");
}

} // namespace

/* ------------------------------------------------------------ descriptions */

namespace iodetail {

std::string Hex(uint64_t value)
{
    char buf[32];
    snprintf(buf, sizeof buf, "0x%llx", (unsigned long long)value);
    return buf;
}

std::string DescribeIrp(PIRP irp)
{
    std::string text = "IRP " + Hex((ULONG_PTR)irp);
    IrpRecord *rec = FindIrp(irp);
    if (rec == nullptr)
        return text;
    if (rec->state != IrpState::Freed && irp->StackCount > 0) {
        /* The function of the request as its first location carries it. */
        PIO_STACK_LOCATION first = LocationAt(irp, irp->StackCount);
        char buf[96];
        snprintf(buf, sizeof buf, " (%s minor 0x%02x, %d stack locations%s)", MajorName(first->MajorFunction),
                 first->MinorFunction, irp->StackCount, rec->synchronous ? ", synchronous" : "");
        text += buf;
    } else if (rec->synchronous) {
        text += " (synchronous)";
    }
    return text;
}

std::string DescribeDevice(PDEVICE_OBJECT device)
{
    std::string text = "device " + Hex((ULONG_PTR)device);
    DeviceRecord *rec = FindDevice(device);
    if (rec == nullptr)
        return text + " (not made by IoCreateDevice)";
    text += " of driver " + rec->driverName;
    if (!rec->name.empty())
        text += " named " + rec->name;
    return text;
}

bool ActiveDriver(PIRP irp, PDEVICE_OBJECT *device, int *location)
{
    for (auto it = activeCalls.rbegin(); it != activeCalls.rend(); ++it) {
        if (it->irp == irp) {
            if (device)
                *device = it->device;
            if (location)
                *location = it->location;
            return true;
        }
    }
    return false;
}

} // namespace iodetail

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

/* ---------------------------------------------------------- request queries */

IrpState GetIrpState(PIRP irp)
{
    IrpRecord *rec = FindIrp(irp);
    return rec == nullptr ? IrpState::Unknown : rec->state;
}

const char *IrpStateName(IrpState state)
{
    switch (state) {
    case IrpState::Unknown:
        return "unknown";
    case IrpState::Allocated:
        return "allocated";
    case IrpState::InFlight:
        return "in flight";
    case IrpState::MoreProcessing:
        return "held after STATUS_MORE_PROCESSING_REQUIRED";
    case IrpState::Completed:
        return "completed";
    case IrpState::Freed:
        return "freed";
    }
    return "?";
}

int IrpCompletionCount(PIRP irp)
{
    IrpRecord *rec = FindIrp(irp);
    return rec == nullptr ? 0 : rec->completions;
}

NTSTATUS IrpFinalStatus(PIRP irp)
{
    IrpRecord *rec = FindIrp(irp);
    return rec == nullptr ? STATUS_UNSUCCESSFUL : rec->finalStatus;
}

void ReuseIrp(PIRP irp, NTSTATUS status)
{
    IrpRecord *rec = FindIrp(irp);
    if (rec == nullptr || rec->state == IrpState::Freed || rec->state == IrpState::InFlight) {
        ReportFinding("IRP_REUSED_WHILE_IN_USE",
                      "ReuseIrp on " + iodetail::DescribeIrp(irp) + " (" +
                          IrpStateName(rec ? rec->state : IrpState::Unknown) + ")");
        return;
    }
    CCHAR stackSize = irp->StackCount;
    UCHAR allocationFlags = irp->AllocationFlags;
    memset(irp, 0, rec->size);
    irp->Type = kIoTypeIrp;
    irp->Size = (USHORT)rec->size;
    irp->StackCount = stackSize;
    irp->CurrentLocation = (CHAR)(stackSize + 1);
    irp->AllocationFlags = allocationFlags;
    irp->ThreadListEntry.Flink = irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
    irp->Tail.Overlay.CurrentStackLocation = LocationAt(irp, stackSize + 1);
    irp->IoStatus.Status = status;
    rec->state = IrpState::Allocated;
    rec->everSent = false;
    rec->holdAfterMoreProcessing = false;
    rec->completions = 0;
    rec->SizeLocations(stackSize);
    iodetail::ForgetPowerIrp(irp);
}

/* ------------------------------------------------------------ end of a test */

void CheckIoLeftovers()
{
    CheckDueAttaches();
    for (auto &entry : irps) {
        IrpRecord &rec = entry.second;
        if (rec.leftoverReported)
            continue;
        if (rec.state == IrpState::MoreProcessing && rec.holdAfterMoreProcessing) {
            rec.leftoverReported = true;
            ReportFinding("IRP_NEVER_COMPLETED_AFTER_MORE_PROCESSING",
                          iodetail::DescribeIrp(entry.first) +
                              ": a completion routine returned STATUS_MORE_PROCESSING_REQUIRED and the request "
                              "was never completed again nor freed");
        } else if (rec.synchronous && rec.state != IrpState::Freed) {
            rec.leftoverReported = true;
            ReportFinding("SYNCHRONOUS_IRP_NEVER_COMPLETED", iodetail::DescribeIrp(entry.first) + " built by "
                                                                 "IoBuildSynchronousFsdRequest was never completed (" +
                                                                 IrpStateName(rec.state) + ")");
        }
    }
    for (auto &entry : devices) {
        PDEVICE_OBJECT above = entry.first->AttachedDevice;
        if (entry.second.deleted && above != nullptr && !DeviceIsDeleted(above) && !entry.second.attachedReported) {
            entry.second.attachedReported = true;
            ReportFinding("DELETE_WITH_ATTACHED_DEVICE",
                          iodetail::DescribeDevice(entry.first) + " was deleted while " +
                              iodetail::DescribeDevice(above) +
                              " was attached above it, and that device never detached from it");
        }
        LONG refs = ObjectReferenceCount(entry.first);
        if (refs > 0 && !entry.second.leakReported) {
            entry.second.leakReported = true;
            ReportFinding("REFERENCE_LEAKED", iodetail::DescribeDevice(entry.first) + " still holds " +
                                                  std::to_string(refs) + " reference(s) never dropped");
        }
    }
    iodetail::CheckMappingLeftovers();
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

namespace detail {

void ResetIoManager()
{
    CheckIoLeftovers();
    iodetail::ResetDeferredQueue();
    for (auto &entry : irps)
        if (entry.second.ownMemory)
            free(entry.first);
    irps.clear();
    for (auto &entry : devices)
        free(entry.second.block);
    devices.clear();
    drivers.clear();
    references.clear();
    propertyProviders.clear();
    activeCalls.clear();
    pendingAttaches.clear();
    addScopes.clear();
    createDeviceStatus = STATUS_SUCCESS;
    attachFails = false;
    irpAllocationFails = false;
    attachedReferenceFails = false;
}

} // namespace detail

} // namespace standin

using namespace standin;

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

/* ============================================================ requests */

extern "C" PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    if (irpAllocationFails || StackSize < 0)
        return nullptr;
    size_t size = sizeof(IRP) + (size_t)StackSize * sizeof(IO_STACK_LOCATION);
    PIRP irp = static_cast<PIRP>(calloc(1, size));
    if (irp == nullptr)
        return nullptr;
    irp->Type = kIoTypeIrp;
    irp->Size = (USHORT)size;
    irp->StackCount = StackSize;
    irp->CurrentLocation = (CHAR)(StackSize + 1);
    irp->ThreadListEntry.Flink = irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
    /* One past the last location: the first IofCallDriver moves onto it. */
    irp->Tail.Overlay.CurrentStackLocation = LocationAt(irp, StackSize + 1);
    IrpRecord rec;
    rec.size = size;
    rec.SizeLocations(StackSize);
    irps[irp] = rec;
    return irp;
}

extern "C" VOID NTAPI IoFreeIrp(PIRP Irp)
{
    if (Irp == nullptr)
        return;
    IrpRecord *rec = FindIrp(Irp);
    if (rec == nullptr) {
        ReportFinding("FREE_OF_UNKNOWN_IRP",
                      "IoFreeIrp on " + iodetail::Hex((ULONG_PTR)Irp) + ", not made by IoAllocateIrp");
        return;
    }
    if (rec->state == IrpState::Freed) {
        ReportFinding("IRP_FREED_TWICE", "IoFreeIrp on " + iodetail::DescribeIrp(Irp) + ", already freed");
        return;
    }
    if (rec->synchronous) {
        ReportFinding("SYNCHRONOUS_IRP_FREED_BY_DRIVER",
                      "IoFreeIrp on " + iodetail::DescribeIrp(Irp) +
                          ": the I/O manager frees a request built by IoBuildSynchronousFsdRequest when it completes");
        return;
    }
    /* A completion routine may free the request it was given back, as long
     * as it then returns STATUS_MORE_PROCESSING_REQUIRED. */
    if (rec->state == IrpState::InFlight && rec->routinesRunning == 0) {
        ReportFinding("IRP_FREED_WHILE_IN_USE",
                      "IoFreeIrp on " + iodetail::DescribeIrp(Irp) + " while a lower driver still owns it");
        return;
    }
    PoisonIrp(Irp, *rec);
}

extern "C" PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                                   ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                                   PIO_STATUS_BLOCK IoStatusBlock)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        ReportFinding("SYNCHRONOUS_REQUEST_ABOVE_PASSIVE",
                      "IoBuildSynchronousFsdRequest for major function " + iodetail::Hex(MajorFunction) + " at IRQL " +
                          std::to_string(KeGetCurrentIrql()) + "; it may be called at PASSIVE_LEVEL only");
    /* Only the requests that carry no data buffer are modelled. */
    if (MajorFunction != IRP_MJ_PNP && MajorFunction != IRP_MJ_FLUSH_BUFFERS && MajorFunction != IRP_MJ_SHUTDOWN) {
        ReportFinding("UNMODELLED_SYNCHRONOUS_REQUEST",
                      "IoBuildSynchronousFsdRequest for major function " + iodetail::Hex(MajorFunction) +
                          ": the stand-in models IRP_MJ_PNP, IRP_MJ_FLUSH_BUFFERS and IRP_MJ_SHUTDOWN only");
        return nullptr;
    }
    PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (irp == nullptr)
        return nullptr;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->UserBuffer = Buffer;
    PIO_STACK_LOCATION first = irp->Tail.Overlay.CurrentStackLocation - 1;
    first->MajorFunction = (UCHAR)MajorFunction;
    irps[irp].synchronous = true;
    return irp;
}

extern "C" NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    bool viaPoCallDriver = iodetail::TakePoCallDriverMark();
    IrpRecord *rec = FindIrp(Irp);
    if (rec == nullptr)
        rec = AdoptIrp(Irp);
    if (rec->state == IrpState::Completed || rec->state == IrpState::Freed) {
        ReportFinding("IRP_TOUCHED_AFTER_COMPLETION", "IofCallDriver to " + iodetail::DescribeDevice(DeviceObject) +
                                                          " with " + iodetail::DescribeIrp(Irp) + ", already " +
                                                          IrpStateName(rec->state));
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (DeviceIsDeleted(DeviceObject)) {
        RefuseDeletedDevice(DeviceObject, ("IofCallDriver with " + iodetail::DescribeIrp(Irp)).c_str());
        return STATUS_DEVICE_REMOVED;
    }
    if (Irp->CurrentLocation <= 1) {
        ReportFinding("NO_MORE_STACK_LOCATIONS", "IofCallDriver to " + iodetail::DescribeDevice(DeviceObject) +
                                                     " with " + iodetail::DescribeIrp(Irp) +
                                                     ": no stack location left (NO_MORE_IRP_STACK_LOCATIONS)");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION next = Irp->Tail.Overlay.CurrentStackLocation - 1;
    CheckDueAttaches();
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL || (next->MajorFunction == IRP_MJ_PNP && irql > PASSIVE_LEVEL))
        ReportFinding("IRP_SENT_AT_WRONG_IRQL", iodetail::DescribeIrp(Irp) + " sent to " +
                                                    iodetail::DescribeDevice(DeviceObject) + " at IRQL " +
                                                    std::to_string(irql) +
                                                    (next->MajorFunction == IRP_MJ_PNP
                                                         ? "; PnP requests are sent at PASSIVE_LEVEL"
                                                         : "; no request is sent above DISPATCH_LEVEL"));
    if (!rec->everSent && next->MajorFunction == IRP_MJ_PNP && Irp->IoStatus.Status != STATUS_NOT_SUPPORTED)
        ReportFinding("PNP_IRP_STATUS_NOT_PRESET", iodetail::DescribeIrp(Irp) + " sent with IoStatus.Status " +
                                                       iodetail::Hex((ULONG)Irp->IoStatus.Status) +
                                                       ", not STATUS_NOT_SUPPORTED");
    if (next->MajorFunction == IRP_MJ_POWER) {
        PDEVICE_OBJECT from = nullptr;
        if (iodetail::ActiveDriver(Irp, &from, nullptr))
            iodetail::CheckPowerPassOn(Irp, from, viaPoCallDriver);
    }

    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    UCHAR major = next->MajorFunction;
    if (driver == nullptr || major > IRP_MJ_MAXIMUM_FUNCTION || driver->MajorFunction[major] == nullptr) {
        ReportFinding("NO_DISPATCH_ROUTINE", iodetail::DescribeIrp(Irp) + " sent to " +
                                                 iodetail::DescribeDevice(DeviceObject) +
                                                 ", which has no dispatch routine for it");
        return STATUS_INVALID_DEVICE_REQUEST;
    }

    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation = next;
    next->DeviceObject = DeviceObject;
    int location = Irp->CurrentLocation;
    rec->everSent = true;
    rec->state = IrpState::InFlight;
    rec->holdAfterMoreProcessing = false;
    rec->pendingMarked[location] = (next->Control & SL_PENDING_RETURNED) != 0;
    rec->walkedPast[location] = false;
    rec->awaitingMark[location] = false;
    UCHAR minor = next->MinorFunction;
    PushCall(Irp, DeviceObject, location);
    NTSTATUS status = driver->MajorFunction[major](DeviceObject, Irp);
    activeCalls.pop_back();
    CheckDueAttaches();

    rec = FindIrp(Irp);
    if (status != STATUS_PENDING && !rec->walkedPast[location])
        ReportFinding("IRP_NEITHER_PASSED_NOR_COMPLETED",
                      "the dispatch routine of " + iodetail::DescribeDevice(DeviceObject) + " returned " +
                          iodetail::Hex((ULONG)status) + " for " + iodetail::DescribeIrp(Irp) +
                          " without completing it or passing it down (or without returning STATUS_PENDING)");
    else if (status != STATUS_PENDING && status != rec->walkedStatus[location])
        ReportFinding("DISPATCH_STATUS_MISMATCH", "the dispatch routine of " + iodetail::DescribeDevice(DeviceObject) +
                                                      " returned " + iodetail::Hex((ULONG)status) + " for " +
                                                      iodetail::DescribeIrp(Irp) + ", completed with IoStatus.Status " +
                                                      iodetail::Hex((ULONG)rec->walkedStatus[location]));
    if (major == IRP_MJ_PNP && minor == IRP_MN_REMOVE_DEVICE) {
        DeviceRecord *dev = FindDevice(DeviceObject);
        if (dev != nullptr && dev->busFilter && dev->stackPdo != nullptr && !DeviceIsDeleted(dev->stackPdo)) {
            std::string what = iodetail::DescribeDevice(DeviceObject) + ", a filter attached to " +
                               iodetail::DescribeDevice(dev->stackPdo) + " outside AddDevice, ";
            if (dev->attachedTo == nullptr)
                ReportFinding("BUS_FILTER_DETACHED_AT_REMOVE",
                              what + "detached at IRP_MN_REMOVE_DEVICE while that PDO lives");
            if (dev->deleted)
                ReportFinding("BUS_FILTER_DELETED_AT_REMOVE",
                              what + "deleted itself at IRP_MN_REMOVE_DEVICE while that PDO lives");
        }
    }

    if (status == STATUS_PENDING) {
        /* Completion may already have cleared (or freed) the location: what
         * it saw is in the record. Otherwise the mark may still come, from
         * the I/O manager passing a lower driver's mark up: decide when
         * completion reaches the location. */
        bool marked = rec->pendingMarked[location];
        if (!marked && rec->state != IrpState::Freed)
            marked = (LocationAt(Irp, location)->Control & SL_PENDING_RETURNED) != 0;
        if (!marked && rec->walkedPast[location])
            ReportPendingNotMarked(Irp, DeviceObject, location);
        else if (!marked)
            rec->awaitingMark[location] = true;
    }
    return status;
}

extern "C" VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    IrpRecord *rec = FindIrp(Irp);
    if (rec == nullptr)
        rec = AdoptIrp(Irp);
    if (rec->state == IrpState::Completed || rec->state == IrpState::Freed) {
        ReportFinding("IRP_COMPLETED_TWICE", "IofCompleteRequest on " + iodetail::DescribeIrp(Irp) + ", already " +
                                                 IrpStateName(rec->state) +
                                                 " (MULTIPLE_IRP_COMPLETE_REQUESTS)");
        return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        ReportFinding("COMPLETE_WITH_STATUS_PENDING",
                      "IofCompleteRequest on " + iodetail::DescribeIrp(Irp) + " with IoStatus.Status STATUS_PENDING");
        return;
    }
    const int top = Irp->StackCount + 1;
    bool removal = IsRemovalMinor(Irp);
    if (removal && !NT_SUCCESS(Irp->IoStatus.Status)) {
        PDEVICE_OBJECT by = nullptr;
        if (!iodetail::ActiveDriver(Irp, &by, nullptr) && Irp->CurrentLocation < top)
            by = Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
        ReportRemovalFailed(Irp, by, "completed");
    }
    rec->completions++;
    rec->holdAfterMoreProcessing = false;
    rec->state = IrpState::InFlight;

    while (Irp->CurrentLocation < top) {
        PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
        int location = Irp->CurrentLocation;
        Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) != 0;
        if (Irp->PendingReturned)
            rec->pendingMarked[location] = true;
        rec->walkedPast[location] = true;
        rec->walkedStatus[location] = Irp->IoStatus.Status;
        if (rec->awaitingMark[location]) {
            rec->awaitingMark[location] = false;
            if (!rec->pendingMarked[location])
                ReportPendingNotMarked(Irp, sp->DeviceObject, location);
        }
        /* Move up to the location of the driver that set this one's routine. */
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = (NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
                      (!NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_ERROR)) ||
                      (Irp->Cancel && (sp->Control & SL_INVOKE_ON_CANCEL));
        if (invoke && sp->CompletionRoutine != nullptr) {
            ClearLocation(sp);
            PDEVICE_OBJECT upper =
                Irp->CurrentLocation == top ? nullptr : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
            bool pendingReturned = Irp->PendingReturned;
            NTSTATUS before = Irp->IoStatus.Status;
            PushCall(Irp, upper, (int)Irp->CurrentLocation);
            rec->routinesRunning++;
            NTSTATUS result = sp->CompletionRoutine(upper, Irp, sp->Context);
            rec = FindIrp(Irp);
            rec->routinesRunning--;
            activeCalls.pop_back();
            CheckDueAttaches();
            if (result != STATUS_MORE_PROCESSING_REQUIRED && rec->state == IrpState::InFlight) {
                if (pendingReturned && Irp->CurrentLocation < top &&
                    !(Irp->Tail.Overlay.CurrentStackLocation->Control & SL_PENDING_RETURNED))
                    ReportFinding("PENDING_RETURNED_NOT_PROPAGATED",
                                  "a completion routine of " + iodetail::DescribeDevice(upper) + " returned " +
                                      iodetail::Hex((ULONG)result) + " for " + iodetail::DescribeIrp(Irp) +
                                      " with Irp->PendingReturned set, without IoMarkIrpPending");
                if (removal && NT_SUCCESS(before) && !NT_SUCCESS(Irp->IoStatus.Status))
                    ReportRemovalFailed(Irp, upper, "failed, in its completion routine,");
            }
            if (result == STATUS_MORE_PROCESSING_REQUIRED) {
                /* The request belongs to that driver again; it may have been
                 * completed or freed already inside the routine. */
                if (rec->state == IrpState::InFlight) {
                    rec->state = IrpState::MoreProcessing;
                    rec->holdAfterMoreProcessing = true;
                    rec->finalStatus = Irp->IoStatus.Status;
                }
                return;
            }
            if (rec->state != IrpState::InFlight) {
                ReportFinding("IRP_FREED_WITHOUT_MORE_PROCESSING",
                              "a completion routine of " + iodetail::DescribeDevice(upper) + " left " +
                                  iodetail::DescribeIrp(Irp) + " " + IrpStateName(rec->state) +
                                  " and returned " + iodetail::Hex((ULONG)result) +
                                  " instead of STATUS_MORE_PROCESSING_REQUIRED");
                return;
            }
        } else {
            /* No routine here: a pending mark travels up so the driver above
             * returns STATUS_PENDING consistently with its own location. */
            if (Irp->CurrentLocation < top && Irp->PendingReturned) {
                Irp->Tail.Overlay.CurrentStackLocation->Control |= SL_PENDING_RETURNED;
                rec->pendingMarked[Irp->CurrentLocation] = true;
            }
            ClearLocation(sp);
        }
    }
    rec->finalStatus = Irp->IoStatus.Status;
    FinishAtTop(Irp, *rec);
}

extern "C" VOID StandinIrpTouched(PIRP Irp, const char *What)
{
    IrpRecord *rec = FindIrp(Irp);
    if (rec == nullptr)
        return;
    if (rec->state == IrpState::Completed || rec->state == IrpState::Freed) {
        ReportFinding("IRP_TOUCHED_AFTER_COMPLETION", std::string(What) + " on " + iodetail::DescribeIrp(Irp) +
                                                          ", already " + IrpStateName(rec->state));
        return;
    }
    if (strcmp(What, "IoMarkIrpPending") == 0) {
        int location = Irp->CurrentLocation;
        if (location >= 0 && location < (int)rec->pendingMarked.size())
            rec->pendingMarked[location] = true;
    }
}
