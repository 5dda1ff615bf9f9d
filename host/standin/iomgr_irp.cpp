/*
 * iomgr_irp.cpp - the I/O manager's requests and their stack locations:
 * allocated, built, passed down by IofCallDriver and walked back up by
 * IofCompleteRequest the way the Windows I/O manager does it, with the I/O
 * verification rules checked where they apply (iomgr.h lists them).
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "internal.h"
#include "iomgr.h"
#include "iomgr_records.h"

namespace standin {

using namespace iorecords;

namespace {

constexpr CSHORT kIoTypeIrp = 6;

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

} // namespace standin

using namespace standin;
using namespace standin::iorecords;

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

/* IofCallDriver's checks, each named for the rule it enforces, in the order
 * the I/O manager meets them: the refusals before the request moves down
 * (each returns the status the call then fails with, STATUS_SUCCESS to go
 * on), the rules of the request as it is sent, then the rules of what the
 * dispatch routine did with it. */

/* IRP_TOUCHED_AFTER_COMPLETION: a request sent again after completion
 * reached the top (or after it was freed). */
static NTSTATUS RefuseIrpTouchedAfterCompletion(PDEVICE_OBJECT device, PIRP irp, const IrpRecord &rec)
{
    if (rec.state != IrpState::Completed && rec.state != IrpState::Freed)
        return STATUS_SUCCESS;
    ReportFinding("IRP_TOUCHED_AFTER_COMPLETION", "IofCallDriver to " + iodetail::DescribeDevice(device) + " with " +
                                                      iodetail::DescribeIrp(irp) + ", already " +
                                                      IrpStateName(rec.state));
    return STATUS_INVALID_DEVICE_REQUEST;
}

/* CALL_INTO_DELETED_DEVICE: a request sent to a device IoDeleteDevice took. */
static NTSTATUS RefuseCallIntoDeletedDevice(PDEVICE_OBJECT device, PIRP irp)
{
    if (!DeviceIsDeleted(device))
        return STATUS_SUCCESS;
    RefuseDeletedDevice(device, ("IofCallDriver with " + iodetail::DescribeIrp(irp)).c_str());
    return STATUS_DEVICE_REMOVED;
}

/* NO_MORE_STACK_LOCATIONS: no location left below the current one (Windows
 * stops the machine with NO_MORE_IRP_STACK_LOCATIONS). */
static NTSTATUS RefuseNoMoreStackLocations(PDEVICE_OBJECT device, PIRP irp)
{
    if (irp->CurrentLocation > 1)
        return STATUS_SUCCESS;
    ReportFinding("NO_MORE_STACK_LOCATIONS", "IofCallDriver to " + iodetail::DescribeDevice(device) + " with " +
                                                 iodetail::DescribeIrp(irp) +
                                                 ": no stack location left (NO_MORE_IRP_STACK_LOCATIONS)");
    return STATUS_INSUFFICIENT_RESOURCES;
}

/* IRP_SENT_AT_WRONG_IRQL: a PnP request above PASSIVE_LEVEL, any request
 * above DISPATCH_LEVEL. */
static void CheckIrpSentAtRightIrql(PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION next)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL || (next->MajorFunction == IRP_MJ_PNP && irql > PASSIVE_LEVEL))
        ReportFinding("IRP_SENT_AT_WRONG_IRQL", iodetail::DescribeIrp(irp) + " sent to " +
                                                    iodetail::DescribeDevice(device) + " at IRQL " +
                                                    std::to_string(irql) +
                                                    (next->MajorFunction == IRP_MJ_PNP
                                                         ? "; PnP requests are sent at PASSIVE_LEVEL"
                                                         : "; no request is sent above DISPATCH_LEVEL"));
}

/* PNP_IRP_STATUS_NOT_PRESET: a PnP request's first trip down starts with
 * IoStatus.Status STATUS_NOT_SUPPORTED. */
static void CheckPnpIrpStatusPreset(PIRP irp, const IrpRecord &rec, PIO_STACK_LOCATION next)
{
    if (!rec.everSent && next->MajorFunction == IRP_MJ_PNP && irp->IoStatus.Status != STATUS_NOT_SUPPORTED)
        ReportFinding("PNP_IRP_STATUS_NOT_PRESET", iodetail::DescribeIrp(irp) + " sent with IoStatus.Status " +
                                                       iodetail::Hex((ULONG)irp->IoStatus.Status) +
                                                       ", not STATUS_NOT_SUPPORTED");
}

