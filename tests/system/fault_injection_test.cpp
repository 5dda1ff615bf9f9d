// Fault injection, as Driver Verifier's low-resources simulation does it:
// every scenario on the default machine and on a deep chassis, run again with
// one failure point: for exactly the step, the k-th allocation of the driver
// (its tag) or configuration request failing, for every k of a clean run
// (pool-k, config-k), or every one (pool-all, config-all, config-all-late:
// after STATUS_PENDING); from boot on, the ports' translation or MmMapIoSpace
// failing, or requests completed later (async-config, async-pnp). One checker
// holds each run to: no crash, hang or finding; no pool left after the
// unload; the controller started; an "ERROR Malloc/PMalloc(size N)" line per
// failed allocation, an "ERROR! ...PCIConfig... @ 0xOFF failed" line per
// failed request, an "Initializing PCI configuration registers" line per
// translation, no port access without one; and the synchronous run's end
// state after late completions. Each run is a child process.
// TOLMU_FAULT_STRIDE=n runs every n-th k (4 under AddressSanitizer);
// TOLMU_FAULT_ONLY="default boot pool-k 14" that run alone; TOLMU_FAULT_ECHO
// echoes the driver's lines.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <sstream>

#include "core/debug.h"
#include "core/driver.h"
#include "machine_desc.h"
#include "machine_file.h"
#include "pci_bus_driver.h"
#include "pnp_manager.h"
#include "standin.h"
#include "standin/iomgr.h"
#include "test_support.h"

namespace {

enum Fault { None, PoolNth, PoolAll, ConfigNth, ConfigAll, ConfigAllLate, Translate, MapIoSpace, AsyncConfig, AsyncPnp };
const char *const kFaultNames[] = {"none",   "pool-k",          "pool-all",  "config-k", "config-all",
                                   "config-all-late", "translate", "map",      "async-config", "async-pnp"};
bool Persistent(Fault f) { return f >= Translate; }

const char *const kScenarios[] = {"boot", "sleep", "rebalance", "surprise", "unload"};

// What one run found, carried from the child to the test as text.
struct Outcome {
    uint64_t allocations = 0, configRequests = 0; // made by the step
    uint64_t hits = 0;     // failing calls (or requests completed later) the fault made
    uint64_t snapshot = 0; // hash of the device states and configuration spaces after the step
    std::vector<std::string> problems;

