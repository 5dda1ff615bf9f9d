// IRP completion as the I/O manager does it: which completion routines run,
// and STATUS_MORE_PROCESSING_REQUIRED handing the request back to a filter
// that passes it down and waits.
#include "iomgr_helpers.h"

using namespace iomgrtest;

namespace {

class Requests : public IoTest {};

TEST_F(Requests, CompletionRoutineRunsOnlyWhenItsBitMatches)
{
    struct Row {
        NTSTATUS status;
        bool cancel, onSuccess, onError, onCancel, called;
    } const rows[] = {{STATUS_SUCCESS, false, true, false, false, true},
                      {STATUS_SUCCESS, false, false, true, true, false},
                      {STATUS_UNSUCCESSFUL, false, false, true, false, true},
                      {STATUS_UNSUCCESSFUL, false, true, false, true, false},
                      {STATUS_CANCELLED, true, false, false, true, true},
                      {STATUS_CANCELLED, true, true, false, false, false}};
    for (const Row &row : rows) {
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
        EXPECT_EQ(called, row.called) << "row " << &row - rows;
        IoFreeIrp(irp);
    }
}

// The filter passes the request down and waits (the bus completing it at
// once or later from deferred work); its routine keeps the request
// (STATUS_MORE_PROCESSING_REQUIRED): completion stops there until the filter
// completes it again, with the status the owner then sees. The owner's
// routine gets no device (the top location has none) and no pending mark:
// the filter returned synchronously.
TEST_F(Requests, MoreProcessingRequiredHandsTheRequestBackToTheWaitingFilter)
{
    for (bool pend : {false, true}) {
        std::vector<std::string> order;
        Stack s = BuildStack(pend ? PendThenComplete(STATUS_SUCCESS) : CompleteWith(STATUS_SUCCESS),
                             [&](PDEVICE_OBJECT, PIRP irp) {
                                 KEVENT done;
                                 KeInitializeEvent(&done, NotificationEvent, FALSE);
                                 IoCopyCurrentIrpStackLocationToNext(irp);
                                 SetCompletion(irp, [&](PDEVICE_OBJECT d, PIRP) {
                                     order.push_back(d == s.fdo ? "filter routine" : "filter routine, wrong device");
                                     KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
                                     return STATUS_MORE_PROCESSING_REQUIRED;
                                 });
                                 if (IoCallDriver(lower, irp) == STATUS_PENDING)
                                     KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
                                 EXPECT_EQ(standin::GetIrpState(irp), standin::IrpState::MoreProcessing);
                                 order.push_back("filter owns it again");
                                 return CompleteWith(STATUS_DEVICE_NOT_READY)(nullptr, irp);
                             });
        PIRP irp = NewPnpIrp(s.fdo, IRP_MN_START_DEVICE);
        SetCompletion(irp, [&](PDEVICE_OBJECT d, PIRP irp) {
            order.push_back(d == nullptr && !irp->PendingReturned ? "owner routine" : "owner routine, wrong");
            return STATUS_MORE_PROCESSING_REQUIRED;
        });
        EXPECT_EQ(IoCallDriver(s.fdo, irp), STATUS_DEVICE_NOT_READY);
        EXPECT_EQ(order, (std::vector<std::string>{"filter routine", "filter owns it again", "owner routine"}));
        EXPECT_EQ(irp->IoStatus.Status, STATUS_DEVICE_NOT_READY);
        IoFreeIrp(irp);
    }
}

} // namespace
