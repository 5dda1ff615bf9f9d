// The power manager's rules on correct drivers, kernel events and deferred
// work, and register windows behind MmMapIoSpace.
#include "iomgr_helpers.h"

using namespace iomgrtest;

namespace {

PDEVICE_OBJECT lowerDevice = nullptr;

class Power : public IoTest {
  protected:
    void Build(Dispatch bus, Dispatch filter)
    {
        pdo = MakeDevice(MakeDriver("pci", std::move(bus)));
        fdo = MakeDevice(MakeDriver("tolmu", std::move(filter)));
        lowerDevice = IoAttachDeviceToDeviceStack(fdo, pdo);
    }
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
};

// A bottom driver as on XP: starts the next power request and completes.
Dispatch BusPower(NTSTATUS status)
{
    return [status](PDEVICE_OBJECT, PIRP irp) {
        PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    };
}

TEST_F(Power, SkippingFilterAndBottomDriverEachStartTheNextRequestOnce)
{
    // Both drivers use the same stack location (the filter skipped its own):
    // their PoStartNextPowerIrp calls must not count as one driver's two.
    Build(BusPower(STATUS_SUCCESS), [](PDEVICE_OBJECT, PIRP irp) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lowerDevice, irp);
    });
    PIRP irp = NewPowerIrp(fdo, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(PoCallDriver(fdo, irp), STATUS_SUCCESS);
    EXPECT_EQ(standin::GetIrpState(irp), standin::IrpState::Completed);
    IoFreeIrp(irp);
}

TEST_F(Power, PowerUpWithCompletionRoutineAndPendingPassesTheRules)
{
    bool routineRan = false;
    Build(
        [](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            standin::QueueDeferred([irp] {
                PoStartNextPowerIrp(irp);
                irp->IoStatus.Status = STATUS_SUCCESS;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
            });
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
            PoCallDriver(lowerDevice, irp);
            return STATUS_PENDING;
        });
    BOOLEAN ownerSawPending = FALSE;
    PIRP irp = NewPowerIrp(fdo, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0);
    SetCompletion(irp, [&](PDEVICE_OBJECT, PIRP irp) {
        ownerSawPending = irp->PendingReturned;
        return STATUS_MORE_PROCESSING_REQUIRED;
    });
    EXPECT_EQ(PoCallDriver(fdo, irp), STATUS_PENDING);
    EXPECT_FALSE(routineRan) << "the bus has not finished yet";
    EXPECT_EQ(standin::RunDeferred(), 1u);
    EXPECT_TRUE(routineRan);
    EXPECT_TRUE(ownerSawPending);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    IoFreeIrp(irp);
}

TEST_F(Power, OwnerSendingWithIoCallDriverIsNotADriverPassingOn)
{
    Build(BusPower(STATUS_UNSUCCESSFUL), [](PDEVICE_OBJECT, PIRP irp) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lowerDevice, irp);
    });
    PIRP irp = NewPowerIrp(fdo, IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3);
    EXPECT_EQ(IoCallDriver(fdo, irp), STATUS_UNSUCCESSFUL);
    IoFreeIrp(irp);
}

class Events : public IoTest {};

TEST_F(Events, NotificationEventStaysSignalled)
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
}

TEST_F(Events, SynchronizationEventResetsOnASatisfiedWait)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), (NTSTATUS)0x102);
}

TEST_F(Events, WaitRunsQueuedWorkOnlyUntilTheEventIsSignalled)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::vector<int> ran;
    standin::QueueDeferred([&] { ran.push_back(1); });
    standin::QueueDeferred([&] {
        ran.push_back(2);
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    });
    standin::QueueDeferred([&] { ran.push_back(3); });
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));
    EXPECT_EQ(standin::DeferredCount(), 1u);
    EXPECT_EQ(standin::RunDeferred(), 1u);
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
}

TEST_F(Events, DeferredWorkRunsAtDispatchLevelAndRestoresTheCallersIrql)
{
    std::vector<KIRQL> seen;
    standin::QueueDeferred([&] {
        seen.push_back(KeGetCurrentIrql());
        standin::QueueDeferred([&] { seen.push_back(KeGetCurrentIrql()); }); // queued while draining
    });
    standin::SetIrql(APC_LEVEL);
    EXPECT_EQ(standin::RunDeferred(), 2u);
    EXPECT_EQ(seen, (std::vector<KIRQL>{DISPATCH_LEVEL, DISPATCH_LEVEL}));
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    standin::SetIrql(PASSIVE_LEVEL);
}

