// The PCI patch table through PciPatching, judged by what each part needs in its registers
// (their documented meaning), not by the table's rows.
#include "quirks_fixture.h"

using namespace quirkstest;

namespace {

// A register to patch: bits to set, bits to clear, others kept; in function 0 (shared by both
// sockets) or in the function patched.
struct Need {
    uint8_t offset;
    int width;
    uint32_t set, clear;
    bool functionZero;
};

// The parts of a family need the same registers.
struct Family {
    const char *name;
    USHORT vendor;
    std::vector<USHORT> devices;
    std::vector<Need> needs;
};

// TI system control bits 14/15 (read bursts); Ricoh bit 0 (prefetch); Mobility link bits 0 and 2;
// ENE test register: socket 0 prefetch on, its posting and the latency test bit off, then bursts.
const Family kFamilies[] = {
    {"TI PCI1250/1221/1450/1225/1251A/1211/1251B/4450/4410/4451/1410/1420/1451A",
     0x104C,
     {0xAC16, 0xAC19, 0xAC1B, 0xAC1C, 0xAC1D, 0xAC1E, 0xAC1F, 0xAC40, 0xAC41, 0xAC42, 0xAC50, 0xAC51, 0xAC52},
     {{0x80, 32, 0xC000, 0, true}}},
    {"Ricoh RL5C465/466/475/476/478", 0x1180, {0x0465, 0x0466, 0x0475, 0x0476, 0x0478}, {{0x80, 16, 0x0001, 0, false}}},
    {"Mobility link bridges, both ends", 0x14F2, {0x0001, 0x0002}, {{0x58, 8, 0x05, 0, false}}},
    {"ENE CB1211/1225/1410/1420", 0x1524, {0x1211, 0x1225, 0x1410, 0x1420},
     {{0xC9, 8, 0x04, 0x42, false}, {0x80, 16, 0xC000, 0, false}}},
    {"Intel 82801 hub-to-PCI bridges", 0x8086, {0x2448, 0x244E}, {{0x50, 16, 0x0004, 0, false}}},
    {"ALi M1671", 0x10B9, {0x1671}, {{0x4B, 8, 0x80, 0x7F, false}, {0x40, 8, 0, 0x0C, false}, {0x42, 8, 0x7C, 0x80, false}}},
    {"ALi M1644", 0x10B9, {0x1644},
     {{0x50, 8, 0x01, 0xFE, false}, {0x40, 8, 0, 0x0C, false}, {0x41, 8, 0x20, 0x10, false}, {0x42, 8, 0x0C, 0xF3, false},
      {0x44, 8, 0x0F, 0xF0, false}}},
};

// A function whose vendor-defined registers are plain read-write bytes.
sim::DeviceModel DeviceFor(USHORT vendor, USHORT device, bool multiFunction = false)
{
    sim::DeviceModel m = sim::models::Generic(vendor, device, 0x068000);
    m.multiFunction = multiFunction;
    for (int offset = 0x40; offset < 0x100; offset += 4)
        m.registers.push_back({(uint8_t)offset, 4, 0, 0xFFFFFFFFu, 0});
    return m;
}

uint32_t Read(const sim::PciFunction *f, const Need &n)
{
    uint32_t v = 0;
    for (int i = 0; i < n.width / 8; i++)
        v |= uint32_t(f->Peek8(uint8_t(n.offset + i))) << (8 * i);
    return v;
}

void Write(sim::PciFunction *f, const Need &n, uint32_t v)
{
    for (int i = 0; i < n.width / 8; i++)
        f->Poke8(uint8_t(n.offset + i), uint8_t(v >> (8 * i)));
}

// Function 1 of each two-function part is patched, its registers holding the opposite of the
// need over all-zeros, then all-ones (a bit set or cleared too many shows either way).
TEST_F(QuirksTest, EveryPartsRegistersEndUpAsThePartNeeds)
{
    struct Placed {
        const Family *family;
        USHORT device;
        sim::PciFunction *f0, *f1;
    };
    std::vector<Placed> parts;
    for (const Family &fam : kFamilies)
        for (USHORT device : fam.devices) {
            const int slot = (int)parts.size();
            parts.push_back({&fam, device, machine_.AddFunction(machine_.Root(), slot, 0, DeviceFor(fam.vendor, device, true)),
                             machine_.AddFunction(machine_.Root(), slot, 1, DeviceFor(fam.vendor, device))});
        }
    Power();
    for (uint32_t background : {0x00000000u, 0xFFFFFFFFu}) {
        for (size_t slot = 0; slot < parts.size(); slot++) {
            const Placed &p = parts[slot];
            SCOPED_TRACE(testing::Message() << p.family->name << std::hex << ", device 0x" << p.device << ", background 0x" << background);
            for (const Need &n : p.family->needs) {
                Write(p.f0, n, (background & ~n.set) | n.clear);
                Write(p.f1, n, (background & ~n.set) | n.clear);
            }
            PciPatching(0, (UCHAR)slot, 1);
            for (const Need &n : p.family->needs) {
                const uint32_t mask = 0xFFFFFFFFu >> (32 - n.width), before = ((background & ~n.set) | n.clear) & mask;
                EXPECT_EQ(Read(n.functionZero ? p.f0 : p.f1, n), ((before & ~n.clear) | n.set) & mask) << "register 0x" << std::hex << int(n.offset);
                EXPECT_EQ(Read(n.functionZero ? p.f1 : p.f0, n), before) << "the other function's 0x" << std::hex << int(n.offset);
            }
        }
    }
}

// Written and reported only while it differs (a read-only bit is retried); unnamed devices left alone.
TEST_F(QuirksTest, RegisterIsWrittenOnlyWhileItDiffers)
{
    auto *keeps = machine_.AddFunction(machine_.Root(), 2, 0, DeviceFor(0x1180, 0x0476));
    sim::DeviceModel m = DeviceFor(0x1180, 0x0478);
    m.registers.push_back({0x80, 2, 0, 0xFFFE, 0});
    auto *loses = machine_.AddFunction(machine_.Root(), 5, 0, m);
    machine_.AddFunction(machine_.Root(), 4, 0, sim::models::RTL8139());
    Power();
    keeps->ClearWriteLog();
    loses->ClearWriteLog();
    machine_.ClearCounters();
    PciPatching(0, 4, 0);
    EXPECT_EQ(machine_.ConfigWrites(), 0u);

    PciPatching(0, 2, 0);
    PciPatching(0, 5, 0);
    EXPECT_EQ(keeps->WriteLog(), (Writes{{0x80, 2, 0x0001}}));
    EXPECT_EQ(Trace(), (Lines{"PciPatching 0x1180-0476 @ 0-2-0 off 0x80", "PciPatching 0x1180-0478 @ 0-5-0 off 0x80"}));

    PciPatching(0, 2, 0);
    PciPatching(0, 5, 0);
    EXPECT_EQ(keeps->WriteLog().size(), 1u) << "second call writes nothing";
    EXPECT_EQ(loses->WritesTo(0x80, 2).size(), 2u);
    EXPECT_EQ(Trace().size(), 3u) << testsupport::TraceText();
}

} // namespace
