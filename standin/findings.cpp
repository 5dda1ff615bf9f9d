/*
 * findings.cpp - the verifier's findings: every broken rule is recorded with
 * its name and what it concerns, and handed to the finding handler (tests fail
 * the running test there). Without a handler the finding goes to stderr.
 */
#include <cstdio>
#include <mutex>

#include "internal.h"

namespace standin {

namespace {

std::mutex findingLock;
std::vector<Finding> findings;
std::function<void(const Finding &)> findingHandler;

} // namespace

void ReportFinding(const std::string &rule, const std::string &detail)
{
    Finding f{rule, detail};
    std::function<void(const Finding &)> handler;
    {
        std::lock_guard<std::mutex> g(findingLock);
        findings.push_back(f);
        handler = findingHandler;
    }
    /* The handler runs without the lock held: it may well look at Findings(). */
    if (handler)
        handler(f);
    else
        fprintf(stderr, "verifier finding %s: %s\n", f.rule.c_str(), f.detail.c_str());
}

const std::vector<Finding> &Findings()
{
    return findings;
}

void ClearFindings()
{
    std::lock_guard<std::mutex> g(findingLock);
    findings.clear();
}

void SetFindingHandler(std::function<void(const Finding &)> handler)
{
    std::lock_guard<std::mutex> g(findingLock);
    findingHandler = std::move(handler);
}

namespace detail {

/* The handler stays: it belongs to the program (the test main sets it once),
 * not to the simulated machine. */
void ResetFindings()
{
    ClearFindings();
}

} // namespace detail

} // namespace standin
