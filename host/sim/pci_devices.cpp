/*
 * pci_devices.cpp - the ready-made device models.
 */
#include "pci_devices.h"

namespace sim {
namespace models {

static RegisterDef Byte(uint8_t offset, uint8_t reset, uint8_t mask = 0xFF) { return RegisterDef{offset, 1, reset, mask, 0}; }
static RegisterDef Word(uint8_t offset, uint16_t reset, uint16_t mask = 0xFFFF) { return RegisterDef{offset, 2, reset, mask, 0}; }
static RegisterDef Dword(uint8_t offset, uint32_t reset, uint32_t mask = 0xFFFFFFFF) { return RegisterDef{offset, 4, reset, mask, 0}; }

static DeviceModel Base(const char *name, uint16_t vendorId, uint16_t deviceId, uint8_t revision, uint32_t classCode,
                        uint8_t headerLayout)
{
    DeviceModel m;
    m.name = name;
    m.vendorId = vendorId;
    m.deviceId = deviceId;
    m.revision = revision;
    m.baseClass = static_cast<uint8_t>(classCode >> 16);
    m.subClass = static_cast<uint8_t>(classCode >> 8);
    m.progIf = static_cast<uint8_t>(classCode);
    m.headerLayout = headerLayout;
    return m;
}

DeviceModel Generic(uint16_t vendorId, uint16_t deviceId, uint32_t classCode, std::vector<BarDef> bars)
{
    DeviceModel m = Base("device", vendorId, deviceId, 0x01, classCode, kHeaderDevice);
    m.bars = std::move(bars);
    m.interruptPin = 1;
    return m;
}

DeviceModel GenericBridge(uint16_t vendorId, uint16_t deviceId)
{
    return Base("PCI-to-PCI bridge", vendorId, deviceId, 0x01, 0x060400, kHeaderPciBridge);
}

DeviceModel Intel440BX()
{
    DeviceModel m = Base("Intel 440BX host bridge", 0x8086, 0x7190, 0x03, 0x060000, kHeaderDevice);
    m.bars = {PrefetchBar(0, 64u << 20)}; /* graphics aperture */
    m.registers = {
        Dword(0x50, 0x00000000), /* NBX configuration */
        Dword(0x58, 0x00000000), /* DRAM control */
    };
    return m;
}

DeviceModel DEC21154()
{
    DeviceModel m = Base("DEC 21154 PCI-to-PCI bridge", 0x1011, 0x0026, 0x05, 0x060400, kHeaderPciBridge);
    m.status = 0x0280;
    m.bridgeIo32 = true;
    m.bridgePref64 = true;
    m.registers = {
        Byte(0x40, 0x00),         /* chip control */
        Byte(0x41, 0x00),         /* diagnostic control */
        Word(0x42, 0x0200, 0x03FF), /* arbiter control */
    };
    return m;
}

DeviceModel TIPCI2250()
{
    DeviceModel m = Base("TI PCI2250 PCI-to-PCI bridge", 0x104C, 0xAC23, 0x02, 0x060400, kHeaderPciBridge);
    m.status = 0x0280;
    m.bridgeIo32 = false;
    m.bridgePref64 = false;
    m.registers = {
        Byte(0x40, 0x00), /* bridge control extension */
        Word(0x42, 0x0000),
    };
    return m;
}

/* The registers TI CardBus controllers share: system control (32 bit) and the
 * byte registers 0x8C..0x93 (multifunction routing, retry status, card
 * control, device control, diagnostic). */
static void AddTiRegisters(DeviceModel &m, uint32_t systemControl, const uint8_t bytes8c[8])
{
    m.registers.push_back(Dword(0x80, systemControl)); /* system control */
    for (int i = 0; i < 8; i++)
        m.registers.push_back(Byte(static_cast<uint8_t>(0x8C + i), bytes8c[i]));
}

DeviceModel TI1420()
{
    DeviceModel m = Base("TI PCI1420 CardBus controller", 0x104C, 0xAC51, 0x00, 0x060700, kHeaderCardBusBridge);
    m.multiFunction = true;
    m.status = 0x0200;
    m.interruptPin = 1;
    m.bridgeControl = 0x0340;
    static const uint8_t bytes[8] = {0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x66, 0x60};
    AddTiRegisters(m, 0x08449060, bytes);
    return m;
}

DeviceModel TI1131()
{
    DeviceModel m = Base("TI PCI1131 CardBus controller", 0x104C, 0xAC15, 0x01, 0x060700, kHeaderCardBusBridge);
    m.multiFunction = true;
    m.status = 0x0200;
    m.interruptPin = 1;
    m.bridgeControl = 0x0340;
    static const uint8_t bytes[8] = {0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x60, 0x00};
    AddTiRegisters(m, 0x00449060, bytes);
    return m;
}

/* O2Micro controllers: multiplexer control and two reserved control words
 * in configuration space; the socket tuning bits live in the ExCA window. */
static void AddO2Registers(DeviceModel &m)
{
    m.registers.push_back(Dword(0x90, 0x00000000)); /* multiplexer control */
    m.registers.push_back(Dword(0x94, 0x00000000)); /* reserved control 1 */
    m.registers.push_back(Dword(0xD4, 0x00000000)); /* reserved control 2 */
}

DeviceModel O2MicroOZ711()
{
    DeviceModel m = Base("O2Micro OZ711 CardBus controller", 0x1217, 0x7134, 0x21, 0x060700, kHeaderCardBusBridge);
    m.interruptPin = 1;
    m.bridgeControl = 0x0340;
    AddO2Registers(m);
    return m;
}

DeviceModel O2Micro6933()
{
    DeviceModel m = Base("O2Micro OZ6933 CardBus controller", 0x1217, 0x6933, 0x00, 0x060700, kHeaderCardBusBridge);
    m.multiFunction = true;
    m.interruptPin = 1;
    m.bridgeControl = 0x0340;
    AddO2Registers(m);
    return m;
}

DeviceModel ToshibaToPIC()
{
    DeviceModel m = Base("Toshiba ToPIC100 CardBus controller", 0x1179, 0x0617, 0x20, 0x060700, kHeaderCardBusBridge);
    m.multiFunction = true;
    m.interruptPin = 1;
    m.bridgeControl = 0x0340;
    m.registers = {
        Dword(0xA0, 0x00000000), /* slot control */
        Dword(0xA4, 0x00000000), /* card control */
        Dword(0xA8, 0x00000000), /* card detect */
        Byte(0xAC, 0x00), Byte(0xAD, 0x00), Byte(0xAE, 0x00),
        Byte(0xAF, 0x00),        /* register control, top byte */
        Byte(0xB0, 0x00), Byte(0xB1, 0x00), Byte(0xB2, 0x00), Byte(0xB3, 0x00),
        Byte(0xB4, 0x00), Byte(0xB5, 0x00),
        Byte(0xB6, 0x04),        /* power and clock control */
    };
    return m;
}

DeviceModel GeForce2MX()
{
    DeviceModel m = Base("NVIDIA GeForce2 MX VGA", 0x10DE, 0x0110, 0xA1, 0x030000, kHeaderDevice);
    m.status = 0x02A0;
    m.interruptPin = 1;
    m.subVendorId = 0x10DE;
    m.subSystemId = 0x0110;
    m.bars = {MemBar(0, 16u << 20), PrefetchBar(1, 128u << 20)};
    m.romSize = 64u << 10;
    return m;
}

DeviceModel RTL8139()
{
    DeviceModel m = Base("Realtek RTL8139 Ethernet", 0x10EC, 0x8139, 0x10, 0x020000, kHeaderDevice);
    m.status = 0x0280;
    m.interruptPin = 1;
    m.subVendorId = 0x10EC;
    m.subSystemId = 0x8139;
    m.bars = {IoBar(0, 0x100), MemBar(1, 0x100)};
    return m;
}

DeviceModel FpgaBoard64()
{
    DeviceModel m = Base("Xilinx FPGA board", 0x10EE, 0x0007, 0x00, 0x118000, kHeaderDevice);
    m.interruptPin = 1;
    m.bars = {MemBar(0, 0x1000), Mem64Bar(2, 256u << 20, true)};
    return m;
}

DeviceModel SBLiveAudio()
{
    DeviceModel m = Base("Creative SB Live! audio", 0x1102, 0x0002, 0x07, 0x040100, kHeaderDevice);
    m.multiFunction = true;
    m.status = 0x0280;
    m.interruptPin = 1;
    m.subVendorId = 0x1102;
    m.subSystemId = 0x8027;
    m.bars = {IoBar(0, 0x20)};
    return m;
}

DeviceModel SBLiveGameport()
{
    DeviceModel m = Base("Creative SB Live! gameport", 0x1102, 0x7002, 0x07, 0x098000, kHeaderDevice);
    m.multiFunction = true;
    m.status = 0x0280;
    m.subVendorId = 0x1102;
    m.subSystemId = 0x0020;
    m.bars = {Io16Bar(0, 0x08)};
    return m;
}

} // namespace models
} // namespace sim
