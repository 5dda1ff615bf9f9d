// The simulated PCI bus driver, where the driver relies on it answering as
// pci.sys does: requirement lists (each BAR tagged with its index, bridge
// windows sized to XP's minimums), XP's bus numbering, start programming the
// hardware and refusing what it cannot hold, volatile state lost in D3,
// referenced relations, unhandled requests left alone, gone functions.
#include "os_fixture.h"

namespace {

namespace models = sim::models;

// A requirement list as one word per descriptor: M or P and the length in
// hex (p when prefetchable), k<Data[0]>.<Data[1]>.<Data[2]> for a
// device-private tag, I for an interrupt.
std::string Words(const std::vector<IO_RESOURCE_DESCRIPTOR> &req)
{
    std::ostringstream s;
    s << std::hex;
    for (const auto &d : req)
        if (d.Type == CmResourceTypeMemory || d.Type == CmResourceTypePort)
            s << (d.Type == CmResourceTypePort ? "P" : "M") << d.u.Generic.Length
              << (d.Flags & CM_RESOURCE_MEMORY_PREFETCHABLE ? "p " : " ");
        else if (d.Type == CmResourceTypeDevicePrivate)
            s << "k" << d.u.DevicePrivate.Data[0] << "." << d.u.DevicePrivate.Data[1] << "." << d.u.DevicePrivate.Data[2]
              << " ";
        else
            s << (d.Type == CmResourceTypeInterrupt ? "I " : "? ");
    return s.str();
}

// A TI PCI1420 at 00:03.0 with buses 1..1 and an RTL8139 at 01:00.0.
class BusDriverTest : public ostest::OsTest {
  protected:
    void SetUp() override
    {
        OsTest::SetUp();
        cb_ = machine_->AddFunction(machine_->Root(), 3, 0, models::TI1420());
        machine_->SetBusNumbers(cb_, 0, 1, 1);
        nic_ = machine_->AddFunction(machine_->SecondarySegment(cb_), 0, 0, models::RTL8139());
        Manager(nullptr);
    }
    sim::PnpManager::Result Send(sim::PciFunction *f, UCHAR minor,
                                 const std::function<void(PIO_STACK_LOCATION)> &setup = nullptr)
    {
        return pnp_->SendPnp(bus_->PdoFor(f), minor, setup);
    }
    std::string Requirements(sim::PciFunction *f)
    {
        auto r = Send(f, IRP_MN_QUERY_RESOURCE_REQUIREMENTS);
        auto *list = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(r.information);
        EXPECT_TRUE(r.status == STATUS_SUCCESS && list != nullptr && list->AlternativeLists == 1);
        auto lists = sim::AlternativeLists(list);
        ExFreePool(list);
        return lists.empty() ? "" : Words(lists[0]);
    }
    // Bus relations: each reported object as the bus driver referenced it.
    std::vector<PDEVICE_OBJECT> Children(sim::PciFunction *f, std::vector<LONG> *refs = nullptr)
    {
        auto r = Send(f, IRP_MN_QUERY_DEVICE_RELATIONS,
                      [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = BusRelations; });
        auto *rel = reinterpret_cast<PDEVICE_RELATIONS>(r.information);
        std::vector<PDEVICE_OBJECT> out;
        for (ULONG i = 0; rel != nullptr && i < rel->Count; i++) {
            out.push_back(rel->Objects[i]);
            if (refs)
                refs->push_back(standin::ObjectReferenceCount(rel->Objects[i]));
            ObDereferenceObject(rel->Objects[i]);
        }
        if (rel)
            ExFreePool(rel);
        return out;
    }
    NTSTATUS Start(sim::PciFunction *f, const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> &partials)
    {
        PCM_RESOURCE_LIST raw = sim::BuildCmList(partials, PCIBus, 0), translated = sim::BuildCmList(partials, PCIBus, 0);
        auto r = Send(f, IRP_MN_START_DEVICE, [&](PIO_STACK_LOCATION sp) {
            sp->Parameters.StartDevice.AllocatedResources = raw;
            sp->Parameters.StartDevice.AllocatedResourcesTranslated = translated;
        });
        ExFreePool(raw);
        ExFreePool(translated);
        return r.status;
    }
    sim::PciFunction *Bridge(const sim::DeviceModel &model = models::DEC21154())
    {
        return machine_->AddFunction(machine_->SecondarySegment(cb_), 2, 0, model);
    }

