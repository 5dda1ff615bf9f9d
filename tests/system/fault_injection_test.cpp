// Fault injection, as Driver Verifier's low-resources simulation does it:
// every scenario of the simulated PC (boot, sleep, rebalance, surprise
// removal, unload) on the default machine and on a deep chassis, run again
// with one failure point armed:
//   pool-k       the k-th pool allocation of the driver fails, for every k the
//                step makes in a clean run (Driver Verifier fails only the
//                verified driver's allocations: those with its tag)
//   pool-all     every allocation of the driver fails
//   config-k     the k-th configuration request through the bus driver fails
//   config-all   every configuration request fails
//   config-all-late  every one fails after returning STATUS_PENDING
//   translate    HalTranslateBusAddress of the configuration ports fails
//   map          MmMapIoSpace fails
//   async-config the bus driver completes configuration requests later
//   async-pnp    the bus driver completes PnP and power requests later
// The k-th and all-failing faults are armed for exactly the scenario's step
// (boot from a fresh machine; or boot clean, then arm for the step); the
// other four are conditions of the machine, armed from boot on. Every run
// then unloads everything cleanly and is held to: no crash, no hang, no
// verifier or hardware-judge finding, nothing of the driver's pool left after
// the unload (nothing of anyone's once the bus driver is gone), the filter
// unloaded, the adapter's controller still started, and the driver's own
// lines for the failure (one "ERROR Malloc/PMalloc(size N) returned NULL" per
// failed allocation, one "ERROR! ...PCIConfig... @ 0xOFF failed" per failed
// configuration request at that offset, "Initializing PCI configuration
// registers" at every translation attempt and no port access without a
// port). Asynchronous completion must end in the very state the synchronous
// run ends in.
//
// Each run is a child process, so that a crash or a hang is reported as the
// run's failure instead of ending the test program. The registry value
// Verbose is 1 in every run, so the driver's lines reach the debugger even
// when its trace buffer could not be allocated.
//
// The summary gives, per machine, scenario and fault: runs passed, the
// failures injected (for the asynchronous modes: requests completed later,
// from boot on) and the functions started after the step. Environment:
// TOLMU_FAULT_STRIDE=n runs every n-th k of the sweeps (default 1, 4 under
// AddressSanitizer); TOLMU_FAULT_ONLY="default boot pool-k 14" runs that one
// run (and the clean ones); TOLMU_FAULT_ECHO echoes the driver's lines;
// TOLMU_FAULT_LIST lists every run.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/debug.h"
#include "core/driver.h"
#include "machine_desc.h"
#include "machine_file.h"
#include "pci_bus_driver.h"
#include "pnp_manager.h"
#include "standin.h"
#include "standin/iomgr.h"

namespace {

enum class Fault {
    None,
    PoolNth,
    PoolAll,
    ConfigNth,
    ConfigAll,
    ConfigAllLate,
    Translate,
    MapIoSpace,
    AsyncConfig,
    AsyncPnp
};

const char *FaultName(Fault f)
{
    switch (f) {
    case Fault::None: return "none";
    case Fault::PoolNth: return "pool-k";
    case Fault::PoolAll: return "pool-all";
    case Fault::ConfigNth: return "config-k";
    case Fault::ConfigAll: return "config-all";
    case Fault::ConfigAllLate: return "config-all-late";
    case Fault::Translate: return "translate";
    case Fault::MapIoSpace: return "map";
    case Fault::AsyncConfig: return "async-config";
    case Fault::AsyncPnp: return "async-pnp";
    }
    return "?";
}

// Conditions of the machine rather than one failing call: armed from boot on.
bool Persistent(Fault f)
{
    return f == Fault::Translate || f == Fault::MapIoSpace || f == Fault::AsyncConfig || f == Fault::AsyncPnp;
}

const std::vector<std::string> kScenarios = {"boot", "sleep", "rebalance", "surprise", "unload"};

// What one run found, carried from the child to the test as text.
struct Outcome {
    std::vector<std::string> problems;
    uint64_t allocations = 0;    // the driver's allocation attempts during the step
    uint64_t configRequests = 0; // configuration requests during the step
    uint64_t hits = 0;           // failing calls (or requests completed later) the fault made
    uint64_t started = 0;        // functions started after the step
    std::string snapshot;        // device states and configuration spaces after the step

