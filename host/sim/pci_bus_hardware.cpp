/*
 * pci_bus_hardware.cpp - the simulated PCI bus driver's view of the
 * hardware: BARs, the requirements and boot configuration it reports, XP's
 * numbering of unconfigured bridges, the CardBus socket/ExCA registers, and
 * what it programs: the assignment at start, decoding off at stop, the
 * command register after D3.
 */
#include "pci_bus_driver.h"

#include <algorithm>

#include "standin/iomgr.h"

namespace sim {

using namespace busreg;

namespace {

uint64_t RoundUp(uint64_t v, uint64_t granularity)
{
    return (v + granularity - 1) / granularity * granularity;
}

/* What a bridge needs for the functions behind it, as pci.sys sums it. */
struct WindowNeed {
    uint64_t io = 0, mem = 0, pref = 0;
    uint64_t memAlign = kBridgeMemGranularity, prefAlign = kBridgeMemGranularity;
};

} // namespace

/* ============================================================ hardware view */

std::vector<BarInfo> PciBusDriver::Bars(PciFunction *f) const { return DecodeBars(f); }

std::vector<PciFunction *> PciBusDriver::ChildrenNow(PciFunction *bridge) const
{
    std::vector<PciFunction *> out;
    if (bridge == nullptr || !bridge->IsBridge() || bridge->SecondaryBus() == 0)
        return out;
    PciSegment *segment = machine_.SegmentForBus(bridge->SecondaryBus());
    if (segment == nullptr || segment != bridge->Secondary())
        return out;
    for (PciFunction *f : segment->Functions())
        if (IsPresent(f))
            out.push_back(f);
    return out;
}

/* What pci.sys asks for behind a bridge: the sum of what it can see there. */
static WindowNeed NeedBehind(const PciBusDriver &bus, PciFunction *bridge, int depth)
{
    WindowNeed need;
    if (depth > 32)
        return need;
    for (PciFunction *child : bus.ChildrenNow(bridge)) {
        if (IsCardBus(child)) {
            need.io += kCardBusIoWindow;
            need.mem += kCardBusMemWindow + kSocketWindowSize;
            need.pref += kCardBusPrefetchWindow;
            continue;
        }
        if (IsP2p(child)) {
            WindowNeed inner = NeedBehind(bus, child, depth + 1);
            need.io += RoundUp(std::max<uint64_t>(inner.io, kBridgeIoGranularity), kBridgeIoGranularity);
            need.mem += RoundUp(std::max<uint64_t>(inner.mem, kBridgeMemGranularity), kBridgeMemGranularity);
            need.pref += RoundUp(std::max<uint64_t>(inner.pref, kBridgeMemGranularity), kBridgeMemGranularity);
            need.memAlign = std::max(need.memAlign, inner.memAlign);
            need.prefAlign = std::max(need.prefAlign, inner.prefAlign);
        }
        for (const BarInfo &b : bus.Bars(child)) {
            if (b.io) {
                need.io += b.size;
            } else if (b.prefetchable) {
                need.pref += b.size;
                need.prefAlign = std::max(need.prefAlign, b.size);
            } else {
                need.mem += b.size;
                need.memAlign = std::max(need.memAlign, b.size);
            }
        }
    }
    return need;
}

void PciBusDriver::KeepFirmwareResources(PciFunction *bridge)
{
    if (!KeepsFirmwareResources(bridge))
        firmwareKept_[bridge] = BootConfig(bridge);
}

bool PciBusDriver::Subtractive(const PciFunction *f)
{
    /* pci.sys's test: programming interface 01, or an I/O limit register
     * whose address bits do not stick (a bridge without an I/O window is
     * taken to decode subtractively). */
    if (f == nullptr || !IsP2p(f))
        return false;
    return (f->ClassCode() & 0xFF) == 0x01 || (f->WriteMask(CFG8_P2P_IO_LIMIT, 1) & 0xF0) == 0;
}

std::vector<IO_RESOURCE_DESCRIPTOR> PciBusDriver::Requirements(PciFunction *f) const
{
    RequirementsBuilder b;
    if (KeepsFirmwareResources(f)) {
        /* Exactly what decoded when the firmware handed over, each range
         * fixed where it is. */
        for (const CM_PARTIAL_RESOURCE_DESCRIPTOR &d : firmwareKept_.at(f)) {
            uint64_t start = uint64_t(d.u.Generic.Start.QuadPart);
            if (d.Type == CmResourceTypePort)
                b.Port(d.u.Port.Length, 1, start, start + d.u.Port.Length - 1, d.Flags);
            else if (d.Type == CmResourceTypeMemory)
                b.Memory(d.u.Memory.Length, 1, start, start + d.u.Memory.Length - 1, d.Flags);
            else if (d.Type == CmResourceTypeDevicePrivate)
                b.DevicePrivate(d.u.DevicePrivate.Data[0], d.u.DevicePrivate.Data[1], d.u.DevicePrivate.Data[2]);
            else if (d.Type == CmResourceTypeInterrupt)
                b.Interrupt(d.u.Interrupt.Vector, d.u.Interrupt.Vector);
        }
        return b.Descriptors();
    }
    for (const BarInfo &bar : Bars(f)) {
        if (bar.io) {
            /* Port space of an x86 machine ends at 0xFFFF. */
            b.Port(ULONG(bar.size), ULONG(bar.size), 0, 0xFFFF, CM_RESOURCE_PORT_IO | CM_RESOURCE_PORT_16_BIT_DECODE);
        } else {
            b.Memory(ULONG(bar.size), ULONG(bar.size), 0, 0xFFFFFFFF,
                     bar.prefetchable ? CM_RESOURCE_MEMORY_PREFETCHABLE : 0);
        }
        b.DevicePrivate(BUS_BAR_KEY0, ULONG(bar.index), 0);
    }

    if (IsP2p(f)) {
        WindowNeed need = NeedBehind(*this, f, 0);
        uint64_t io = RoundUp(std::max<uint64_t>(need.io, kBridgeIoGranularity), kBridgeIoGranularity);
        uint64_t mem = RoundUp(std::max<uint64_t>(need.mem, kBridgeMemGranularity), kBridgeMemGranularity);
        uint64_t pref = RoundUp(std::max<uint64_t>(need.pref, kBridgeMemGranularity), kBridgeMemGranularity);
        b.Port(ULONG(io), kBridgeIoGranularity, 0, 0xFFFF,
               CM_RESOURCE_PORT_IO | CM_RESOURCE_PORT_POSITIVE_DECODE | CM_RESOURCE_PORT_WINDOW_DECODE);
        b.DevicePrivate(BUS_WINDOW_KEY0, BUS_P2P_KEY_IO, 0);
        b.Memory(ULONG(mem), ULONG(need.memAlign), 0, 0xFFFFFFFF, 0);
        b.DevicePrivate(BUS_WINDOW_KEY0, BUS_P2P_KEY_MEMORY, 0);
        b.Memory(ULONG(pref), ULONG(need.prefAlign), 0, 0xFFFFFFFF,
                 CM_RESOURCE_MEMORY_PREFETCHABLE);
        b.DevicePrivate(BUS_WINDOW_KEY0, BUS_P2P_KEY_PREFETCH, 0);
    } else if (IsCardBus(f)) {
        /* The CardBus driver's defaults: it cannot see what a card will need. */
        b.Memory(kCardBusMemWindow, 0x1000, 0, 0xFFFFFFFF, 0);
        b.DevicePrivate(BUS_WINDOW_KEY0, BUS_CB_KEY_MEMORY, 0);
        b.Memory(kCardBusPrefetchWindow, 0x1000, 0, 0xFFFFFFFF, CM_RESOURCE_MEMORY_PREFETCHABLE);
        b.DevicePrivate(BUS_WINDOW_KEY0, BUS_CB_KEY_PREFETCH, 0);
        b.Port(kCardBusIoWindow, 4, 0, 0xFFFF, CM_RESOURCE_PORT_IO | CM_RESOURCE_PORT_POSITIVE_DECODE);
        b.DevicePrivate(BUS_WINDOW_KEY0, BUS_CB_KEY_IO, 0);
    }

    if (f->Peek8(CFG8_INTERRUPT_PIN) != 0) {
        uint8_t line = f->Peek8(CFG8_INTERRUPT_LINE);
        if (line >= 1 && line <= 15)
            b.Interrupt(line, line);
        else
            b.Interrupt(9, 11);
    }
    return b.Descriptors();
}

std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> PciBusDriver::BootConfig(PciFunction *f) const
{
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> out;
    uint16_t command = f->Peek16(CFG16_COMMAND);
    for (const BarInfo &bar : Bars(f)) {
        if (bar.address == 0)
            continue;
        if (bar.io && (command & CFG_COMMAND_IO)) {
            out.push_back(CmPort(bar.address, ULONG(bar.size)));
            out.push_back(CmDevicePrivate(BUS_BAR_KEY0, ULONG(bar.index), 0));
        } else if (!bar.io && (command & CFG_COMMAND_MEMORY)) {
            out.push_back(CmMemory(bar.address, ULONG(bar.size), bar.prefetchable ? CM_RESOURCE_MEMORY_PREFETCHABLE : 0));
            out.push_back(CmDevicePrivate(BUS_BAR_KEY0, ULONG(bar.index), 0));
        }
    }
    if (IsP2p(f)) {
        uint64_t ioBase = uint64_t(f->Peek8(CFG8_P2P_IO_BASE) & 0xF0) << 8 | uint64_t(f->Peek16(CFG16_P2P_IO_BASE_UPPER)) << 16;
        uint64_t ioLimit =
            (uint64_t(f->Peek8(CFG8_P2P_IO_LIMIT) & 0xF0) << 8 | 0xFFF) | uint64_t(f->Peek16(CFG16_P2P_IO_LIMIT_UPPER)) << 16;
        if ((command & CFG_COMMAND_IO) && ioBase != 0 && ioBase <= ioLimit) {
            out.push_back(CmPort(ioBase, ULONG(ioLimit - ioBase + 1),
                                 CM_RESOURCE_PORT_IO | CM_RESOURCE_PORT_POSITIVE_DECODE));
            out.push_back(CmDevicePrivate(BUS_WINDOW_KEY0, BUS_P2P_KEY_IO, 0));
        }
        uint64_t memBase = uint64_t(f->Peek16(CFG16_P2P_MEMORY_BASE) & 0xFFF0) << 16;
        uint64_t memLimit = (uint64_t(f->Peek16(CFG16_P2P_MEMORY_LIMIT) & 0xFFF0) << 16) | 0xFFFFF;
        if ((command & CFG_COMMAND_MEMORY) && memBase != 0 && memBase <= memLimit) {
            out.push_back(CmMemory(memBase, ULONG(memLimit - memBase + 1)));
            out.push_back(CmDevicePrivate(BUS_WINDOW_KEY0, BUS_P2P_KEY_MEMORY, 0));
        }
        uint64_t prefBase = uint64_t(f->Peek16(CFG16_P2P_PREFETCH_BASE) & 0xFFF0) << 16 | uint64_t(f->Peek32(CFG32_P2P_PREFETCH_BASE_UPPER)) << 32;
        uint64_t prefLimit = ((uint64_t(f->Peek16(CFG16_P2P_PREFETCH_LIMIT) & 0xFFF0) << 16) | 0xFFFFF) |
                             uint64_t(f->Peek32(CFG32_P2P_PREFETCH_LIMIT_UPPER)) << 32;
        if ((command & CFG_COMMAND_MEMORY) && prefBase != 0 && prefBase <= prefLimit) {
            out.push_back(CmMemory(prefBase, ULONG(prefLimit - prefBase + 1), CM_RESOURCE_MEMORY_PREFETCHABLE));
            out.push_back(CmDevicePrivate(BUS_WINDOW_KEY0, BUS_P2P_KEY_PREFETCH, 0));
        }
    } else if (IsCardBus(f)) {
        uint16_t control = f->Peek16(CFG16_BRIDGE_CONTROL);
        const uint8_t bases[2] = {CFG32_CB_MEMORY_BASE0, CFG32_CB_MEMORY_BASE1};
        const uint8_t limits[2] = {CFG32_CB_MEMORY_LIMIT0, CFG32_CB_MEMORY_LIMIT1};
        for (int w = 0; w < 2; w++) {
            uint64_t base = f->Peek32(bases[w]) & 0xFFFFF000;
            uint64_t limit = (f->Peek32(limits[w]) & 0xFFFFF000) | 0xFFF;
            if ((command & CFG_COMMAND_MEMORY) && base != 0 && base <= limit) {
                bool pref = (control & (w == 0 ? CFG_CB_CONTROL_PREFETCH0 : CFG_CB_CONTROL_PREFETCH1)) != 0;
                out.push_back(CmMemory(base, ULONG(limit - base + 1), pref ? CM_RESOURCE_MEMORY_PREFETCHABLE : 0));
                out.push_back(CmDevicePrivate(BUS_WINDOW_KEY0, pref ? BUS_CB_KEY_PREFETCH : BUS_CB_KEY_MEMORY, 0));
            }
        }
        uint64_t ioBase = f->Peek32(CFG32_CB_IO_BASE0) & 0xFFFFFFFC;
        uint64_t ioLimit = (f->Peek32(CFG32_CB_IO_LIMIT0) & 0xFFFFFFFC) | 3;
        if ((command & CFG_COMMAND_IO) && ioBase != 0 && ioBase <= ioLimit) {
            out.push_back(CmPort(ioBase, ULONG(ioLimit - ioBase + 1)));
            out.push_back(CmDevicePrivate(BUS_WINDOW_KEY0, BUS_CB_KEY_IO, 0));
        }
    }
    uint8_t line = f->Peek8(CFG8_INTERRUPT_LINE);
    if (f->Peek8(CFG8_INTERRUPT_PIN) != 0 && line >= 1 && line <= 15 && !out.empty())
        out.push_back(CmInterrupt(line));
    return out;
}

/* ========================================================== bus numbering */

static bool NumbersConfigured(const PciFunction *b, uint8_t parentBus)
{
    return b->PrimaryBus() == parentBus && b->SecondaryBus() > b->PrimaryBus() &&
           b->SubordinateBus() >= b->SecondaryBus();
}

void PciBusDriver::NumberChildBridges(PciFunction *bridge)
{
    uint8_t sec = bridge->SecondaryBus(), sub = bridge->SubordinateBus();
    if (sec == 0)
        return;
    std::vector<PciFunction *> children = ChildrenNow(bridge);
    std::vector<bool> used(256, false);
    std::vector<PciFunction *> unconfigured;
    for (PciFunction *c : children) {
        if (!c->IsBridge())
            continue;
        if (NumbersConfigured(c, sec)) {
            for (unsigned n = c->SecondaryBus(); n <= c->SubordinateBus(); n++)
                used[n] = true;
        } else {
            unconfigured.push_back(c);
        }
    }
    if (unconfigured.empty())
        return;
    std::vector<uint8_t> free;
    for (unsigned n = unsigned(sec) + 1; n <= sub; n++)
        if (!used[n])
            free.push_back(uint8_t(n));

    auto program = [&](PciFunction *c, uint8_t s, uint8_t u) {
        machine_.ConfigWrite(sec, uint8_t(c->DeviceNumber()), uint8_t(c->FunctionNumber()), CFG8_BRIDGE_PRIMARY_BUS, 1, sec);
        machine_.ConfigWrite(sec, uint8_t(c->DeviceNumber()), uint8_t(c->FunctionNumber()), CFG8_BRIDGE_SECONDARY_BUS, 1, s);
        machine_.ConfigWrite(sec, uint8_t(c->DeviceNumber()), uint8_t(c->FunctionNumber()), CFG8_BRIDGE_SUBORDINATE_BUS, 1, u);
    };
    if (unconfigured.size() == 1) {
        /* A lone bridge gets the whole run of free numbers. */
        if (free.empty())
            return;
        uint8_t first = free[0], last = free[0];
        for (size_t i = 1; i < free.size() && free[i] == last + 1; i++)
            last = free[i];
        program(unconfigured[0], first, last);
        return;
    }
    /* Several share what is free: one bus each, in device order. */
    size_t k = 0;
    for (PciFunction *c : unconfigured) {
        if (k >= free.size())
            break;
        program(c, free[k], free[k]);
        k++;
    }
}

void PciBusDriver::NumberRootBridge(PciFunction *bridge)
{
    PciSegment *root = bridge->Segment();
    if (bridge->SecondaryBus() != 0 || root == nullptr || !root->IsRoot())
        return;
    /* The root's numbers end where the next root bus's begin. */
    unsigned own = unsigned(root->RootNumber()), end = 0xFF;
    for (PciSegment *r : machine_.Roots())
        if (unsigned(r->RootNumber()) > own)
            end = std::min(end, unsigned(r->RootNumber()) - 1);
    unsigned highest = own;
    for (PciFunction *f : root->Functions())
        if (f->IsBridge())
            highest = std::max<unsigned>(highest, f->SubordinateBus());
    if (highest >= end)
        return;
    uint8_t n = uint8_t(highest + 1);
    machine_.SetBusNumbers(bridge, uint8_t(own), n, n);
}

/* ======================================================= socket registers */

std::array<uint8_t, kSocketWindowSize> &PciBusDriver::SocketRegisters(const PciFunction *controller)
{
    auto it = sockets_.find(controller);
    if (it == sockets_.end()) {
        std::array<uint8_t, kSocketWindowSize> fresh{};
        it = sockets_.emplace(controller, fresh).first;
    }
    return it->second;
}

uint32_t PciBusDriver::SocketRead(const PciFunction *controller, uint32_t offset, int width) const
{
    auto it = sockets_.find(controller);
    uint32_t value = 0;
    for (int i = 0; i < width && offset + i < kSocketWindowSize; i++)
        value |= uint32_t(it == sockets_.end() ? 0 : it->second[offset + i]) << (8 * i);
    return value;
}

void PciBusDriver::SocketWrite(PciFunction *controller, uint32_t offset, int width, uint32_t value)
{
    auto &regs = SocketRegisters(controller);
    for (int i = 0; i < width && offset + i < kSocketWindowSize; i++)
        regs[offset + i] = uint8_t(value >> (8 * i));
}

void PciBusDriver::MapSocketWindow(PdoRecord &r, uint64_t base)
{
    UnmapSocketWindow(r);
    PciFunction *f = r.function;
    SocketRegisters(f);
    standin::RegisterMmioWindow(
        base, kSocketWindowSize, [this, f](uint32_t offset, int width) { return SocketRead(f, offset, width); },
        [this, f](uint32_t offset, int width, uint32_t value) { SocketWrite(f, offset, width, value); });
    r.socketBase = base;
}

void PciBusDriver::UnmapSocketWindow(PdoRecord &r)
{
    if (r.socketBase != 0)
        standin::UnregisterMmioWindow(r.socketBase);
    r.socketBase = 0;
}

/* ========================================================= start and stop */

namespace {

/* Where one range of the raw list goes. */
struct Target {
    enum Kind { None, Bar, Window } kind = None;
    ULONG key = 0; /* BAR index, or the window's key */
};

} // namespace

NTSTATUS PciBusDriver::Start(PdoRecord &r, PIRP irp)
{
    PciFunction *f = r.function;
    PCM_RESOURCE_LIST raw = IoGetCurrentIrpStackLocation(irp)->Parameters.StartDevice.AllocatedResources;
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> partials = Partials(raw);
    if (!r.present)
        return STATUS_DEVICE_REMOVED;

    /* Each port or memory range belongs to the device-private tag behind it;
     * one without a tag goes by its kind (a bridge's window). */
    std::vector<std::pair<CM_PARTIAL_RESOURCE_DESCRIPTOR, Target>> ranges;
    int pending = -1;
    int vector = -1;
    for (const auto &d : partials) {
        if (d.Type == CmResourceTypePort || d.Type == CmResourceTypeMemory) {
            ranges.push_back({d, Target()});
            pending = int(ranges.size()) - 1;
        } else if (d.Type == CmResourceTypeDevicePrivate) {
            if (pending >= 0) {
                Target t;
                t.kind = d.u.DevicePrivate.Data[0] == BUS_WINDOW_KEY0 ? Target::Window : Target::Bar;
                t.key = d.u.DevicePrivate.Data[1];
                ranges[pending].second = t;
                pending = -1;
            }
        } else if (d.Type == CmResourceTypeInterrupt) {
            vector = int(d.u.Interrupt.Vector);
        }
    }
    for (auto &rg : ranges) {
        if (rg.second.kind != Target::None || !f->IsBridge())
            continue;
        bool pref = (rg.first.Flags & CM_RESOURCE_MEMORY_PREFETCHABLE) != 0;
        rg.second.kind = Target::Window;
        if (IsP2p(f))
            rg.second.key = rg.first.Type == CmResourceTypePort ? BUS_P2P_KEY_IO : pref ? BUS_P2P_KEY_PREFETCH : BUS_P2P_KEY_MEMORY;
        else
            rg.second.key = rg.first.Type == CmResourceTypePort ? BUS_CB_KEY_IO : pref ? BUS_CB_KEY_PREFETCH : BUS_CB_KEY_MEMORY;
    }

    /* Check everything against the hardware before touching it. */
    std::vector<BarInfo> bars = Bars(f);
    auto barAt = [&bars](ULONG index) -> const BarInfo * {
        for (const BarInfo &b : bars)
            if (ULONG(b.index) == index)
                return &b;
        return nullptr;
    };
    for (const auto &rg : ranges) {
        uint64_t start = uint64_t(rg.first.u.Generic.Start.QuadPart);
        uint64_t length = rg.first.u.Generic.Length;
        if (rg.second.kind == Target::Bar) {
            const BarInfo *b = barAt(rg.second.key);
            if (b == nullptr || b->io != (rg.first.Type == CmResourceTypePort) || length < b->size ||
                start % b->size != 0 || (!b->is64 && start + length - 1 > 0xFFFFFFFFull))
                return STATUS_UNSUCCESSFUL;
            if (b->io && (f->WriteMask(uint8_t(CFG32_BAR0 + 4 * b->index), 4) & 0xFFFF0000) == 0 &&
                start + length - 1 > 0xFFFF)
                return STATUS_UNSUCCESSFUL;
        } else if (rg.second.kind == Target::Window && length != 0) {
            uint64_t end = start + length - 1;
            if (IsP2p(f)) {
                bool io = rg.second.key == BUS_P2P_KEY_IO;
                uint64_t granularity = io ? kBridgeIoGranularity : kBridgeMemGranularity;
                bool io32 = (f->Peek8(CFG8_P2P_IO_BASE) & 0x0F) == 0x01;
                bool pref64 = (f->Peek16(CFG16_P2P_PREFETCH_BASE) & 0x0F) == 0x01;
                if (start % granularity != 0)
                    return STATUS_UNSUCCESSFUL;
                if (io && !io32 && end > 0xFFFF)
                    return STATUS_UNSUCCESSFUL;
                if (!io && end > 0xFFFFFFFFull && !(rg.second.key == BUS_P2P_KEY_PREFETCH && pref64))
                    return STATUS_UNSUCCESSFUL;
            } else {
                bool io = rg.second.key == BUS_CB_KEY_IO;
                if (start % (io ? 4 : 0x1000) != 0 || end > 0xFFFFFFFFull)
                    return STATUS_UNSUCCESSFUL;
            }
        }
    }

    /* Decoding off while the ranges move. */
    auto write = [&](uint8_t off, int width, uint32_t value) {
        machine_.ConfigWrite(r.bus, r.device, r.fn, off, width, value);
    };
    write(CFG16_COMMAND, 2, f->Peek16(CFG16_COMMAND) & ~(CFG_COMMAND_IO | CFG_COMMAND_MEMORY));

    uint16_t command = CFG_COMMAND_MASTER;
    bool ioWin = false, memWin = false, prefWin = false, cbMem = false, cbPref = false, cbIo = false;
    for (const auto &rg : ranges) {
        uint64_t start = uint64_t(rg.first.u.Generic.Start.QuadPart);
        uint64_t length = rg.first.u.Generic.Length;
        if (rg.second.kind == Target::Bar) {
            const BarInfo *b = barAt(rg.second.key);
            uint8_t off = uint8_t(CFG32_BAR0 + 4 * b->index);
            write(off, 4, uint32_t(start));
            if (b->is64)
                write(uint8_t(off + 4), 4, uint32_t(start >> 32));
            command |= b->io ? CFG_COMMAND_IO : CFG_COMMAND_MEMORY;
            if (IsCardBus(f) && b->index == 0)
                MapSocketWindow(r, start);
            continue;
        }
        if (rg.second.kind != Target::Window || length == 0)
            continue;
        uint64_t end = start + length - 1;
        if (IsP2p(f)) {
            switch (rg.second.key) {
            case BUS_P2P_KEY_IO:
                write(CFG16_P2P_IO_BASE_UPPER, 2, uint32_t(start >> 16));
                write(CFG16_P2P_IO_LIMIT_UPPER, 2, uint32_t(end >> 16));
                write(CFG8_P2P_IO_BASE, 1, uint32_t((start >> 8) & 0xF0));
                write(CFG8_P2P_IO_LIMIT, 1, uint32_t((end >> 8) & 0xF0));
                ioWin = true;
                command |= CFG_COMMAND_IO;
                break;
            case BUS_P2P_KEY_MEMORY:
                write(CFG16_P2P_MEMORY_BASE, 2, uint32_t((start >> 16) & 0xFFF0));
                write(CFG16_P2P_MEMORY_LIMIT, 2, uint32_t((end >> 16) & 0xFFF0));
                memWin = true;
                command |= CFG_COMMAND_MEMORY;
                break;
            case BUS_P2P_KEY_PREFETCH:
                write(CFG16_P2P_PREFETCH_BASE, 2, uint32_t((start >> 16) & 0xFFF0));
                write(CFG16_P2P_PREFETCH_LIMIT, 2, uint32_t((end >> 16) & 0xFFF0));
                write(CFG32_P2P_PREFETCH_BASE_UPPER, 4, uint32_t(start >> 32));
                write(CFG32_P2P_PREFETCH_LIMIT_UPPER, 4, uint32_t(end >> 32));
                prefWin = true;
                command |= CFG_COMMAND_MEMORY;
                break;
            default:
                break;
            }
        } else if (IsCardBus(f)) {
            switch (rg.second.key) {
            case BUS_CB_KEY_MEMORY:
                write(CFG32_CB_MEMORY_BASE0, 4, uint32_t(start));
                write(CFG32_CB_MEMORY_LIMIT0, 4, uint32_t(end) & 0xFFFFF000);
                cbMem = true;
                command |= CFG_COMMAND_MEMORY;
                break;
            case BUS_CB_KEY_PREFETCH:
                write(CFG32_CB_MEMORY_BASE1, 4, uint32_t(start));
                write(CFG32_CB_MEMORY_LIMIT1, 4, uint32_t(end) & 0xFFFFF000);
                cbPref = true;
                command |= CFG_COMMAND_MEMORY;
                break;
            case BUS_CB_KEY_IO:
                write(CFG32_CB_IO_BASE0, 4, uint32_t(start));
                write(CFG32_CB_IO_LIMIT0, 4, uint32_t(end) & 0xFFFFFFFC);
                cbIo = true;
                command |= CFG_COMMAND_IO;
                break;
            default:
                break;
            }
        }
    }
    /* A window the assignment left out decodes nothing: base above limit. */
    if (IsP2p(f)) {
        if (!ioWin) {
            write(CFG8_P2P_IO_BASE, 1, 0xF0);
            write(CFG8_P2P_IO_LIMIT, 1, 0x00);
            write(CFG16_P2P_IO_BASE_UPPER, 2, 0);
            write(CFG16_P2P_IO_LIMIT_UPPER, 2, 0);
        }
        if (!memWin) {
            write(CFG16_P2P_MEMORY_BASE, 2, 0xFFF0);
            write(CFG16_P2P_MEMORY_LIMIT, 2, 0);
        }
        if (!prefWin) {
            write(CFG16_P2P_PREFETCH_BASE, 2, 0xFFF0);
            write(CFG16_P2P_PREFETCH_LIMIT, 2, 0);
            write(CFG32_P2P_PREFETCH_BASE_UPPER, 4, 0);
            write(CFG32_P2P_PREFETCH_LIMIT_UPPER, 4, 0);
        }
        command |= CFG_COMMAND_IO | CFG_COMMAND_MEMORY;
    } else if (IsCardBus(f)) {
        if (!cbMem) {
            write(CFG32_CB_MEMORY_BASE0, 4, 0xFFFFF000);
            write(CFG32_CB_MEMORY_LIMIT0, 4, 0);
        }
        if (!cbPref) {
            write(CFG32_CB_MEMORY_BASE1, 4, 0xFFFFF000);
            write(CFG32_CB_MEMORY_LIMIT1, 4, 0);
        }
        if (!cbIo) {
            write(CFG32_CB_IO_BASE0, 4, 0xFFFFFFFC);
            write(CFG32_CB_IO_LIMIT0, 4, 0);
        }
        /* Memory window 1 is the prefetchable one. */
        uint16_t control = f->Peek16(CFG16_BRIDGE_CONTROL);
        control = uint16_t((control & ~CFG_CB_CONTROL_PREFETCH0) | (cbPref ? CFG_CB_CONTROL_PREFETCH1 : 0));
        write(CFG16_BRIDGE_CONTROL, 2, control);
    }
    if (vector >= 0)
        write(CFG8_INTERRUPT_LINE, 1, uint32_t(vector));
    write(CFG16_COMMAND, 2, command);
    r.startCommand = command;
    r.started = true;
    r.removed = false;
    return STATUS_SUCCESS;
}

void PciBusDriver::Stop(PdoRecord &r)
{
    if (r.present && r.started)
        machine_.ConfigWrite(r.bus, r.device, r.fn, CFG16_COMMAND, 2,
                             r.function->Peek16(CFG16_COMMAND) & ~(CFG_COMMAND_IO | CFG_COMMAND_MEMORY | CFG_COMMAND_MASTER));
    UnmapSocketWindow(r);
    r.started = false;
}

/* ================================================================= power */

void PciBusDriver::SetPower(PdoRecord &r, DEVICE_POWER_STATE state)
{
    if (state == PowerDeviceD3) {
        r.power = PowerDeviceD3;
        return;
    }
    if (state == PowerDeviceD0 && r.power == PowerDeviceD3) {
        /* Back from D3: the function lost its volatile registers, the socket
         * registers with them; pci.sys puts back the command register. */
        r.function->ResetVolatileState();
        auto it = sockets_.find(r.function);
        if (it != sockets_.end())
            it->second.fill(0);
        if (r.started && r.present)
            machine_.ConfigWrite(r.bus, r.device, r.fn, CFG16_COMMAND, 2, r.startCommand);
    }
    r.power = state;
}

} // namespace sim