    sim::PciFunction *cb_ = nullptr, *nic_ = nullptr;
};

TEST_F(BusDriverTest, RequirementListsTagEachBarAndSizeBridgeWindowsToXpsMinimums)
{
    sim::DeviceModel fpga = models::FpgaBoard64();
    fpga.bars = {sim::MemBar(0, 0x1000), sim::Mem64Bar(2, 16u << 20, true), sim::IoBar(4, 0x40)};
    EXPECT_EQ(Requirements(machine_->AddFunction(machine_->SecondarySegment(cb_), 1, 0, fpga)),
              "M1000 k0.0.0 M1000000p k0.2.0 P40 k0.4.0 I ") << "the 64-bit BAR is BAR 2; INTA";
    std::ostringstream cardbus;
    cardbus << std::hex << "M1000 k0.0.0 M" << sim::kCardBusMemWindow << " k1.1.0 M" << sim::kCardBusPrefetchWindow
            << "p k1.2.0 P" << sim::kCardBusIoWindow << " k1.3.0 I ";
    EXPECT_EQ(Requirements(cb_), cardbus.str());

    // A bridge's windows: 4 KB I/O and 1 MB memory at the least, else the sum
    // of what is behind it, aligned to its largest member.
    sim::PciFunction *bridge = Bridge();
    machine_->SetBusNumbers(cb_, 0, 1, 2);
    machine_->SetBusNumbers(bridge, 1, 2, 2);
    EXPECT_EQ(Requirements(bridge), "P1000 k1.2.0 M100000 k1.3.0 M100000p k1.4.0 ");
    machine_->AddFunction(machine_->SecondarySegment(bridge), 0, 0,
                          models::Generic(0x1234, 0x5678, 0x118000,
                                          {sim::MemBar(0, 16u << 20), sim::MemBar(1, 0x200000),
                                           sim::PrefetchBar(2, 64u << 20), sim::IoBar(3, 0x2000)}));
    EXPECT_EQ(Requirements(bridge), "P2000 k1.2.0 M1200000 k1.3.0 M4000000p k1.4.0 ");
}

struct NumberingRow {
    const char *name;
    uint8_t controllerSub; // the controller has [1..controllerSub]
    int bridges;           // unconfigured bridges on bus 1 (-1: one bridge the firmware gave 7..8)
    std::vector<std::array<uint8_t, 3>> expected;
};

class XpNumbering : public BusDriverTest, public ::testing::WithParamInterface<NumberingRow> {};

TEST_P(XpNumbering, UnconfiguredBridgesOnlyInsideTheFreeRange)
{
    const NumberingRow &row = GetParam();
    machine_->SetBusNumbers(cb_, 0, 1, row.controllerSub);
    std::vector<sim::PciFunction *> bridges;
    for (int i = 0; i < std::max(row.bridges, 1); i++)
        bridges.push_back(machine_->AddFunction(machine_->SecondarySegment(cb_), i + 1, 0, models::DEC21154()));
    if (row.bridges < 0)
        machine_->SetBusNumbers(bridges[0], 1, 7, 8);
    EXPECT_EQ(Children(cb_).size(), bridges.size() + 1) << "the NIC and the bridges";
    for (size_t i = 0; i < bridges.size(); i++)
        EXPECT_EQ((std::array<uint8_t, 3>{bridges[i]->PrimaryBus(), bridges[i]->SecondaryBus(),
                                          bridges[i]->SubordinateBus()}),
                  row.expected[i])
            << "bridge " << i;
    sim::PciFunction *root = machine_->AddFunction(machine_->Root(), 4, 0, models::O2MicroOZ711());
    bus_->NumberRootBridge(root);
    EXPECT_EQ(root->SecondaryBus(), std::max<int>(row.controllerSub, row.bridges < 0 ? 8 : 0) + 1)
        << "a root bridge takes the next free number";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, XpNumbering,
    ::testing::Values(NumberingRow{"no_free_number", 1, 1, {{0, 0, 0}}},
                      NumberingRow{"lone_bridge_takes_the_run", 5, 1, {{1, 2, 5}}},
                      NumberingRow{"several_get_one_each", 3, 3, {{1, 2, 2}, {1, 3, 3}, {0, 0, 0}}},
                      NumberingRow{"configured_bridge_keeps_what_firmware_gave", 9, -1, {{1, 7, 8}}}),
    [](const ::testing::TestParamInfo<NumberingRow> &info) { return std::string(info.param.name); });

TEST_F(BusDriverTest, StartProgramsTheHardwareAndRefusesWhatItCannotHold)
{
    ASSERT_EQ(Start(nic_, {sim::CmPort(0x2000, 0x100), sim::CmDevicePrivate(0, 0, 0), sim::CmMemory(0x90001000, 0x100),
                           sim::CmDevicePrivate(0, 1, 0), sim::CmInterrupt(10)}),
              STATUS_SUCCESS);
    EXPECT_EQ(nic_->Peek32(0x10), 0x2001u);
    EXPECT_EQ(nic_->Peek32(0x14), 0x90001000u);
    EXPECT_EQ(nic_->Peek8(0x3C), 10);
    EXPECT_EQ(nic_->Peek16(0x04) & 7, 7) << "I/O, memory, bus master";

    sim::PciFunction *bridge = Bridge();
    ASSERT_EQ(Start(bridge, {sim::CmMemory(0x88000000, 0x1100000), sim::CmDevicePrivate(1, 3, 0),
                             sim::CmMemory(0x98000000, 0x5000000, CM_RESOURCE_MEMORY_PREFETCHABLE),
                             sim::CmDevicePrivate(1, 4, 0)}),
              STATUS_SUCCESS);
    EXPECT_EQ(bridge->Peek32(0x20), 0x89008800u) << "memory 0x88000000-0x890FFFFF";
    EXPECT_EQ(bridge->Peek32(0x24) & 0xFFF0FFF0, 0x9CF09800u) << "prefetchable 0x98000000-0x9CFFFFFF";
    EXPECT_GT(bridge->Peek8(0x1C) & 0xF0, bridge->Peek8(0x1D) & 0xF0) << "no I/O window: base above limit";

    ASSERT_EQ(Start(cb_, {sim::CmMemory(0x80000000, 0x1000), sim::CmDevicePrivate(0, 0, 0),
                          sim::CmMemory(0x88000000, 0x400000), sim::CmDevicePrivate(1, 1, 0),
                          sim::CmMemory(0x90000000, 0x400000, CM_RESOURCE_MEMORY_PREFETCHABLE),
                          sim::CmDevicePrivate(1, 2, 0), sim::CmPort(0x1000, 0x300), sim::CmDevicePrivate(1, 3, 0)}),
              STATUS_SUCCESS);
    const std::pair<int, uint32_t> regs[] = {{0x10, 0x80000000}, {0x1C, 0x88000000}, {0x20, 0x883FF000},
                                             {0x24, 0x90000000}, {0x2C, 0x1000},     {0x30, 0x12FC}};
    for (const auto &r : regs)
        EXPECT_EQ(cb_->Peek32(r.first), r.second) << "CardBus register 0x" << std::hex << r.first;
    EXPECT_NE(cb_->Peek16(0x3E) & 0x0200, 0) << "window 1 marked prefetchable";

    const std::pair<bool, std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>> bad[] = {
        {false, {sim::CmPort(0x2010, 0x100), sim::CmDevicePrivate(0, 0, 0)}},      // BAR not aligned
        {false, {sim::CmMemory(0x90000000, 0x80), sim::CmDevicePrivate(0, 1, 0)}}, // BAR too short
        {false, {sim::CmPort(0x2000, 0x100), sim::CmDevicePrivate(0, 1, 0)}},      // I/O for a memory BAR
        {true, {sim::CmMemory(0x88080000, 0x100000), sim::CmDevicePrivate(1, 3, 0)}}, // window not on 1 MB
        {true, {sim::CmPort(0x10000, 0x1000), sim::CmDevicePrivate(1, 2, 0)}}, // I/O above 64K, 16-bit bridge
    };
    sim::PciFunction *narrow = machine_->AddFunction(machine_->SecondarySegment(cb_), 3, 0, models::TIPCI2250());
    sim::PciFunction *fresh = machine_->AddFunction(machine_->SecondarySegment(cb_), 4, 0, models::RTL8139());
    for (const auto &row : bad) {
        sim::PciFunction *f = row.first ? narrow : fresh;
        uint32_t before[2] = {f->Peek32(0x10), f->Peek32(0x20)};
        EXPECT_EQ(Start(f, row.second), STATUS_UNSUCCESSFUL) << sim::DescribePartials(row.second);
        EXPECT_TRUE(f->Peek32(0x10) == before[0] && f->Peek32(0x20) == before[1]) << "nothing programmed";
        EXPECT_FALSE(bus_->Record(bus_->PdoFor(f))->started);
    }
}

TEST_F(BusDriverTest, D3LosesVolatileStateAndD0RestoresOnlyTheCommand)
{
    ASSERT_EQ(Start(cb_, {sim::CmMemory(0x80000000, 0x1000), sim::CmDevicePrivate(0, 0, 0)}), STATUS_SUCCESS);
    uint16_t command = cb_->Peek16(0x04);
    cb_->Poke16(0x0C, 0xF810);
    cb_->Poke8(0x1B, 0xF8);
    cb_->Poke16(0x3E, 0x0740);
    cb_->Poke16(0x8C, 0xCD22);
    bus_->SocketWrite(cb_, 0x28, 4, 0x0C00);
    pnp_->SendPower(bus_->PdoFor(cb_), IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(cb_->Peek16(0x0C), 0xF810) << "D0 without D3 loses nothing";
    pnp_->SendPower(bus_->PdoFor(cb_), IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(cb_->Peek16(0x0C), 0xF810) << "nothing lost before the power comes back";
    pnp_->SendPower(bus_->PdoFor(cb_), IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0);
    for (uint8_t offset : {0x0C, 0x3E, 0x8C}) // cache line and latency, bridge control, vendor registers
        EXPECT_EQ(cb_->Peek16(offset), cb_->ResetValue(offset, 2)) << "register 0x" << std::hex << int(offset) << " lost";
    EXPECT_EQ(cb_->Peek8(0x1B), cb_->ResetValue(0x1B, 1)) << "latency timer of the CardBus lost";
    EXPECT_EQ(bus_->SocketRead(cb_, 0x28, 4), 0u) << "socket registers lost";
    EXPECT_EQ(cb_->Peek16(0x04), command) << "the command register restored";
    EXPECT_EQ(cb_->Peek32(0x10), 0x80000000u) << "BARs kept";
}

TEST_F(BusDriverTest, RelationsUnhandledRequestsAndGoneFunctions)
{
    std::vector<LONG> refs;
    std::vector<PDEVICE_OBJECT> first = Children(cb_, &refs);
    ASSERT_EQ(first, std::vector<PDEVICE_OBJECT>{bus_->PdoFor(nic_)});
    EXPECT_EQ(refs, std::vector<LONG>{1}) << "the bus driver references what it reports";
    EXPECT_EQ(Children(cb_), first) << "a second query reports the same PDO";
    EXPECT_EQ(Send(nic_, IRP_MN_QUERY_RESOURCES).information, 0u) << "no boot configuration while nothing decodes";

    const std::pair<UCHAR, std::function<void(PIO_STACK_LOCATION)>> unhandled[] = {
        {IRP_MN_QUERY_INTERFACE, nullptr},
        {IRP_MN_QUERY_LEGACY_BUS_INFORMATION, nullptr},
        {IRP_MN_QUERY_ID, [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = BusQueryDeviceSerialNumber; }},
        {IRP_MN_QUERY_DEVICE_RELATIONS, /* bus relations of a function that is no bridge */
         [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = BusRelations; }},
    };
    for (const auto &row : unhandled) {
        auto r = Send(nic_, row.first, row.second);
        EXPECT_TRUE(r.status == STATUS_NOT_SUPPORTED && r.information == 0u) << "minor 0x" << std::hex << int(row.first);
    }

    PDEVICE_OBJECT pdo = bus_->PdoFor(nic_);
    EXPECT_EQ(Send(nic_, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_FALSE(standin::DeviceIsDeleted(pdo)) << "a present function keeps its PDO";
    bus_->SetPresent(nic_, false);
    UCHAR buffer[4] = {0};
    auto r = pnp_->SendPnp(pdo, IRP_MN_READ_CONFIG, [&buffer](PIO_STACK_LOCATION sp) {
        sp->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
        sp->Parameters.ReadWriteConfig.Buffer = buffer;
        sp->Parameters.ReadWriteConfig.Length = 4;
    });
    EXPECT_EQ(r.status, STATUS_DEVICE_REMOVED) << "a gone function fails configuration access";
    EXPECT_TRUE(Children(cb_).empty()) << "and leaves the relations";
    EXPECT_EQ(pnp_->SendPnp(pdo, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_TRUE(standin::DeviceIsDeleted(pdo)) << "a function that is gone loses its PDO";
}

} // namespace
