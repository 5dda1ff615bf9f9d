// The PCI register patch table: its rows, and PciPatching writing only the
// registers that must change, at the right function, in table order.
#include "quirks_fixture.h"

#include "pci/pci_direct.h"

using quirkstest::QuirksTest;
using quirkstest::Write;

namespace {

struct Row {
    int number; // 1-based, as the rows are counted in the table
    USHORT vendor;
    USHORT device;
    USHORT width;
    USHORT offset;
    ULONG clear;
    ULONG set;
    LONG function;
};

// The rows the table must hold, in order.
const std::vector<Row> kRows = {
    {1, 0x104C, 0xAC16, 32, 0x80, 0x00000000, 0x0000C000, 0},
    {2, 0x104C, 0xAC19, 32, 0x80, 0x00000000, 0x0000C000, 0},
    {3, 0x104C, 0xAC1B, 32, 0x80, 0x00000000, 0x0000C000, 0},
    {4, 0x104C, 0xAC1C, 32, 0x80, 0x00000000, 0x0000C000, 0},
    {5, 0x104C, 0xAC1D, 32, 0x80, 0x00000000, 0x0000C000, 0},
    {6, 0x104C, 0xAC1E, 32, 0x80, 0x00000000, 0x0000C000, 0},
    {7, 0x104C, 0xAC1F, 32, 0x80, 0x00000000, 0x0000C000, 0},
    {8, 0x104C, 0xAC40, 32, 0x80, 0x00000000, 0x0000C000, 0},
    {9, 0x104C, 0xAC41, 32, 0x80, 0x00000000, 0x0000C000, 0},
    {10, 0x104C, 0xAC42, 32, 0x80, 0x00000000, 0x0000C000, 0},
    {11, 0x104C, 0xAC50, 32, 0x80, 0x00000000, 0x0000C000, 0},
    {12, 0x104C, 0xAC51, 32, 0x80, 0x00000000, 0x0000C000, 0},
    {13, 0x104C, 0xAC52, 32, 0x80, 0x00000000, 0x0000C000, 0},
    {14, 0x1180, 0x0465, 16, 0x80, 0x00000000, 0x00000001, -1},
    {15, 0x1180, 0x0466, 16, 0x80, 0x00000000, 0x00000001, -1},
    {16, 0x1180, 0x0475, 16, 0x80, 0x00000000, 0x00000001, -1},
    {17, 0x1180, 0x0476, 16, 0x80, 0x00000000, 0x00000001, -1},
    {18, 0x1180, 0x0478, 16, 0x80, 0x00000000, 0x00000001, -1},
    {19, 0x14F2, 0x0001, 8, 0x58, 0x00000000, 0x00000005, -1},
    {20, 0x14F2, 0x0002, 8, 0x58, 0x00000000, 0x00000005, -1},
    {21, 0x1524, 0x1211, 8, 0xC9, 0x00000042, 0x00000004, -1},
    {22, 0x1524, 0x1211, 16, 0x80, 0x00000000, 0x0000C000, -1},
    {23, 0x1524, 0x1225, 8, 0xC9, 0x00000042, 0x00000004, -1},
    {24, 0x1524, 0x1225, 16, 0x80, 0x00000000, 0x0000C000, -1},
    {25, 0x1524, 0x1410, 8, 0xC9, 0x00000042, 0x00000004, -1},
    {26, 0x1524, 0x1410, 16, 0x80, 0x00000000, 0x0000C000, -1},
    {27, 0x1524, 0x1420, 8, 0xC9, 0x00000042, 0x00000004, -1},
    {28, 0x1524, 0x1420, 16, 0x80, 0x00000000, 0x0000C000, -1},
    {29, 0x8086, 0x2448, 16, 0x50, 0x00000000, 0x00000004, -1},
    {30, 0x8086, 0x244E, 16, 0x50, 0x00000000, 0x00000004, -1},
    {31, 0x10B9, 0x1671, 8, 0x4B, 0x0000007F, 0x00000080, -1},
    {32, 0x10B9, 0x1671, 8, 0x40, 0x0000000C, 0x00000000, -1},
    {33, 0x10B9, 0x1671, 8, 0x42, 0x00000080, 0x0000007C, -1},
    {34, 0x10B9, 0x1644, 8, 0x50, 0xFFFFFFFE, 0x00000001, -1},
    {35, 0x10B9, 0x1644, 8, 0x40, 0x0000000C, 0x00000000, -1},
    {36, 0x10B9, 0x1644, 8, 0x41, 0x00000010, 0x00000020, -1},
    {37, 0x10B9, 0x1644, 8, 0x42, 0xFFFFFFF3, 0x0000000C, -1},
    {38, 0x10B9, 0x1644, 8, 0x44, 0x000000F0, 0x0000000F, -1},
};

TEST(PciPatchTableRows, MatchTheListAndEndWithTheTerminator)
{
    for (size_t i = 0; i < kRows.size(); i++) {
        const PCI_PATCH &t = PciPatchTable[i];
        const Row &r = kRows[i];
        EXPECT_TRUE(t.VendorId == r.vendor && t.DeviceId == r.device && t.Width == r.width &&
                    t.Offset == r.offset && t.ClearMask == r.clear && t.SetBits == r.set &&
                    t.Function == r.function)
            << "row " << r.number << " holds " << std::hex << t.VendorId << "/" << t.DeviceId << " w" << std::dec
            << t.Width << " off 0x" << std::hex << t.Offset << " clear 0x" << t.ClearMask << " set 0x" << t.SetBits
            << " fn " << std::dec << t.Function;
    }
    EXPECT_EQ(PciPatchTable[kRows.size()].VendorId, 0xFFFF) << "terminator after row 38";
    EXPECT_EQ(PciPatchTable[kRows.size()].DeviceId, 0xFFFF);
}

// A function with the row's identifiers whose patched registers are plain
// read-write registers of the row's width.
sim::DeviceModel DeviceFor(USHORT vendor, USHORT device, bool multiFunction)
{
    sim::DeviceModel m = sim::models::Generic(vendor, device, 0x068000);
    m.multiFunction = multiFunction;
    for (const Row &r : kRows)
        if (r.vendor == vendor && r.device == device)
            m.registers.push_back({(uint8_t)r.offset, (uint8_t)(r.width / 8), 0, 0xFFFFFFFFu >> (32 - r.width), 0});
    return m;
}

uint32_t WidthMask(int width)
{
    return 0xFFFFFFFFu >> (32 - width);
}

class PatchRowTest : public QuirksTest, public ::testing::WithParamInterface<Row> {};

// Each row on a device of its own, called for function 1 of a two-function
// device: rows with a function number patch that function, the others the
// function called for.
TEST_P(PatchRowTest, RowSetsItsBitsAtItsFunction)
{
    const Row &r = GetParam();
    auto *f0 = machine_.AddFunction(machine_.Root(), 6, 0, DeviceFor(r.vendor, r.device, true));
    auto *f1 = machine_.AddFunction(machine_.Root(), 6, 1, DeviceFor(r.vendor, r.device, false));
    const uint32_t before = 0x5A5A5A5A & WidthMask(r.width);
    f0->Poke32(r.offset & 0xFC, 0x5A5A5A5A);
    f1->Poke32(r.offset & 0xFC, 0x5A5A5A5A);
    Power();

    PciPatching(0, 6, 1);

    sim::PciFunction *target = r.function == 0 ? f0 : f1;
    sim::PciFunction *other = r.function == 0 ? f1 : f0;
    const uint32_t expected = ((before & ~r.clear) | r.set) & WidthMask(r.width);
    const uint32_t actual = r.width == 8 ? target->Peek8(r.offset) : r.width == 16 ? target->Peek16(r.offset)
                                                                                   : target->Peek32(r.offset);
    EXPECT_EQ(actual, expected) << "row " << r.number << std::hex << ": register 0x" << r.offset;
    EXPECT_EQ(other->WritesTo(r.offset, r.width / 8).size(), 0u) << "row " << r.number << " wrote the wrong function";

    char line[80];
    snprintf(line, sizeof(line), "PciPatching 0x%04x-%04x @ 0-6-%x off 0x%02x", r.vendor, r.device,
             r.function == 0 ? 0 : 1, r.offset);
    EXPECT_EQ(testsupport::CountContaining(Lines(), line), 1u) << testsupport::TraceText();
}

INSTANTIATE_TEST_SUITE_P(Rows, PatchRowTest, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row> &info) {
                             return "Row" + std::to_string(info.param.number);
                         });

