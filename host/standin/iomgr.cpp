/*
 * iomgr.cpp - the I/O manager's records: the drivers, devices and requests it
 * made, the drivers running for a request now, the descriptions findings use,
 * the end-of-test check of what a test left behind, and the reset to a fresh
 * machine. Device objects and stacks are in iomgr_device.cpp, requests in
 * iomgr_irp.cpp; iomgr_records.h holds what they share.
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
#include "iomgr_records.h"

namespace standin {

namespace iorecords {

std::map<PDRIVER_OBJECT, std::unique_ptr<DriverBlock>> drivers;
std::map<PDEVICE_OBJECT, DeviceRecord> devices;
std::map<PVOID, LONG> references;
std::map<PDEVICE_OBJECT, DevicePropertyProvider> propertyProviders;
std::map<PIRP, IrpRecord> irps;
std::vector<ActiveCall> activeCalls;
uint64_t nextCallSerial = 0;
std::vector<PendingAttach> pendingAttaches;
std::vector<AddDeviceScope> addScopes;

NTSTATUS createDeviceStatus = STATUS_SUCCESS;
bool attachFails = false;
bool irpAllocationFails = false;
bool attachedReferenceFails = false;

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

PIO_STACK_LOCATION LocationAt(PIRP irp, int location)
{
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (location - 1);
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

} // namespace iorecords

using namespace iorecords;

namespace {

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
