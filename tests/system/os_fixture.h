// The simulated operating system's tests: a machine, its PCI bus driver and
// a PnP manager built in each test, plus a tiny pass-through filter driver
// for the tests that look at stacks without Tolmu's own output.
#ifndef TOLMU_TESTS_OS_FIXTURE_H
#define TOLMU_TESTS_OS_FIXTURE_H

#include <memory>
#include <string>
#include <vector>

#include "pci_bus_driver.h"
#include "pnp_manager.h"
#include "resources.h"
#include "standin/iomgr.h"
#include "test_support.h"

namespace ostest {

// A filter that behaves like Tolmu does towards the stacks (attaches by
// AddDevice and to every child of a bus-relations answer, removes itself at
// IRP_MN_REMOVE_DEVICE) and does nothing else.
extern "C" NTSTATUS NTAPI TestFilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
struct TestFilterLog {
    std::string registryPath;   // what TestFilterEntry was given
    std::vector<UCHAR> minors;  // minor codes its devices received, in order
    bool unloaded = false;
    // When set, it replaces every list of a filter request with a copy, frees
    // the old one, and passes the request on without a status of its own.
    bool replacesLists = false;
};
TestFilterLog &TestFilter();

// The default chassis of these tests, behind a CardBus controller at
// 00:03.0 whose firmware gave it bus numbers 1..2:
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

    std::unique_ptr<sim::PciMachine> machine_;
    std::unique_ptr<sim::PciBusDriver> bus_;
    std::unique_ptr<sim::PnpManager> pnp_;
};

} // namespace ostest

#endif
