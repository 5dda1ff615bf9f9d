#include "os_fixture.h"

namespace ostest {

static void FailOnFinding(const standin::Finding &f) { ADD_FAILURE() << "verifier finding " << f.rule << ": " << f.detail; }

Chassis BuildChassis(sim::PciMachine &m, const sim::DeviceModel &controllerModel)
{
    namespace models = sim::models;
    Chassis c;
    m.AddFunction(m.Root(), 0, 0, models::Intel440BX());
    c.controller = m.AddFunction(m.Root(), 3, 0, controllerModel);
    m.SetBusNumbers(c.controller, 0, 1, 2);
    sim::PciSegment *bus1 = m.SecondarySegment(c.controller);
    c.bridgeA = m.AddFunction(bus1, 0, 0, models::DEC21154());
    c.nic1 = m.AddFunction(bus1, 1, 0, models::RTL8139());
    sim::PciSegment *bus2 = m.SecondarySegment(c.bridgeA);
    sim::DeviceModel vga = models::GeForce2MX();
    vga.bars = {sim::MemBar(0, 16u << 20), sim::PrefetchBar(1, 64u << 20)};
    c.vga = m.AddFunction(bus2, 0, 0, vga);
    c.audio = m.AddFunction(bus2, 1, 0, models::SBLiveAudio());
    c.gameport = m.AddFunction(bus2, 1, 1, models::SBLiveGameport());
    c.bridgeB = m.AddFunction(bus2, 2, 0, models::TIPCI2250());
    sim::PciSegment *bus3 = m.SecondarySegment(c.bridgeB);
    c.nic2 = m.AddFunction(bus3, 0, 0, models::RTL8139());
    sim::DeviceModel fpga = models::FpgaBoard64();
    fpga.bars = {sim::MemBar(0, 0x1000), sim::Mem64Bar(2, 16u << 20, true)};
    c.fpga = m.AddFunction(bus3, 1, 0, fpga);
    c.behind = {c.bridgeA, c.nic1, c.vga, c.audio, c.gameport, c.bridgeB, c.nic2, c.fpga};
    return c;
}

void OsTest::SetUp()
{
    DriverTest::SetUp();
    machine_ = std::make_unique<sim::PciMachine>();
    machine_->Install();
    bus_ = std::make_unique<sim::PciBusDriver>(*machine_);
    standin::SetFindingHandler(FailOnFinding);
}

void OsTest::TearDown()
{
    if (pnp_)
        pnp_->UnloadAll();
    pnp_.reset();
    bus_.reset();
    standin::CheckIoLeftovers();
    EXPECT_EQ(standin::LiveDeviceCount(), 0u) << "device objects left after the bus driver went";
    machine_.reset();
    standin::SetFindingHandler(FailOnFinding);
    DriverTest::TearDown();
}

sim::PnpManager &OsTest::Manager(PDRIVER_INITIALIZE filter, sim::PnpOptions options)
{
    options.filterEntry = filter;
    pnp_ = std::make_unique<sim::PnpManager>(*bus_, options);
    return *pnp_;
}

void OsTest::BootChassis(PDRIVER_INITIALIZE filter)
{
    chassis_ = BuildChassis(*machine_, sim::models::TI1420());
    Manager(filter).AddController(chassis_.controller);
    pnp_->Boot();
}

} // namespace ostest