    std::string Serialise() const
    {
        std::string s = std::to_string(allocations) + " " + std::to_string(configRequests) + " " +
                        std::to_string(hits) + " " + std::to_string(snapshot) + "\n";
        for (const std::string &p : problems)
            s += p + "\n";
        return s;
    }
    static Outcome Parse(const std::string &text)
    {
        Outcome o;
        std::istringstream lines(text);
        std::string line;
        std::getline(lines, line);
        std::istringstream(line) >> o.allocations >> o.configRequests >> o.hits >> o.snapshot;
        while (std::getline(lines, line))
            o.problems.push_back(line);
        return o;
    }
};

// "ERROR! ReadPCIConfigB @ 0x19 failed": one line per failed request, with its direction and offset.
void CheckConfigLines(const std::vector<sim::PciBusDriver::FailedConfigRequest> &failed,
                      const std::vector<std::string> &lines, std::vector<std::string> &problems)
{
    std::multiset<std::string> said, expected;
    for (const std::string &l : lines)
        if (l.compare(0, 7, "ERROR! ") == 0)
            said.insert(l.find(" @ ") == std::string::npos ? l : l.substr(7, l.find("PCIConfig") - 7) + l.substr(l.find(" @ ")));
    char text[48];
    for (const auto &f : failed) {
        snprintf(text, sizeof text, "%s @ 0x%lx failed\n", f.write ? "Write" : "Read", (unsigned long)f.offset);
        expected.insert(text);
    }
    if (said != expected) {
        std::string text = "failed configuration requests:";
        for (const std::string &x : expected)
            text += " " + x.substr(0, x.size() - 1);
        text += "; ERROR! lines:";
        for (const std::string &x : said)
            text += " " + x.substr(0, x.size() - 1);
        problems.push_back(text);
    }
}

// The device states and configuration spaces after a step, hashed.
uint64_t Snapshot(sim::PciMachine &machine, sim::PnpManager &pnp)
{
    std::string s;
    machine.Walk([&](sim::PciFunction *f, int) {
        const sim::DeviceNode *n = pnp.Find(f);
        s += sim::FunctionLocation(machine, f) + (n != nullptr ? sim::NodeStateName(n->state) : "not-found");
        for (int i = 0; i < 256; i++)
            s += char(f->Peek8(uint8_t(i)));
    });
    return std::hash<std::string>()(s);
}

void Arm(Fault fault, uint64_t k, sim::PciBusDriver &bus, bool on)
{
    if (!on || fault == PoolNth)
        standin::FailNthAllocation(on ? k : 0);
    if (!on || fault == ConfigNth)
        bus.FailNthConfigRequest(on ? k : 0);
    if (!on || fault == PoolAll)
        standin::FailAllAllocations(on);
    if (!on || fault == ConfigAll || fault == ConfigAllLate)
        bus.FailAllConfigRequests(on);
    if (!on || fault == ConfigAllLate || fault == AsyncConfig)
        bus.PendAllConfigRequests(on);
    if (!on || fault == AsyncPnp)
        bus.PendAllRequests(on);
    if (!on || fault == Translate)
        standin::SetTranslateFails(on);
    if (!on || fault == MapIoSpace)
        standin::SetMapIoSpaceFails(on);
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
    standin::RegSetDword("tolmu\\Parameters", "Verbose", 1); // lines reach the debugger without a trace buffer
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
        Arm(fault, k, *bus, true);
    if (scenario != "boot") {
        pnp->Boot();
        standin::RunDeferred();
    }
    const size_t linesBefore = standin::DebugLines().size();
    const uint64_t allocBefore = standin::AllocationCount(TOLMU_POOL_TAG),
                   injectedBefore = standin::InjectedAllocationFailures(), configBefore = bus->ConfigRequests(),
                   translateBefore = standin::TranslateCalls(), mapBefore = standin::MapIoSpaceCalls();
    standin::ClearPortLog();
    if (!Persistent(fault))
        Arm(fault, k, *bus, true);
    if (scenario == "boot")
        pnp->Boot();
    else if (scenario == "sleep")
        pnp->SystemSleep();
    else if (scenario == "rebalance")
        pnp->Rebalance();
    else if (scenario == "surprise")
        pnp->SurpriseRemove(pnp->Find(built.controller));
    else
        pnp->UnloadAll();
    standin::RunDeferred();
    const bool portsUsed = !standin::PortLog().empty();
    Arm(fault, k, *bus, false);
    const std::vector<std::string> lines(standin::DebugLines().begin() + long(linesBefore), standin::DebugLines().end());

    const uint64_t injected = standin::InjectedAllocationFailures() - injectedBefore;
    const uint64_t translations = standin::TranslateCalls() - translateBefore;
    out.allocations = standin::AllocationCount(TOLMU_POOL_TAG) - allocBefore;
    out.configRequests = bus->ConfigRequests() - configBefore;
    out.hits = fault == Translate                            ? translations
               : fault == MapIoSpace                         ? standin::MapIoSpaceCalls() - mapBefore
               : fault == AsyncConfig || fault == AsyncPnp ? bus->PendedRequests()
                                                             : injected + bus->InjectedConfigFailures().size();
    out.snapshot = Snapshot(*built.machine, *pnp);

    // The checker: the machine stays up, and the driver says what failed.
    const sim::DeviceNode *controller = pnp->Find(built.controller);
    if ((scenario == "boot" || scenario == "sleep" || scenario == "rebalance") &&
        (controller == nullptr || controller->state != sim::NodeState::Started))
        problems.push_back(std::string("the adapter's controller is ") +
                           (controller == nullptr ? "not found" : sim::NodeStateName(controller->state)));
    size_t mallocLines =
        testsupport::CountContaining(lines, "ERROR Malloc(size ") + testsupport::CountContaining(lines, "ERROR PMalloc(size ");
    if (mallocLines != injected)
        problems.push_back(std::to_string(injected) + " allocations failed but " + std::to_string(mallocLines) +
                           " ERROR Malloc/PMalloc lines");
    if ((fault == PoolNth && injected != 1) || (fault == ConfigNth && bus->InjectedConfigFailures().size() != 1))
        problems.push_back("the fault was not reached");
    CheckConfigLines(bus->InjectedConfigFailures(), lines, problems);
    if (fault == Translate) {
        size_t said = testsupport::CountContaining(lines, "Initializing PCI configuration registers");
        if (said != translations)
            problems.push_back(std::to_string(translations) + " translation attempts but " + std::to_string(said) +
                               " \"Initializing PCI configuration registers\" lines");
        if (portsUsed)
            problems.push_back("ports accessed although their translation failed");
    }
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

// Runs body in a child process; a crash, or a run longer than the limit
// (ended by SIGALRM), is the run's problem.
Outcome RunIsolated(const tolmusim::MachineDesc &desc, const std::string &scenario, Fault fault, uint64_t k,
                    unsigned limitSeconds)
{
    int fds[2];
    if (pipe(fds) != 0)
        return Outcome::Parse("0 0 0 0\npipe failed\n");
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        alarm(limitSeconds);
        std::string text = RunOnce(desc, scenario, fault, k).Serialise();
        for (ssize_t done = 0, n = 0; size_t(done) < text.size() && n >= 0; done += n)
            n = write(fds[1], text.data() + done, text.size() - size_t(done));
        _exit(0);
    }
    close(fds[1]);
    std::string text;
    char buf[65536];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
        text.append(buf, size_t(n));
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    Outcome o = Outcome::Parse(text);
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM)
        o.problems.push_back("hung (no end within " + std::to_string(limitSeconds) + " s)");
    else if (WIFSIGNALED(status))
        o.problems.push_back("crashed (signal " + std::to_string(WTERMSIG(status)) + ")");
    else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        o.problems.push_back("exited with status " + std::to_string(WEXITSTATUS(status)));
    return o;
}

