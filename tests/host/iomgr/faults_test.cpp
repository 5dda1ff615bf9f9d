// The I/O manager, power manager, dispatcher and register windows of the
// stand-in: every rule shown catching its fault (one row per rule, a scenario
// that breaks it and the finding it must produce; the rows are named in
// docs/verifier-rules.md). Completion itself is tested through the driver:
// its starts and configuration requests wait on STATUS_MORE_PROCESSING_REQUIRED
// (pended or not), and its power-up routine runs on success only.
#include <algorithm>
#include <functional>
#include <list>
#include <map>

#include "../standin/standin_test_util.h"
#include "iomgr.h"

namespace {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>; // also a completion routine

std::map<PDRIVER_OBJECT, Dispatch> dispatchers;
std::list<Dispatch> routines;
PDEVICE_OBJECT lower = nullptr; // what the filter of the last BuildStack attached to

NTSTATUS NTAPI Trampoline(PDEVICE_OBJECT device, PIRP irp)
{
    return dispatchers.at(device->DriverObject)(device, irp);
}

NTSTATUS NTAPI CompletionTrampoline(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    return (*static_cast<Dispatch *>(context))(device, irp);
}

// A driver object whose every major function runs `dispatch`.
PDRIVER_OBJECT MakeDriver(const std::string &name, Dispatch dispatch)
{
    PDRIVER_OBJECT driver = standin::CreateDriverObject(name);
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        driver->MajorFunction[i] = Trampoline;
    dispatchers[driver] = std::move(dispatch);
    return driver;
}

// A device of the driver, DO_DEVICE_INITIALIZING cleared as AddDevice would.
PDEVICE_OBJECT MakeDevice(PDRIVER_OBJECT driver)
{
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, 16, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &device), STATUS_SUCCESS);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

// IoSetCompletionRoutine in the request's next location, running `routine`.
void SetCompletion(PIRP irp, Dispatch routine)
{
    routines.push_back(std::move(routine));
    IoSetCompletionRoutine(irp, CompletionTrampoline, &routines.back(), TRUE, TRUE, TRUE);
}

// A bottom (bus) driver that completes at once.
Dispatch CompleteWith(NTSTATUS status)
{
    return [status](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    };
}

// Marks the request pending, queues its completion with `status` as deferred
// work and returns STATUS_PENDING.
Dispatch PendThenComplete(NTSTATUS status)
{
    return [status](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        standin::QueueDeferred([irp, status] { CompleteWith(status)(nullptr, irp); }, "bus completes the request");
        return STATUS_PENDING;
    };
}

// A filter that skips its location and passes the request to `lower`.
NTSTATUS NTAPI PassOn(PDEVICE_OBJECT, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

// A bus PDO with a filter device attached on top.
struct Stack {
    PDEVICE_OBJECT pdo, fdo;
};
Stack BuildStack(Dispatch bus, Dispatch filter)
{
    Stack s{MakeDevice(MakeDriver("bus", std::move(bus))), MakeDevice(MakeDriver("filter", std::move(filter)))};
    lower = IoAttachDeviceToDeviceStack(s.fdo, s.pdo);
    EXPECT_EQ(lower, s.pdo);
    return s;
}

// A request for the stack under `top`: a PnP one with the status the PnP
// manager presets, or a power one setting D3.
PIRP NewIrp(PDEVICE_OBJECT top, UCHAR minor, UCHAR major = IRP_MJ_PNP)
{
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->MinorFunction = minor;
    sp->Parameters.Power.Type = DevicePowerState;
    sp->Parameters.Power.State.DeviceState = PowerDeviceD3;
    if (major == IRP_MJ_PNP) // (the power parameters mean nothing to it)
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    return irp;
}
PIRP NewPnpIrp(PDEVICE_OBJECT top, UCHAR minor = IRP_MN_QUERY_ID) { return NewIrp(top, minor); }

// Every test starts on a fresh stand-in and ends with the leftover checks.
class IoTest : public testsupport::DriverTest {
  protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        dispatchers.clear();
        routines.clear();
    }
    void TearDown() override
    {
        standin::CheckIoLeftovers();
        DriverTest::TearDown();
    }
};

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

