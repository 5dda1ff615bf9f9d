// Requests on their normal paths: stack locations, passing down, completion
// routines and their invoke bits, STATUS_MORE_PROCESSING_REQUIRED, the
// pending mark, and synchronous requests finished by deferred work.
#include "iomgr_helpers.h"

using namespace iomgrtest;

namespace {

class Requests : public IoTest {};

TEST_F(Requests, AllocatedIrpStartsOnePastItsLastLocationAndAllocationCanFail)
{
    PIRP irp = IoAllocateIrp(3, FALSE);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->StackCount, 3);
    EXPECT_EQ(irp->CurrentLocation, 4);
    PIO_STACK_LOCATION first = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
    EXPECT_EQ(irp->Tail.Overlay.CurrentStackLocation, first + 3);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp), first + 2) << "the first location a driver sees is the last in memory";
    EXPECT_EQ(irp->Size, sizeof(IRP) + 3 * sizeof(IO_STACK_LOCATION));
    EXPECT_EQ(standin::GetIrpState(irp), standin::IrpState::Allocated);
    IoFreeIrp(irp);
    EXPECT_EQ(standin::GetIrpState(irp), standin::IrpState::Freed);

    PDEVICE_OBJECT device = MakeDevice(standin::CreateDriverObject("plain"));
    standin::SetIrpAllocationFails(true);
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
    EXPECT_EQ(IoBuildSynchronousFsdRequest(IRP_MJ_PNP, device, nullptr, 0, nullptr, &event, &iosb), nullptr);
    standin::SetIrpAllocationFails(false);
    // A driver without its own dispatch routine rejects the request.
    irp = NewPnpIrp(device);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(standin::GetIrpState(irp), standin::IrpState::Completed);
    IoFreeIrp(irp);
}

TEST_F(Requests, CallMovesDownOneLocationPerDriverAndReusedIrpMakesASecondTrip)
{
    std::vector<int> locations;
    std::vector<PDEVICE_OBJECT> seen;
    auto note = [&](PIRP irp) {
        locations.push_back(irp->CurrentLocation);
        seen.push_back(IoGetCurrentIrpStackLocation(irp)->DeviceObject);
    };
    Stack s = BuildStack(
        [&](PDEVICE_OBJECT, PIRP irp) { note(irp); return CompleteWith(STATUS_SUCCESS)(nullptr, irp); },
        [&](PDEVICE_OBJECT, PIRP irp) {
            note(irp);
            IoCopyCurrentIrpStackLocationToNext(irp);
            return IoCallDriver(lower, irp);
        });
    PIRP irp = NewPnpIrp(s.fdo);
    EXPECT_EQ(IoCallDriver(s.fdo, irp), STATUS_SUCCESS);
    EXPECT_EQ(locations, (std::vector<int>{2, 1}));
    EXPECT_EQ(seen, (std::vector<PDEVICE_OBJECT>{s.fdo, s.pdo}));
    EXPECT_EQ(irp->CurrentLocation, 3) << "completion walks back to the top";
    EXPECT_EQ(standin::GetIrpState(irp), standin::IrpState::Completed);
    EXPECT_EQ(standin::IrpCompletionCount(irp), 1);
    standin::ReuseIrp(irp, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->CurrentLocation, 3);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
    EXPECT_EQ(IoCallDriver(s.fdo, irp), STATUS_SUCCESS);
    EXPECT_EQ(locations.size(), 4u);
    EXPECT_EQ(standin::IrpCompletionCount(irp), 1) << "counted from the reuse";
    IoFreeIrp(irp);
}

