// Long runs on the default machine with the trace on: a thousand sleeps, two
// hundred rebalances, a hundred times the chassis pulled out and plugged in
// again. Nothing may leak or pile up from one cycle to the next, no verifier
// or hardware finding may come, and the registers must be what the first
// start left. The trace buffer fills on the way and stays full.
#include <cstdio>

#include "cli_test.h"

namespace {

using namespace clitest;

constexpr int kSleeps = 1000, kRebalances = 200, kReinsertions = 100;
constexpr uint32_t kTraceSize = 0x20000; // the driver's default TraceSize
constexpr uint32_t kLongestLine = 132;   // what one trace line can take

std::string Hex(unsigned v)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%02x", v);
    return text;
}

// The first byte where two configuration spaces differ, or -1.
int FirstDifference(const FunctionState &a, const FunctionState &b)
{
    for (int i = 0; i < 256; i++)
        if (a.config[i] != b.config[i])
            return i;
    return -1;
}

TEST(Stress, DefaultMachineThroughThousandsOfCycles)
{
    auto desc = tolmusim::ParseMachineJson(tolmusim::DefaultMachineText(), "default", nullptr);
    ASSERT_TRUE(desc.has_value());
    tolmusim::RunOptions options;
    options.params["TraceSize"] = kTraceSize;
    options.steps = {"boot"};
    options.steps.insert(options.steps.end(), kSleeps, "sleep");
    options.steps.insert(options.steps.end(), kRebalances, "rebalance");
    for (int i = 0; i < kReinsertions; i++) {
        options.steps.push_back("surprise");
        options.steps.push_back("reinsert");
    }
    options.steps.push_back("unload");
    RunResult r = tolmusim::RunMachine(*desc, options);
    ASSERT_EQ(r.steps.size(), options.steps.size());

    const StepResult &boot = r.steps.front();
    const StepResult *firstSurprise = r.Step("surprise");
    ASSERT_NE(firstSurprise, nullptr);
    size_t managed = 0;
    for (const FunctionState &f : boot.functions)
        if (f.managed) {
            managed++;
            EXPECT_EQ(f.stateKey, "started") << f.label << " after boot: " << f.state;
        }
    ASSERT_GT(managed, 5u);

    // Every cycle ends where the first start left the machine: the same
    // devices started, the same registers, the same pool in use. A pulled
    // chassis leaves the same pool each time it is pulled.
    int badSteps = 0;
    for (size_t i = 1; i + 1 < r.steps.size() && badSteps < 5; i++) {
        const StepResult &s = r.steps[i];
        const StepResult &like = s.scenario == "surprise" ? *firstSurprise : boot;
        bool bad = false;
        if (s.poolBlocks != like.poolBlocks) {
            ADD_FAILURE() << "step " << i << " (" << s.scenario << "): " << s.poolBlocks
                          << " pool blocks outstanding, " << like.poolBlocks << " after the first " << like.scenario;
            bad = true;
        }
        if (s.scenario == "surprise")
            continue;
        for (size_t k = 0; k < s.functions.size(); k++) {
            const FunctionState &now = s.functions[k], &first = boot.functions[k];
            if (!now.managed)
                continue;
            int at = FirstDifference(now, first);
            if (now.stateKey != first.stateKey || at >= 0) {
                ADD_FAILURE() << "step " << i << " (" << s.scenario << "): " << now.label << " " << now.state
                              << (at >= 0 ? ", config byte " + Hex(at) + " is " + Hex(now.config[at]) + ", was " +
                                                Hex(first.config[at])
                                          : "");
                bad = true;
            }
        }
        badSteps += bad;
    }

    // The trace filled up on the way and stopped at its end.
    EXPECT_GT(r.traceBytes, kTraceSize - kLongestLine);
    EXPECT_LT(r.traceBytes, kTraceSize);

    std::printf("stress: %d cycles, %zu leaked blocks, %zu findings\n", kSleeps + kRebalances + kReinsertions,
                r.poolBlocks, r.findings.size());
    EXPECT_EQ(r.poolBlocks, 0u) << r.poolReport;
    for (size_t i = 0; i < r.findings.size() && i < 5; i++)
        ADD_FAILURE() << "finding " << r.findings[i].rule << ": " << r.findings[i].detail;
    EXPECT_TRUE(r.filterUnloaded);
}

} // namespace
