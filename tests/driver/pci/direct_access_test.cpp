// Direct configuration access through the address and data ports: byte and
// word lanes, the address layout, masking of device and function numbers,
// restoring the address port, the one-time port initialisation, and what
// happens when the port cannot be translated.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "core/debug.h"
#include "pci/pci_direct.h"
#include "standin.h"
#include "test_support.h"

namespace {

// A bare configuration mechanism: an address register and, behind it, a
// double word store keyed by (address & ~3) with the enable bit stripped.
class MechanismOne : public standin::PortHandler {
  public:
    explicit MechanismOne(uint16_t base = 0xCF8) : base_(base) {}

    uint32_t PortRead(uint16_t port, int width) override
    {
        if (port == base_ && width == 4)
            return address_;
        if (port >= base_ + 4 && port < base_ + 8) {
            uint32_t dword = Dword(address_);
            unsigned lane = port - (base_ + 4);
            uint32_t v = dword >> (8 * lane);
            return width == 4 ? v : width == 2 ? (v & 0xFFFF) : (v & 0xFF);
        }
        return 0xFFFFFFFF;
    }

    void PortWrite(uint16_t port, int width, uint32_t value) override
    {
        if (port == base_ && width == 4) {
            address_ = value;
            return;
        }
        if (port >= base_ + 4 && port < base_ + 8 && (address_ & 0x80000000)) {
            unsigned lane = port - (base_ + 4);
            uint32_t &d = store_[address_ & 0x7FFFFFFC];
            uint32_t mask = width == 4 ? 0xFFFFFFFF : width == 2 ? 0xFFFF : 0xFF;
            d = (d & ~(mask << (8 * lane))) | ((value & mask) << (8 * lane));
        }
    }

    uint32_t Dword(uint32_t address) const
    {
        if (!(address & 0x80000000))
            return 0xFFFFFFFF;
        auto it = store_.find(address & 0x7FFFFFFC);
        return it == store_.end() ? 0xFFFFFFFF : it->second;
    }

    void Preset(uint8_t bus, uint8_t dev, uint8_t fn, uint8_t off, uint32_t v)
    {
        store_[(uint32_t(bus) << 16) | (uint32_t(dev) << 11) | (uint32_t(fn) << 8) | (off & 0xFC)] = v;
    }

    uint32_t address_ = 0;

  private:
    uint16_t base_;
    std::map<uint32_t, uint32_t> store_;
};

class DirectAccessTest : public testsupport::DriverTest {
  protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        standin::SetPortHandler(&hw_);
        StartTrace();
    }
    void TearDown() override
    {
        standin::SetPortHandler(nullptr);
        DriverTest::TearDown();
    }

    // The accesses the driver made to the data ports (0xCFC..0xCFF).
    std::vector<standin::PortAccess> DataAccesses() const
    {
        std::vector<standin::PortAccess> out;
        for (const auto &a : standin::PortLog())
            if (a.port >= 0xCFC && a.port <= 0xCFF)
                out.push_back(a);
        return out;
    }

    // The configuration addresses written to the address port, in order.
    std::vector<uint32_t> AddressWrites() const
    {
        std::vector<uint32_t> out;
        for (const auto &a : standin::PortLog())
            if (a.write && a.port == 0xCF8)
                out.push_back(a.value);
        return out;
    }

    MechanismOne hw_;
};

TEST_F(DirectAccessTest, ByteReadPicksItsLaneFromTheWholeDoubleWord)
{
    hw_.Preset(2, 3, 1, 0x0C, 0x11223344);
    EXPECT_EQ(PciCfgRead8(2, 3, 1, 0x0C), 0x44u);
    EXPECT_EQ(PciCfgRead8(2, 3, 1, 0x0D), 0x33u);
    EXPECT_EQ(PciCfgRead8(2, 3, 1, 0x0E), 0x22u);
    EXPECT_EQ(PciCfgRead8(2, 3, 1, 0x0F), 0x11u);
    for (const auto &a : DataAccesses()) {
        EXPECT_FALSE(a.write);
        EXPECT_EQ(a.width, 4) << "reads are always 32-bit port reads";
        EXPECT_EQ(a.port, 0xCFC);
    }
}

