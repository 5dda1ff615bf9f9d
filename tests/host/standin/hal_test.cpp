// Port routing, the port log, the port-0 rule and bus address translation.
#include "standin_test_util.h"

namespace {

// A tiny machine: every read returns 0xA0B0C0D0 plus the port, writes are remembered.
struct FakePorts : standin::PortHandler {
    uint32_t PortRead(uint16_t port, int width) override
    {
        reads.push_back({port, width});
        return 0xA0B0C0D0u + port;
    }
    void PortWrite(uint16_t port, int width, uint32_t value) override { writes.push_back({true, port, width, value}); }
    std::vector<std::pair<uint16_t, int>> reads;
    std::vector<standin::PortAccess> writes;
};

template <typename T> T *Port(uint16_t p)
{
    return (T *)(ULONG_PTR)p;
}

std::string Text(const std::vector<standin::PortAccess> &log)
{
    std::string text;
    for (const standin::PortAccess &a : log) {
        char one[40];
        snprintf(one, sizeof one, "%s%c %x %d %x", text.empty() ? "" : ", ", a.write ? 'w' : 'r', a.port, a.width,
                 a.value);
        text += one;
    }
    return text;
}

class HalTest : public testsupport::DriverTest {};

TEST_F(HalTest, AccessesGoToTheHandlerWithTheirWidthAndAreLogged)
{
    FakePorts ports;
    standin::SetPortHandler(&ports);
    EXPECT_EQ(standin::GetPortHandler(), &ports);
    EXPECT_EQ(READ_PORT_ULONG(Port<ULONG>(0xCFC)), 0xA0B0CDCCu);
    EXPECT_EQ(READ_PORT_USHORT(Port<USHORT>(0xCFE)), 0xCDCEu);
    EXPECT_EQ(READ_PORT_UCHAR(Port<UCHAR>(0xCFD)), 0xCDu);
    WRITE_PORT_ULONG(Port<ULONG>(0xCF8), 0x80001000);
    WRITE_PORT_USHORT(Port<USHORT>(0x3E0), 0x1234);
    WRITE_PORT_UCHAR(Port<UCHAR>(0x3E1), 0x56);
    EXPECT_EQ(Text(ports.writes), "w cf8 4 80001000, w 3e0 2 1234, w 3e1 1 56");
    EXPECT_EQ(ports.reads[1], (std::pair<uint16_t, int>{0xCFE, 2}));
    // Reads log the value returned, masked to the width.
    EXPECT_EQ(Text(standin::PortLog()), "r cfc 4 a0b0cdcc, r cfe 2 cdce, r cfd 1 cd, " + Text(ports.writes));
    standin::ClearPortLog();
    EXPECT_TRUE(standin::PortLog().empty());
    // Reset removes the handler and the log; reads then float high, writes vanish.
    READ_PORT_UCHAR(Port<UCHAR>(0x80));
    standin::Reset();
    EXPECT_EQ(standin::GetPortHandler(), nullptr);
    EXPECT_TRUE(standin::PortLog().empty());
    EXPECT_EQ(READ_PORT_ULONG(Port<ULONG>(0xCFC)), 0xFFFFFFFFu);
    EXPECT_EQ(READ_PORT_USHORT(Port<USHORT>(0xCFC)), 0xFFFFu);
    EXPECT_EQ(READ_PORT_UCHAR(Port<UCHAR>(0x80)), 0xFFu);
    WRITE_PORT_ULONG(Port<ULONG>(0xCF8), 1);
    EXPECT_EQ(ports.reads.size(), 4u);
    EXPECT_EQ(ports.writes.size(), 3u);
    EXPECT_EQ(standin::PortLog().size(), 4u) << "still logged";
}

TEST_F(HalTest, AnyAccessToPortZeroIsAFinding)
{
    struct Row {
        const char *what;
        void (*access)();
    };
    const Row rows[] = {{"READ_PORT_ULONG", [] { READ_PORT_ULONG(nullptr); }},
                        {"READ_PORT_USHORT", [] { READ_PORT_USHORT(nullptr); }},
                        {"READ_PORT_UCHAR", [] { READ_PORT_UCHAR(nullptr); }},
                        {"WRITE_PORT_ULONG", [] { WRITE_PORT_ULONG(nullptr, 1); }},
                        {"WRITE_PORT_USHORT", [] { WRITE_PORT_USHORT(nullptr, 1); }},
                        {"WRITE_PORT_UCHAR", [] { WRITE_PORT_UCHAR(nullptr, 1); }}};
    FakePorts ports;
    standin::SetPortHandler(&ports);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        standintest::FindingCatcher catcher;
        row.access();
        EXPECT_EQ(catcher.Rules(), (std::vector<std::string>{"PORT_ZERO_ACCESS"}));
        ASSERT_EQ(catcher.caught.size(), 1u);
        EXPECT_NE(catcher.caught[0].detail.find(row.what), std::string::npos) << catcher.caught[0].detail;
    }
}

TEST_F(HalTest, PortBeyondThe64KSpaceIsAFinding)
{
    standintest::FindingCatcher catcher;
    WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x10CF8), 1);
    EXPECT_EQ(catcher.Rules(), (std::vector<std::string>{"PORT_OUT_OF_RANGE"}));
}

TEST_F(HalTest, TranslationIsIdentityOrOffsetOrFailsLeavingTheOutputAlone)
{
    PHYSICAL_ADDRESS bus, out;
    bus.QuadPart = 0xCF8;
    out.QuadPart = 0;
    ULONG space = 1;
    EXPECT_EQ(HalTranslateBusAddress(Isa, 0, bus, &space, &out), TRUE);
    EXPECT_EQ(out.QuadPart, 0xCF8);
    EXPECT_EQ(space, 1u);
    for (int32_t offset : {0x1000, -8}) {
        standin::SetTranslateOffset(offset);
        ASSERT_EQ(HalTranslateBusAddress(Isa, 0, bus, &space, &out), TRUE);
        EXPECT_EQ(out.QuadPart, 0xCF8 + offset);
    }
    standin::SetTranslateFails(true);
    out.QuadPart = 0x5555;
    EXPECT_EQ(HalTranslateBusAddress(Isa, 0, bus, &space, &out), FALSE);
    EXPECT_EQ(out.QuadPart, 0x5555);
    EXPECT_EQ(space, 1u);
    EXPECT_EQ(standin::TranslateCalls(), 4u);
    standin::Reset();
    EXPECT_EQ(standin::TranslateCalls(), 0u);
    EXPECT_EQ(HalTranslateBusAddress(Isa, 0, bus, &space, &out), TRUE);
    EXPECT_EQ(out.QuadPart, 0xCF8);
}

} // namespace
