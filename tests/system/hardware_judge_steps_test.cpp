// The hardware judge at the end of every step of the PnP manager: each
// violation of the machine's registers becomes one verifier finding per
// step, on by default, off by PnpOptions; functions that are gone decode
// nothing; a started function that the hardware cannot serve is named.
#include "os_fixture.h"

#include "pci_devices.h"

namespace {

using ostest::OsTest;
namespace models = sim::models;

class JudgeStepsTest : public OsTest {
  protected:
    void SetUp() override
    {
        OsTest::SetUp();
        standin::SetFindingHandler([this](const standin::Finding &f) { seen_.push_back(f); });
    }

    void TearDown() override
    {
        // What the fixture's own unload would judge again is this test's
        // business no more; findings after it fail as usual.
        if (pnp_)
            pnp_->SetJudgeHardware(false);
        standin::SetFindingHandler(
            [](const standin::Finding &f) { ADD_FAILURE() << "verifier finding " << f.rule << ": " << f.detail; });
        OsTest::TearDown();
    }

    // A laptop whose firmware numbered a docking bridge on the root bus with
    // the very bus number of the CardBus controller.
    sim::PnpManager &TwoBridgesOnBusOne(sim::PnpOptions options = sim::PnpOptions())
    {
        machine_->AddFunction(machine_->Root(), 0, 0, models::Intel440BX());
        controller_ = machine_->AddFunction(machine_->Root(), 3, 0, models::TI1420());
        machine_->SetBusNumbers(controller_, 0, 1, 1);
        dock_ = machine_->AddFunction(machine_->Root(), 0x1e, 0, models::DEC21154());
        machine_->SetBusNumbers(dock_, 0, 1, 1);
        Manager(ostest::TestFilterEntry, options).AddController(controller_);
        return *pnp_;
    }

    size_t Count(const std::string &rule) const
    {
        size_t n = 0;
        for (const standin::Finding &f : seen_)
            n += f.rule == rule;
        return n;
    }

    std::vector<standin::Finding> seen_;
    sim::PciFunction *controller_ = nullptr;
    sim::PciFunction *dock_ = nullptr;
};

TEST_F(JudgeStepsTest, EachStepReportsWhatTheRegistersHoldOnce)
{
    sim::PnpManager &pnp = TwoBridgesOnBusOne();
    pnp.Boot();
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_EQ(seen_[0].rule, "BUS_NUMBER_CLAIMED_TWICE");
    EXPECT_EQ(seen_[0].detail, "bus 01 is routed by both 00:03.0 [01-01] and 00:1e.0 [01-01]: a configuration cycle "
                               "for them reaches only the first");

    pnp.SystemSleep();
    pnp.Rebalance();
    EXPECT_EQ(Count("BUS_NUMBER_CLAIMED_TWICE"), 3u) << "once after each step";
    pnp.UnloadAll();
    EXPECT_EQ(Count("BUS_NUMBER_CLAIMED_TWICE"), 4u) << "the numbers stay after the removal";
    EXPECT_EQ(seen_.size(), 4u);
}

TEST_F(JudgeStepsTest, OffByOption)
{
    sim::PnpOptions options;
    options.judgeHardware = false;
    sim::PnpManager &pnp = TwoBridgesOnBusOne(options);
    pnp.Boot();
    pnp.UnloadAll();
    EXPECT_TRUE(seen_.empty());
    EXPECT_EQ(pnp.JudgeNow().size(), 1u) << "asked for, the judge still answers";
}

TEST_F(JudgeStepsTest, StartedFunctionsAreTheManagersStartedNodes)
{
    machine_->AddFunction(machine_->Root(), 0, 0, models::Intel440BX());
    controller_ = machine_->AddFunction(machine_->Root(), 3, 0, models::TI1420());
    machine_->SetBusNumbers(controller_, 0, 1, 1);
    sim::PciFunction *nic = machine_->AddFunction(machine_->SecondarySegment(controller_), 0, 0, models::RTL8139());
    Manager(ostest::TestFilterEntry).AddController(controller_);
    pnp_->Boot();
    ASSERT_EQ(pnp_->Find(nic)->state, sim::NodeState::Started);
    EXPECT_TRUE(seen_.empty()) << seen_.front().detail;

    // The NIC's I/O BAR moved where the controller's window does not reach;
    // the registers survive a sleep, and the step ends with the finding.
    nic->Poke32(0x10, 0xF001);
    EXPECT_TRUE(seen_.empty()) << "nothing between steps";
    pnp_->SystemSleep();
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_EQ(seen_[0].rule, "BAR_UNREACHABLE");
    EXPECT_NE(seen_[0].detail.find("01:00.0 BAR0 (I/O 0xf000-0xf0ff) is not reached: 00:03.0 does not forward"),
              std::string::npos)
        << seen_[0].detail;
    std::vector<sim::Violation> now = pnp_->JudgeNow();
    ASSERT_EQ(now.size(), 1u);
    EXPECT_EQ(now[0].functions.front(), nic);

    // Removed, it is no longer started: its BAR is nobody's business.
    pnp_->UnloadAll();
    EXPECT_EQ(seen_.size(), 1u);
}

TEST_F(JudgeStepsTest, FunctionsPulledOutDecodeNothing)
{
    ostest::Chassis c = ostest::BuildChassis(*machine_, models::TI1420());
    Manager(ostest::TestFilterEntry).AddController(c.controller);
    pnp_->Boot();
    ASSERT_TRUE(seen_.empty()) << seen_.front().detail;
    // Two cards of the chassis on one address.
    c.nic1->Poke32(0x14, 0xA0000000);
    sim::PciFunction *twin = machine_->AddFunction(machine_->SecondarySegment(c.controller), 5, 0, models::RTL8139());
    twin->Poke32(0x14, 0xA0000000);
    twin->Poke16(0x04, 0x0002);
    c.nic1->Poke16(0x04, uint16_t(c.nic1->Peek16(0x04) | 0x0002));
    bool conflict = false;
    for (const sim::Violation &v : pnp_->JudgeNow())
        conflict = conflict || v.rule == "DECODE_CONFLICT";
    ASSERT_TRUE(conflict);

    pnp_->SurpriseRemove(pnp_->Find(c.controller));
    EXPECT_TRUE(seen_.empty()) << seen_.front().rule << ": " << seen_.front().detail;
}

} // namespace
