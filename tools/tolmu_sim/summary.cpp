/*
 * summary.cpp - the text and JSON summaries of tolmu-sim.
 */
#include "summary.h"

#include "hardware_judge.h"

#include <cstdio>
#include <functional>
#include <map>
#include <sstream>

namespace tolmusim {

namespace {

using nlohmann::json;

std::string Hex(uint64_t v, int digits = 0)
{
    char buf[32];
    snprintf(buf, sizeof buf, "0x%0*llx", digits, (unsigned long long)v);
    return buf;
}

std::string Ids(const FunctionState &f)
{
    char buf[16];
    snprintf(buf, sizeof buf, "%04x:%04x", f.vendorId, f.deviceId);
    return buf;
}

std::string Shorten(const std::string &text, size_t max)
{
    return text.size() <= max ? text : text.substr(0, max - 3) + "...";
}

std::string Pad(const std::string &text, size_t width)
{
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

std::string Detail(const FunctionState &f)
{
    std::string d;
    if (f.bridge) {
        char buf[48];
        snprintf(buf, sizeof buf, "bus %02x [%02x-%02x]", f.busNumbers[0], f.busNumbers[1], f.busNumbers[2]);
        d = buf;
        for (const WindowState &w : f.windows)
            if (w.enabled)
                d += "  " + w.kind + " " + RangeText(w.base, w.limit);
        bool any = false;
        for (const WindowState &w : f.windows)
            any = any || w.enabled;
        if (!any)
            d += "  no windows";
    }
    for (const BarState &b : f.bars) {
        if (!d.empty())
            d += "  ";
        d += "BAR" + std::to_string(b.index) + " " + (b.type == "io" ? "io" : "mem") +
             (b.type == "mem64" ? "64" : "") + (b.prefetchable ? " pref" : "") + " " + SizeText(b.size) + " @ " +
             (b.address != 0 ? Hex(b.address) : std::string("unassigned"));
    }
    return d;
}

std::string Seconds(double s)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%.1f s", s);
    return buf;
}

std::string RealSeconds(double s)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%.3f s", s);
    return buf;
}

size_t Count(const std::vector<FunctionState> &fs, bool startedOnly)
{
    size_t n = 0;
    for (const FunctionState &f : fs)
        if (f.managed && (!startedOnly || f.stateKey == "started"))
            n++;
    return n;
}

std::string RunFooter(const RunResult &r)
{
    std::ostringstream o;
    const StepResult *boot = r.Step("boot");
    if (boot != nullptr)
        o << Count(boot->functions, true) << " of " << Count(boot->functions, false) << " started after boot";
    o << "; virtual time " << Seconds(double(r.virtualMicroseconds) / 1e6) << "; real time "
      << RealSeconds(r.realSeconds);
    if (r.filter)
        o << "; trace " << r.traceBytes << " bytes";
    o << "; verifier findings " << r.OtherFindings().size();
    o << "; hardware findings " << r.HardwareFindings().size() << (r.filter ? "" : " (the OS's own)");
    o << "; pool after unload " << (r.poolBlocks == 0 ? "clean" : std::to_string(r.poolBlocks) + " blocks left");
    if (r.filter)
        o << (r.filterUnloaded ? "; Tolmu unloaded" : "; Tolmu NOT unloaded");
    return o.str();
}

json FunctionJson(const FunctionState &f)
{
    json j;
    j["label"] = f.label;
    j["location"] = f.bus < 0 ? json(nullptr) : json(f.Location());
    j["behind"] = f.behind.empty() ? json(nullptr) : json(f.behind);
    char ids[16];
    snprintf(ids, sizeof ids, "%04x", f.vendorId);
    j["vendor"] = ids;
    snprintf(ids, sizeof ids, "%04x", f.deviceId);
    j["device"] = ids;
    snprintf(ids, sizeof ids, "%04x:%04x", f.subVendorId, f.subDeviceId);
    j["subsystem"] = ids;
    j["class"] = Hex(f.classCode, 6);
    j["header"] = f.header;
    j["name"] = f.name;
    j["controller"] = f.controller;
    j["host_bridge"] = f.hostBridge;
    j["root_bus"] = f.rootBus;
    j["state"] = f.stateKey;
    j["state_text"] = f.state;
    j["problem"] = f.problem;
    if (f.bridge) {
        j["bus_numbers"] = {f.busNumbers[0], f.busNumbers[1], f.busNumbers[2]};
        json windows = json::array();
        for (const WindowState &w : f.windows) {
            windows.push_back(json{{"kind", w.kind}, {"enabled", w.enabled}, {"base", Hex(w.base)}, {"limit", Hex(w.limit)}});
        }
        j["windows"] = windows;
    }
    json bars = json::array();
    for (const BarState &b : f.bars)
        bars.push_back(json{{"index", b.index},
                            {"type", b.type},
                            {"prefetchable", b.prefetchable},
                            {"size", Hex(b.size)},
                            {"address", Hex(b.address)}});
    j["bars"] = bars;
    j["notes"] = f.notes;
    j["conflicts"] = f.conflicts;
    return j;
}

bool IsHardware(const standin::Finding &f) { return sim::IsHardwareRule(f.rule); }

bool SameFinding(const standin::Finding &a, const standin::Finding &b) { return a.rule == b.rule && a.detail == b.detail; }

/* The hardware judge's findings of one step, one a line; those of the run
 * without Tolmu are the OS's own; one of the run with Tolmu that the run
 * without Tolmu had after the same step as well is marked so. */
std::string HardwareLines(const StepResult &step, bool filter, const StepResult *without, const std::string &indent)
{
    std::vector<standin::Finding> found;
    for (const standin::Finding &f : step.findings)
        if (IsHardware(f))
            found.push_back(f);
    if (found.empty())
        return "";
    std::string text = indent + (filter ? "hardware findings (counted in the exit status):\n"
                                        : "hardware findings, the OS's own (not counted in the exit status):\n");
    for (const standin::Finding &f : found) {
        bool before = false;
        if (without != nullptr)
            for (const standin::Finding &g : without->findings)
                before = before || SameFinding(f, g);
        text += indent + "  " + f.rule + ": " + f.detail + (before ? " (also without Tolmu)" : "") + "\n";
    }
    return text;
}

} // namespace

