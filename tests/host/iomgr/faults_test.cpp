// Every rule of the I/O manager, power manager, dispatcher and register
// windows, each shown catching its fault: one row per rule, a scenario that
// breaks it, and the finding it must produce.
#include <algorithm>

#include "iomgr_helpers.h"

using namespace iomgrtest;

namespace {

void SendAndFree(PDEVICE_OBJECT top, PIRP irp)
{
    IoCallDriver(top, irp);
    IoFreeIrp(irp);
}

// A bus PDO whose every request runs `dispatch`.
PDEVICE_OBJECT Bus(Dispatch dispatch = CompleteWith(STATUS_SUCCESS))
{
    return MakeDevice(MakeDriver("bus", std::move(dispatch)));
}

PDEVICE_OBJECT DeletedBus()
{
    PDEVICE_OBJECT device = Bus();
    IoDeleteDevice(device);
    return device;
}

void SendToBus(Dispatch dispatch)
{
    PDEVICE_OBJECT pdo = Bus(std::move(dispatch));
    SendAndFree(pdo, NewPnpIrp(pdo));
}

// A set-power request through a filter that starts the next power request
// `starts` times and passes it on with PoCallDriver or IoCallDriver.
template <int starts, bool viaIoCallDriver> void SendPowerThrough()
{
    Stack s = BuildStack(CompleteWith(STATUS_SUCCESS), [](PDEVICE_OBJECT, PIRP irp) {
        for (int i = 0; i < starts; i++)
            PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return viaIoCallDriver ? IoCallDriver(lower, irp) : PoCallDriver(lower, irp);
    });
    SendAndFree(s.fdo, NewPowerIrp(s.fdo, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3));
}

PVOID MapWindow()
{
    standin::RegisterMmioWindow(
        0xFEB00000, 0x1000, [](uint32_t, int) { return 0u; }, [](uint32_t, int, uint32_t) {});
    PHYSICAL_ADDRESS phys;
    phys.QuadPart = 0xFEB00000;
    return MmMapIoSpace(phys, 0x1000, MmNonCached);
}

KEVENT event;
IO_STATUS_BLOCK iosb;
ULONG plain; // memory that is no register window

PIRP SynchronousRequest(PDEVICE_OBJECT pdo, UCHAR major = IRP_MJ_PNP)
{
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(major, pdo, nullptr, 0, nullptr, &event, &iosb);
    if (irp != nullptr)
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    return irp;
}

void Wait(EVENT_TYPE type, BOOLEAN signalled, KIRQL irql)
{
    KeInitializeEvent(&event, type, signalled);
    standin::SetIrql(irql);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    standin::SetIrql(PASSIVE_LEVEL);
}

// The filter passes the request on without completion routine and touches it afterwards.
NTSTATUS NTAPI TouchAfterPassingOn(PDEVICE_OBJECT, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    IoGetCurrentIrpStackLocation(irp); // the request is no longer ours
    return status;
}

// The bus returns STATUS_PENDING without IoMarkIrpPending.
NTSTATUS NTAPI PendUnmarked(PDEVICE_OBJECT, PIRP irp)
{
    standin::QueueDeferred([irp] { irp->IoStatus.Status = STATUS_SUCCESS; IoCompleteRequest(irp, IO_NO_INCREMENT); });
    return STATUS_PENDING;
}

void SendPendingThrough(PDEVICE_OBJECT top)
{
    PIRP irp = NewPnpIrp(top);
    IoCallDriver(top, irp);
    standin::RunDeferred();
    IoFreeIrp(irp);
}

// An upper filter's AddDevice, right but for one thing, called by the PnP
// manager for a PDO with DO_POWER_PAGABLE and DO_BUFFERED_IO.
enum AddFault { kRight, kKeepInitializing, kDropPowerPagable, kDropBufferedIo, kBufferedAndDirect, kOwnDeviceType };

template <AddFault fault> NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT device = nullptr;
    DEVICE_TYPE type = fault == kOwnDeviceType ? FILE_DEVICE_UNKNOWN : pdo->DeviceType;
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, type, 0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    PDEVICE_OBJECT below = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags |= below->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    if (fault == kDropPowerPagable)
        device->Flags &= ~DO_POWER_PAGABLE;
    if (fault == kDropBufferedIo)
        device->Flags &= ~DO_BUFFERED_IO;
    if (fault == kBufferedAndDirect)
        device->Flags |= DO_DIRECT_IO;
    if (fault != kKeepInitializing)
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

template <AddFault fault> PDEVICE_OBJECT CallAddDevice(standin::AddDeviceRole role = standin::AddDeviceRole::UpperFilter)
{
    PDEVICE_OBJECT pdo = Bus();
    pdo->Flags |= DO_POWER_PAGABLE | DO_BUFFERED_IO;
    PDRIVER_OBJECT filter = MakeDriver("filter", PassOn);
    filter->DriverExtension->AddDevice = FilterAddDevice<fault>;
    EXPECT_EQ(standin::CallAddDevice(filter, pdo, role), STATUS_SUCCESS);
    lower = pdo;
    return pdo;
}

struct FaultRow {
    const char *name;
    void (*scenario)();
    const char *rule;
};

const FaultRow kFaults[] = {
    {"NoStackLocationLeft", [] {
         Stack s = BuildStack(CompleteWith(STATUS_SUCCESS), [](PDEVICE_OBJECT, PIRP irp) {
             IoCopyCurrentIrpStackLocationToNext(irp);
             NTSTATUS status = IoCallDriver(lower, irp);
             irp->IoStatus.Status = status;
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             return status;
         });
         SendAndFree(s.fdo, NewPnpIrp(s.pdo)); // one location: sized for the PDO alone
     }, "NO_MORE_STACK_LOCATIONS"},
    {"CallIntoDeletedDevice", [] {
         PDEVICE_OBJECT device = DeletedBus();
         SendAndFree(device, NewPnpIrp(device));
     }, "CALL_INTO_DELETED_DEVICE"},
    {"PropertyOfDeletedDevice", [] {
         ULONG value = 0, length = 0;
         IoGetDeviceProperty(DeletedBus(), DevicePropertyBusNumber, sizeof value, &value, &length);
     }, "CALL_INTO_DELETED_DEVICE"},
    {"PendingReturnedUnmarked", [] { SendPendingThrough(Bus(PendUnmarked)); }, "PENDING_NOT_MARKED"},
    // A completion routine that does not pass PendingReturned on (and its
    // dispatch routine then returns the lower driver's STATUS_PENDING unmarked).
    {"RoutineDropsThePendingMark", [] {
         Stack s = BuildStack(PendThenComplete(STATUS_SUCCESS), [](PDEVICE_OBJECT, PIRP irp) {
             IoCopyCurrentIrpStackLocationToNext(irp);
             SetCompletion(irp, [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; });
             return IoCallDriver(lower, irp);
         });
         SendPendingThrough(s.fdo);
     }, "PENDING_RETURNED_NOT_PROPAGATED"},
    {"ReturnsOtherThanCompleted", [] {
         SendToBus([](PDEVICE_OBJECT, PIRP irp) {
             irp->IoStatus.Status = STATUS_SUCCESS;
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             return STATUS_UNSUCCESSFUL;
         });
     }, "DISPATCH_STATUS_MISMATCH"},
    {"NeitherPassedNorCompleted", [] {
         PDEVICE_OBJECT pdo = Bus([](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; });
         IoCallDriver(pdo, NewPnpIrp(pdo, IRP_MN_QUERY_CAPABILITIES));
     }, "IRP_NEITHER_PASSED_NOR_COMPLETED"},
    {"DetachAtSurpriseRemoval", [] {
         Stack s = BuildStack(CompleteWith(STATUS_SUCCESS), [](PDEVICE_OBJECT, PIRP irp) {
             IoSkipCurrentIrpStackLocation(irp);
             NTSTATUS status = IoCallDriver(lower, irp);
             IoDetachDevice(lower);
             return status;
         });
         SendAndFree(s.fdo, NewPnpIrp(s.fdo, IRP_MN_SURPRISE_REMOVAL));
     }, "DETACH_AT_SURPRISE_REMOVAL"},
    {"DeleteAtSurpriseRemoval", [] {
         Stack s = BuildStack(CompleteWith(STATUS_SUCCESS), [](PDEVICE_OBJECT device, PIRP irp) {
             IoSkipCurrentIrpStackLocation(irp);
             NTSTATUS status = IoCallDriver(lower, irp);
             IoDeleteDevice(device);
             return status;
         });
         SendAndFree(s.fdo, NewPnpIrp(s.fdo, IRP_MN_SURPRISE_REMOVAL));
     }, "DELETE_AT_SURPRISE_REMOVAL"},
    {"RemoveDeviceFailed", [] {
         PDEVICE_OBJECT pdo = Bus(CompleteWith(STATUS_UNSUCCESSFUL));
         SendAndFree(pdo, NewPnpIrp(pdo, IRP_MN_REMOVE_DEVICE));
     }, "REMOVAL_FAILED"},
    {"SurpriseRemovalFailedOnTheWayUp", [] {
         Stack s = BuildStack(CompleteWith(STATUS_SUCCESS), [](PDEVICE_OBJECT, PIRP irp) {
             IoCopyCurrentIrpStackLocationToNext(irp);
             SetCompletion(irp, [](PDEVICE_OBJECT, PIRP irp) {
                 irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
                 return STATUS_SUCCESS;
             });
             IoCallDriver(lower, irp);
             return STATUS_UNSUCCESSFUL;
         });
         SendAndFree(s.fdo, NewPnpIrp(s.fdo, IRP_MN_SURPRISE_REMOVAL));
     }, "REMOVAL_FAILED"},
    {"ConfigurationRequestAtDispatchLevel", [] {
         PDEVICE_OBJECT pdo = Bus();
         standin::SetIrql(DISPATCH_LEVEL);
         PIRP irp = NewPnpIrp(pdo, IRP_MN_READ_CONFIG);
         IoCallDriver(pdo, irp);
         standin::SetIrql(PASSIVE_LEVEL);
         IoFreeIrp(irp);
     }, "IRP_SENT_AT_WRONG_IRQL"},
    {"SynchronousRequestAtDispatchLevel", [] {
         PDEVICE_OBJECT pdo = Bus();
         standin::SetIrql(DISPATCH_LEVEL);
         PIRP irp = SynchronousRequest(pdo);
         standin::SetIrql(PASSIVE_LEVEL);
         IoCallDriver(pdo, irp);
     }, "SYNCHRONOUS_REQUEST_ABOVE_PASSIVE"},
    {"AddDeviceLeavesInitializing", [] { CallAddDevice<kKeepInitializing>(); }, "DEVICE_INITIALIZING_NOT_CLEARED"},
    {"BusFilterLeavesInitializing", [] {
         PDEVICE_OBJECT pdo = Bus();
         PDEVICE_OBJECT filter = nullptr;
         IoCreateDevice(MakeDriver("filter", CompleteWith(0)), 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &filter);
         IoAttachDeviceToDeviceStack(filter, pdo); // outside AddDevice, never made ready
     }, "DEVICE_INITIALIZING_NOT_CLEARED"},
    {"FilterNotPowerPagable", [] { CallAddDevice<kDropPowerPagable>(); }, "POWER_PAGABLE_NOT_INHERITED"},
    {"FilterWithoutBufferedIo", [] { CallAddDevice<kDropBufferedIo>(); }, "IO_FLAGS_NOT_INHERITED"},
    {"FilterBufferedAndDirect", [] { CallAddDevice<kBufferedAndDirect>(); }, "BUFFERED_AND_DIRECT_IO"},
    {"FilterOfAnotherType", [] { CallAddDevice<kOwnDeviceType>(); }, "DEVICE_TYPE_NOT_INHERITED"},
    {"CompleteWithStatusPending", [] {
         SendToBus([](PDEVICE_OBJECT, PIRP irp) {
             irp->IoStatus.Status = STATUS_PENDING;
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             irp->IoStatus.Status = STATUS_SUCCESS; // then the right way
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             return STATUS_SUCCESS;
         });
     }, "COMPLETE_WITH_STATUS_PENDING"},
    {"CompleteTwice", [] {
         SendToBus([](PDEVICE_OBJECT, PIRP irp) {
             irp->IoStatus.Status = STATUS_SUCCESS;
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             return STATUS_SUCCESS;
         });
     }, "IRP_COMPLETED_TWICE"},
    {"TouchAfterPassingOn", [] {
         Stack s = BuildStack(CompleteWith(STATUS_SUCCESS), TouchAfterPassingOn);
         SendAndFree(s.fdo, NewPnpIrp(s.fdo));
     }, "IRP_TOUCHED_AFTER_COMPLETION"},
    {"SendCompletedRequestAgain", [] {
         PDEVICE_OBJECT pdo = Bus();
         PIRP irp = NewPnpIrp(pdo);
         IoCallDriver(pdo, irp);
         SendAndFree(pdo, irp); // without ReuseIrp
     }, "IRP_TOUCHED_AFTER_COMPLETION"},
    {"HoldAfterMoreProcessing", [] {
         Stack s = BuildStack(CompleteWith(STATUS_SUCCESS), [](PDEVICE_OBJECT, PIRP irp) {
             IoCopyCurrentIrpStackLocationToNext(irp);
             SetCompletion(irp, [](PDEVICE_OBJECT, PIRP) { return STATUS_MORE_PROCESSING_REQUIRED; });
             IoMarkIrpPending(irp);
             IoCallDriver(lower, irp);
             return STATUS_PENDING; // and never completes it
         });
         IoCallDriver(s.fdo, NewPnpIrp(s.fdo));
         standin::CheckIoLeftovers();
     }, "IRP_NEVER_COMPLETED_AFTER_MORE_PROCESSING"},
    {"SynchronousNeverCompleted", [] {
         PDEVICE_OBJECT pdo = Bus([](PDEVICE_OBJECT, PIRP irp) {
             IoMarkIrpPending(irp);
             return STATUS_PENDING; // and forgets the request
         });
         IoCallDriver(pdo, SynchronousRequest(pdo));
         standin::CheckIoLeftovers();
     }, "SYNCHRONOUS_IRP_NEVER_COMPLETED"},
    {"DeleteUnderAnAttachedDevice", [] { IoDeleteDevice(BuildStack(CompleteWith(0), PassOn).pdo); },
     "DELETE_WITH_ATTACHED_DEVICE"},
    {"DeleteWithoutDetach", [] { IoDeleteDevice(BuildStack(CompleteWith(0), PassOn).fdo); }, "DELETE_WHILE_ATTACHED"},
    {"DeleteTwice", [] { IoDeleteDevice(DeletedBus()); }, "DEVICE_DELETED_TWICE"},
    {"DetachNothing", [] { IoDetachDevice(Bus()); }, "DETACH_WITH_NOTHING_ATTACHED"},
    {"DereferenceTooOften", [] {
         PDEVICE_OBJECT top = IoGetAttachedDeviceReference(BuildStack(CompleteWith(0), PassOn).pdo);
         ObDereferenceObject(top);
         ObDereferenceObject(top);
     }, "DEREFERENCE_BELOW_ZERO"},
    {"ReferenceNeverDropped", [] { IoGetAttachedDeviceReference(BuildStack(CompleteWith(0), PassOn).pdo); },
     "REFERENCE_LEAKED"},
    {"DestroyDriverWithDevices", [] { standin::DestroyDriverObject(Bus()->DriverObject); },
     "DRIVER_DESTROYED_WITH_DEVICES"},
    {"NoDispatchRoutine", [] {
         PDEVICE_OBJECT pdo = Bus();
         pdo->DriverObject->MajorFunction[IRP_MJ_PNP] = nullptr;
         IoCallDriver(pdo, NewPnpIrp(pdo));
     }, "NO_DISPATCH_ROUTINE"},
    {"WaitAtDispatchLevel", [] { Wait(NotificationEvent, TRUE, DISPATCH_LEVEL); }, "WAIT_AT_DISPATCH_LEVEL"},
    {"WaitForever", [] { Wait(NotificationEvent, FALSE, PASSIVE_LEVEL); }, "DEADLOCK_WAIT"},
    {"WaitOnUninitializedEvent", [] {
         memset(&event, 0, sizeof event);
         KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
     }, "WAIT_ON_UNINITIALIZED_EVENT"},
    {"PowerWithoutStartNext", SendPowerThrough<0, false>, "POWER_IRP_PASSED_WITHOUT_START_NEXT"},
    {"PowerStartNextTwice", SendPowerThrough<2, false>, "START_NEXT_POWER_IRP_TWICE"},
    {"PowerWithIoCallDriver", SendPowerThrough<1, true>, "POWER_IRP_PASSED_WITH_IOCALLDRIVER"},
    {"MappingNeverUnmapped", [] { MapWindow(); }, "MAPPING_LEAKED"}, // the leftover check finds it
    {"UnmapUnknown", [] { MmUnmapIoSpace(&plain, sizeof plain); }, "UNMAP_OF_UNKNOWN_ADDRESS"},
    {"UnmapWrongLength", [] { MmUnmapIoSpace(MapWindow(), 0x800); }, "UNMAP_WITH_WRONG_LENGTH"},
    {"RegisterOutsideMapping", [] { READ_REGISTER_ULONG(&plain); }, "REGISTER_ACCESS_OUTSIDE_MAPPING"},
    {"RegisterAfterUnmap", [] {
         PUCHAR base = static_cast<PUCHAR>(MapWindow());
         MmUnmapIoSpace(base, 0x1000);
         WRITE_REGISTER_UCHAR(base + 0x83D, 0xC0);
     }, "REGISTER_ACCESS_OUTSIDE_MAPPING"},
    {"FreeTwice", [] { PIRP irp = IoAllocateIrp(1, FALSE); IoFreeIrp(irp); IoFreeIrp(irp); }, "IRP_FREED_TWICE"},
    {"FreeSynchronousRequest", [] {
         PDEVICE_OBJECT pdo = Bus();
         PIRP irp = SynchronousRequest(pdo);
         IoFreeIrp(irp);
         IoCallDriver(pdo, irp); // still completes and is freed by the I/O manager
     }, "SYNCHRONOUS_IRP_FREED_BY_DRIVER"},
    {"FreeWhileBelow", [] {
         PDEVICE_OBJECT pdo = Bus(PendThenComplete(STATUS_SUCCESS));
         PIRP irp = NewPnpIrp(pdo);
         IoCallDriver(pdo, irp);
         IoFreeIrp(irp); // the bus still has it
         standin::RunDeferred();
         IoFreeIrp(irp);
     }, "IRP_FREED_WHILE_IN_USE"},
    {"PnpStatusNotPreset", [] {
         PDEVICE_OBJECT pdo = Bus();
         PIRP irp = NewPnpIrp(pdo);
         irp->IoStatus.Status = STATUS_SUCCESS;
         SendAndFree(pdo, irp);
     }, "PNP_IRP_STATUS_NOT_PRESET"},
    {"RoutineFreesWithoutMoreProcessing", [] {
         PDEVICE_OBJECT pdo = Bus();
         PIRP irp = NewPnpIrp(pdo);
         SetCompletion(irp, [](PDEVICE_OBJECT, PIRP irp) { IoFreeIrp(irp); return STATUS_SUCCESS; });
         IoCallDriver(pdo, irp);
     }, "IRP_FREED_WITHOUT_MORE_PROCESSING"},
    {"UnmodelledSynchronousRequest", [] { SynchronousRequest(Bus(), IRP_MJ_READ); },
     "UNMODELLED_SYNCHRONOUS_REQUEST"},
    {"ReuseWhileBelow", [] {
         PDEVICE_OBJECT pdo = Bus(PendThenComplete(STATUS_SUCCESS));
         PIRP irp = NewPnpIrp(pdo);
         IoCallDriver(pdo, irp);
         standin::ReuseIrp(irp, STATUS_NOT_SUPPORTED); // the bus still has it
         standin::RunDeferred();
         IoFreeIrp(irp);
     }, "IRP_REUSED_WHILE_IN_USE"},
    {"FreeUnknownIrp", [] {
         static IRP madeByHand;
         IoFreeIrp(&madeByHand);
     }, "FREE_OF_UNKNOWN_IRP"},
    {"DeleteUnknownDevice", [] {
         static DEVICE_OBJECT madeByHand;
         IoDeleteDevice(&madeByHand);
     }, "DELETE_OF_UNKNOWN_DEVICE"},
};

class Faults : public IoTest, public ::testing::WithParamInterface<FaultRow> {};

TEST_P(Faults, RuleCatchesItsFault)
{
    const FaultRow &row = GetParam();
    Capture();
    row.scenario();
    standin::CheckIoLeftovers();
    std::vector<std::string> rules = Captured();
    std::string found = ::testing::PrintToString(rules);
    ASSERT_FALSE(rules.empty()) << row.name << ": expected " << row.rule << ", nothing was found";
    EXPECT_EQ(rules.front(), row.rule) << row.name << ": findings " << found;
    EXPECT_EQ(std::count(rules.begin(), rules.end(), row.rule), 1) << row.name << ": findings " << found;
}

INSTANTIATE_TEST_SUITE_P(Rows, Faults, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<FaultRow> &info) { return std::string(info.param.name); });

