// The adapter's controller behind a bridge of the host: Tolmu filters only
// the controller and raises the host's bridge over the chassis's buses. What
// XP alone does with such bridges (subtractive and positive decode) is shown
// by the real laptops' dumps in tests/tools/cli.
#include "os_fixture.h"

#include "core/driver.h"

namespace {

using ostest::OsTest;
namespace models = sim::models;

// Bus 0: an ICH-style subtractive hub-to-PCI bridge 00:1e.0 routing buses
// 2..5 and forwarding memory 0xC0200000-0xC02FFFFF and I/O 0x3000-0x3FFF;
// behind it a NIC and a TI PCI1420 at 02:01.0 with buses 3..4, and behind
// that a chassis whose bridges need buses the hub bridge does not hold.
TEST_F(OsTest, TolmuFiltersOnlyTheControllerAndRaisesTheHostBridgeOverTheChassisBuses)
{
    sim::DeviceModel hubModel = models::GenericBridge(0x8086, 0x2448);
    hubModel.progIf = 0x01;
    sim::PciFunction *hub = machine_->AddFunction(machine_->Root(), 0x1E, 0, hubModel);
    machine_->SetBusNumbers(hub, 0, 2, 5);
    hub->Poke16(0x1C, 0x3030);
    hub->Poke32(0x20, 0xC020C020);
    hub->Poke32(0x24, 0x0000FFF0); // no prefetchable window
    hub->Poke16(0x04, 0x0007);
    machine_->AddFunction(machine_->SecondarySegment(hub), 0, 0, models::RTL8139());
    sim::PciFunction *controller = machine_->AddFunction(machine_->SecondarySegment(hub), 1, 0, models::TI1420());
    machine_->SetBusNumbers(controller, 2, 3, 4);
    machine_->AddFunction(machine_->SecondarySegment(controller), 0, 0, models::RTL8139());
    sim::PciFunction *up = machine_->AddFunction(machine_->SecondarySegment(controller), 1, 0, models::DEC21154());
    sim::PciFunction *down = machine_->AddFunction(machine_->SecondarySegment(up), 0, 0, models::TIPCI2250());
    sim::PciFunction *third = machine_->AddFunction(machine_->SecondarySegment(down), 1, 0, models::TIPCI2250());
    sim::PciFunction *deep = machine_->AddFunction(machine_->SecondarySegment(third), 0, 0, models::RTL8139());
    standin::RegSetDword("tolmu\\Parameters", "Io", 0x3000);
    Manager(DriverEntry).AddController(controller);
    pnp_->Boot();
    for (PDEVICE_OBJECT d = pnp_->Find(hub)->pdo; d != nullptr; d = d->AttachedDevice)
        EXPECT_NE(d->DriverObject, pnp_->FilterDriver()) << "Tolmu is not on the host's bridge";
    EXPECT_EQ(sim::PnpManager::TopOf(pnp_->Find(controller)->pdo)->DriverObject, pnp_->FilterDriver());
    // Numbered depth first from bus 3; the unfiltered hub bridge raised through the ports.
    EXPECT_EQ(down->SecondaryBus(), 5);
    EXPECT_EQ(third->SecondaryBus(), 6);
    EXPECT_GE(hub->SubordinateBus(), 6);
    EXPECT_EQ(machine_->BusNumberOf(deep), 6);
    ASSERT_NE(pnp_->Find(deep), nullptr) << pnp_->Describe();
    EXPECT_EQ(pnp_->Find(deep)->state, sim::NodeState::Started) << pnp_->Describe();
    EXPECT_NE(testsupport::TraceText().find("above the adapter: sub from 5 to"), std::string::npos);
}

} // namespace
