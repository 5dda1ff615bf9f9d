// A small harness for the filter-device tests: a simulated machine with its
// PCI bus driver, the driver loaded on a driver object of its own, and a way
// to send a PnP or power request to the top of a stack and read the result.
#ifndef TOLMU_TESTS_PNP_HARNESS_H
#define TOLMU_TESTS_PNP_HARNESS_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/debug.h"
#include "core/driver.h"
#include "pci_bus_driver.h"
#include "pnp/pnp.h"
#include "standin/iomgr.h"
#include "test_support.h"

namespace pnptest {

struct Result {
    NTSTATUS status;
    ULONG_PTR information;
};

// Sends a PnP request built by setup() to the top of the stack that contains
// device, waits for it and frees it.
Result SendPnp(PDEVICE_OBJECT device, UCHAR minor,
               const std::function<void(PIO_STACK_LOCATION, PIRP)> &setup = nullptr);
// The same for a power request.
Result SendPower(PDEVICE_OBJECT device, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &setup);

// A driver whose devices pass every request down unchanged: the function
// driver standing above or below the filter in a stack.
class PassDownDriver {
  public:
    explicit PassDownDriver(const std::string &name);
    ~PassDownDriver();
    PDEVICE_OBJECT AttachTo(PDEVICE_OBJECT target);
    void Remove(PDEVICE_OBJECT device); // detach and delete
    PDRIVER_OBJECT Driver() const { return driver_; }

  private:
    PDRIVER_OBJECT driver_;
    std::vector<PDEVICE_OBJECT> devices_;
};

class FilterTest : public testsupport::DriverTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Loads the driver: DriverEntry on a fresh driver object.
    void Load();
    // Removes every filter device through IRP_MN_REMOVE_DEVICE and unloads.
    void RemoveAllAndUnload();
    // The filter device on top of pdo's stack (null if none).
    PDEVICE_OBJECT FilterOn(PDEVICE_OBJECT pdo) const;
    PDEVICE_EXTENSION Ext(PDEVICE_OBJECT filter) const { return GET_EXTENSION(filter); }
    size_t FilterCount() const;

    PDEVICE_OBJECT Pdo(sim::PciFunction *fn) const { return bus_->PdoFor(fn); }
    PDEVICE_OBJECT F(sim::PciFunction *fn) const { return FilterOn(bus_->PdoFor(fn)); }

    // The adapter's controller at 00:03.0 (buses 2..5), a chassis bridge at
    // 02:00.0 (bus 3), a network card at 03:01.0 and a display at 03:02.0.
    void BuildChassis(const sim::DeviceModel &controller);
    // Loads the driver and filters the chassis as its bus relations would,
    // every device located.
    void FilterChassis();
    // The configuration as the registry holds it at load.
    void Configure(const std::vector<std::pair<std::string, ULONG>> &values);

    sim::PciMachine machine_;
    std::unique_ptr<sim::PciBusDriver> bus_;
    PDRIVER_OBJECT driver_ = nullptr;
    bool loaded_ = false;
    sim::PciFunction *cb_ = nullptr, *p2p_ = nullptr, *nic_ = nullptr, *vga_ = nullptr;
};

} // namespace pnptest

#endif
