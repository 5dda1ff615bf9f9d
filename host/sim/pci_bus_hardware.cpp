/*
 * pci_bus_hardware.cpp - the simulated PCI bus driver's view of the
 * hardware: BARs, the requirements and boot configuration it reports, XP's
 * numbering of unconfigured bridges, and the CardBus socket/ExCA registers.
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
    return (f->ClassCode() & 0xFF) == 0x01 || (f->WriteMask(kP2pIoLimit, 1) & 0xF0) == 0;
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
        b.DevicePrivate(kKeyBar, ULONG(bar.index), 0);
    }

    if (IsP2p(f)) {
        WindowNeed need = NeedBehind(*this, f, 0);
        uint64_t io = RoundUp(std::max<uint64_t>(need.io, kBridgeIoGranularity), kBridgeIoGranularity);
        uint64_t mem = RoundUp(std::max<uint64_t>(need.mem, kBridgeMemGranularity), kBridgeMemGranularity);
        uint64_t pref = RoundUp(std::max<uint64_t>(need.pref, kBridgeMemGranularity), kBridgeMemGranularity);
        b.Port(ULONG(io), kBridgeIoGranularity, 0, 0xFFFF,
               CM_RESOURCE_PORT_IO | CM_RESOURCE_PORT_POSITIVE_DECODE | CM_RESOURCE_PORT_WINDOW_DECODE);
        b.DevicePrivate(kKeyWindow, kP2pKeyIo, 0);
        b.Memory(ULONG(mem), ULONG(need.memAlign), 0, 0xFFFFFFFF, 0);
        b.DevicePrivate(kKeyWindow, kP2pKeyMemory, 0);
        b.Memory(ULONG(pref), ULONG(need.prefAlign), 0, 0xFFFFFFFF,
                 CM_RESOURCE_MEMORY_PREFETCHABLE);
        b.DevicePrivate(kKeyWindow, kP2pKeyPrefetch, 0);
    } else if (IsCardBus(f)) {
        /* The CardBus driver's defaults: it cannot see what a card will need. */
        b.Memory(kCardBusMemWindow, 0x1000, 0, 0xFFFFFFFF, 0);
        b.DevicePrivate(kKeyWindow, kCbKeyMemory, 0);
        b.Memory(kCardBusPrefetchWindow, 0x1000, 0, 0xFFFFFFFF, CM_RESOURCE_MEMORY_PREFETCHABLE);
        b.DevicePrivate(kKeyWindow, kCbKeyPrefetch, 0);
        b.Port(kCardBusIoWindow, 4, 0, 0xFFFF, CM_RESOURCE_PORT_IO | CM_RESOURCE_PORT_POSITIVE_DECODE);
        b.DevicePrivate(kKeyWindow, kCbKeyIo, 0);
    }

    if (f->Peek8(kCfgInterruptPin) != 0) {
        uint8_t line = f->Peek8(kCfgInterruptLine);
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
    uint16_t command = f->Peek16(kCfgCommand);
    for (const BarInfo &bar : Bars(f)) {
        if (bar.address == 0)
            continue;
        if (bar.io && (command & kCmdIo)) {
            out.push_back(CmPort(bar.address, ULONG(bar.size)));
            out.push_back(CmDevicePrivate(kKeyBar, ULONG(bar.index), 0));
        } else if (!bar.io && (command & kCmdMemory)) {
            out.push_back(CmMemory(bar.address, ULONG(bar.size), bar.prefetchable ? CM_RESOURCE_MEMORY_PREFETCHABLE : 0));
            out.push_back(CmDevicePrivate(kKeyBar, ULONG(bar.index), 0));
        }
    }
    if (IsP2p(f)) {
        uint64_t ioBase = uint64_t(f->Peek8(kP2pIoBase) & 0xF0) << 8 | uint64_t(f->Peek16(kP2pIoBaseUpper)) << 16;
        uint64_t ioLimit =
            (uint64_t(f->Peek8(kP2pIoLimit) & 0xF0) << 8 | 0xFFF) | uint64_t(f->Peek16(kP2pIoLimitUpper)) << 16;
        if ((command & kCmdIo) && ioBase != 0 && ioBase <= ioLimit) {
            out.push_back(CmPort(ioBase, ULONG(ioLimit - ioBase + 1),
                                 CM_RESOURCE_PORT_IO | CM_RESOURCE_PORT_POSITIVE_DECODE));
            out.push_back(CmDevicePrivate(kKeyWindow, kP2pKeyIo, 0));
        }
        uint64_t memBase = uint64_t(f->Peek16(kP2pMemBase) & 0xFFF0) << 16;
        uint64_t memLimit = (uint64_t(f->Peek16(kP2pMemLimit) & 0xFFF0) << 16) | 0xFFFFF;
        if ((command & kCmdMemory) && memBase != 0 && memBase <= memLimit) {
            out.push_back(CmMemory(memBase, ULONG(memLimit - memBase + 1)));
            out.push_back(CmDevicePrivate(kKeyWindow, kP2pKeyMemory, 0));
        }
        uint64_t prefBase = uint64_t(f->Peek16(kP2pPrefBase) & 0xFFF0) << 16 | uint64_t(f->Peek32(kP2pPrefBaseUpper)) << 32;
        uint64_t prefLimit = ((uint64_t(f->Peek16(kP2pPrefLimit) & 0xFFF0) << 16) | 0xFFFFF) |
                             uint64_t(f->Peek32(kP2pPrefLimitUpper)) << 32;
        if ((command & kCmdMemory) && prefBase != 0 && prefBase <= prefLimit) {
            out.push_back(CmMemory(prefBase, ULONG(prefLimit - prefBase + 1), CM_RESOURCE_MEMORY_PREFETCHABLE));
            out.push_back(CmDevicePrivate(kKeyWindow, kP2pKeyPrefetch, 0));
        }
    } else if (IsCardBus(f)) {
        uint16_t control = f->Peek16(kCbBridgeControl);
        const uint8_t bases[2] = {kCbMemBase0, kCbMemBase1};
        const uint8_t limits[2] = {kCbMemLimit0, kCbMemLimit1};
        for (int w = 0; w < 2; w++) {
            uint64_t base = f->Peek32(bases[w]) & 0xFFFFF000;
            uint64_t limit = (f->Peek32(limits[w]) & 0xFFFFF000) | 0xFFF;
            if ((command & kCmdMemory) && base != 0 && base <= limit) {
                bool pref = (control & (w == 0 ? kCbPrefetch0 : kCbPrefetch1)) != 0;
                out.push_back(CmMemory(base, ULONG(limit - base + 1), pref ? CM_RESOURCE_MEMORY_PREFETCHABLE : 0));
                out.push_back(CmDevicePrivate(kKeyWindow, pref ? kCbKeyPrefetch : kCbKeyMemory, 0));
            }
        }
        uint64_t ioBase = f->Peek32(kCbIoBase0) & 0xFFFFFFFC;
        uint64_t ioLimit = (f->Peek32(kCbIoLimit0) & 0xFFFFFFFC) | 3;
        if ((command & kCmdIo) && ioBase != 0 && ioBase <= ioLimit) {
            out.push_back(CmPort(ioBase, ULONG(ioLimit - ioBase + 1)));
            out.push_back(CmDevicePrivate(kKeyWindow, kCbKeyIo, 0));
        }
    }
    uint8_t line = f->Peek8(kCfgInterruptLine);
    if (f->Peek8(kCfgInterruptPin) != 0 && line >= 1 && line <= 15 && !out.empty())
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
        machine_.ConfigWrite(sec, uint8_t(c->DeviceNumber()), uint8_t(c->FunctionNumber()), kCfgPrimaryBus, 1, sec);
        machine_.ConfigWrite(sec, uint8_t(c->DeviceNumber()), uint8_t(c->FunctionNumber()), kCfgSecondaryBus, 1, s);
        machine_.ConfigWrite(sec, uint8_t(c->DeviceNumber()), uint8_t(c->FunctionNumber()), kCfgSubordinateBus, 1, u);
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

} // namespace sim