/* ---------------------------------------------- the checks stay quiet */

class QuietChecks : public IoTest {};

// The same stacks done right raise nothing: a function driver need not look
// like its PDO, a filter that copies what it must is fine, a status returned
// as completed and STATUS_PENDING with the request marked are both right.
TEST_F(QuietChecks, RightDriversRaiseNothing)
{
    CallAddDevice<kRight>();
    CallAddDevice<kOwnDeviceType>(standin::AddDeviceRole::Function);
    PDEVICE_OBJECT pdo = Bus(PendThenComplete(STATUS_UNSUCCESSFUL));
    SendPendingThrough(pdo);
    Stack s = BuildStack(PendThenComplete(STATUS_SUCCESS), [](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        SetCompletion(irp, [](PDEVICE_OBJECT, PIRP irp) {
            if (irp->PendingReturned)
                IoMarkIrpPending(irp);
            return STATUS_SUCCESS;
        });
        return IoCallDriver(lower, irp);
    });
    SendPendingThrough(s.fdo);
    EXPECT_TRUE(standin::AcceptedFindings().empty());
}

// A filter attached to a PDO outside AddDevice that detaches and deletes
// itself at IRP_MN_REMOVE_DEVICE while the PDO stays: Driver Verifier's
// 0x222/0x223. The rule fires; Tolmu's child filters do this by design, so it
// is an accepted divergence: recorded with its reason, not a failure. The
// same filter given to AddDevice, or removed with its PDO, raises nothing.
TEST_F(QuietChecks, BusFilterRemovedWhilePdoLivesIsAnAcceptedDivergence)
{
    auto removeThrough = [](PDEVICE_OBJECT pdo, PDEVICE_OBJECT top, bool pdoGoes) {
        static bool deletePdo;
        deletePdo = pdoGoes;
        dispatchers[pdo->DriverObject] = [pdo](PDEVICE_OBJECT, PIRP irp) {
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            if (deletePdo)
                IoDeleteDevice(pdo);
            return STATUS_SUCCESS;
        };
        dispatchers[top->DriverObject] = [pdo](PDEVICE_OBJECT device, PIRP irp) {
            IoSkipCurrentIrpStackLocation(irp);
            NTSTATUS status = IoCallDriver(pdo, irp);
            IoDetachDevice(pdo);
            IoDeleteDevice(device);
            return status;
        };
        SendAndFree(top, NewPnpIrp(top, IRP_MN_REMOVE_DEVICE));
    };
    Stack s = BuildStack(CompleteWith(0), PassOn); // attached outside AddDevice
    removeThrough(s.pdo, s.fdo, false);
    std::vector<std::string> rules;
    for (const standin::Finding &f : standin::AcceptedFindings()) {
        rules.push_back(f.rule);
        EXPECT_EQ(f.detail.rfind("accepted divergence (driver design", 0), 0u) << f.detail;
    }
    EXPECT_EQ(rules, (std::vector<std::string>{"BUS_FILTER_DETACHED_AT_REMOVE", "BUS_FILTER_DELETED_AT_REMOVE"}));
    EXPECT_TRUE(standin::Findings().empty());

    standin::ClearFindings();
    PDEVICE_OBJECT pdo = CallAddDevice<kRight>();
    removeThrough(pdo, pdo->AttachedDevice, false);
    s = BuildStack(CompleteWith(0), PassOn);
    removeThrough(s.pdo, s.fdo, true);
    EXPECT_TRUE(standin::AcceptedFindings().empty());
}

