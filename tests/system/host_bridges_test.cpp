// The adapter's controller behind bridges of the host, and peer root buses:
// what XP does with the firmware's configuration above the controller, and
// what the chipset does with configuration cycles for a peer host bridge.
#include "os_fixture.h"

#include "core/driver.h"
#include "pci_devices.h"

namespace {

using ostest::OsTest;
namespace models = sim::models;

// A bridge of the host as the firmware left it: bus numbers, windows and the
// command register's decode bits.
void Configure(sim::PciMachine &m, sim::PciFunction *b, uint8_t pri, uint8_t sec, uint8_t sub, uint16_t io,
               uint32_t memBase, uint32_t memLimit)
{
    m.SetBusNumbers(b, pri, sec, sub);
    b->Poke8(0x1C, uint8_t(io >> 8));        // I/O base, one 4 KB block
    b->Poke8(0x1D, uint8_t(io >> 8));        // I/O limit
    b->Poke16(0x20, uint16_t(memBase >> 16));
    b->Poke16(0x22, uint16_t(memLimit >> 16));
    b->Poke16(0x24, 0xFFF0);                 // prefetchable window closed
    b->Poke16(0x26, 0x0000);
    b->Poke16(0x04, 0x0007);
}

class HostBridgesTest : public OsTest {
  protected:
    // Bus 0: an ICH-style hub-to-PCI bridge 00:1e.0 (subtractive decode when
    // asked), bus 2 behind it with a NIC the firmware placed at 0xC0200000
    // and a TI PCI1420 CardBus controller at 02:01.0; the hub bridge routes
    // buses 2..5 and forwards memory 0xC0200000-0xC02FFFFF, I/O 0x3000.
    void BuildLaptop(bool subtractive)
    {
        sim::DeviceModel hub = models::GenericBridge(0x8086, 0x2448);
        hub.progIf = subtractive ? 0x01 : 0x00;
        hubBridge_ = machine_->AddFunction(machine_->Root(), 0x1E, 0, hub);
        Configure(*machine_, hubBridge_, 0, 2, 5, 0x3000, 0xC0200000, 0xC02FFFFF);
        nic_ = machine_->AddFunction(machine_->SecondarySegment(hubBridge_), 0, 0, models::RTL8139());
        nic_->Poke32(0x14, 0xC0200000);
        nic_->Poke16(0x04, 0x0002);
        controller_ = machine_->AddFunction(machine_->SecondarySegment(hubBridge_), 1, 0, models::TI1420());
        machine_->SetBusNumbers(controller_, 2, 3, 4);
        card_ = machine_->AddFunction(machine_->SecondarySegment(controller_), 0, 0, models::RTL8139());
    }

    void Boot(PDRIVER_INITIALIZE filter)
    {
        Manager(filter).AddController(controller_);
        pnp_->Boot();
    }

