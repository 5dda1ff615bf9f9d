// The simulated operating system where the driver relies on it behaving as
// Windows XP does: the PnP manager's order of requests in each scenario (with
// Tolmu as the controller's upper filter), the hardware judge at the end of
// every step, and the bus driver programming bridge windows, refusing what a
// bridge cannot hold, leaving unhandled requests alone and failing functions
// that are gone. Arbitration is judged through the driver's runs: the windows
// a bridge gets and the functions that do not fit (Code 12).
#include "os_fixture.h"

#include "core/driver.h"

namespace {

using ostest::OsTest;
namespace models = sim::models;

// The order of each scenario's requests: leaf first down, root first up; at
// boot a node's list is filtered before its start, and a bridge asked for its
// children after its start.
struct Req {
    const char *location;
    UCHAR major, minor;
    ULONG detail;
};
const ULONG kS3 = ULONG(SystemPowerState) << 8 | PowerSystemSleeping3;
const ULONG kD3 = ULONG(DevicePowerState) << 8 | PowerDeviceD3, kD0 = ULONG(DevicePowerState) << 8 | PowerDeviceD0;
const UCHAR kPnp = IRP_MJ_PNP, kPower = IRP_MJ_POWER;

class Scenario : public OsTest, public ::testing::WithParamInterface<std::pair<const char *, std::vector<Req>>> {};

TEST_P(Scenario, RequestsInXpsOrder)
{
    BootChassis(DriverEntry);
    const std::string name = GetParam().first;
    if (name != "boot")
        pnp_->ClearRequests();
    if (name == "sleep")
        pnp_->SystemSleep();
    else if (name == "rebalance")
        pnp_->Rebalance();
    else if (name == "surprise")
        pnp_->SurpriseRemove(pnp_->Find(chassis_.controller));
    else if (name == "unload")
        pnp_->UnloadAll();
    // Index in the request log of the first request matching, or -1.
    auto indexOf = [this](const char *location, UCHAR major, UCHAR minor, ULONG detail) {
        const auto &all = pnp_->Requests();
        for (size_t i = 0; i < all.size(); i++)
            if (all[i].location == location && all[i].major == major && all[i].minor == minor && all[i].detail == detail)
                return long(i);
        return -1L;
    };
    long last = -1;
    for (const Req &r : GetParam().second) {
        const long at = indexOf(r.location, r.major, r.minor, r.detail);
        EXPECT_GT(at, last) << r.location << " minor 0x" << std::hex << int(r.minor) << " missing or out of order";
        last = at;
    }
    if (name == "surprise")
        EXPECT_EQ(indexOf("01:01.0", kPnp, IRP_MN_QUERY_REMOVE_DEVICE, 0), -1) << "no query before a surprise";
    if (name == "rebalance")
        EXPECT_EQ(indexOf("01:01.0", kPnp, IRP_MN_QUERY_CAPABILITIES, 0), -1) << "no new-node queries";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Scenario,
    ::testing::Values(
        std::make_pair("boot",
                       std::vector<Req>{{"00:03.0", kPnp, IRP_MN_QUERY_RESOURCE_REQUIREMENTS, 0},
                                        {"00:03.0", kPnp, IRP_MN_FILTER_RESOURCE_REQUIREMENTS, 0},
                                        {"00:03.0", kPnp, IRP_MN_START_DEVICE, 0},
                                        {"00:03.0", kPnp, IRP_MN_QUERY_DEVICE_RELATIONS, BusRelations},
                                        {"01:01.0", kPnp, IRP_MN_QUERY_CAPABILITIES, 0},
                                        {"01:01.0", kPnp, IRP_MN_FILTER_RESOURCE_REQUIREMENTS, 0},
                                        {"01:01.0", kPnp, IRP_MN_START_DEVICE, 0}}),
        std::make_pair("sleep",
                       std::vector<Req>{{"01:01.0", kPower, IRP_MN_QUERY_POWER, kS3}, {"00:03.0", kPower, IRP_MN_QUERY_POWER, kS3},
                                        {"01:01.0", kPower, IRP_MN_SET_POWER, kD3}, {"00:03.0", kPower, IRP_MN_SET_POWER, kD3},
                                        {"00:03.0", kPower, IRP_MN_SET_POWER, kD0}, {"01:01.0", kPower, IRP_MN_SET_POWER, kD0}}),
        std::make_pair("rebalance",
                       std::vector<Req>{{"01:01.0", kPnp, IRP_MN_QUERY_STOP_DEVICE, 0}, {"01:01.0", kPnp, IRP_MN_STOP_DEVICE, 0},
                                        {"00:03.0", kPnp, IRP_MN_STOP_DEVICE, 0}, {"00:03.0", kPnp, IRP_MN_START_DEVICE, 0},
                                        {"01:01.0", kPnp, IRP_MN_FILTER_RESOURCE_REQUIREMENTS, 0},
                                        {"01:01.0", kPnp, IRP_MN_START_DEVICE, 0}}),
        std::make_pair("surprise", std::vector<Req>{{"01:01.0", kPnp, IRP_MN_SURPRISE_REMOVAL, 0},
                                                    {"01:01.0", kPnp, IRP_MN_REMOVE_DEVICE, 0}}),
        std::make_pair("unload",
                       std::vector<Req>{{"01:01.0", kPnp, IRP_MN_QUERY_REMOVE_DEVICE, 0}, {"01:01.0", kPnp, IRP_MN_REMOVE_DEVICE, 0},
                                        {"00:03.0", kPnp, IRP_MN_REMOVE_DEVICE, 0}})),
    [](const auto &info) { return std::string(info.param.first); });

// A filter that frees the requirements list it is given, puts a copy in its
// place and fails the request: the PnP manager still holds the freed list.
PDEVICE_OBJECT &Lower(PDEVICE_OBJECT d) { return *static_cast<PDEVICE_OBJECT *>(d->DeviceExtension); }
NTSTATUS NTAPI FreeingAdd(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT d = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &d);
    if (!NT_SUCCESS(status))
        return status;
    Lower(d) = IoAttachDeviceToDeviceStack(d, pdo);
    d->DeviceType = Lower(d)->DeviceType;
    d->Flags |= Lower(d)->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    d->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI FreeingPnp(PDEVICE_OBJECT d, PIRP irp)
{
    PDEVICE_OBJECT lower = Lower(d);
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor == IRP_MN_FILTER_RESOURCE_REQUIREMENTS && irp->IoStatus.Information != 0) {
        auto *old = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(irp->IoStatus.Information);
        void *copy = ExAllocatePoolWithTag(PagedPool, old->ListSize, 0x74736554);
        memcpy(copy, old, old->ListSize);
        ExFreePool(old);
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(copy);
        irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_UNSUCCESSFUL;
    }
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(lower);
        IoDeleteDevice(d);
    }
    return status;
}
NTSTATUS NTAPI FreeingPower(PDEVICE_OBJECT d, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Lower(d), irp);
}
VOID NTAPI FreeingUnload(PDRIVER_OBJECT) {}
NTSTATUS NTAPI FreeingFilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->DriverExtension->AddDevice = FreeingAdd;
    driver->MajorFunction[IRP_MJ_PNP] = FreeingPnp;
    driver->MajorFunction[IRP_MJ_POWER] = FreeingPower;
    driver->DriverUnload = FreeingUnload;
    return STATUS_SUCCESS;
}

