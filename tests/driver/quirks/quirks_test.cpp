// The quirks on a simulated machine: CardBus controller settings (bridge control, TI, Toshiba and
// O2Micro registers, I/O length), the PCI patch table, legacy device mapping and VGA forwarding.
// The filter devices carry extensions each test fills in and pass PnP requests down.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "core/config.h"
#include "enum/enumerate.h"
#include "pci/pci_direct.h"
#include "pci_bus_driver.h"
#include "pnp/device_extension.h"
#include "quirks/quirks.h"
#include "standin.h"
#include "standin/iomgr.h"
#include "filter_device.h"
#include "test_support.h"

namespace sim { // [offset/width=value]
void PrintTo(const PciFunction::WriteRecord &w, std::ostream *os)
{
    *os << std::hex << "[0x" << int(w.offset) << "/" << w.width << "=0x" << w.value << "]";
}
} // namespace sim

namespace {

using Writes = std::vector<sim::PciFunction::WriteRecord>;
using Lines = std::vector<std::string>;

// One filter device: bus numbers are a bridge's (UNKNOWN_NUMBER otherwise).
struct FilterSetup {
    sim::PciFunction *function = nullptr;
    ULONG flags = 0, bridgeType = BRIDGE_TYPE_OTHER;
    ULONG priBus = UNKNOWN_NUMBER, secBus = UNKNOWN_NUMBER, subBus = UNKNOWN_NUMBER;
};

class QuirksTest : public testsupport::DriverTest {
  protected:
    static NTSTATUS NTAPI PassDown(PDEVICE_OBJECT device, PIRP irp)
    {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(GET_EXTENSION(device)->LowerDevice, irp);
    }
    void SetUp() override
    {
        DriverTest::SetUp();
        StartTrace();
        driver_ = standin::CreateDriverObject("\\Driver\\tolmu");
        driver_->MajorFunction[IRP_MJ_PNP] = PassDown;
    }
    void TearDown() override
    {
        for (auto it = filters_.rbegin(); it != filters_.rend(); ++it)
            testsupport::RemoveFilterDevice(*it);
        bus_.reset();
        standin::DestroyDriverObject(driver_);
        machine_.Uninstall();
        DriverTest::TearDown();
    }
    // Once the topology and bus numbers are in place; Trace() starts after the port set-up line.
    void Power()
    {
        machine_.Install();
        bus_ = std::make_unique<sim::PciBusDriver>(machine_);
        PciCfgInitPorts(PCI_CONFIG_ADDRESS_PORT);
        traceMark_ = testsupport::TraceText().size();
    }
    // A filter device on the function's stack, with its identity and location.
    PDEVICE_EXTENSION Attach(const FilterSetup &s)
    {
        PDEVICE_EXTENSION e = testsupport::AttachFilterDevice(driver_, *bus_, s.function, s.bridgeType, s.flags);
        EXPECT_NE(e, nullptr) << s.function->Describe() << " is not reachable or has no filter";
        if (e == nullptr)
            return nullptr;
        e->PriBus = s.priBus, e->SecBus = s.secBus, e->SubBus = s.subBus;
        filters_.push_back(e->DeviceObject);
        return e;
    }
    // The trace since Power(), and the part of it Fresh() has not returned yet.
    Lines Trace() const { return testsupport::SplitLines(testsupport::TraceText().substr(traceMark_)); }
    Lines Fresh()
    {
        Lines all = Trace();
        Lines out(all.begin() + std::min(seen_, all.size()), all.end());
        seen_ = all.size();
        return out;
    }

