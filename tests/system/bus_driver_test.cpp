// The simulated PCI bus driver's answers: capabilities, IDs, texts, bus
// information, requirement lists in the conventions the driver relies on,
// boot configuration, bus relations, XP's bus numbering, start, power and the
// failure knobs.
#include "os_fixture.h"

#include "pci_devices.h"

namespace {

using ostest::OsTest;
namespace models = sim::models;

std::vector<std::string> Strings(ULONG_PTR information, bool multi)
{
    std::vector<std::string> out;
    for (auto *p = reinterpret_cast<PCWSTR>(information); p != nullptr && *p != 0; p++) {
        std::string s;
        while (*p != 0)
            s.push_back(char(*p++));
        out.push_back(s);
        if (!multi)
            break;
    }
    return out;
}

// A requirement list as one word per descriptor: M or P and the length in
// hex (p when prefetchable), k<Data[0]>.<Data[1]>.<Data[2]> for a
// device-private tag, I for an interrupt.
std::string Words(const std::vector<IO_RESOURCE_DESCRIPTOR> &req)
{
    std::ostringstream s;
    s << std::hex;
    for (const auto &d : req) {
        if (d.Type == CmResourceTypeMemory || d.Type == CmResourceTypePort)
            s << (d.Type == CmResourceTypePort ? "P" : "M") << d.u.Generic.Length
              << (d.Flags & CM_RESOURCE_MEMORY_PREFETCHABLE ? "p " : " ");
        else if (d.Type == CmResourceTypeDevicePrivate)
            s << "k" << d.u.DevicePrivate.Data[0] << "." << d.u.DevicePrivate.Data[1] << "." << d.u.DevicePrivate.Data[2]
              << " ";
        else
            s << (d.Type == CmResourceTypeInterrupt ? "I " : "? ");
    }
    return s.str();
}

std::string Hex(ULONG v)
{
    std::ostringstream s;
    s << std::hex << v;
    return s.str();
}

class BusDriverTest : public OsTest {
  protected:
    void SetUp() override
    {
        OsTest::SetUp();
        cb_ = machine_->AddFunction(machine_->Root(), 3, 0, models::TI1420());
        machine_->SetBusNumbers(cb_, 0, 1, 1);
        nic_ = machine_->AddFunction(machine_->SecondarySegment(cb_), 0, 0, models::RTL8139());
        machine_->AddFunction(machine_->Root(), 0, 0, models::Intel440BX());
        Manager(nullptr);
    }

    sim::PnpManager::Result Send(PDEVICE_OBJECT pdo, UCHAR minor,
                                 const std::function<void(PIO_STACK_LOCATION)> &setup = nullptr)
    {
        return pnp_->SendPnp(pdo, minor, setup);
    }

    DEVICE_CAPABILITIES Caps(PDEVICE_OBJECT pdo, USHORT version, NTSTATUS *status)
    {
        DEVICE_CAPABILITIES caps;
        memset(&caps, 0, sizeof caps);
        caps.Size = sizeof caps;
        caps.Version = version;
        *status = Send(pdo, IRP_MN_QUERY_CAPABILITIES, [&caps](PIO_STACK_LOCATION sp) {
                      sp->Parameters.DeviceCapabilities.Capabilities = &caps;
                  }).status;
        return caps;
    }

    std::vector<std::string> Text(PDEVICE_OBJECT pdo, UCHAR minor, ULONG type, bool multi = false)
    {
        auto r = Send(pdo, minor, [minor, type](PIO_STACK_LOCATION sp) {
            if (minor == IRP_MN_QUERY_ID)
                sp->Parameters.QueryId.IdType = BUS_QUERY_ID_TYPE(type);
            else
                sp->Parameters.QueryDeviceText.DeviceTextType = DEVICE_TEXT_TYPE(type);
        });
        EXPECT_EQ(r.status, STATUS_SUCCESS) << "minor 0x" << std::hex << int(minor) << " type " << type;
        std::vector<std::string> strings = Strings(r.information, multi);
        if (r.information)
            ExFreePool(reinterpret_cast<PVOID>(r.information));
        return strings.empty() ? std::vector<std::string>{""} : strings;
    }