TEST_F(OsTest, FilterThatFreesTheListWithoutSuccessIsCaught)
{
    std::vector<std::string> seen;
    standin::SetFindingHandler([&seen](const standin::Finding &f) { seen.push_back(f.rule + ": " + f.detail); });
    BootChassis(FreeingFilterEntry);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].rfind("FILTERED_LIST_FREED_WITHOUT_SUCCESS: IRP_MN_FILTER_RESOURCE_REQUIREMENTS for 00:03.0", 0), 0u)
        << seen[0];
    pnp_->UnloadAll();
    pnp_.reset();
    standin::SetFindingHandler(nullptr);
}

// The hardware judge at the end of every step: one finding per violation per
// step; a started function the hardware cannot serve is named.
TEST_F(OsTest, HardwareJudgeReportsEachStepOnce)
{
    std::vector<standin::Finding> seen;
    standin::SetFindingHandler([&seen](const standin::Finding &f) { seen.push_back(f); });
    // Firmware numbered a docking bridge with the controller's own bus number.
    chassis_.controller = machine_->AddFunction(machine_->Root(), 3, 0, models::TI1420());
    machine_->SetBusNumbers(chassis_.controller, 0, 1, 1);
    sim::PciFunction *nic = machine_->AddFunction(machine_->SecondarySegment(chassis_.controller), 0, 0, models::RTL8139());
    machine_->SetBusNumbers(machine_->AddFunction(machine_->Root(), 0x1e, 0, models::DEC21154()), 0, 1, 1);
    Manager(nullptr).AddController(chassis_.controller);
    pnp_->Boot();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].rule, "BUS_NUMBER_CLAIMED_TWICE");
    EXPECT_NE(seen[0].detail.find("00:03.0 [01-01] and 00:1e.0 [01-01]"), std::string::npos) << seen[0].detail;
    // The NIC's I/O BAR moved out of the controller's window between steps.
    nic->Poke32(0x10, 0xF001);
    pnp_->SystemSleep();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].rule, "BAR_UNREACHABLE");
    EXPECT_NE(seen[2].detail.find("BAR0 (I/O 0xf000-0xf0ff) is not reached: 00:03.0 does not forward"),
              std::string::npos) << seen[2].detail;
    EXPECT_EQ(pnp_->JudgeNow().size(), 2u) << "asked for, the judge answers between steps too";
    pnp_->UnloadAll();
    pnp_.reset();
    standin::SetFindingHandler(nullptr);
}

