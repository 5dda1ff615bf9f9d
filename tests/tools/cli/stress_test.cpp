// Long runs on the default machine with the trace on: a thousand sleeps, two
// hundred rebalances, a hundred times the chassis pulled out and plugged in
// again. Nothing may leak or pile up from one cycle to the next, no finding
// may come, the registers must be what the first start left, and the trace
// buffer fills on the way and stays full. tools/run_tests.sh reads the line
// "stress: ..." this prints.
#include <cstdio>

#include "cli_test.h"

namespace {

using namespace clitest;

constexpr int kSleeps = 1000, kRebalances = 200, kReinsertions = 100;
constexpr uint32_t kTraceSize = 0x20000; // the driver's default TraceSize
constexpr uint32_t kLongestLine = 132;   // what one trace line can take

TEST(Stress, DefaultMachineThroughThousandsOfCycles)
{
    auto desc = tolmusim::ParseMachineJson(tolmusim::DefaultMachineText(), "default", nullptr);
    ASSERT_TRUE(desc.has_value());
    tolmusim::RunOptions options;
    options.params["TraceSize"] = kTraceSize;
    options.steps = {"boot"};
    options.steps.insert(options.steps.end(), kSleeps, "sleep");
    options.steps.insert(options.steps.end(), kRebalances, "rebalance");
    for (int i = 0; i < kReinsertions; i++)
        options.steps.insert(options.steps.end(), {"surprise", "reinsert"});
    options.steps.push_back("unload");
    RunResult r = tolmusim::RunMachine(*desc, options);
    ASSERT_EQ(r.steps.size(), options.steps.size());

    const StepResult &boot = r.steps.front(), *firstSurprise = r.Step("surprise");
    ASSERT_NE(firstSurprise, nullptr);
    size_t started = 0;
    for (const FunctionState &f : boot.functions)
        started += f.managed && f.stateKey == "started";
    ASSERT_EQ(started, 10u) << "every function of the chassis after boot";

    // Every cycle ends where the first start left the machine: the same
    // devices started, the same registers, the same pool in use; a pulled
    // chassis leaves the same pool each time. The first five bad steps told.
    for (size_t i = 1, bad = 0; i + 1 < r.steps.size() && bad < 5; i++) {
        const StepResult &s = r.steps[i], &like = s.scenario == "surprise" ? *firstSurprise : boot;
        std::ostringstream why;
        if (s.poolBlocks != like.poolBlocks)
            why << s.poolBlocks << " pool blocks outstanding, " << like.poolBlocks << " after the first "
                << like.scenario << "; ";
        for (size_t k = 0; s.scenario != "surprise" && k < s.functions.size(); k++) {
            const FunctionState &now = s.functions[k], &first = boot.functions[k];
            if (now.managed && (now.stateKey != first.stateKey || now.config != first.config))
                why << now.label << " " << now.state << (now.config != first.config ? ", registers changed; " : "; ");
        }
        bad += !why.str().empty();
        EXPECT_TRUE(why.str().empty()) << "step " << i << " (" << s.scenario << "): " << why.str();
    }

    EXPECT_GT(r.traceBytes, kTraceSize - kLongestLine) << "the trace buffer filled up";
    EXPECT_LT(r.traceBytes, kTraceSize);
    std::printf("stress: %d cycles, %zu leaked blocks, %zu findings\n", kSleeps + kRebalances + kReinsertions,
                r.poolBlocks, r.findings.size());
    EXPECT_EQ(r.poolBlocks, 0u) << r.poolReport;
    for (size_t i = 0; i < r.findings.size() && i < 5; i++)
        ADD_FAILURE() << "finding " << r.findings[i].rule << ": " << r.findings[i].detail;
    EXPECT_TRUE(r.filterUnloaded);
}

} // namespace