    std::vector<IO_RESOURCE_DESCRIPTOR> Requirements(PDEVICE_OBJECT pdo)
    {
        auto r = Send(pdo, IRP_MN_QUERY_RESOURCE_REQUIREMENTS);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        auto *list = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(r.information);
        auto lists = sim::AlternativeLists(list);
        if (list)
            ExFreePool(list);
        return lists.empty() ? std::vector<IO_RESOURCE_DESCRIPTOR>() : lists[0];
    }

    // The relations of one type, each reported object's reference count as
    // it came back (then dropped), and whether the list was paged pool.
    std::vector<PDEVICE_OBJECT> Relations(PDEVICE_OBJECT pdo, DEVICE_RELATION_TYPE type = BusRelations,
                                          std::vector<LONG> *refs = nullptr, bool *paged = nullptr)
    {
        auto r = Send(pdo, IRP_MN_QUERY_DEVICE_RELATIONS,
                      [type](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = type; });
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        auto *rel = reinterpret_cast<PDEVICE_RELATIONS>(r.information);
        std::vector<PDEVICE_OBJECT> out;
        if (rel == nullptr)
            return out;
        for (const auto &b : standin::OutstandingBlocks())
            if (b.address == rel && paged)
                *paged = b.type == PagedPool;
        for (ULONG i = 0; i < rel->Count; i++) {
            out.push_back(rel->Objects[i]);
            if (refs)
                refs->push_back(standin::ObjectReferenceCount(rel->Objects[i]));
            ObDereferenceObject(rel->Objects[i]);
        }
        ExFreePool(rel);
        return out;
    }

    NTSTATUS Start(PDEVICE_OBJECT pdo, const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> &partials)
    {
        PCM_RESOURCE_LIST raw = sim::BuildCmList(partials, PCIBus, 0);
        PCM_RESOURCE_LIST translated = sim::BuildCmList(partials, PCIBus, 0);
        auto r = Send(pdo, IRP_MN_START_DEVICE, [&](PIO_STACK_LOCATION sp) {
            sp->Parameters.StartDevice.AllocatedResources = raw;
            sp->Parameters.StartDevice.AllocatedResourcesTranslated = translated;
        });
        ExFreePool(raw);
        ExFreePool(translated);
        return r.status;
    }

    PDEVICE_OBJECT Pdo(sim::PciFunction *f) { return bus_->PdoFor(f); }
    sim::PciFunction *Bridge(const sim::DeviceModel &model = models::DEC21154())
    {
        return machine_->AddFunction(machine_->SecondarySegment(cb_), 2, 0, model);
    }

