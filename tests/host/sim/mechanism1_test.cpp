// Configuration mechanism #1 on the stand-in's ports, as the driver's direct
// configuration access uses it: only a double word reaches the address
// register, its enable bit gates every cycle, and each byte lane of the data
// port carries its own byte.
#include <gtest/gtest.h>

#include "pci_machine.h"
#include "test_support.h"
#include "tolmu_platform.h"

using namespace sim;

namespace {

template <typename T> T *Port(uint16_t port) { return reinterpret_cast<T *>(static_cast<ULONG_PTR>(port)); }

class Mechanism1 : public testsupport::DriverTest {};

TEST_F(Mechanism1, AddressRegisterEnableBitAndByteLanes)
{
    PciMachine m; // a TI1420 at 00:03.0 (ids 0xAC51104C); behind it, on bus 1, a DEC 21154
    PciFunction *cb = m.AddFunction(m.Root(), 3, 0, models::TI1420());
    PciFunction *p2p = m.AddFunction(m.SecondarySegment(cb), 0, 0, models::DEC21154());
    m.SetBusNumbers(cb, 0, 1, 1);
    m.Install();
    WRITE_PORT_ULONG(Port<ULONG>(0xCF8), ConfigAddress(0, 3, 0, 0x3C) & 0x7FFFFFFF);
    EXPECT_EQ(READ_PORT_ULONG(Port<ULONG>(0xCFC)), 0xFFFFFFFFu);
    WRITE_PORT_UCHAR(Port<UCHAR>(0xCFC), 0x0B);
    EXPECT_EQ(m.ConfigCycles(), 0u) << "no cycle without the enable bit";
    WRITE_PORT_ULONG(Port<ULONG>(0xCF8), ConfigAddress(0, 3, 0, 0x02)); // offset bits 1..0 are no part of it
    WRITE_PORT_UCHAR(Port<UCHAR>(0xCF8), 0x44);
    WRITE_PORT_USHORT(Port<USHORT>(0xCFA), 0x1234);
    EXPECT_EQ(READ_PORT_UCHAR(Port<UCHAR>(0xCF8)), 0xFFu) << "a byte misses the address register";
    EXPECT_EQ(READ_PORT_UCHAR(Port<UCHAR>(0xCFD)), 0x10u);
    EXPECT_EQ(READ_PORT_USHORT(Port<USHORT>(0xCFE)), 0xAC51u);
    EXPECT_EQ(READ_PORT_USHORT(Port<USHORT>(0xCFF)), 0xFFACu) << "the lanes end at 0xCFF";
    EXPECT_EQ(READ_PORT_ULONG(Port<ULONG>(0xCFC)), 0xAC51104Cu);
    p2p->Poke16(0x18, 0x0201);
    WRITE_PORT_ULONG(Port<ULONG>(0xCF8), ConfigAddress(1, 0, 0, 0x18));
    WRITE_PORT_UCHAR(Port<UCHAR>(0xCFE), 0x07);
    WRITE_PORT_USHORT(Port<USHORT>(0xCFE), 0xF805);
    EXPECT_EQ(p2p->Peek32(0x18), 0xF8050201u);
    EXPECT_EQ(p2p->WriteLog(), (std::vector<PciFunction::WriteRecord>{{0x1A, 1, 0x07}, {0x1A, 2, 0xF805}}));
    WRITE_PORT_ULONG(Port<ULONG>(0xCF8), ConfigAddress(2, 0, 0, 0x00));
    EXPECT_EQ(READ_PORT_ULONG(Port<ULONG>(0xCFC)), 0xFFFFFFFFu) << "a bus no bridge routes";
    EXPECT_EQ(cb->Peek8(0x3C), 0u);
}

} // namespace
