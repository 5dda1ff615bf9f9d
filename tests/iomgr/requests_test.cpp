// Requests on their normal paths: stack locations, passing down, completion
// routines and their invoke bits, STATUS_MORE_PROCESSING_REQUIRED, the
// pending mark, and synchronous requests finished by deferred work.
#include "iomgr_helpers.h"

using namespace iomgrtest;

namespace {

class Requests : public IoTest {
  protected:
    // Bus PDO at the bottom, a filter device attached on top of it.
    void BuildStack(Dispatch bus, Dispatch filter)
    {
        busDriver = MakeDriver("bus", std::move(bus));
        filterDriver = MakeDriver("filter", std::move(filter));
        pdo = MakeDevice(busDriver);
        fdo = MakeDevice(filterDriver);
        lower = IoAttachDeviceToDeviceStack(fdo, pdo);
        ASSERT_EQ(lower, pdo);
    }

    PDRIVER_OBJECT busDriver = nullptr;
    PDRIVER_OBJECT filterDriver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_OBJECT lower = nullptr;
};

TEST_F(Requests, AllocatedIrpStartsOnePastItsLastLocation)
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
}

TEST_F(Requests, CallMovesDownOneLocationPerDriverAndRecordsTheDevice)
{
    std::vector<int> locations;
    std::vector<PDEVICE_OBJECT> seen;
    BuildStack(
        [&](PDEVICE_OBJECT d, PIRP irp) {
            locations.push_back(irp->CurrentLocation);
            seen.push_back(IoGetCurrentIrpStackLocation(irp)->DeviceObject);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        },
        [&](PDEVICE_OBJECT d, PIRP irp) {
            locations.push_back(irp->CurrentLocation);
            seen.push_back(IoGetCurrentIrpStackLocation(irp)->DeviceObject);
            IoCopyCurrentIrpStackLocationToNext(irp);
            return IoCallDriver(lower, irp);
        });
    PIRP irp = NewPnpIrp(fdo, IRP_MN_QUERY_ID);
    EXPECT_EQ(IoCallDriver(fdo, irp), STATUS_SUCCESS);
    EXPECT_EQ(locations, (std::vector<int>{2, 1}));
    EXPECT_EQ(seen, (std::vector<PDEVICE_OBJECT>{fdo, pdo}));
    EXPECT_EQ(irp->CurrentLocation, 3) << "completion walks back to the top";
    EXPECT_EQ(standin::GetIrpState(irp), standin::IrpState::Completed);
    EXPECT_EQ(standin::IrpCompletionCount(irp), 1);
    IoFreeIrp(irp);
}

struct InvokeRow {
    const char *name;
    NTSTATUS status;
    bool cancel;
    bool onSuccess, onError, onCancel;
    bool called;
};

class InvokeBits : public Requests, public ::testing::WithParamInterface<InvokeRow> {};

TEST_P(InvokeBits, CompletionRoutineRunsOnlyWhenItsBitMatches)
{
    const InvokeRow &row = GetParam();
    bool called = false;
    BuildStack(CompleteWith(row.status), [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        SetCompletion(
            irp,
            [&](PDEVICE_OBJECT, PIRP) {
                called = true;
                return STATUS_SUCCESS;
            },
            row.onSuccess, row.onError, row.onCancel);
        irp->Cancel = row.cancel;
        return IoCallDriver(lower, irp);
    });
    PIRP irp = NewPnpIrp(fdo, IRP_MN_QUERY_ID);
    EXPECT_EQ(IoCallDriver(fdo, irp), row.status);
    EXPECT_EQ(called, row.called) << row.name << ": status 0x" << std::hex << row.status << " cancel " << row.cancel;
    IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, InvokeBits,
    ::testing::Values(InvokeRow{"success, on success", STATUS_SUCCESS, false, true, false, false, true},
                      InvokeRow{"success, on error only", STATUS_SUCCESS, false, false, true, false, false},
                      InvokeRow{"error, on error", STATUS_UNSUCCESSFUL, false, false, true, false, true},
                      InvokeRow{"error, on success only", STATUS_UNSUCCESSFUL, false, true, false, false, false},
                      InvokeRow{"cancelled error, on cancel only", STATUS_CANCELLED, true, false, false, true, true},
                      InvokeRow{"cancelled, on success and error", STATUS_CANCELLED, true, false, false, false,
                                false},
                      InvokeRow{"not cancelled, on cancel only", STATUS_UNSUCCESSFUL, false, false, false, true,
                                false}),
    [](const ::testing::TestParamInfo<InvokeRow> &info) {
        std::string name = info.param.name;
        for (char &c : name)
            if (!isalnum((unsigned char)c))
                c = '_';
        return name;
    });

