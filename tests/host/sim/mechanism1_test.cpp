// Configuration mechanism #1 on the stand-in's ports: the address register,
// the enable bit and the byte lanes of the data port.
#include <gtest/gtest.h>

#include "pci_machine.h"
#include "test_support.h"
#include "tolmu_platform.h"

using namespace sim;

namespace {

PULONG Port32(uint16_t port) { return reinterpret_cast<PULONG>(static_cast<ULONG_PTR>(port)); }
PUSHORT Port16(uint16_t port) { return reinterpret_cast<PUSHORT>(static_cast<ULONG_PTR>(port)); }
PUCHAR Port8(uint16_t port) { return reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(port)); }

// Bus 0: a TI1420 at 00:03.0; behind it (bus 1 once numbered) a DEC 21154.
class Mechanism1 : public testsupport::DriverTest {
  protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        cb = m.AddFunction(m.Root(), 3, 0, models::TI1420());
        p2p = m.AddFunction(m.SecondarySegment(cb), 0, 0, models::DEC21154());
        m.SetBusNumbers(cb, 0, 1, 1);
        m.Install();
    }
    void Select(uint8_t bus, uint8_t dev, uint8_t fn, uint8_t offset)
    {
        WRITE_PORT_ULONG(Port32(0xCF8), ConfigAddress(bus, dev, fn, offset));
    }

    PciMachine m;
    PciFunction *cb = nullptr;
    PciFunction *p2p = nullptr;
};

TEST_F(Mechanism1, AddressRegisterReadsBackAsWritten)
{
    for (ULONG value : {0x80001808u, 0x00001808u, 0x12345678u, 0u}) {
        WRITE_PORT_ULONG(Port32(0xCF8), value);
        EXPECT_EQ(READ_PORT_ULONG(Port32(0xCF8)), value);
    }
}

TEST_F(Mechanism1, NarrowAccessesMissTheAddressRegister)
{
    WRITE_PORT_ULONG(Port32(0xCF8), 0x80001800);
    WRITE_PORT_UCHAR(Port8(0xCF8), 0x44);
    WRITE_PORT_USHORT(Port16(0xCFA), 0x1234);
    EXPECT_EQ(m.AddressRegister(), 0x80001800u);
    EXPECT_EQ(READ_PORT_UCHAR(Port8(0xCF8)), 0xFFu);
    EXPECT_EQ(READ_PORT_USHORT(Port16(0xCF8)), 0xFFFFu);
}

TEST_F(Mechanism1, EnableBitClearReadsAllOnesAndDropsWrites)
{
    WRITE_PORT_ULONG(Port32(0xCF8), ConfigAddress(0, 3, 0, 0x3C) & 0x7FFFFFFF);
    EXPECT_EQ(READ_PORT_ULONG(Port32(0xCFC)), 0xFFFFFFFFu);
    WRITE_PORT_UCHAR(Port8(0xCFC), 0x0B);
    EXPECT_EQ(cb->Peek8(0x3C), 0u);
    EXPECT_EQ(m.ConfigCycles(), 0u) << "no cycle without the enable bit";
}

TEST_F(Mechanism1, DwordReadReturnsTheSelectedDword)
{
    Select(0, 3, 0, 0x00);
    EXPECT_EQ(READ_PORT_ULONG(Port32(0xCFC)), 0xAC51104Cu);
    Select(0, 3, 0, 0x06); // offset bits 1..0 are not part of the address
    EXPECT_EQ(READ_PORT_ULONG(Port32(0xCFC)), 0x02000000u) << "status 0x0200, command 0";
    Select(1, 0, 0, 0x00);
    EXPECT_EQ(READ_PORT_ULONG(Port32(0xCFC)), 0x00261011u) << "behind the controller";
    Select(2, 0, 0, 0x00);
    EXPECT_EQ(READ_PORT_ULONG(Port32(0xCFC)), 0xFFFFFFFFu) << "unreachable bus";
    Select(0, 4, 0, 0x00);
    EXPECT_EQ(READ_PORT_ULONG(Port32(0xCFC)), 0xFFFFFFFFu) << "empty slot";
}

struct LaneRow {
    const char *name;
    uint16_t port;
    int width;
    uint32_t expected; // read of the dword at 0x00 of the TI1420 (0xAC51104C)
};

class DataLanes : public Mechanism1, public ::testing::WithParamInterface<LaneRow> {};

