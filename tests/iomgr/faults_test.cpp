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
    // A completion routine that does not pass PendingReturned on, under a
    // dispatch routine that returns the lower driver's STATUS_PENDING.
    {"RoutineDropsThePendingMark", [] {
         Stack s = BuildStack(PendThenComplete(STATUS_SUCCESS), [](PDEVICE_OBJECT, PIRP irp) {
             IoCopyCurrentIrpStackLocationToNext(irp);
             SetCompletion(irp, [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; });
             return IoCallDriver(lower, irp);
         });
         SendPendingThrough(s.fdo);
     }, "PENDING_NOT_MARKED"},
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
             return IoCallDriver(lower, irp); // and never completes it
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
