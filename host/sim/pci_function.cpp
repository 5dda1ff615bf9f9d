/*
 * pci_function.cpp - configuration space of one simulated PCI function: the
 * standard header layouts as masks, the one write path, the hardware-side
 * peek and poke, and the resets.
 */
#include "pci_function.h"

#include "pci/pci_regs.h"

#include <cstdio>
#include <stdexcept>

namespace sim {

/* Command register bits the bus may write: I/O space, memory space, bus
 * master, memory write and invalidate, parity error response, SERR# enable,
 * interrupt disable. */
static constexpr uint32_t kCommandWritable = 0x0557;

/* PCI-to-PCI bridge control: parity, SERR#, ISA, VGA, VGA 16-bit decode,
 * master abort mode, secondary reset, fast back-to-back, both discard
 * timeouts and the discard timer SERR# enable are written; bit 10, the
 * discard timer status, is cleared by writing 1. */
static constexpr uint32_t kPciBridgeControlWritable = 0x0BFF;
static constexpr uint32_t kPciBridgeControlW1c = 0x0400;

/* CardBus bridge control: parity, SERR#, ISA, VGA, master abort mode, CardBus
 * reset, 16-bit interrupt routing, memory window 0 and 1 prefetchable, write
 * posting; bit 4 is reserved. */
static constexpr uint32_t kCardBusBridgeControlWritable = 0x07EF;

BarDef IoBar(int index, uint32_t size) { return BarDef{index, BarKind::Io, size, false}; }
BarDef Io16Bar(int index, uint32_t size) { return BarDef{index, BarKind::Io16, size, false}; }
BarDef MemBar(int index, uint32_t size) { return BarDef{index, BarKind::Mem32, size, false}; }
BarDef PrefetchBar(int index, uint32_t size) { return BarDef{index, BarKind::Mem32, size, true}; }
BarDef Mem64Bar(int index, uint64_t size, bool prefetchable) { return BarDef{index, BarKind::Mem64, size, prefetchable}; }

PciFunction::PciFunction(const DeviceModel &model) : model_(model)
{
    ApplyModel();
}

/* ------------------------------------------------------------- bus side */

uint32_t PciFunction::ConfigRead(uint8_t offset, int width)
{
    reads_++;
    uint32_t value = 0;
    for (int i = 0; i < width; i++) {
        unsigned o = offset + i;
        uint32_t byte = o < 256 ? config_[o] : 0xFF;
        value |= byte << (8 * i);
    }
    return value;
}

void PciFunction::ConfigWrite(uint8_t offset, int width, uint32_t value)
{
    writes_++;
    writeLog_.push_back(WriteRecord{offset, width, value});
    for (int i = 0; i < width; i++) {
        unsigned o = offset + i;
        if (o >= 256)
            break;
        uint8_t v = static_cast<uint8_t>(value >> (8 * i));
        config_[o] = static_cast<uint8_t>((config_[o] & ~wmask_[o]) | (v & wmask_[o]));
        config_[o] = static_cast<uint8_t>(config_[o] & ~(v & w1c_[o]));
    }
}

std::vector<PciFunction::WriteRecord> PciFunction::WritesTo(uint8_t offset, int width) const
{
    std::vector<WriteRecord> hits;
    unsigned lo = offset, hi = offset + width;
    for (const WriteRecord &w : writeLog_) {
        unsigned wlo = w.offset, whi = w.offset + w.width;
        if (wlo < hi && lo < whi)
            hits.push_back(w);
    }
    return hits;
}

/* -------------------------------------------------------- hardware side */

uint32_t PciFunction::Gather(const std::array<uint8_t, 256> &bytes, uint8_t offset, int width) const
{
    uint32_t value = 0;
    for (int i = 0; i < width && offset + i < 256; i++)
        value |= static_cast<uint32_t>(bytes[offset + i]) << (8 * i);
    return value;
}

uint8_t PciFunction::Peek8(uint8_t offset) const { return config_[offset]; }
uint16_t PciFunction::Peek16(uint8_t offset) const { return static_cast<uint16_t>(Gather(config_, offset, 2)); }
uint32_t PciFunction::Peek32(uint8_t offset) const { return Gather(config_, offset, 4); }

void PciFunction::Poke8(uint8_t offset, uint8_t value) { config_[offset] = value; }

void PciFunction::Poke16(uint8_t offset, uint16_t value)
{
    for (int i = 0; i < 2 && offset + i < 256; i++)
        config_[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void PciFunction::Poke32(uint8_t offset, uint32_t value)
{
    for (int i = 0; i < 4 && offset + i < 256; i++)
        config_[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void PciFunction::Define(uint8_t offset, int width, uint32_t resetValue, uint32_t writeMask, uint32_t w1cMask)
{
    if (width != 1 && width != 2 && width != 4)
        throw std::invalid_argument("register width must be 1, 2 or 4");
    if (offset + width > 256)
        throw std::invalid_argument("register past the end of configuration space");
    for (int i = 0; i < width; i++) {
        unsigned o = offset + i;
        reset_[o] = config_[o] = static_cast<uint8_t>(resetValue >> (8 * i));
        wmask_[o] = static_cast<uint8_t>(writeMask >> (8 * i));
        w1c_[o] = static_cast<uint8_t>(w1cMask >> (8 * i));
    }
}

void PciFunction::DefineRegister(uint8_t offset, int width, uint32_t resetValue, uint32_t writeMask, uint32_t w1cMask)
{
    Define(offset, width, resetValue, writeMask, w1cMask);
}

void PciFunction::DefineRegister(const RegisterDef &def)
{
    Define(def.offset, def.width, def.resetValue, def.writeMask, def.w1cMask);
}

uint32_t PciFunction::ResetValue(uint8_t offset, int width) const { return Gather(reset_, offset, width); }
uint32_t PciFunction::WriteMask(uint8_t offset, int width) const { return Gather(wmask_, offset, width); }
uint32_t PciFunction::W1cMask(uint8_t offset, int width) const { return Gather(w1c_, offset, width); }

void PciFunction::Reset() { config_ = reset_; }

void PciFunction::ResetVolatileState()
{
    auto restore = [this](unsigned from, unsigned to) {
        for (unsigned o = from; o < to; o++)
            config_[o] = reset_[o];
    };
    restore(CFG16_COMMAND, CFG16_COMMAND + 2);
    restore(CFG8_CACHE_LINE_SIZE, CFG8_LATENCY_TIMER + 1);
    if (IsBridge()) {
        restore(CFG8_BRIDGE_SECONDARY_LATENCY, CFG8_BRIDGE_SECONDARY_LATENCY + 1);
        restore(CFG16_BRIDGE_CONTROL, CFG16_BRIDGE_CONTROL + 2);
    }
    restore(0x40, 0x100); /* vendor-defined registers */
}

std::string PciFunction::Describe() const
{
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", VendorId(), DeviceId());
    return model_.name.empty() ? std::string(ids) : std::string(ids) + " " + model_.name;
}

/* ------------------------------------------------------- layout from model */

void PciFunction::DefineBar(uint8_t offset, const BarDef &bar)
{
    uint64_t size = bar.size;
    if (size == 0 || (size & (size - 1)) != 0)
        throw std::invalid_argument("BAR size must be a power of two");
    switch (bar.kind) {
    case BarKind::Io:
    case BarKind::Io16: {
        if (size < 4)
            size = 4;
        uint32_t mask = static_cast<uint32_t>(~(size - 1)) & 0xFFFFFFFC;
        if (bar.kind == BarKind::Io16)
            mask &= 0x0000FFFC;
        Define(offset, 4, 0x1, mask, 0);
        break;
    }
    case BarKind::Mem32:
    case BarKind::Mem64: {
        if (size < 16)
            size = 16;
        uint32_t flags = bar.prefetchable ? 0x8 : 0x0;
        if (bar.kind == BarKind::Mem64)
            flags |= 0x4;
        uint32_t low = static_cast<uint32_t>(~(size - 1)) & 0xFFFFFFF0;
        Define(offset, 4, flags, low, 0);
        if (bar.kind == BarKind::Mem64)
            Define(static_cast<uint8_t>(offset + 4), 4, 0, static_cast<uint32_t>(~((size - 1) >> 32)), 0);
        break;
    }
    }
}

void PciFunction::DefineRom(uint8_t offset, uint32_t size)
{
    if (size == 0)
        return;
    if ((size & (size - 1)) != 0)
        throw std::invalid_argument("ROM size must be a power of two");
    if (size < 0x800)
        size = 0x800;
    /* Address bits above the size, and bit 0 (decode enable). */
    Define(offset, 4, 0, (~(size - 1) & 0xFFFFF800) | 1, 0);
}

void PciFunction::DefineDeviceHeader()
{
    for (const BarDef &bar : model_.bars) {
        if (bar.index < 0 || bar.index > 5 || (bar.kind == BarKind::Mem64 && bar.index > 4))
            throw std::invalid_argument(model_.name + ": BAR index out of range for a device");
        DefineBar(static_cast<uint8_t>(CFG32_BAR(bar.index)), bar);
    }
    Define(CFG16_SUBSYSTEM_VENDOR_ID, 2, model_.subVendorId, 0, 0);
    Define(CFG16_SUBSYSTEM_ID, 2, model_.subSystemId, 0, 0);
    DefineRom(CFG32_ROM, model_.romSize);
}

void PciFunction::DefinePciBridgeHeader()
{
    for (const BarDef &bar : model_.bars) {
        if (bar.index < 0 || bar.index > 1 || (bar.kind == BarKind::Mem64 && bar.index > 0))
            throw std::invalid_argument(model_.name + ": BAR index out of range for a bridge");
        DefineBar(static_cast<uint8_t>(CFG32_BAR(bar.index)), bar);
    }
    Define(CFG8_BRIDGE_PRIMARY_BUS, 1, 0, 0xFF, 0);
    Define(CFG8_BRIDGE_SECONDARY_BUS, 1, 0, 0xFF, 0);
    Define(CFG8_BRIDGE_SUBORDINATE_BUS, 1, 0, 0xFF, 0);
    Define(CFG8_BRIDGE_SECONDARY_LATENCY, 1, 0, 0xFF, 0);

    /* I/O window: address bits 15..12 in the upper nibble; the low nibble
     * says whether the upper 16 bits are decoded too. */
    uint8_t ioCap = model_.bridgeIo32 ? CFG_P2P_IO_32 : 0x00;
    Define(CFG8_P2P_IO_BASE, 1, ioCap, 0xF0, 0);
    Define(CFG8_P2P_IO_LIMIT, 1, ioCap, 0xF0, 0);
    Define(CFG16_P2P_SECONDARY_STATUS, 2, 0x0280, 0, kStatusErrorBits);

    Define(CFG16_P2P_MEMORY_BASE, 2, 0, 0xFFF0, 0); /* bits 31..20 */
    Define(CFG16_P2P_MEMORY_LIMIT, 2, 0, 0xFFF0, 0);

    uint16_t prefCap = model_.bridgePref64 ? CFG_P2P_PREFETCH_64 : 0x0000;
    Define(CFG16_P2P_PREFETCH_BASE, 2, prefCap, 0xFFF0, 0);
    Define(CFG16_P2P_PREFETCH_LIMIT, 2, prefCap, 0xFFF0, 0);
    uint32_t upperMask = model_.bridgePref64 ? 0xFFFFFFFF : 0;
    Define(CFG32_P2P_PREFETCH_BASE_UPPER, 4, 0, upperMask, 0);
    Define(CFG32_P2P_PREFETCH_LIMIT_UPPER, 4, 0, upperMask, 0);

    uint32_t ioUpperMask = model_.bridgeIo32 ? 0xFFFF : 0;
    Define(CFG16_P2P_IO_BASE_UPPER, 2, 0, ioUpperMask, 0);
    Define(CFG16_P2P_IO_LIMIT_UPPER, 2, 0, ioUpperMask, 0);

    DefineRom(CFG32_P2P_ROM, model_.romSize);
    Define(CFG16_BRIDGE_CONTROL, 2, model_.bridgeControl, kPciBridgeControlWritable, kPciBridgeControlW1c);
}

void PciFunction::DefineCardBusHeader()
{
    if (!model_.bars.empty())
        throw std::invalid_argument(model_.name + ": a CardBus bridge has only its socket register BAR");
    DefineBar(CFG32_CB_SOCKET_BASE, MemBar(0, 0x1000));
    Define(CFG16_CB_SECONDARY_STATUS, 2, 0x0200, 0, kStatusErrorBits);
    Define(CFG8_BRIDGE_PRIMARY_BUS, 1, 0, 0xFF, 0);
    Define(CFG8_BRIDGE_SECONDARY_BUS, 1, 0, 0xFF, 0); /* the CardBus bus */
    Define(CFG8_BRIDGE_SUBORDINATE_BUS, 1, 0, 0xFF, 0);
    Define(CFG8_BRIDGE_SECONDARY_LATENCY, 1, 0, 0xFF, 0); /* CardBus latency timer */
    for (uint8_t o = CFG32_CB_MEMORY_BASE0; o <= CFG32_CB_MEMORY_LIMIT1; o += 4) /* memory base/limit 0 and 1 */
        Define(o, 4, 0, 0xFFFFF000, 0);
    for (uint8_t o = CFG32_CB_IO_BASE0; o <= CFG32_CB_IO_LIMIT1; o += 4) /* I/O base/limit 0 and 1 */
        Define(o, 4, 0, 0xFFFFFFFC, 0);
    Define(CFG16_BRIDGE_CONTROL, 2, model_.bridgeControl, kCardBusBridgeControlWritable, 0);
    Define(CFG16_CB_SUBSYSTEM_VENDOR_ID, 2, model_.subVendorId, 0, 0);
    Define(CFG16_CB_SUBSYSTEM_ID, 2, model_.subSystemId, 0, 0);
    Define(CFG32_CB_LEGACY_BASE, 4, 0x00000001, 0xFFFFFFFC, 0);
}

void PciFunction::ApplyModel()
{
    config_.fill(0);
    reset_.fill(0);
    wmask_.fill(0);
    w1c_.fill(0);

    Define(CFG16_VENDOR_ID, 2, model_.vendorId, 0, 0);
    Define(CFG16_DEVICE_ID, 2, model_.deviceId, 0, 0);
    Define(CFG16_COMMAND, 2, 0, kCommandWritable, 0);
    Define(CFG16_STATUS, 2, model_.status, 0, kStatusErrorBits);
    Define(CFG32_CLASS_REVISION, 4,
           model_.revision | static_cast<uint32_t>(model_.progIf) << 8 | static_cast<uint32_t>(model_.subClass) << 16 |
               static_cast<uint32_t>(model_.baseClass) << 24,
           0, 0);
    Define(CFG8_CACHE_LINE_SIZE, 1, 0, 0xFF, 0);
    Define(CFG8_LATENCY_TIMER, 1, 0, 0xFF, 0);
    Define(CFG8_HEADER_TYPE, 1,
           (model_.headerLayout & CFG_HEADER_LAYOUT_MASK) | (model_.multiFunction ? kHeaderMultiFunction : 0), 0, 0);
    Define(CFG8_INTERRUPT_LINE, 1, 0, 0xFF, 0);
    Define(CFG8_INTERRUPT_PIN, 1, model_.interruptPin, 0, 0);

    switch (model_.headerLayout) {
    case kHeaderDevice:
        DefineDeviceHeader();
        break;
    case kHeaderPciBridge:
        DefinePciBridgeHeader();
        break;
    case kHeaderCardBusBridge:
        DefineCardBusHeader();
        break;
    default:
        throw std::invalid_argument(model_.name + ": unknown header layout");
    }

    for (const RegisterDef &def : model_.registers)
        DefineRegister(def);
}

std::vector<BarInfo> DecodeBars(const PciFunction *f)
{
    std::vector<BarInfo> bars;
    int count = 0;
    switch (f->HeaderLayout()) {
    case kHeaderDevice:
        count = 6;
        break;
    case kHeaderPciBridge:
        count = 2;
        break;
    case kHeaderCardBusBridge:
        count = 1;
        break;
    default:
        return bars;
    }
    for (int i = 0; i < count; i++) {
        uint8_t off = uint8_t(CFG32_BAR(i));
        uint32_t mask = f->WriteMask(off, 4);
        if (mask == 0)
            continue;
        uint32_t value = f->Peek32(off);
        BarInfo bar;
        bar.index = i;
        /* The writable address bits of a BAR start at its size. */
        auto lowestBit = [](uint64_t m) { return m & (~m + 1); };
        if (value & 1) {
            bar.io = true;
            bar.size = lowestBit(mask & ~3u);
            bar.address = value & ~3u;
        } else {
            bar.prefetchable = (value & 8) != 0;
            bar.is64 = (value & 6) == 4;
            uint64_t m = mask & ~0xFu;
            uint64_t address = value & ~0xFu;
            if (bar.is64 && i + 1 < count) {
                m |= uint64_t(f->WriteMask(uint8_t(off + 4), 4)) << 32;
                address |= uint64_t(f->Peek32(uint8_t(off + 4))) << 32;
            }
            bar.size = lowestBit(m);
            bar.address = address;
        }
        bars.push_back(bar);
        if (bar.is64)
            i++;
    }
    return bars;
}

} // namespace sim
