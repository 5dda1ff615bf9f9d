// Helpers for the stand-in's own tests.
#ifndef TOLMU_STANDIN_TEST_UTIL_H
#define TOLMU_STANDIN_TEST_UTIL_H

#include <string>
#include <vector>

#include "test_support.h"

namespace standintest {

// While alive, verifier findings are collected here instead of failing the
// test; afterwards every finding fails the running test again, as the test
// program's main arranges.
struct FindingCatcher {
    FindingCatcher() { standin::SetFindingHandler([this](const standin::Finding &f) { caught.push_back(f); }); }
    ~FindingCatcher()
    {
        standin::SetFindingHandler(
            [](const standin::Finding &f) { ADD_FAILURE() << "verifier finding " << f.rule << ": " << f.detail; });
    }
    std::vector<std::string> Rules() const
    {
        std::vector<std::string> rules;
        for (const standin::Finding &f : caught)
            rules.push_back(f.rule);
        return rules;
    }
    std::vector<standin::Finding> caught;
};

// One scenario that must produce exactly the findings named.
struct FindingRow {
    const char *name;
    void (*run)();
    std::vector<std::string> rules;
};

inline void ExpectFindings(const FindingRow &row)
{
    SCOPED_TRACE(row.name);
    FindingCatcher catcher;
    row.run();
    EXPECT_EQ(catcher.Rules(), row.rules);
}

} // namespace standintest

#endif
