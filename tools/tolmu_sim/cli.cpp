/*
 * cli.cpp - tolmu-sim's options, input checks, runs and reports.
 *
 * Every input is checked before anything runs: the machine (file, dump or
 * the built-in one) must build, every --param must name one of the driver's
 * sixteen registry values, --controller must name a function of the
 * machine, and a --chassis file must read and fit. Then the machine is booted
 * without Tolmu and with it (only without with --no-filter), the scenario is
 * run on each, and what a reader wants first is printed first: the machine,
 * the chassis plugged in, a one-line result, then (with --show-trace) Tolmu's
 * trace, then the summary.
 */
#include "cli.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "chassis.h"
#include "hex.h"
#include "lspci_import.h"
#include "machine_desc.h"
#include "machine_file.h"
#include "session.h"
#include "summary.h"

namespace tolmusim {

namespace {

bool ReadFile(const std::string &path, std::string *text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream s;
    s << in.rdbuf();
    *text = s.str();
    return true;
}

bool WriteFile(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
    return bool(out);
}

/* "NAME=VALUE" with VALUE decimal or 0x-hex. */
bool ParseParam(const std::string &text, std::string *name, uint32_t *value, std::string *error)
{
    size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == text.size()) {
        *error = "--param " + text + ": expected NAME=VALUE";
        return false;
    }
    *name = CanonicalParameterName(text.substr(0, eq));
    if (name->empty()) {
        std::string names;
        for (const std::string &n : ParameterNames())
            names += (names.empty() ? "" : ", ") + n;
        *error = "--param " + text + ": unknown parameter \"" + text.substr(0, eq) + "\" (known: " + names + ")";
        return false;
    }
    std::string v = text.substr(eq + 1);
    uint64_t number = 0;
    if (!ParseNumber(v, &number) || number > 0xFFFFFFFFull) {
        *error = "--param " + text + ": \"" + v + "\" is not a 32-bit number";
        return false;
    }
    *value = uint32_t(number);
    return true;
}

std::string JoinLines(const std::vector<std::string> &lines)
{
    std::string text;
    for (const std::string &l : lines) {
        text += l;
        if (text.empty() || text.back() != '\n')
            text += "\n";
    }
    return text;
}

/* What --help prints after the options: the parameter names, the scenarios,
 * the exit codes and two examples. */
std::string HelpFooter()
{
    std::string text = "Parameters (--param NAME=VALUE; VALUE decimal or 0x-hex; NAME in any case):\n";
    std::string line = " ";
    for (const std::string &n : ParameterNames()) {
        if (line.size() + n.size() + 1 > 78) {
            text += line + "\n";
            line = " ";
        }
        line += " " + n;
    }
    text += line + "\n\n";
    text += "Scenarios (--scenario NAME; each begins with the boot):\n"
            "  boot       boot, then everything removed again (the default)\n"
            "  sleep      standby (S3) and resume\n"
            "  rebalance  every device stopped, resources arbitrated anew, started again\n"
            "  surprise   the chassis cable pulled out\n"
            "  reinsert   the chassis cable pulled out and plugged in again\n"
            "  unload     every device removed, then Tolmu unloaded\n"
            "  all        sleep, rebalance, surprise, reinsert and unload in this order\n\n";
    text += "Hardware findings: after every step the simulated PC's registers are judged\n"
            "as real hardware would take them (bus numbers routed by two bridges, a\n"
            "bridge's range outside its parent's, an address two functions on one bus\n"
            "decode, a started function's BAR the bridges above do not forward, a started\n"
            "function no configuration cycle reaches); a started function caught in one\n"
            "counts as \"started, but ...\", not as started. Those of the boot without\n"
            "Tolmu are the OS's own: shown, not counted in the exit status.\n\n";
    text += "Exit status:\n"
            "  0  the run with Tolmu had no verifier or hardware finding, the run without\n"
            "     Tolmu no verifier finding apart from hardware ones, nothing leaked\n"
            "  1  otherwise (the summary lists the findings and the leaks)\n"
            "  2  bad input: a message names the file and line; nothing ran\n\n";
    text += "Examples:\n"
            "  tolmu-sim --lspci laptop.txt --chassis desktop.txt@05:00.0\n"
            "  tolmu-sim --machine examples/deep-chassis.json --scenario all --show-trace";
    return text;
}

/* "10 of 10": the functions at and behind the controller that were started
 * after the boot, of all of them. */
std::string StartedAfterBoot(const RunResult &run)
{
    const StepResult *boot = run.Step("boot");
    size_t started = 0, managed = 0;
    if (boot != nullptr)
        for (const FunctionState &f : boot->functions)
            if (f.managed) {
                managed++;
                started += f.stateKey == "started";
            }
    return std::to_string(started) + " of " + std::to_string(managed);
}

/* Findings and leaks of a run, "" when there are none. The hardware
 * findings of the run without Tolmu are the OS's own. */
std::string Problems(const RunResult &run)
{
    std::string text;
    size_t others = run.OtherFindings().size(), hardware = run.HardwareFindings().size();
    if (others != 0)
        text += std::to_string(others) + " verifier finding" + (others == 1 ? "" : "s");
    if (hardware != 0)
        text += (text.empty() ? "" : ", ") + std::to_string(hardware) + " hardware finding" +
                (hardware == 1 ? "" : "s") + (run.filter ? "" : " (the OS's own, not counted)");
    if (run.poolBlocks != 0)
        text += (text.empty() ? "" : ", ") + std::to_string(run.poolBlocks) + " pool blocks left after the unload";
    if (run.filter && !run.filterUnloaded)
        text += (text.empty() ? "" : ", ") + std::string("Tolmu not unloaded");
    return text;
}

/* A controller that starts without Tolmu but not with it did not get the
 * larger windows Tolmu asks for: what the bridges above it forward bounds
 * them (a subtractive-decode bridge forwards more than its windows and does
 * not count). One line of advice, "" in any other case. */
std::string WindowAdvice(const RunResult &without, const RunResult &with, const std::string &controller)
{
    const StepResult *a = without.Step("boot"), *b = with.Step("boot");
    const FunctionState *was = a != nullptr ? FindFunction(*a, controller) : nullptr;
    const FunctionState *now = b != nullptr ? FindFunction(*b, controller) : nullptr;
    if (was == nullptr || now == nullptr || was->stateKey != "started" || now->stateKey != "no_resources")
        return "";
    std::map<std::string, uint64_t> room; /* kind -> the smallest window above; 0 = none forwarded */
    for (const FunctionState *f = FindFunction(*b, now->behind); f != nullptr; f = FindFunction(*b, f->behind)) {
        bool subtractive = (f->classCode >> 8) == 0x0604 && (f->classCode & 0xFF) == 0x01;
        for (const WindowState &w : f->windows) {
            uint64_t size = w.enabled ? w.limit - w.base + 1 : 0;
            if (!subtractive && (room.count(w.kind) == 0 || size < room[w.kind]))
                room[w.kind] = size;
        }
    }
    std::string sizes;
    for (const char *kind : {"mem", "pref", "io"})
        if (room.count(kind) != 0)
            sizes += std::string(sizes.empty() ? "" : ", ") + kind + " " +
                     (room[kind] != 0 ? SizeText(room[kind]) : std::string("none"));
    return "   " + controller + " started without Tolmu; with Tolmu: " + now->state + "\n   " +
           (sizes.empty() ? "the windows" : "the bridges above it forward " + sizes + ": the windows") +
           " Tolmu asks for (--param Memory, PreFetch, Io) must fit\n";
}

/* The answer in a few lines, printed before everything long. */
std::string Headline(const MachineDesc &desc, const RunResult &without, const RunResult *with, bool traceShown,
                     const std::string &traceFile)
{
    std::string text = "== Result: ";
    if (with != nullptr)
        text += "with Tolmu " + StartedAfterBoot(*with) + " functions at and behind " + desc.controller +
                " started after boot; without Tolmu " + StartedAfterBoot(without) + "\n";
    else
        text += "without Tolmu " + StartedAfterBoot(without) + " functions at and behind " + desc.controller +
                " started after boot (--no-filter: no run with Tolmu)\n";
    if (with != nullptr) {
        text += WindowAdvice(without, *with, desc.controller);
        if (const StepResult *boot = with->Step("boot"))
            for (const std::string &a : boot->advice)
                text += "   " + a + "\n";
    }
    for (const RunResult *run : {&without, with}) {
        if (run == nullptr)
            continue;
        std::string problems = Problems(*run);
        if (!problems.empty())
            text += std::string("   ") + (run->filter ? "with" : "without") + " Tolmu: " + problems + "\n";
    }
    if (with != nullptr && !traceShown && traceFile.empty())
        text += "   Tolmu's trace (" + std::to_string(with->traceBytes) +
                " bytes) is not shown: --show-trace prints it, --trace FILE writes it\n";
    return text;
}

} // namespace

} // namespace tolmusim

