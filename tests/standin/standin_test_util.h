// Helpers for the stand-in's own tests.
#ifndef TOLMU_STANDIN_TEST_UTIL_H
#define TOLMU_STANDIN_TEST_UTIL_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "standin.h"

namespace standintest {

// While alive, verifier findings are collected here instead of failing the
// test; afterwards every finding fails the running test again, as the test
// program's main arranges.
class FindingCatcher {
  public:
    FindingCatcher()
    {
        standin::SetFindingHandler([this](const standin::Finding &f) { caught.push_back(f); });
    }
    ~FindingCatcher()
    {
        standin::SetFindingHandler([](const standin::Finding &f) {
            ADD_FAILURE() << "verifier finding " << f.rule << ": " << f.detail;
        });
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

} // namespace standintest

#endif