TEST_F(Requests, CompletionRoutineRunsOnlyWhenItsBitMatches)
{
    struct Row {
        const char *name;
        NTSTATUS status;
        bool cancel, onSuccess, onError, onCancel, called;
    };
    const Row rows[] = {{"success, on success", STATUS_SUCCESS, false, true, false, false, true},
                        {"success, on error only", STATUS_SUCCESS, false, false, true, false, false},
                        {"error, on error", STATUS_UNSUCCESSFUL, false, false, true, false, true},
                        {"error, on success only", STATUS_UNSUCCESSFUL, false, true, false, false, false},
                        {"cancelled error, on cancel only", STATUS_CANCELLED, true, false, false, true, true},
                        {"cancelled, on success and error", STATUS_CANCELLED, true, false, false, false, false},
                        {"not cancelled, on cancel only", STATUS_UNSUCCESSFUL, false, false, false, true, false}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        bool called = false;
        Stack s = BuildStack(CompleteWith(row.status), [&](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            SetCompletion(
                irp,
                [&](PDEVICE_OBJECT, PIRP) { called = true; return STATUS_SUCCESS; },
                row.onSuccess, row.onError, row.onCancel);
            irp->Cancel = row.cancel;
            return IoCallDriver(lower, irp);
        });
        PIRP irp = NewPnpIrp(s.fdo);
        EXPECT_EQ(IoCallDriver(s.fdo, irp), row.status);
        EXPECT_EQ(called, row.called);
        IoFreeIrp(irp);
    }
}

// A routine gets the device of the location that set it (none at the top);
// STATUS_MORE_PROCESSING_REQUIRED stops completion until the driver completes again.
TEST_F(Requests, MoreProcessingRequiredStopsCompletionUntilTheDriverCompletesAgain)
{
    std::vector<std::string> order;
    PDEVICE_OBJECT filterSaw = nullptr, ownerSaw = filterSaw;
    PIO_STACK_LOCATION filterCurrent = nullptr;
    Stack s = BuildStack(CompleteWith(STATUS_SUCCESS, 0x55), [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        SetCompletion(irp, [&](PDEVICE_OBJECT d, PIRP irp) {
            order.push_back("filter routine");
            filterSaw = d;
            filterCurrent = IoGetCurrentIrpStackLocation(irp);
            return STATUS_MORE_PROCESSING_REQUIRED;
        });
        NTSTATUS status = IoCallDriver(lower, irp);
        EXPECT_EQ(standin::GetIrpState(irp), standin::IrpState::MoreProcessing);
        order.push_back("filter owns it again");
        EXPECT_EQ(status, STATUS_SUCCESS);
        irp->IoStatus.Status = STATUS_DEVICE_NOT_READY; // the filter may change the result
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_DEVICE_NOT_READY; // and returns what it completed with
    });
    PIRP irp = NewPnpIrp(s.fdo, IRP_MN_START_DEVICE);
    ownerSaw = reinterpret_cast<PDEVICE_OBJECT>(1);
    SetCompletion(irp, [&](PDEVICE_OBJECT d, PIRP) {
        order.push_back("owner routine");
        ownerSaw = d;
        return STATUS_MORE_PROCESSING_REQUIRED;
    });
    IoCallDriver(s.fdo, irp);
    EXPECT_EQ(order, (std::vector<std::string>{"filter routine", "filter owns it again", "owner routine"}));
    EXPECT_EQ(filterSaw, s.fdo);
    EXPECT_EQ(filterCurrent, reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + 1) << "the filter's own location";
    EXPECT_EQ(ownerSaw, nullptr) << "the top has no device";
    EXPECT_EQ(standin::IrpCompletionCount(irp), 2);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(irp->IoStatus.Information, 0x55u);
    IoFreeIrp(irp);
}