TEST_F(QuirksTest, UnknownDeviceCostsTwoIdentifierReadsPerRowAndNoWrite)
{
    auto *nic = machine_.AddFunction(machine_.Root(), 4, 0, sim::models::RTL8139());
    Power();
    machine_.ClearCounters();
    nic->ClearCounts();

    PciPatching(0, 4, 0);

    EXPECT_EQ(machine_.ConfigReads(), 2 * kRows.size());
    EXPECT_EQ(machine_.ConfigWrites(), 0u);
    EXPECT_EQ(Lines(), std::vector<std::string>{});
}

struct ByteCase {
    const char *name;
    USHORT device;
    uint8_t offset;
    uint8_t before;
    bool written;
    uint8_t after;
};

class AliByteTest : public QuirksTest, public ::testing::WithParamInterface<ByteCase> {};

TEST_P(AliByteTest, ByteEndsAsTheRowSaysAndIsWrittenOnlyIfDifferent)
{
    const ByteCase &c = GetParam();
    auto *f = machine_.AddFunction(machine_.Root(), 0, 0, DeviceFor(0x10B9, c.device, false));
    Power();
    // The other rows of the device are already satisfied, so only this row
    // can write.
    for (const Row &r : kRows)
        if (r.device == c.device)
            f->Poke8((uint8_t)r.offset, (uint8_t)(((0x00u & ~r.clear) | r.set) & 0xFF));
    f->Poke8(c.offset, c.before);
    f->ClearWriteLog();

    PciPatching(0, 0, 0);

    std::vector<Write> expected;
    if (c.written)
        expected.push_back({c.offset, 1, c.after});
    EXPECT_EQ(f->WriteLog(), expected) << Describe(f->WriteLog());
    EXPECT_EQ(f->Peek8(c.offset), c.after);
    EXPECT_EQ(Lines().size(), c.written ? 1u : 0u) << testsupport::TraceText();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AliByteTest,
    ::testing::Values(ByteCase{"Row31From00", 0x1671, 0x4B, 0x00, true, 0x80},
                      ByteCase{"Row31FromFF", 0x1671, 0x4B, 0xFF, true, 0x80},
                      ByteCase{"Row31From80", 0x1671, 0x4B, 0x80, false, 0x80},
                      ByteCase{"Row34From00", 0x1644, 0x50, 0x00, true, 0x01},
                      ByteCase{"Row34FromFE", 0x1644, 0x50, 0xFE, true, 0x01},
                      ByteCase{"Row34From01", 0x1644, 0x50, 0x01, false, 0x01},
                      ByteCase{"Row37From00", 0x1644, 0x42, 0x00, true, 0x0C},
                      ByteCase{"Row37FromFF", 0x1644, 0x42, 0xFF, true, 0x0C}),
    [](const ::testing::TestParamInfo<ByteCase> &info) { return std::string(info.param.name); });

