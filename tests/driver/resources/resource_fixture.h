// Shared pieces of the resource and diagnostics tests: requirement lists in the driver's pool read
// back as vectors, and a simulated adapter under filled-in filter devices.
#ifndef TOLMU_TESTS_RESOURCE_FIXTURE_H
#define TOLMU_TESTS_RESOURCE_FIXTURE_H

#include <algorithm>
#include <cstring>
#include <memory>

#include "filter_device.h"
#include "test_support.h"

#include "core/config.h"
#include "core/debug.h"
#include "iomgr.h"
#include "pci_bus_driver.h"
#include "pnp/pnp.h"
#include "resources.h"
#include "resources/resources.h"

inline bool operator==(const IO_RESOURCE_DESCRIPTOR &a, const IO_RESOURCE_DESCRIPTOR &b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

namespace restest {

using Alternative = std::vector<IO_RESOURCE_DESCRIPTOR>;
using Alternatives = std::vector<Alternative>;
using Lines = std::vector<std::string>;
using testsupport::CountContaining;
using testsupport::TraceLines;

constexpr UCHAR kPreferred = 0, kAlternative = IO_RESOURCE_ALTERNATIVE;

// a, b: the first two words (length and alignment, vector range, or private data).
inline IO_RESOURCE_DESCRIPTOR Desc(UCHAR type, ULONG a, ULONG b, ULONGLONG min = 0, ULONGLONG max = 0, UCHAR option = 0,
                                   USHORT flags = 0, UCHAR share = CmResourceShareDeviceExclusive)
{
    IO_RESOURCE_DESCRIPTOR d{};
    d.Option = option, d.Type = type, d.ShareDisposition = share, d.Flags = flags;
    d.u.Generic.Length = a, d.u.Generic.Alignment = b;
    d.u.Generic.MinimumAddress.QuadPart = (LONGLONG)min, d.u.Generic.MaximumAddress.QuadPart = (LONGLONG)max;
    return d;
}
inline IO_RESOURCE_DESCRIPTOR Mem(ULONG length, ULONG alignment, ULONG min = 0xD0000000, ULONG max = 0xDFFFFFFF,
                                  UCHAR option = kPreferred, USHORT flags = CM_RESOURCE_MEMORY_READ_WRITE)
{
    return Desc(CmResourceTypeMemory, length, alignment, min, max, option, flags);
}
inline IO_RESOURCE_DESCRIPTOR Port(ULONG length, ULONG alignment, ULONG min = 0x1000, ULONG max = 0x1FFF, UCHAR option = 0)
{
    return Desc(CmResourceTypePort, length, alignment, min, max, option, CM_RESOURCE_PORT_IO);
}
inline IO_RESOURCE_DESCRIPTOR Private(ULONG a, ULONG b, ULONG c) { return Desc(CmResourceTypeDevicePrivate, a, b, c, 0, 0, 0, 0); }
inline IO_RESOURCE_DESCRIPTOR Irq(ULONG min, ULONG max) { return Desc(CmResourceTypeInterrupt, min, max, 0, 0, 0, 0, CmResourceShareShared); }

// A pool list (the editors free with MFree) for a device at bus 1, slot 3;
// `beyond` descriptors lie after the last list, outside Count and ListSize.
inline PIO_RESOURCE_REQUIREMENTS_LIST NewList(const Alternatives &alts, const Alternative &beyond = {})
{
    PIO_RESOURCE_REQUIREMENTS_LIST built = sim::BuildRequirementsList(alts, PCIBus, 1, 3);
    auto *list = static_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(PMalloc(built->ListSize + (ULONG)(beyond.size() * sizeof beyond[0])));
    std::memcpy(list, built, built->ListSize);
    ExFreePool(built);
    std::copy(beyond.begin(), beyond.end(), reinterpret_cast<PIO_RESOURCE_DESCRIPTOR>((char *)list + list->ListSize));
    return list;
}
inline Alternatives Read(PIO_RESOURCE_REQUIREMENTS_LIST list) { return sim::AlternativeLists(list); }

struct PoolFree {
    void operator()(IO_RESOURCE_REQUIREMENTS_LIST *list) const { MFree(list); }
};
using PoolList = std::unique_ptr<IO_RESOURCE_REQUIREMENTS_LIST, PoolFree>; // the pool must be empty after a test

inline bool IsOutstanding(const void *block)
{
    const auto &blocks = standin::OutstandingBlocks();
    return std::any_of(blocks.begin(), blocks.end(), [block](const auto &b) { return b.address == block; });
}

// Index of the first trace line containing needle at or after `from`, or -1.
inline long FindLine(const Lines &lines, const std::string &needle, size_t from = 0)
{
    for (size_t i = from; i < lines.size(); i++)
        if (lines[i].find(needle) != std::string::npos)
            return (long)i;
    return -1;
}

// The configured window sizes (I/O in whole 4 KB blocks); bridge windows as the bus driver reports
// them, and the tags (1, n, 0) it puts behind them.
constexpr ULONG kMem = 0x400000, kPre = 0x2000000, kIo = 0x2000;
const IO_RESOURCE_DESCRIPTOR kMemWin = Mem(0x100000, 0x100000), kPortWin = Port(0x100, 0x100);
const IO_RESOURCE_DESCRIPTOR kPreWin = Mem(0x100000, 0x100000, 0xD0000000, 0xDFFFFFFF, kPreferred, CM_RESOURCE_MEMORY_PREFETCHABLE);
const IO_RESOURCE_DESCRIPTOR kTag1 = Private(1, 1, 0), kTag2 = Private(1, 2, 0), kTag3 = Private(1, 3, 0), kTag4 = Private(1, 4, 0);

// A rewritten window: anywhere in its space, the given length and alignment.
inline IO_RESOURCE_DESCRIPTOR Rewritten(IO_RESOURCE_DESCRIPTOR d, ULONG length, ULONG alignment, USHORT flags)
{
    d.u.Generic.Length = length, d.u.Generic.Alignment = alignment, d.Flags = flags;
    d.u.Generic.MinimumAddress.QuadPart = 0;
    d.u.Generic.MaximumAddress.QuadPart = d.Type == CmResourceTypePort ? 0xFFFF : 0xFFFFFFFF;
    return d;
}

// A memory range freed of its limits by adjustMinMax: anywhere below 4 GB.
inline IO_RESOURCE_DESCRIPTOR Freed(IO_RESOURCE_DESCRIPTOR d)
{
    d.u.Memory.MinimumAddress.LowPart = 0, d.u.Memory.MaximumAddress.LowPart = 0xFFFFFFFF;
    return d;
}

// The driver's PnP dispatch on filter devices above the simulated bus driver's PDOs.
class MachineTest : public testsupport::DriverTest {
  protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        StartTrace(0x100000);
        driver_ = standin::CreateDriverObject("\\Driver\\tolmu");
        driver_->MajorFunction[IRP_MJ_PNP] = PnpDispatch;
    }
    void TearDown() override
    {
        for (auto it = filters_.rbegin(); it != filters_.rend(); ++it)
            testsupport::RemoveFilterDevice(*it);
        standin::DestroyDriverObject(driver_);
        bus_.reset();
        machine_.Uninstall();
        DriverTest::TearDown();
    }

    // Registry values read as at load; the CardBus controller at 00:03.0,
    // behind it a PCI-to-PCI bridge (bus 1), behind that a CardBus controller
    // (bus 3 behind it) and a network card on bus 2.
    void Build(ULONG io = kIo, ULONG filterIo = 0)
    {
        Configure({{"Memory", kMem}, {"PreFetch", kPre}, {"Io", io}, {"filterIO", filterIo}});
        machine_.AddFunction(machine_.Root(), 0, 0, sim::models::Intel440BX());
        cb_ = machine_.AddFunction(machine_.Root(), 3, 0, sim::models::TI1420());
        p2p_ = machine_.AddFunction(machine_.SecondarySegment(cb_), 0, 0, sim::models::DEC21154());
        innerCb_ = machine_.AddFunction(machine_.SecondarySegment(p2p_), 0, 0, sim::models::O2MicroOZ711());
        nic_ = machine_.AddFunction(machine_.SecondarySegment(p2p_), 1, 0, sim::models::RTL8139());
        machine_.SetBusNumbers(cb_, 0, 1, 4);
        machine_.SetBusNumbers(p2p_, 1, 2, 3);
        machine_.SetBusNumbers(innerCb_, 2, 3, 3);
        machine_.Install();
        bus_ = std::make_unique<sim::PciBusDriver>(machine_);
        cbDev_ = AttachFilter(cb_, BRIDGE_TYPE_CARDBUS, CB_BRIDGE | ROOT);
        p2pDev_ = AttachFilter(p2p_, BRIDGE_TYPE_P2P, P2P_BRIDGE);
        innerCbDev_ = AttachFilter(innerCb_, BRIDGE_TYPE_CARDBUS, CB_BRIDGE);
        nicDev_ = AttachFilter(nic_, BRIDGE_TYPE_OTHER, 0);
    }

    PDEVICE_OBJECT AttachFilter(sim::PciFunction *fn, ULONG bridgeType, ULONG flags)
    {
        PDEVICE_EXTENSION ext = testsupport::AttachFilterDevice(driver_, *bus_, fn, bridgeType, flags);
        EXPECT_NE(ext, nullptr) << "nothing routes to the function";
        filters_.push_back(ext->DeviceObject);
        return ext->DeviceObject;
    }

    // IRP_MN_FILTER_RESOURCE_REQUIREMENTS as the PnP manager sends it: the
    // list in Parameters and Information, status STATUS_NOT_SUPPORTED; the
    // list the request ends with goes to `result`.
    NTSTATUS Filter(PDEVICE_OBJECT filter, PIO_RESOURCE_REQUIREMENTS_LIST list, PoolList &result)
    {
        PIRP irp = IoAllocateIrp(filter->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_PNP, next->MinorFunction = IRP_MN_FILTER_RESOURCE_REQUIREMENTS;
        next->Parameters.FilterResourceRequirements.IoResourceRequirementList = list;
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(list);
        NTSTATUS status = IoCallDriver(filter, irp);
        EXPECT_EQ(standin::GetIrpState(irp), standin::IrpState::Completed) << standin::IrpStateName(standin::GetIrpState(irp));
        EXPECT_EQ(irp->IoStatus.Status, status) << "the request completes with the returned status";
        result.reset(reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(irp->IoStatus.Information));
        IoFreeIrp(irp);
        return status;
    }

    sim::PciMachine machine_;
    std::unique_ptr<sim::PciBusDriver> bus_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<PDEVICE_OBJECT> filters_;
    sim::PciFunction *cb_ = nullptr, *p2p_ = nullptr, *innerCb_ = nullptr, *nic_ = nullptr;
    PDEVICE_OBJECT cbDev_ = nullptr, p2pDev_ = nullptr, innerCbDev_ = nullptr, nicDev_ = nullptr;
};

} // namespace restest

#endif
