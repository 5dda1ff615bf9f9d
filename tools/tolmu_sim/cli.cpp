/*
 * cli.cpp - tolmu-sim's options, input checks, runs and reports.
 *
 * Every input is checked before anything runs: the machine (file, dump or
 * the built-in one) must build, every --param must name one of the driver's
 * sixteen registry values, and --controller must name a function of the
 * machine. Then the machine is booted without Tolmu and with it (only
 * without with --no-filter), the scenario is run on each, and the trace and
 * the summary are printed.
 */
#include "cli.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

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
    size_t used = 0;
    unsigned long long number = 0;
    try {
        number = std::stoull(v, &used, 0);
    } catch (const std::exception &) {
        used = 0;
    }
    if (used != v.size() || v[0] == '-' || number > 0xFFFFFFFFull) {
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

} // namespace

} // namespace tolmusim

int RunTolmuSim(int argc, char **argv, std::ostream &out, std::ostream &err)
{
    using namespace tolmusim;

    std::string machineFile, lspciFile, controller, scenario = "boot", traceFile, debuggerFile, jsonFile;
    std::vector<std::string> params;
    bool noFilter = false, checked = false;

    CLI::App app{"tolmu-sim: boots a simulated PC with a PCI expansion chassis behind its adapter, without Tolmu "
                 "and with it, and shows what each left of the PCI tree.",
                 "tolmu-sim"};
    auto *machineOpt = app.add_option("--machine", machineFile, "machine file (JSON, docs/machine-format.md)");
    auto *lspciOpt = app.add_option("--lspci", lspciFile, "machine from lspci output (-x .. -xxxx, with or without -v)");
    machineOpt->excludes(lspciOpt);
    app.add_option("--controller", controller, "location BB:DD.F of the adapter's controller");
    app.add_option("--param", params, "registry value of the driver, NAME=VALUE (repeatable)");
    std::vector<std::string> scenarioNames = ScenarioNames();
    scenarioNames.push_back("all");
    app.add_option("--scenario", scenario, "boot, sleep, rebalance, surprise, unload or all")
        ->check(CLI::IsMember(scenarioNames));
    app.add_flag("--no-filter", noFilter, "boot without Tolmu only");
    app.add_flag("--checked", checked, "checked build of the OS");
    app.add_option("--trace", traceFile, "write Tolmu's trace to FILE instead of printing it");
    app.add_option("--debugger", debuggerFile, "write the debugger output to FILE");
    app.add_option("--json", jsonFile, "write the summary as JSON to FILE");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        int code = app.exit(e, out, err);
        return code == 0 ? kExitClean : kExitBadInput;
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

    /* The runs. */
    RunOptions options;
    options.checked = checked;
    options.steps = ScenarioSteps(scenario);
    out << "tolmu-sim: " << (desc.name.empty() ? desc.source : desc.name) << "\n";
    out << "adapter's controller " << desc.controller << "; scenario " << scenario
        << (checked ? "; checked build" : "") << "\n";

    options.filter = false;
    out << "\n== Booting without Tolmu\n";
    RunResult without = RunMachine(desc, options);
    std::optional<RunResult> with;
    if (!noFilter) {
        options.filter = true;
        out << "== Booting with Tolmu as the upper filter of " << desc.controller << "\n";
        with = RunMachine(desc, options);
    }

    /* Tolmu's trace and the debugger lines. */
    if (with) {
        if (!traceFile.empty()) {
            if (!WriteFile(traceFile, with->trace)) {
                err << "tolmu-sim: " << traceFile << ": cannot write the trace\n";
                return kExitBadInput;
            }
            out << "\nTolmu's trace: " << with->trace.size() << " bytes written to " << traceFile << "\n";
        } else {
            out << "\n== Tolmu's trace (" << with->traceBytes << " bytes of the trace buffer)\n" << with->trace;
            if (!with->trace.empty() && with->trace.back() != '\n')
                out << "\n";
            out << "== End of Tolmu's trace\n";
        }
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

    bool clean = without.Clean() && (!with || with->Clean());
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
    out << "exit status " << status << (clean ? " (no verifier finding, nothing leaked)" : "") << "\n";
    return status;
}