    sim::PciMachine machine_;
    std::unique_ptr<sim::PciBusDriver> bus_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<PDEVICE_OBJECT> filters_;
    size_t traceMark_ = 0, seen_ = 0;
};

// ---- CardBus controllers
TEST_F(QuirksTest, BridgeControlGetsPrefetchAndPostingOnlyWhenMissing)
{
    auto *cb = machine_.AddFunction(machine_.Root(), 3, 0, sim::models::TI1420());
    Power();
    PDEVICE_EXTENSION ext = Attach({cb, CB_BRIDGE, BRIDGE_TYPE_CARDBUS});
    const USHORT rows[][2] = {{0x0040, 0x0640}, {0x0440, 0x0640}, {0x0240, 0x0640}, {0x0640, 0x0640}, {0x07C0, 0x07C0}};
    for (const auto &r : rows) {
        cb->Poke16(0x3E, r[0]);
        cb->ClearWriteLog();
        setCbBridgeControl(ext, ext->DeviceObject);
        EXPECT_EQ(cb->WriteLog(), r[0] == r[1] ? Writes{} : (Writes{{0x3E, 1, r[1] & 0xFFu}, {0x3F, 1, uint32_t(r[1] >> 8)}}))
            << "read 0x" << std::hex << r[0];
        EXPECT_EQ(cb->Peek16(0x3E), r[1]);
    }

    // While any part of the location is unknown (only the low byte counts) nothing is read.
    cb->Poke16(0x3E, 0x0040);
    cb->ClearWriteLog();
    cb->ClearCounts();
    for (ULONG *field : {&ext->Bus, &ext->Device, &ext->Function}) {
        ULONG saved = *field;
        *field = 0x000000FF;
        setCbBridgeControl(ext, ext->DeviceObject);
        *field = saved;
    }
    EXPECT_EQ(cb->ReadCount(), 0u);
    EXPECT_EQ(Trace(), Lines{});

    bus_->SetConfigMode(ext->Pdo, sim::ConfigMode::Fail);
    setCbBridgeControl(ext, ext->DeviceObject);
    EXPECT_EQ(cb->WriteLog(), Writes{});
    EXPECT_EQ(Trace(), Lines{"ERROR! ReadPCIConfigW @ 0x3e failed"});
}

// The adapter's controller at 00:03.0, others behind it on bus 1: only TI ones there are patched,
// their registers replaced whole in order; a function without CB_BRIDGE is left alone.
TEST_F(QuirksTest, OnlyTiControllersBehindTheAdapterArePatched)
{
    auto *root = machine_.AddFunction(machine_.Root(), 3, 0, sim::models::TI1420());
    sim::PciFunction *inner[] = {machine_.AddFunction(machine_.SecondarySegment(root), 0, 0, sim::models::TI1420()),
                                 machine_.AddFunction(machine_.SecondarySegment(root), 1, 0, sim::models::TI1131()),
                                 machine_.AddFunction(machine_.SecondarySegment(root), 2, 0, sim::models::O2MicroOZ711())};
    machine_.SetBusNumbers(root, 0, 1, 1);
    Power();
    hackCbBridge(Attach({root, CB_BRIDGE | ROOT, BRIDGE_TYPE_CARDBUS, 0, 1, 1}));
    const Writes writes[] = {{{0x8C, 1, 0x22}, {0x8D, 1, 0xCD}, {0x8E, 1, 0xCB}, {0x8F, 1, 0x0E},
                              {0x92, 1, 0x66}, {0x93, 1, 0x61}, {0x82, 1, 0x44}, {0x83, 1, 0x08}},
                             {{0x8C, 1, 0xC7}, {0x8D, 1, 0xD1}, {0x8E, 1, 0x07}},
                             {}};
    PDEVICE_EXTENSION ti = Attach({inner[0], P2P_BRIDGE, BRIDGE_TYPE_CARDBUS});
    hackCbBridge(ti);
    EXPECT_EQ(Fresh(), Lines{});
    ti->Flags = CB_BRIDGE;
    for (int i = 0; i < 3; i++) {
        hackCbBridge(i == 0 ? ti : Attach({inner[i], CB_BRIDGE, BRIDGE_TYPE_CARDBUS}));
        EXPECT_EQ(inner[i]->WriteLog(), writes[i]) << i;
    }
    EXPECT_EQ(root->WriteLog(), Writes{});
    const char *const found = "hackCbBridge: Found External PCI/CardBus Adapter";
    EXPECT_EQ(Fresh(), (Lines{found, "hackCbBridge: Patching TI1420 Control Registers", found,
                              "hackCbBridge: Patching TI1131 Control Registers", found}));
}

// The ToPIC registers are noted as left; the two bytes set unless the option says not to.
TEST_F(QuirksTest, ToshibaSettingsAreNotedThenSetUnlessIgnored)
{
    auto *topic = machine_.AddFunction(machine_.Root(), 5, 0, sim::models::ToshibaToPIC());
    for (uint8_t off : {0xAF, 0xB0, 0xB5, 0xB6})
        topic->Poke8(off, off);
    Power();
    PDEVICE_EXTENSION ext = Attach({topic, CB_BRIDGE | ROOT, BRIDGE_TYPE_CARDBUS, 0, 1, 1});
    noteToshibaSettings(ext);
    EXPECT_EQ(Fresh(), (Lines{"noteToshibaSettings: 0xAF = 0xAF", "noteToshibaSettings: 0xB0 = 0xB0",
                              "noteToshibaSettings: 0xB5 = 0xB5", "noteToshibaSettings: 0xB6 = 0xB6"}));
    Configure({{"ignoreToshiba", 1}});
    topic->ClearWriteLog();
    setToPICBites(ext);
    EXPECT_EQ(Fresh(), Lines{"WARNING setToPICBites: ignoring ToPIC hack..."});
    EXPECT_EQ(topic->WriteLog(), Writes{});
    Configure({{"ignoreToshiba", 0}});
    setToPICBites(ext);
    EXPECT_EQ(topic->WriteLog(), (Writes{{0xAF, 1, 0x01}, {0xB6, 1, 0x00}}));
    // A return to D0 writes the two again, and nothing of a slot an earlier start left behind.
    ext->StartSettings[2] = {0x40, 1, 0x55};
    topic->ClearWriteLog();
    restoreStartSettings(ext);
    EXPECT_EQ(topic->WriteLog(), (Writes{{0xAF, 1, 0x01}, {0xB6, 1, 0x00}}));
}

// The option, no window or a failed mapping keep the settings from being made; mappings released.
TEST_F(QuirksTest, O2MicroWindowIsLeftAloneWhenIgnoredMissingOrUnmappable)
{
    const uint64_t base = 0xF8001000;
    int accesses = 0;
    standin::RegisterMmioWindow(base, 0x1000, [&](uint32_t, int) { return accesses++, 0u; }, [&](uint32_t, int, uint32_t) { accesses++; });
    auto *o2 = machine_.AddFunction(machine_.Root(), 4, 0, sim::models::O2MicroOZ711());
    Power();
    PDEVICE_EXTENSION ext = Attach({o2, CB_BRIDGE | ROOT, BRIDGE_TYPE_CARDBUS, 0, 1, 1});
    Configure({{"ignoreO2", 1}});
    ext->ExCa = (ULONG)base;
    setO2MicroBits(ext);
    EXPECT_EQ(Fresh(), Lines{"WARNING setO2MicroBits: ignoring O2Micro hack..."});
    Configure({{"ignoreO2", 0}});
    ext->ExCa = 0xFFFFFFFF;
    setO2MicroBits(ext);
    EXPECT_EQ(Fresh(), Lines{"WARNING setO2MicroBits: ExCa == -1"});
    EXPECT_EQ(standin::MapIoSpaceCalls(), 0u);
    ext->ExCa = (ULONG)base;
    standin::SetMapIoSpaceFails(true);
    setO2MicroBits(ext);
    EXPECT_EQ(standin::MapIoSpaceCalls(), 1u);
    EXPECT_EQ(accesses, 0);
    standin::SetMapIoSpaceFails(false);
    setO2MicroBits(ext);
    EXPECT_EQ(Fresh(), (Lines{"setO2MicroBits: before [0x00000000 and 0x00]",
                              "setO2MicroBits: after  [0x00000000 and 0x00]"}));
    EXPECT_EQ(standin::LiveMappingCount(), 0u) << "the window is unmapped again";
    standin::UnregisterMmioWindow(base);
}

// Two full descriptors: every I/O range gets the new length, keeping its start; memory left alone.
TEST_F(QuirksTest, IoLengthChangesEveryPortRangeAndNothingElse)
{
    hackIoLength(nullptr, 0x1000);
    struct {
        CM_RESOURCE_LIST head;                  // Count, first full descriptor, its first partial
        CM_PARTIAL_RESOURCE_DESCRIPTOR more[1]; // second partial of the first
        CM_FULL_RESOURCE_DESCRIPTOR second;     // with its one partial
    } list{};
    list.head.Count = list.head.List[0].PartialResourceList.Count = 2, list.second.PartialResourceList.Count = 1;
    PCM_PARTIAL_RESOURCE_DESCRIPTOR d = list.head.List[0].PartialResourceList.PartialDescriptors;
    PCM_PARTIAL_RESOURCE_DESCRIPTOR p = list.second.PartialResourceList.PartialDescriptors;
    d[0].Type = p[0].Type = CmResourceTypePort;
    d[1].Type = CmResourceTypeMemory;
    d[0].u.Port.Start.QuadPart = 0x3000, d[0].u.Port.Length = 0x100, d[1].u.Memory.Length = 0x200, p[0].u.Port.Length = 0x80;
    hackIoLength(&list.head, 0x1000);
    EXPECT_EQ((std::vector<ULONG>{d[0].u.Port.Start.LowPart, d[0].u.Port.Length, d[1].u.Memory.Length, p[0].u.Port.Length}),
              (std::vector<ULONG>{0x3000, 0x1000, 0x200, 0x1000}));
    EXPECT_EQ(Trace(), (Lines{"hackIoLength old = 0x100 new = 0x1000", "hackIoLength old = 0x80 new = 0x1000"}));
}

// ---- The PCI patch table, judged by what each part needs in its registers (their documented
// meaning), not by the table's rows.
// A register to patch: bits to set, bits to clear, others kept; in function 0 (shared by both
// sockets) or in the function patched.
struct Need { uint8_t offset; int width; uint32_t set, clear; bool functionZero; };

// The parts of a family need the same registers.
struct Family { const char *name; USHORT vendor; std::vector<USHORT> devices; std::vector<Need> needs; };

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

uint32_t Get(const sim::PciFunction *f, const Need &n)
{
    return n.width == 8 ? f->Peek8(n.offset) : n.width == 16 ? f->Peek16(n.offset) : f->Peek32(n.offset);
}
void Set(sim::PciFunction *f, const Need &n, uint32_t v)
{
    n.width == 8 ? f->Poke8(n.offset, v) : n.width == 16 ? f->Poke16(n.offset, v) : f->Poke32(n.offset, v);
}

// Function 1 of each two-function part is patched, its registers holding the opposite of the
// need over all-zeros, then all-ones (a bit set or cleared too many shows either way).
TEST_F(QuirksTest, EveryPartsRegistersEndUpAsThePartNeeds)
{
    struct Placed { const Family *family; USHORT device; sim::PciFunction *f0, *f1; };
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
                Set(p.f0, n, (background & ~n.set) | n.clear);
                Set(p.f1, n, (background & ~n.set) | n.clear);
            }
            PciPatching(0, (UCHAR)slot, 1);
            for (const Need &n : p.family->needs) {
                const uint32_t mask = 0xFFFFFFFFu >> (32 - n.width), before = ((background & ~n.set) | n.clear) & mask;
                EXPECT_EQ(Get(n.functionZero ? p.f0 : p.f1, n), ((before & ~n.clear) | n.set) & mask) << "register 0x" << std::hex << int(n.offset);
                EXPECT_EQ(Get(n.functionZero ? p.f1 : p.f0, n), before) << "the other function's 0x" << std::hex << int(n.offset);
            }
        }
    }
}