int RunTolmuSim(int argc, char **argv, std::ostream &out, std::ostream &err)
{
    using namespace tolmusim;

    std::string machineFile, lspciFile, controller, chassisArg, scenario = "boot", traceFile, debuggerFile, jsonFile;
    std::vector<std::string> params;
    bool noFilter = false, checked = false, showTrace = false;

    CLI::App app{"tolmu-sim boots a simulated Windows XP PC twice, without Tolmu and with it as\n"
                 "the upper filter of the adapter's controller, and shows what each boot made of\n"
                 "the PCI expansion chassis behind the adapter: the PCI tree, the state of each\n"
                 "function, both boots side by side.\n",
                 "tolmu-sim"};
    app.get_formatter()->column_width(31);
    app.footer(HelpFooter());
    app.add_option("--machine", machineFile, "the PC from a machine file (JSON, see\ndocs/machine-format.md); default: built in")
        ->type_name("FILE");
    app.add_option("--lspci", lspciFile, "the PC from lspci output (-x to -xxxx, with\nor without -v, -vv, -vvv)")
        ->type_name("FILE");
    app.add_option("--controller", controller,
                   "the adapter's controller (default: the file's,\nelse the first CardBus controller)")
        ->type_name("[DDDD:]BB:DD.F");
    app.add_option("--chassis", chassisArg,
                   "plug the chassis described in FILE (lspci output\n"
                   "or machine file) into the controller's slot;\n"
                   "BB:DD.F: its uplink in FILE, needed unless FILE\n"
                   "holds nothing but the chassis")
        ->type_name("FILE[@BB:DD.F]");
    app.add_option("--param", params, "set one of Tolmu's registry values (repeatable;\nnames below)")
        ->type_name("NAME=VALUE");
    std::vector<std::string> scenarioNames = ScenarioNames();
    scenarioNames.push_back("all");
    app.add_option("--scenario", scenario, "what follows the boot (below); default boot")
        ->check(CLI::IsMember(scenarioNames).description(""))
        ->type_name("NAME");
    app.add_flag("--no-filter", noFilter, "boot only without Tolmu");
    app.add_flag("--checked", checked, "a checked build of the OS");
    app.add_flag("--show-trace", showTrace, "print Tolmu's trace before the summary");
    app.add_option("--trace", traceFile, "write Tolmu's trace to FILE")->type_name("FILE");
    app.add_option("--debugger", debuggerFile, "write the debugger output to FILE (without it\nprinted when Verbose is not 0)")
        ->type_name("FILE");
    app.add_option("--json", jsonFile, "write the summary as JSON to FILE")->type_name("FILE");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        int code = app.exit(e, out, err);
        return code == 0 ? kExitClean : kExitBadInput;
    }
    if (!machineFile.empty() && !lspciFile.empty()) {
        err << "tolmu-sim: --machine and --lspci both describe the PC; give one of them\n";
        return kExitBadInput;
    }

    /* --controller [DDDD:]BB:DD.F: a domain prefix picks the domain an lspci
     * dump is imported from; the location in the machine has none. */
    unsigned controllerDomain = 0;
    const bool controllerHasDomain = std::count(controller.begin(), controller.end(), ':') > 1;
    if (!controller.empty()) {
        int b, d, f;
        if (!ParseDomainLocation(controller, &controllerDomain, &b, &d, &f)) {
            err << "tolmu-sim: --controller " << controller << ": not a location of the form [DDDD:]BB:DD.F\n";
            return kExitBadInput;
        }
    }

    /* The machine. */
    MachineDesc desc;
    std::string error;
    if (!lspciFile.empty()) {
        std::string text;
        if (!ReadFile(lspciFile, &text)) {
            err << "tolmu-sim: " << lspciFile << ": cannot read the file\n";
            return kExitBadInput;
        }
        ImportOptions importOptions;
        if (controllerHasDomain)
            importOptions.domain = controllerDomain;
        std::optional<MachineDesc> imported = ImportLspci(text, lspciFile, &error, importOptions);
        if (!imported) {
            err << "tolmu-sim: " << error << "\n";
            return kExitBadInput;
        }
        desc = *imported;
        if (desc.source.empty())
            desc.source = lspciFile;
        if (desc.name.empty())
            desc.name = "lspci dump " + lspciFile;
    } else {
        std::string text = DefaultMachineText();
        std::string name = "built-in default machine";
        if (!machineFile.empty()) {
            name = machineFile;
            if (!ReadFile(machineFile, &text)) {
                err << "tolmu-sim: " << machineFile << ": cannot read the file\n";
                return kExitBadInput;
            }
        }
        std::optional<MachineDesc> parsed = ParseMachineJson(text, name, &error);
        if (!parsed) {
            err << "tolmu-sim: " << error << "\n";
            return kExitBadInput;
        }
        desc = *parsed;
    }
    if (!controller.empty()) {
        if (controllerHasDomain && controllerDomain != desc.domain) {
            char domain[16];
            std::snprintf(domain, sizeof domain, "%04x", desc.domain);
            err << "tolmu-sim: --controller " << controller << ": the machine is PCI domain " << domain << "\n";
            return kExitBadInput;
        }
        desc.controller = controller.substr(controller.size() - 7); /* BB:DD.F */
    }
    for (const std::string &p : params) {
        std::string name;
        uint32_t value = 0;
        if (!ParseParam(p, &name, &value, &error)) {
            err << "tolmu-sim: " << error << "\n";
            return kExitBadInput;
        }
        desc.params[name] = value;
    }
    {
        BuiltMachine trial;
        if (!BuildMachine(desc, &trial, &error)) {
            err << "tolmu-sim: " << error << "\n";
            return kExitBadInput;
        }
        if (desc.controller.empty())
            desc.controller = trial.controllerLocation;
    }

    /* The chassis, plugged into the controller's slot. */
    ChassisReport chassisReport;
    if (!chassisArg.empty()) {
        ChassisArgument chassis = ParseChassisArgument(chassisArg);
        std::string text;
        if (!ReadFile(chassis.file, &text)) {
            err << "tolmu-sim: --chassis " << chassisArg << ": cannot read the file " << chassis.file
                << (chassisArg.find('@') != std::string::npos && chassis.uplink.empty()
                        ? " (after @ the uplink's location BB:DD.F is expected)"
                        : "")
                << "\n";
            return kExitBadInput;
        }
        std::optional<MachineDesc> parsed = ReadChassis(text, chassis.file, chassis.domain, &error);
        if (!parsed || !PlugChassis(&desc, *parsed, chassis.uplink, &chassisReport, &error)) {
            err << "tolmu-sim: --chassis: " << error << "\n";
            return kExitBadInput;
        }
        BuiltMachine trial;
        if (!BuildMachine(desc, &trial, &error)) {
            err << "tolmu-sim: --chassis: " << error << "\n";
            return kExitBadInput;
        }
    }

    /* The runs. */
    RunOptions options;
    options.checked = checked;
    options.steps = ScenarioSteps(scenario);
    options.filter = false;
    RunResult without = RunMachine(desc, options);
    std::optional<RunResult> with;
    if (!noFilter) {
        options.filter = true;
        with = RunMachine(desc, options);
    }
    if (with && !traceFile.empty() && !WriteFile(traceFile, with->trace)) {
        err << "tolmu-sim: " << traceFile << ": cannot write the trace\n";
        return kExitBadInput;
    }

    /* What was simulated and the answer first. */
    out << "tolmu-sim: " << (desc.name.empty() ? desc.source : desc.name) << "\n";
    out << "adapter's controller " << desc.controller << "; scenario " << scenario
        << (checked ? "; checked build" : "") << "; booted without Tolmu"
        << (with ? " and with Tolmu as the controller's upper filter" : " only") << "\n";
    if (!chassisReport.lines.empty()) {
        out << "\n== Chassis: " << chassisReport.lines[0] << "\n";
        for (size_t i = 1; i < chassisReport.lines.size(); i++)
            out << "   " << chassisReport.lines[i] << "\n";
    }
    out << "\n" << Headline(desc, without, with ? &*with : nullptr, showTrace, traceFile);
    if (with && !traceFile.empty())
        out << "   Tolmu's trace: " << with->trace.size() << " bytes written to " << traceFile << "\n";

    /* Tolmu's trace and the debugger lines. */
    if (with && showTrace) {
        out << "\n== Tolmu's trace (" << with->traceBytes << " bytes of the trace buffer)\n" << with->trace;
        if (!with->trace.empty() && with->trace.back() != '\n')
            out << "\n";
        out << "== End of Tolmu's trace\n";
    }
    auto verbose = desc.params.find("Verbose");
    const RunResult &shown = with ? *with : without;
    if (!debuggerFile.empty()) {
        if (!WriteFile(debuggerFile, JoinLines(shown.debugger))) {
            err << "tolmu-sim: " << debuggerFile << ": cannot write the debugger output\n";
            return kExitBadInput;
        }
    } else if (verbose != desc.params.end() && verbose->second != 0 && !shown.debugger.empty()) {
        out << "\n== Debugger output\n" << JoinLines(shown.debugger) << "== End of debugger output\n";
    }

    out << "\n" << SummaryText(desc, &without, with ? &*with : nullptr);

    /* The run with Tolmu answers for everything it leaves; the run without
     * it for its verifier findings and leaks, not for the hardware state
     * Windows alone leaves. */
    bool clean = without.CleanApartFromHardware() && (!with || with->Clean());
    int status = clean ? kExitClean : kExitProblems;
    if (!jsonFile.empty()) {
        std::vector<const RunResult *> runs{&without};
        if (with)
            runs.push_back(&*with);
        if (!WriteFile(jsonFile, SummaryJson(desc, runs, status).dump(2) + "\n")) {
            err << "tolmu-sim: " << jsonFile << ": cannot write the JSON summary\n";
            return kExitBadInput;
        }
    }
    out << "exit status " << status
        << (clean ? (with ? " (no verifier finding, no hardware finding with Tolmu, nothing leaked)"
                          : " (no verifier finding, nothing leaked)")
                  : "")
        << "\n";
    return status;
}
