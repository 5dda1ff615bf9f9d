// IRP completion as the I/O manager does it: which completion routines run,
// STATUS_MORE_PROCESSING_REQUIRED handing the request back, and the pending
// mark travelling up.
#include "iomgr_helpers.h"

using namespace iomgrtest;

namespace {

class Requests : public IoTest {};

TEST_F(Requests, CompletionRoutineRunsOnlyWhenItsBitMatches)
{
    struct Row {
        NTSTATUS status;
        bool cancel, onSuccess, onError, onCancel, called;
    };
    const Row rows[] = {{STATUS_SUCCESS, false, true, false, false, true},
                        {STATUS_SUCCESS, false, false, true, true, false},
                        {STATUS_UNSUCCESSFUL, false, false, true, false, true},
                        {STATUS_UNSUCCESSFUL, false, true, false, true, false},
                        {STATUS_CANCELLED, true, false, false, true, true},
                        {STATUS_CANCELLED, true, true, false, false, false}};
    for (const Row &row : rows) {
        SCOPED_TRACE(::testing::Message() << "row " << &row - rows);
        bool called = false;
        Stack s = BuildStack(CompleteWith(row.status), [&](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            SetCompletion(irp, [&](PDEVICE_OBJECT, PIRP) { called = true; return STATUS_SUCCESS; }, row.onSuccess,
                          row.onError, row.onCancel);
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
// STATUS_MORE_PROCESSING_REQUIRED stops completion until the driver completes
// again, and the status it then completes with is what the owner sees.
TEST_F(Requests, MoreProcessingRequiredStopsCompletionUntilTheDriverCompletesAgain)
{
    std::vector<std::string> order;
    PDEVICE_OBJECT filterSaw = nullptr, ownerSaw = reinterpret_cast<PDEVICE_OBJECT>(1);
    Stack s = BuildStack(CompleteWith(STATUS_SUCCESS), [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        SetCompletion(irp, [&](PDEVICE_OBJECT d, PIRP) {
            order.push_back("filter routine");
            filterSaw = d;
            return STATUS_MORE_PROCESSING_REQUIRED;
        });
        EXPECT_EQ(IoCallDriver(lower, irp), STATUS_SUCCESS);
        EXPECT_EQ(standin::GetIrpState(irp), standin::IrpState::MoreProcessing);
        order.push_back("filter owns it again");
        irp->IoStatus.Status = STATUS_DEVICE_NOT_READY;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_DEVICE_NOT_READY;
    });
    PIRP irp = NewPnpIrp(s.fdo, IRP_MN_START_DEVICE);
    SetCompletion(irp, [&](PDEVICE_OBJECT d, PIRP) {
        order.push_back("owner routine");
        ownerSaw = d;
        return STATUS_MORE_PROCESSING_REQUIRED;
    });
    IoCallDriver(s.fdo, irp);
    EXPECT_EQ(order, (std::vector<std::string>{"filter routine", "filter owns it again", "owner routine"}));
    EXPECT_EQ(filterSaw, s.fdo);
    EXPECT_EQ(ownerSaw, nullptr) << "the top has no device";
    EXPECT_EQ(standin::IrpCompletionCount(irp), 2);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_DEVICE_NOT_READY);
    IoFreeIrp(irp);
}

// A filter that copies its location without a routine returns the lower
// status; the I/O manager marks its location when completion passes it, so
// the owner sees PendingReturned exactly when the bus returned STATUS_PENDING.
TEST_F(Requests, PendingMarkTravelsUpThroughALocationWithoutRoutine)
{
    Dispatch markAndComplete = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        CompleteWith(STATUS_SUCCESS)(nullptr, irp);
        return STATUS_PENDING;
    };
    const std::pair<Dispatch, NTSTATUS> rows[] = {{PendThenComplete(STATUS_SUCCESS), STATUS_PENDING},
                                                  {markAndComplete, STATUS_PENDING},
                                                  {CompleteWith(STATUS_SUCCESS), STATUS_SUCCESS}};
    for (const auto &[bus, returned] : rows) {
        Stack s = BuildStack(bus, [](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            return IoCallDriver(lower, irp);
        });
        BOOLEAN ownerSawPending = 2;
        PIRP irp = NewPnpIrp(s.fdo);
        SetCompletion(irp, [&](PDEVICE_OBJECT, PIRP irp) {
            ownerSawPending = irp->PendingReturned;
            return STATUS_MORE_PROCESSING_REQUIRED;
        });
        EXPECT_EQ(IoCallDriver(s.fdo, irp), returned);
        standin::RunDeferred();
        EXPECT_EQ(ownerSawPending, returned == STATUS_PENDING);
        IoFreeIrp(irp);
    }
}

} // namespace