// Written and reported only while it differs.
TEST_F(QuirksTest, RegisterIsWrittenOnlyWhileItDiffers)
{
    auto *ricoh = machine_.AddFunction(machine_.Root(), 2, 0, DeviceFor(0x1180, 0x0476));
    Power();
    ricoh->ClearWriteLog();
    PciPatching(0, 2, 0);
    PciPatching(0, 2, 0);
    EXPECT_EQ(ricoh->WriteLog(), (Writes{{0x80, 2, 0x0001}}));
    EXPECT_EQ(Trace(), Lines{"PciPatching 0x1180-0476 @ 0-2-0 off 0x80"});
}

// ---- Legacy device mapping and VGA forwarding on a chassis: controller, bridge, cards.
// Requirements as the bus driver hands them over: a port or memory range is followed by a tag
// naming its BAR (Data[1]).
IO_RESOURCE_DESCRIPTOR One(const sim::RequirementsBuilder &b) { return b.Descriptors()[0]; }
IO_RESOURCE_DESCRIPTOR Port(ULONG length, ULONG alignment) { return One(sim::RequirementsBuilder().Port(length, alignment, 0, 0xFFFF)); }
IO_RESOURCE_DESCRIPTOR Mem(ULONG length, ULONG alignment, USHORT flags = 0)
{
    return One(sim::RequirementsBuilder().Memory(length, alignment, 0, ~0u, flags));
}
IO_RESOURCE_DESCRIPTOR Private(ULONG barIndex) { return One(sim::RequirementsBuilder().DevicePrivate(1, barIndex, 0)); }
IO_RESOURCE_DESCRIPTOR Irq() { return One(sim::RequirementsBuilder().Interrupt(0, 0xFF)); }
using Lists = std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>>;

