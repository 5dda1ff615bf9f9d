/*
 * session.cpp - one run of the simulated PC, from a fresh stand-in to the
 * driver unloaded and the pool checked.
 */
#include "session.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "core/config.h"
#include "core/debug.h"
#include "core/driver.h"
#include "pci/pci_regs.h"
#include "hardware_judge.h"
#include "pci_bus_driver.h"
#include "pci_names.h"
#include "pnp_manager.h"
#include "standin/iomgr.h"

namespace tolmusim {

namespace {

const std::vector<std::string> kScenarios = {"boot", "sleep", "rebalance", "surprise", "reinsert", "unload"};

/* ------------------------------------------------ the unload of the filter */

/* Tolmu's unload routine prints its last line into the trace buffer and then
 * frees the buffer. The run puts this routine in front of it: it keeps the
 * buffer's text, lets the lines of the unload reach the captured debugger
 * output for the duration, and adds them to the kept text. */
PDRIVER_UNLOAD realUnload = nullptr;
RunResult *unloadingRun = nullptr;
size_t forcedFrom = 0, forcedTo = 0;

std::string BufferText()
{
    PCHAR start = TraceGetStart();
    return start != nullptr ? std::string(start, TraceGetUsed()) : std::string();
}

VOID NTAPI UnloadKeepingTrace(PDRIVER_OBJECT driver)
{
    if (unloadingRun != nullptr) {
        unloadingRun->trace = BufferText();
        unloadingRun->traceBytes = TraceGetUsed();
    }
    size_t before = standin::DebugLines().size();
    LONG verbose = GetVerbose();
    if (verbose == 0)
        SetVerbose(1);
    realUnload(driver);
    SetVerbose(verbose);
    const auto &lines = standin::DebugLines();
    if (unloadingRun != nullptr)
        for (size_t i = before; i < lines.size(); i++)
            unloadingRun->trace += lines[i];
    /* What only the forced verbosity sent to the debugger is left out of
     * the run's debugger lines. */
    if (verbose == 0) {
        forcedFrom = before;
        forcedTo = lines.size();
    }
}

/* ------------------------------------------------------- hardware state */

uint16_t Cfg16(const std::array<uint8_t, 256> &c, int at) { return uint16_t(c[at] | c[at + 1] << 8); }
uint32_t Cfg32(const std::array<uint8_t, 256> &c, int at) { return uint32_t(Cfg16(c, at) | uint32_t(Cfg16(c, at + 2)) << 16); }

std::vector<WindowState> Windows(const std::array<uint8_t, 256> &c, uint8_t header)
{
    std::vector<WindowState> out;
    uint16_t command = Cfg16(c, CFG16_COMMAND);
    bool ioOn = (command & CFG_COMMAND_IO) != 0;
    bool memOn = (command & CFG_COMMAND_MEMORY) != 0;
    if (header == sim::kHeaderPciBridge) {
        WindowState io{"io"};
        io.base = uint64_t(c[CFG8_P2P_IO_BASE] & 0xF0) << 8;
        io.limit = uint64_t(c[CFG8_P2P_IO_LIMIT] & 0xF0) << 8 | 0xFFF;
        if ((c[CFG8_P2P_IO_BASE] & 0x0F) == CFG_P2P_IO_32) {
            io.base |= uint64_t(Cfg16(c, CFG16_P2P_IO_BASE_UPPER)) << 16;
            io.limit |= uint64_t(Cfg16(c, CFG16_P2P_IO_LIMIT_UPPER)) << 16;
        }
        io.enabled = ioOn && io.base <= io.limit;
        WindowState mem{"mem"};
        mem.base = uint64_t(Cfg16(c, CFG16_P2P_MEMORY_BASE) & 0xFFF0) << 16;
        mem.limit = uint64_t(Cfg16(c, CFG16_P2P_MEMORY_LIMIT) & 0xFFF0) << 16 | 0xFFFFF;
        mem.enabled = memOn && mem.base <= mem.limit;
        WindowState pref{"pref"};
        pref.base = uint64_t(Cfg16(c, CFG16_P2P_PREFETCH_BASE) & 0xFFF0) << 16;
        pref.limit = uint64_t(Cfg16(c, CFG16_P2P_PREFETCH_LIMIT) & 0xFFF0) << 16 | 0xFFFFF;
        if ((c[CFG16_P2P_PREFETCH_BASE] & 0x0F) == CFG_P2P_PREFETCH_64) {
            pref.base |= uint64_t(Cfg32(c, CFG32_P2P_PREFETCH_BASE_UPPER)) << 32;
            pref.limit |= uint64_t(Cfg32(c, CFG32_P2P_PREFETCH_LIMIT_UPPER)) << 32;
        }
        pref.enabled = memOn && pref.base <= pref.limit;
        out = {io, mem, pref};
    } else if (header == sim::kHeaderCardBusBridge) {
        uint16_t control = Cfg16(c, CFG16_BRIDGE_CONTROL);
        for (int i = 0; i < 2; i++) {
            WindowState m{(control & (CFG_CB_CONTROL_PREFETCH0 << i)) ? "pref" : "mem"};
            m.base = Cfg32(c, CFG32_CB_MEMORY_BASE0 + 8 * i) & 0xFFFFF000u;
            m.limit = (Cfg32(c, CFG32_CB_MEMORY_LIMIT0 + 8 * i) & 0xFFFFF000u) | 0xFFF;
            m.enabled = memOn && m.base != 0 && m.base <= m.limit;
            out.push_back(m);
        }
        for (int i = 0; i < 2; i++) {
            WindowState io{"io"};
            io.base = Cfg32(c, CFG32_CB_IO_BASE0 + 8 * i) & 0xFFFFFFFCu;
            io.limit = Cfg32(c, CFG32_CB_IO_LIMIT0 + 8 * i) | 0x3;
            io.enabled = ioOn && io.base != 0 && io.base <= io.limit;
            out.push_back(io);
        }
    }
    return out;
}

bool BehindController(const sim::PciFunction *f, const sim::PciFunction *controller)
{
    if (f == controller)
        return true;
    for (const sim::PciSegment *s = f->Segment(); s != nullptr; s = s->Parent())
        if (s->Bridge() == controller)
            return true;
    return false;
}

std::string LocationText(const sim::PciMachine &machine, const sim::PciFunction *f)
{
    char buf[16];
    int bus = machine.BusNumberOf(f);
    if (bus < 0)
        snprintf(buf, sizeof buf, "--:%02x.%x", unsigned(f->DeviceNumber()), unsigned(f->FunctionNumber()));
    else
        snprintf(buf, sizeof buf, "%02x:%02x.%x", unsigned(bus), unsigned(f->DeviceNumber()),
                 unsigned(f->FunctionNumber()));
    return buf;
}

/* Why no configuration cycle reaches a function: its bridge has no bus
 * number, or a bridge above does not route that number, or another bridge
 * on the way claims it first. */
std::string Unreachable(const sim::PciMachine &machine, const sim::PciFunction *f)
{
    const sim::PciFunction *bridge = f->Segment()->Bridge();
    if (bridge == nullptr)
        return "not found";
    unsigned bus = bridge->SecondaryBus();
    if (bus == 0)
        return "not found (no bus number)";
    char buf[160];
    for (const sim::PciFunction *a = bridge->Segment()->Bridge(); a != nullptr; a = a->Segment()->Bridge()) {
        if (a->SecondaryBus() == 0 || bus < a->SecondaryBus() || bus > a->SubordinateBus()) {
            snprintf(buf, sizeof buf, "not found (bus %02x: not routed by %s [%02x-%02x])", bus,
                     LocationText(machine, a).c_str(), a->SecondaryBus(), a->SubordinateBus());
            return buf;
        }
    }
    const sim::PciSegment *root = f->Segment();
    while (!root->IsRoot())
        root = root->Parent();
    for (const sim::PciSegment *r : machine.Roots())
        if (r != root && unsigned(r->RootNumber()) > unsigned(root->RootNumber()) && unsigned(r->RootNumber()) <= bus) {
            snprintf(buf, sizeof buf, "not found (bus %02x belongs to root bus %02x)", bus, unsigned(r->RootNumber()));
            return buf;
        }
    snprintf(buf, sizeof buf, "not found (bus %02x: another bridge claims it first)", bus);
    return buf;
}

void DescribeState(FunctionState &fs, const sim::DeviceNode *node, const sim::PnpManager &pnp,
                   const sim::PciMachine &machine, const sim::PciFunction *f)
{
    if (!fs.managed && !fs.hostBridge) {
        fs.stateKey = "host";
        fs.state = "not behind the adapter";
        return;
    }
    if (node == nullptr) {
        fs.stateKey = "not_found";
        const sim::PciFunction *parent = f->Segment()->Bridge();
        const sim::DeviceNode *parentNode = parent != nullptr ? pnp.Find(parent) : nullptr;
        if (machine.BusNumberOf(f) < 0)
            fs.state = Unreachable(machine, f);
        else if (parentNode == nullptr || parentNode->state != sim::NodeState::Started)
            fs.state = "not found (its bridge is not started)";
        else
            fs.state = "not found";
        return;
    }
    fs.problem = node->problem;
    switch (node->state) {
    case sim::NodeState::Started:
        /* Started as far as Windows knows; the hardware may not let it
         * work. */
        if (!fs.conflicts.empty()) {
            fs.stateKey = "conflict";
            fs.state = "started, but ";
            for (size_t i = 0; i < fs.conflicts.size(); i++)
                fs.state += (i == 0 ? "" : "; ") + fs.conflicts[i];
            break;
        }
        fs.stateKey = "started";
        fs.state = "started";
        break;
    case sim::NodeState::NotEnoughResources:
        fs.stateKey = "no_resources";
        fs.state = "not enough free resources (Code 12)";
        break;
    case sim::NodeState::StartFailed:
        fs.stateKey = "start_failed";
        fs.state = "failed to start (Code 10)";
        break;
    case sim::NodeState::Stopped:
        fs.stateKey = "stopped";
        fs.state = "stopped";
        break;
    case sim::NodeState::SurpriseRemoved:
        fs.stateKey = "surprise_removed";
        fs.state = "surprise removed";
        break;
    case sim::NodeState::Removed:
        fs.stateKey = "removed";
        fs.state = "removed";
        break;
    case sim::NodeState::Initialized:
        if (node->problem == sim::kProblemFailedAdd) {
            fs.stateKey = "add_failed";
            fs.state = "driver not loaded (Code 31)";
        } else {
            fs.stateKey = "not_started";
            fs.state = "not started";
        }
        break;
    }
}

std::vector<FunctionState> Snapshot(const BuiltMachine &built, sim::PciBusDriver &bus, const sim::PnpManager &pnp)
{
    std::vector<FunctionState> out;
    const sim::PciMachine &machine = *built.machine;
    /* What the hardware judge holds against each function, from its side. */
    std::map<const sim::PciFunction *, std::vector<std::string>> conflicts;
    for (const sim::Violation &v : pnp.JudgeNow())
        for (size_t i = 0; i < v.functions.size() && i < v.views.size(); i++)
            if (!v.views[i].empty())
                conflicts[v.functions[i]].push_back(v.views[i]);
    machine.Walk([&](sim::PciFunction *f, int depth) {
        FunctionState fs;
        auto d = built.descOf.find(f);
        const FunctionDesc *desc = d != built.descOf.end() ? d->second : nullptr;
        fs.label = desc != nullptr ? desc->location : "";
        fs.behind = desc != nullptr ? desc->behind : "";
        fs.depth = depth;
        fs.bus = machine.BusNumberOf(f);
        fs.device = f->DeviceNumber();
        fs.function = f->FunctionNumber();
        for (int i = 0; i < 256; i++)
            fs.config[size_t(i)] = f->Peek8(uint8_t(i));
        fs.vendorId = f->VendorId();
        fs.deviceId = f->DeviceId();
        fs.classCode = f->ClassCode();
        fs.header = f->HeaderLayout();
        fs.bridge = f->IsBridge();
        fs.controller = f == built.controller;
        fs.managed = BehindController(f, built.controller);
        fs.hostBridge = !fs.managed && f->IsBridge() && BehindController(built.controller, f);
        const sim::PciSegment *root = f->Segment();
        while (!root->IsRoot())
            root = root->Parent();
        fs.rootBus = root->RootNumber();
        if (fs.header == sim::kHeaderCardBusBridge) {
            fs.subVendorId = Cfg16(fs.config, CFG16_CB_SUBSYSTEM_VENDOR_ID);
            fs.subDeviceId = Cfg16(fs.config, CFG16_CB_SUBSYSTEM_ID);
        } else if (fs.header == sim::kHeaderDevice) {
            fs.subVendorId = Cfg16(fs.config, CFG16_SUBSYSTEM_VENDOR_ID);
            fs.subDeviceId = Cfg16(fs.config, CFG16_SUBSYSTEM_ID);
        }
        fs.name = desc != nullptr && !desc->name.empty() ? desc->name : PciName(fs.vendorId, fs.deviceId);
        if (fs.bridge) {
            fs.busNumbers = {f->PrimaryBus(), f->SecondaryBus(), f->SubordinateBus()};
            fs.windows = Windows(fs.config, fs.header);
        }
        for (const sim::BarInfo &b : bus.Bars(f)) {
            BarState bs;
            bs.index = b.index;
            bs.type = b.io ? "io" : (b.is64 ? "mem64" : "mem32");
            bs.prefetchable = b.prefetchable;
            bs.size = b.size;
            bs.address = b.address;
            fs.bars.push_back(bs);
        }
        if (desc != nullptr)
            fs.notes = desc->notes;
        auto c = conflicts.find(f);
        if (c != conflicts.end())
            fs.conflicts = c->second;
        DescribeState(fs, pnp.Find(f), pnp, machine, f);
        if (fs.hostBridge && fs.stateKey == "started")
            fs.state = "started (the host's bridge)";
        else if (fs.hostBridge && fs.stateKey == "conflict")
            fs.state.replace(0, 7, "started (the host's bridge)");
        out.push_back(std::move(fs));
    });
    return out;
}

uint64_t RoundUp(uint64_t v, uint64_t granularity) { return (v + granularity - 1) / granularity * granularity; }

/* The I/O the functions behind a bridge need as the hardware decodes it:
 * each device its I/O BARs; a PCI-to-PCI bridge its own I/O BARs and what is
 * behind it in whole 4 KB (its window's granularity); a CardBus bridge
 * nothing behind it (Tolmu takes its I/O window away). */
uint64_t IoNeed(sim::PciBusDriver &bus, const sim::PciFunction *bridge, int depth)
{
    uint64_t need = 0;
    if (bridge->Secondary() == nullptr || depth > 32)
        return 0;
    for (sim::PciFunction *c : bridge->Secondary()->Functions()) {
        if (!bus.IsPresent(c))
            continue;
        for (const sim::BarInfo &b : bus.Bars(c))
            if (b.io)
                need += b.size;
        if (c->HeaderLayout() == sim::kHeaderPciBridge)
            need += RoundUp(IoNeed(bus, c, depth + 1), 0x1000);
    }
    return need;
}

bool HasIoWindow(const sim::PciFunction *f)
{
    for (const sim::DecodedRange &r : sim::PositiveDecode(f))
        if (r.io && r.what == "I/O window")
            return true;
    return false;
}

/* A PCI-to-PCI bridge at or behind the controller without an I/O window
 * while I/O BARs are behind it: those functions cannot start. Tolmu's
 * registry value Io sizes the I/O the controller asks for; name the value
 * that holds the whole chassis. Only the topmost such bridge is named. */
std::vector<std::string> IoAdvice(const BuiltMachine &built, sim::PciBusDriver &bus, uint32_t io)
{
    std::vector<std::string> out;
    const sim::PciMachine &machine = *built.machine;
    std::vector<const sim::PciFunction *> named;
    uint64_t room = RoundUp(IoNeed(bus, built.controller, 0), 0x1000);
    machine.Walk([&](sim::PciFunction *f, int) {
        if (!BehindController(f, built.controller) || f->HeaderLayout() != sim::kHeaderPciBridge ||
            !bus.IsPresent(f) || HasIoWindow(f) || IoNeed(bus, f, 0) == 0)
            return;
        for (const sim::PciFunction *n : named)
            if (n != f && BehindController(f, n))
                return;
        named.push_back(f);
        char buf[256];
        if (io < room)
            snprintf(buf, sizeof buf, "%s has no I/O window: --param Io=0x%llx (registry value Io) gives the chassis's "
                                      "I/O room",
                     sim::FunctionLocation(machine, f).c_str(), (unsigned long long)room);
        else
            snprintf(buf, sizeof buf, "%s has no I/O window, although the registry value Io (0x%x) holds the "
                                      "chassis's I/O (0x%llx)",
                     sim::FunctionLocation(machine, f).c_str(), io, (unsigned long long)room);
        out.push_back(buf);
    });
    return out;
}

std::string CountLine(const std::vector<FunctionState> &functions)
{
    size_t managed = 0, started = 0;
    for (const FunctionState &f : functions) {
        if (!f.managed)
            continue;
        managed++;
        if (f.stateKey == "started")
            started++;
    }
    return std::to_string(started) + " of " + std::to_string(managed) + " functions at or behind the controller started";
}

} // namespace

const std::vector<std::string> &ScenarioNames() { return kScenarios; }

std::vector<std::string> ScenarioSteps(const std::string &name)
{
    if (name == "all")
        return kScenarios;
    if (name == "boot")
        return {"boot"};
    /* The chassis comes back only after it was pulled out. */
    if (name == "reinsert")
        return {"boot", "surprise", "reinsert"};
    for (const std::string &s : kScenarios)
        if (s == name)
            return {"boot", name};
    return {};
}

std::string FunctionState::Location() const
{
    char buf[16];
    if (bus < 0)
        snprintf(buf, sizeof buf, "--:%02x.%x", unsigned(device), unsigned(function));
    else
        snprintf(buf, sizeof buf, "%02x:%02x.%x", unsigned(bus), unsigned(device), unsigned(function));
    return buf;
}

bool RunResult::CleanApartFromHardware() const { return OtherFindings().empty() && poolBlocks == 0; }

std::vector<standin::Finding> RunResult::HardwareFindings() const
{
    std::vector<standin::Finding> out;
    for (const standin::Finding &f : findings)
        if (sim::IsHardwareRule(f.rule))
            out.push_back(f);
    return out;
}

std::vector<standin::Finding> RunResult::OtherFindings() const
{
    std::vector<standin::Finding> out;
    for (const standin::Finding &f : findings)
        if (!sim::IsHardwareRule(f.rule))
            out.push_back(f);
    return out;
}

const StepResult *RunResult::Step(const std::string &scenario) const
{
    for (const StepResult &s : steps)
        if (s.scenario == scenario)
            return &s;
    return nullptr;
}

const FunctionState *FindFunction(const StepResult &step, const std::string &label)
{
    for (const FunctionState &f : step.functions)
        if (f.label == label)
            return &f;
    return nullptr;
}

RunResult RunMachine(const MachineDesc &desc, const RunOptions &options)
{
    RunResult run;
    run.filter = options.filter;
    run.checked = options.checked;
    auto realStart = std::chrono::steady_clock::now();

    standin::SetFindingHandler(nullptr);
    standin::Reset();
    standin::SetCheckedBuild(options.checked);
    for (const auto &p : desc.params)
        standin::RegSetDword("tolmu\\Parameters", p.first, p.second);
    for (const auto &p : options.params)
        standin::RegSetDword("tolmu\\Parameters", p.first, p.second);

    BuiltMachine built;
    std::string error;
    if (!BuildMachine(desc, &built, &error)) {
        run.findings.push_back({"BAD_MACHINE", error});
        return run;
    }

    standin::SetFindingHandler([&run](const standin::Finding &f) { run.findings.push_back(f); });

    built.machine->Install();
    {
        auto bus = std::make_unique<sim::PciBusDriver>(*built.machine);
        sim::PnpOptions pnpOptions;
        pnpOptions.filterEntry = options.filter ? DriverEntry : nullptr;
        /* The root buses' memory window begins above the top of memory; when
         * the firmware placed anything lower, the machine's memory ends
         * lower, and the window begins at that 1 MB boundary. */
        for (sim::PciFunction *f : built.machine->AllFunctions())
            for (const CM_PARTIAL_RESOURCE_DESCRIPTOR &d : bus->BootConfig(f))
                if (d.Type == CmResourceTypeMemory && d.u.Memory.Length != 0 &&
                    uint64_t(d.u.Memory.Start.QuadPart) >= 0x100000 &&
                    uint64_t(d.u.Memory.Start.QuadPart) < pnpOptions.memBase)
                    pnpOptions.memBase = uint64_t(d.u.Memory.Start.QuadPart) & ~0xFFFFFull;
        auto pnp = std::make_unique<sim::PnpManager>(*bus, pnpOptions);
        pnp->AddController(built.controller);

        unloadingRun = &run;
        forcedFrom = forcedTo = 0;
        uint32_t io = 0;
        if (options.filter) {
            NTSTATUS status = pnp->LoadFilter();
            run.filterLoaded = NT_SUCCESS(status) && pnp->FilterDriver() != nullptr;
            io = GetIo();
            if (run.filterLoaded && pnp->FilterDriver()->DriverUnload != nullptr) {
                realUnload = pnp->FilterDriver()->DriverUnload;
                pnp->FilterDriver()->DriverUnload = UnloadKeepingTrace;
            }
        }

        sim::DeviceNode *controllerNode = nullptr;
        for (const std::string &step : options.steps) {
            StepResult result;
            result.scenario = step;
            size_t findingsBefore = run.findings.size();
            if (step == "boot") {
                pnp->Boot();
                standin::RunDeferred();
                controllerNode = pnp->Find(built.controller);
            } else if (step == "sleep") {
                pnp->SystemSleep();
                standin::RunDeferred();
            } else if (step == "rebalance") {
                pnp->Rebalance();
                standin::RunDeferred();
            } else if (step == "surprise") {
                pnp->SurpriseRemove(controllerNode);
                standin::RunDeferred();
            } else if (step == "reinsert") {
                pnp->Reinsert(controllerNode);
                standin::RunDeferred();
            } else if (step == "unload") {
                run.trace = BufferText();
                run.traceBytes = TraceGetUsed();
                pnp->UnloadAll();
                standin::RunDeferred();
            }
            result.functions = Snapshot(built, *bus, *pnp);
            result.findings.assign(run.findings.begin() + long(findingsBefore), run.findings.end());
            result.poolBlocks = standin::OutstandingBlocks().size();
            if (run.filterLoaded)
                result.advice = IoAdvice(built, *bus, io);
            if (step == "unload")
                result.outcome = std::string("every device removed") +
                                 (options.filter ? (pnp->FilterUnloaded() ? ", Tolmu unloaded" : ", Tolmu NOT unloaded")
                                                 : "");
            else if (step == "surprise")
                result.outcome = "chassis cable pulled: " + CountLine(result.functions);
            else if (step == "reinsert")
                result.outcome = "chassis plugged in again: " + CountLine(result.functions);
            else
                result.outcome = CountLine(result.functions);
            run.steps.push_back(std::move(result));
        }

        /* The trace as it stands; the unload, when it comes, keeps it with
         * its own lines. */
        if (!pnp->FilterUnloaded() && TraceGetStart() != nullptr) {
            run.trace = BufferText();
            run.traceBytes = TraceGetUsed();
        }

        /* Everything taken down the orderly way, then the leftovers checked.
         * The hardware was judged after each step; the taking down is no
         * step of the run. */
        pnp->SetJudgeHardware(false);
        pnp->UnloadAll();
        standin::RunDeferred();
        run.filterUnloaded = pnp->FilterUnloaded();
        const auto &lines = standin::DebugLines();
        for (size_t i = 0; i < lines.size(); i++)
            if (i < forcedFrom || i >= forcedTo)
                run.debugger.push_back(lines[i]);
        pnp.reset();
        bus.reset();
        unloadingRun = nullptr;
        realUnload = nullptr;
    }
    standin::CheckIoLeftovers();
    built.machine.reset();
    run.accepted = standin::AcceptedFindings();
    run.poolReport = standin::PoolReport();
    run.poolBlocks = standin::OutstandingBlocks().size();
    run.virtualMicroseconds = standin::VirtualMicroseconds();
    standin::SetFindingHandler(nullptr);
    run.realSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - realStart).count();
    return run;
}

} // namespace tolmusim
