/*
 * chassis.cpp - a chassis from its own file plugged behind the adapter's
 * controller of the machine being simulated (chassis.h says what changes).
 */
#include "chassis.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iterator>
#include <map>
#include <set>

#include "lspci_import.h"
#include "machine_file.h"
#include "pci_names.h"
#include "pci/pci_regs.h"

namespace tolmusim {

namespace {

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

std::string Label(int bus, int device, int function)
{
    char buf[16];
    snprintf(buf, sizeof buf, "%02x:%02x.%x", bus & 0xFF, device & 0x1F, function & 7);
    return buf;
}

std::string Hex2(int v)
{
    char buf[8];
    snprintf(buf, sizeof buf, "%02x", v & 0xFF);
    return buf;
}

const FunctionDesc *Find(const MachineDesc &desc, const std::string &location)
{
    for (const FunctionDesc &f : desc.functions)
        if (Lower(f.location) == Lower(location))
            return &f;
    return nullptr;
}

/* The functions behind `top` at any depth (top itself not included), in the
 * order of the description. */
std::vector<const FunctionDesc *> Behind(const MachineDesc &desc, const std::string &top)
{
    std::set<std::string> reached{Lower(top)};
    for (bool grew = true; grew;) {
        grew = false;
        for (const FunctionDesc &f : desc.functions)
            if (!f.behind.empty() && reached.count(Lower(f.behind)) && reached.insert(Lower(f.location)).second)
                grew = true;
    }
    std::vector<const FunctionDesc *> out;
    for (const FunctionDesc &f : desc.functions)
        if (Lower(f.location) != Lower(top) && reached.count(Lower(f.location)))
            out.push_back(&f);
    return out;
}

/* Identity of a description's function as far as the fields and its model
 * tell, for messages: ids, name, and whether it is a bridge. */
struct Identity {
    uint16_t vendor = 0xFFFF, device = 0xFFFF;
    std::string name;
    bool bridge = false;
};

Identity IdentityOf(const FunctionDesc &f)
{
    Identity id;
    std::optional<sim::DeviceModel> model = f.model.empty() ? std::nullopt : ModelByName(f.model);
    if (model) {
        id.vendor = model->vendorId;
        id.device = model->deviceId;
        id.bridge = model->headerLayout != sim::kHeaderDevice;
    }
    if (f.vendor)
        id.vendor = *f.vendor;
    if (f.device)
        id.device = *f.device;
    if (f.classCode)
        id.bridge = (*f.classCode >> 8) == 0x0604 || (*f.classCode >> 8) == 0x0607;
    if (f.header >= 0)
        id.bridge = f.header != sim::kHeaderDevice;
    id.name = !f.name.empty() ? f.name : PciName(id.vendor, id.device);
    if (id.name.empty() && model)
        id.name = model->name;
    return id;
}

std::string Describe(const FunctionDesc &f)
{
    Identity id = IdentityOf(f);
    char ids[16];
    snprintf(ids, sizeof ids, "%04x:%04x", id.vendor, id.device);
    std::string name = id.name.size() <= 44 ? id.name : id.name.substr(0, 41) + "...";
    return f.location + " " + ids + (name.empty() ? "" : " " + name);
}

/* Uplinks the file could mean: every bridge with functions behind it, else
 * every function on a root bus. One line each. */
std::string Candidates(const MachineDesc &chassis)
{
    std::string text;
    for (const FunctionDesc &f : chassis.functions) {
        size_t below = Behind(chassis, f.location).size();
        if (IdentityOf(f).bridge && below > 0)
            text += "  " + Describe(f) + " (" + std::to_string(below) + " function" + (below == 1 ? "" : "s") +
                    " behind it)\n";
    }
    if (text.empty())
        for (const FunctionDesc &f : chassis.functions)
            if (f.behind.empty())
                text += "  " + Describe(f) + "\n";
    return text;
}

std::string FileName(const MachineDesc &desc) { return desc.source.empty() ? "the chassis file" : desc.source; }

/* A label for the stand-in bridge the chassis is built behind on its own. */
std::string FreeLabel(const std::vector<FunctionDesc> &functions)
{
    std::set<std::string> used;
    for (const FunctionDesc &f : functions)
        used.insert(Lower(f.location));
    for (int bus = 0xFF; bus >= 0; bus--)
        if (!used.count(Label(bus, 0x1F, 7)))
            return Label(bus, 0x1F, 7);
    return "";
}

/* Configuration bytes of a freshly powered function: see chassis.h. pf is
 * the function built from the same description, for its power-on values and
 * write masks. */
void PowerOnBytes(std::vector<uint8_t> *config, const sim::PciFunction &pf)
{
    uint8_t layout = pf.HeaderLayout();
    std::set<int> zero{CFG16_COMMAND, CFG16_COMMAND + 1, CFG8_CACHE_LINE_SIZE, CFG8_LATENCY_TIMER, CFG8_INTERRUPT_LINE};
    const int busNumbers[] = {CFG8_BRIDGE_PRIMARY_BUS, CFG8_BRIDGE_SECONDARY_BUS, CFG8_BRIDGE_SUBORDINATE_BUS,
                              CFG8_BRIDGE_SECONDARY_LATENCY};
    if (layout == sim::kHeaderDevice)
        for (int i = 0; i < 4; i++)
            zero.insert(CFG32_ROM + i);
    if (layout == sim::kHeaderPciBridge)
        for (int i = 0; i < 4; i++)
            zero.insert({busNumbers[i], CFG32_P2P_ROM + i});
    if (layout == sim::kHeaderCardBusBridge)
        zero.insert(std::begin(busNumbers), std::end(busNumbers));
    for (size_t i = CFG16_COMMAND; i < config->size() && i < 256; i++) {
        bool identity = (i >= CFG32_CLASS_REVISION && i < CFG32_CLASS_REVISION + 4) || i == CFG8_HEADER_TYPE;
        if (identity)
            continue;
        uint8_t &byte = (*config)[i];
        if (zero.count(int(i))) {
            byte = 0;
            continue;
        }
        uint8_t o = uint8_t(i);
        uint8_t mask = uint8_t(pf.WriteMask(o, 1) | pf.W1cMask(o, 1));
        byte = uint8_t((byte & ~mask) | (pf.ResetValue(o, 1) & mask));
    }
}

} // namespace

ChassisArgument ParseChassisArgument(const std::string &text)
{
    ChassisArgument a;
    a.file = text;
    size_t at = text.rfind('@');
    if (at == std::string::npos || at == 0)
        return a;
    std::string tail = text.substr(at + 1);
    unsigned domain = 0;
    int b, d, f;
    if (!ParseDomainLocation(tail, &domain, &b, &d, &f))
        return a;
    a.file = text.substr(0, at);
    a.uplink = Label(b, d, f);
    if (std::count(tail.begin(), tail.end(), ':') > 1)
        a.domain = domain;
    return a;
}

std::optional<MachineDesc> ReadChassis(const std::string &text, const std::string &fileName,
                                       std::optional<unsigned> domain, std::string *error)
{
    size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    size_t first = text.find_first_not_of(" \t\r\n", start);
    std::optional<MachineDesc> desc;
    if (first != std::string::npos && text[first] == '{') {
        desc = ParseMachineJson(text, fileName, error);
        if (desc && domain && *domain != desc->domain) {
            char buf[80];
            snprintf(buf, sizeof buf, ": the machine file describes PCI domain %04x, not %04x", desc->domain, *domain);
            *error = fileName + buf;
            return std::nullopt;
        }
    } else {
        ImportOptions options;
        options.domain = domain;
        desc = ImportLspci(text, fileName, error, options);
    }
    if (desc && desc->source.empty())
        desc->source = fileName;
    return desc;
}

std::string ImpliedUplink(const MachineDesc &chassis)
{
    const FunctionDesc *only = nullptr;
    for (const FunctionDesc &f : chassis.functions) {
        if (!f.behind.empty())
            continue;
        if (only != nullptr)
            return "";
        only = &f;
    }
    return only != nullptr ? only->location : "";
}

bool PlugChassis(MachineDesc *machine, const MachineDesc &chassis, const std::string &uplinkWanted,
                 ChassisReport *report, std::string *error)
{
    const std::string file = FileName(chassis);
    auto fail = [error](const std::string &message) {
        *error = message;
        return false;
    };

    /* The uplink and its subtree. */
    if (chassis.functions.empty())
        return fail(file + ": no PCI functions in the file");
    std::string uplinkName = uplinkWanted;
    if (uplinkName.empty()) {
        uplinkName = ImpliedUplink(chassis);
        if (uplinkName.empty())
            return fail(file + ": the file holds more than a chassis; name the chassis's uplink as --chassis " + file +
                        "@BB:DD.F, one of:\n" + Candidates(chassis) +
                        "(or any single card by its location)");
    }
    const FunctionDesc *uplink = Find(chassis, uplinkName);
    if (uplink == nullptr)
        return fail(file + ": no function at " + uplinkName + "; the chassis's uplink could be one of:\n" +
                    Candidates(chassis) + "(or any single card by its location)");
    std::vector<const FunctionDesc *> taken{uplink};
    for (const FunctionDesc *f : Behind(chassis, uplink->location))
        taken.push_back(f);

    /* The chassis on its own, behind a stand-in bridge: checks it (messages
     * name its file and lines) and gives each function's power-on values. */
    MachineDesc stage;
    stage.source = chassis.source;
    stage.name = chassis.name;
    FunctionDesc top;
    top.location = FreeLabel(chassis.functions);
    top.model = "DEC21154";
    stage.functions.push_back(top);
    stage.controller = top.location;
    for (const FunctionDesc *f : taken) {
        FunctionDesc g = *f;
        g.busNumbers.reset();
        for (BarDesc &b : g.bars)
            b.address.reset();
        if (f == uplink) {
            g.behind = top.location;
            g.rootBus = 0;
        }
        stage.functions.push_back(g);
    }
    BuiltMachine staged;
    std::string why;
    if (!BuildMachine(stage, &staged, &why))
        return fail(why);
    for (size_t i = 1; i < stage.functions.size(); i++)
        PowerOnBytes(&stage.functions[i].config, *staged.byLocation.at(stage.functions[i].location));

    /* The machine's controller. */
    BuiltMachine host;
    if (!BuildMachine(*machine, &host, &why))
        return fail(why);
    const std::string controller = host.controllerLocation;
    if (host.machine->SecondarySegment(host.controller) == nullptr)
        return fail("the adapter's controller " + controller + " is not a bridge with a secondary bus");
    const FunctionDesc *controllerDesc = Find(*machine, controller);

    /* What the machine had behind the controller goes. */
    std::set<std::string> removed;
    std::vector<std::string> removedLabels;
    for (const FunctionDesc *f : Behind(*machine, controller)) {
        removed.insert(Lower(f->location));
        removedLabels.push_back(f->location);
    }

    /* Label buses: the uplink's first, then the others in ascending order,
     * onto the controller's secondary bus number and the next numbers no
     * remaining function of the machine uses. */
    std::set<int> used;
    int highest = 0;
    for (const FunctionDesc &f : machine->functions) {
        int b, d, fn;
        if (removed.count(Lower(f.location)) || !ParseLocation(f.location, &b, &d, &fn))
            continue;
        used.insert(b);
        highest = std::max(highest, b);
    }
    int next = controllerDesc->busNumbers && (*controllerDesc->busNumbers)[1] != 0 ? (*controllerDesc->busNumbers)[1]
                                                                                  : highest + 1;
    std::vector<int> chassisBuses;
    for (size_t i = 1; i < stage.functions.size(); i++) {
        int b, d, fn;
        ParseLocation(Lower(stage.functions[i].location), &b, &d, &fn);
        if (std::find(chassisBuses.begin(), chassisBuses.end(), b) == chassisBuses.end())
            chassisBuses.push_back(b);
    }
    std::sort(chassisBuses.begin() + 1, chassisBuses.end());
    std::map<int, int> busMap;
    for (int b : chassisBuses) {
        while (used.count(next))
            next++;
        if (next > 0xFF)
            return fail(file + ": no free bus numbers left to label the chassis's functions with");
        busMap[b] = next;
        used.insert(next++);
    }
    auto relabel = [&](const std::string &location) {
        int b, d, fn;
        ParseLocation(Lower(location), &b, &d, &fn);
        return Label(busMap[b], d, fn);
    };

    /* The chassis functions as the machine holds them. */
    std::vector<FunctionDesc> plugged;
    for (size_t i = 1; i < stage.functions.size(); i++) {
        FunctionDesc g = stage.functions[i];
        std::string original = g.location;
        g.location = relabel(original);
        g.behind = i == 1 ? controller : relabel(g.behind);
        g.notes.insert(g.notes.begin(), "from " + file + " " + original +
                                            (i == 1 ? ", the chassis's uplink" : ""));
        plugged.push_back(std::move(g));
    }

    ChassisReport r;
    r.uplink = uplink->location;
    if (chassis.domain != 0) { /* the uplink as lspci names it, with its domain */
        char domain[16];
        snprintf(domain, sizeof domain, "%04x:", chassis.domain);
        r.uplink = domain + r.uplink;
    }
    r.uplinkLabel = plugged.front().location;
    r.controller = controller;
    r.functions = plugged.size();
    r.removed = removedLabels;

    std::vector<FunctionDesc> functions;
    for (const FunctionDesc &f : machine->functions) {
        if (removed.count(Lower(f.location)))
            continue;
        functions.push_back(f);
        if (Lower(f.location) != Lower(controller))
            continue;
        std::string note = "chassis " + file + "@" + r.uplink + " plugged in here";
        if (!removedLabels.empty())
            note += ", in place of the " + std::to_string(removedLabels.size()) + " function" +
                    (removedLabels.size() == 1 ? "" : "s") + " described behind it";
        functions.back().notes.push_back(note);
        functions.insert(functions.end(), plugged.begin(), plugged.end());
    }

    /* The report. */
    size_t below = plugged.size() - 1;
    r.lines.push_back(file + "@" + r.uplink + " plugged into the slot of " + controller);
    r.lines.push_back("uplink " + r.uplink + Describe(*uplink).substr(uplink->location.size()) +
                      (below == 0 ? "" : ", with " + std::to_string(below) + " function" + (below == 1 ? "" : "s") +
                                             " behind it"));
    r.lines.push_back("as freshly powered, never seen by the firmware: no bus numbers, BARs and windows unassigned, "
                      "command registers 0");
    if (removedLabels.empty()) {
        r.lines.push_back("the machine described nothing behind " + controller);
    } else {
        std::string list;
        for (size_t i = 0; i < removedLabels.size() && i < 10; i++)
            list += (i == 0 ? "" : ", ") + removedLabels[i];
        if (removedLabels.size() > 10)
            list += ", ...";
        r.lines.push_back("it replaces the " + std::to_string(removedLabels.size()) + " function" +
                          (removedLabels.size() == 1 ? "" : "s") + " the machine described behind " + controller +
                          ": " + list);
    }
    std::string from, to;
    for (int b : chassisBuses) {
        from += (from.empty() ? "" : ", ") + Hex2(b);
        to += (to.empty() ? "" : ", ") + Hex2(busMap[b]);
    }
    r.lines.push_back("labels: bus " + from + " of the file " + (chassisBuses.size() == 1 ? "is " : "are ") + to +
                      " here (device and function numbers kept)");
    if (!chassis.params.empty())
        r.lines.push_back("the registry values in " + file + " are not used; the machine's are");
    for (const OtherDomain &o : chassis.otherDomains) {
        char buf[120];
        snprintf(buf, sizeof buf, "PCI domain %04x of %s (%zu functions) is not used", o.domain, file.c_str(),
                 o.functions);
        r.lines.push_back(buf);
    }

    machine->functions = std::move(functions);
    for (const std::string &n : chassis.importNotes)
        machine->importNotes.push_back(file + ": " + n);
    machine->name = (machine->name.empty() ? machine->source : machine->name) + ", with the chassis of " + file;
    *report = std::move(r);
    return true;
}

} // namespace tolmusim
