// Every rule of the I/O manager, power manager, dispatcher and register
// windows, each shown catching its fault: one row per rule, a scenario that
// breaks it, and the finding it must produce. The rows are named in
// docs/verifier-rules.md.
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

// A PnP request of the given minor code through a filter over a bus that completes.
void ThroughFilter(Dispatch filter, UCHAR minor = IRP_MN_QUERY_ID)
{
    Stack s = BuildStack(CompleteWith(STATUS_SUCCESS), std::move(filter));
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

void AtDispatch(const std::function<void()> &call)
{
    standin::SetIrql(DISPATCH_LEVEL);
    call();
    standin::SetIrql(PASSIVE_LEVEL);
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
    SendAndFree(s.fdo, NewSetPowerIrp(s.fdo));
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
enum AddFault { kRight, kKeepInitializing, kDropPowerPagable, kDropBufferedIo, kBufferedAndDirect, kOwnDeviceType };

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
         SendToBus([](PDEVICE_OBJECT, PIRP irp) { CompleteWith(0)(nullptr, irp); return STATUS_UNSUCCESSFUL; });
     }, "DISPATCH_STATUS_MISMATCH"},
    {"NeitherPassedNorCompleted", [] { SendToBus([](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; }, false); },
     "IRP_NEITHER_PASSED_NOR_COMPLETED"},
    {"DetachAtSurpriseRemoval", [] {
         ThroughFilter([](PDEVICE_OBJECT, PIRP irp) {
             NTSTATUS status = PassOn(nullptr, irp);
             IoDetachDevice(lower);
             return status;
         }, IRP_MN_SURPRISE_REMOVAL);
     }, "DETACH_AT_SURPRISE_REMOVAL"},
    {"DeleteAtSurpriseRemoval", [] {
         ThroughFilter([](PDEVICE_OBJECT device, PIRP irp) {
             NTSTATUS status = PassOn(device, irp);
             IoDeleteDevice(device);
             return status;
         }, IRP_MN_SURPRISE_REMOVAL);
     }, "DELETE_AT_SURPRISE_REMOVAL"},
    {"RemoveDeviceFailed", [] { SendToBus(CompleteWith(STATUS_UNSUCCESSFUL), true, IRP_MN_REMOVE_DEVICE); },
     "REMOVAL_FAILED"},
    {"ConfigurationRequestAtDispatchLevel", [] {
         PDEVICE_OBJECT pdo = Bus();
         PIRP irp = NewPnpIrp(pdo, IRP_MN_READ_CONFIG);
         AtDispatch([&] { IoCallDriver(pdo, irp); });
         IoFreeIrp(irp);
     }, "IRP_SENT_AT_WRONG_IRQL"},
    {"SynchronousRequestAtDispatchLevel", [] {
         PDEVICE_OBJECT pdo = Bus();
         PIRP irp = nullptr;
         AtDispatch([&] { irp = SynchronousRequest(pdo); });
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
    {"CompleteWithStatusPending", [] { SendToBus(CompleteTwice(STATUS_PENDING)); }, "COMPLETE_WITH_STATUS_PENDING"},
    {"CompleteTwice", [] { SendToBus(CompleteTwice(STATUS_SUCCESS)); }, "IRP_COMPLETED_TWICE"},
    {"TouchAfterPassingOn", [] {
         ThroughFilter([](PDEVICE_OBJECT device, PIRP irp) {
             NTSTATUS status = PassOn(device, irp);
             IoGetCurrentIrpStackLocation(irp); // the request is no longer ours
             return status;
         });
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
    const std::vector<std::string> &rules = catcher.rules;
    ASSERT_FALSE(rules.empty()) << row.name << ": expected " << row.rule << ", nothing was found";
    EXPECT_EQ(rules.front(), row.rule) << row.name << ": findings " << ::testing::PrintToString(rules);
    EXPECT_EQ(std::count(rules.begin(), rules.end(), row.rule), 1) << ::testing::PrintToString(rules);
}

INSTANTIATE_TEST_SUITE_P(Rows, Faults, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<FaultRow> &info) { return std::string(info.param.name); });

/* ---------------------------------------------- the checks stay quiet */

class QuietChecks : public IoTest {};

// A filter attached to a PDO outside AddDevice that detaches and deletes
// itself at IRP_MN_REMOVE_DEVICE while the PDO stays: Driver Verifier's
// 0x222/0x223. Tolmu's child filters do this by design: an accepted
// divergence, recorded with its reason and no failure. The same filter
// given to AddDevice, or removed with its PDO, raises nothing.
TEST_F(QuietChecks, BusFilterRemovedWhilePdoLivesIsAnAcceptedDivergence)
{
    auto remove = [](PDEVICE_OBJECT pdo, bool pdoGoes) {
        PDEVICE_OBJECT top = pdo->AttachedDevice;
        dispatchers[pdo->DriverObject] = [pdo, pdoGoes](PDEVICE_OBJECT, PIRP irp) {
            CompleteWith(STATUS_SUCCESS)(nullptr, irp);
            if (pdoGoes)
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
    remove(BuildStack(CompleteWith(0), PassOn).pdo, false); // attached outside AddDevice
    std::vector<std::string> rules;
    for (const standin::Finding &f : standin::AcceptedFindings()) {
        rules.push_back(f.rule);
        EXPECT_EQ(f.detail.rfind("accepted divergence (driver design", 0), 0u) << f.detail;
    }
    EXPECT_EQ(rules, (std::vector<std::string>{"BUS_FILTER_DETACHED_AT_REMOVE", "BUS_FILTER_DELETED_AT_REMOVE"}));
    EXPECT_TRUE(standin::Findings().empty());
    standin::ClearFindings();
    remove(CallAddDevice<kRight>(), false);
    remove(BuildStack(CompleteWith(0), PassOn).pdo, true);
    EXPECT_TRUE(standin::AcceptedFindings().empty());
}

} // namespace