// A PnP request of the given minor code through a filter that passes it on
// and then does `after`, over a bus that completes it.
void ThroughFilter(void (*after)(PDEVICE_OBJECT, PIRP), UCHAR minor = IRP_MN_QUERY_ID)
{
    Stack s = BuildStack(CompleteWith(STATUS_SUCCESS), [after](PDEVICE_OBJECT device, PIRP irp) {
        NTSTATUS status = PassOn(device, irp);
        after(device, irp);
        return status;
    });
    SendAndFree(s.fdo, NewPnpIrp(s.fdo, minor));
}

// A PnP request to a bus PDO alone, its status preset as given.
void SendToBus(Dispatch dispatch, bool free = true, UCHAR minor = IRP_MN_QUERY_ID,
               NTSTATUS preset = STATUS_NOT_SUPPORTED)
{
    PDEVICE_OBJECT pdo = Bus(std::move(dispatch));
    PIRP irp = NewPnpIrp(pdo, minor);
    irp->IoStatus.Status = preset;
    IoCallDriver(pdo, irp);
    if (free)
        IoFreeIrp(irp);
}

// A request the bus has pended, handed to `act` before the bus completes it.
void WhileTheBusHasIt(void (*act)(PIRP))
{
    PDEVICE_OBJECT pdo = Bus(PendThenComplete(STATUS_SUCCESS));
    PIRP irp = NewPnpIrp(pdo);
    IoCallDriver(pdo, irp);
    act(irp);
    standin::RunDeferred();
    IoFreeIrp(irp);
}

// A bus that completes the request with `first`, then with STATUS_SUCCESS again.
Dispatch CompleteTwice(NTSTATUS first)
{
    return [first](PDEVICE_OBJECT, PIRP irp) {
        CompleteWith(first)(nullptr, irp);
        return CompleteWith(STATUS_SUCCESS)(nullptr, irp);
    };
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
    SendAndFree(s.fdo, NewIrp(s.fdo, IRP_MN_SET_POWER, IRP_MJ_POWER));
}

PVOID MapWindow()
{
    standin::RegisterMmioWindow(0xFEB00000, 0x1000, [](uint32_t, int) { return 0u; }, [](uint32_t, int, uint32_t) {});
    return MmMapIoSpace(PHYSICAL_ADDRESS{{0xFEB00000, 0}}, 0x1000, MmNonCached);
}

KEVENT event, never; // never: never initialised
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

void Wait(BOOLEAN signalled, KIRQL irql)
{
    KeInitializeEvent(&event, NotificationEvent, signalled);
    standin::SetIrql(irql);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    standin::SetIrql(PASSIVE_LEVEL);
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
enum AddFault { kKeepInitializing, kDropPowerPagable, kDropBufferedIo, kBufferedAndDirect, kOwnDeviceType };

template <AddFault fault> NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(driver, 0, nullptr, fault == kOwnDeviceType ? FILE_DEVICE_UNKNOWN : pdo->DeviceType, 0, FALSE,
                   &device);
    device->Flags |= IoAttachDeviceToDeviceStack(device, pdo)->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE);
    device->Flags &= ~(fault == kDropPowerPagable ? DO_POWER_PAGABLE : fault == kDropBufferedIo ? DO_BUFFERED_IO : 0);
    device->Flags |= fault == kBufferedAndDirect ? DO_DIRECT_IO : 0;
    if (fault != kKeepInitializing)
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