    std::string Serialise() const
    {
        std::string s = "A " + std::to_string(allocations) + "\nC " + std::to_string(configRequests) + "\nH " +
                        std::to_string(hits) + "\nN " + std::to_string(started) + "\n";
        for (const std::string &p : problems)
            s += "P " + p + "\n";
        std::istringstream lines(snapshot);
        for (std::string line; std::getline(lines, line);)
            s += "S " + line + "\n";
        return s;
    }
    static Outcome Parse(const std::string &text)
    {
        Outcome o;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            if (line.size() < 2)
                continue;
            std::string rest = line.substr(2);
            if (line[0] == 'A')
                o.allocations = std::stoull(rest);
            else if (line[0] == 'C')
                o.configRequests = std::stoull(rest);
            else if (line[0] == 'N')
                o.started = std::stoull(rest);
            else if (line[0] == 'H')
                o.hits = std::stoull(rest);
            else if (line[0] == 'P')
                o.problems.push_back(rest);
            else if (line[0] == 'S')
                o.snapshot += rest + "\n";
        }
        return o;
    }
};

// --------------------------------------------------------------- one run

size_t CountPrefix(const std::vector<std::string> &lines, size_t from, const std::string &prefix)
{
    size_t n = 0;
    for (size_t i = from; i < lines.size(); i++)
        n += lines[i].compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
    return n;
}

std::string Hex(uint64_t v)
{
    char buf[24];
    snprintf(buf, sizeof buf, "0x%llx", (unsigned long long)v);
    return buf;
}

// The driver's line for each configuration request the bus driver failed:
// "ERROR! ReadPCIConfigB @ 0x19 failed", "ERROR! WritePCIConfigW @ 0x4 failed".
void CheckConfigLines(const std::vector<sim::PciBusDriver::FailedConfigRequest> &failed,
                      const std::vector<std::string> &lines, size_t from, std::vector<std::string> &problems)
{
    std::multiset<std::string> said, expected;
    for (size_t i = from; i < lines.size(); i++) {
        const std::string &l = lines[i];
        if (l.compare(0, 7, "ERROR! ") != 0)
            continue;
        size_t at = l.find(" @ ");
        size_t end = l.find(" failed");
        if (at == std::string::npos || end == std::string::npos || end < at) {
            problems.push_back("unexpected line: " + l.substr(0, l.size() - 1));
            continue;
        }
        said.insert((l.compare(7, 5, "Write") == 0 ? "write @ " : "read @ ") + l.substr(at + 3, end - at - 3));
    }
    for (const auto &f : failed)
        expected.insert(std::string(f.write ? "write @ " : "read @ ") + Hex(f.offset));
    if (said != expected) {
        std::string e, s;
        for (const std::string &x : expected)
            e += (e.empty() ? "" : ", ") + x;
        for (const std::string &x : said)
            s += (s.empty() ? "" : ", ") + x;
        problems.push_back("failed configuration requests [" + e + "] but ERROR! lines for [" + s + "]");
    }
}

std::string Snapshot(sim::PciMachine &machine, sim::PnpManager &pnp)
{
    std::string s;
    machine.Walk([&](sim::PciFunction *f, int) {
        const sim::DeviceNode *n = pnp.Find(f);
        s += sim::FunctionLocation(machine, f) + " " + (n != nullptr ? sim::NodeStateName(n->state) : "not-found") + " ";
        char byte[4];
        for (int i = 0; i < 256; i++) {
            snprintf(byte, sizeof byte, "%02x", f->Peek8(uint8_t(i)));
            s += byte;
        }
        s += "\n";
    });
    return s;
}

void Arm(Fault fault, uint64_t k, sim::PciBusDriver &bus)
{
    switch (fault) {
    case Fault::PoolNth: standin::FailNthAllocation(k); break;
    case Fault::PoolAll: standin::FailAllAllocations(true); break;
    case Fault::ConfigNth: bus.FailNthConfigRequest(k); break;
    case Fault::ConfigAll: bus.FailAllConfigRequests(true); break;
    case Fault::ConfigAllLate:
        bus.FailAllConfigRequests(true);
        bus.PendAllConfigRequests(true);
        break;
    case Fault::Translate: standin::SetTranslateFails(true); break;
    case Fault::MapIoSpace: standin::SetMapIoSpaceFails(true); break;
    case Fault::AsyncConfig: bus.PendAllConfigRequests(true); break;
    case Fault::AsyncPnp: bus.PendAllRequests(true); break;
    case Fault::None: break;
    }
}