TEST_F(OsTest, BusDriverAnswersAsPciSys)
{
    chassis_.controller = machine_->AddFunction(machine_->Root(), 3, 0, models::TI1420());
    machine_->SetBusNumbers(chassis_.controller, 0, 1, 1);
    sim::PciSegment *bus1 = machine_->SecondarySegment(chassis_.controller);
    sim::PciFunction *nic = machine_->AddFunction(bus1, 0, 0, models::RTL8139());
    sim::PciFunction *bridge = machine_->AddFunction(bus1, 2, 0, models::DEC21154());
    sim::PciFunction *narrow = machine_->AddFunction(bus1, 3, 0, models::TIPCI2250());
    Manager(nullptr);
    auto start = [this](sim::PciFunction *f, const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> &partials) {
        PCM_RESOURCE_LIST raw = sim::BuildCmList(partials, PCIBus, 0), translated = sim::BuildCmList(partials, PCIBus, 0);
        auto r = pnp_->SendPnp(bus_->PdoFor(f), IRP_MN_START_DEVICE, [&](PIO_STACK_LOCATION sp) {
            sp->Parameters.StartDevice.AllocatedResources = raw;
            sp->Parameters.StartDevice.AllocatedResourcesTranslated = translated;
        });
        ExFreePool(raw);
        ExFreePool(translated);
        return r.status;
    };
    ASSERT_EQ(start(bridge, {sim::CmMemory(0x88000000, 0x1100000), sim::CmDevicePrivate(1, 3, 0),
                             sim::CmMemory(0x98000000, 0x5000000, CM_RESOURCE_MEMORY_PREFETCHABLE),
                             sim::CmDevicePrivate(1, 4, 0)}),
              STATUS_SUCCESS);
    EXPECT_EQ(bridge->Peek32(0x20), 0x89008800u) << "memory 0x88000000-0x890FFFFF";
    EXPECT_EQ(bridge->Peek32(0x24) & 0xFFF0FFF0, 0x9CF09800u) << "prefetchable 0x98000000-0x9CFFFFFF";
    EXPECT_GT(bridge->Peek8(0x1C) & 0xF0, bridge->Peek8(0x1D) & 0xF0) << "no I/O window: base above limit";
    const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> bad[] = {
        {sim::CmMemory(0x88080000, 0x100000), sim::CmDevicePrivate(1, 3, 0)}, // memory window not on 1 MB
        {sim::CmPort(0x10000, 0x1000), sim::CmDevicePrivate(1, 2, 0)},       // I/O above 64K, 16-bit bridge
    };
    for (const auto &list : bad) {
        const uint32_t before[2] = {narrow->Peek32(0x1C), narrow->Peek32(0x20)};
        EXPECT_EQ(start(narrow, list), STATUS_UNSUCCESSFUL) << sim::DescribePartials(list);
        EXPECT_TRUE(narrow->Peek32(0x1C) == before[0] && narrow->Peek32(0x20) == before[1]) << "nothing programmed";
    }

    PDEVICE_OBJECT pdo = bus_->PdoFor(nic);
    for (UCHAR minor : {IRP_MN_QUERY_INTERFACE, IRP_MN_QUERY_LEGACY_BUS_INFORMATION, IRP_MN_QUERY_DEVICE_RELATIONS}) {
        auto r = pnp_->SendPnp(pdo, minor); // bus relations of a function that is no bridge
        EXPECT_TRUE(r.status == STATUS_NOT_SUPPORTED && r.information == 0u) << "minor 0x" << std::hex << int(minor);
    }
    EXPECT_EQ(pnp_->SendPnp(pdo, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_FALSE(standin::DeviceIsDeleted(pdo)) << "a present function keeps its PDO";
    bus_->SetPresent(nic, false);
    UCHAR buffer[4] = {0};
    auto r = pnp_->SendPnp(pdo, IRP_MN_READ_CONFIG, [&buffer](PIO_STACK_LOCATION sp) {
        sp->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
        sp->Parameters.ReadWriteConfig.Buffer = buffer;
        sp->Parameters.ReadWriteConfig.Length = 4;
    });
    EXPECT_EQ(r.status, STATUS_DEVICE_REMOVED) << "a gone function fails configuration access";
    EXPECT_EQ(pnp_->SendPnp(pdo, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_TRUE(standin::DeviceIsDeleted(pdo)) << "a function that is gone loses its PDO";
}

} // namespace
