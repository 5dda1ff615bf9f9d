// Every rule of the I/O manager, power manager, dispatcher and register
// windows, each shown catching its fault: one row per rule, a scenario that
// breaks it, and the finding it must produce.
#include <algorithm>

#include "iomgr_helpers.h"

using namespace iomgrtest;

namespace {

PDEVICE_OBJECT lowerDevice = nullptr;

struct Stack {
    PDEVICE_OBJECT pdo;
    PDEVICE_OBJECT fdo;
};

// A bus PDO with a filter device attached on top.
Stack BuildStack(Dispatch bus, Dispatch filter)
{
    Stack s;
    s.pdo = MakeDevice(MakeDriver("bus", std::move(bus)));
    s.fdo = MakeDevice(MakeDriver("filter", std::move(filter)));
    lowerDevice = IoAttachDeviceToDeviceStack(s.fdo, s.pdo);
    return s;
}

// The filter passes the request down untouched and returns the lower status.
NTSTATUS NTAPI PassOn(PDEVICE_OBJECT, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lowerDevice, irp);
}

void SendAndFree(PDEVICE_OBJECT top, PIRP irp)
{
    IoCallDriver(top, irp);
    IoFreeIrp(irp);
}

/* -------------------------------------------------------------- scenarios */

void NoStackLocationLeft()
{
    Stack s = BuildStack(CompleteWith(STATUS_SUCCESS), [](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        NTSTATUS status = IoCallDriver(lowerDevice, irp);
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    });
    PIRP irp = NewPnpIrp(s.pdo, IRP_MN_QUERY_ID); // one location: sized for the PDO alone
    SendAndFree(s.fdo, irp);
}

void CallIntoDeletedDevice()
{
    PDEVICE_OBJECT device = MakeDevice(MakeDriver("bus", CompleteWith(STATUS_SUCCESS)));
    IoDeleteDevice(device);
    PIRP irp = NewPnpIrp(device, IRP_MN_QUERY_ID);
    SendAndFree(device, irp);
}

void PropertyOfDeletedDevice()
{
    PDEVICE_OBJECT device = MakeDevice(MakeDriver("bus", CompleteWith(STATUS_SUCCESS)));
    IoDeleteDevice(device);
    ULONG value = 0, length = 0;
    IoGetDeviceProperty(device, DevicePropertyBusNumber, sizeof value, &value, &length);
}

void PendingReturnedUnmarked()
{
    PDEVICE_OBJECT pdo = MakeDevice(MakeDriver("bus", [](PDEVICE_OBJECT, PIRP irp) {
        standin::QueueDeferred([irp] {
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        });
        return STATUS_PENDING; // no IoMarkIrpPending
    }));
    PIRP irp = NewPnpIrp(pdo, IRP_MN_QUERY_ID);
    IoCallDriver(pdo, irp);
    standin::RunDeferred();
    IoFreeIrp(irp);
}

// A filter whose completion routine does not pass PendingReturned on, and
// whose dispatch routine returns the lower driver's STATUS_PENDING.
void RoutineDropsThePendingMark()
{
    Stack s = BuildStack(PendThenComplete(STATUS_SUCCESS), [](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        SetCompletion(irp, [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; });
        return IoCallDriver(lowerDevice, irp);
    });
    PIRP irp = NewPnpIrp(s.fdo, IRP_MN_QUERY_ID);
    IoCallDriver(s.fdo, irp);
    standin::RunDeferred();
    IoFreeIrp(irp);
}

void CompleteWithStatusPending()
{
    PDEVICE_OBJECT pdo = MakeDevice(MakeDriver("bus", [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_PENDING;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        irp->IoStatus.Status = STATUS_SUCCESS; // then the right way
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }));
    SendAndFree(pdo, NewPnpIrp(pdo, IRP_MN_QUERY_ID));
}

void CompleteTwice()
{
    PDEVICE_OBJECT pdo = MakeDevice(MakeDriver("bus", [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }));
    SendAndFree(pdo, NewPnpIrp(pdo, IRP_MN_QUERY_ID));
}