    sim::PciFunction *hubBridge_ = nullptr, *nic_ = nullptr, *controller_ = nullptr, *card_ = nullptr;
};

TEST_F(HostBridgesTest, ControllerBehindSubtractiveHubBridgeStartsWithWindowsFromTheRootBus)
{
    BuildLaptop(/*subtractive=*/true);
    uint16_t memLimit = hubBridge_->Peek16(0x22);
    Boot(nullptr);

    sim::DeviceNode *hub = pnp_->Find(hubBridge_);
    ASSERT_NE(hub, nullptr) << "the bridge above the controller gets a stack";
    EXPECT_TRUE(hub->host);
    EXPECT_EQ(hub->state, sim::NodeState::Started);
    EXPECT_EQ(pnp_->HostBridgeDriver().DeviceFor(hub->pdo), hub->fdo) << "pci.sys drives the host's bridge";
    EXPECT_EQ(pnp_->Find(nic_), nullptr) << "the host's other devices are outside the simulation";

    // The firmware's configuration of the host's bridge is kept as it was.
    EXPECT_EQ(hubBridge_->SubordinateBus(), 5);
    EXPECT_EQ(hubBridge_->Peek16(0x20), 0xC020);
    EXPECT_EQ(hubBridge_->Peek16(0x22), memLimit);

    // The CardBus windows (4 MB each) cannot fit in the 1 MB window: they come
    // from the root bus through the subtractive bridge, clear of the NIC.
    sim::DeviceNode *cb = pnp_->Find(controller_);
    ASSERT_NE(cb, nullptr);
    ASSERT_EQ(cb->state, sim::NodeState::Started) << pnp_->Describe();
    for (const auto &d : cb->assigned)
        if (d.Type == CmResourceTypeMemory && d.u.Memory.Length != 0) {
            uint64_t s = uint64_t(d.u.Memory.Start.QuadPart), e = s + d.u.Memory.Length - 1;
            EXPECT_TRUE(e < 0xC0200000u || s > 0xC02000FFu) << "placed over the NIC's BAR: " << std::hex << s;
            if (d.u.Memory.Length >= 0x400000)
                EXPECT_TRUE(e < 0xC0200000u || s > 0xC02FFFFFu) << "a CardBus window " << std::hex << s;
        }
    EXPECT_EQ(pnp_->Find(card_)->state, sim::NodeState::Started) << "the card behind the controller";
}

TEST_F(HostBridgesTest, BridgeWithoutSubtractiveDecodeHoldsTheControllerToItsWindows)
{
    BuildLaptop(/*subtractive=*/false);
    Boot(nullptr);
    EXPECT_EQ(pnp_->Find(hubBridge_)->state, sim::NodeState::Started);
    sim::DeviceNode *cb = pnp_->Find(controller_);
    ASSERT_NE(cb, nullptr);
    EXPECT_EQ(cb->state, sim::NodeState::NotEnoughResources)
        << "4 MB CardBus windows do not fit a 1 MB window that XP will not move";
    EXPECT_EQ(cb->problem, sim::kProblemNormalConflict);

    // A window the firmware made large enough holds everything.
    pnp_.reset();
    bus_ = std::make_unique<sim::PciBusDriver>(*machine_);
    hubBridge_->Poke16(0x22, 0xC1F0); // memory window 0xC0200000-0xC1FFFFFF
    hubBridge_->Poke16(0x04, 0x0007); // decoding again, as after a reboot
    Boot(nullptr);
    cb = pnp_->Find(controller_);
    ASSERT_EQ(cb->state, sim::NodeState::Started) << pnp_->Describe();
    auto expectInside = [&](const char *when) {
        sim::DeviceNode *n = pnp_->Find(controller_);
        ASSERT_EQ(n->state, sim::NodeState::Started) << when << "\n" << pnp_->Describe();
        for (const auto &d : n->assigned)
            if (d.Type == CmResourceTypeMemory && d.u.Memory.Length != 0)
                EXPECT_TRUE(uint64_t(d.u.Memory.Start.QuadPart) >= 0xC0200100u &&
                            uint64_t(d.u.Memory.Start.QuadPart) + d.u.Memory.Length - 1 <= 0xC1FFFFFFu)
                    << when << ": " << std::hex << d.u.Memory.Start.QuadPart;
    };
    expectInside("boot");

    // A rebalance stops the bridge (decoding off) and starts it again with
    // the same windows: pci.sys remembers the firmware's settings.
    pnp_->Rebalance();
    expectInside("rebalance");
    EXPECT_EQ(hubBridge_->Peek16(0x22), 0xC1F0);
    EXPECT_EQ(hubBridge_->Peek16(0x04) & 0x3, 0x3) << "decoding again";
}

TEST_F(HostBridgesTest, TolmuFiltersOnlyTheControllerAndRaisesTheHostBridgeOverTheChassisBuses)
{
    BuildLaptop(/*subtractive=*/true);
    // A chassis bridge on the card slot, whose own bridges need buses the hub
    // bridge's range [02-05] does not hold once Tolmu numbers them.
    nic_->Poke16(0x04, 0);
    sim::PciFunction *up = machine_->AddFunction(machine_->SecondarySegment(controller_), 1, 0, models::DEC21154());
    sim::PciFunction *down = machine_->AddFunction(machine_->SecondarySegment(up), 0, 0, models::TIPCI2250());
    sim::PciFunction *third = machine_->AddFunction(machine_->SecondarySegment(down), 1, 0, models::TIPCI2250());
    sim::PciFunction *deep = machine_->AddFunction(machine_->SecondarySegment(third), 0, 0, models::RTL8139());
    standin::RegSetDword("tolmu\\Parameters", "Io", 0x3000);
    Boot(DriverEntry);

    sim::DeviceNode *hub = pnp_->Find(hubBridge_);
    ASSERT_NE(hub, nullptr);
    for (PDEVICE_OBJECT d = hub->pdo; d != nullptr; d = d->AttachedDevice)
        EXPECT_NE(d->DriverObject, pnp_->FilterDriver()) << "Tolmu is not on the host's bridge";
    bool onController = false;
    for (PDEVICE_OBJECT d = pnp_->Find(controller_)->pdo; d != nullptr; d = d->AttachedDevice)
        onController = onController || d->DriverObject == pnp_->FilterDriver();
    EXPECT_TRUE(onController) << "Tolmu is the controller's upper filter where it sits";

    // Tolmu numbers depth first from the controller's bus 3 and has the hub
    // bridge, which it does not filter, route the new buses as well.
    EXPECT_EQ(down->SecondaryBus(), 5);
    EXPECT_EQ(third->SecondaryBus(), 6);
    EXPECT_GE(hubBridge_->SubordinateBus(), 6) << "raised through the ports";
    EXPECT_EQ(machine_->BusNumberOf(deep), 6);
    ASSERT_NE(pnp_->Find(deep), nullptr) << pnp_->Describe();
    EXPECT_EQ(pnp_->Find(deep)->state, sim::NodeState::Started) << pnp_->Describe();
    EXPECT_NE(testsupport::TraceText().find("above the adapter: sub from 5 to"), std::string::npos);
}

// ------------------------------------------------------------ root buses

TEST_F(OsTest, PeerRootBusOwnsItsNumbersAndNoBridgeReachesIt)
{
    // Root 0: a bridge the firmware gave every number up to 0xFF. Root 0x80:
    // a host bridge of its own with a function and a bridge to 0x81.
    sim::PciFunction *wide = machine_->AddFunction(machine_->Root(), 1, 0, models::DEC21154());
    machine_->SetBusNumbers(wide, 0, 1, 0xFF);
    sim::PciFunction *under = machine_->AddFunction(machine_->SecondarySegment(wide), 0, 0, models::RTL8139());
    sim::PciSegment *peer = machine_->RootBus(0x80);
    sim::PciFunction *onPeer = machine_->AddFunction(peer, 2, 0, models::RTL8139());
    sim::PciFunction *peerBridge = machine_->AddFunction(peer, 3, 0, models::DEC21154());
    sim::PciFunction *farCard = machine_->AddFunction(machine_->SecondarySegment(peerBridge), 0, 0, models::GeForce2MX());

    EXPECT_EQ(machine_->Find(0x80, 2, 0), onPeer) << "a type 0 cycle on the peer root bus";
    EXPECT_EQ(machine_->Find(1, 0, 0), under);
    EXPECT_EQ(machine_->Find(0x90, 0, 0), nullptr) << "numbers above 0x80 belong to the peer host bridge";
    EXPECT_EQ(machine_->BusNumberOf(onPeer), 0x80);
    EXPECT_EQ(machine_->Roots().size(), 2u);

    // XP numbers an unconfigured bridge on the peer root inside its numbers.
    bus_->NumberRootBridge(peerBridge);
    EXPECT_EQ(peerBridge->PrimaryBus(), 0x80);
    EXPECT_EQ(peerBridge->SecondaryBus(), 0x81);
    EXPECT_EQ(machine_->Find(0x81, 0, 0), farCard);

    // Root 0 cannot give the next bridge a number: its numbers end at 0x7F
    // and the wide bridge holds them all.
    sim::PciFunction *late = machine_->AddFunction(machine_->Root(), 2, 0, models::DEC21154());
    bus_->NumberRootBridge(late);
    EXPECT_EQ(late->SecondaryBus(), 0) << "0xFF is in use, and 0x80 and up are the peer's";

    // Firmware-style numbering keeps each root's numbers its own.
    machine_->SetBusNumbers(wide, 0, 0, 0);
    machine_->SetBusNumbers(peerBridge, 0, 0, 0);
    machine_->NumberBuses();
    EXPECT_EQ(peerBridge->SecondaryBus(), 0x81);
    EXPECT_EQ(wide->SecondaryBus(), 1);
}

TEST_F(HostBridgesTest, FirmwareRangesOfTheHostAreNeverHandedOutAgain)
{
    // The host's graphics card decodes 0x80000000-0x80FFFFFF where the root
    // bus's memory begins; the controller on the root bus must go elsewhere.
    sim::DeviceModel vga = models::GeForce2MX();
    sim::PciFunction *gfx = machine_->AddFunction(machine_->Root(), 2, 0, vga);
    gfx->Poke32(0x10, 0x80000000);
    gfx->Poke32(0x14, 0x88000000);
    gfx->Poke16(0x04, 0x0002);
    controller_ = machine_->AddFunction(machine_->Root(), 3, 0, models::TI1420());
    Boot(nullptr);
    auto expectClear = [&](const char *when) {
        sim::DeviceNode *cb = pnp_->Find(controller_);
        ASSERT_EQ(cb->state, sim::NodeState::Started) << when;
        for (const auto &d : cb->assigned)
            if (d.Type == CmResourceTypeMemory && d.u.Memory.Length != 0) {
                uint64_t s = uint64_t(d.u.Memory.Start.QuadPart), e = s + d.u.Memory.Length - 1;
                for (const sim::BarInfo &b : bus_->Bars(gfx))
                    EXPECT_TRUE(e < b.address || s > b.address + b.size - 1)
                        << when << ": controller range " << std::hex << s << " over the graphics BAR " << b.address;
            }
    };
    expectClear("boot");
    // A rebalance starts arbitration again from empty windows, but the
    // host's ranges stay reserved.
    pnp_->Rebalance();
    expectClear("rebalance");
}

} // namespace