TEST_F(Requests, CompletionRoutineGetsTheDeviceOfTheLocationThatSetIt)
{
    PDEVICE_OBJECT filterSaw = reinterpret_cast<PDEVICE_OBJECT>(1);
    PDEVICE_OBJECT ownerSaw = reinterpret_cast<PDEVICE_OBJECT>(1);
    PIO_STACK_LOCATION filterCurrent = nullptr;
    BuildStack(CompleteWith(STATUS_SUCCESS), [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        SetCompletion(irp, [&](PDEVICE_OBJECT d, PIRP irp) {
            filterSaw = d;
            filterCurrent = IoGetCurrentIrpStackLocation(irp);
            return STATUS_SUCCESS;
        });
        return IoCallDriver(lower, irp);
    });
    PIRP irp = NewPnpIrp(fdo, IRP_MN_QUERY_ID);
    SetCompletion(irp, [&](PDEVICE_OBJECT d, PIRP) {
        ownerSaw = d;
        return STATUS_MORE_PROCESSING_REQUIRED;
    });
    IoCallDriver(fdo, irp);
    EXPECT_EQ(filterSaw, fdo);
    EXPECT_EQ(filterCurrent, reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + 1) << "the filter's own location";
    EXPECT_EQ(ownerSaw, nullptr) << "the top has no device";
    IoFreeIrp(irp);
}

TEST_F(Requests, MoreProcessingRequiredStopsCompletionUntilTheDriverCompletesAgain)
{
    std::vector<std::string> order;
    BuildStack(CompleteWith(STATUS_SUCCESS, 0x55), [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        SetCompletion(irp, [&](PDEVICE_OBJECT, PIRP) {
            order.push_back("filter routine");
            return STATUS_MORE_PROCESSING_REQUIRED;
        });
        NTSTATUS status = IoCallDriver(lower, irp);
        EXPECT_EQ(standin::GetIrpState(irp), standin::IrpState::MoreProcessing);
        order.push_back("filter owns it again");
        irp->IoStatus.Status = STATUS_DEVICE_NOT_READY; // the filter may change the result
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    });
    PIRP irp = NewPnpIrp(fdo, IRP_MN_START_DEVICE);
    SetCompletion(irp, [&](PDEVICE_OBJECT, PIRP irp) {
        order.push_back("owner routine");
        return STATUS_MORE_PROCESSING_REQUIRED;
    });
    IoCallDriver(fdo, irp);
    EXPECT_EQ(order, (std::vector<std::string>{"filter routine", "filter owns it again", "owner routine"}));
    EXPECT_EQ(standin::IrpCompletionCount(irp), 2);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(irp->IoStatus.Information, 0x55u);
    IoFreeIrp(irp);
}

TEST_F(Requests, PendingMarkTravelsUpThroughALocationWithoutRoutine)
{
    BOOLEAN ownerSawPending = FALSE;
    // Copy without a routine and return the lower status: legitimate, because
    // the I/O manager marks the filter's location when completion passes it.
    BuildStack(PendThenComplete(STATUS_SUCCESS), [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IoCallDriver(lower, irp);
    });
    PIRP irp = NewPnpIrp(fdo, IRP_MN_QUERY_ID);
    SetCompletion(irp, [&](PDEVICE_OBJECT, PIRP irp) {
        ownerSawPending = irp->PendingReturned;
        return STATUS_MORE_PROCESSING_REQUIRED;
    });
    EXPECT_EQ(IoCallDriver(fdo, irp), STATUS_PENDING);
    EXPECT_EQ(standin::DeferredCount(), 1u);
    EXPECT_EQ(standin::RunDeferred(), 1u);
    EXPECT_TRUE(ownerSawPending);
    IoFreeIrp(irp);
}

TEST_F(Requests, PendingMarkIsCopiedToTheUpperLocationByTheIoManager)
{
    // Bus marks pending and completes at once; the filter set no routine, so
    // the I/O manager marks the filter's location before the owner's routine.
    UCHAR filterControl = 0;
    BuildStack(
        [](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_PENDING;
        },
        [&](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            return IoCallDriver(lower, irp);
        });
    PIRP irp = NewPnpIrp(fdo, IRP_MN_QUERY_ID);
    SetCompletion(irp, [&](PDEVICE_OBJECT, PIRP irp) {
        filterControl = irp->PendingReturned;
        return STATUS_MORE_PROCESSING_REQUIRED;
    });
    EXPECT_EQ(IoCallDriver(fdo, irp), STATUS_PENDING);
    EXPECT_EQ(filterControl, TRUE) << "PendingReturned at the top comes from the filter's location";
    IoFreeIrp(irp);
}