class ChassisTest : public QuirksTest {
  protected:
    // 00:03.0 TI1420 (buses 1..2), 01:00.0 DEC21154 (bus 2), 02:02.0 a card with I/O, memory
    // and prefetchable BARs, 02:04.0 a VGA controller.
    void Build(ULONG mapLegacy, ULONG vgaAlias = 0)
    {
        Configure({{"mapLegacy", mapLegacy}, {"vgaAlias", vgaAlias}});
        rootFn_ = machine_.AddFunction(machine_.Root(), 3, 0, sim::models::TI1420());
        bridgeFn_ = machine_.AddFunction(machine_.SecondarySegment(rootFn_), 0, 0, sim::models::DEC21154());
        cardFn_ = machine_.AddFunction(
            machine_.SecondarySegment(bridgeFn_), 2, 0,
            sim::models::Generic(0x1234, 0x5678, 0x078000,
                                 {sim::IoBar(0, 0x20), sim::MemBar(1, 0x1000), sim::PrefetchBar(2, 0x1000)}));
        vgaFn_ = machine_.AddFunction(machine_.SecondarySegment(bridgeFn_), 4, 0, sim::models::GeForce2MX());
        machine_.SetBusNumbers(rootFn_, 0, 1, 2);
        machine_.SetBusNumbers(bridgeFn_, 1, 2, 2);
        Power();

        root_ = Attach({rootFn_, CB_BRIDGE | ROOT, BRIDGE_TYPE_CARDBUS, 0, 1, 2});
        root_->Irq = 11;
        bridge_ = Attach({bridgeFn_, P2P_BRIDGE, BRIDGE_TYPE_P2P, 1, 2, 2});
        // The bridge's windows as its start resources gave them.
        bridge_->IoBase = 0x1010, bridge_->IoLength = 0x1000 - 0x10, bridge_->IoEnd = 0x2000;
        bridge_->MemBase = 0xE0000000, bridge_->MemLength = 0x100000, bridge_->MemEnd = 0xE0100000;
        bridge_->PreBase = 0xD0000000, bridge_->PreLength = 0x100000, bridge_->PreEnd = 0xD0100000;
        card_ = Attach({cardFn_});
        vga_ = Attach({vgaFn_, VGA});
        for (auto *f : {rootFn_, bridgeFn_, cardFn_, vgaFn_})
            f->ClearWriteLog();
    }