void Disarm(sim::PciBusDriver &bus)
{
    standin::FailNthAllocation(0);
    standin::FailAllAllocations(false);
    bus.FailNthConfigRequest(0);
    bus.FailAllConfigRequests(false);
    bus.PendAllConfigRequests(false);
    bus.PendAllRequests(false);
    standin::SetTranslateFails(false);
    standin::SetMapIoSpaceFails(false);
}

Outcome RunOnce(const tolmusim::MachineDesc &desc, const std::string &scenario, Fault fault, uint64_t k)
{
    Outcome out;
    std::vector<std::string> &problems = out.problems;
    std::vector<standin::Finding> findings;

    standin::SetFindingHandler(nullptr);
    standin::Reset();
    for (const auto &p : desc.params)
        standin::RegSetDword("tolmu\\Parameters", p.first, p.second);
    // Every line reaches the debugger too, so the lines of a run whose trace
    // buffer could not be allocated are still seen.
    standin::RegSetDword("tolmu\\Parameters", "Verbose", 1);
    standin::SetAllocationFaultTag(TOLMU_POOL_TAG);
    standin::SetDebugEcho(getenv("TOLMU_FAULT_ECHO") != nullptr);

    tolmusim::BuiltMachine built;
    std::string error;
    if (!tolmusim::BuildMachine(desc, &built, &error)) {
        problems.push_back("machine not built: " + error);
        return out;
    }
    standin::SetFindingHandler([&findings](const standin::Finding &f) { findings.push_back(f); });
    built.machine->Install();
    auto bus = std::make_unique<sim::PciBusDriver>(*built.machine);
    sim::PnpOptions options;
    options.filterEntry = DriverEntry;
    auto pnp = std::make_unique<sim::PnpManager>(*bus, options);
    pnp->AddController(built.controller);

    if (Persistent(fault))
        Arm(fault, k, *bus);
    if (scenario != "boot") {
        pnp->Boot();
        standin::RunDeferred();
    }
    const std::vector<std::string> &lines = standin::DebugLines();
    size_t linesBefore = lines.size();
    uint64_t allocBefore = standin::AllocationCount(TOLMU_POOL_TAG);
    uint64_t injectedBefore = standin::InjectedAllocationFailures();
    uint64_t configBefore = bus->ConfigRequests();
    uint64_t translateBefore = standin::TranslateCalls();
    uint64_t mapBefore = standin::MapIoSpaceCalls();
    standin::ClearPortLog();
    if (!Persistent(fault))
        Arm(fault, k, *bus);

    if (scenario == "boot")
        pnp->Boot();
    else if (scenario == "sleep")
        pnp->SystemSleep();
    else if (scenario == "rebalance")
        pnp->Rebalance();
    else if (scenario == "surprise")
        pnp->SurpriseRemove(pnp->Find(built.controller));
    else if (scenario == "unload")
        pnp->UnloadAll();
    standin::RunDeferred();
    bool portsUsed = !standin::PortLog().empty();
    Disarm(*bus);

    out.allocations = standin::AllocationCount(TOLMU_POOL_TAG) - allocBefore;
    out.configRequests = bus->ConfigRequests() - configBefore;
    uint64_t injected = standin::InjectedAllocationFailures() - injectedBefore;
    out.hits = injected + bus->InjectedConfigFailures().size();
    if (fault == Fault::Translate)
        out.hits = standin::TranslateCalls() - translateBefore;
    else if (fault == Fault::MapIoSpace)
        out.hits = standin::MapIoSpaceCalls() - mapBefore;
    else if (fault == Fault::AsyncConfig || fault == Fault::AsyncPnp)
        out.hits = bus->PendedRequests();
    out.snapshot = Snapshot(*built.machine, *pnp);
    for (sim::DeviceNode *n : pnp->Nodes())
        out.started += n->state == sim::NodeState::Started ? 1 : 0;
    const sim::DeviceNode *controller = pnp->Find(built.controller);
    if ((scenario == "boot" || scenario == "sleep" || scenario == "rebalance") &&
        (controller == nullptr || controller->state != sim::NodeState::Started))
        problems.push_back(std::string("the adapter's controller is ") +
                           (controller == nullptr ? "not found" : sim::NodeStateName(controller->state)));

    // The driver's lines for the failure.
    size_t mallocLines = CountPrefix(lines, linesBefore, "ERROR Malloc(size ") +
                         CountPrefix(lines, linesBefore, "ERROR PMalloc(size ");
    if (mallocLines != injected)
        problems.push_back(std::to_string(injected) + " allocations failed but " + std::to_string(mallocLines) +
                           " ERROR Malloc/PMalloc lines");
    if ((fault == Fault::PoolNth || fault == Fault::ConfigNth) &&
        (fault == Fault::PoolNth ? injected : bus->InjectedConfigFailures().size()) != 1)
        problems.push_back("the fault was not reached");
    CheckConfigLines(bus->InjectedConfigFailures(), lines, linesBefore, problems);
    if (fault == Fault::Translate) {
        uint64_t tries = standin::TranslateCalls() - translateBefore;
        size_t said = CountPrefix(lines, linesBefore, "Initializing PCI configuration registers");
        if (said != tries)
            problems.push_back(std::to_string(tries) + " translation attempts but " + std::to_string(said) +
                               " \"Initializing PCI configuration registers\" lines");
        if (portsUsed)
            problems.push_back("ports accessed although their translation failed");
    }

    // Taken down the orderly way, then the leftovers.
    if (scenario != "unload") {
        pnp->UnloadAll();
        standin::RunDeferred();
    }
    if (!pnp->FilterUnloaded())
        problems.push_back("the filter was not unloaded (devices left)");
    if (standin::OutstandingCount(TOLMU_POOL_TAG) != 0)
        problems.push_back("driver pool leaked after unload: " + standin::PoolReport());
    pnp.reset();
    bus.reset();
    standin::CheckIoLeftovers();
    built.machine.reset();
    if (standin::OutstandingCount(TOLMU_POOL_TAG) == 0 && !standin::OutstandingBlocks().empty())
        problems.push_back("pool leaked: " + standin::PoolReport());
    for (const standin::Finding &f : findings)
        problems.push_back("finding " + f.rule + ": " + f.detail);
    standin::SetFindingHandler(nullptr);
    return out;
}

