// Shared helpers of tolmu-sim's tests: the command run in-process, files of
// the source tree, temporary files.
#ifndef TOLMU_TESTS_CLI_CLI_TEST_H
#define TOLMU_TESTS_CLI_CLI_TEST_H

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli.h"

namespace clitest {

// A file of the source tree by its path from the top ("examples/...").
inline std::string Source(const std::string &path) { return std::string(TOLMU_SOURCE_DIR) + "/" + path; }
inline std::string Example(const std::string &name) { return Source("examples/" + name); }

inline std::string ReadText(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A file in the temporary folder, private to the running test: CTest runs
// tests in parallel, and two rows of one table must not share a file.
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

} // namespace clitest

#endif /* TOLMU_TESTS_CLI_CLI_TEST_H */
