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
std::vector<Finding> accepted;
std::function<void(const Finding &)> findingHandler;

struct Divergence {
    const char *rule;
    const char *reason;
};

/* Driver Verifier's 0x222/0x223 are meant for bus filters that attach to a
 * PDO they did not get through AddDevice and must therefore clean up when
 * the PDO goes (FastIoDetach), not at IRP_MN_REMOVE_DEVICE. Tolmu attaches to
 * every child the bus driver reports below a filtered bridge (AddChildDevice)
 * and, as its design wants, detaches and deletes that device at
 * IRP_MN_REMOVE_DEVICE, also when the PDO stays (removal of a device still
 * present: unload, disable). Kept on purpose. */
const Divergence kAccepted[] = {
    {"BUS_FILTER_DETACHED_AT_REMOVE",
     "accepted divergence (driver design: a filter attached to a child PDO outside AddDevice detaches at "
     "IRP_MN_REMOVE_DEVICE while the PDO lives)"},
    {"BUS_FILTER_DELETED_AT_REMOVE",
     "accepted divergence (driver design: a filter attached to a child PDO outside AddDevice deletes itself at "
     "IRP_MN_REMOVE_DEVICE while the PDO lives)"},
};

} // namespace

const char *AcceptedDivergenceReason(const std::string &rule)
{
    for (const Divergence &d : kAccepted)
        if (rule == d.rule)
            return d.reason;
    return nullptr;
}

const std::vector<Finding> &AcceptedFindings()
{
    return accepted;
}

void ReportFinding(const std::string &rule, const std::string &detail)
{
    if (const char *reason = AcceptedDivergenceReason(rule)) {
        std::lock_guard<std::mutex> g(findingLock);
        accepted.push_back(Finding{rule, std::string(reason) + ": " + detail});
        return;
    }
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
    accepted.clear();
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
