/*
 * machine_build.cpp - a sim::PciMachine from a MachineDesc: models, field
 * overrides, the physical tree from `behind`, the firmware's bus numbers and
 * BAR addresses, and the choice of the adapter's controller.
 */
#include "machine_desc.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <set>

#include "hex.h"
#include "pci_devices.h"
#include "pci_names.h"
#include "pci/pci_regs.h"

namespace tolmusim {

namespace {

struct NamedModel {
    const char *name;
    sim::DeviceModel (*make)();
};

const NamedModel kModels[] = {
    {"Intel440BX", sim::models::Intel440BX},       {"DEC21154", sim::models::DEC21154},
    {"TIPCI2250", sim::models::TIPCI2250},         {"TI1420", sim::models::TI1420},
    {"TI1131", sim::models::TI1131},               {"O2MicroOZ711", sim::models::O2MicroOZ711},
    {"O2Micro6933", sim::models::O2Micro6933},     {"ToshibaToPIC", sim::models::ToshibaToPIC},
    {"GeForce2MX", sim::models::GeForce2MX},       {"RTL8139", sim::models::RTL8139},
    {"FpgaBoard64", sim::models::FpgaBoard64},     {"SBLiveAudio", sim::models::SBLiveAudio},
    {"SBLiveGameport", sim::models::SBLiveGameport},
};

const std::vector<std::string> kParameterNames = {
    "TraceSize", "PreFetch",    "Memory",        "Io",          "filterIO",    "setBusNo",
    "mapLegacy", "vgaAlias",    "nSockets",      "ignoreO2",    "ignoreToshiba", "ignoreVenId",
    "ignoreDevId", "ignoreCb",  "ticks",         "Verbose",
};

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

/* "file:line: " or "file: " for messages. */
std::string Where(const MachineDesc &desc, int line)
{
    std::string file = desc.source.empty() ? "machine" : desc.source;
    if (line > 0)
        return file + ":" + std::to_string(line) + ": ";
    return file + ": ";
}

std::string FunctionWhere(const MachineDesc &desc, const FunctionDesc &f)
{
    return Where(desc, f.line) + "function " + (f.location.empty() ? "(no location)" : f.location) + ": ";
}

/* The name a candidate is listed with. */
std::string ShortName(const FunctionDesc &f, const sim::PciFunction *pf)
{
    std::string name = !f.name.empty() ? f.name : PciName(pf->VendorId(), pf->DeviceId());
    if (name.empty())
        name = pf->HeaderLayout() == sim::kHeaderCardBusBridge ? "CardBus bridge" : "PCI-to-PCI bridge";
    return name.size() <= 40 ? name : name.substr(0, 37) + "...";
}

int HeaderFromClass(uint32_t classCode)
{
    uint32_t baseSub = classCode >> 8;
    if (baseSub == 0x0604)
        return sim::kHeaderPciBridge;
    if (baseSub == 0x0607)
        return sim::kHeaderCardBusBridge;
    return sim::kHeaderDevice;
}

bool PowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

bool MakeBar(const BarDesc &b, sim::BarDef *out, std::string *why)
{
    if (b.index < 0 || b.index > 5) {
        *why = "BAR index " + std::to_string(b.index) + " is not 0..5";
        return false;
    }
    std::string type = Lower(b.type);
    sim::BarDef d{b.index, sim::BarKind::Mem32, b.size, b.prefetchable};
    if (type == "io")
        d.kind = sim::BarKind::Io;
    else if (type == "io16")
        d.kind = sim::BarKind::Io16;
    else if (type == "mem32")
        d.kind = sim::BarKind::Mem32;
    else if (type == "mem64")
        d.kind = sim::BarKind::Mem64;
    else {
        *why = "BAR " + std::to_string(b.index) + ": type \"" + b.type + "\" is not io, io16, mem32 or mem64";
        return false;
    }
    if (!PowerOfTwo(b.size)) {
        *why = "BAR " + std::to_string(b.index) + ": size is not a power of two";
        return false;
    }
    bool io = d.kind == sim::BarKind::Io || d.kind == sim::BarKind::Io16;
    if (io && (b.size < 4 || b.size > 0x10000)) {
        *why = "BAR " + std::to_string(b.index) + ": I/O size must be 4..0x10000";
        return false;
    }
    if (!io && b.size < 16) {
        *why = "BAR " + std::to_string(b.index) + ": memory size must be at least 16";
        return false;
    }
    if (d.kind == sim::BarKind::Mem64 && b.index == 5) {
        *why = "BAR 5 cannot be 64-bit (it needs the next register)";
        return false;
    }
    if (io)
        d.prefetchable = false;
    *out = d;
    return true;
}

/* Every bridge with a secondary bus, for the message that asks for a
 * controller. */
std::string ControllerCandidates(const MachineDesc &desc, const BuiltMachine &built)
{
    std::string text;
    for (const FunctionDesc &f : desc.functions) {
        auto it = built.byLocation.find(f.location);
        if (it == built.byLocation.end() || !it->second->IsBridge())
            continue;
        const sim::PciFunction *b = it->second;
        char line[200];
        snprintf(line, sizeof line, "  %s %04x:%04x %-40s bus %02x [%02x-%02x]\n", f.location.c_str(), b->VendorId(),
                 b->DeviceId(), ShortName(f, b).c_str(), b->PrimaryBus(), b->SecondaryBus(), b->SubordinateBus());
        text += line;
    }
    if (text.empty())
        return "the machine has no bridge that could hold the adapter\n";
    return "bridges that could hold the adapter (name one with --controller BB:DD.F, or DDDD:BB:DD.F with a domain):\n" +
           text;
}

} // namespace

bool ParseLocation(const std::string &text, int *bus, int *device, int *function)
{
    uint64_t b = 0, d = 0, f = 0;
    if (text.size() != 7 || text[2] != ':' || text[5] != '.')
        return false;
    if (!ParseHex(std::string_view(text).substr(0, 2), &b) || !ParseHex(std::string_view(text).substr(3, 2), &d) ||
        !ParseHex(std::string_view(text).substr(6, 1), &f))
        return false;
    if (d > 31 || f > 7)
        return false;
    *bus = int(b);
    *device = int(d);
    *function = int(f);
    return true;
}

bool ParseDomainLocation(const std::string &text, unsigned *domain, int *bus, int *device, int *function)
{
    *domain = 0;
    size_t colon = text.find(':');
    if (colon != std::string::npos && text.find(':', colon + 1) != std::string::npos) {
        uint64_t value = 0;
        if (!ParseHex(std::string_view(text).substr(0, colon), &value, 4))
            return false;
        *domain = unsigned(value);
        return ParseLocation(text.substr(colon + 1), bus, device, function);
    }
    return ParseLocation(text, bus, device, function);
}

std::optional<sim::DeviceModel> ModelByName(const std::string &name)
{
    for (const NamedModel &m : kModels)
        if (Lower(m.name) == Lower(name))
            return m.make();
    return std::nullopt;
}

std::vector<std::string> ModelNames()
{
    std::vector<std::string> out;
    for (const NamedModel &m : kModels)
        out.push_back(m.name);
    return out;
}

const std::vector<std::string> &ParameterNames() { return kParameterNames; }

std::string CanonicalParameterName(const std::string &name)
{
    for (const std::string &p : kParameterNames)
        if (Lower(p) == Lower(name))
            return p;
    return "";
}

bool BuildMachine(const MachineDesc &desc, BuiltMachine *out, std::string *error)
{
    auto fail = [error](const std::string &message) {
        if (error != nullptr)
            *error = message;
        return false;
    };

    /* Locations: well formed, unique. */
    std::map<std::string, const FunctionDesc *> byLocation;
    for (const FunctionDesc &f : desc.functions) {
        int b, d, fn;
        if (!ParseLocation(f.location, &b, &d, &fn))
            return fail(FunctionWhere(desc, f) + "location \"" + f.location + "\" is not of the form bb:dd.f");
        if (byLocation.count(f.location) != 0)
            return fail(FunctionWhere(desc, f) + "location " + f.location + " is described twice");
        byLocation[f.location] = &f;
    }
    if (desc.functions.empty())
        return fail(Where(desc, 0) + "the machine has no functions");

    /* Models with the fields on top. */
    std::map<std::string, sim::DeviceModel> models;
    for (const FunctionDesc &f : desc.functions) {
        sim::DeviceModel m;
        if (!f.model.empty()) {
            std::optional<sim::DeviceModel> known = ModelByName(f.model);
            if (!known) {
                std::string names;
                for (const std::string &n : ModelNames())
                    names += (names.empty() ? "" : ", ") + n;
                return fail(FunctionWhere(desc, f) + "unknown model \"" + f.model + "\" (known: " + names + ")");
            }
            m = *known;
        } else {
            if (!f.vendor || !f.device || !f.classCode)
                return fail(FunctionWhere(desc, f) + "vendor, device and class are needed without a model");
            m = sim::models::Generic(*f.vendor, *f.device, *f.classCode);
            m.name.clear();
        }
        if (f.vendor)
            m.vendorId = *f.vendor;
        if (f.device)
            m.deviceId = *f.device;
        if (f.revision)
            m.revision = *f.revision;
        if (f.classCode) {
            if (*f.classCode > 0xFFFFFF)
                return fail(FunctionWhere(desc, f) + "class code is wider than 24 bits");
            m.baseClass = uint8_t(*f.classCode >> 16);
            m.subClass = uint8_t(*f.classCode >> 8);
            m.progIf = uint8_t(*f.classCode);
        }
        int header = f.header;
        if (header < 0 && f.model.empty())
            header = HeaderFromClass(*f.classCode);
        if (header > 2)
            return fail(FunctionWhere(desc, f) + "header layout " + std::to_string(header) + " is not 0, 1 or 2");
        if (header >= 0)
            m.headerLayout = uint8_t(header);
        if (f.multifunction)
            m.multiFunction = *f.multifunction;
        if (f.subVendor)
            m.subVendorId = *f.subVendor;
        if (f.subDevice)
            m.subSystemId = *f.subDevice;
        if (f.interruptPin) {
            if (*f.interruptPin > 4)
                return fail(FunctionWhere(desc, f) + "interrupt pin must be 0..4");
            m.interruptPin = *f.interruptPin;
        }
        if (!f.bars.empty() || f.model.empty()) {
            m.bars.clear();
            std::set<int> used;
            for (const BarDesc &b : f.bars) {
                sim::BarDef def;
                std::string why;
                if (!MakeBar(b, &def, &why))
                    return fail(FunctionWhere(desc, f) + why);
                int limit = m.headerLayout == sim::kHeaderDevice ? 5 : (m.headerLayout == sim::kHeaderPciBridge ? 1 : 0);
                int last = def.kind == sim::BarKind::Mem64 ? b.index + 1 : b.index;
                if (last > limit)
                    return fail(FunctionWhere(desc, f) + "BAR " + std::to_string(b.index) +
                                " does not exist in header layout " + std::to_string(m.headerLayout));
                if (used.count(b.index) || used.count(last))
                    return fail(FunctionWhere(desc, f) + "BAR " + std::to_string(b.index) + " overlaps another BAR");
                used.insert(b.index);
                used.insert(last);
                m.bars.push_back(def);
            }
        }
        if (!f.name.empty())
            m.name = f.name;
        models[f.location] = m;
    }

    /* A function > 0 in a slot makes function 0 multi-function unless the
     * description says otherwise. */
    for (const FunctionDesc &f : desc.functions) {
        int b, d, fn;
        ParseLocation(f.location, &b, &d, &fn);
        if (fn == 0)
            continue;
        for (const FunctionDesc &g : desc.functions) {
            int gb, gd, gf;
            ParseLocation(g.location, &gb, &gd, &gf);
            if (gf == 0 && gd == d && g.behind == f.behind && g.rootBus == f.rootBus && !g.multifunction)
                models[g.location].multiFunction = true;
        }
    }

    /* The tree: parents before children. */
    auto result = std::make_unique<sim::PciMachine>();
    BuiltMachine built;
    std::set<std::string> building;
    std::function<bool(const FunctionDesc &)> place = [&](const FunctionDesc &f) -> bool {
        if (built.byLocation.count(f.location))
            return true;
        if (building.count(f.location))
            return fail(FunctionWhere(desc, f) + "\"behind\" makes a loop");
        building.insert(f.location);
        sim::PciSegment *segment = result->RootBus(f.rootBus);
        if (!f.behind.empty()) {
            if (f.rootBus != 0)
                return fail(FunctionWhere(desc, f) + "a function behind a bridge is on no root bus");
            auto it = byLocation.find(f.behind);
            if (it == byLocation.end())
                return fail(FunctionWhere(desc, f) + "\"behind\": no function at " + f.behind);
            if (!place(*it->second))
                return false;
            sim::PciFunction *parent = built.byLocation[f.behind];
            segment = result->SecondarySegment(parent);
            if (segment == nullptr)
                return fail(FunctionWhere(desc, f) + "\"behind\": " + f.behind + " is not a bridge");
        }
        int b, d, fn;
        ParseLocation(f.location, &b, &d, &fn);
        if (segment->At(d, fn) != nullptr)
            return fail(FunctionWhere(desc, f) + "slot " + f.location.substr(3) + " on that bus is taken twice");
        sim::PciFunction *pf = result->AddFunction(segment, d, fn, models[f.location]);
        built.byLocation[f.location] = pf;
        built.descOf[pf] = &f;
        return true;
    };
    for (const FunctionDesc &f : desc.functions)
        if (!place(f))
            return false;

    /* What the firmware left: configuration bytes, BAR addresses, bus numbers. */
    for (const FunctionDesc &f : desc.functions) {
        sim::PciFunction *pf = built.byLocation[f.location];
        if (f.config.size() > 256)
            return fail(FunctionWhere(desc, f) + "more than 256 configuration bytes");
        for (size_t i = 0; i < f.config.size(); i++) {
            bool identity = i < CFG16_COMMAND || (i >= CFG32_CLASS_REVISION && i < CFG32_CLASS_REVISION + 4) ||
                            i == CFG8_HEADER_TYPE;
            bool busNumbers = pf->IsBridge() && i >= CFG8_BRIDGE_PRIMARY_BUS && i <= CFG8_BRIDGE_SUBORDINATE_BUS;
            if (!identity && !busNumbers)
                pf->Poke8(uint8_t(i), f.config[i]);
        }
        for (const BarDesc &b : f.bars) {
            if (!b.address)
                continue;
            uint8_t reg = uint8_t(CFG32_BAR(b.index));
            uint32_t flags = pf->Peek32(reg) & (Lower(b.type).rfind("io", 0) == 0 ? 0x3u : 0xFu);
            uint32_t mask = uint32_t(~(b.size - 1));
            pf->Poke32(reg, (uint32_t(*b.address) & mask) | flags);
            if (Lower(b.type) == "mem64")
                pf->Poke32(uint8_t(reg + 4), uint32_t(*b.address >> 32));
        }
        if (f.busNumbers) {
            if (!pf->IsBridge())
                return fail(FunctionWhere(desc, f) + "bus numbers given for a function that is no bridge");
            const auto &n = *f.busNumbers;
            result->SetBusNumbers(pf, n[0], n[1], n[2]);
        }
    }

    /* The adapter's controller: named, or the first CardBus controller in
     * bus order; it may sit anywhere, behind bridges of the host too. */
    if (!desc.controller.empty()) {
        auto it = built.byLocation.find(desc.controller);
        if (it == built.byLocation.end())
            return fail(Where(desc, 0) + "controller " + desc.controller + ": no function at that location\n" +
                        ControllerCandidates(desc, built));
        const FunctionDesc *f = byLocation[desc.controller];
        if (!it->second->IsBridge())
            return fail(FunctionWhere(desc, *f) + "the controller must be a CardBus controller or a PCI-to-PCI bridge\n" +
                        ControllerCandidates(desc, built));
        built.controller = it->second;
        built.controllerLocation = desc.controller;
    } else {
        const FunctionDesc *first = nullptr;
        for (const FunctionDesc &f : desc.functions)
            if (built.byLocation[f.location]->HeaderLayout() == sim::kHeaderCardBusBridge &&
                (first == nullptr || f.location < first->location))
                first = &f;
        if (first == nullptr)
            return fail(Where(desc, 0) + "no controller named and no CardBus controller in the machine\n" +
                        ControllerCandidates(desc, built));
        built.controller = built.byLocation[first->location];
        built.controllerLocation = first->location;
    }

    built.machine = std::move(result);
    *out = std::move(built);
    return true;
}

} // namespace tolmusim
