// Direct configuration access through the address and data ports: lanes, the address layout and
// its restoring, the one-time port translation, and a port that cannot be translated.
#include <gtest/gtest.h>

#include <string>

#include "core/debug.h"
#include "pci/pci_direct.h"
#include "pci_machine.h"
#include "standin.h"
#include "test_support.h"

namespace {

class DirectAccessTest : public testsupport::DriverTest {
  protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        // A function with a writable double word at 0x40 and 0x44.
        fn_ = machine_.AddFunction(machine_.Root(), 3, 0, sim::models::RTL8139());
        fn_->DefineRegister(0x40, 4, 0x11223344, 0xFFFFFFFF);
        fn_->DefineRegister(0x44, 4, 0xAABBCCDD, 0xFFFFFFFF);
        machine_.Install();
        StartTrace();
    }
    void TearDown() override
    {
        machine_.Uninstall();
        DriverTest::TearDown();
    }
    // (port, width, write) of every access to the data ports.
    static std::vector<std::vector<int>> DataAccesses()
    {
        std::vector<std::vector<int>> out;
        for (const auto &a : standin::PortLog())
            if (a.port >= 0xCFC && a.port <= 0xCFF)
                out.push_back({a.port, a.width, a.write ? 1 : 0});
        return out;
    }
    sim::PciMachine machine_;
    sim::PciFunction *fn_ = nullptr;
};

// Reads are whole double words the lane is picked from; writes use the port lane and width of
// the value, without a read-modify-write.
TEST_F(DirectAccessTest, LanesAndWidths)
{
    EXPECT_EQ((std::vector<ULONG>{PciCfgRead8(0, 3, 0, 0x40), PciCfgRead8(0, 3, 0, 0x41), PciCfgRead8(0, 3, 0, 0x42),
                                  PciCfgRead8(0, 3, 0, 0x43), PciCfgRead16(0, 3, 0, 0x41), PciCfgRead16(0, 3, 0, 0x43),
                                  PciCfgRead32(0, 3, 0, 0x42)}),
              (std::vector<ULONG>{0x44, 0x33, 0x22, 0x11, 0x3344, 0x1122, 0x11223344}))
        << "offset bit 0 of a word and bits 0-1 of a double word are ignored";
    EXPECT_EQ(DataAccesses(), std::vector<std::vector<int>>(7, {0xCFC, 4, 0}));

    standin::ClearPortLog();
    PciCfgWrite8(0, 3, 0, 0x42, 0x5A), PciCfgWrite16(0, 3, 0, 0x41, 0xBEEF), PciCfgWrite32(0, 3, 0, 0x47, 6); // 0x41: the word at 0x40
    EXPECT_EQ(DataAccesses(), (std::vector<std::vector<int>>{{0xCFE, 1, 1}, {0xCFC, 2, 1}, {0xCFC, 4, 1}}));
    EXPECT_EQ((std::vector<ULONG>{fn_->Peek32(0x40), fn_->Peek32(0x44)}), (std::vector<ULONG>{0x115ABEEF, 6}));
    PciCfgWrite16(0, 3, 0, 0x42, 0xCAFE);
    EXPECT_EQ(fn_->Peek32(0x40), 0xCAFEBEEFu);
    EXPECT_EQ(standin::CurrentIrql(), PASSIVE_LEVEL);
    standin::SetIrql(DISPATCH_LEVEL);
    PciCfgWrite8(0, 0, 0, 0x0C, 0x10);
    EXPECT_EQ(standin::CurrentIrql(), DISPATCH_LEVEL) << "back at the caller's level: usable from completion routines";
    standin::SetIrql(PASSIVE_LEVEL);
}

// Device and function numbers are masked to their fields; the address port is read first and
// gets back whatever it held.
TEST_F(DirectAccessTest, AddressIsBuiltMaskedAndRestored)
{
    const struct { uint8_t bus, dev, fn, off; uint32_t address; }
        rows[] = {{0, 0, 0, 0, 0x80000000},    {0xFF, 31, 7, 0xFC, 0x80FFFFFC}, {3, 0x25, 0, 0x10, 0x80032810},
                {3, 1, 9, 0x3E, 0x8003093C}, {0x12, 0, 0, 0x1B, 0x80120018}};
    for (const auto &r : rows) {
        machine_.SetAddressRegister(0x8000F8AC);
        standin::ClearPortLog();
        PciCfgWrite8(r.bus, r.dev, r.fn, r.off, 0x12);
        const auto &log = standin::PortLog();
        ASSERT_EQ(log.size(), 4u);
        EXPECT_TRUE(!log[0].write && log[0].port == 0xCF8) << "the old address is read first";
        EXPECT_EQ(log[1].value, r.address) << std::hex << int(r.bus) << ":" << int(r.dev) << ":" << int(r.fn);
        EXPECT_TRUE(log[3].write && log[3].port == 0xCF8);
        EXPECT_EQ(machine_.AddressRegister(), 0x8000F8ACu) << "the address port gets back what it held";
    }
}

// The ports are translated (and announced) once; the translated address is used for both ports.
TEST_F(DirectAccessTest, PortsAreTranslatedOnce)
{
    standin::SetTranslateOffset(0x1000);
    PciCfgRead32(0, 3, 0, 0);
    PciCfgWrite8(0, 3, 0, 0x40, 1);
    PciCfgInitPorts(0xCF8);
    std::vector<int> ports;
    for (const auto &a : standin::PortLog())
        ports.push_back(a.port);
    EXPECT_EQ(ports, (std::vector<int>{0x1CF8, 0x1CF8, 0x1CFC, 0x1CF8, 0x1CF8, 0x1CF8, 0x1CFC, 0x1CF8}));
    EXPECT_EQ(standin::TranslateCalls(), 1u);
    EXPECT_EQ(testsupport::TraceLines(), std::vector<std::string>{"Initializing PCI configuration registers"});
}

// A failed translation: reads give all ones, writes are dropped, no port is touched, and every
// access tries again.
TEST_F(DirectAccessTest, FailedTranslationNeverTouchesAPortAndRetriesEachTime)
{
    standin::SetTranslateFails(true);
    EXPECT_EQ((std::vector<ULONG>{PciCfgRead32(0, 3, 0, 0x40), PciCfgRead16(0, 3, 0, 0x40), PciCfgRead8(0, 3, 0, 0x40)}),
              (std::vector<ULONG>{0xFFFFFFFF, 0xFFFF, 0xFF}));
    PciCfgWrite32(0, 3, 0, 0x40, 0), PciCfgWrite16(0, 3, 0, 0x40, 0), PciCfgWrite8(0, 3, 0, 0x40, 0);
    EXPECT_TRUE(standin::PortLog().empty());
    EXPECT_EQ(standin::TranslateCalls(), 6u);

    standin::SetTranslateFails(false);
    EXPECT_EQ((std::vector<ULONG>{PciCfgRead32(0, 3, 0, 0x40), PciCfgRead32(0, 3, 0, 0x40)}), std::vector<ULONG>(2, 0x11223344));
    EXPECT_EQ(standin::TranslateCalls(), 7u);
}

} // namespace