    sim::PciFunction *cb_ = nullptr;
    sim::PciFunction *nic_ = nullptr;
};


TEST_F(BusDriverTest, CapabilitiesAddressPowerMappingAndRemovability)
{
    NTSTATUS status = 0;
    DEVICE_CAPABILITIES child = Caps(Pdo(nic_), 1, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(child.Address, 0x00000000u);
    EXPECT_EQ(child.DeviceState[PowerSystemWorking], PowerDeviceD0);
    for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; s++)
        EXPECT_EQ(child.DeviceState[s], PowerDeviceD3) << "system state " << s;
    EXPECT_EQ(child.SurpriseRemovalOK, 1u) << "a card behind a CardBus controller can be pulled";
    EXPECT_EQ(child.Removable, 1u);

    DEVICE_CAPABILITIES controller = Caps(Pdo(cb_), 1, &status);
    EXPECT_EQ(controller.Address, (3u << 16) | 0u);
    EXPECT_EQ(controller.UINumber, 3u);
    EXPECT_EQ(controller.SurpriseRemovalOK, 0u) << "the controller on bus 0 stays";
    EXPECT_EQ(controller.Removable, 0u);

    Caps(Pdo(nic_), 2, &status);
    EXPECT_EQ(status, STATUS_INVALID_PARAMETER) << "capabilities of the wrong version";
}

TEST_F(BusDriverTest, IdsTextsAndBusInformationInPciFormat)
{
    PDEVICE_OBJECT pdo = Pdo(nic_);
    EXPECT_EQ(Text(pdo, IRP_MN_QUERY_ID, BusQueryDeviceID)[0], "PCI\\VEN_10EC&DEV_8139&SUBSYS_813910EC&REV_10");
    EXPECT_EQ(Text(pdo, IRP_MN_QUERY_ID, BusQueryHardwareIDs, true),
              std::vector<std::string>({"PCI\\VEN_10EC&DEV_8139&SUBSYS_813910EC&REV_10",
                                        "PCI\\VEN_10EC&DEV_8139&SUBSYS_813910EC", "PCI\\VEN_10EC&DEV_8139&REV_10",
                                        "PCI\\VEN_10EC&DEV_8139", "PCI\\VEN_10EC&DEV_8139&CC_020000",
                                        "PCI\\VEN_10EC&DEV_8139&CC_0200"}));
    EXPECT_EQ(Text(pdo, IRP_MN_QUERY_ID, BusQueryCompatibleIDs, true),
              std::vector<std::string>({"PCI\\VEN_10EC&CC_020000", "PCI\\VEN_10EC&CC_0200", "PCI\\VEN_10EC",
                                        "PCI\\CC_020000", "PCI\\CC_0200"}));
    std::string instance = Text(pdo, IRP_MN_QUERY_ID, BusQueryInstanceID)[0];
    EXPECT_EQ(instance.substr(0, 2), "3&") << instance;
    EXPECT_EQ(instance.substr(instance.size() - 3), "&00") << instance;
    EXPECT_EQ(Text(Pdo(cb_), IRP_MN_QUERY_ID, BusQueryInstanceID)[0].substr(0, 2), "3&");

    EXPECT_EQ(Text(pdo, IRP_MN_QUERY_DEVICE_TEXT, DeviceTextDescription)[0], "Realtek RTL8139 Ethernet");
    EXPECT_EQ(Text(pdo, IRP_MN_QUERY_DEVICE_TEXT, DeviceTextLocationInformation)[0], "PCI bus 1, device 0, function 0");
    EXPECT_EQ(Text(Pdo(cb_), IRP_MN_QUERY_DEVICE_TEXT, DeviceTextLocationInformation)[0],
              "PCI bus 0, device 3, function 0");

    auto r = Send(pdo, IRP_MN_QUERY_BUS_INFORMATION);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    auto *info = reinterpret_cast<PPNP_BUS_INFORMATION>(r.information);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->BusTypeGuid.Data1, 0xc8ebdfb0u);
    EXPECT_EQ(info->BusTypeGuid.Data2, 0xb510u);
    EXPECT_EQ(info->LegacyBusType, PCIBus);
    EXPECT_EQ(info->BusNumber, 1u);
    ExFreePool(info);
}

TEST_F(BusDriverTest, UnhandledRequestsKeepTheirStatus)
{
    const std::pair<UCHAR, std::function<void(PIO_STACK_LOCATION)>> rows[] = {
        {IRP_MN_QUERY_INTERFACE, nullptr},
        {IRP_MN_QUERY_LEGACY_BUS_INFORMATION, nullptr},
        {IRP_MN_EJECT, nullptr},
        {IRP_MN_QUERY_ID, [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = BusQueryDeviceSerialNumber; }},
        {IRP_MN_QUERY_DEVICE_RELATIONS, /* bus relations of a function that is no bridge */
         [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = BusRelations; }},
    };
    for (const auto &row : rows) {
        auto r = Send(Pdo(nic_), row.first, row.second);
        EXPECT_EQ(r.status, STATUS_NOT_SUPPORTED) << "minor 0x" << std::hex << int(row.first);
        EXPECT_EQ(r.information, 0u) << "minor 0x" << std::hex << int(row.first);
    }
}


TEST_F(BusDriverTest, DeviceListTagsEachBarWithItsIndexAndCardBusListKeysAfterTheSocketBar)
{
    sim::DeviceModel fpga = models::FpgaBoard64();
    fpga.bars = {sim::MemBar(0, 0x1000), sim::Mem64Bar(2, 16u << 20, true), sim::IoBar(4, 0x40)};
    auto req = Requirements(Pdo(machine_->AddFunction(machine_->SecondarySegment(cb_), 1, 0, fpga)));
    EXPECT_EQ(Words(req), "M1000 k0.0.0 M1000000p k0.2.0 P40 k0.4.0 I ") << "the 64-bit BAR is BAR 2; INTA";
    ASSERT_EQ(req.size(), 7u);
    EXPECT_EQ(req[0].u.Memory.Alignment, 0x1000u);
    EXPECT_EQ(LONGLONG(req[4].u.Port.MaximumAddress.QuadPart), 0xFFFF);

    EXPECT_EQ(Words(Requirements(Pdo(cb_))), "M1000 k0.0.0 M" + Hex(sim::kCardBusMemWindow) + " k1.1.0 M" +
                                                 Hex(sim::kCardBusPrefetchWindow) + "p k1.2.0 P" +
                                                 Hex(sim::kCardBusIoWindow) + " k1.3.0 I ");
}