/* The power request rules of a driver passing a power request on
 * (PoStartNextPowerIrp first, then PoCallDriver; power.cpp). */
static void CheckPowerIrpPassedOn(PIRP irp, PIO_STACK_LOCATION next, bool viaPoCallDriver)
{
    PDEVICE_OBJECT from = nullptr;
    if (next->MajorFunction == IRP_MJ_POWER && iodetail::ActiveDriver(irp, &from, nullptr))
        iodetail::CheckPowerPassOn(irp, from, viaPoCallDriver);
}

/* NO_DISPATCH_ROUTINE: the target's driver has no routine for the major
 * function. */
static NTSTATUS RefuseNoDispatchRoutine(PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION next)
{
    PDRIVER_OBJECT driver = device->DriverObject;
    UCHAR major = next->MajorFunction;
    if (driver != nullptr && major <= IRP_MJ_MAXIMUM_FUNCTION && driver->MajorFunction[major] != nullptr)
        return STATUS_SUCCESS;
    ReportFinding("NO_DISPATCH_ROUTINE", iodetail::DescribeIrp(irp) + " sent to " + iodetail::DescribeDevice(device) +
                                             ", which has no dispatch routine for it");
    return STATUS_INVALID_DEVICE_REQUEST;
}

/* Every check made before the request moves down, in order; the first
 * refusal ends them. */
static NTSTATUS RefuseBeforeDispatch(PDEVICE_OBJECT device, PIRP irp, const IrpRecord &rec, bool viaPoCallDriver)
{
    NTSTATUS refusal = RefuseIrpTouchedAfterCompletion(device, irp, rec);
    if (refusal == STATUS_SUCCESS)
        refusal = RefuseCallIntoDeletedDevice(device, irp);
    if (refusal == STATUS_SUCCESS)
        refusal = RefuseNoMoreStackLocations(device, irp);
    if (refusal != STATUS_SUCCESS)
        return refusal;
    PIO_STACK_LOCATION next = irp->Tail.Overlay.CurrentStackLocation - 1;
    CheckDueAttaches();
    CheckIrpSentAtRightIrql(device, irp, next);
    CheckPnpIrpStatusPreset(irp, rec, next);
    CheckPowerIrpPassedOn(irp, next, viaPoCallDriver);
    return RefuseNoDispatchRoutine(device, irp, next);
}

/* A request at the location its dispatch routine got it at, with the
 * function that location carried when the routine was called. */
struct DispatchedRequest {
    PDEVICE_OBJECT device;
    PIRP irp;
    int location;
    UCHAR major, minor;
};

/* Move the request down one location onto the device and run the device's
 * dispatch routine for it. */
static NTSTATUS RunDispatchRoutine(const DispatchedRequest &d, IrpRecord &rec)
{
    PIO_STACK_LOCATION next = d.irp->Tail.Overlay.CurrentStackLocation;
    rec.everSent = true;
    rec.state = IrpState::InFlight;
    rec.holdAfterMoreProcessing = false;
    rec.pendingMarked[d.location] = (next->Control & SL_PENDING_RETURNED) != 0;
    rec.walkedPast[d.location] = false;
    rec.awaitingMark[d.location] = false;
    PushCall(d.irp, d.device, d.location);
    NTSTATUS status = d.device->DriverObject->MajorFunction[d.major](d.device, d.irp);
    activeCalls.pop_back();
    CheckDueAttaches();
    return status;
}

static DispatchedRequest MoveDownOneLocation(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION next = irp->Tail.Overlay.CurrentStackLocation - 1;
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation = next;
    next->DeviceObject = device;
    return DispatchedRequest{device, irp, irp->CurrentLocation, next->MajorFunction, next->MinorFunction};
}

/* IRP_NEITHER_PASSED_NOR_COMPLETED: the dispatch routine returned (not
 * STATUS_PENDING) before completion walked past its location. */
