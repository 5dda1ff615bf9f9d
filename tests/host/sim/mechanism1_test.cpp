// Configuration mechanism #1 on the stand-in's ports, as the driver's direct
// configuration access uses it: only a double-word access reaches the address
// register, the enable bit gates every cycle, and each data port byte lane
// carries its own byte.
#include <gtest/gtest.h>

#include "pci_machine.h"
#include "test_support.h"
#include "tolmu_platform.h"

using namespace sim;

namespace {

template <typename T> T *Port(uint16_t port) { return reinterpret_cast<T *>(static_cast<ULONG_PTR>(port)); }

uint32_t Read(uint16_t port, int width)
{
    return width == 1 ? READ_PORT_UCHAR(Port<UCHAR>(port))
           : width == 2 ? READ_PORT_USHORT(Port<USHORT>(port))
                        : READ_PORT_ULONG(Port<ULONG>(port));
}

// Bus 0: a TI1420 at 00:03.0; behind it, on bus 1, a DEC 21154.
class Mechanism1 : public testsupport::DriverTest {
  protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        m.SetBusNumbers(cb, 0, 1, 1);
        m.Install();
    }
    void Select(uint8_t bus, uint8_t dev, uint8_t fn, uint8_t offset)
    {
        WRITE_PORT_ULONG(Port<ULONG>(0xCF8), ConfigAddress(bus, dev, fn, offset));
    }
    PciMachine m;
    PciFunction *cb = m.AddFunction(m.Root(), 3, 0, models::TI1420());
    PciFunction *p2p = m.AddFunction(m.SecondarySegment(cb), 0, 0, models::DEC21154());
};

TEST_F(Mechanism1, OnlyDoubleWordsReachTheAddressRegisterAndItsEnableBitGatesCycles)
{
    WRITE_PORT_ULONG(Port<ULONG>(0xCF8), 0x80001800);
    WRITE_PORT_UCHAR(Port<UCHAR>(0xCF8), 0x44);
    WRITE_PORT_USHORT(Port<USHORT>(0xCFA), 0x1234);
    EXPECT_EQ(Read(0xCF8, 4), 0x80001800u);
    EXPECT_EQ(Read(0xCF8, 1), 0xFFu);
    WRITE_PORT_ULONG(Port<ULONG>(0xCF8), ConfigAddress(0, 3, 0, 0x3C) & 0x7FFFFFFF);
    EXPECT_EQ(Read(0xCFC, 4), 0xFFFFFFFFu);
    WRITE_PORT_UCHAR(Port<UCHAR>(0xCFC), 0x0B);
    EXPECT_EQ(cb->Peek8(0x3C), 0u);
    EXPECT_EQ(m.ConfigCycles(), 0u) << "no cycle without the enable bit";
}

TEST_F(Mechanism1, EachDataPortLaneCarriesItsOwnByte)
{
    const struct {
        uint16_t port;
        int width;
        uint32_t value; // of the double word 0xAC51104C at 00:03.0 offset 0
    } reads[] = {{0xCFC, 1, 0x4C}, {0xCFD, 1, 0x10}, {0xCFF, 1, 0xAC}, {0xCFE, 2, 0xAC51}, {0xCFF, 2, 0xFFAC},
                 {0xCFC, 4, 0xAC51104C}};
    Select(0, 3, 0, 0x02); // offset bits 1..0 are no part of the address
    for (const auto &r : reads)
        EXPECT_EQ(Read(r.port, r.width), r.value) << std::hex << r.port << " width " << r.width;
    p2p->Poke16(0x18, 0x0201);
    Select(1, 0, 0, 0x18);
    WRITE_PORT_UCHAR(Port<UCHAR>(0xCFE), 0x07);
    EXPECT_EQ(p2p->Peek32(0x18), 0x00070201u);
    WRITE_PORT_USHORT(Port<USHORT>(0xCFE), 0xF805);
    EXPECT_EQ(p2p->Peek32(0x18), 0xF8050201u);
    EXPECT_EQ(p2p->WriteLog(), (std::vector<PciFunction::WriteRecord>{{0x1A, 1, 0x07}, {0x1A, 2, 0xF805}}));
    Select(2, 0, 0, 0x00);
    EXPECT_EQ(Read(0xCFC, 4), 0xFFFFFFFFu) << "a bus no bridge routes";
}

} // namespace