struct BridgeSizeRow {
    const char *name;
    std::vector<sim::BarDef> cardBars; // one card behind the bridge (none if empty)
    ULONG io, mem, pref, memAlign, prefAlign;
};

class BridgeSizing : public BusDriverTest, public ::testing::WithParamInterface<BridgeSizeRow> {};

TEST_P(BridgeSizing, WindowsSizedFromWhatIsBehind)
{
    const BridgeSizeRow &row = GetParam();
    sim::PciFunction *bridge = Bridge();
    machine_->SetBusNumbers(cb_, 0, 1, 2);
    machine_->SetBusNumbers(bridge, 1, 2, 2);
    if (!row.cardBars.empty())
        machine_->AddFunction(machine_->SecondarySegment(bridge), 0, 0,
                              models::Generic(0x1234, 0x5678, 0x118000, row.cardBars));
    auto req = Requirements(Pdo(bridge));
    EXPECT_EQ(Words(req), "P" + Hex(row.io) + " k1.2.0 M" + Hex(row.mem) + " k1.3.0 M" + Hex(row.pref) + "p k1.4.0 ");
    ASSERT_EQ(req.size(), 6u);
    EXPECT_EQ(req[0].u.Port.Alignment, 0x1000u);
    EXPECT_EQ(req[2].u.Memory.Alignment, row.memAlign);
    EXPECT_EQ(req[4].u.Memory.Alignment, row.prefAlign);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BridgeSizing,
    ::testing::Values(BridgeSizeRow{"nothing_behind_gets_the_minimums", {}, 0x1000, 0x100000, 0x100000, 0x100000,
                                    0x100000},
                      BridgeSizeRow{"small_bars_round_up",
                                    {sim::IoBar(0, 0x100), sim::MemBar(1, 0x100)},
                                    0x1000, 0x100000, 0x100000, 0x100000, 0x100000},
                      BridgeSizeRow{"large_bars_sum_and_align",
                                    {sim::MemBar(0, 16u << 20), sim::MemBar(1, 0x200000),
                                     sim::PrefetchBar(2, 64u << 20), sim::IoBar(3, 0x2000)},
                                    0x2000, 18u << 20, 64u << 20, 16u << 20, 64u << 20}),
    [](const ::testing::TestParamInfo<BridgeSizeRow> &info) { return std::string(info.param.name); });

TEST_F(BusDriverTest, BootConfigIsNullUntilSomethingDecodes)
{
    auto r = Send(Pdo(nic_), IRP_MN_QUERY_RESOURCES);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);

    nic_->Poke32(0x10, 0x2001);     // I/O BAR at 0x2000
    nic_->Poke32(0x14, 0x90000000); // memory BAR
    nic_->Poke16(0x04, 0x0001);     // only I/O decoding on
    nic_->Poke8(0x3C, 11);
    r = Send(Pdo(nic_), IRP_MN_QUERY_RESOURCES);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    auto partials = sim::Partials(reinterpret_cast<PCM_RESOURCE_LIST>(r.information));
    ExFreePool(reinterpret_cast<PVOID>(r.information));
    ASSERT_EQ(partials.size(), 3u) << sim::DescribePartials(partials);
    EXPECT_EQ(partials[0].Type, CmResourceTypePort);
    EXPECT_EQ(LONGLONG(partials[0].u.Port.Start.QuadPart), 0x2000);
    EXPECT_EQ(partials[0].u.Port.Length, 0x100u);
    EXPECT_EQ(partials[1].u.DevicePrivate.Data[1], 0u);
    EXPECT_EQ(partials[2].Type, CmResourceTypeInterrupt);
    EXPECT_EQ(partials[2].u.Interrupt.Vector, 11u);
}


