// Port routing, the port log, the port-0 rule and bus address translation.
#include "standin_test_util.h"
#include "test_support.h"

namespace {

// A tiny machine: every read returns 0xA0B0C0D0 shifted by the port, writes
// are remembered.
class FakePorts : public standin::PortHandler {
  public:
    uint32_t PortRead(uint16_t port, int width) override
    {
        reads.push_back({port, width});
        return 0xA0B0C0D0u + port;
    }
    void PortWrite(uint16_t port, int width, uint32_t value) override { writes.push_back({true, port, width, value}); }
    std::vector<std::pair<uint16_t, int>> reads;
    std::vector<standin::PortAccess> writes;
};

PULONG Port32(uint16_t p)
{
    return (PULONG)(ULONG_PTR)p;
}
PUSHORT Port16(uint16_t p)
{
    return (PUSHORT)(ULONG_PTR)p;
}
PUCHAR Port8(uint16_t p)
{
    return (PUCHAR)(ULONG_PTR)p;
}

class HalTest : public testsupport::DriverTest {};

TEST_F(HalTest, ReadsAndWritesGoToTheHandlerWithTheirWidth)
{
    FakePorts ports;
    standin::SetPortHandler(&ports);
    EXPECT_EQ(standin::GetPortHandler(), &ports);
    EXPECT_EQ(READ_PORT_ULONG(Port32(0xCFC)), 0xA0B0CDCCu);
    EXPECT_EQ(READ_PORT_USHORT(Port16(0xCFE)), 0xCDCEu);
    EXPECT_EQ(READ_PORT_UCHAR(Port8(0xCFD)), 0xCDu);
    WRITE_PORT_ULONG(Port32(0xCF8), 0x80001000);
    WRITE_PORT_USHORT(Port16(0x3E0), 0x1234);
    WRITE_PORT_UCHAR(Port8(0x3E1), 0x56);

    ASSERT_EQ(ports.reads.size(), 3u);
    EXPECT_EQ(ports.reads[1], (std::pair<uint16_t, int>{0xCFE, 2}));
    ASSERT_EQ(ports.writes.size(), 3u);
    EXPECT_EQ(ports.writes[0].port, 0xCF8);
    EXPECT_EQ(ports.writes[0].width, 4);
    EXPECT_EQ(ports.writes[0].value, 0x80001000u);
    EXPECT_EQ(ports.writes[2].width, 1);
    EXPECT_EQ(ports.writes[2].value, 0x56u);

    const std::vector<standin::PortAccess> &log = standin::PortLog();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_FALSE(log[0].write);
    EXPECT_EQ(log[0].value, 0xA0B0CDCCu) << "reads log the value returned";
    EXPECT_EQ(log[2].value, 0xCDu) << "masked to the width";
    EXPECT_TRUE(log[4].write);
    EXPECT_EQ(log[4].port, 0x3E0);
    EXPECT_EQ(log[4].width, 2);
    standin::ClearPortLog();
    EXPECT_TRUE(standin::PortLog().empty());
}

TEST_F(HalTest, WithoutAHandlerReadsFloatHighAndWritesVanish)
{
    EXPECT_EQ(standin::GetPortHandler(), nullptr);
    EXPECT_EQ(READ_PORT_ULONG(Port32(0xCFC)), 0xFFFFFFFFu);
    EXPECT_EQ(READ_PORT_USHORT(Port16(0xCFC)), 0xFFFFu);
    EXPECT_EQ(READ_PORT_UCHAR(Port8(0xCFC)), 0xFFu);
    WRITE_PORT_ULONG(Port32(0xCF8), 1);
    EXPECT_EQ(standin::PortLog().size(), 4u) << "still logged";
}

TEST_F(HalTest, ResetRemovesTheHandlerAndTheLog)
{
    FakePorts ports;
    standin::SetPortHandler(&ports);
    READ_PORT_UCHAR(Port8(0x80));
    standin::Reset();
    EXPECT_EQ(standin::GetPortHandler(), nullptr);
    EXPECT_TRUE(standin::PortLog().empty());
    EXPECT_EQ(READ_PORT_UCHAR(Port8(0x80)), 0xFF);
    EXPECT_EQ(ports.reads.size(), 1u);
}

struct ZeroRow {
    const char *what;
    void (*access)();
};

class PortZero : public HalTest, public ::testing::WithParamInterface<ZeroRow> {};

TEST_P(PortZero, AnyAccessToPortZeroIsAFinding)
{
    standintest::FindingCatcher catcher;
    FakePorts ports;
    standin::SetPortHandler(&ports);
    GetParam().access();
    EXPECT_EQ(catcher.Rules(), (std::vector<std::string>{"PORT_ZERO_ACCESS"})) << GetParam().what;
    ASSERT_EQ(catcher.caught.size(), 1u);
    EXPECT_NE(catcher.caught[0].detail.find(GetParam().what), std::string::npos) << catcher.caught[0].detail;
}

INSTANTIATE_TEST_SUITE_P(Rows, PortZero,
                         ::testing::Values(ZeroRow{"READ_PORT_ULONG", [] { READ_PORT_ULONG(nullptr); }},
                                           ZeroRow{"READ_PORT_USHORT", [] { READ_PORT_USHORT(nullptr); }},
                                           ZeroRow{"READ_PORT_UCHAR", [] { READ_PORT_UCHAR(nullptr); }},
                                           ZeroRow{"WRITE_PORT_ULONG", [] { WRITE_PORT_ULONG(nullptr, 1); }},
                                           ZeroRow{"WRITE_PORT_USHORT", [] { WRITE_PORT_USHORT(nullptr, 1); }},
                                           ZeroRow{"WRITE_PORT_UCHAR", [] { WRITE_PORT_UCHAR(nullptr, 1); }}));

TEST_F(HalTest, TranslationIsIdentityByDefault)
{
    PHYSICAL_ADDRESS bus, out;
    bus.QuadPart = 0xCF8;
    out.QuadPart = 0;
    ULONG space = 1;
    EXPECT_EQ(HalTranslateBusAddress(Isa, 0, bus, &space, &out), TRUE);
    EXPECT_EQ(out.QuadPart, 0xCF8);
    EXPECT_EQ(space, 1u);
    EXPECT_EQ(standin::TranslateCalls(), 1u);
}

TEST_F(HalTest, TranslationCanFailLeavingTheOutputAlone)
{
    standin::SetTranslateFails(true);
    PHYSICAL_ADDRESS bus, out;
    bus.QuadPart = 0xCFC;
    out.QuadPart = 0x5555;
    ULONG space = 1;
    EXPECT_EQ(HalTranslateBusAddress(Isa, 0, bus, &space, &out), FALSE);
    EXPECT_EQ(out.QuadPart, 0x5555);
    EXPECT_EQ(space, 1u);
    EXPECT_EQ(standin::TranslateCalls(), 1u);
    standin::Reset();
    EXPECT_EQ(standin::TranslateCalls(), 0u);
    EXPECT_EQ(HalTranslateBusAddress(Isa, 0, bus, &space, &out), TRUE);
}

TEST_F(HalTest, TranslationCanAddAnOffset)
{
    standin::SetTranslateOffset(0x1000);
    PHYSICAL_ADDRESS bus, out;
    bus.QuadPart = 0xCF8;
    ULONG space = 1;
    ASSERT_EQ(HalTranslateBusAddress(Isa, 0, bus, &space, &out), TRUE);
    EXPECT_EQ(out.QuadPart, 0x1CF8);
    standin::SetTranslateOffset(-8);
    ASSERT_EQ(HalTranslateBusAddress(Isa, 0, bus, &space, &out), TRUE);
    EXPECT_EQ(out.QuadPart, 0xCF0);
}

} // namespace