TEST_F(QuirksTest, RowsOfOneDeviceApplyInTableOrder)
{
    auto *f = machine_.AddFunction(machine_.Root(), 0, 0, DeviceFor(0x10B9, 0x1644, false));
    for (uint8_t off : {0x50, 0x40, 0x41, 0x42, 0x44})
        f->Poke8(off, 0xFF);
    Power();
    f->ClearWriteLog();

    PciPatching(0, 0, 0);

    EXPECT_EQ(f->WriteLog(), (std::vector<Write>{{0x50, 1, 0x01}, {0x40, 1, 0xF3}, {0x41, 1, 0xEF},
                                                 {0x42, 1, 0x0C}, {0x44, 1, 0x0F}}))
        << Describe(f->WriteLog());
    EXPECT_EQ(Lines(), (std::vector<std::string>{
                           "PciPatching 0x10b9-1644 @ 0-0-0 off 0x50", "PciPatching 0x10b9-1644 @ 0-0-0 off 0x40",
                           "PciPatching 0x10b9-1644 @ 0-0-0 off 0x41", "PciPatching 0x10b9-1644 @ 0-0-0 off 0x42",
                           "PciPatching 0x10b9-1644 @ 0-0-0 off 0x44"}));
}

TEST_F(QuirksTest, Ti1420CalledForFunctionOnePatchesFunctionZero)
{
    // 00:03.0 and 00:03.1: the two sockets of a TI1420.
    auto *f0 = machine_.AddFunction(machine_.Root(), 3, 0, sim::models::TI1420());
    auto *f1 = machine_.AddFunction(machine_.Root(), 3, 1, sim::models::TI1420());
    f0->Poke32(0x80, 0x08449060);
    f1->Poke32(0x80, 0x08449060);
    Power();
    machine_.ClearCounters();
    f0->ClearWriteLog();
    f1->ClearCounts();

    PciPatching(0, 3, 1);

    EXPECT_GE(f1->ReadCount(), 2u) << "identifiers come from the function called for";
    EXPECT_EQ(f0->WriteLog(), (std::vector<Write>{{0x80, 4, 0x0844D060}})) << Describe(f0->WriteLog());
    EXPECT_EQ(f1->WriteLog().size(), 0u) << Describe(f1->WriteLog());
    EXPECT_EQ(Lines(), std::vector<std::string>{"PciPatching 0x104c-ac51 @ 0-3-0 off 0x80"});
}