TEST_P(DataLanes, ReadSelectsByteLane)
{
    const LaneRow &row = GetParam();
    Select(0, 3, 0, 0x00);
    uint32_t value = row.width == 1 ? READ_PORT_UCHAR(Port8(row.port))
                     : row.width == 2 ? READ_PORT_USHORT(Port16(row.port))
                                      : READ_PORT_ULONG(Port32(row.port));
    EXPECT_EQ(value, row.expected) << row.name;
}

INSTANTIATE_TEST_SUITE_P(Ports, DataLanes,
                         ::testing::Values(LaneRow{"byte0", 0xCFC, 1, 0x4C}, LaneRow{"byte1", 0xCFD, 1, 0x10},
                                           LaneRow{"byte2", 0xCFE, 1, 0x51}, LaneRow{"byte3", 0xCFF, 1, 0xAC},
                                           LaneRow{"word0", 0xCFC, 2, 0x104C}, LaneRow{"word2", 0xCFE, 2, 0xAC51},
                                           LaneRow{"word_past_end", 0xCFF, 2, 0xFFAC},
                                           LaneRow{"dword", 0xCFC, 4, 0xAC51104C}),
                         [](const ::testing::TestParamInfo<LaneRow> &info) { return std::string(info.param.name); });

TEST_F(Mechanism1, ByteWriteAtCfeWritesByteTwoOnly)
{
    Select(1, 0, 0, 0x18);
    WRITE_PORT_UCHAR(Port8(0xCFE), 0x07);
    EXPECT_EQ(p2p->Peek32(0x18), 0x00070000u);
    std::vector<PciFunction::WriteRecord> expected = {{0x1A, 1, 0x07}};
    EXPECT_EQ(p2p->WriteLog(), expected);
}

TEST_F(Mechanism1, WordWriteAtCfeWritesBytesTwoAndThree)
{
    p2p->Poke16(0x18, 0x0201);
    Select(1, 0, 0, 0x18);
    WRITE_PORT_USHORT(Port16(0xCFE), 0xF805);
    EXPECT_EQ(p2p->Peek32(0x18), 0xF8050201u);
    std::vector<PciFunction::WriteRecord> expected = {{0x1A, 2, 0xF805}};
    EXPECT_EQ(p2p->WriteLog(), expected);
}

TEST_F(Mechanism1, ByteWriteAtCfdWritesLatencyTimer)
{
    Select(0, 3, 0, 0x0C);
    WRITE_PORT_UCHAR(Port8(0xCFD), 0xF8);
    WRITE_PORT_UCHAR(Port8(0xCFC), 0x10);
    EXPECT_EQ(cb->Peek16(0x0C), 0xF810u);
}

TEST_F(Mechanism1, DwordSizingThroughPorts)
{
    Select(0, 3, 0, 0x10);
    WRITE_PORT_ULONG(Port32(0xCFC), 0xFFFFFFFF);
    EXPECT_EQ(READ_PORT_ULONG(Port32(0xCFC)), 0xFFFFF000u);
}

TEST_F(Mechanism1, DeviceAndFunctionFieldsDecode)
{
    PciFunction *second = m.AddFunction(m.Root(), 3, 1, models::TI1420());
    second->Poke8(0x3C, 0x0B);
    WRITE_PORT_ULONG(Port32(0xCF8), 0x8000193C); // bus 0, device 3, function 1, offset 0x3C
    EXPECT_EQ(READ_PORT_UCHAR(Port8(0xCFC)), 0x0Bu);
    EXPECT_EQ(cb->ReadCount(), 0u) << "function 0 not addressed";
}

TEST_F(Mechanism1, EachDataAccessIsOneCycle)
{
    m.ClearCounters();
    Select(0, 3, 0, 0x00);
    READ_PORT_ULONG(Port32(0xCFC));
    READ_PORT_UCHAR(Port8(0xCFE));
    WRITE_PORT_USHORT(Port16(0xCFC), 0);
    EXPECT_EQ(m.ConfigReads(), 2u);
    EXPECT_EQ(m.ConfigWrites(), 1u);
}

TEST_F(Mechanism1, OtherPortsReadAllOnes)
{
    EXPECT_EQ(READ_PORT_UCHAR(Port8(0x80)), 0xFFu);
    EXPECT_EQ(READ_PORT_ULONG(Port32(0xCF4)), 0xFFFFFFFFu);
}

TEST(Mechanism1Install, DestroyedMachineLeavesThePorts)
{
    standin::Reset();
    {
        PciMachine m;
        m.Install();
        EXPECT_EQ(standin::GetPortHandler(), &m);
    }
    EXPECT_EQ(standin::GetPortHandler(), nullptr);
}

} // namespace
