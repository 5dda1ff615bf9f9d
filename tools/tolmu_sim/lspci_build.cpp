/*
 * lspci_build.cpp - the machine from what the lspci reader (lspci_import.cpp)
 * collected: each function a FunctionDesc, preferring the hex over the text
 * for everything the hex holds (configuration bytes rebuilt from the text
 * when there is no hex), then hung on the bus tree by the bridges' bus
 * numbers.
 */
#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>
#include <tuple>

#include "lspci_dump.h"
#include "lspci_import.h"
#include "pci_names.h"
#include "pci/pci_regs.h"

namespace tolmusim {

namespace lspci {

/* ------------------------------------------------------------ building */

bool Importer::BuildBars(Dumped &d, int header, FunctionDesc *f)
{
    if (header == 2) {
        /* A CardBus bridge's one BAR is its 4 KB socket register block, part
         * of the layout: the address travels in the configuration bytes. */
        for (const TextBar &b : d.bars)
            if (b.size != 0 && b.size != 0x1000)
                f->notes.push_back("socket registers shown as " + Hex(b.size) + " bytes; modelled as 0x1000");
        return true;
    }
    const int count = header == 0 ? CFG_BAR_COUNT : CFG_P2P_BAR_COUNT; /* BAR registers of the layout */
    auto textFor = [&](int index, std::optional<uint64_t> address) -> TextBar * {
        for (TextBar &b : d.bars)
            if (!b.used && b.index == index)
                return &b;
        if (address)
            for (TextBar &b : d.bars)
                if (!b.used && b.index < 0 && b.address == address)
                    return &b;
        for (TextBar &b : d.bars)
            if (!b.used && b.index < 0)
                return &b;
        return nullptr;
    };
    auto emit = [&](int index, bool io, bool is64, bool pref, std::optional<uint64_t> address, const TextBar *text,
                    uint32_t raw) -> bool {
        const std::string what = "BAR " + std::to_string(index);
        if (text && text->isVirtual) {
            f->notes.push_back(what + " is virtual in the dump (its register reads 0): left out");
            return true;
        }
        uint64_t size = text ? text->size : 0;
        if (size == 0) {
            size = address ? InferBarSize(io, pref, *address) : 0;
            if (size == 0) {
                if (raw != 0 || text)
                    f->notes.push_back(what + " has neither an address nor a size in the dump: left out");
                return true;
            }
            f->notes.push_back(what + " size inferred from its address: " + Hex(size));
        }
        if (is64 && index + 1 >= count)
            return Fail(text ? text->line : d.line, d.location, what + " is 64-bit but is the last BAR register");
        BarDesc bar;
        bar.index = index;
        bar.type = io ? "io" : is64 ? "mem64" : "mem32";
        bar.size = size;
        bar.prefetchable = !io && pref;
        bar.address = address;
        f->bars.push_back(bar);
        return true;
    };

    if (d.Has(CFG32_BAR0) && (count == CFG_P2P_BAR_COUNT || d.Has(CFG32_BAR(CFG_BAR_COUNT - 1)))) {
        for (int i = 0; i < count;) {
            const unsigned off = CFG32_BAR(static_cast<unsigned>(i));
            const uint32_t raw = d.D(off);
            const bool io = raw & 1;
            const bool is64 = !io && ((raw >> 1) & 3) == 2 && i + 1 < count;
            uint64_t addr = io ? (raw & ~3u) : (raw & ~0xFu);
            if (is64)
                addr |= static_cast<uint64_t>(d.D(CFG32_BAR(static_cast<unsigned>(i) + 1))) << 32;
            std::optional<uint64_t> address;
            if (addr)
                address = addr;
            TextBar *text = textFor(i, raw ? address : std::nullopt);
            if (raw == 0 && text && text->index < 0)
                text = nullptr; /* an unindexed region belongs to a register that reads something */
            if (text)
                text->used = true;
            bool ok;
            if (raw != 0)
                ok = emit(i, io, is64, !io && (raw & 8), address, text, raw);
            else if (text)
                ok = emit(i, text->io, text->is64, text->prefetchable, text->address, text, raw);
            else
                ok = true;
            if (!ok)
                return false;
            i += (raw != 0 ? is64 : (text && text->is64)) ? 2 : 1;
        }
        for (const TextBar &b : d.bars)
            if (!b.used)
                f->notes.push_back("region line " + std::to_string(b.line) +
                                   " matches no BAR register of the hex: ignored");
        return true;
    }

    /* No hex for the BARs: the region lines alone, in register order. */
    int next = 0;
    for (TextBar &b : d.bars) {
        int index = b.index >= 0 ? b.index : next;
        if (index >= count || (b.is64 && index + 1 >= count))
            return Fail(b.line, d.location,
                        "region " + std::to_string(index) + " is beyond the BAR registers of header layout " +
                            std::to_string(header));
        for (const BarDesc &o : f->bars)
            if (o.index == index || (o.type == "mem64" && o.index + 1 == index))
                return Fail(b.line, d.location,
                            "region " + std::to_string(index) + " overlaps BAR " + std::to_string(o.index));
        if (!emit(index, b.io, b.is64, b.prefetchable, b.address, &b, 0))
            return false;
        next = index + (b.is64 ? 2 : 1);
    }
    return true;
}

/* Configuration bytes for a function dumped without hex: identity, class,
 * header type, interrupt pin and the bridge windows the text shows, so the
 * firmware's programming is there as it would be in a hex dump. */
void Importer::SynthesizeConfig(const Dumped &d, const FunctionDesc &f, FunctionDesc *out)
{
    std::vector<uint8_t> c(f.header == 2 ? 0x48 : 0x40, 0);
    auto w16 = [&](unsigned o, uint32_t v) {
        c[o] = static_cast<uint8_t>(v);
        c[o + 1] = static_cast<uint8_t>(v >> 8);
    };
    auto w32 = [&](unsigned o, uint32_t v) {
        w16(o, v);
        w16(o + 2, v >> 16);
    };
    w16(CFG16_VENDOR_ID, *f.vendor);
    w16(CFG16_DEVICE_ID, *f.device);
    c[CFG8_REVISION] = f.revision.value_or(0);
    w32(CFG32_CLASS_REVISION, static_cast<uint32_t>(c[CFG8_REVISION]) | *f.classCode << 8);
    c[CFG8_HEADER_TYPE] = static_cast<uint8_t>(f.header | (f.multifunction.value_or(false) ? 0x80 : 0));
    c[CFG8_INTERRUPT_PIN] = f.interruptPin.value_or(0);
    c[CFG8_INTERRUPT_LINE] = d.textIrq.value_or(0);
    c[CFG8_CACHE_LINE_SIZE] = d.textCacheLine.value_or(0);
    c[CFG8_LATENCY_TIMER] = d.textLatency.value_or(0);
    w16(CFG16_STATUS, d.textStatus.value_or(0x0200));
    if (f.header == 0) {
        c[CFG8_MIN_GNT] = d.textMinGrant.value_or(0);
        c[CFG8_MAX_LAT] = d.textMaxLatency.value_or(0);
    }
    for (const BarDesc &b : f.bars) {
        if (!b.address)
            continue;
        const unsigned at = CFG32_BAR(static_cast<unsigned>(b.index));
        const uint32_t flags = b.type == "io" ? 1u : (b.type == "mem64" ? 4u : 0u) | (b.prefetchable ? 8u : 0u);
        w32(at, static_cast<uint32_t>(*b.address) | flags);
        if (b.type == "mem64")
            w32(CFG32_BAR(static_cast<unsigned>(b.index) + 1), static_cast<uint32_t>(*b.address >> 32));
    }
    if (f.header == 0 && f.subVendor) {
        w16(CFG16_SUBSYSTEM_VENDOR_ID, *f.subVendor);
        w16(CFG16_SUBSYSTEM_ID, f.subDevice.value_or(0));
    }
    if (d.textRom && f.header != 2)
        w32(f.header == 1 ? CFG32_P2P_ROM : CFG32_ROM, *d.textRom);
    if (f.header != 0 && f.busNumbers) {
        c[CFG8_BRIDGE_PRIMARY_BUS] = (*f.busNumbers)[0];
        c[CFG8_BRIDGE_SECONDARY_BUS] = (*f.busNumbers)[1];
        c[CFG8_BRIDGE_SUBORDINATE_BUS] = (*f.busNumbers)[2];
    }
    if (f.header != 0)
        c[CFG8_BRIDGE_SECONDARY_LATENCY] = d.textSecLatency.value_or(0);
    uint16_t command = d.textCommand.value_or(0);
    if (!d.textCommand) { /* -v: bus master from the flags, decoding from the regions shown enabled */
        command = static_cast<uint16_t>(d.flagsBusMaster ? 0x4 : 0);
        for (const TextBar &b : d.bars)
            if (b.address && !b.disabled && !b.isVirtual)
                command = static_cast<uint16_t>(command | (b.io ? 0x1 : 0x2));
    }
    w16(CFG16_COMMAND, command);
    if (f.header == 1)
        w16(CFG16_BRIDGE_CONTROL, d.textBridgeControl.value_or(0));
    if (f.header == 1) {
        if (d.io.seen) {
            uint8_t cap = d.io.wide ? 1 : 0;
            uint64_t base = d.io.enabled ? d.io.base : 0xF000, limit = d.io.enabled ? d.io.limit : 0;
            c[CFG8_P2P_IO_BASE] = static_cast<uint8_t>(((base >> 8) & 0xF0) | cap);
            c[CFG8_P2P_IO_LIMIT] = static_cast<uint8_t>(((limit >> 8) & 0xF0) | cap);
            if (d.io.wide) {
                w16(CFG16_P2P_IO_BASE_UPPER, static_cast<uint32_t>(base >> 16));
                w16(CFG16_P2P_IO_LIMIT_UPPER, static_cast<uint32_t>(limit >> 16));
            }
        }
        if (d.mem.seen) {
            w16(CFG16_P2P_MEMORY_BASE, d.mem.enabled ? static_cast<uint32_t>(d.mem.base >> 16) & 0xFFF0 : 0xFFF0);
            w16(CFG16_P2P_MEMORY_LIMIT, d.mem.enabled ? static_cast<uint32_t>(d.mem.limit >> 16) & 0xFFF0 : 0);
        }
        if (d.pref.seen) {
            uint8_t cap = d.pref.wide ? 1 : 0;
            uint64_t base = d.pref.enabled ? d.pref.base : 0xFFF00000, limit = d.pref.enabled ? d.pref.limit : 0;
            w16(CFG16_P2P_PREFETCH_BASE, (static_cast<uint32_t>(base >> 16) & 0xFFF0) | cap);
            w16(CFG16_P2P_PREFETCH_LIMIT, (static_cast<uint32_t>(limit >> 16) & 0xFFF0) | cap);
            if (d.pref.wide) {
                w32(CFG32_P2P_PREFETCH_BASE_UPPER, static_cast<uint32_t>(base >> 32));
                w32(CFG32_P2P_PREFETCH_LIMIT_UPPER, static_cast<uint32_t>(limit >> 32));
            }
        }
    } else if (f.header == 2) {
        for (const TextBar &b : d.bars)
            if ((b.index == 0 || b.index < 0) && b.address && !b.io)
                w32(CFG32_CB_SOCKET_BASE, static_cast<uint32_t>(*b.address));
        uint16_t control = static_cast<uint16_t>(d.textBridgeControl.value_or(0) & ~0x300u);
        for (int i = 0; i < 2; i++) {
            if (d.cbMem[i].seen && d.cbMem[i].enabled) {
                w32(CFG32_CB_MEMORY_BASE0 + 8 * i, static_cast<uint32_t>(d.cbMem[i].base) & 0xFFFFF000u);
                w32(CFG32_CB_MEMORY_LIMIT0 + 8 * i, static_cast<uint32_t>(d.cbMem[i].limit) & 0xFFFFF000u);
                if (d.cbMem[i].prefetchable)
                    control |= static_cast<uint16_t>(0x100 << i);
            }
            if (d.cbIo[i].seen && d.cbIo[i].enabled) {
                w32(CFG32_CB_IO_BASE0 + 8 * i, static_cast<uint32_t>(d.cbIo[i].base) & ~3u);
                w32(CFG32_CB_IO_LIMIT0 + 8 * i, static_cast<uint32_t>(d.cbIo[i].limit) & ~3u);
            }
        }
        w16(CFG16_BRIDGE_CONTROL, control);
        if (f.subVendor) {
            w16(CFG16_CB_SUBSYSTEM_VENDOR_ID, *f.subVendor);
            w16(CFG16_CB_SUBSYSTEM_ID, f.subDevice.value_or(0));
        }
        w32(CFG32_CB_LEGACY_BASE, d.textLegacy.value_or(0));
    }
    out->config = c;
}

bool Importer::BuildFunction(Dumped &d, FunctionDesc *f)
{
    f->location = d.location;
    f->line = d.line;
    f->name = d.name;

    if (d.Has(CFG16_VENDOR_ID)) {
        if (d.W(CFG16_VENDOR_ID) == 0xFFFF)
            return Fail(d.line, d.location,
                        "the dump reads all ones (vendor id ffff): the function did not answer "
                        "when the dump was taken; leave it out of the file");
        f->vendor = d.W(CFG16_VENDOR_ID);
        f->device = d.W(CFG16_DEVICE_ID);
        f->revision = d.B(CFG8_REVISION);
        f->classCode = d.D(CFG32_CLASS_REVISION) >> 8;
        const uint8_t type = d.B(CFG8_HEADER_TYPE);
        if ((type & 0x7F) > 2)
            return Fail(d.line, d.location, "header type " + Hex(type & 0x7F) + " in the hex is not 0, 1 or 2");
        f->header = type & 0x7F;
        f->multifunction = (type & 0x80) != 0;
    } else {
        if (!d.nnVendor)
            return Fail(d.line, d.location,
                        "no vendor and device ids: the dump has neither the hex of bytes 0x00..0x0f "
                        "nor a [vvvv:dddd] in the header line");
        f->vendor = d.nnVendor;
        f->device = d.nnDevice;
        f->revision = d.revision.value_or(0);
        std::optional<uint16_t> cls = ClassOf(d);
        if (!cls)
            return Fail(d.line, d.location,
                        "cannot tell the class of '" + d.className +
                            "': the dump has neither the hex nor a [cccc] class code" +
                            (PciClassNameCount() == 0 ? " (and no class list could be read from " + PciIdsPath() + ")"
                                                      : ""));
        f->classCode = static_cast<uint32_t>(*cls) << 8 | d.progIf.value_or(0);
        f->header = (*cls == 0x0604 || *cls == 0x0609) ? 1 : *cls == 0x0607 ? 2 : 0;
        bool others = false;
        for (const Dumped *o : chosen_)
            others = others || (o != &d && o->bus == d.bus && o->dev == d.dev);
        f->multifunction = others;
    }

    const unsigned subAt = f->header == 2 ? CFG16_CB_SUBSYSTEM_VENDOR_ID : CFG16_SUBSYSTEM_VENDOR_ID;
    const unsigned subIdAt = f->header == 2 ? CFG16_CB_SUBSYSTEM_ID : CFG16_SUBSYSTEM_ID;
    if (f->header != 1 && d.Has(subAt) && (d.W(subAt) != 0 || d.W(subIdAt) != 0)) {
        f->subVendor = d.W(subAt);
        f->subDevice = d.W(subIdAt);
    } else if (d.textSubVendor) {
        f->subVendor = d.textSubVendor;
        f->subDevice = d.textSubDevice;
    }
    if (d.Has(CFG8_INTERRUPT_PIN))
        f->interruptPin = static_cast<uint8_t>(d.B(CFG8_INTERRUPT_PIN) <= 4 ? d.B(CFG8_INTERRUPT_PIN) : 0);
    else if (d.textPin)
        f->interruptPin = d.textPin;
    else /* lspci -vv prints "Interrupt:" only for a function with a pin; -v shows the IRQ alone: take INTA */
        f->interruptPin = static_cast<uint8_t>(d.flagsIrq ? 1 : 0);

    if (f->header == 1 || f->header == 2) {
        if (d.Has(CFG8_BRIDGE_PRIMARY_BUS))
            f->busNumbers = std::array<uint8_t, 3>{d.B(CFG8_BRIDGE_PRIMARY_BUS), d.B(CFG8_BRIDGE_SECONDARY_BUS),
                                                   d.B(CFG8_BRIDGE_SUBORDINATE_BUS)};
        else if (d.textBus)
            f->busNumbers = d.textBus;
    }

    if (!BuildBars(d, f->header, f))
        return false;

    if (size_t extent = d.Extent())
        f->config.assign(d.cfg.begin(), d.cfg.begin() + static_cast<long>(extent));
    else
        SynthesizeConfig(d, *f, f);

    /* A ready-made model with the same ids and layout brings the vendor
     * registers (and their write masks) that the driver's quirks program. */
    for (const std::string &model : ModelNames()) {
        std::optional<sim::DeviceModel> m = ModelByName(model);
        if (m && m->vendorId == *f->vendor && m->deviceId == *f->device && m->headerLayout == f->header) {
            f->model = model;
            f->notes.push_back("built on the ready-made model " + model + " (same vendor and device ids)");
            break;
        }
    }
    return true;
}

/* Each function hangs behind the bridge whose secondary bus is its bus, else
 * behind the nearest bridge whose range holds its bus. Bus 0, and a bus no
 * bridge's range holds, is a root bus: the host bridge's own, or a peer
 * root (a host bridge of its own, e.g. a server's second one). A parent
 * always sits on a lower bus than its child, so the tree has no loop. */
bool Importer::PlaceInTree(std::vector<FunctionDesc> &fns)
{
    auto secondary = [&](size_t j) { return (*fns[j].busNumbers)[1]; };
    auto span = [&](size_t j) { return (*fns[j].busNumbers)[2] - (*fns[j].busNumbers)[1]; };
    for (size_t i = 0; i < fns.size(); i++) {
        const Dumped &d = *chosen_[i];
        if (d.bus == 0)
            continue;
        std::optional<size_t> best;
        for (size_t j = 0; j < fns.size(); j++) {
            const FunctionDesc &b = fns[j];
            if (j == i || !b.busNumbers || (b.header != 1 && b.header != 2) || chosen_[j]->bus >= d.bus)
                continue;
            const int sec = (*b.busNumbers)[1], sub = (*b.busNumbers)[2];
            if (sec == 0 || d.bus < sec || d.bus > sub)
                continue;
            const bool direct = sec == d.bus;
            const bool bestDirect = best && secondary(*best) == d.bus;
            if (direct && bestDirect)
                return Fail(d.line, d.location,
                            "bridges " + fns[*best].location + " and " + b.location + " both have bus " +
                                Hex2(static_cast<unsigned>(d.bus)) + " as their secondary bus");
            if (!best || (direct && !bestDirect) || (!bestDirect && sub - sec < span(*best)))
                best = j;
        }
        if (best)
            fns[i].behind = fns[*best].location;
        else
            fns[i].rootBus = static_cast<uint8_t>(d.bus);
    }
    /* A bus reached through an enclosing range shares its segment with the
     * bridge's own bus; two functions must not land in one slot there. */
    auto segment = [&](size_t i) { return fns[i].behind.empty() ? "root bus " + Hex2(fns[i].rootBus) : fns[i].behind; };
    for (size_t i = 0; i < fns.size(); i++)
        for (size_t j = 0; j < i; j++)
            if (segment(i) == segment(j) && chosen_[i]->dev == chosen_[j]->dev && chosen_[i]->fn == chosen_[j]->fn)
                return Fail(chosen_[i]->line, chosen_[i]->location,
                            "it would share slot " + Hex2(static_cast<unsigned>(chosen_[i]->dev)) + "." +
                                std::to_string(chosen_[i]->fn) + " behind " + fns[i].behind + " with " +
                                fns[j].location + " (bus " + Hex2(static_cast<unsigned>(chosen_[i]->bus)) +
                                " has no bridge of its own in the dump)");
    return true;
}

std::optional<MachineDesc> Importer::Build(const ImportOptions &options)
{
    if (dumped_.empty()) {
        Fail(1, "", "no lspci function header line ('bb:dd.f <class>: <name>') in the file");
        return std::nullopt;
    }
    /* The domain: the one asked for, else the one holding the first CardBus
     * controller, else the lowest. */
    std::map<unsigned, size_t> perDomain;
    for (const Dumped &d : dumped_)
        perDomain[d.domain]++;
    unsigned domain = perDomain.begin()->first;
    if (options.domain) {
        domain = *options.domain;
        if (perDomain.count(domain) == 0) {
            std::string have;
            for (const auto &[n, count] : perDomain)
                have += (have.empty() ? "" : ", ") + Domain4(n);
            if (error_)
                *error_ = file_ + ": no function of PCI domain " + Domain4(domain) + " in the dump (it has " + have + ")";
            return std::nullopt;
        }
    } else {
        const Dumped *first = nullptr;
        for (const Dumped &d : dumped_)
            if (ClassOf(d) == 0x0607 && (!first || std::make_tuple(d.domain, Order(d)) <
                                                       std::make_tuple(first->domain, Order(*first))))
                first = &d;
        if (first)
            domain = first->domain;
    }
    for (Dumped &d : dumped_)
        if (d.domain == domain)
            chosen_.push_back(&d);

    MachineDesc m;
    m.source = file_;
    m.domain = domain;
    for (const auto &[n, count] : perDomain)
        if (n != domain)
            m.otherDomains.push_back(OtherDomain{n, count});
    m.importNotes = mended_;
    size_t slash = file_.find_last_of('/');
    m.name = slash == std::string::npos ? file_ : file_.substr(slash + 1);
    m.description = "imported from lspci output (" + std::to_string(chosen_.size()) + " functions" +
                    (m.otherDomains.empty() ? "" : " of PCI domain " + Domain4(domain)) + ")";
    m.functions.resize(chosen_.size());
    for (size_t i = 0; i < chosen_.size(); i++)
        if (!BuildFunction(*chosen_[i], &m.functions[i]))
            return std::nullopt;
    if (!PlaceInTree(m.functions))
        return std::nullopt;
    /* The adapter's controller: the first CardBus controller wherever it sits. */
    const Dumped *controller = nullptr;
    for (size_t i = 0; i < chosen_.size(); i++)
        if (m.functions[i].header == 2 && (!controller || Order(*chosen_[i]) < Order(*controller)))
            controller = chosen_[i];
    if (controller)
        m.controller = controller->location;
    return m;
}

} // namespace lspci

uint64_t InferBarSize(bool io, bool prefetchable, uint64_t address)
{
    address &= io ? ~uint64_t{3} : ~uint64_t{0xF};
    if (address == 0)
        return 0;
    const uint64_t align = address & (~address + 1);
    const uint64_t cap = io ? kInferredIoMax : prefetchable ? kInferredPrefetchableMax : kInferredMemoryMax;
    return align < cap ? align : cap;
}

} // namespace tolmusim
