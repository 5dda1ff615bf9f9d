// Configuration space of one simulated function: BAR sizing, read-only
// identity, write masks, write-1-to-clear, bridge layouts, vendor registers,
// the write log and the resets.
#include <gtest/gtest.h>

#include "pci_devices.h"
#include "pci_function.h"

using namespace sim;

namespace {

// ------------------------------------------------------------ BAR sizing

struct BarRow {
    const char *name;
    BarDef bar;
    uint8_t offset;
    uint32_t lowReadback;  // after writing all ones to the register
    uint32_t highReadback; // same for the next register (upper half of a 64-bit BAR)
    uint64_t size;         // what a prober computes from the readback
};

class BarSizing : public ::testing::TestWithParam<BarRow> {};

// The size a prober derives from the all-ones readback: widen a 16-bit I/O
// decoder, strip the flag bits, two's complement; 64-bit BARs use both halves.
uint64_t SizeFromReadback(uint32_t low, uint32_t high, bool is64)
{
    if (low & 1) {
        uint32_t mask = (low & 0xFFFF0000) ? low : (low | 0xFFFF0000);
        return static_cast<uint32_t>(~(mask & ~3u) + 1);
    }
    uint64_t mask = static_cast<uint64_t>(low & ~0xFu) | (is64 ? static_cast<uint64_t>(high) << 32 : 0xFFFFFFFF00000000ull);
    return ~mask + 1;
}

TEST_P(BarSizing, AllOnesWriteReadsBackSizeMask)
{
    const BarRow &row = GetParam();
    DeviceModel model = models::Generic(0x1234, 0x5678, 0x118000, {row.bar});
    PciFunction f(model);
    uint8_t high = static_cast<uint8_t>(row.offset + 4);
    bool is64 = row.bar.kind == BarKind::Mem64;

    uint32_t saved = f.ConfigRead(row.offset, 4);
    f.ConfigWrite(row.offset, 4, 0xFFFFFFFF);
    uint32_t low = f.ConfigRead(row.offset, 4);
    EXPECT_EQ(low, row.lowReadback) << row.name << " low dword";
    if (is64) {
        f.ConfigWrite(high, 4, 0xFFFFFFFF);
        EXPECT_EQ(f.ConfigRead(high, 4), row.highReadback) << row.name << " high dword";
    }
    EXPECT_EQ(SizeFromReadback(low, is64 ? f.ConfigRead(high, 4) : 0, is64), row.size) << row.name;

    f.ConfigWrite(row.offset, 4, saved);
    EXPECT_EQ(f.ConfigRead(row.offset, 4), saved) << row.name << " restored";
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, BarSizing,
    ::testing::Values(BarRow{"io32_256", IoBar(0, 0x100), 0x10, 0xFFFFFF01, 0, 0x100},
                      BarRow{"io16_32", Io16Bar(0, 0x20), 0x10, 0x0000FFE1, 0, 0x20},
                      BarRow{"io16_8_bar5", Io16Bar(5, 0x08), 0x24, 0x0000FFF9, 0, 0x08},
                      BarRow{"mem32_16M", MemBar(0, 16u << 20), 0x10, 0xFF000000, 0, 16u << 20},
                      BarRow{"mem32_256", MemBar(1, 0x100), 0x14, 0xFFFFFF00, 0, 0x100},
                      BarRow{"pref32_128M", PrefetchBar(1, 128u << 20), 0x14, 0xF8000008, 0, 128u << 20},
                      BarRow{"mem64_8K", Mem64Bar(0, 0x2000, false), 0x10, 0xFFFFE004, 0xFFFFFFFF, 0x2000},
                      BarRow{"pref64_256M", Mem64Bar(2, 256u << 20, true), 0x18, 0xF000000C, 0xFFFFFFFF, 256u << 20},
                      BarRow{"pref64_8G", Mem64Bar(4, 8ull << 30, true), 0x20, 0x0000000C, 0xFFFFFFFE, 8ull << 30}),
    [](const ::testing::TestParamInfo<BarRow> &info) { return std::string(info.param.name); });

TEST(PciFunction, UnimplementedBarsReadZeroAndIgnoreWrites)
{
    PciFunction f(models::RTL8139()); // BAR0 I/O, BAR1 memory, BAR2..5 absent
    for (uint8_t offset = 0x18; offset <= 0x24; offset += 4) {
        f.ConfigWrite(offset, 4, 0xFFFFFFFF);
        EXPECT_EQ(f.ConfigRead(offset, 4), 0u) << "BAR at 0x" << std::hex << int(offset);
    }
}

TEST(PciFunction, BarKeepsAddressBitsAboveItsSize)
{
    PciFunction f(models::GeForce2MX());
    f.ConfigWrite(0x10, 4, 0xE1234567);
    EXPECT_EQ(f.ConfigRead(0x10, 4), 0xE1000000u) << "16 MB BAR";
    f.ConfigWrite(0x14, 4, 0xD7FFFFFF);
    EXPECT_EQ(f.ConfigRead(0x14, 4), 0xD0000008u) << "128 MB prefetchable BAR";
}

TEST(PciFunction, ExpansionRomSizesWithEnableBit)
{
    PciFunction f(models::GeForce2MX()); // 64 KB ROM
    f.ConfigWrite(0x30, 4, 0xFFFFFFFF);
    EXPECT_EQ(f.ConfigRead(0x30, 4), 0xFFFF0001u);
}

// ------------------------------------------------- identity and masks

struct ReadOnlyRow {
    const char *name;
    uint8_t offset;
    int width;
};

class ReadOnlyIdentity : public ::testing::TestWithParam<ReadOnlyRow> {};

TEST_P(ReadOnlyIdentity, WritesChangeNothing)
{
    const ReadOnlyRow &row = GetParam();
    PciFunction f(models::RTL8139());
    uint32_t before = f.ConfigRead(row.offset, row.width);
    f.ConfigWrite(row.offset, row.width, ~before);
    EXPECT_EQ(f.ConfigRead(row.offset, row.width), before) << row.name;
}

INSTANTIATE_TEST_SUITE_P(Registers, ReadOnlyIdentity,
                         ::testing::Values(ReadOnlyRow{"vendor", 0x00, 2}, ReadOnlyRow{"device", 0x02, 2},
                                           ReadOnlyRow{"ids", 0x00, 4}, ReadOnlyRow{"revision_class", 0x08, 4},
                                           ReadOnlyRow{"header_type", 0x0E, 1}, ReadOnlyRow{"bist", 0x0F, 1},
                                           ReadOnlyRow{"subsystem", 0x2C, 4}, ReadOnlyRow{"capabilities", 0x34, 1},
                                           ReadOnlyRow{"interrupt_pin", 0x3D, 1}, ReadOnlyRow{"vendor_area", 0x80, 4}),
                         [](const ::testing::TestParamInfo<ReadOnlyRow> &info) { return std::string(info.param.name); });

TEST(PciFunction, IdentityComesFromTheModel)
{
    PciFunction f(models::RTL8139());
    EXPECT_EQ(f.ConfigRead(0x00, 4), 0x813910ECu);
    EXPECT_EQ(f.ConfigRead(0x08, 4), 0x02000010u) << "class 02 00 00, revision 0x10";
    EXPECT_EQ(f.ConfigRead(0x2C, 4), 0x813910ECu) << "subsystem ids";
    EXPECT_EQ(f.ConfigRead(0x3D, 1), 1u) << "INTA";
}

TEST(PciFunction, HeaderTypeCarriesLayoutAndMultiFunctionBit)
{
    EXPECT_EQ(PciFunction(models::GeForce2MX()).ConfigRead(0x0E, 1), 0x00u);
    EXPECT_EQ(PciFunction(models::DEC21154()).ConfigRead(0x0E, 1), 0x01u);
    EXPECT_EQ(PciFunction(models::O2MicroOZ711()).ConfigRead(0x0E, 1), 0x02u);
    EXPECT_EQ(PciFunction(models::TI1420()).ConfigRead(0x0E, 1), 0x82u);
    EXPECT_EQ(PciFunction(models::SBLiveAudio()).ConfigRead(0x0E, 1), 0x80u);
}

TEST(PciFunction, CommandAndTimersAreWritableThroughTheirMasks)
{
    PciFunction f(models::RTL8139());
    f.ConfigWrite(0x04, 2, 0xFFFF);
    EXPECT_EQ(f.ConfigRead(0x04, 2), 0x0557u) << "command";
    f.ConfigWrite(0x04, 2, 0x0007);
    EXPECT_EQ(f.ConfigRead(0x04, 2), 0x0007u);
    f.ConfigWrite(0x0C, 2, 0xF810);
    EXPECT_EQ(f.ConfigRead(0x0C, 1), 0x10u) << "cache line size";
    EXPECT_EQ(f.ConfigRead(0x0D, 1), 0xF8u) << "latency timer";
    f.ConfigWrite(0x3C, 1, 0x0B);
    EXPECT_EQ(f.ConfigRead(0x3C, 1), 0x0Bu) << "interrupt line";
}

TEST(PciFunction, StatusErrorBitsClearOnWriteOfOne)
{
    PciFunction f(models::RTL8139()); // status resets to 0x0280
    f.Poke16(0x06, 0x0280 | kStatusErrorBits);
    f.ConfigWrite(0x06, 2, 0x0000);
    EXPECT_EQ(f.ConfigRead(0x06, 2), 0xFB80u) << "writing 0 clears nothing";
    f.ConfigWrite(0x06, 2, 0x2100);
    EXPECT_EQ(f.ConfigRead(0x06, 2), 0xDA80u) << "bits 8 and 13 cleared";
    f.ConfigWrite(0x06, 2, 0xFFFF);
    EXPECT_EQ(f.ConfigRead(0x06, 2), 0x0280u) << "read-only bits stay";
}

TEST(PciFunction, DwordWriteAtCommandClearsStatusErrorsAlongside)
{
    PciFunction f(models::RTL8139());
    f.Poke16(0x06, 0x0280 | 0x2000);
    f.ConfigWrite(0x04, 4, 0x20000007);
    EXPECT_EQ(f.ConfigRead(0x04, 4), 0x02800007u);
}

// ------------------------------------------------------------- bridges

TEST(PciBridge, BusNumbersAndLatencyAreWritable)
{
    PciFunction f(models::DEC21154());
    f.ConfigWrite(0x18, 4, 0x40050403);
    EXPECT_EQ(f.ConfigRead(0x18, 4), 0x40050403u);
    EXPECT_EQ(f.PrimaryBus(), 3);
    EXPECT_EQ(f.SecondaryBus(), 4);
    EXPECT_EQ(f.SubordinateBus(), 5);
}

TEST(PciBridge, WindowsKeepTheirCapabilityBits)
{
    PciFunction wide(models::DEC21154()); // 32-bit I/O, 64-bit prefetchable
    PciFunction narrow(models::TIPCI2250()); // 16-bit I/O, 32-bit prefetchable
    for (PciFunction *f : {&wide, &narrow}) {
        for (uint8_t offset = 0x1C; offset < 0x34; offset += 4)
            f->ConfigWrite(offset, 4, 0xFFFFFFFF);
        f->ConfigWrite(0x30, 4, 0xFFFFFFFF);
    }
    EXPECT_EQ(wide.ConfigRead(0x1C, 2), 0xF1F1u) << "I/O base/limit";
    EXPECT_EQ(wide.ConfigRead(0x20, 4), 0xFFF0FFF0u) << "memory base/limit";
    EXPECT_EQ(wide.ConfigRead(0x24, 4), 0xFFF1FFF1u) << "prefetchable base/limit";
    EXPECT_EQ(wide.ConfigRead(0x28, 4), 0xFFFFFFFFu) << "prefetchable base upper";
    EXPECT_EQ(wide.ConfigRead(0x30, 4), 0xFFFFFFFFu) << "I/O upper halves";
    EXPECT_EQ(narrow.ConfigRead(0x1C, 2), 0xF0F0u);
    EXPECT_EQ(narrow.ConfigRead(0x24, 4), 0xFFF0FFF0u);
    EXPECT_EQ(narrow.ConfigRead(0x28, 4), 0u) << "no upper prefetchable dword";
    EXPECT_EQ(narrow.ConfigRead(0x30, 4), 0u) << "no upper I/O halves";
}

TEST(PciBridge, BridgeControlIsWritableWithDiscardStatusClearedByOne)
{
    PciFunction f(models::DEC21154());
    f.ConfigWrite(0x3E, 2, 0x0008);
    EXPECT_EQ(f.ConfigRead(0x3E, 2), 0x0008u) << "VGA enable";
    f.Poke16(0x3E, 0x0408);
    f.ConfigWrite(0x3E, 2, 0x0000);
    EXPECT_EQ(f.ConfigRead(0x3E, 2), 0x0400u) << "discard status survives 0";
    f.ConfigWrite(0x3E, 2, 0xFFFF);
    EXPECT_EQ(f.ConfigRead(0x3E, 2), 0x0BFFu);
}

TEST(PciBridge, SecondaryStatusErrorBitsClearOnWriteOfOne)
{
    PciFunction f(models::DEC21154());
    f.Poke16(0x1E, 0x0280 | 0x8000);
    f.ConfigWrite(0x1E, 2, 0x8000);
    EXPECT_EQ(f.ConfigRead(0x1E, 2), 0x0280u);
}

TEST(CardBusBridge, HeaderRegistersFollowTheCardBusLayout)
{
    PciFunction f(models::TI1420());
    f.ConfigWrite(0x10, 4, 0xFFFFFFFF);
    EXPECT_EQ(f.ConfigRead(0x10, 4), 0xFFFFF000u) << "socket registers: 4 KB";
    f.ConfigWrite(0x18, 4, 0xF8060500);
    EXPECT_EQ(f.ConfigRead(0x18, 4), 0xF8060500u) << "bus numbers and CardBus latency";
    f.ConfigWrite(0x1C, 4, 0x12345678);
    EXPECT_EQ(f.ConfigRead(0x1C, 4), 0x12345000u) << "memory base 0";
    f.ConfigWrite(0x2C, 4, 0x0000FFFF);
    EXPECT_EQ(f.ConfigRead(0x2C, 4), 0x0000FFFCu) << "I/O base 0";
    f.ConfigWrite(0x3C, 2, 0xFF0A);
    EXPECT_EQ(f.ConfigRead(0x3C, 2), 0x010Au) << "line writable, pin read-only";
    EXPECT_EQ(f.ConfigRead(0x3E, 2), 0x0340u) << "bridge control reset";
    f.ConfigWrite(0x3E, 2, 0x0340 | 0x0600);
    EXPECT_EQ(f.ConfigRead(0x3E, 2), 0x0740u);
}

// ------------------------------------------------------ vendor registers

TEST(VendorRegisters, TiSystemControlAndByteRegisters)
{
    PciFunction ti1420(models::TI1420());
    EXPECT_EQ(ti1420.ConfigRead(0x80, 4), 0x08449060u) << "system control reset";
    ti1420.ConfigWrite(0x80, 4, ti1420.ConfigRead(0x80, 4) | 0xC000);
    EXPECT_EQ(ti1420.ConfigRead(0x80, 4), 0x0844D060u);
    ti1420.ConfigWrite(0x8C, 2, 0xCD22);
    ti1420.ConfigWrite(0x8E, 2, 0x0ECB);
    ti1420.ConfigWrite(0x92, 2, 0x6166);
    EXPECT_EQ(ti1420.ConfigRead(0x8C, 4), 0x0ECBCD22u);
    EXPECT_EQ(ti1420.ConfigRead(0x90, 4), 0x616600C0u);

    PciFunction ti1131(models::TI1131());
    ti1131.ConfigWrite(0x8C, 1, 0xC7);
    ti1131.ConfigWrite(0x8D, 1, 0xD1);
    ti1131.ConfigWrite(0x8E, 1, 0x07);
    EXPECT_EQ(ti1131.ConfigRead(0x8C, 4), 0x0007D1C7u);
}

TEST(VendorRegisters, ToshibaBytesAreWritable)
{
    PciFunction f(models::ToshibaToPIC());
    EXPECT_EQ(f.ConfigRead(0xB6, 1), 0x04u);
    f.ConfigWrite(0xAF, 1, 0x01);
    f.ConfigWrite(0xB6, 1, 0x00);
    EXPECT_EQ(f.ConfigRead(0xAF, 1), 0x01u);
    EXPECT_EQ(f.ConfigRead(0xB6, 1), 0x00u);
}

TEST(VendorRegisters, DefineRegisterOverridesValueAndMasks)
{
    PciFunction f(models::GeForce2MX());
    f.DefineRegister(0x40, 2, 0x1234, 0x00FF);
    EXPECT_EQ(f.ConfigRead(0x40, 2), 0x1234u);
    f.ConfigWrite(0x40, 2, 0xFFFF);
    EXPECT_EQ(f.ConfigRead(0x40, 2), 0x12FFu);
    EXPECT_EQ(f.ResetValue(0x40, 2), 0x1234u);
    EXPECT_EQ(f.WriteMask(0x40, 2), 0x00FFu);
    f.DefineRegister(RegisterDef{0x50, 1, 0x81, 0x00, 0x80});
    f.ConfigWrite(0x50, 1, 0xFF);
    EXPECT_EQ(f.ConfigRead(0x50, 1), 0x01u) << "defined write-1-to-clear bit";
}

// ------------------------------------------------ hardware view, log, resets

TEST(PciFunction, PokeBypassesMasksAndLog)
{
    PciFunction f(models::RTL8139());
    f.Poke32(0x00, 0xDEADBEEF);
    EXPECT_EQ(f.ConfigRead(0x00, 4), 0xDEADBEEFu);
    EXPECT_EQ(f.Peek16(0x02), 0xDEADu);
    EXPECT_EQ(f.Peek8(0x01), 0xBEu);
    EXPECT_TRUE(f.WriteLog().empty()) << "pokes are not bus writes";
}

TEST(PciFunction, WriteLogKeepsOrderWidthAndUnmaskedValue)
{
    PciFunction f(models::TI1420());
    f.ConfigWrite(0x8C, 2, 0xCD22);
    f.ConfigWrite(0x00, 4, 0xFFFFFFFF);
    f.ConfigWrite(0x93, 1, 0x61);
    std::vector<PciFunction::WriteRecord> expected = {{0x8C, 2, 0xCD22}, {0x00, 4, 0xFFFFFFFF}, {0x93, 1, 0x61}};
    EXPECT_EQ(f.WriteLog(), expected);
    EXPECT_EQ(f.WritesTo(0x8D).size(), 1u) << "a byte inside a word write";
    EXPECT_EQ(f.WritesTo(0x90, 4).size(), 1u);
    EXPECT_EQ(f.WriteCount(), 3u);
    f.ClearWriteLog();
    EXPECT_TRUE(f.WriteLog().empty());
}

TEST(PciFunction, ResetVolatileStateKeepsBarsAndBusNumbers)
{
    PciFunction f(models::TI1420());
    f.ConfigWrite(0x04, 2, 0x0007);
    f.ConfigWrite(0x0C, 2, 0xF810);
    f.ConfigWrite(0x10, 4, 0xE0000000);
    f.ConfigWrite(0x18, 4, 0xF8050400);
    f.ConfigWrite(0x3E, 2, 0x0740);
    f.ConfigWrite(0x80, 4, 0x0844F060);
    f.ResetVolatileState();
    EXPECT_EQ(f.ConfigRead(0x04, 2), 0u) << "command";
    EXPECT_EQ(f.ConfigRead(0x0C, 2), 0u) << "cache line, latency";
    EXPECT_EQ(f.ConfigRead(0x1B, 1), 0u) << "CardBus latency";
    EXPECT_EQ(f.ConfigRead(0x3E, 2), 0x0340u) << "bridge control";
    EXPECT_EQ(f.ConfigRead(0x80, 4), 0x08449060u) << "system control";
    EXPECT_EQ(f.ConfigRead(0x10, 4), 0xE0000000u) << "socket BAR kept";
    EXPECT_EQ(f.ConfigRead(0x18, 3), 0x050400u) << "bus numbers kept";
    f.Reset();
    EXPECT_EQ(f.ConfigRead(0x18, 4), 0u) << "power-on reset clears bus numbers";
    EXPECT_EQ(f.ConfigRead(0x10, 4), 0u);
}

TEST(PciFunction, BadModelsAreRejected)
{
    EXPECT_THROW(PciFunction(models::Generic(1, 2, 0, {MemBar(6, 0x100)})), std::invalid_argument);
    EXPECT_THROW(PciFunction(models::Generic(1, 2, 0, {Mem64Bar(5, 0x100, false)})), std::invalid_argument);
    EXPECT_THROW(PciFunction(models::Generic(1, 2, 0, {MemBar(0, 0x300)})), std::invalid_argument);
    DeviceModel bridge = models::DEC21154();
    bridge.bars = {MemBar(2, 0x1000)};
    EXPECT_THROW(PciFunction{bridge}, std::invalid_argument);
}

} // namespace