static void CheckIrpPassedOrCompleted(const DispatchedRequest &d, const IrpRecord &rec, NTSTATUS status)
{
    if (status != STATUS_PENDING && !rec.walkedPast[d.location])
        ReportFinding("IRP_NEITHER_PASSED_NOR_COMPLETED",
                      "the dispatch routine of " + iodetail::DescribeDevice(d.device) + " returned " +
                          iodetail::Hex((ULONG)status) + " for " + iodetail::DescribeIrp(d.irp) +
                          " without completing it or passing it down (or without returning STATUS_PENDING)");
}

/* DISPATCH_STATUS_MISMATCH: the dispatch routine returned another status than
 * completion carried past its location. */
static void CheckDispatchStatusMatches(const DispatchedRequest &d, const IrpRecord &rec, NTSTATUS status)
{
    if (status != STATUS_PENDING && rec.walkedPast[d.location] && status != rec.walkedStatus[d.location])
        ReportFinding("DISPATCH_STATUS_MISMATCH", "the dispatch routine of " + iodetail::DescribeDevice(d.device) +
                                                      " returned " + iodetail::Hex((ULONG)status) + " for " +
                                                      iodetail::DescribeIrp(d.irp) + ", completed with IoStatus.Status " +
                                                      iodetail::Hex((ULONG)rec.walkedStatus[d.location]));
}

/* BUS_FILTER_DETACHED_AT_REMOVE, BUS_FILTER_DELETED_AT_REMOVE: a filter
 * attached outside AddDevice left its PDO's stack at IRP_MN_REMOVE_DEVICE
 * while that PDO lives. */
static void CheckBusFilterKeptAtRemove(const DispatchedRequest &d)
{
    if (d.major != IRP_MJ_PNP || d.minor != IRP_MN_REMOVE_DEVICE)
        return;
    DeviceRecord *dev = FindDevice(d.device);
    if (dev == nullptr || !dev->busFilter || dev->stackPdo == nullptr || DeviceIsDeleted(dev->stackPdo))
        return;
    std::string what = iodetail::DescribeDevice(d.device) + ", a filter attached to " +
                       iodetail::DescribeDevice(dev->stackPdo) + " outside AddDevice, ";
    if (dev->attachedTo == nullptr)
        ReportFinding("BUS_FILTER_DETACHED_AT_REMOVE", what + "detached at IRP_MN_REMOVE_DEVICE while that PDO lives");
    if (dev->deleted)
        ReportFinding("BUS_FILTER_DELETED_AT_REMOVE", what + "deleted itself at IRP_MN_REMOVE_DEVICE while that PDO lives");
}

/* PENDING_NOT_MARKED: STATUS_PENDING returned without the location marked
 * pending. Completion may already have cleared (or freed) the location: what
 * it saw is in the record. Otherwise the mark may still come, from the I/O
 * manager passing a lower driver's mark up: decided when completion reaches
 * the location. */
static void CheckPendingMarked(const DispatchedRequest &d, IrpRecord &rec, NTSTATUS status)
{
    if (status != STATUS_PENDING)
        return;
    bool marked = rec.pendingMarked[d.location];
    if (!marked && rec.state != IrpState::Freed)
        marked = (LocationAt(d.irp, d.location)->Control & SL_PENDING_RETURNED) != 0;
    if (!marked && rec.walkedPast[d.location])
        ReportPendingNotMarked(d.irp, d.device, d.location);
    else if (!marked)
        rec.awaitingMark[d.location] = true;
}

extern "C" NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    bool viaPoCallDriver = iodetail::TakePoCallDriverMark();
    IrpRecord *rec = FindIrp(Irp);
    if (rec == nullptr)
        rec = AdoptIrp(Irp);
    NTSTATUS refusal = RefuseBeforeDispatch(DeviceObject, Irp, *rec, viaPoCallDriver);
    if (refusal != STATUS_SUCCESS)
        return refusal;
    DispatchedRequest d = MoveDownOneLocation(DeviceObject, Irp);
    NTSTATUS status = RunDispatchRoutine(d, *rec);
    rec = FindIrp(Irp);
    CheckIrpPassedOrCompleted(d, *rec, status);
    CheckDispatchStatusMatches(d, *rec, status);
    CheckBusFilterKeptAtRemove(d);
    CheckPendingMarked(d, *rec, status);
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