std::vector<std::pair<std::string, tolmusim::MachineDesc>> Machines()
{
    const std::pair<const char *, std::string> texts[] = {
        {"default", tolmusim::DefaultMachineText()},
        {"deep", testsupport::ReadFile(std::string(TOLMU_SOURCE_DIR) + "/examples/deep-chassis.json")}};
    std::vector<std::pair<std::string, tolmusim::MachineDesc>> out;
    for (const auto &t : texts) {
        std::string error;
        auto desc = tolmusim::ParseMachineJson(t.second, std::string(t.first) + ".json", &error);
        EXPECT_TRUE(desc.has_value()) << error;
        if (desc)
            out.emplace_back(t.first, *desc);
    }
    return out;
}

// Under AddressSanitizer every run is several times slower: the k sweeps
// then take every 4th k (always the first and the last).
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
    const auto start = std::chrono::steady_clock::now();
    const uint64_t stride = Stride();
    const char *only = getenv("TOLMU_FAULT_ONLY");
    size_t runs = 0, passed = 0;
    uint64_t hits = 0; // failures injected, or requests completed later
    for (const auto &m : Machines())
        for (const std::string scenario : kScenarios) {
            Outcome clean;
            auto run = [&](Fault fault, uint64_t k) {
                const std::string what = m.first + " " + scenario + " " + kFaultNames[fault] + " " + std::to_string(k);
                if (fault != None && only != nullptr && what != only)
                    return;
                Outcome o = RunIsolated(m.second, scenario, fault, k, 60);
                if ((fault == AsyncConfig || fault == AsyncPnp) && o.snapshot != clean.snapshot)
                    o.problems.push_back("the machine ends differently than with synchronous completion");
                if (fault == None)
                    clean = o;
                runs++;
                passed += o.problems.empty();
                hits += o.hits;
                for (const std::string &p : o.problems)
                    printf("  FAILED %s: %s\n", what.c_str(), p.substr(0, 400).c_str());
            };
            run(None, 0);
            for (Fault f : {PoolNth, PoolAll, ConfigNth, ConfigAll, ConfigAllLate, Translate, MapIoSpace,
                            AsyncConfig, AsyncPnp}) {
                const bool sweep = f == PoolNth || f == ConfigNth;
                const uint64_t n = !sweep ? 0 : f == PoolNth ? clean.allocations : clean.configRequests;
                for (uint64_t k = sweep ? 1 : 0; k <= n; k++)
                    if (!sweep || (k - 1) % stride == 0 || k == n)
                        run(f, k);
            }
        }
    printf("  %llu failures injected or completions delayed; every %llu. k of the sweeps; %.1f s\n",
           (unsigned long long)hits, (unsigned long long)stride,
           std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    printf("fault injection: %zu of %zu runs passed\n", passed, runs);
    EXPECT_EQ(passed, runs);
    EXPECT_GT(runs, 0u);
}

} // namespace
