// The PCI register patch table through PciPatching: only the registers that
// must change are written, at the right function and width, in table order.
#include "quirks_fixture.h"

using namespace quirkstest;

namespace {

// The table's length: an unknown device costs two identifier reads per row.
constexpr size_t kTableRows = 38;

// A function with the given identifiers whose vendor-defined registers are
// plain read-write bytes.
sim::DeviceModel DeviceFor(USHORT vendor, USHORT device, bool multiFunction = false)
{
    sim::DeviceModel m = sim::models::Generic(vendor, device, 0x068000);
    m.multiFunction = multiFunction;
    for (int offset = 0x40; offset < 0x100; offset += 4)
        m.registers.push_back({(uint8_t)offset, 4, 0, 0xFFFFFFFFu, 0});
    return m;
}

// Rows of each width, clear mask and function rule: TI rows (function 0,
// the TI1420 among them), Ricoh, Mobility, both ENE rows of a device, Intel
// and ALi. Rows 17, 18 and 34 to 38 have tests of their own below.
struct Row {
    int number; // 1-based, as the rows are counted in the table
    USHORT vendor, device, width, offset;
    ULONG clear, set;
    LONG function;
};

class PatchRowTest : public QuirksTest, public ::testing::WithParamInterface<Row> {};

// Called for function 1 of a two-function device: rows with a function
// number patch that function, the others the function called for.
TEST_P(PatchRowTest, RowSetsItsBitsAtItsFunction)
{
    const Row &r = GetParam();
    auto *f0 = machine_.AddFunction(machine_.Root(), 6, 0, DeviceFor(r.vendor, r.device, true));
    auto *f1 = machine_.AddFunction(machine_.Root(), 6, 1, DeviceFor(r.vendor, r.device));
    const uint32_t mask = 0xFFFFFFFFu >> (32 - r.width);
    f0->Poke32(r.offset & 0xFC, 0x5A5A5A5A);
    f1->Poke32(r.offset & 0xFC, 0x5A5A5A5A);
    Power();
    f1->ClearCounts();

    PciPatching(0, 6, 1);

    EXPECT_GE(f1->ReadCount(), 2u) << "identifiers come from the function called for";
    sim::PciFunction *target = r.function == 0 ? f0 : f1, *other = r.function == 0 ? f1 : f0;
    const uint32_t expected = ((0x5A5A5A5A & mask & ~r.clear) | r.set) & mask;
    EXPECT_EQ(target->WritesTo(r.offset, r.width / 8), (Writes{{(uint8_t)r.offset, r.width / 8, expected}}));
    EXPECT_EQ(other->WritesTo(r.offset, r.width / 8), Writes{}) << "row " << r.number << " wrote the wrong function";
    char line[80];
    snprintf(line, sizeof(line), "PciPatching 0x%04x-%04x @ 0-6-%x off 0x%02x", r.vendor, r.device,
             r.function == 0 ? 0 : 1, r.offset);
    EXPECT_EQ(testsupport::CountContaining(Trace(), line), 1u) << testsupport::TraceText();
}

INSTANTIATE_TEST_SUITE_P(Rows, PatchRowTest,
                         ::testing::Values(Row{1, 0x104C, 0xAC16, 32, 0x80, 0x00, 0xC000, 0},
                                           Row{12, 0x104C, 0xAC51, 32, 0x80, 0x00, 0xC000, 0}, // TI1420
                                           Row{13, 0x104C, 0xAC52, 32, 0x80, 0x00, 0xC000, 0},
                                           Row{14, 0x1180, 0x0465, 16, 0x80, 0x00, 0x0001, -1},
                                           Row{19, 0x14F2, 0x0001, 8, 0x58, 0x00, 0x0005, -1},
                                           Row{21, 0x1524, 0x1211, 8, 0xC9, 0x42, 0x0004, -1},
                                           Row{22, 0x1524, 0x1211, 16, 0x80, 0x00, 0xC000, -1},
                                           Row{28, 0x1524, 0x1420, 16, 0x80, 0x00, 0xC000, -1},
                                           Row{30, 0x8086, 0x244E, 16, 0x50, 0x00, 0x0004, -1},
                                           Row{31, 0x10B9, 0x1671, 8, 0x4B, 0x7F, 0x0080, -1},
                                           Row{32, 0x10B9, 0x1671, 8, 0x40, 0x0C, 0x0000, -1}, // clears only
                                           Row{33, 0x10B9, 0x1671, 8, 0x42, 0x80, 0x007C, -1}),
                         [](const ::testing::TestParamInfo<Row> &info) {
                             return "Row" + std::to_string(info.param.number);
                         });

TEST_F(QuirksTest, UnknownDeviceCostsTwoIdentifierReadsPerRowAndNoWrite)
{
    machine_.AddFunction(machine_.Root(), 4, 0, sim::models::RTL8139());
    Power();
    machine_.ClearCounters();

    PciPatching(0, 4, 0);

    EXPECT_EQ(machine_.ConfigReads(), 2 * kTableRows);
    EXPECT_EQ(machine_.ConfigWrites(), 0u);
    EXPECT_EQ(Trace(), Lines{});
}

// Every ALi M1644 row from all ones: each clear mask and set value shows.
TEST_F(QuirksTest, RowsOfOneDeviceApplyInTableOrder)
{
    auto *f = machine_.AddFunction(machine_.Root(), 0, 0, DeviceFor(0x10B9, 0x1644));
    for (uint8_t off : {0x50, 0x40, 0x41, 0x42, 0x44})
        f->Poke8(off, 0xFF);
    Power();
    f->ClearWriteLog();

    PciPatching(0, 0, 0);

    EXPECT_EQ(f->WriteLog(),
              (Writes{{0x50, 1, 0x01}, {0x40, 1, 0xF3}, {0x41, 1, 0xEF}, {0x42, 1, 0x0C}, {0x44, 1, 0x0F}}));
    EXPECT_EQ(Trace(), (Lines{"PciPatching 0x10b9-1644 @ 0-0-0 off 0x50", "PciPatching 0x10b9-1644 @ 0-0-0 off 0x40",
                              "PciPatching 0x10b9-1644 @ 0-0-0 off 0x41", "PciPatching 0x10b9-1644 @ 0-0-0 off 0x42",
                              "PciPatching 0x10b9-1644 @ 0-0-0 off 0x44"}));
}

// A register already holding its bits is neither written nor reported; one
// that does not keep them (a read-only prefetch bit) is retried every time.
TEST_F(QuirksTest, RegisterIsWrittenOnlyWhileItDiffers)
{
    auto *keeps = machine_.AddFunction(machine_.Root(), 2, 0, DeviceFor(0x1180, 0x0476));
    sim::DeviceModel m = DeviceFor(0x1180, 0x0478);
    m.registers.push_back({0x80, 2, 0, 0xFFFE, 0});
    auto *loses = machine_.AddFunction(machine_.Root(), 5, 0, m);
    Power();
    keeps->ClearWriteLog();
    loses->ClearWriteLog();

    PciPatching(0, 2, 0);
    PciPatching(0, 5, 0);
    EXPECT_EQ(keeps->WriteLog(), (Writes{{0x80, 2, 0x0001}}));
    EXPECT_EQ(Trace(), (Lines{"PciPatching 0x1180-0476 @ 0-2-0 off 0x80", "PciPatching 0x1180-0478 @ 0-5-0 off 0x80"}));

    PciPatching(0, 2, 0);
    PciPatching(0, 5, 0);
    EXPECT_EQ(keeps->WriteLog().size(), 1u) << "second call writes nothing";
    EXPECT_EQ(loses->WritesTo(0x80, 2).size(), 2u);
    EXPECT_EQ(Trace().size(), 3u) << testsupport::TraceText();
    EXPECT_EQ(Trace().back(), "PciPatching 0x1180-0478 @ 0-5-0 off 0x80");
}

} // namespace
