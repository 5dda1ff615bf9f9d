// Small simulated drivers for the I/O manager's tests.
#ifndef TOLMU_TESTS_IOMGR_HELPERS_H
#define TOLMU_TESTS_IOMGR_HELPERS_H

#include <functional>
#include <list>
#include <map>

#include "../standin/standin_test_util.h"
#include "iomgr.h"

namespace iomgrtest {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>; // also a completion routine

inline std::map<PDRIVER_OBJECT, Dispatch> dispatchers;
inline std::list<Dispatch> routines;
inline PDEVICE_OBJECT lower = nullptr; // what the filter of the last BuildStack attached to

inline NTSTATUS NTAPI Trampoline(PDEVICE_OBJECT device, PIRP irp)
{
    return dispatchers.at(device->DriverObject)(device, irp);
}

inline NTSTATUS NTAPI CompletionTrampoline(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    return (*static_cast<Dispatch *>(context))(device, irp);
}

// A driver object whose every major function runs `dispatch`.
inline PDRIVER_OBJECT MakeDriver(const std::string &name, Dispatch dispatch)
{
    PDRIVER_OBJECT driver = standin::CreateDriverObject(name);
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        driver->MajorFunction[i] = Trampoline;
    dispatchers[driver] = std::move(dispatch);
    return driver;
}

// A device of the driver, DO_DEVICE_INITIALIZING cleared as AddDevice would.
inline PDEVICE_OBJECT MakeDevice(PDRIVER_OBJECT driver)
{
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, 16, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &device), STATUS_SUCCESS);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

// IoSetCompletionRoutine in the request's next location, running `routine`.
inline void SetCompletion(PIRP irp, Dispatch routine, bool onSuccess = true, bool onError = true,
                          bool onCancel = true)
{
    routines.push_back(std::move(routine));
    IoSetCompletionRoutine(irp, CompletionTrampoline, &routines.back(), onSuccess, onError, onCancel);
}

// A bottom (bus) driver that completes at once.
inline Dispatch CompleteWith(NTSTATUS status)
{
    return [status](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    };
}

// Marks the request pending, queues its completion with `status` as deferred
// work and returns STATUS_PENDING.
inline Dispatch PendThenComplete(NTSTATUS status)
{
    return [status](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        standin::QueueDeferred([irp, status] { CompleteWith(status)(nullptr, irp); }, "bus completes the request");
        return STATUS_PENDING;
    };
}

// A filter that skips its location and passes the request to `lower`.
inline NTSTATUS NTAPI PassOn(PDEVICE_OBJECT, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

// A bus PDO with a filter device attached on top.
struct Stack {
    PDEVICE_OBJECT pdo, fdo;
};
inline Stack BuildStack(Dispatch bus, Dispatch filter)
{
    Stack s{MakeDevice(MakeDriver("bus", std::move(bus))), MakeDevice(MakeDriver("filter", std::move(filter)))};
    lower = IoAttachDeviceToDeviceStack(s.fdo, s.pdo);
    EXPECT_EQ(lower, s.pdo);
    return s;
}

// A request for the stack under `top`; PnP requests get the status the PnP manager presets.
inline PIRP NewIrp(PDEVICE_OBJECT top, UCHAR major, UCHAR minor)
{
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (major == IRP_MJ_PNP)
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    IoGetNextIrpStackLocation(irp)->MinorFunction = minor;
    return irp;
}
inline PIRP NewPnpIrp(PDEVICE_OBJECT top, UCHAR minor = IRP_MN_QUERY_ID) { return NewIrp(top, IRP_MJ_PNP, minor); }
inline PIRP NewSetPowerIrp(PDEVICE_OBJECT top)
{
    PIRP irp = NewIrp(top, IRP_MJ_POWER, IRP_MN_SET_POWER);
    IoGetNextIrpStackLocation(irp)->Parameters.Power.Type = DevicePowerState;
    IoGetNextIrpStackLocation(irp)->Parameters.Power.State.DeviceState = PowerDeviceD3;
    return irp;
}

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

} // namespace iomgrtest

#endif