// ------------------------------------------------------------- isolation

// Runs body in a child process; a crash or a run longer than the limit is
// the run's problem.
Outcome RunIsolated(const std::function<Outcome()> &body, int limitSeconds)
{
    int fds[2];
    if (pipe(fds) != 0) {
        Outcome o;
        o.problems.push_back("pipe failed");
        return o;
    }
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        std::string text = body().Serialise();
        for (size_t done = 0; done < text.size();) {
            ssize_t n = write(fds[1], text.data() + done, text.size() - done);
            if (n <= 0)
                break;
            done += size_t(n);
        }
        close(fds[1]);
        _exit(0);
    }
    close(fds[1]);
    std::string text;
    bool hung = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            hung = true;
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, int(left.count())) <= 0)
            continue;
        char buf[65536];
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0)
            break;
        text.append(buf, size_t(n));
    }
    close(fds[0]);
    if (hung)
        kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    Outcome o = Outcome::Parse(text);
    if (hung)
        o.problems.push_back("hung (no end within " + std::to_string(limitSeconds) + " s)");
    else if (WIFSIGNALED(status))
        o.problems.push_back("crashed (signal " + std::to_string(WTERMSIG(status)) + ")");
    else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        o.problems.push_back("exited with status " + std::to_string(WEXITSTATUS(status)));
    return o;
}

// ------------------------------------------------------------- the sweep

struct Machine {
    std::string name;
    tolmusim::MachineDesc desc;
};

std::vector<Machine> Machines()
{
    std::vector<Machine> out;
    std::string error;
    auto def = tolmusim::ParseMachineJson(tolmusim::DefaultMachineText(), "default-machine.json", &error);
    EXPECT_TRUE(def.has_value()) << error;
    if (def)
        out.push_back({"default", *def});
    std::ifstream file(std::string(TOLMU_SOURCE_DIR) + "/examples/deep-chassis.json");
    std::stringstream text;
    text << file.rdbuf();
    auto deep = tolmusim::ParseMachineJson(text.str(), "deep-chassis.json", &error);
    EXPECT_TRUE(deep.has_value()) << error;
    if (deep)
        out.push_back({"deep", *deep});
    return out;
}

// Under AddressSanitizer every run is several times slower: the k sweeps
// then take every stride-th k (always the first and the last), so that the
// test stays within CI's time.
uint64_t Stride()
{
    if (const char *s = getenv("TOLMU_FAULT_STRIDE"))
        return std::max<uint64_t>(1, std::strtoull(s, nullptr, 10));
#if defined(__SANITIZE_ADDRESS__)
    return 4;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return 4;
#endif
#endif
    return 1;
}