std::string RangeText(uint64_t base, uint64_t limit) { return Hex(base) + "-" + Hex(limit); }

std::string SizeText(uint64_t size)
{
    if (size >= (1ull << 30) && size % (1ull << 30) == 0)
        return std::to_string(size >> 30) + "G";
    if (size >= (1ull << 20) && size % (1ull << 20) == 0)
        return std::to_string(size >> 20) + "M";
    if (size >= (1ull << 10) && size % (1ull << 10) == 0)
        return std::to_string(size >> 10) + "K";
    return std::to_string(size);
}

std::string TreeText(const std::vector<FunctionState> &functions)
{
    /* Children of each function in the walk, by index. */
    std::string text;
    std::vector<size_t> roots;
    std::map<size_t, std::vector<size_t>> children;
    std::vector<size_t> stack; /* the last function seen at each depth */
    for (size_t i = 0; i < functions.size(); i++) {
        int depth = functions[i].depth;
        stack.resize(size_t(depth));
        if (depth == 0)
            roots.push_back(i);
        else
            children[stack[size_t(depth) - 1]].push_back(i);
        stack.push_back(i);
    }
    std::function<void(size_t, const std::string &, bool)> line = [&](size_t i, const std::string &prefix, bool last) {
        const FunctionState &f = functions[i];
        std::string head = prefix + (last ? "\\-" : "+-") + f.Location() + " " + Ids(f);
        if (!f.name.empty())
            head += " " + Shorten(f.name, 46);
        text += Pad(head, 78) + (f.stateKey == "host" ? "-" : f.state) + "\n";
        std::string inner = prefix + (last ? "  " : "| ");
        bool hasChildren = children.count(i) != 0;
        std::string detailPrefix = inner + (hasChildren ? "|   " : "    ");
        std::string detail = Detail(f);
        if (!detail.empty())
            text += detailPrefix + detail + "\n";
        for (const std::string &n : f.notes)
            text += detailPrefix + "note: " + n + "\n";
        if (hasChildren) {
            const auto &kids = children[i];
            for (size_t k = 0; k < kids.size(); k++)
                line(kids[k], inner, k + 1 == kids.size());
        }
    };
    /* One tree per root bus; with peer root buses each gets a heading. */
    std::map<int, std::vector<size_t>> byRoot;
    for (size_t r : roots)
        byRoot[functions[r].rootBus].push_back(r);
    for (const auto &group : byRoot) {
        if (byRoot.size() > 1) {
            char heading[96];
            snprintf(heading, sizeof heading, "root bus %02x%s:\n", unsigned(group.first),
                     group.first == 0 ? "" : " (a host bridge of its own; no bridge leads to it)");
            text += heading;
        }
        for (size_t r = 0; r < group.second.size(); r++)
            line(group.second[r], "", r + 1 == group.second.size());
    }
    return text;
}