/* -------------------------------------------------- what the reports say */

class FaultReports : public IoTest {};

TEST_F(FaultReports, DeadlockNamesTheEventAndTheWorkThatRan)
{
    KEVENT sync;
    KeInitializeEvent(&sync, SynchronizationEvent, FALSE);
    standin::QueueDeferred([] {}, "bus finishes READ_CONFIG");
    Capture();
    EXPECT_EQ(KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, nullptr), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(Captured(), (std::vector<std::string>{"DEADLOCK_WAIT"}));
    std::string detail = Captured("DEADLOCK_WAIT")[0];
    char address[32];
    snprintf(address, sizeof address, "0x%llx", (unsigned long long)(uintptr_t)&sync);
    for (const char *part : {(const char *)address, "synchronization event", "[bus finishes READ_CONFIG]"})
        EXPECT_NE(detail.find(part), std::string::npos) << part << " in " << detail;
}

TEST_F(FaultReports, ReportsNameTheRoutineDriverAndLocation)
{
    Capture();
    Stack s = BuildStack(CompleteWith(STATUS_SUCCESS), TouchAfterPassingOn);
    SendAndFree(s.fdo, NewPnpIrp(s.fdo));
    SendPendingThrough(Bus(PendUnmarked));
    Captured();
    std::vector<std::string> touched = Captured("IRP_TOUCHED_AFTER_COMPLETION");
    ASSERT_EQ(touched.size(), 1u);
    EXPECT_EQ(touched[0].rfind("IoGetCurrentIrpStackLocation on IRP 0x", 0), 0u) << touched[0];
    EXPECT_NE(touched[0].find("already completed"), std::string::npos) << touched[0];
    std::vector<std::string> pending = Captured("PENDING_NOT_MARKED");
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_NE(pending[0].find("of driver bus"), std::string::npos) << pending[0];
    EXPECT_NE(pending[0].find("stack location 1"), std::string::npos) << pending[0];
}

TEST_F(FaultReports, WaitWithTimeOutTimesOutInsteadOfDeadlocking)
{
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10000;
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &timeout), (NTSTATUS)0x102);
    timeout.QuadPart = 0;
    standin::SetIrql(DISPATCH_LEVEL);
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &timeout), (NTSTATUS)0x102)
        << "a zero time-out only polls, which is allowed at DISPATCH_LEVEL";
    standin::SetIrql(PASSIVE_LEVEL);
}

} // namespace