TEST(FaultInjection, EveryFailurePointKeepsTheMachineUp)
{
    auto start = std::chrono::steady_clock::now();
    const uint64_t stride = Stride();
    const int limit = 60;
    size_t runs = 0, passed = 0;
    std::vector<std::string> failures;
    // Per machine, scenario and fault: runs, passes, and the failing calls
    // (or late completions) the faults made.
    struct Tally {
        size_t runs = 0, passed = 0;
        uint64_t hits = 0;
        uint64_t fewest = ~0ull, most = 0; // functions started after the step
    };
    std::map<std::string, Tally> tally;
    std::vector<std::string> order;

    auto record = [&](const std::string &machine, const std::string &scenario, Fault fault, uint64_t k,
                      const Outcome &o) {
        std::string key = machine + " " + scenario + " " + FaultName(fault);
        if (tally.find(key) == tally.end())
            order.push_back(key);
        Tally &t = tally[key];
        if (getenv("TOLMU_FAULT_LIST") != nullptr) // every run on its own line
            printf("  run %s k=%llu: started %llu, %zu problems\n", key.c_str(), (unsigned long long)k,
                   (unsigned long long)o.started, o.problems.size());
        t.runs++;
        t.hits += o.hits;
        t.fewest = std::min(t.fewest, o.started);
        t.most = std::max(t.most, o.started);
        runs++;
        if (o.problems.empty()) {
            t.passed++;
            passed++;
            return;
        }
        std::string what = machine + " " + scenario + " " + FaultName(fault) + (k != 0 ? " k=" + std::to_string(k) : "");
        for (const std::string &p : o.problems)
            failures.push_back(what + ": " + p.substr(0, 400));
    };

    for (const Machine &m : Machines()) {
        for (const std::string &scenario : kScenarios) {
            Outcome clean = RunIsolated([&] { return RunOnce(m.desc, scenario, Fault::None, 0); }, limit);
            record(m.name, scenario, Fault::None, 0, clean);
            auto one = [&](Fault fault, uint64_t k) {
                // TOLMU_FAULT_ONLY="default boot pool-k 14" runs that one alone.
                const char *only = getenv("TOLMU_FAULT_ONLY");
                if (only != nullptr &&
                    std::string(only) != m.name + " " + scenario + " " + FaultName(fault) + " " + std::to_string(k))
                    return;
                Outcome o = RunIsolated([&] { return RunOnce(m.desc, scenario, fault, k); }, limit);
                if ((fault == Fault::AsyncConfig || fault == Fault::AsyncPnp) && o.snapshot != clean.snapshot)
                    o.problems.push_back("the machine ends differently than with synchronous completion");
                record(m.name, scenario, fault, k, o);
            };
            for (uint64_t k = 1; k <= clean.allocations; k++)
                if ((k - 1) % stride == 0 || k == clean.allocations)
                    one(Fault::PoolNth, k);
            one(Fault::PoolAll, 0);
            for (uint64_t k = 1; k <= clean.configRequests; k++)
                if ((k - 1) % stride == 0 || k == clean.configRequests)
                    one(Fault::ConfigNth, k);
            one(Fault::ConfigAll, 0);
            one(Fault::ConfigAllLate, 0);
            for (Fault f : {Fault::Translate, Fault::MapIoSpace, Fault::AsyncConfig, Fault::AsyncPnp})
                one(f, 0);
        }
    }

    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::string table;
    for (const std::string &key : order) {
        const Tally &t = tally[key];
        table += "  " + key + ": " + std::to_string(t.passed) + " of " + std::to_string(t.runs) + " passed, " +
                 std::to_string(t.hits) + " injected, started " + std::to_string(t.fewest) +
                 (t.most != t.fewest ? ".." + std::to_string(t.most) : "") + "\n";
    }
    printf("%s", table.c_str());
    printf("  every %llu. k of the sweeps; %.1f s\n", (unsigned long long)stride, seconds);
    for (const std::string &f : failures)
        printf("  FAILED %s\n", f.c_str());
    printf("fault injection: %zu of %zu runs passed\n", passed, runs);
    EXPECT_EQ(passed, runs);
    EXPECT_GT(runs, 0u);
}

} // namespace