    void TearDown() override
    {
        for (auto *l : lists_)
            ExFreePool(l);
        QuirksTest::TearDown();
    }
    PIO_RESOURCE_REQUIREMENTS_LIST Req(const Lists &lists)
    {
        lists_.push_back(sim::BuildRequirementsList(lists, PCIBus, 0, 0));
        return lists_.back();
    }
    std::vector<ULONG> Cursors() const { return {bridge_->IoBase, bridge_->MemBase, bridge_->PreBase}; }

    sim::PciFunction *rootFn_ = nullptr, *bridgeFn_ = nullptr, *cardFn_ = nullptr, *vgaFn_ = nullptr;
    PDEVICE_EXTENSION root_ = nullptr, bridge_ = nullptr, card_ = nullptr, vga_ = nullptr;
    std::vector<PIO_RESOURCE_REQUIREMENTS_LIST> lists_;
};

const char *const kLocateCard = "LocateMe: vid 0x1234-5678 @ 2:2:0";
const char *const kNoteCard = "NOTE: mapping legacy device @ 2:2:0";

// A requirements list for the card, its writes in order, the parent's cursors after (I/O,
// memory, prefetchable) and lines the trace must hold; what cannot be placed is skipped.
struct MapCase {
    const char *name;
    Lists lists;
    void (*setup)(sim::PciFunction *card, PDEVICE_EXTENSION bridge, PIO_RESOURCE_REQUIREMENTS_LIST req);
    Writes writes;
    std::vector<ULONG> cursors;
    Lines lines;
};