// The filter copies its location without a routine and returns the lower
// status: legitimate, because the I/O manager marks the filter's location
// when completion passes it, so the owner's routine sees PendingReturned
// exactly when the bus returned STATUS_PENDING.
TEST_F(Requests, PendingMarkTravelsUpThroughALocationWithoutRoutine)
{
    struct Row {
        const char *name;
        Dispatch bus;
        NTSTATUS returned;
        size_t deferred;
    };
    const Row rows[] = {
        {"bus pends, completes later", PendThenComplete(STATUS_SUCCESS), STATUS_PENDING, 1},
        {"bus marks pending and completes at once",
         [](PDEVICE_OBJECT, PIRP irp) {
             IoMarkIrpPending(irp);
             CompleteWith(STATUS_SUCCESS)(nullptr, irp);
             return STATUS_PENDING;
         },
         STATUS_PENDING, 0},
        {"bus completes at once", CompleteWith(STATUS_SUCCESS), STATUS_SUCCESS, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Stack s = BuildStack(row.bus, [](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            return IoCallDriver(lower, irp);
        });
        BOOLEAN ownerSawPending = 2;
        PIRP irp = NewPnpIrp(s.fdo);
        SetCompletion(irp, [&](PDEVICE_OBJECT, PIRP irp) {
            ownerSawPending = irp->PendingReturned;
            return STATUS_MORE_PROCESSING_REQUIRED;
        });
        EXPECT_EQ(IoCallDriver(s.fdo, irp), row.returned);
        EXPECT_EQ(standin::DeferredCount(), row.deferred);
        EXPECT_EQ(standin::RunDeferred(), row.deferred);
        EXPECT_EQ(ownerSawPending, row.returned == STATUS_PENDING);
        IoFreeIrp(irp);
    }
}

// The pass-down-and-wait pattern of a filter, over a bus that pends the
// request and finishes it at DISPATCH_LEVEL from deferred work; and the same
// request when the bus completes it at once.
TEST_F(Requests, SynchronousRequestSignalsAndIsFreedAfterDeferredOrImmediateCompletion)
{
    KIRQL irqlInDeferred = PASSIVE_LEVEL;
    Dispatch pendingBus = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        standin::QueueDeferred([irp, &irqlInDeferred] {
            irqlInDeferred = KeGetCurrentIrql();
            CompleteWith(STATUS_SUCCESS, 4)(nullptr, irp);
        });
        return STATUS_PENDING;
    };
    Dispatch waitingFilter = [](PDEVICE_OBJECT, PIRP irp) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        SetCompletion(irp, [&event](PDEVICE_OBJECT, PIRP irp) {
            if (irp->PendingReturned)
                KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;
        });
        NTSTATUS status = IoCallDriver(lower, irp);
        if (status == STATUS_PENDING) {
            EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
            status = irp->IoStatus.Status;
        }
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    };
    struct Row {
        const char *name;
        Dispatch bus, filter;
        NTSTATUS status;
        ULONG_PTR information;
    };
    const Row rows[] = {{"waiting filter over pending bus", pendingBus, waitingFilter, STATUS_SUCCESS, 4},
                        {"skipping filter over failing bus", CompleteWith(STATUS_UNSUCCESSFUL, 2), PassOn,
                         STATUS_UNSUCCESSFUL, 2}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Stack s = BuildStack(row.bus, row.filter);
        KEVENT done;
        IO_STATUS_BLOCK iosb = {};
        iosb.Status = STATUS_PENDING;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PDEVICE_OBJECT top = IoGetAttachedDeviceReference(s.pdo);
        EXPECT_EQ(top, s.fdo);
        PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, nullptr, 0, nullptr, &done, &iosb);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(irp->StackCount, 2);
        EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_PNP);
        IoGetNextIrpStackLocation(irp)->MinorFunction = IRP_MN_READ_CONFIG;
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        EXPECT_EQ(IoCallDriver(top, irp), row.status) << "the filter waits inside its dispatch routine";
        ObDereferenceObject(top);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        EXPECT_EQ(KeReadStateEvent(&done), 1);
        EXPECT_EQ(iosb.Status, row.status);
        EXPECT_EQ(iosb.Information, row.information);
        EXPECT_EQ(standin::GetIrpState(irp), standin::IrpState::Freed) << "the I/O manager frees it";
    }
    EXPECT_EQ(irqlInDeferred, DISPATCH_LEVEL);
}

} // namespace