void TouchAfterPassingOn()
{
    Stack s = BuildStack(CompleteWith(STATUS_SUCCESS), [](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(lowerDevice, irp);
        IoGetCurrentIrpStackLocation(irp); // the request is no longer ours
        return status;
    });
    SendAndFree(s.fdo, NewPnpIrp(s.fdo, IRP_MN_QUERY_ID));
}

void SendCompletedRequestAgain()
{
    PDEVICE_OBJECT pdo = MakeDevice(MakeDriver("bus", CompleteWith(STATUS_SUCCESS)));
    PIRP irp = NewPnpIrp(pdo, IRP_MN_QUERY_ID);
    IoCallDriver(pdo, irp);
    IoCallDriver(pdo, irp); // without ReuseIrp
    IoFreeIrp(irp);
}

void HoldAfterMoreProcessing()
{
    Stack s = BuildStack(CompleteWith(STATUS_SUCCESS), [](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        SetCompletion(irp, [](PDEVICE_OBJECT, PIRP) { return STATUS_MORE_PROCESSING_REQUIRED; });
        return IoCallDriver(lowerDevice, irp); // and never completes it
    });
    PIRP irp = NewPnpIrp(s.fdo, IRP_MN_QUERY_ID);
    IoCallDriver(s.fdo, irp);
    standin::CheckIoLeftovers();
}

void SynchronousNeverCompleted()
{
    static KEVENT event;
    static IO_STATUS_BLOCK iosb;
    PDEVICE_OBJECT pdo = MakeDevice(MakeDriver("bus", [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        return STATUS_PENDING; // and forgets the request
    }));
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, pdo, nullptr, 0, nullptr, &event, &iosb);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoCallDriver(pdo, irp);
    standin::CheckIoLeftovers();
}

void DeleteUnderAnAttachedDevice()
{
    Stack s = BuildStack(CompleteWith(STATUS_SUCCESS), PassOn);
    IoDeleteDevice(s.pdo);
}

void DeleteWithoutDetach()
{
    Stack s = BuildStack(CompleteWith(STATUS_SUCCESS), PassOn);
    IoDeleteDevice(s.fdo);
}

void DeleteTwice()
{
    PDEVICE_OBJECT device = MakeDevice(MakeDriver("bus", CompleteWith(STATUS_SUCCESS)));
    IoDeleteDevice(device);
    IoDeleteDevice(device);
}

void DetachNothing()
{
    PDEVICE_OBJECT device = MakeDevice(MakeDriver("bus", CompleteWith(STATUS_SUCCESS)));
    IoDetachDevice(device);
}

void DereferenceTooOften()
{
    Stack s = BuildStack(CompleteWith(STATUS_SUCCESS), PassOn);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(s.pdo);
    ObDereferenceObject(top);
    ObDereferenceObject(top);
}

void ReferenceNeverDropped()
{
    Stack s = BuildStack(CompleteWith(STATUS_SUCCESS), PassOn);
    IoGetAttachedDeviceReference(s.pdo);
    standin::CheckIoLeftovers();
}

void DestroyDriverWithDevices()
{
    PDRIVER_OBJECT driver = MakeDriver("bus", CompleteWith(STATUS_SUCCESS));
    MakeDevice(driver);
    standin::DestroyDriverObject(driver);
}

void NoDispatchRoutine()
{
    PDRIVER_OBJECT driver = MakeDriver("bus", CompleteWith(STATUS_SUCCESS));
    driver->MajorFunction[IRP_MJ_PNP] = nullptr;
    PDEVICE_OBJECT pdo = MakeDevice(driver);
    PIRP irp = NewPnpIrp(pdo, IRP_MN_QUERY_ID);
    IoCallDriver(pdo, irp);
}

void WaitAtDispatchLevel()
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    standin::SetIrql(DISPATCH_LEVEL);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    standin::SetIrql(PASSIVE_LEVEL);
}

void WaitForever()
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
}

void WaitOnUninitializedEvent()
{
    KEVENT event;
    memset(&event, 0, sizeof event);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
}

void PowerWithoutStartNext()
{
    Stack s = BuildStack(CompleteWith(STATUS_SUCCESS), [](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lowerDevice, irp);
    });
    SendAndFree(s.fdo, NewPowerIrp(s.fdo, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3));
}