TEST_F(Events, ResetDropsQueuedWork)
{
    bool ran = false;
    standin::QueueDeferred([&] { ran = true; });
    standin::Reset();
    EXPECT_EQ(standin::DeferredCount(), 0u);
    EXPECT_EQ(standin::RunDeferred(), 0u);
    EXPECT_FALSE(ran);
}

// A register window of the simulated machine that logs every access.
class Mmio : public IoTest {
  protected:
    struct Access {
        bool write;
        uint32_t offset;
        int width;
        uint32_t value;
        bool operator==(const Access &o) const
        {
            return write == o.write && offset == o.offset && width == o.width && value == o.value;
        }
        friend std::ostream &operator<<(std::ostream &os, const Access &a)
        {
            return os << (a.write ? "write" : "read") << " @0x" << std::hex << a.offset << " w" << std::dec << a.width
                      << " = 0x" << std::hex << a.value << std::dec;
        }
    };

    void SetUp() override
    {
        IoTest::SetUp();
        standin::RegisterMmioWindow(
            kBase, 0x1000,
            [this](uint32_t off, int width) {
                uint32_t value = 0xA5A50000u | off;
                log.push_back(Access{false, off, width, value});
                return value;
            },
            [this](uint32_t off, int width, uint32_t value) { log.push_back(Access{true, off, width, value}); });
    }

    PVOID Map(uint64_t phys, SIZE_T length)
    {
        PHYSICAL_ADDRESS address;
        address.QuadPart = (LONGLONG)phys;
        return MmMapIoSpace(address, length, MmNonCached);
    }

    static constexpr uint64_t kBase = 0xFEB00000;
    std::vector<Access> log;
};

TEST_F(Mmio, RegisterRoutinesReachTheWindowAtTheirOffsetAndWidth)
{
    PUCHAR base = static_cast<PUCHAR>(Map(kBase + 0x800, 0x800));
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG *>(base + 0x28)), 0xA5A50828u);
    WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG *>(base + 0x28), 0x0C00);
    EXPECT_EQ(READ_REGISTER_UCHAR(base + 0x3D), 0x3Du);
    WRITE_REGISTER_USHORT(reinterpret_cast<volatile USHORT *>(base + 0x10), 0x1234);
    std::vector<Access> expected = {{false, 0x828, 4, 0xA5A50828u},
                                    {true, 0x828, 4, 0x0C00},
                                    {false, 0x83D, 1, 0xA5A5083Du}, // the routine keeps the low byte
                                    {true, 0x810, 2, 0x1234}};
    EXPECT_EQ(log, expected) << log.size() << " accesses";
    // The shadow buffer holds the last value seen through the routines.
    USHORT shadow;
    memcpy(&shadow, base + 0x10, sizeof shadow);
    EXPECT_EQ(shadow, 0x1234);
    MmUnmapIoSpace(base, 0x800);
    EXPECT_EQ(standin::LiveMappingCount(), 0u);
}

TEST_F(Mmio, MappingOutsideAnyWindowOrWhileFailingReturnsNull)
{
    EXPECT_EQ(Map(0xFEC00000, 0x1000), nullptr);
    EXPECT_EQ(Map(kBase + 0x800, 0x1000), nullptr) << "runs past the window's end";
    standin::SetMapIoSpaceFails(true);
    EXPECT_EQ(Map(kBase, 0x1000), nullptr);
    standin::SetMapIoSpaceFails(false);
    PVOID base = Map(kBase, 0x1000);
    EXPECT_NE(base, nullptr);
    EXPECT_EQ(standin::MapIoSpaceCalls(), 4u);
    MmUnmapIoSpace(base, 0x1000);
    EXPECT_TRUE(log.empty()) << "mapping touches no register";
}

TEST_F(Mmio, RemovedWindowFloats)
{
    PUCHAR base = static_cast<PUCHAR>(Map(kBase, 0x1000));
    standin::UnregisterMmioWindow(kBase);
    EXPECT_EQ(READ_REGISTER_USHORT(reinterpret_cast<volatile USHORT *>(base)), 0xFFFF);
    WRITE_REGISTER_UCHAR(base, 1);
    EXPECT_TRUE(log.empty());
    MmUnmapIoSpace(base, 0x1000);
}

} // namespace
