// The adapter's controller behind bridges of the host: what XP does with the
// firmware's configuration above the controller, and what Tolmu does there.
#include "os_fixture.h"

#include "core/driver.h"

namespace {

using ostest::OsTest;
namespace models = sim::models;

// Bus 0: an ICH-style hub-to-PCI bridge 00:1e.0 routing buses 2..5 and
// forwarding memory 0xC0200000-0xC02FFFFF and I/O 0x3000-0x3FFF; behind it
// a NIC the firmware placed at 0xC0200000 and a TI PCI1420 at 02:01.0 with
// buses 3..4 and a NIC behind it.
class HostBridgesTest : public OsTest {
  protected:
    void BuildLaptop(bool subtractive)
    {
        sim::DeviceModel hub = models::GenericBridge(0x8086, 0x2448);
        hub.progIf = subtractive ? 0x01 : 0x00;
        hub_ = machine_->AddFunction(machine_->Root(), 0x1E, 0, hub);
        machine_->SetBusNumbers(hub_, 0, 2, 5);
        hub_->Poke16(0x1C, 0x3030);
        hub_->Poke32(0x20, 0xC020C020);
        hub_->Poke32(0x24, 0x0000FFF0); // no prefetchable window
        hub_->Poke16(0x04, 0x0007);
        nic_ = machine_->AddFunction(machine_->SecondarySegment(hub_), 0, 0, models::RTL8139());
        nic_->Poke32(0x14, 0xC0200000);
        nic_->Poke16(0x04, 0x0002);
        controller_ = machine_->AddFunction(machine_->SecondarySegment(hub_), 1, 0, models::TI1420());
        machine_->SetBusNumbers(controller_, 2, 3, 4);
        card_ = machine_->AddFunction(machine_->SecondarySegment(controller_), 0, 0, models::RTL8139());
    }
    void Boot(PDRIVER_INITIALIZE filter)
    {
        Manager(filter).AddController(controller_);
        pnp_->Boot();
    }
    // The controller started with every memory range of at least minLength clear of [first, last].
    void ExpectControllerClear(uint64_t first, uint64_t last, uint64_t minLength = 1)
    {
        sim::DeviceNode *cb = pnp_->Find(controller_);
        ASSERT_EQ(cb->state, sim::NodeState::Started) << pnp_->Describe();
        for (const auto &d : cb->assigned) {
            const uint64_t s = uint64_t(d.u.Memory.Start.QuadPart), e = s + d.u.Memory.Length - 1;
            EXPECT_TRUE(d.Type != CmResourceTypeMemory || d.u.Memory.Length < minLength || e < first || s > last)
                << std::hex << "0x" << s << "-0x" << e << " over 0x" << first << "-0x" << last;
        }
    }

    sim::PciFunction *hub_ = nullptr, *nic_ = nullptr, *controller_ = nullptr, *card_ = nullptr;
};

TEST_F(HostBridgesTest, SubtractiveHubBridgeLendsTheRootBusAndKeepsTheFirmwaresSettings)
{
    BuildLaptop(/*subtractive=*/true);
    Boot(nullptr);
    sim::DeviceNode *hub = pnp_->Find(hub_);
    ASSERT_NE(hub, nullptr) << "the bridge above the controller gets a stack";
    EXPECT_EQ(hub->state, sim::NodeState::Started);
    EXPECT_EQ(hub_->SubordinateBus(), 5);
    EXPECT_EQ(hub_->Peek32(0x20), 0xC020C020u);
    // The 4 MB CardBus windows do not fit the 1 MB window: they come from the
    // root bus, clear of it; nothing lands on the NIC.
    ExpectControllerClear(0xC0200000, 0xC02FFFFF, 0x400000);
    ExpectControllerClear(0xC0200000, 0xC02000FF);
    EXPECT_EQ(pnp_->Find(card_)->state, sim::NodeState::Started);
}

TEST_F(HostBridgesTest, PositiveDecodeHubBridgeHoldsTheControllerToItsWindow)
{
    BuildLaptop(/*subtractive=*/false);
    Boot(nullptr);
    EXPECT_EQ(pnp_->Find(controller_)->problem, sim::kProblemNormalConflict)
        << "4 MB CardBus windows do not fit a 1 MB window that XP will not move";

}

TEST_F(HostBridgesTest, TolmuFiltersOnlyTheControllerAndRaisesTheHostBridgeOverTheChassisBuses)
{
    BuildLaptop(/*subtractive=*/true);
    // A chassis whose bridges need buses the hub bridge's [02-05] does not hold.
    nic_->Poke16(0x04, 0);
    sim::PciFunction *up = machine_->AddFunction(machine_->SecondarySegment(controller_), 1, 0, models::DEC21154());
    sim::PciFunction *down = machine_->AddFunction(machine_->SecondarySegment(up), 0, 0, models::TIPCI2250());
    sim::PciFunction *third = machine_->AddFunction(machine_->SecondarySegment(down), 1, 0, models::TIPCI2250());
    sim::PciFunction *deep = machine_->AddFunction(machine_->SecondarySegment(third), 0, 0, models::RTL8139());
    standin::RegSetDword("tolmu\\Parameters", "Io", 0x3000);
    Boot(DriverEntry);
    for (PDEVICE_OBJECT d = pnp_->Find(hub_)->pdo; d != nullptr; d = d->AttachedDevice)
        EXPECT_NE(d->DriverObject, pnp_->FilterDriver()) << "Tolmu is not on the host's bridge";
    EXPECT_EQ(sim::PnpManager::TopOf(pnp_->Find(controller_)->pdo)->DriverObject, pnp_->FilterDriver());
    // Numbered depth first from bus 3; the unfiltered hub bridge raised through the ports.
    EXPECT_EQ(down->SecondaryBus(), 5);
    EXPECT_EQ(third->SecondaryBus(), 6);
    EXPECT_GE(hub_->SubordinateBus(), 6);
    EXPECT_EQ(machine_->BusNumberOf(deep), 6);
    ASSERT_NE(pnp_->Find(deep), nullptr) << pnp_->Describe();
    EXPECT_EQ(pnp_->Find(deep)->state, sim::NodeState::Started) << pnp_->Describe();
    EXPECT_NE(testsupport::TraceText().find("above the adapter: sub from 5 to"), std::string::npos);
}

} // namespace