TEST_F(QuirksTest, RicohPatchIsWrittenOnceThenQuiet)
{
    auto *f = machine_.AddFunction(machine_.Root(), 2, 0, DeviceFor(0x1180, 0x0476, false));
    Power();
    f->ClearWriteLog();

    PciPatching(0, 2, 0);
    EXPECT_EQ(f->WriteLog(), (std::vector<Write>{{0x80, 2, 0x0001}})) << Describe(f->WriteLog());
    EXPECT_EQ(Lines(), std::vector<std::string>{"PciPatching 0x1180-0476 @ 0-2-0 off 0x80"});

    f->ClearWriteLog();
    PciPatching(0, 2, 0);
    EXPECT_EQ(f->WriteLog().size(), 0u) << "second call: " << Describe(f->WriteLog());
    EXPECT_EQ(Lines().size(), 1u) << "second call prints nothing: " << testsupport::TraceText();
}

TEST_F(QuirksTest, RegisterThatDoesNotKeepItsBitsIsRetriedAtEveryCall)
{
    // A Ricoh part whose prefetch bit is read-only zero: the write never
    // sticks, so each call writes and reports again.
    sim::DeviceModel m = DeviceFor(0x1180, 0x0478, false);
    m.registers.back().writeMask = 0xFFFE;
    auto *f = machine_.AddFunction(machine_.Root(), 2, 0, m);
    Power();
    f->ClearWriteLog();

    PciPatching(0, 2, 0);
    PciPatching(0, 2, 0);

    EXPECT_EQ(f->WritesTo(0x80, 2).size(), 2u) << Describe(f->WriteLog());
    EXPECT_EQ(testsupport::CountContaining(Lines(), "PciPatching 0x1180-0478"), 2u);
}

} // namespace