void PowerStartNextTwice()
{
    Stack s = BuildStack(CompleteWith(STATUS_SUCCESS), [](PDEVICE_OBJECT, PIRP irp) {
        PoStartNextPowerIrp(irp);
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lowerDevice, irp);
    });
    SendAndFree(s.fdo, NewPowerIrp(s.fdo, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3));
}

void PowerWithIoCallDriver()
{
    Stack s = BuildStack(CompleteWith(STATUS_SUCCESS), [](PDEVICE_OBJECT, PIRP irp) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(lowerDevice, irp);
    });
    SendAndFree(s.fdo, NewPowerIrp(s.fdo, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3));
}

void RegisterWindow()
{
    standin::RegisterMmioWindow(
        0xFEB00000, 0x1000, [](uint32_t, int) { return 0u; }, [](uint32_t, int, uint32_t) {});
}

void MappingNeverUnmapped()
{
    RegisterWindow();
    PHYSICAL_ADDRESS phys;
    phys.QuadPart = 0xFEB00000;
    MmMapIoSpace(phys, 0x1000, MmNonCached);
    standin::CheckIoLeftovers();
}

void UnmapUnknown()
{
    static ULONG notMapped;
    MmUnmapIoSpace(&notMapped, sizeof notMapped);
}

void UnmapWrongLength()
{
    RegisterWindow();
    PHYSICAL_ADDRESS phys;
    phys.QuadPart = 0xFEB00000;
    PVOID base = MmMapIoSpace(phys, 0x1000, MmNonCached);
    MmUnmapIoSpace(base, 0x800);
}

void RegisterOutsideMapping()
{
    ULONG plain = 0;
    READ_REGISTER_ULONG(&plain);
}

void RegisterAfterUnmap()
{
    RegisterWindow();
    PHYSICAL_ADDRESS phys;
    phys.QuadPart = 0xFEB00000;
    PUCHAR base = static_cast<PUCHAR>(MmMapIoSpace(phys, 0x1000, MmNonCached));
    MmUnmapIoSpace(base, 0x1000);
    WRITE_REGISTER_UCHAR(base + 0x83D, 0xC0);
}

void FreeTwice()
{
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoFreeIrp(irp);
    IoFreeIrp(irp);
}

void FreeSynchronousRequest()
{
    static KEVENT event;
    static IO_STATUS_BLOCK iosb;
    PDEVICE_OBJECT pdo = MakeDevice(MakeDriver("bus", CompleteWith(STATUS_SUCCESS)));
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, pdo, nullptr, 0, nullptr, &event, &iosb);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoFreeIrp(irp);
    IoCallDriver(pdo, irp); // still completes and is freed by the I/O manager
}

void FreeWhileBelow()
{
    PDEVICE_OBJECT pdo = MakeDevice(MakeDriver("bus", PendThenComplete(STATUS_SUCCESS)));
    PIRP irp = NewPnpIrp(pdo, IRP_MN_QUERY_ID);
    IoCallDriver(pdo, irp);
    IoFreeIrp(irp); // the bus still has it
    standin::RunDeferred();
    IoFreeIrp(irp);
}

void PnpStatusNotPreset()
{
    PDEVICE_OBJECT pdo = MakeDevice(MakeDriver("bus", CompleteWith(STATUS_SUCCESS)));
    PIRP irp = NewPnpIrp(pdo, IRP_MN_QUERY_ID);
    irp->IoStatus.Status = STATUS_SUCCESS;
    SendAndFree(pdo, irp);
}

void RoutineFreesWithoutMoreProcessing()
{
    PDEVICE_OBJECT pdo = MakeDevice(MakeDriver("bus", CompleteWith(STATUS_SUCCESS)));
    PIRP irp = NewPnpIrp(pdo, IRP_MN_QUERY_ID);
    SetCompletion(irp, [](PDEVICE_OBJECT, PIRP irp) {
        IoFreeIrp(irp);
        return STATUS_SUCCESS;
    });
    IoCallDriver(pdo, irp);
}

