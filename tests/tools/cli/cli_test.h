// Shared helpers of tolmu-sim's tests: the command run in-process, machines
// booted through the session, files of the source tree, temporary files.
#ifndef TOLMU_TESTS_CLI_CLI_TEST_H
#define TOLMU_TESTS_CLI_CLI_TEST_H

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "machine_file.h"
#include "session.h"
#include "standin.h"
#include "test_support.h"

namespace clitest {

using tolmusim::FunctionState;
using tolmusim::MachineDesc;
using tolmusim::RunResult;
using tolmusim::StepResult;

// A file of the source tree by its path from the top ("examples/...").
inline std::string Source(const std::string &path) { return std::string(TOLMU_SOURCE_DIR) + "/" + path; }

// A file in the temporary folder private to the running test (and table row).
inline std::string TempPath(const std::string &name)
{
    std::string test = "outside_a_test";
    if (const testing::TestInfo *info = testing::UnitTest::GetInstance()->current_test_info())
        test = std::string(info->test_suite_name()) + "." + info->name();
    for (char &c : test)
        if (c == '/')
            c = '_';
    return testing::TempDir() + "tolmu_sim_" + test + "_" + name;
}

struct CommandResult {
    int status;
    std::string out, err;
};

// tolmu-sim with these arguments, run in this process.
inline CommandResult Command(std::vector<std::string> args)
{
    args.insert(args.begin(), "tolmu-sim");
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(&a[0]);
    std::ostringstream out, err;
    int status = RunTolmuSim(int(argv.size()), argv.data(), out, err);
    return {status, out.str(), err.str()};
}

// An example machine ("" = the built-in default) booted with or without Tolmu.
inline RunResult Boot(const std::string &example, bool filter, const std::string &scenario = "boot")
{
    std::string text = example.empty() ? tolmusim::DefaultMachineText() : testsupport::ReadFile(Source("examples/" + example));
    std::string error;
    std::optional<MachineDesc> desc = tolmusim::ParseMachineJson(text, example, &error);
    EXPECT_TRUE(desc.has_value()) << error;
    tolmusim::RunOptions options;
    options.filter = filter;
    options.steps = tolmusim::ScenarioSteps(scenario);
    return desc ? tolmusim::RunMachine(*desc, options) : RunResult();
}

inline const FunctionState &Fn(const StepResult &step, const std::string &label)
{
    static const FunctionState none;
    const FunctionState *f = tolmusim::FindFunction(step, label);
    EXPECT_NE(f, nullptr) << "no function " << label;
    return f != nullptr ? *f : none;
}

inline uint16_t Word(const FunctionState &f, int at) { return uint16_t(f.config[at] | f.config[at + 1] << 8); }

// Runs leave no finding handler behind: every finding after them fails again.
class TolmuSim : public testing::Test {
  protected:
    void TearDown() override
    {
        standin::SetFindingHandler([](const standin::Finding &f) {
            ADD_FAILURE() << "verifier finding " << f.rule << ": " << f.detail;
        });
    }
};

} // namespace clitest

#endif /* TOLMU_TESTS_CLI_CLI_TEST_H */
