// Finding capture for the tests of the stand-in's rules.
#ifndef TOLMU_STANDIN_TEST_UTIL_H
#define TOLMU_STANDIN_TEST_UTIL_H

#include <string>
#include <vector>

#include "test_support.h"

namespace standintest {

// While alive, verifier findings are collected instead of failing the test;
// afterwards every finding fails the running test again, as the test
// program's main arranges.
struct FindingCatcher {
    FindingCatcher() { standin::SetFindingHandler([this](const standin::Finding &f) { rules.push_back(f.rule); }); }
    ~FindingCatcher()
    {
        standin::SetFindingHandler(
            [](const standin::Finding &f) { ADD_FAILURE() << "verifier finding " << f.rule << ": " << f.detail; });
    }
    std::vector<std::string> rules;
};

} // namespace standintest

#endif
