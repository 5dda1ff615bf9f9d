// The example machines booted through the session with and without Tolmu,
// through every scenario: the device states and the hardware state they leave
// (the default chassis's registers one by one are tests/system's).
#include "cli_test.h"

namespace {

using namespace clitest;

constexpr uint16_t kVgaEnable = 0x0008; // bridge control, VGA forwarding

// The deep chassis's first bridge was left unnumbered: Tolmu numbers three
// bridge levels and the climb from the VGA card reaches the controller.
TEST_F(TolmuSim, DeepChassisIsNumberedAndForwardsVga)
{
    const StepResult deep = Boot("deep-chassis.json", true).steps.at(0);
    const std::pair<const char *, int> secondary[] = {{"01:00.0", 2}, {"02:00.0", 3}, {"03:00.0", 4}};
    for (const auto &[label, bus] : secondary)
        EXPECT_EQ(Fn(deep, label).busNumbers[1], bus) << label;
    EXPECT_EQ(Fn(deep, "04:00.0").bus, 4);
    for (const char *bridge : {"00:03.0", "01:00.0", "02:00.0"})
        EXPECT_NE(Word(Fn(deep, bridge), 0x3E) & kVgaEnable, 0) << bridge << " forwards VGA to 03:01.0";
    EXPECT_EQ(Word(Fn(deep, "03:00.0"), 0x3E) & kVgaEnable, 0) << "no VGA card below 03:00.0";
}

// ------------------------------------------------ every scenario, every machine

struct ScenarioCase {
    const char *machine, *scenario;
};

class EveryScenario : public TolmuSim, public testing::WithParamInterface<ScenarioCase> {};

TEST_P(EveryScenario, RunsCleanAndLeavesTheExpectedStates)
{
    const ScenarioCase &c = GetParam();
    for (bool filter : {false, true}) {
        SCOPED_TRACE(filter ? "with Tolmu" : "without Tolmu");
        RunResult r = Boot(c.machine, filter, c.scenario);
        for (const standin::Finding &f : r.findings)
            ADD_FAILURE() << "finding " << f.rule << ": " << f.detail;
        EXPECT_EQ(r.poolBlocks, 0u) << r.poolReport;
        ASSERT_EQ(r.steps.size(), tolmusim::ScenarioSteps(c.scenario).size());
        // With Tolmu every function at and behind the controller starts.
        if (filter)
            for (const FunctionState &f : r.steps.front().functions)
                if (f.managed)
                    EXPECT_EQ(f.stateKey, "started") << f.label << " after boot: " << f.state;
        const StepResult &last = r.steps.back();
        for (const FunctionState &f : last.functions) {
            if (!f.managed)
                continue;
            const bool gone = f.stateKey == "removed" || f.stateKey == "not_found";
            if (last.scenario == "unload" || (last.scenario == "surprise" && !f.controller))
                EXPECT_TRUE(gone) << f.label << " " << f.state;
            else if (filter && last.scenario != "surprise")
                EXPECT_EQ(f.stateKey, "started") << f.label << " after " << last.scenario;
            // Volatile registers come back after a sleep: the latency timers.
            if (filter && last.scenario == "sleep" && f.stateKey == "started" && !f.controller)
                EXPECT_EQ(f.config[0x0D], 0xF8) << f.label << " latency timer after resume";
        }
        EXPECT_EQ(r.filterUnloaded, filter);
        EXPECT_EQ(r.trace.find("Unload called") != std::string::npos, filter);
    }
}

std::vector<ScenarioCase> AllCases()
{
    std::vector<ScenarioCase> cases;
    for (const char *m : {"default-machine.json", "p2p-adapter.json", "deep-chassis.json"})
        for (const char *s : {"boot", "sleep", "rebalance", "surprise", "reinsert", "unload", "all"})
            cases.push_back({m, s});
    cases.push_back({"many-bridges.json", "all"}); // 885 functions behind fourteen bridges
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Machines, EveryScenario, testing::ValuesIn(AllCases()),
                         [](const testing::TestParamInfo<ScenarioCase> &info) {
                             std::string name = std::string(info.param.machine) + "_" + info.param.scenario;
                             for (char &ch : name)
                                 if (!isalnum(static_cast<unsigned char>(ch)))
                                     ch = '_';
                             return name;
                         });

} // namespace