TEST_F(BusDriverTest, RelationsReportTheSameReferencedPdoFromPagedPool)
{
    std::vector<LONG> refs;
    bool paged = false;
    std::vector<PDEVICE_OBJECT> first = Relations(Pdo(cb_), BusRelations, &refs, &paged);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(bus_->Record(first[0])->function, nic_);
    EXPECT_EQ(refs, std::vector<LONG>{1}) << "the bus driver references what it reports";
    EXPECT_TRUE(paged) << "relations come from paged pool";
    EXPECT_EQ(Relations(Pdo(cb_)), first) << "a second query reports the same PDO";
    EXPECT_EQ(standin::ObjectReferenceCount(first[0]), 0);
    EXPECT_EQ(Relations(Pdo(nic_), TargetDeviceRelation), std::vector<PDEVICE_OBJECT>{Pdo(nic_)})
        << "the target relation is the PDO itself";
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
    EXPECT_EQ(Relations(Pdo(cb_)).size(), bridges.size() + 1) << "the NIC and the bridges";
    for (size_t i = 0; i < bridges.size(); i++) {
        std::array<uint8_t, 3> got = {bridges[i]->PrimaryBus(), bridges[i]->SecondaryBus(),
                                      bridges[i]->SubordinateBus()};
        EXPECT_EQ(got, row.expected[i]) << "bridge " << i << " got " << int(got[0]) << "/" << int(got[1]) << "/"
                                        << int(got[2]);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, XpNumbering,
    ::testing::Values(NumberingRow{"no_free_number", 1, 1, {{0, 0, 0}}},
                      NumberingRow{"lone_bridge_takes_the_run", 5, 1, {{1, 2, 5}}},
                      NumberingRow{"several_get_one_each", 3, 3, {{1, 2, 2}, {1, 3, 3}, {0, 0, 0}}},
                      NumberingRow{"configured_bridge_keeps_what_firmware_gave", 9, -1, {{1, 7, 8}}}),
    [](const ::testing::TestParamInfo<NumberingRow> &info) { return std::string(info.param.name); });

TEST_F(BusDriverTest, UnnumberedRootBridgeGetsTheNextFreeBus)
{
    sim::PciFunction *second = machine_->AddFunction(machine_->Root(), 4, 0, models::O2MicroOZ711());
    bus_->NumberRootBridge(second);
    EXPECT_EQ(second->SecondaryBus(), 2);
    EXPECT_EQ(second->SubordinateBus(), 2);
    bus_->NumberRootBridge(cb_); // already numbered: kept
    EXPECT_EQ(cb_->SecondaryBus(), 1);
}


TEST_F(BusDriverTest, StartProgramsBarsInterruptCommandAndBridgeWindowsAndClosesMissingOnes)
{
    ASSERT_EQ(Start(Pdo(nic_), {sim::CmPort(0x2000, 0x100), sim::CmDevicePrivate(0, 0, 0),
                                sim::CmMemory(0x90001000, 0x100), sim::CmDevicePrivate(0, 1, 0), sim::CmInterrupt(10)}),
              STATUS_SUCCESS);
    EXPECT_EQ(nic_->Peek32(0x10), 0x2001u);
    EXPECT_EQ(nic_->Peek32(0x14), 0x90001000u);
    EXPECT_EQ(nic_->Peek8(0x3C), 10);
    EXPECT_EQ(nic_->Peek16(0x04) & 7, 7) << "I/O, memory, bus master";
    EXPECT_TRUE(bus_->Record(Pdo(nic_))->started);

    sim::PciFunction *bridge = Bridge();
    // The bridge sits beside the NIC: its windows stay clear of the NIC's
    // BARs, or the two would decode the same addresses.
    ASSERT_EQ(Start(Pdo(bridge), {sim::CmMemory(0x88000000, 0x1100000), sim::CmDevicePrivate(1, 3, 0),
                                  sim::CmMemory(0x98000000, 0x5000000, CM_RESOURCE_MEMORY_PREFETCHABLE),
                                  sim::CmDevicePrivate(1, 4, 0)}),
              STATUS_SUCCESS);
    EXPECT_EQ(bridge->Peek16(0x20), 0x8800);
    EXPECT_EQ(bridge->Peek16(0x22), 0x8900) << "limit 0x890FFFFF";
    EXPECT_EQ(bridge->Peek16(0x24) & 0xFFF0, 0x9800);
    EXPECT_EQ(bridge->Peek16(0x26) & 0xFFF0, 0x9CF0);
    EXPECT_GT(bridge->Peek8(0x1C) & 0xF0, bridge->Peek8(0x1D) & 0xF0) << "no I/O window: base above limit";
}

struct BadStartRow {
    const char *name;
    bool bridge;
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> list;
};

class BadStart : public BusDriverTest, public ::testing::WithParamInterface<BadStartRow> {};

TEST_P(BadStart, ResourcesThatDoNotFitTheHardwareFail)
{
    sim::PciFunction *f = GetParam().bridge ? Bridge(models::TIPCI2250()) : nic_;
    uint32_t bar0 = f->Peek32(0x10);
    EXPECT_EQ(Start(Pdo(f), GetParam().list), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(f->Peek32(0x10), bar0) << "nothing programmed";
    EXPECT_FALSE(bus_->Record(Pdo(f))->started);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BadStart,
    ::testing::Values(
        BadStartRow{"bar_not_aligned", false, {sim::CmPort(0x2010, 0x100), sim::CmDevicePrivate(0, 0, 0)}},
        BadStartRow{"bar_too_short", false, {sim::CmMemory(0x90000000, 0x80), sim::CmDevicePrivate(0, 1, 0)}},
        BadStartRow{"io_for_a_memory_bar", false, {sim::CmPort(0x2000, 0x100), sim::CmDevicePrivate(0, 1, 0)}},
        BadStartRow{"memory_window_not_on_1mb", true,
                    {sim::CmMemory(0x88080000, 0x100000), sim::CmDevicePrivate(1, 3, 0)}},
        BadStartRow{"io_above_64k_on_a_16_bit_bridge", true,
                    {sim::CmPort(0x10000, 0x1000), sim::CmDevicePrivate(1, 2, 0)}}),
    [](const ::testing::TestParamInfo<BadStartRow> &info) { return std::string(info.param.name); });

TEST_F(BusDriverTest, CardBusSocketWindowMappedAtStart)
{
    ASSERT_EQ(Start(Pdo(cb_), {sim::CmMemory(0x80000000, 0x1000), sim::CmDevicePrivate(0, 0, 0),
                               sim::CmMemory(0x88000000, 0x400000), sim::CmDevicePrivate(1, 1, 0),
                               sim::CmMemory(0x90000000, 0x400000, CM_RESOURCE_MEMORY_PREFETCHABLE),
                               sim::CmDevicePrivate(1, 2, 0), sim::CmPort(0x1000, 0x300),
                               sim::CmDevicePrivate(1, 3, 0)}),
              STATUS_SUCCESS);
    const std::pair<int, uint32_t> regs[] = {{0x10, 0x80000000}, {0x1C, 0x88000000}, {0x20, 0x883FF000},
                                             {0x24, 0x90000000}, {0x2C, 0x1000},     {0x30, 0x12FC}};
    for (const auto &r : regs)
        EXPECT_EQ(cb_->Peek32(r.first), r.second) << "register 0x" << std::hex << r.first;
    EXPECT_NE(cb_->Peek16(0x3E) & 0x0200, 0) << "window 1 marked prefetchable";

    PHYSICAL_ADDRESS at;
    at.QuadPart = 0x80000000;
    auto *socket = static_cast<PUCHAR>(MmMapIoSpace(at, 0x1000, MmNonCached));
    ASSERT_NE(socket, nullptr);
    WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG *>(socket + 0x28), 0x00000C00);
    WRITE_REGISTER_UCHAR(socket + 0x83D, 0xC0);
    MmUnmapIoSpace(socket, 0x1000);
    EXPECT_EQ(bus_->SocketRead(cb_, 0x28, 4), 0x00000C00u);
    EXPECT_EQ(bus_->SocketRead(cb_, 0x83D, 1), 0xC0u);
}


TEST_F(BusDriverTest, D3LosesVolatileStateAndD0RestoresOnlyTheCommand)
{
    nic_->Poke16(0x0C, 0xF810);
    pnp_->SendPower(Pdo(nic_), IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(nic_->Peek16(0x0C), 0xF810) << "D0 without D3 loses nothing";

    ASSERT_EQ(Start(Pdo(cb_), {sim::CmMemory(0x80000000, 0x1000), sim::CmDevicePrivate(0, 0, 0)}), STATUS_SUCCESS);
    uint16_t command = cb_->Peek16(0x04);
    cb_->Poke16(0x0C, 0xF810);
    cb_->Poke8(0x1B, 0xF8);
    cb_->Poke16(0x3E, 0x0740);
    cb_->Poke16(0x8C, 0xCD22);
    bus_->SocketWrite(cb_, 0x28, 4, 0x0C00);
    pnp_->SendPower(Pdo(cb_), IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(cb_->Peek16(0x0C), 0xF810) << "nothing lost before the power comes back";
    pnp_->SendPower(Pdo(cb_), IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(cb_->Peek16(0x0C), cb_->ResetValue(0x0C, 2)) << "cache line size and latency timer lost";
    EXPECT_EQ(cb_->Peek8(0x1B), cb_->ResetValue(0x1B, 1));
    EXPECT_EQ(cb_->Peek16(0x3E), cb_->ResetValue(0x3E, 2)) << "bridge control lost";
    EXPECT_EQ(cb_->Peek16(0x8C), cb_->ResetValue(0x8C, 2)) << "vendor registers lost";
    EXPECT_EQ(bus_->SocketRead(cb_, 0x28, 4), 0u) << "socket registers lost";
    EXPECT_EQ(cb_->Peek16(0x04), command) << "the command register restored";
    EXPECT_EQ(cb_->Peek32(0x10), 0x80000000u) << "BARs kept";
}


TEST_F(BusDriverTest, FailMinorAndPendMinor)
{
    PDEVICE_OBJECT pdo = Pdo(nic_);
    bus_->FailMinor(pdo, IRP_MN_QUERY_BUS_INFORMATION, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Send(pdo, IRP_MN_QUERY_BUS_INFORMATION).status, STATUS_INSUFFICIENT_RESOURCES);
    bus_->PendMinor(pdo, IRP_MN_QUERY_ID);
    EXPECT_EQ(Text(pdo, IRP_MN_QUERY_ID, BusQueryDeviceID)[0], "PCI\\VEN_10EC&DEV_8139&SUBSYS_813910EC&REV_10");
    EXPECT_EQ(standin::DeferredCount(), 0u) << "the pended request was finished while the manager waited";
    bus_->FailMinor(pdo, 0x80 | IRP_MN_SET_POWER, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(pnp_->SendPower(pdo, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3).status, STATUS_UNSUCCESSFUL);
    bus_->ClearInjection(pdo);
    EXPECT_EQ(Send(pdo, IRP_MN_QUERY_PNP_DEVICE_STATE).status, STATUS_SUCCESS);
    EXPECT_EQ(bus_->Record(pdo)->received.back(), IRP_MN_QUERY_PNP_DEVICE_STATE);
}

TEST_F(BusDriverTest, RemovalKeepsThePdoOfAPresentFunctionOnly)
{
    PDEVICE_OBJECT pdo = Pdo(nic_);
    EXPECT_EQ(Send(pdo, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_FALSE(standin::DeviceIsDeleted(pdo));
    EXPECT_TRUE(bus_->Record(pdo)->removed);

    bus_->SetPresent(nic_, false);
    UCHAR buffer[4] = {0};
    auto r = Send(pdo, IRP_MN_READ_CONFIG, [&buffer](PIO_STACK_LOCATION sp) {
        sp->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
        sp->Parameters.ReadWriteConfig.Buffer = buffer;
        sp->Parameters.ReadWriteConfig.Offset = 0;
        sp->Parameters.ReadWriteConfig.Length = 4;
    });
    EXPECT_EQ(r.status, STATUS_DEVICE_REMOVED) << "a gone function fails configuration access";
    EXPECT_TRUE(Relations(Pdo(cb_)).empty()) << "and leaves the relations";
    EXPECT_EQ(Send(pdo, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_TRUE(standin::DeviceIsDeleted(pdo)) << "a function that is gone loses its PDO";
    EXPECT_EQ(bus_->ExistingPdo(nic_), nullptr);
}

} // namespace