void UnmodelledSynchronousRequest()
{
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    PDEVICE_OBJECT pdo = MakeDevice(MakeDriver("bus", CompleteWith(STATUS_SUCCESS)));
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoBuildSynchronousFsdRequest(IRP_MJ_READ, pdo, nullptr, 0, nullptr, &event, &iosb);
}

/* ------------------------------------------------------------------ table */

struct FaultRow {
    const char *name;
    void (*scenario)();
    const char *rule;
};

const FaultRow kFaults[] = {
    {"NoStackLocationLeft", NoStackLocationLeft, "NO_MORE_STACK_LOCATIONS"},
    {"CallIntoDeletedDevice", CallIntoDeletedDevice, "CALL_INTO_DELETED_DEVICE"},
    {"PropertyOfDeletedDevice", PropertyOfDeletedDevice, "CALL_INTO_DELETED_DEVICE"},
    {"PendingReturnedUnmarked", PendingReturnedUnmarked, "PENDING_NOT_MARKED"},
    {"RoutineDropsThePendingMark", RoutineDropsThePendingMark, "PENDING_NOT_MARKED"},
    {"CompleteWithStatusPending", CompleteWithStatusPending, "COMPLETE_WITH_STATUS_PENDING"},
    {"CompleteTwice", CompleteTwice, "IRP_COMPLETED_TWICE"},
    {"TouchAfterPassingOn", TouchAfterPassingOn, "IRP_TOUCHED_AFTER_COMPLETION"},
    {"SendCompletedRequestAgain", SendCompletedRequestAgain, "IRP_TOUCHED_AFTER_COMPLETION"},
    {"HoldAfterMoreProcessing", HoldAfterMoreProcessing, "IRP_NEVER_COMPLETED_AFTER_MORE_PROCESSING"},
    {"SynchronousNeverCompleted", SynchronousNeverCompleted, "SYNCHRONOUS_IRP_NEVER_COMPLETED"},
    {"DeleteUnderAnAttachedDevice", DeleteUnderAnAttachedDevice, "DELETE_WITH_ATTACHED_DEVICE"},
    {"DeleteWithoutDetach", DeleteWithoutDetach, "DELETE_WHILE_ATTACHED"},
    {"DeleteTwice", DeleteTwice, "DEVICE_DELETED_TWICE"},
    {"DetachNothing", DetachNothing, "DETACH_WITH_NOTHING_ATTACHED"},
    {"DereferenceTooOften", DereferenceTooOften, "DEREFERENCE_BELOW_ZERO"},
    {"ReferenceNeverDropped", ReferenceNeverDropped, "REFERENCE_LEAKED"},
    {"DestroyDriverWithDevices", DestroyDriverWithDevices, "DRIVER_DESTROYED_WITH_DEVICES"},
    {"NoDispatchRoutine", NoDispatchRoutine, "NO_DISPATCH_ROUTINE"},
    {"WaitAtDispatchLevel", WaitAtDispatchLevel, "WAIT_AT_DISPATCH_LEVEL"},
    {"WaitForever", WaitForever, "DEADLOCK_WAIT"},
    {"WaitOnUninitializedEvent", WaitOnUninitializedEvent, "WAIT_ON_UNINITIALIZED_EVENT"},
    {"PowerWithoutStartNext", PowerWithoutStartNext, "POWER_IRP_PASSED_WITHOUT_START_NEXT"},
    {"PowerStartNextTwice", PowerStartNextTwice, "START_NEXT_POWER_IRP_TWICE"},
    {"PowerWithIoCallDriver", PowerWithIoCallDriver, "POWER_IRP_PASSED_WITH_IOCALLDRIVER"},
    {"MappingNeverUnmapped", MappingNeverUnmapped, "MAPPING_LEAKED"},
    {"UnmapUnknown", UnmapUnknown, "UNMAP_OF_UNKNOWN_ADDRESS"},
    {"UnmapWrongLength", UnmapWrongLength, "UNMAP_WITH_WRONG_LENGTH"},
    {"RegisterOutsideMapping", RegisterOutsideMapping, "REGISTER_ACCESS_OUTSIDE_MAPPING"},
    {"RegisterAfterUnmap", RegisterAfterUnmap, "REGISTER_ACCESS_OUTSIDE_MAPPING"},
    {"FreeTwice", FreeTwice, "IRP_FREED_TWICE"},
    {"FreeSynchronousRequest", FreeSynchronousRequest, "SYNCHRONOUS_IRP_FREED_BY_DRIVER"},
    {"FreeWhileBelow", FreeWhileBelow, "IRP_FREED_WHILE_IN_USE"},
    {"PnpStatusNotPreset", PnpStatusNotPreset, "PNP_IRP_STATUS_NOT_PRESET"},
    {"RoutineFreesWithoutMoreProcessing", RoutineFreesWithoutMoreProcessing, "IRP_FREED_WITHOUT_MORE_PROCESSING"},
    {"UnmodelledSynchronousRequest", UnmodelledSynchronousRequest, "UNMODELLED_SYNCHRONOUS_REQUEST"},
};