TEST_F(DirectAccessTest, WordReadIgnoresOffsetBitZero)
{
    hw_.Preset(0, 0, 0, 0x00, 0xAC51104C);
    EXPECT_EQ(PciCfgRead16(0, 0, 0, 0x00), 0x104Cu);
    EXPECT_EQ(PciCfgRead16(0, 0, 0, 0x02), 0xAC51u);
    EXPECT_EQ(PciCfgRead16(0, 0, 0, 0x03), 0xAC51u) << "offset 3 reads the word at 2";
    EXPECT_EQ(PciCfgRead16(0, 0, 0, 0x01), 0x104Cu);
}

TEST_F(DirectAccessTest, DoubleWordAccessIgnoresTheLowOffsetBits)
{
    hw_.Preset(1, 0, 0, 0x04, 0x02100007);
    EXPECT_EQ(PciCfgRead32(1, 0, 0, 0x06), 0x02100007u);
    PciCfgWrite32(1, 0, 0, 0x07, 0x00000006);
    EXPECT_EQ(hw_.Dword(0x80010004), 0x00000006u);
    auto addresses = AddressWrites();
    ASSERT_GE(addresses.size(), 2u);
    EXPECT_EQ(addresses[0], 0x80010004u);
}

TEST_F(DirectAccessTest, ByteWriteGoesToItsOwnPortLaneOnly)
{
    hw_.Preset(4, 0, 0, 0x0C, 0xAABBCCDD);
    PciCfgWrite8(4, 0, 0, 0x0E, 0x5A);
    auto data = DataAccesses();
    ASSERT_EQ(data.size(), 1u);
    EXPECT_TRUE(data[0].write);
    EXPECT_EQ(data[0].port, 0xCFE);
    EXPECT_EQ(data[0].width, 1);
    EXPECT_EQ(data[0].value, 0x5Au);
    EXPECT_EQ(hw_.Dword(0x80040000 | 0x0C), 0xAA5ACCDDu) << "no read-modify-write of the other bytes";
}

TEST_F(DirectAccessTest, WordWriteUsesOffsetBitOneForItsLane)
{
    hw_.Preset(0, 5, 0, 0x00, 0);
    PciCfgWrite16(0, 5, 0, 0x01, 0xBEEF); // the word at 0
    PciCfgWrite16(0, 5, 0, 0x02, 0xCAFE);
    auto data = DataAccesses();
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[0].port, 0xCFC);
    EXPECT_EQ(data[0].width, 2);
    EXPECT_EQ(data[1].port, 0xCFE);
    EXPECT_EQ(data[1].width, 2);
    EXPECT_EQ(hw_.Dword(0x80002800), 0xCAFEBEEFu);
}

struct AddressCase {
    uint8_t bus, dev, fn, off;
    uint32_t address;
};

class AddressLayoutTest : public DirectAccessTest, public ::testing::WithParamInterface<AddressCase> {};

TEST_P(AddressLayoutTest, ConfigurationAddressIsBuiltAndMasked)
{
    const AddressCase &c = GetParam();
    PciCfgRead32(c.bus, c.dev, c.fn, c.off);
    auto addresses = AddressWrites();
    ASSERT_EQ(addresses.size(), 2u) << "select, then restore";
    EXPECT_EQ(addresses[0], c.address) << std::hex << "bus " << int(c.bus) << " dev " << int(c.dev) << " fn "
                                       << int(c.fn) << " off " << int(c.off);
}

INSTANTIATE_TEST_SUITE_P(Layout, AddressLayoutTest,
                         ::testing::Values(AddressCase{0, 0, 0, 0, 0x80000000},
                                           AddressCase{0xFF, 31, 7, 0xFC, 0x80FFFFFC},
                                           AddressCase{3, 0x25, 0, 0x10, 0x80032810}, // device 0x25 -> 5
                                           AddressCase{3, 1, 9, 0x3E, 0x8003093C},    // function 9 -> 1
                                           AddressCase{0x12, 0, 0, 0x1B, 0x80120018}));

TEST_F(DirectAccessTest, AddressPortGetsBackWhatItHeldBefore)
{
    for (uint32_t before : {0x00000000u, 0x12345678u, 0x8000F8ACu}) {
        hw_.address_ = before;
        PciCfgRead8(1, 2, 3, 0x40);
        EXPECT_EQ(hw_.address_, before);
        PciCfgWrite16(1, 2, 3, 0x40, 0x1234);
        EXPECT_EQ(hw_.address_, before);
        PciCfgWrite8(1, 2, 3, 0x41, 0x12);
        EXPECT_EQ(hw_.address_, before) << std::hex << before;
    }
}

