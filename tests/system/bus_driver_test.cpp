// The simulated PCI bus driver, where the driver relies on it answering as
// pci.sys does: requirement lists (each BAR tagged with its index, bridge
// windows sized to XP's minimums), start programming bridge windows and
// refusing what a bridge cannot hold, referenced relations, unhandled
// requests left alone, gone functions. (XP's numbering and the state lost in
// D3 are checked by the boots without Tolmu.)
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
    sim::PciFunction *cb_ = nullptr, *nic_ = nullptr;
};

TEST_F(BusDriverTest, RequirementListsTagEachBarAndSizeBridgeWindowsToXpsMinimums)
{
    sim::DeviceModel fpga = models::FpgaBoard64();
    fpga.bars = {sim::MemBar(0, 0x1000), sim::Mem64Bar(2, 16u << 20, true), sim::IoBar(4, 0x40)};
    EXPECT_EQ(Requirements(machine_->AddFunction(machine_->SecondarySegment(cb_), 1, 0, fpga)),
              "M1000 k0.0.0 M1000000p k0.2.0 P40 k0.4.0 I ") << "the 64-bit BAR is BAR 2; INTA";

    // A bridge's windows: 4 KB I/O and 1 MB memory at the least, else the sum
    // of what is behind it, aligned to its largest member.
    sim::PciFunction *bridge = machine_->AddFunction(machine_->SecondarySegment(cb_), 2, 0, models::DEC21154());
    machine_->SetBusNumbers(cb_, 0, 1, 2);
    machine_->SetBusNumbers(bridge, 1, 2, 2);
    EXPECT_EQ(Requirements(bridge), "P1000 k1.2.0 M100000 k1.3.0 M100000p k1.4.0 ");
    machine_->AddFunction(machine_->SecondarySegment(bridge), 0, 0,
                          models::Generic(0x1234, 0x5678, 0x118000,
                                          {sim::MemBar(0, 16u << 20), sim::MemBar(1, 0x200000),
                                           sim::PrefetchBar(2, 64u << 20), sim::IoBar(3, 0x2000)}));
    EXPECT_EQ(Requirements(bridge), "P2000 k1.2.0 M1200000 k1.3.0 M4000000p k1.4.0 ");
}

TEST_F(BusDriverTest, StartProgramsBridgeWindowsAndRefusesWhatTheBridgeCannotHold)
{
    sim::PciFunction *bridge = machine_->AddFunction(machine_->SecondarySegment(cb_), 2, 0, models::DEC21154());
    ASSERT_EQ(Start(bridge, {sim::CmMemory(0x88000000, 0x1100000), sim::CmDevicePrivate(1, 3, 0),
                             sim::CmMemory(0x98000000, 0x5000000, CM_RESOURCE_MEMORY_PREFETCHABLE),
                             sim::CmDevicePrivate(1, 4, 0)}),
              STATUS_SUCCESS);
    EXPECT_EQ(bridge->Peek32(0x20), 0x89008800u) << "memory 0x88000000-0x890FFFFF";
    EXPECT_EQ(bridge->Peek32(0x24) & 0xFFF0FFF0, 0x9CF09800u) << "prefetchable 0x98000000-0x9CFFFFFF";
    EXPECT_GT(bridge->Peek8(0x1C) & 0xF0, bridge->Peek8(0x1D) & 0xF0) << "no I/O window: base above limit";

    sim::PciFunction *narrow = machine_->AddFunction(machine_->SecondarySegment(cb_), 3, 0, models::TIPCI2250());
    const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> bad[] = {
        {sim::CmMemory(0x88080000, 0x100000), sim::CmDevicePrivate(1, 3, 0)}, // memory window not on 1 MB
        {sim::CmPort(0x10000, 0x1000), sim::CmDevicePrivate(1, 2, 0)},       // I/O above 64K, 16-bit bridge
    };
    for (const auto &list : bad) {
        uint32_t before[2] = {narrow->Peek32(0x1C), narrow->Peek32(0x20)};
        EXPECT_EQ(Start(narrow, list), STATUS_UNSUCCESSFUL) << sim::DescribePartials(list);
        EXPECT_TRUE(narrow->Peek32(0x1C) == before[0] && narrow->Peek32(0x20) == before[1]) << "nothing programmed";
        EXPECT_FALSE(bus_->Record(bus_->PdoFor(narrow))->started);
    }
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
