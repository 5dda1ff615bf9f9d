// The power manager's rules on correct drivers, kernel events and deferred
// work, and register windows behind MmMapIoSpace.
#include "iomgr_helpers.h"

using namespace iomgrtest;

namespace {

class Power : public IoTest {};

// A bottom driver as on XP: starts the next power request and completes.
Dispatch BusPower(NTSTATUS status)
{
    return [status](PDEVICE_OBJECT, PIRP irp) { PoStartNextPowerIrp(irp); return CompleteWith(status)(nullptr, irp); };
}

// A filter that starts the next power request and skips its location.
NTSTATUS NTAPI StartNextAndSkip(PDEVICE_OBJECT, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(lower, irp);
}

TEST_F(Power, SkippingFilterAndBottomDriverEachStartTheNextRequestOnce)
{
    // Both drivers use the same stack location (the filter skipped its own):
    // their PoStartNextPowerIrp calls must not count as one driver's two.
    Stack s = BuildStack(BusPower(STATUS_SUCCESS), StartNextAndSkip);
    PIRP irp = NewPowerIrp(s.fdo, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(PoCallDriver(s.fdo, irp), STATUS_SUCCESS);
    EXPECT_EQ(standin::GetIrpState(irp), standin::IrpState::Completed);
    IoFreeIrp(irp);
    // The owner sending with IoCallDriver is not a driver passing the request on.
    irp = NewPowerIrp(s.fdo, IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3);
    dispatchers[s.pdo->DriverObject] = BusPower(STATUS_UNSUCCESSFUL);
    EXPECT_EQ(IoCallDriver(s.fdo, irp), STATUS_UNSUCCESSFUL);
    IoFreeIrp(irp);
}

TEST_F(Power, PowerUpWithCompletionRoutineAndPendingPassesTheRules)
{
    bool routineRan = false;
    Stack s = BuildStack(
        [](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            standin::QueueDeferred([irp] { BusPower(STATUS_SUCCESS)(nullptr, irp); });
            return STATUS_PENDING;
        },
        [&](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            SetCompletion(
                irp,
                [&](PDEVICE_OBJECT, PIRP irp) {
                    routineRan = true;
                    if (irp->PendingReturned)
                        IoMarkIrpPending(irp);
                    return STATUS_SUCCESS;
                },
                true, false, false);
            IoMarkIrpPending(irp);
            PoStartNextPowerIrp(irp);
            PoCallDriver(lower, irp);
            return STATUS_PENDING;
        });
    BOOLEAN ownerSawPending = FALSE;
    PIRP irp = NewPowerIrp(s.fdo, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0);
    SetCompletion(irp, [&](PDEVICE_OBJECT, PIRP irp) {
        ownerSawPending = irp->PendingReturned;
        return STATUS_MORE_PROCESSING_REQUIRED;
    });
    EXPECT_EQ(PoCallDriver(s.fdo, irp), STATUS_PENDING);
    EXPECT_FALSE(routineRan) << "the bus has not finished yet";
    EXPECT_EQ(standin::RunDeferred(), 1u);
    EXPECT_TRUE(routineRan);
    EXPECT_TRUE(ownerSawPending);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    IoFreeIrp(irp);
}

class Events : public IoTest {};

TEST_F(Events, NotificationStaysSignalledSynchronizationResetsOnAWait)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0) << "previous state";
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    KeClearEvent(&event);
    EXPECT_EQ(KeReadStateEvent(&event), 0);

    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), (NTSTATUS)0x102);
}

