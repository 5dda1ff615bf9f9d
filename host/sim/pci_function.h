/*
 * pci_function.h - one simulated PCI function: its 256-byte configuration
 * space and the device model it was built from.
 *
 * A configuration space is three byte arrays of 256 entries:
 *   config  the current contents,
 *   wmask   per bit: 1 = the bus may write it, 0 = read-only,
 *   w1c     per bit: 1 = writing 1 clears it (status error bits),
 * plus the reset contents. Every write from the bus takes one path:
 *   config = (config & ~wmask) | (value & wmask);  config &= ~(value & w1c);
 * so BAR sizing needs no extra case: a BAR of size S has the write mask
 * ~(S - 1) above its read-only flag bits, and the all-ones sizing write reads
 * back as the size mask.
 *
 * A device is described as data (DeviceModel: identity, class, header layout,
 * BAR list, reset values, extra register masks); the standard header fields of
 * the layout (0 device, 1 PCI-to-PCI bridge, 2 CardBus bridge) get their masks
 * from one routine, and the model's register list is applied on top of them.
 *
 * Two views of the space:
 *   ConfigRead/ConfigWrite - the bus side: masked, counted and logged;
 *   Peek/Poke              - the hardware's own side: no masks, no log, for
 *                            tests that preset or examine registers.
 */
#ifndef TOLMU_SIM_PCI_FUNCTION_H
#define TOLMU_SIM_PCI_FUNCTION_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "pci/pci_regs.h"

namespace sim {

class PciSegment;

/* Header layouts (the header type register without bit 7), by the values of
 * the driver's register header. */
constexpr uint8_t kHeaderDevice = CFG_HEADER_LAYOUT_DEVICE;
constexpr uint8_t kHeaderPciBridge = CFG_HEADER_LAYOUT_PCI_BRIDGE;
constexpr uint8_t kHeaderCardBusBridge = CFG_HEADER_LAYOUT_CARDBUS;
constexpr uint8_t kHeaderMultiFunction = CFG_HEADER_MULTI_FUNCTION;

/* Status register bits that a write of 1 clears: master data parity error,
 * signalled target abort, received target abort, received master abort,
 * signalled system error, detected parity error. The same bits in a bridge's
 * secondary status register. */
constexpr uint16_t kStatusErrorBits = 0xF900;

/* How a base address register decodes. */
enum class BarKind : uint8_t {
    Io,    /* I/O space, 32-bit decoder: sizing reads back 0xFFFFFFxx */
    Io16,  /* I/O space, 16-bit decoder: the upper half reads 0 (0x0000FFE1) */
    Mem32, /* memory anywhere in 32 bits */
    Mem64, /* memory anywhere in 64 bits; takes this register and the next */
};

struct BarDef {
    int index;         /* 0..5 on a device, 0..1 on a PCI-to-PCI bridge */
    BarKind kind;
    uint64_t size;     /* bytes, a power of two */
    bool prefetchable; /* memory BARs only */
};

BarDef IoBar(int index, uint32_t size);
BarDef Io16Bar(int index, uint32_t size);
BarDef MemBar(int index, uint32_t size);
BarDef PrefetchBar(int index, uint32_t size);
BarDef Mem64Bar(int index, uint64_t size, bool prefetchable);

/* A BAR as its registers decode it now: the size from the writable address
 * bits, the address as programmed (a 64-bit BAR takes the next register as
 * its upper half). */
struct BarInfo {
    int index = 0;
    bool io = false;
    bool prefetchable = false;
    bool is64 = false;
    uint64_t size = 0;
    uint64_t address = 0; /* as programmed now */
};

/* One register as the hardware implements it; overrides whatever the layout
 * gave those bytes. width is 1, 2 or 4. */
struct RegisterDef {
    uint8_t offset;
    uint8_t width;
    uint32_t resetValue;
    uint32_t writeMask;
    uint32_t w1cMask;
};

struct DeviceModel {
    std::string name;
    uint16_t vendorId = 0xFFFF;
    uint16_t deviceId = 0xFFFF;
    uint8_t revision = 0;
    uint8_t baseClass = 0;
    uint8_t subClass = 0;
    uint8_t progIf = 0;
    uint8_t headerLayout = kHeaderDevice; /* 0, 1 or 2 */
    bool multiFunction = false;           /* bit 7 of the header type byte */
    uint16_t subVendorId = 0;
    uint16_t subSystemId = 0;
    uint16_t status = 0x0200;   /* reset status: medium DEVSEL timing */
    uint8_t interruptPin = 0;   /* 0 none, 1..4 INTA..INTD */
    std::vector<BarDef> bars;   /* absent registers read 0 and are read-only */
    uint32_t romSize = 0;       /* expansion ROM; 0 = none */
    /* PCI-to-PCI bridges only. */
    bool bridgeIo32 = true;     /* I/O window decodes 32 bits (upper 16 at 0x30) */
    bool bridgePref64 = true;   /* prefetchable window decodes 64 bits */
    /* Bridges only: reset value of the bridge control register 0x3E. */
    uint16_t bridgeControl = 0;
    /* Vendor-defined registers and overrides, applied after the layout. */
    std::vector<RegisterDef> registers;
};

class PciFunction {
  public:
    explicit PciFunction(const DeviceModel &model);

