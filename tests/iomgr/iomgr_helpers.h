// Small simulated drivers and finding capture for the I/O manager's tests.
#ifndef TOLMU_TESTS_IOMGR_HELPERS_H
#define TOLMU_TESTS_IOMGR_HELPERS_H

#include <functional>
#include <string>
#include <vector>

#include "iomgr.h"
#include "test_support.h"

namespace iomgrtest {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;
using Completion = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

// A driver object whose every major function runs `dispatch`.
PDRIVER_OBJECT MakeDriver(const std::string &name, Dispatch dispatch);
void SetDispatch(PDRIVER_OBJECT driver, Dispatch dispatch);
// A device of the driver, DO_DEVICE_INITIALIZING cleared as AddDevice would.
PDEVICE_OBJECT MakeDevice(PDRIVER_OBJECT driver, ULONG extensionSize = 16);
// IoSetCompletionRoutine in the request's next location, running `routine`.
void SetCompletion(PIRP irp, Completion routine, bool onSuccess = true, bool onError = true, bool onCancel = true);

// Ready-made dispatch behaviours of a bottom (bus) driver.
Dispatch CompleteWith(NTSTATUS status, ULONG_PTR information = 0);
// Marks the request pending, queues its completion with `status` as deferred
// work and returns STATUS_PENDING.
Dispatch PendThenComplete(NTSTATUS status);
// A filter that skips its location and passes the request to `lower`.
Dispatch SkipTo(PDEVICE_OBJECT *lower);

// A PnP request for the stack under `top`, status preset as the PnP manager does.
PIRP NewPnpIrp(PDEVICE_OBJECT top, UCHAR minor);
PIRP NewPowerIrp(PDEVICE_OBJECT top, UCHAR minor, POWER_STATE_TYPE type, ULONG state);

// Every test starts on a fresh stand-in and ends with the leftover checks.
class IoTest : public testsupport::DriverTest {
  protected:
    void SetUp() override;
    void TearDown() override;
    // From here on findings are collected instead of failing the test.
    void Capture();
    // Stop collecting; the rule names collected, in order.
    std::vector<std::string> Captured();
    // The details of the collected findings of one rule.
    std::vector<std::string> CapturedDetails(const std::string &rule);

  private:
    bool capturing_ = false;
    std::vector<standin::Finding> captured_;
};

std::string Join(const std::vector<std::string> &items);

} // namespace iomgrtest

#endif