class Faults : public IoTest, public ::testing::WithParamInterface<FaultRow> {};

TEST_P(Faults, RuleCatchesItsFault)
{
    const FaultRow &row = GetParam();
    Capture();
    row.scenario();
    standin::CheckIoLeftovers();
    std::vector<std::string> rules = Captured();
    ASSERT_FALSE(rules.empty()) << row.name << ": expected " << row.rule << ", nothing was found";
    EXPECT_EQ(rules.front(), row.rule) << row.name << ": findings " << Join(rules);
    EXPECT_EQ(std::count(rules.begin(), rules.end(), row.rule), 1) << row.name << ": findings " << Join(rules);
}

INSTANTIATE_TEST_SUITE_P(Rows, Faults, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<FaultRow> &info) { return std::string(info.param.name); });

/* -------------------------------------------------- what the reports say */

class FaultReports : public IoTest {};

TEST_F(FaultReports, DeadlockNamesTheEventAndTheWorkThatRan)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    standin::QueueDeferred([] {}, "bus finishes READ_CONFIG");
    Capture();
    NTSTATUS status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    std::vector<std::string> rules = Captured();
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    ASSERT_EQ(rules, (std::vector<std::string>{"DEADLOCK_WAIT"}));
    std::string detail = CapturedDetails("DEADLOCK_WAIT")[0];
    char address[32];
    snprintf(address, sizeof address, "0x%llx", (unsigned long long)(uintptr_t)&event);
    EXPECT_NE(detail.find(address), std::string::npos) << detail;
    EXPECT_NE(detail.find("synchronization event"), std::string::npos) << detail;
    EXPECT_NE(detail.find("[bus finishes READ_CONFIG]"), std::string::npos) << detail;
}

TEST_F(FaultReports, TouchReportNamesTheRoutineUsed)
{
    Capture();
    TouchAfterPassingOn();
    Captured();
    std::vector<std::string> details = CapturedDetails("IRP_TOUCHED_AFTER_COMPLETION");
    ASSERT_EQ(details.size(), 1u);
    EXPECT_EQ(details[0].rfind("IoGetCurrentIrpStackLocation on IRP 0x", 0), 0u) << details[0];
    EXPECT_NE(details[0].find("already completed"), std::string::npos) << details[0];
}

TEST_F(FaultReports, PendingNotMarkedNamesTheDriverAndLocation)
{
    Capture();
    PendingReturnedUnmarked();
    Captured();
    std::vector<std::string> details = CapturedDetails("PENDING_NOT_MARKED");
    ASSERT_EQ(details.size(), 1u);
    EXPECT_NE(details[0].find("of driver bus"), std::string::npos) << details[0];
    EXPECT_NE(details[0].find("stack location 1"), std::string::npos) << details[0];
}

TEST_F(FaultReports, WaitWithTimeOutTimesOutInsteadOfDeadlocking)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10000;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), (NTSTATUS)0x102);
    timeout.QuadPart = 0;
    standin::SetIrql(DISPATCH_LEVEL);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), (NTSTATUS)0x102)
        << "a zero time-out only polls, which is allowed at DISPATCH_LEVEL";
    standin::SetIrql(PASSIVE_LEVEL);
}

} // namespace