std::string SummaryText(const MachineDesc &desc, const RunResult *without, const RunResult *with)
{
    std::ostringstream o;
    o << "== Summary: " << (desc.name.empty() ? desc.source : desc.name) << "\n";
    if (!desc.importNotes.empty()) {
        o << "\n-- Read from " << (desc.source.empty() ? "the dump" : desc.source) << " with these repairs:\n";
        for (const std::string &n : desc.importNotes)
            o << "  " << n << "\n";
    }
    if (!desc.otherDomains.empty()) {
        char buf[128];
        snprintf(buf, sizeof buf, "\n-- PCI domain %04x is simulated (it holds the controller); not simulated:\n",
                 desc.domain);
        o << buf;
        for (const OtherDomain &d : desc.otherDomains) {
            snprintf(buf, sizeof buf, "  domain %04x: %zu function%s\n", d.domain, d.functions,
                     d.functions == 1 ? "" : "s");
            o << buf;
        }
    }
    const RunResult *runs[2] = {without, with};
    const char *titles[2] = {"Without Tolmu", "With Tolmu"};
    for (int k = 0; k < 2; k++) {
        if (runs[k] == nullptr)
            continue;
        const StepResult *boot = runs[k]->Step("boot");
        o << "\n-- " << titles[k] << ", after boot" << (runs[k]->checked ? " (checked build)" : "") << ":\n";
        if (boot != nullptr) {
            o << TreeText(boot->functions);
            const StepResult *before = k == 1 && without != nullptr ? without->Step("boot") : nullptr;
            o << HardwareLines(*boot, runs[k]->filter, before, "  ");
            for (const std::string &a : boot->advice)
                o << "  note: " << a << "\n";
        }
    }

    /* Side by side, by the description's locations. */
    if (without != nullptr && with != nullptr && without->Step("boot") && with->Step("boot")) {
        o << "\n-- Before and after, by function:\n";
        o << Pad("  function", 12) << Pad("device", 34) << Pad("without Tolmu", 38) << "with Tolmu\n";
        const StepResult &a = *without->Step("boot");
        const StepResult &b = *with->Step("boot");
        for (const FunctionState &f : a.functions) {
            if (!f.managed)
                continue;
            const FunctionState *g = FindFunction(b, f.label);
            std::string name = f.name.empty() ? Ids(f) : f.name;
            /* A conflict is spelt out in the tree; here it keeps to its column. */
            std::string was = f.stateKey == "conflict" ? Shorten(f.state, 37) : f.state;
            o << Pad("  " + f.label, 12) << Pad(Shorten(name, 32), 34) << Pad(was, 38)
              << (g != nullptr ? g->state : "?") << "\n";
        }
    }

    /* Later scenarios. */
    for (int k = 0; k < 2; k++) {
        if (runs[k] == nullptr || runs[k]->steps.size() < 2)
            continue;
        o << "\n-- " << titles[k] << ", scenarios:\n";
        const StepResult *boot = runs[k]->Step("boot");
        for (const StepResult &s : runs[k]->steps) {
            o << "  " << Pad(s.scenario + ":", 11) << s.outcome << "\n";
            if (s.scenario != "boot") {
                const StepResult *before = k == 1 && without != nullptr ? without->Step(s.scenario) : nullptr;
                o << HardwareLines(s, runs[k]->filter, before, "             ");
            }
            if (boot == nullptr || s.scenario == "boot" || s.scenario == "unload" || s.scenario == "surprise")
                continue;
            for (const FunctionState &f : s.functions) {
                const FunctionState *was = FindFunction(*boot, f.label);
                if (was != nullptr && was->stateKey != f.stateKey)
                    o << "             " << f.label << ": " << was->state << " -> " << f.state << "\n";
            }
        }
    }

    o << "\n";
    for (int k = 0; k < 2; k++) {
        if (runs[k] == nullptr)
            continue;
        o << Pad(std::string(titles[k]) + ":", 15) << RunFooter(*runs[k]) << "\n";
        for (const standin::Finding &f : runs[k]->OtherFindings())
            o << "  verifier finding " << f.rule << ": " << f.detail << "\n";
        if (runs[k]->poolBlocks != 0)
            o << "  pool left after unload:\n" << runs[k]->poolReport;
    }
    return o.str();
}

