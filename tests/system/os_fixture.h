// The system tests: a machine, its PCI bus driver and a PnP manager built in
// each test, and the default chassis.
#ifndef TOLMU_TESTS_OS_FIXTURE_H
#define TOLMU_TESTS_OS_FIXTURE_H

#include <memory>
#include <string>
#include <vector>

#include "pci_bus_driver.h"
#include "pci_devices.h"
#include "pnp_manager.h"
#include "resources.h"
#include "standin/iomgr.h"
#include "test_support.h"

namespace ostest {

// The default chassis, behind a CardBus controller at 00:03.0 whose
// firmware gave it bus numbers 1..2:
//   bus 1: 00 DEC 21154 bridge (A), 01 RTL8139 NIC
//   bus 2 (behind A): 00 VGA (16 MB memory, 64 MB prefetchable),
//          01.0 / 01.1 SB Live audio and gameport, 02 TI PCI2250 bridge (B)
//   bus 3 (behind B): 00 RTL8139 NIC, 01 a card with a 16 MB 64-bit
//          prefetchable BAR
struct Chassis {
    sim::PciFunction *controller, *bridgeA, *nic1, *vga, *audio, *gameport, *bridgeB, *nic2, *fpga;
    std::vector<sim::PciFunction *> behind; // every function behind the controller
};
Chassis BuildChassis(sim::PciMachine &m, const sim::DeviceModel &controllerModel);

class OsTest : public testsupport::DriverTest {
  protected:
    void SetUp() override;
    void TearDown() override;
    // A PnP manager over the bus driver, with the given filter (or none).
    sim::PnpManager &Manager(PDRIVER_INITIALIZE filter, sim::PnpOptions options = sim::PnpOptions());
    // Builds the default chassis behind a TI PCI1420 and boots it.
    void BootChassis(PDRIVER_INITIALIZE filter);

    std::unique_ptr<sim::PciMachine> machine_;
    std::unique_ptr<sim::PciBusDriver> bus_;
    std::unique_ptr<sim::PnpManager> pnp_;
    Chassis chassis_{};
};

} // namespace ostest

#endif