TEST_F(Requests, RoutineSeesPendingReturnedClearWhenTheBusCompletesAtOnce)
{
    BOOLEAN sawPending = TRUE;
    BuildStack(CompleteWith(STATUS_SUCCESS), [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        SetCompletion(irp, [&](PDEVICE_OBJECT, PIRP irp) {
            sawPending = irp->PendingReturned;
            return STATUS_SUCCESS;
        });
        return IoCallDriver(lower, irp);
    });
    PIRP irp = NewPnpIrp(fdo, IRP_MN_QUERY_ID);
    IoCallDriver(fdo, irp);
    EXPECT_FALSE(sawPending);
    IoFreeIrp(irp);
}

// The pass-down-and-wait pattern of a filter, over a bus that pends the
// request and finishes it at DISPATCH_LEVEL from deferred work.
TEST_F(Requests, SynchronousRequestWaitsForDeferredCompletion)
{
    KIRQL irqlInDeferred = PASSIVE_LEVEL;
    BuildStack(
        [&](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            standin::QueueDeferred([irp, &irqlInDeferred] {
                irqlInDeferred = KeGetCurrentIrql();
                irp->IoStatus.Status = STATUS_SUCCESS;
                irp->IoStatus.Information = 4;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
            });
            return STATUS_PENDING;
        },
        [&](PDEVICE_OBJECT, PIRP irp) {
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
        });

    KEVENT done;
    IO_STATUS_BLOCK iosb;
    iosb.Status = STATUS_UNSUCCESSFUL;
    iosb.Information = 0;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    EXPECT_EQ(top, fdo);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, nullptr, 0, nullptr, &done, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->StackCount, 2);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_PNP);
    IoGetNextIrpStackLocation(irp)->MinorFunction = IRP_MN_READ_CONFIG;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    NTSTATUS status = IoCallDriver(top, irp);
    ObDereferenceObject(top);

    EXPECT_EQ(status, STATUS_SUCCESS) << "the filter waited inside its dispatch routine";
    EXPECT_EQ(irqlInDeferred, DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(KeReadStateEvent(&done), 1);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 4u);
    EXPECT_EQ(standin::GetIrpState(irp), standin::IrpState::Freed) << "the I/O manager frees it";
}

TEST_F(Requests, SynchronousRequestCompletedAtOnceSignalsAndIsFreed)
{
    BuildStack(CompleteWith(STATUS_UNSUCCESSFUL), SkipTo(&lower));
    KEVENT done;
    IO_STATUS_BLOCK iosb = {};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, fdo, nullptr, 0, nullptr, &done, &iosb);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    EXPECT_EQ(IoCallDriver(fdo, irp), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(KeReadStateEvent(&done), 1);
    EXPECT_EQ(iosb.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(standin::GetIrpState(irp), standin::IrpState::Freed);
}

TEST_F(Requests, DefaultMajorFunctionRejectsTheRequest)
{
    PDRIVER_OBJECT driver = standin::CreateDriverObject("plain");
    PDEVICE_OBJECT device = MakeDevice(driver);
    PIRP irp = NewPnpIrp(device, IRP_MN_QUERY_ID);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(standin::GetIrpState(irp), standin::IrpState::Completed);
    IoFreeIrp(irp);
}

TEST_F(Requests, ReusedIrpMakesASecondTrip)
{
    BuildStack(CompleteWith(STATUS_SUCCESS), SkipTo(&lower));
    PIRP irp = NewPnpIrp(fdo, IRP_MN_QUERY_ID);
    EXPECT_EQ(IoCallDriver(fdo, irp), STATUS_SUCCESS);
    standin::ReuseIrp(irp, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->CurrentLocation, 3);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
    EXPECT_EQ(IoCallDriver(fdo, irp), STATUS_SUCCESS);
    EXPECT_EQ(standin::IrpCompletionCount(irp), 1) << "counted from the reuse";
    IoFreeIrp(irp);
}

TEST_F(Requests, AllocationFailureInjection)
{
    PDRIVER_OBJECT driver = standin::CreateDriverObject("plain");
    PDEVICE_OBJECT device = MakeDevice(driver);
    standin::SetIrpAllocationFails(true);
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
    EXPECT_EQ(IoBuildSynchronousFsdRequest(IRP_MJ_PNP, device, nullptr, 0, nullptr, &event, &iosb), nullptr);
    standin::SetIrpAllocationFails(false);
    PIRP irp = IoAllocateIrp(1, FALSE);
    EXPECT_NE(irp, nullptr);
    IoFreeIrp(irp);
}

} // namespace