TEST_F(Events, WaitRunsQueuedWorkOnlyUntilTheEventIsSignalledAtDispatchLevel)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::vector<int> ran;
    std::vector<KIRQL> seen;
    standin::QueueDeferred([&] { ran.push_back(1); });
    standin::QueueDeferred([&] { ran.push_back(2); KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
    standin::QueueDeferred([&] {
        ran.push_back(3);
        seen.push_back(KeGetCurrentIrql());
        standin::QueueDeferred([&] { seen.push_back(KeGetCurrentIrql()); }); // queued while draining
    });
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));
    EXPECT_EQ(standin::DeferredCount(), 1u);
    standin::SetIrql(APC_LEVEL);
    EXPECT_EQ(standin::RunDeferred(), 2u);
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(seen, (std::vector<KIRQL>{DISPATCH_LEVEL, DISPATCH_LEVEL}));
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL) << "the caller's IRQL is restored";
    standin::SetIrql(PASSIVE_LEVEL);
    // Reset drops queued work.
    standin::QueueDeferred([&] { ran.push_back(4); });
    standin::Reset();
    EXPECT_EQ(standin::DeferredCount(), 0u);
    EXPECT_EQ(standin::RunDeferred(), 0u);
    EXPECT_EQ(ran.size(), 3u);
}

// A register window of the simulated machine that logs every access as
// "r|w offset width value".
class Mmio : public IoTest {
  protected:
    void SetUp() override
    {
        IoTest::SetUp();
        standin::RegisterMmioWindow(
            kBase, 0x1000,
            [this](uint32_t off, int width) {
                uint32_t value = 0xA5A50000u | off;
                Log('r', off, width, value);
                return value;
            },
            [this](uint32_t off, int width, uint32_t value) { Log('w', off, width, value); });
    }
    void Log(char kind, uint32_t off, int width, uint32_t value)
    {
        char text[40];
        snprintf(text, sizeof text, "%c %x %d %x", kind, off, width, value);
        log.push_back(text);
    }
    PVOID Map(uint64_t phys, SIZE_T length)
    {
        PHYSICAL_ADDRESS address;
        address.QuadPart = (LONGLONG)phys;
        return MmMapIoSpace(address, length, MmNonCached);
    }
    static constexpr uint64_t kBase = 0xFEB00000;
    std::vector<std::string> log;
};

TEST_F(Mmio, RegisterRoutinesReachTheWindowAtTheirOffsetAndWidth)
{
    PUCHAR base = static_cast<PUCHAR>(Map(kBase + 0x800, 0x800));
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG *>(base + 0x28)), 0xA5A50828u);
    WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG *>(base + 0x28), 0x0C00);
    EXPECT_EQ(READ_REGISTER_UCHAR(base + 0x3D), 0x3Du) << "the routine keeps the low byte";
    WRITE_REGISTER_USHORT(reinterpret_cast<volatile USHORT *>(base + 0x10), 0x1234);
    EXPECT_EQ(log, (std::vector<std::string>{"r 828 4 a5a50828", "w 828 4 c00", "r 83d 1 a5a5083d", "w 810 2 1234"}));
    // The shadow buffer holds the last value seen through the routines.
    USHORT shadow;
    memcpy(&shadow, base + 0x10, sizeof shadow);
    EXPECT_EQ(shadow, 0x1234);
    MmUnmapIoSpace(base, 0x800);
    EXPECT_EQ(standin::LiveMappingCount(), 0u);
}

TEST_F(Mmio, MappingOutsideAnyWindowOrWhileFailingReturnsNullAndARemovedWindowFloats)
{
    EXPECT_EQ(Map(0xFEC00000, 0x1000), nullptr);
    EXPECT_EQ(Map(kBase + 0x800, 0x1000), nullptr) << "runs past the window's end";
    standin::SetMapIoSpaceFails(true);
    EXPECT_EQ(Map(kBase, 0x1000), nullptr);
    standin::SetMapIoSpaceFails(false);
    PUCHAR base = static_cast<PUCHAR>(Map(kBase, 0x1000));
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(standin::MapIoSpaceCalls(), 4u);
    EXPECT_TRUE(log.empty()) << "mapping touches no register";
    standin::UnregisterMmioWindow(kBase);
    EXPECT_EQ(READ_REGISTER_USHORT(reinterpret_cast<volatile USHORT *>(base)), 0xFFFF);
    WRITE_REGISTER_UCHAR(base, 1);
    EXPECT_TRUE(log.empty());
    MmUnmapIoSpace(base, 0x1000);
}

} // namespace