    struct WriteRecord {
        uint8_t offset;
        int width;
        uint32_t value; /* as written by the bus, before masking */
        bool operator==(const WriteRecord &o) const
        {
            return offset == o.offset && width == o.width && value == o.value;
        }
    };

    /* ---------------------------------------------------------- bus side */
    /* width 1, 2 or 4; bytes past 0xFF read 0xFF and are dropped. */
    uint32_t ConfigRead(uint8_t offset, int width);
    void ConfigWrite(uint8_t offset, int width, uint32_t value);

    const std::vector<WriteRecord> &WriteLog() const { return writeLog_; }
    /* Writes whose bytes touch [offset, offset + width). */
    std::vector<WriteRecord> WritesTo(uint8_t offset, int width = 1) const;
    void ClearWriteLog() { writeLog_.clear(); }
    uint64_t ReadCount() const { return reads_; }
    uint64_t WriteCount() const { return writes_; }
    void ClearCounts() { reads_ = writes_ = 0; }

    /* ----------------------------------------------------- hardware side */
    uint8_t Peek8(uint8_t offset) const;
    uint16_t Peek16(uint8_t offset) const;
    uint32_t Peek32(uint8_t offset) const;
    void Poke8(uint8_t offset, uint8_t value);
    void Poke16(uint8_t offset, uint16_t value);
    void Poke32(uint8_t offset, uint32_t value);

    /* Define (or redefine) a register: reset value, current value and masks. */
    void DefineRegister(uint8_t offset, int width, uint32_t resetValue, uint32_t writeMask, uint32_t w1cMask = 0);
    void DefineRegister(const RegisterDef &def);
    uint32_t ResetValue(uint8_t offset, int width) const;
    uint32_t WriteMask(uint8_t offset, int width) const;
    uint32_t W1cMask(uint8_t offset, int width) const;

    /* Power-on reset: every byte back to its reset value. */
    void Reset();
    /* What a return from D3 to D0 loses: the command register, cache line
     * size, latency timers, bridge control and the vendor-defined registers
     * 0x40..0xFF go back to their reset values. BARs and bus numbers stay. */
    void ResetVolatileState();

    /* Physically in its slot. A function taken out (a chassis unplugged)
     * answers no configuration cycle: reads end in master abort (all ones),
     * writes go nowhere. */
    bool Present() const { return present_; }
    void SetPresent(bool present) { present_ = present; }

    /* ------------------------------------------------------------ identity */
    const DeviceModel &Model() const { return model_; }
    const std::string &Name() const { return model_.name; }
    uint16_t VendorId() const { return Peek16(CFG16_VENDOR_ID); }
    uint16_t DeviceId() const { return Peek16(CFG16_DEVICE_ID); }
    uint32_t ClassCode() const { return Peek32(CFG32_CLASS_REVISION) >> 8; } /* base:sub:prog-if */
    uint8_t HeaderLayout() const { return Peek8(CFG8_HEADER_TYPE) & CFG_HEADER_LAYOUT_MASK; }
    bool IsMultiFunction() const { return (Peek8(CFG8_HEADER_TYPE) & kHeaderMultiFunction) != 0; }
    bool IsBridge() const { return HeaderLayout() == kHeaderPciBridge || HeaderLayout() == kHeaderCardBusBridge; }
    /* Bridges: the bus number registers as programmed. */
    uint8_t PrimaryBus() const { return Peek8(CFG8_BRIDGE_PRIMARY_BUS); }
    uint8_t SecondaryBus() const { return Peek8(CFG8_BRIDGE_SECONDARY_BUS); }
    uint8_t SubordinateBus() const { return Peek8(CFG8_BRIDGE_SUBORDINATE_BUS); }

    /* Where the function sits in the physical tree (set by PciMachine). */
    PciSegment *Segment() const { return segment_; }
    int DeviceNumber() const { return device_; }
    int FunctionNumber() const { return function_; }
    /* The segment behind a bridge; null for a device or an unattached bridge. */
    PciSegment *Secondary() const { return secondary_; }

    /* "1011:0026 DEC 21154 PCI-to-PCI bridge" */
    std::string Describe() const;

  private:
    friend class PciMachine;

    void Define(uint8_t offset, int width, uint32_t resetValue, uint32_t writeMask, uint32_t w1cMask);
    void ApplyModel();
    void DefineBar(uint8_t offset, const BarDef &bar);
    void DefineRom(uint8_t offset, uint32_t size);
    void DefineDeviceHeader();
    void DefinePciBridgeHeader();
    void DefineCardBusHeader();
    uint32_t Gather(const std::array<uint8_t, 256> &bytes, uint8_t offset, int width) const;

    DeviceModel model_;
    std::array<uint8_t, 256> config_{};
    bool present_ = true;
    std::array<uint8_t, 256> reset_{};
    std::array<uint8_t, 256> wmask_{};
    std::array<uint8_t, 256> w1c_{};
    std::vector<WriteRecord> writeLog_;
    uint64_t reads_ = 0;
    uint64_t writes_ = 0;

    PciSegment *segment_ = nullptr;
    int device_ = -1;
    int function_ = -1;
    PciSegment *secondary_ = nullptr;
};

/* The implemented BARs of a function's header layout (device: 0..5,
 * PCI-to-PCI bridge: 0..1, CardBus bridge: the socket register BAR). */
std::vector<BarInfo> DecodeBars(const PciFunction *function);

} // namespace sim

#endif /* TOLMU_SIM_PCI_FUNCTION_H */
