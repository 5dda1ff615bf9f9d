// The simulated PnP manager with Tolmu as the controller's upper filter: the
// order of the requests the device nodes get in each scenario, arbitration,
// what a filter's list does, and the hardware judge at the end of every step.
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
    std::vector<long> at;
    for (const Req &r : GetParam().second)
        at.push_back(IndexOf(r.location, r.minor, r.detail, r.major));
    ExpectInOrder(at, name.c_str());
    if (name == "surprise")
        EXPECT_EQ(IndexOf("01:01.0", IRP_MN_QUERY_REMOVE_DEVICE), -1) << "no query before a surprise";
    if (name == "rebalance")
        EXPECT_EQ(IndexOf("01:01.0", IRP_MN_QUERY_CAPABILITIES), -1) << "no new-node queries";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Scenario,
    ::testing::Values(
        std::make_pair("boot",
                       std::vector<Req>{{"00:03.0", kPnp, IRP_MN_QUERY_CAPABILITIES, 0},
                                        {"00:03.0", kPnp, IRP_MN_QUERY_RESOURCE_REQUIREMENTS, 0},
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

// A controller filter that replaces the list of a filter request with a
// copy, frees the old one, and completes the request without success (it
// sees no power request: the test neither sleeps nor wakes).
PDEVICE_OBJECT freeingLower = nullptr;

NTSTATUS NTAPI FreeingAdd(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &device);
    if (NT_SUCCESS(status)) {
        freeingLower = IoAttachDeviceToDeviceStack(device, pdo);
        device->Flags = (device->Flags | (freeingLower->Flags & DO_POWER_PAGABLE)) & ~DO_DEVICE_INITIALIZING;
    }
    return status;
}

NTSTATUS NTAPI FreeingDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const UCHAR minor = sp->MinorFunction;
    if (minor == IRP_MN_FILTER_RESOURCE_REQUIREMENTS && irp->IoStatus.Information != 0) {
        auto *old = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(irp->IoStatus.Information);
        auto *copy = static_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(ExAllocatePoolWithTag(PagedPool, old->ListSize, 0x74736554));
        memcpy(copy, old, old->ListSize);
        ExFreePool(old);
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(copy);
        NTSTATUS status = irp->IoStatus.Status; // STATUS_NOT_SUPPORTED, as the manager sent it
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(freeingLower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(freeingLower);
        IoDeleteDevice(device);
    }
    return status;
}

VOID NTAPI FreeingUnload(PDRIVER_OBJECT) {}

extern "C" NTSTATUS NTAPI FreeingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->DriverExtension->AddDevice = FreeingAdd;
    driver->MajorFunction[IRP_MJ_PNP] = FreeingDispatch;
    driver->DriverUnload = FreeingUnload;
    return STATUS_SUCCESS;
}

TEST_F(OsTest, FilterThatFreesTheListWithoutSuccessIsCaught)
{
    std::vector<standin::Finding> seen;
    standin::SetFindingHandler([&seen](const standin::Finding &f) { seen.push_back(f); });
    BootChassis(FreeingEntry);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].rule, "FILTERED_LIST_FREED_WITHOUT_SUCCESS");
    EXPECT_NE(seen[0].detail.find("for 00:03.0 completed with status 0xc00000bb"), std::string::npos) << seen[0].detail;
    EXPECT_EQ(pnp_->Find(chassis_.controller)->state, sim::NodeState::Started) << "the replacement list was used";
    standin::SetFindingHandler(nullptr);
}

// First fit inside a window honours alignment, limits and what is taken,
// and refuses overlaps; a list that fits nowhere takes nothing; a
// prefetchable range tries the prefetchable window, then memory.
TEST(Arbitration, FirstFitRefusesOverlapsAndTakesAllOrNothing)
{
    struct Row {
        uint64_t base, limit, taken, length, alignment, max;
        std::optional<uint64_t> expected;
    } rows[] = {{0x1010, 0xFFFF, 0, 0x100, 0x1000, 0xFFFF, 0x2000},
                {0x1000, 0xFFFF, 0x1080, 0x200, 0x100, 0xFFFF, 0x1200},
                {0x1000, 0xFFFF, 0, 0x200, 0x100, 0x10FF, std::nullopt},
                {0x90100000, 0x93FFFFFF, 0, 0x4000000, 0x4000000, 0xFFFFFFFF, std::nullopt}};
    for (const Row &row : rows) {
        sim::AddressSpace space(row.base, row.limit);
        ASSERT_TRUE(row.taken == 0 || space.Reserve(row.taken, 0x100));
        EXPECT_EQ(space.Allocate(row.length, row.alignment, 0, row.max), row.expected) << std::hex << row.base;
        EXPECT_FALSE(space.Reserve(row.limit, 2)) << "beyond the window";
        EXPECT_FALSE(row.taken != 0 && space.Reserve(row.taken + 0xFF, 1)) << "over what is taken";
    }

    sim::BusSpaces s;
    s.io = sim::AddressSpace(0x1000, 0x1FFF);
    s.memory = sim::AddressSpace(0x80000000, 0x803FFFFF);
    s.prefetch = sim::AddressSpace(0x90000000, 0x900FFFFF);
    sim::RequirementsBuilder fits, tooBig;
    fits.Memory(0x100000, 0x100000, 0, 0xFFFFFFFF, CM_RESOURCE_MEMORY_PREFETCHABLE)
        .Memory(0x100000, 0x100000, 0, 0xFFFFFFFF, CM_RESOURCE_MEMORY_PREFETCHABLE);
    tooBig.Port(0x100, 0x100, 0, 0xFFFF).Memory(0x800000, 0x100000, 0, 0xFFFFFFFF);
    EXPECT_FALSE(sim::Arbitrate(std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>>{tooBig.Descriptors()}, s));
    EXPECT_EQ(s.io.UsedCount(), 0u) << "a list that does not fit takes nothing";
    auto a = sim::Arbitrate(std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>>{fits.Descriptors()}, s);
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(uint64_t(a->partials[0].u.Memory.Start.QuadPart), 0x90000000u) << "the prefetchable window";
    EXPECT_EQ(uint64_t(a->partials[1].u.Memory.Start.QuadPart), 0x80000000u) << "then plain memory";
}

// The hardware judge at the end of every step: one finding per violation per
// step, off by option; a started function the hardware cannot serve is named.
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
    EXPECT_EQ(seen[0].detail, "bus 01 is routed by both 00:03.0 [01-01] and 00:1e.0 [01-01]: a configuration cycle "
                              "for them reaches only the first");
    // The NIC's I/O BAR moved out of the controller's window between steps.
    nic->Poke32(0x10, 0xF001);
    pnp_->SystemSleep();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].rule, "BAR_UNREACHABLE");
    EXPECT_NE(seen[2].detail.find("BAR0 (I/O 0xf000-0xf0ff) is not reached: 00:03.0 does not forward"),
              std::string::npos) << seen[2].detail;
    pnp_->SetJudgeHardware(false);
    EXPECT_EQ(pnp_->JudgeNow().size(), 2u) << "asked for, the judge still answers";
    pnp_->Rebalance();
    EXPECT_EQ(seen.size(), 3u) << "off";
    pnp_->UnloadAll();
    pnp_.reset();
    standin::SetFindingHandler(nullptr);
}

} // namespace