json SummaryJson(const MachineDesc &desc, const std::vector<const RunResult *> &runs, int exitStatus)
{
    json j;
    j["machine"] = desc.name;
    j["source"] = desc.source;
    j["controller"] = desc.controller;
    j["domain"] = desc.domain;
    json domains = json::array();
    for (const OtherDomain &d : desc.otherDomains)
        domains.push_back(json{{"domain", d.domain}, {"functions", d.functions}, {"simulated", false}});
    j["other_domains"] = domains;
    j["import_notes"] = desc.importNotes;
    j["params"] = desc.params;
    json list = json::array();
    for (const RunResult *r : runs) {
        json rj;
        rj["filter"] = r->filter;
        rj["checked"] = r->checked;
        rj["filter_loaded"] = r->filterLoaded;
        rj["filter_unloaded"] = r->filterUnloaded;
        json steps = json::array();
        for (const StepResult &s : r->steps) {
            json functions = json::array();
            for (const FunctionState &f : s.functions)
                functions.push_back(FunctionJson(f));
            json stepFindings = json::array();
            for (const standin::Finding &f : s.findings)
                stepFindings.push_back(json{{"rule", f.rule}, {"detail", f.detail}, {"hardware", IsHardware(f)}});
            steps.push_back(json{{"scenario", s.scenario},
                                 {"outcome", s.outcome},
                                 {"functions", functions},
                                 {"findings", stepFindings},
                                 {"advice", s.advice}});
        }
        rj["steps"] = steps;
        json findings = json::array();
        for (const standin::Finding &f : r->findings)
            findings.push_back(json{{"rule", f.rule},
                                    {"detail", f.detail},
                                    {"hardware", IsHardware(f)},
                                    {"counted", r->filter || !IsHardware(f)}});
        rj["findings"] = findings;
        json accepted = json::array();
        for (const standin::Finding &f : r->accepted)
            accepted.push_back(json{{"rule", f.rule}, {"detail", f.detail}});
        rj["accepted_divergences"] = accepted;
        rj["pool_outstanding_blocks"] = r->poolBlocks;
        rj["pool_report"] = r->poolReport;
        rj["virtual_time_us"] = r->virtualMicroseconds;
        rj["virtual_time_s"] = double(r->virtualMicroseconds) / 1e6;
        rj["real_time_s"] = r->realSeconds;
        rj["trace_bytes"] = r->traceBytes;
        list.push_back(rj);
    }
    j["runs"] = list;
    j["exit_status"] = exitStatus;
    return j;
}

} // namespace tolmusim