void PrintTo(const MapCase &c, std::ostream *os) { *os << c.name; }

class MapTest : public ChassisTest, public ::testing::WithParamInterface<MapCase> {};

TEST_P(MapTest, CardIsPlacedInItsParentsWindows)
{
    const MapCase &c = GetParam();
    Build(1);
    PIO_RESOURCE_REQUIREMENTS_LIST req = Req(c.lists);
    if (c.setup != nullptr)
        c.setup(cardFn_, bridge_, req);
    mapLegacyDevice(card_, req);
    EXPECT_EQ(cardFn_->WriteLog(), c.writes);
    EXPECT_EQ(Cursors(), c.cursors);
    for (const std::string &line : c.lines)
        EXPECT_EQ(testsupport::CountContaining(Trace(), line), 1u) << line << "\n" << testsupport::TraceText();
}

const Writes kNothingPlaced = {{0x04, 2, 0x0000}}; // no decoding, no bus mastering
#define SETUP(body) [](sim::PciFunction *card, PDEVICE_EXTENSION b, PIO_RESOURCE_REQUIREMENTS_LIST r) { body; }

INSTANTIATE_TEST_SUITE_P(
    Cases, MapTest,
    ::testing::Values(
        MapCase{"WholeCardInListOrder",
                {{Port(0x20, 0x20), Private(0), Mem(0x1000, 0x1000), Private(1), Irq(),
                  Mem(0x1000, 0x1000, CM_RESOURCE_MEMORY_PREFETCHABLE), Private(2)}},
                nullptr,
                {{0x10, 4, 0x1020}, {0x14, 4, 0xE0000000}, {0x3C, 1, 11}, {0x18, 4, 0xD0000000}, {0x04, 2, 0x0007}},
                {0x1040, 0xE0001000, 0xD0001000},
                {"mapLegacyDevice: cmd reg <== 0x7"}},
        // Every alternative list; at the cursor without alignment, then aligned up to the window end.
        MapCase{"EveryAlternativeListUpToTheWindowEnd", {{Port(0x8, 0), Private(0)}, {Port(0x20, 0x20), Private(0)}},
                SETUP(b->IoBase = 0x1FD3), {{0x10, 4, 0x1FD3}, {0x10, 4, 0x1FE0}, {0x04, 2, 0x0001}},
                {0x2000, 0xE0000000, 0xD0000000}, {}},
        // BAR1 reads as a 64-bit decoder: its upper half (BAR2) is cleared; BAR5 has no upper half.
        MapCase{"SixtyFourBitBarGetsItsUpperHalfCleared",
                {{Mem(0x1000, 0x1000), Private(1), Mem(0x1000, 0x1000), Private(5)}},
                SETUP((card->Poke32(0x14, 0x4), card->Poke32(0x18, 0x12345000), card->Poke32(0x24, 0x4))),
                {{0x18, 4, 0}, {0x14, 4, 0xE0000000}, {0x24, 4, 0xE0001000}, {0x04, 2, 0x0006}},
                {0x1010, 0xE0002000, 0xD0000000}, {}},
        MapCase{"SkippedPortDoesNotStopTheWalk", {{Port(0x20, 0x20), Mem(0x1000, 0x1000), Private(1)}}, nullptr,
                {{0x14, 4, 0xE0000000}, {0x04, 2, 0x0006}}, {0x1010, 0xE0001000, 0xD0000000},
                {"WARNING mapLegacyDevice: desc 0 has no BAR index, skipped"}},
        // Cursors near the ends of the windows: nothing fits, nothing is untagged or past the six registers.
        MapCase{"NothingPastTheWindowEndsOrWithoutAValidIndex",
                {{Port(0x20, 0x20), Private(0), Mem(0x2000, 0x1000), Private(1),
                  Mem(0x1000, 0x1000, CM_RESOURCE_MEMORY_PREFETCHABLE), Private(2), Port(0x8, 0x8), Private(6),
                  Mem(0x100, 0x100), Irq(), Port(0x8, 0x8)}},
                SETUP((b->IoBase = 0x1FF0, b->MemBase = 0xE00FF000, b->PreBase = 0xD00FF800)),
                {{0x3C, 1, 11}, {0x04, 2, 0x0000}}, {0x1FF0, 0xE00FF000, 0xD00FF800},
                {"WARNING mapLegacyDevice: I/O bar #0 (0x20 bytes) does not fit at 0x1ff0, skipped",
                 "WARNING mapLegacyDevice: MEM bar #1 (0x2000 bytes) does not fit at 0xe00ff000, skipped",
                 "WARNING mapLegacyDevice: MEM bar #2 (0x1000 bytes) does not fit at 0xd00ff800, skipped",
                 "WARNING mapLegacyDevice: desc 6 names BAR #6, skipped",
                 "WARNING mapLegacyDevice: desc 8 has no BAR index, skipped",
                 "WARNING mapLegacyDevice: desc 10 has no BAR index, skipped"}},
        MapCase{"ParentWithoutSuchAWindowOrRoundingPastFourGigabytes",
                {{Port(0x20, 0x20), Private(0), Mem(0x100, 0x1000), Private(1)}},
                SETUP((b->IoBase = b->IoLength = b->IoEnd = 0, b->MemBase = 0xFFFFF800, b->MemEnd = ~0u)), kNothingPlaced,
                {0, 0xFFFFF800, 0xD0000000},
                {"WARNING mapLegacyDevice: I/O bar #0 (0x20 bytes) does not fit at 0x0, skipped",
                 "WARNING mapLegacyDevice: MEM bar #1 (0x100 bytes) does not fit at 0xfffff800, skipped"}},
        // The tag falls outside the list's size.
        MapCase{"ListShorterThanItsCounts", {{Port(0x20, 0x20), Private(0)}},
                SETUP(r->ListSize -= sizeof(IO_RESOURCE_DESCRIPTOR)), kNothingPlaced, {0x1010, 0xE0000000, 0xD0000000},
                {"WARNING mapLegacyDevice: list 0 runs past the end of the requirements, stopped"}}),
    [](const ::testing::TestParamInfo<MapCase> &info) { return std::string(info.param.name); });

