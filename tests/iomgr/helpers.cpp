#include "iomgr_helpers.h"

#include <list>
#include <map>

namespace iomgrtest {

namespace {

std::map<PDRIVER_OBJECT, Dispatch> dispatchers;
std::list<Completion> routines;

NTSTATUS NTAPI Trampoline(PDEVICE_OBJECT device, PIRP irp)
{
    return dispatchers.at(device->DriverObject)(device, irp);
}

NTSTATUS NTAPI CompletionTrampoline(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    return (*static_cast<Completion *>(context))(device, irp);
}

void FailOnFinding(const standin::Finding &f)
{
    ADD_FAILURE() << "verifier finding " << f.rule << ": " << f.detail;
}

} // namespace

PDRIVER_OBJECT MakeDriver(const std::string &name, Dispatch dispatch)
{
    PDRIVER_OBJECT driver = standin::CreateDriverObject(name);
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        driver->MajorFunction[i] = Trampoline;
    dispatchers[driver] = std::move(dispatch);
    return driver;
}

void SetDispatch(PDRIVER_OBJECT driver, Dispatch dispatch)
{
    dispatchers[driver] = std::move(dispatch);
}

PDEVICE_OBJECT MakeDevice(PDRIVER_OBJECT driver, ULONG extensionSize)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, extensionSize, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &device);
    EXPECT_EQ(status, STATUS_SUCCESS);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

void SetCompletion(PIRP irp, Completion routine, bool onSuccess, bool onError, bool onCancel)
{
    routines.push_back(std::move(routine));
    IoSetCompletionRoutine(irp, CompletionTrampoline, &routines.back(), onSuccess, onError, onCancel);
}

Dispatch CompleteWith(NTSTATUS status, ULONG_PTR information)
{
    return [status, information](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = information;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    };
}

Dispatch PendThenComplete(NTSTATUS status)
{
    return [status](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        standin::QueueDeferred(
            [irp, status] {
                irp->IoStatus.Status = status;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
            },
            "bus completes the pended request");
        return STATUS_PENDING;
    };
}

Dispatch SkipTo(PDEVICE_OBJECT *lower)
{
    return [lower](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(*lower, irp);
    };
}

PIRP NewPnpIrp(PDEVICE_OBJECT top, UCHAR minor)
{
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_PNP;
    sp->MinorFunction = minor;
    return irp;
}

PIRP NewPowerIrp(PDEVICE_OBJECT top, UCHAR minor, POWER_STATE_TYPE type, ULONG state)
{
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_POWER;
    sp->MinorFunction = minor;
    sp->Parameters.Power.Type = type;
    if (type == DevicePowerState)
        sp->Parameters.Power.State.DeviceState = (DEVICE_POWER_STATE)state;
    else
        sp->Parameters.Power.State.SystemState = (SYSTEM_POWER_STATE)state;
    return irp;
}

void IoTest::SetUp()
{
    DriverTest::SetUp();
    dispatchers.clear();
    routines.clear();
}

void IoTest::TearDown()
{
    if (capturing_)
        Captured();
    standin::CheckIoLeftovers();
    DriverTest::TearDown();
}

void IoTest::Capture()
{
    standin::ClearFindings();
    captured_.clear();
    capturing_ = true;
    standin::SetFindingHandler([this](const standin::Finding &f) { captured_.push_back(f); });
}

std::vector<std::string> IoTest::Captured()
{
    capturing_ = false;
    standin::SetFindingHandler(FailOnFinding);
    standin::ClearFindings();
    std::vector<std::string> rules;
    for (const standin::Finding &f : captured_)
        rules.push_back(f.rule);
    return rules;
}

std::vector<std::string> IoTest::CapturedDetails(const std::string &rule)
{
    std::vector<std::string> details;
    for (const standin::Finding &f : captured_)
        if (f.rule == rule)
            details.push_back(f.detail);
    return details;
}

std::string Join(const std::vector<std::string> &items)
{
    std::string text;
    for (const std::string &s : items)
        text += (text.empty() ? "" : ", ") + s;
    return text.empty() ? "(none)" : text;
}

} // namespace iomgrtest
