// The example machines booted through the session with and without Tolmu,
// through every scenario: the device states and the hardware state they leave.
#include "cli_test.h"

namespace {

using namespace clitest;

constexpr uint16_t kVgaEnable = 0x0008; // bridge control, VGA forwarding

TEST_F(TolmuSim, DefaultMachineWithTolmuProgramsTheChassis)
{
    RunResult r = Boot("", true);
    const StepResult &boot = r.steps.at(0);
    for (const FunctionState &f : boot.functions)
        if (f.managed)
            EXPECT_EQ(f.stateKey, "started") << f.label << ": " << f.state;

    const FunctionState &controller = Fn(boot, "00:03.0"), &bridgeA = Fn(boot, "01:00.0"),
                        &bridgeB = Fn(boot, "02:02.0");
    EXPECT_EQ(bridgeA.busNumbers[1], 2);
    EXPECT_EQ(bridgeB.busNumbers[0], 2);
    EXPECT_EQ(bridgeB.busNumbers[1], 3);
    EXPECT_GE(controller.busNumbers[2], bridgeB.busNumbers[1]);
    EXPECT_EQ(Fn(boot, "03:00.0").bus, 3);

    // The chassis bridge forwards memory for the 16 MB VGA BAR, prefetchable
    // memory for its 64 MB BAR and the 16 MB 64-bit BAR below.
    ASSERT_EQ(bridgeA.windows.size(), 3u);
    EXPECT_TRUE(bridgeA.windows[1].enabled);
    EXPECT_GE(bridgeA.windows[1].limit - bridgeA.windows[1].base + 1, 0x1000000u);
    EXPECT_GE(bridgeA.windows[2].limit - bridgeA.windows[2].base + 1, 0x5000000u);
    const FunctionState &fpga = Fn(boot, "03:00.0");
    ASSERT_EQ(fpga.bars.size(), 2u);
    EXPECT_EQ(fpga.bars[1].type, "mem64");
    EXPECT_GE(fpga.bars[1].address, bridgeB.windows[2].base);
    EXPECT_LE(fpga.bars[1].address + fpga.bars[1].size - 1, bridgeB.windows[2].limit);

    // The TI1420 behind the adapter patched, latency timers, VGA forwarding
    // on the bridges above the display card only.
    const FunctionState &ti = Fn(boot, "01:02.0");
    const std::pair<int, uint16_t> tiWords[] = {{0x8C, 0xCD22}, {0x8E, 0x0ECB}, {0x92, 0x6166}, {0x82, 0x0844}};
    for (const auto &[at, value] : tiWords)
        EXPECT_EQ(Word(ti, at), value) << "TI1420 register 0x" << std::hex << at;
    EXPECT_EQ(ti.config[0x1B], 0xF8) << "CardBus latency timer";
    for (const char *label : {"01:00.0", "02:00.0", "02:01.0", "03:01.0"})
        EXPECT_EQ(Fn(boot, label).config[0x0D], 0xF8) << label << " latency timer";
    EXPECT_NE(Word(bridgeA, 0x3E) & kVgaEnable, 0);
    EXPECT_NE(Word(controller, 0x3E) & kVgaEnable, 0);
    EXPECT_EQ(Word(bridgeB, 0x3E) & kVgaEnable, 0) << "no VGA card below 02:02.0";

    for (const char *line : {"EnumerateFromHere", "Post-Filtered Resources:",
                             "hackCbBridge: Patching TI1420 Control Registers", "Unload called"})
        EXPECT_NE(r.trace.find(line), std::string::npos) << "trace lacks \"" << line << "\"";
    EXPECT_TRUE(r.Clean()) << r.poolReport;
    EXPECT_TRUE(r.filterUnloaded);
}

// The deep chassis's first bridge was left unnumbered: Tolmu numbers three
// bridge levels and the climb from the VGA card reaches the controller. The
// P2P adapter's controller is a PCI-to-PCI bridge, filtered as one.
TEST_F(TolmuSim, DeepChassisAndP2pAdapterNumberedWithTolmuOnly)
{
    const StepResult deep = Boot("deep-chassis.json", true).steps.at(0);
    EXPECT_EQ(Fn(Boot("deep-chassis.json", false).steps.at(0), "04:00.0").state, "not found (no bus number)");
    const std::pair<const char *, int> secondary[] = {{"01:00.0", 2}, {"02:00.0", 3}, {"03:00.0", 4}};
    for (const auto &[label, bus] : secondary)
        EXPECT_EQ(Fn(deep, label).busNumbers[1], bus) << label;
    EXPECT_EQ(Fn(deep, "04:00.0").bus, 4);
    for (const char *bridge : {"00:03.0", "01:00.0", "02:00.0"})
        EXPECT_NE(Word(Fn(deep, bridge), 0x3E) & kVgaEnable, 0) << bridge << " forwards VGA to 03:01.0";
    EXPECT_EQ(Word(Fn(deep, "03:00.0"), 0x3E) & kVgaEnable, 0) << "no VGA card below 03:00.0";

    EXPECT_EQ(Fn(Boot("p2p-adapter.json", false).steps.at(0), "02:00.0").state, "not found (no bus number)");
    EXPECT_NE(Boot("p2p-adapter.json", true).trace.find("EnumerateFromHere 0:8:0"), std::string::npos);
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