// A failed class read (all-ones, no bridge class) still maps: the direct accesses skip the stack.
TEST_F(ChassisTest, FailedClassReadStillMaps)
{
    Build(1);
    bus_->SetConfigMode(card_->Pdo, sim::ConfigMode::Fail);
    mapLegacyDevice(card_, Req({{Port(0x20, 0x20), Private(0)}}));
    EXPECT_EQ(testsupport::CountContaining(Trace(), "ERROR! ReadPCIConfigW @ 0x8 failed"), 1u);
    EXPECT_EQ(cardFn_->WriteLog(), (Writes{{0x10, 4, 0x1020}, {0x04, 2, 0x0001}}));
}

// Nothing written or moved: option off, no list, a bridge, no parent, no root, no location.
TEST_F(ChassisTest, DeviceIsLeftAloneWhenOffUnlistedABridgeOrWithoutParentRootOrLocation)
{
    Build(0);
    PIO_RESOURCE_REQUIREMENTS_LIST req = Req({{Port(0x20, 0x20), Private(0)}});
    const std::vector<ULONG> cursors = Cursors();
    mapLegacyDevice(card_, req);
    EXPECT_EQ(Fresh(), Lines{}) << "mapLegacy off";

    Configure({{"mapLegacy", 1}});
    mapLegacyDevice(card_, nullptr);
    EXPECT_EQ(Fresh(), Lines{"WARNING mapLegacyDevice: pRes is NULL!!!"});
    mapLegacyDevice(bridge_, req);
    EXPECT_EQ(Fresh(), (Lines{"LocateMe: vid 0x1011-0026 @ 1:0:0", "mapLegacyDevice: ignoring bridge device..."}));
    bridge_->SecBus = 7; // no filtered bridge has bus 2 behind it any more
    mapLegacyDevice(card_, req);
    EXPECT_EQ(Fresh(), (Lines{kLocateCard, kNoteCard, "ERROR mapLegacyDevice: GetParent returned NULL"}));
    bridge_->SecBus = 2;
    root_->Flags &= ~ROOT;
    mapLegacyDevice(card_, req);
    EXPECT_EQ(Fresh(), (Lines{kLocateCard, kNoteCard, "ERROR mapLegacyDevice: GetRoot returned NULL"}));
    root_->Flags |= ROOT;
    bus_->SetPropertiesFail(card_->Pdo, true);
    mapLegacyDevice(card_, req);
    EXPECT_EQ(testsupport::CountContaining(Fresh(), "WARNING mapLegacyDevice: location unknown, nothing mapped"), 1u);

    EXPECT_EQ(cardFn_->WriteLog(), Writes{});
    EXPECT_EQ(bridgeFn_->WriteLog(), Writes{});
    EXPECT_EQ(Cursors(), cursors);
}