TEST_F(DirectAccessTest, EachAccessReadsTheOldAddressBeforeSelecting)
{
    PciCfgWrite32(0, 1, 0, 0x10, 0xFFFFFFFF);
    const auto &log = standin::PortLog();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_FALSE(log[0].write);
    EXPECT_EQ(log[0].port, 0xCF8);
    EXPECT_TRUE(log[1].write);
    EXPECT_EQ(log[1].port, 0xCF8);
    EXPECT_TRUE(log[2].write);
    EXPECT_EQ(log[2].port, 0xCFC);
    EXPECT_TRUE(log[3].write);
    EXPECT_EQ(log[3].port, 0xCF8);
}

TEST_F(DirectAccessTest, PortsAreTranslatedOnceAndAnnouncedOnce)
{
    PciCfgRead32(0, 0, 0, 0);
    PciCfgWrite8(0, 0, 0, 4, 1);
    PciCfgRead16(0, 0, 0, 2);
    auto lines = testsupport::TraceLines();
    EXPECT_EQ(testsupport::CountContaining(lines, "Initializing PCI configuration registers"), 1u);
    EXPECT_EQ(lines.size(), 1u);
    EXPECT_EQ(standin::TranslateCalls(), 1u);
}

TEST_F(DirectAccessTest, TranslatedPortAddressIsUsedForBothPorts)
{
    MechanismOne moved(0x1CF8);
    standin::SetPortHandler(&moved);
    standin::SetTranslateOffset(0x1000);
    moved.Preset(0, 2, 0, 0, 0x12345678);
    EXPECT_EQ(PciCfgRead32(0, 2, 0, 0), 0x12345678u);
    for (const auto &a : standin::PortLog())
        EXPECT_TRUE(a.port == 0x1CF8 || a.port == 0x1CFC) << std::hex << a.port;
    standin::SetPortHandler(&hw_);
}

TEST_F(DirectAccessTest, FailedTranslationNeverTouchesAPortAndRetriesEachTime)
{
    standin::SetTranslateFails(true);
    hw_.Preset(0, 0, 0, 0, 0x12345678);
    EXPECT_EQ(PciCfgRead32(0, 0, 0, 0), 0xFFFFFFFFu);
    EXPECT_EQ(PciCfgRead16(0, 0, 0, 0), 0xFFFFu);
    EXPECT_EQ(PciCfgRead8(0, 0, 0, 0), 0xFFu);
    PciCfgWrite32(0, 0, 0, 0, 0);
    EXPECT_TRUE(standin::PortLog().empty());
    EXPECT_EQ(testsupport::CountContaining(testsupport::TraceLines(), "Initializing PCI configuration registers"),
              4u);

    // Once the translation works, the next access succeeds and sticks.
    standin::SetTranslateFails(false);
    EXPECT_EQ(PciCfgRead32(0, 0, 0, 0), 0x12345678u);
    EXPECT_EQ(PciCfgRead32(0, 0, 0, 0), 0x12345678u);
    EXPECT_EQ(testsupport::CountContaining(testsupport::TraceLines(), "Initializing PCI configuration registers"),
              5u);
}

TEST_F(DirectAccessTest, InitPortsDoesNothingOnceTranslated)
{
    PciCfgInitPorts(0xCF8);
    PciCfgInitPorts(0xCF8);
    EXPECT_EQ(standin::TranslateCalls(), 1u);
}

TEST_F(DirectAccessTest, AccessesRunAtDispatchLevelAndReturnToTheCallersLevel)
{
    EXPECT_EQ(standin::CurrentIrql(), PASSIVE_LEVEL);
    PciCfgRead32(0, 0, 0, 0);
    EXPECT_EQ(standin::CurrentIrql(), PASSIVE_LEVEL);
    standin::SetIrql(DISPATCH_LEVEL);
    PciCfgWrite8(0, 0, 0, 0x0C, 0x10);
    EXPECT_EQ(standin::CurrentIrql(), DISPATCH_LEVEL) << "usable from completion routines";
    standin::SetIrql(PASSIVE_LEVEL);
}

} // namespace