template <AddFault fault>
PDEVICE_OBJECT CallAddDevice(standin::AddDeviceRole role = standin::AddDeviceRole::UpperFilter)
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
             return CompleteWith(IoCallDriver(lower, irp))(nullptr, irp);
         });
         SendAndFree(s.fdo, NewPnpIrp(s.pdo)); // one location: sized for the PDO alone
     }, "NO_MORE_STACK_LOCATIONS"},
    {"CallIntoDeletedDevice", [] { PDEVICE_OBJECT d = DeletedBus(); SendAndFree(d, NewPnpIrp(d)); },
     "CALL_INTO_DELETED_DEVICE"},
    {"PendingReturnedUnmarked", [] {
         SendPendingThrough(Bus([](PDEVICE_OBJECT, PIRP irp) {
             standin::QueueDeferred([irp] { CompleteWith(STATUS_SUCCESS)(nullptr, irp); });
             return STATUS_PENDING; // without IoMarkIrpPending
         }));
     }, "PENDING_NOT_MARKED"},
    // A completion routine that does not pass PendingReturned on.
    {"RoutineDropsThePendingMark", [] {
         Stack s = BuildStack(PendThenComplete(STATUS_SUCCESS), [](PDEVICE_OBJECT, PIRP irp) {
             IoCopyCurrentIrpStackLocationToNext(irp);
             SetCompletion(irp, [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; });
             return IoCallDriver(lower, irp);
         });
         SendPendingThrough(s.fdo);
     }, "PENDING_RETURNED_NOT_PROPAGATED"},
    {"ReturnsOtherThanCompleted", [] {
         SendToBus([](PDEVICE_OBJECT, PIRP irp) { CompleteWith(0)(nullptr, irp); return STATUS_UNSUCCESSFUL; });
     }, "DISPATCH_STATUS_MISMATCH"},
    {"NeitherPassedNorCompleted", [] { SendToBus([](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; }, false); },
     "IRP_NEITHER_PASSED_NOR_COMPLETED"},
    {"DetachAtSurpriseRemoval",
     [] { ThroughFilter([](PDEVICE_OBJECT, PIRP) { IoDetachDevice(lower); }, IRP_MN_SURPRISE_REMOVAL); },
     "DETACH_AT_SURPRISE_REMOVAL"},
    {"DeleteAtSurpriseRemoval",
     [] { ThroughFilter([](PDEVICE_OBJECT device, PIRP) { IoDeleteDevice(device); }, IRP_MN_SURPRISE_REMOVAL); },
     "DELETE_AT_SURPRISE_REMOVAL"},
    {"RemoveDeviceFailed", [] { SendToBus(CompleteWith(STATUS_UNSUCCESSFUL), true, IRP_MN_REMOVE_DEVICE); },
     "REMOVAL_FAILED"},
    {"ConfigurationRequestAtDispatchLevel", [] {
         PDEVICE_OBJECT pdo = Bus();
         PIRP irp = NewPnpIrp(pdo, IRP_MN_READ_CONFIG);
         standin::SetIrql(DISPATCH_LEVEL);
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
         PDEVICE_OBJECT filter = MakeDevice(MakeDriver("filter", CompleteWith(0)));
         filter->Flags |= DO_DEVICE_INITIALIZING;
         IoAttachDeviceToDeviceStack(filter, Bus()); // outside AddDevice, never made ready
     }, "DEVICE_INITIALIZING_NOT_CLEARED"},
    {"FilterNotPowerPagable", [] { CallAddDevice<kDropPowerPagable>(); }, "POWER_PAGABLE_NOT_INHERITED"},
    {"FilterWithoutBufferedIo", [] { CallAddDevice<kDropBufferedIo>(); }, "IO_FLAGS_NOT_INHERITED"},
    {"FilterBufferedAndDirect", [] { CallAddDevice<kBufferedAndDirect>(); }, "BUFFERED_AND_DIRECT_IO"},
    {"FilterOfAnotherType", [] { CallAddDevice<kOwnDeviceType>(); }, "DEVICE_TYPE_NOT_INHERITED"},
    {"CompleteWithStatusPending", [] { SendToBus(CompleteTwice(STATUS_PENDING)); }, "COMPLETE_WITH_STATUS_PENDING"},
    {"CompleteTwice", [] { SendToBus(CompleteTwice(STATUS_SUCCESS)); }, "IRP_COMPLETED_TWICE"},
    {"TouchAfterPassingOn", [] { ThroughFilter([](PDEVICE_OBJECT, PIRP irp) { IoGetCurrentIrpStackLocation(irp); }); },
     "IRP_TOUCHED_AFTER_COMPLETION"},
    {"HoldAfterMoreProcessing", [] {
         Stack s = BuildStack(CompleteWith(STATUS_SUCCESS), [](PDEVICE_OBJECT, PIRP irp) {
             IoCopyCurrentIrpStackLocationToNext(irp);
             SetCompletion(irp, [](PDEVICE_OBJECT, PIRP) { return STATUS_MORE_PROCESSING_REQUIRED; });
             IoMarkIrpPending(irp);
             IoCallDriver(lower, irp);
             return STATUS_PENDING; // and never completes it
         });
         IoCallDriver(s.fdo, NewPnpIrp(s.fdo));
     }, "IRP_NEVER_COMPLETED_AFTER_MORE_PROCESSING"},
    {"SynchronousNeverCompleted", [] {
         PDEVICE_OBJECT pdo = Bus([](PDEVICE_OBJECT, PIRP irp) { IoMarkIrpPending(irp); return STATUS_PENDING; });
         IoCallDriver(pdo, SynchronousRequest(pdo)); // the bus forgets the request
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
    {"WaitAtDispatchLevel", [] { Wait(TRUE, DISPATCH_LEVEL); }, "WAIT_AT_DISPATCH_LEVEL"},
    {"WaitForever", [] { Wait(FALSE, PASSIVE_LEVEL); }, "DEADLOCK_WAIT"},
    {"WaitOnUninitializedEvent", [] { KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr); },
     "WAIT_ON_UNINITIALIZED_EVENT"},
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
    {"FreeWhileBelow", [] { WhileTheBusHasIt([](PIRP irp) { IoFreeIrp(irp); }); }, "IRP_FREED_WHILE_IN_USE"},
    {"PnpStatusNotPreset", [] { SendToBus(CompleteWith(STATUS_SUCCESS), true, IRP_MN_QUERY_ID, STATUS_SUCCESS); },
     "PNP_IRP_STATUS_NOT_PRESET"},
    {"RoutineFreesWithoutMoreProcessing", [] {
         PDEVICE_OBJECT pdo = Bus();
         PIRP irp = NewPnpIrp(pdo);
         SetCompletion(irp, [](PDEVICE_OBJECT, PIRP irp) { IoFreeIrp(irp); return STATUS_SUCCESS; });
         IoCallDriver(pdo, irp);
     }, "IRP_FREED_WITHOUT_MORE_PROCESSING"},
    {"UnmodelledSynchronousRequest", [] { SynchronousRequest(Bus(), IRP_MJ_READ); },
     "UNMODELLED_SYNCHRONOUS_REQUEST"},
    {"ReuseWhileBelow", [] { WhileTheBusHasIt([](PIRP irp) { standin::ReuseIrp(irp, STATUS_NOT_SUPPORTED); }); },
     "IRP_REUSED_WHILE_IN_USE"},
    {"FreeUnknownIrp", [] { static IRP madeByHand; IoFreeIrp(&madeByHand); }, "FREE_OF_UNKNOWN_IRP"},
    {"DeleteUnknownDevice", [] { static DEVICE_OBJECT madeByHand; IoDeleteDevice(&madeByHand); },
     "DELETE_OF_UNKNOWN_DEVICE"},
};

class Faults : public IoTest, public ::testing::WithParamInterface<FaultRow> {};

TEST_P(Faults, RuleCatchesItsFault)
{
    const FaultRow &row = GetParam();
    standintest::FindingCatcher catcher;
    row.scenario();
    standin::CheckIoLeftovers();
    standin::ClearFindings();
    const std::vector<std::string> &rules = catcher.rules; // the rule first, and once
    EXPECT_TRUE(!rules.empty() && rules.front() == row.rule && std::count(rules.begin(), rules.end(), row.rule) == 1)
        << row.name << ": expected " << row.rule << ", found " << ::testing::PrintToString(rules);
}

INSTANTIATE_TEST_SUITE_P(Rows, Faults, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<FaultRow> &info) { return std::string(info.param.name); });

} // namespace