// Forwarding only with the option and for a display, in both bridges (even when already set);
// a bridge that is its own parent (bus and secondary both 2) ends the climb.
TEST_F(ChassisTest, VgaForwardingIsTurnedOnInEveryBridgeAbove)
{
    Build(0, 0);
    vgaEnable(vga_->DeviceObject);
    EXPECT_EQ(Fresh(), Lines{});
    EXPECT_EQ(bridgeFn_->WriteLog(), Writes{});
    EXPECT_EQ(rootFn_->WriteLog(), Writes{});
    Configure({{"vgaAlias", 1}});
    bridgeFn_->Poke16(0x3E, 0x0008);
    vgaEnable(card_->DeviceObject);
    EXPECT_EQ(Fresh(), Lines{"vgaEnable: Called but not a VGA device!!!"});
    EXPECT_EQ(bridgeFn_->WriteLog(), Writes{});
    vgaEnable(vga_->DeviceObject);
    EXPECT_EQ(bridgeFn_->WritesTo(0x3E, 2), (Writes{{0x3E, 2, 0x0008}}));
    EXPECT_EQ(rootFn_->WritesTo(0x3E, 2), (Writes{{0x3E, 2, (uint32_t)(sim::models::TI1420().bridgeControl | 8)}}));
    EXPECT_EQ(rootFn_->Peek16(0x3E) & 0x0008, 0x0008);
    EXPECT_EQ(Fresh(), Lines{}) << "no line of its own";

    rootFn_->ClearWriteLog();
    bridge_->Bus = 2; // its register access goes to 02:00.0, where nothing answers
    vgaEnable(vga_->DeviceObject);
    EXPECT_EQ(rootFn_->WriteLog(), Writes{});
    EXPECT_EQ(testsupport::CountContaining(Fresh(), "WARNING vgaEnable: bridge chain loops at devObj"), 1u);
}

// A bridge whose subtree its parent's probe numbered, now routing more than lies behind it, is
// closed around what its own probe finds.
TEST_F(ChassisTest, EnumeratedBridgeIsClosedAroundItsSubtree)
{
    Build(0);
    machine_.SetBusNumbers(rootFn_, 0, 1, 3), root_->SubBus = 3;
    machine_.SetBusNumbers(bridgeFn_, 1, 2, 3), bridge_->SubBus = 3;
    root_->Flags |= ENUMERATE, bridge_->Flags |= ENUMERATE;
    ULONG needs[5];
    EnumerateFromHere(bridge_, &needs[0], &needs[1], &needs[2], &needs[3], &needs[4], nullptr);
    EXPECT_EQ((std::vector<ULONG>{bridgeFn_->SubordinateBus(), bridge_->SubBus}), (std::vector<ULONG>{2, 2}));
    EXPECT_EQ(testsupport::CountContaining(Trace(), "NOTE EnumerateFromHere: 1:0:0 sub closed to 2"), 1u);
}

} // namespace
