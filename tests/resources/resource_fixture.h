// Shared pieces of the resource tests: requirement lists built in the
// driver's pool, read back as plain vectors, and a simulated machine with its
// PCI bus driver under filter devices whose extensions the tests fill in.
#ifndef TOLMU_TESTS_RESOURCE_FIXTURE_H
#define TOLMU_TESTS_RESOURCE_FIXTURE_H

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

#include "driver/config.h"
#include "driver/debug.h"
#include "iomgr.h"
#include "pci_bus_driver.h"
#include "pci_machine.h"
#include "pnp/pnp.h"
#include "resources/resources.h"

namespace restest {

using Alternative = std::vector<IO_RESOURCE_DESCRIPTOR>;
using Alternatives = std::vector<Alternative>;

constexpr UCHAR kPreferred = 0;
constexpr UCHAR kAlternative = IO_RESOURCE_ALTERNATIVE;

inline IO_RESOURCE_DESCRIPTOR Window(UCHAR type, ULONG length, ULONG alignment, ULONG min, ULONG max,
                                     UCHAR option, USHORT flags)
{
    IO_RESOURCE_DESCRIPTOR d;
    std::memset(&d, 0, sizeof(d));
    d.Option = option;
    d.Type = type;
    d.ShareDisposition = CmResourceShareDeviceExclusive;
    d.Flags = flags;
    d.u.Generic.Length = length;
    d.u.Generic.Alignment = alignment;
    d.u.Generic.MinimumAddress.QuadPart = min;
    d.u.Generic.MaximumAddress.QuadPart = max;
    return d;
}

inline IO_RESOURCE_DESCRIPTOR Mem(ULONG length, ULONG alignment, ULONG min = 0xD0000000, ULONG max = 0xDFFFFFFF,
                                  UCHAR option = kPreferred, USHORT flags = CM_RESOURCE_MEMORY_READ_WRITE)
{
    return Window(CmResourceTypeMemory, length, alignment, min, max, option, flags);
}

inline IO_RESOURCE_DESCRIPTOR Port(ULONG length, ULONG alignment, ULONG min = 0x1000, ULONG max = 0x1FFF,
                                   UCHAR option = kPreferred, USHORT flags = CM_RESOURCE_PORT_IO)
{
    return Window(CmResourceTypePort, length, alignment, min, max, option, flags);
}

inline IO_RESOURCE_DESCRIPTOR Private(ULONG a, ULONG b, ULONG c)
{
    IO_RESOURCE_DESCRIPTOR d;
    std::memset(&d, 0, sizeof(d));
    d.Type = CmResourceTypeDevicePrivate;
    d.u.DevicePrivate.Data[0] = a;
    d.u.DevicePrivate.Data[1] = b;
    d.u.DevicePrivate.Data[2] = c;
    return d;
}

inline IO_RESOURCE_DESCRIPTOR Irq(ULONG min, ULONG max)
{
    IO_RESOURCE_DESCRIPTOR d;
    std::memset(&d, 0, sizeof(d));
    d.Type = CmResourceTypeInterrupt;
    d.ShareDisposition = CmResourceShareShared;
    d.u.Interrupt.MinimumVector = min;
    d.u.Interrupt.MaximumVector = max;
    return d;
}

// Bytes a requirements list with these alternative lists occupies.
inline ULONG ListBytes(const Alternatives &alts)
{
    size_t bytes = offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List);
    for (const auto &alt : alts)
        bytes += offsetof(IO_RESOURCE_LIST, Descriptors) + alt.size() * sizeof(IO_RESOURCE_DESCRIPTOR);
    return static_cast<ULONG>(bytes);
}

// A list in the driver's pool (the editors free lists with MFree), as a bus
// driver reports it for a device on bus 1, slot 3.
inline PIO_RESOURCE_REQUIREMENTS_LIST NewList(const Alternatives &alts)
{
    ULONG bytes = ListBytes(alts);
    auto *list = static_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(PMalloc(bytes));
    if (list == nullptr)
        return nullptr;
    std::memset(list, 0, bytes);
    list->ListSize = bytes;
    list->InterfaceType = PCIBus;
    list->BusNumber = 1;
    list->SlotNumber = 3;
    list->AlternativeLists = static_cast<ULONG>(alts.size());
    PIO_RESOURCE_LIST alt = list->List;
    for (const auto &descs : alts) {
        alt->Version = 1;
        alt->Revision = 1;
        alt->Count = static_cast<ULONG>(descs.size());
        for (size_t i = 0; i < descs.size(); i++)
            alt->Descriptors[i] = descs[i];
        alt = reinterpret_cast<PIO_RESOURCE_LIST>(&alt->Descriptors[alt->Count]);
    }
    return list;
}

// The alternative lists of a list, read with the platform's layout.
inline Alternatives Read(PIO_RESOURCE_REQUIREMENTS_LIST list)
{
    Alternatives out;
    PIO_RESOURCE_LIST alt = list->List;
    for (ULONG i = 0; i < list->AlternativeLists; i++) {
        out.emplace_back(alt->Descriptors, alt->Descriptors + alt->Count);
        alt = reinterpret_cast<PIO_RESOURCE_LIST>(&alt->Descriptors[alt->Count]);
    }
    return out;
}

inline std::string Describe(const IO_RESOURCE_DESCRIPTOR &d)
{
    char text[200];
    if (d.Type == CmResourceTypeDevicePrivate)
        std::snprintf(text, sizeof text, "private(%u,%u,%u)", d.u.DevicePrivate.Data[0], d.u.DevicePrivate.Data[1],
                      d.u.DevicePrivate.Data[2]);
    else
        std::snprintf(text, sizeof text, "type %u opt 0x%x flags 0x%x len 0x%x align 0x%x min 0x%llx max 0x%llx",
                      d.Type, d.Option, d.Flags, d.u.Generic.Length, d.u.Generic.Alignment,
                      static_cast<unsigned long long>(d.u.Generic.MinimumAddress.QuadPart),
                      static_cast<unsigned long long>(d.u.Generic.MaximumAddress.QuadPart));
    return text;
}

inline std::string Describe(const Alternative &alt)
{
    std::string out = "[";
    for (size_t i = 0; i < alt.size(); i++)
        out += (i ? "; " : "") + Describe(alt[i]);
    return out + "]";
}

inline bool Same(const IO_RESOURCE_DESCRIPTOR &a, const IO_RESOURCE_DESCRIPTOR &b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

inline bool Same(const Alternative &a, const Alternative &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (!Same(a[i], b[i]))
            return false;
    return true;
}

// Owns a pool list for the length of a test body; the fixtures check that
// the pool is empty after the body, so every list must be gone by then.
struct PoolList {
    PIO_RESOURCE_REQUIREMENTS_LIST list = nullptr;
    explicit PoolList(PIO_RESOURCE_REQUIREMENTS_LIST l = nullptr) : list(l) {}
    ~PoolList() { MFree(list); }
    PoolList(const PoolList &) = delete;
    PoolList &operator=(const PoolList &) = delete;
    PIO_RESOURCE_REQUIREMENTS_LIST get() const { return list; }
    PIO_RESOURCE_REQUIREMENTS_LIST release()
    {
        auto *l = list;
        list = nullptr;
        return l;
    }
};

inline bool IsOutstanding(const void *block)
{
    for (const auto &b : standin::OutstandingBlocks())
        if (b.address == block)
            return true;
    return false;
}

// Index of the first trace line containing needle at or after `from`, or -1.
inline long FindLine(const std::vector<std::string> &lines, const std::string &needle, size_t from = 0)
{
    for (size_t i = from; i < lines.size(); i++)
        if (lines[i].find(needle) != std::string::npos)
            return static_cast<long>(i);
    return -1;
}

// A driver test on a simulated machine: the machine is built by each test,
// then the PCI bus driver answers for it, and the filter devices the test
// attaches belong to a driver object whose PnP entry is the driver's own.
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
        // Top down: the function drivers' devices, then the filters.
        for (auto it = upper_.rbegin(); it != upper_.rend(); ++it) {
            IoDetachDevice(it->second);
            IoDeleteDevice(it->first);
        }
        for (auto it = filters_.rbegin(); it != filters_.rend(); ++it) {
            PDEVICE_EXTENSION ext = GET_EXTENSION(*it);
            if (ext->LowerDevice != nullptr)
                IoDetachDevice(ext->LowerDevice);
            IoDeleteDevice(*it);
        }
        if (functionDriver_ != nullptr)
            standin::DestroyDriverObject(functionDriver_);
        standin::DestroyDriverObject(driver_);
        bus_.reset();
        machine_.Uninstall();
        standin::CheckIoLeftovers();
        DriverTest::TearDown();
    }

    // The registry values this test runs with, then the configuration read
    // as the driver reads it at load.
    void Configure(ULONG memory, ULONG prefetch, ULONG io, ULONG filterIo)
    {
        standin::RegSetDword("tolmu\\Parameters", "Memory", memory);
        standin::RegSetDword("tolmu\\Parameters", "PreFetch", prefetch);
        standin::RegSetDword("tolmu\\Parameters", "Io", io);
        standin::RegSetDword("tolmu\\Parameters", "filterIO", filterIo);
        ReadConfiguration();
    }

    // Call once the machine is built and numbered.
    void StartBusDriver()
    {
        machine_.Install();
        bus_ = std::make_unique<sim::PciBusDriver>(machine_);
    }

    // A filter device on top of the function's PDO, its extension filled in
    // as AddDevice leaves it.
    PDEVICE_OBJECT AttachFilter(sim::PciFunction *fn, ULONG bridgeType, ULONG flags)
    {
        PDEVICE_OBJECT pdo = bus_->PdoFor(fn);
        EXPECT_NE(pdo, nullptr) << "nothing routes to the function";
        PDEVICE_OBJECT fdo = nullptr;
        EXPECT_EQ(IoCreateDevice(driver_, sizeof(DEVICE_EXTENSION), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE,
                                 &fdo),
                  STATUS_SUCCESS);
        PDEVICE_EXTENSION ext = GET_EXTENSION(fdo);
        std::memset(ext, 0, sizeof(*ext));
        ext->DeviceObject = fdo;
        ext->Pdo = pdo;
        ext->LowerDevice = IoAttachDeviceToDeviceStack(fdo, pdo);
        ext->BridgeType = bridgeType;
        ext->VenId = fn->VendorId();
        ext->DevId = fn->DeviceId();
        ext->Bus = static_cast<ULONG>(machine_.BusNumberOf(fn));
        ext->Device = static_cast<ULONG>(fn->DeviceNumber());
        ext->Function = static_cast<ULONG>(fn->FunctionNumber());
        if (bridgeType != BRIDGE_TYPE_OTHER) {
            ext->PriBus = fn->PrimaryBus();
            ext->SecBus = fn->SecondaryBus();
            ext->SubBus = fn->SubordinateBus();
        }
        ext->Flags = flags;
        ext->Marker = EXTENSION_MARKER;
        fdo->Flags &= ~DO_DEVICE_INITIALIZING;
        filters_.push_back(fdo);
        return fdo;
    }

    // A function driver's device above a filter: it passes every request on,
    // and when `acceptLists` is set it takes a requirements list offered for
    // filtering (status success) before passing it on.
    PDEVICE_OBJECT AttachFunctionDriver(PDEVICE_OBJECT below, bool acceptLists)
    {
        if (functionDriver_ == nullptr) {
            functionDriver_ = standin::CreateDriverObject("\\Driver\\Function");
            functionDriver_->MajorFunction[IRP_MJ_PNP] = FunctionDriverDispatch;
        }
        PDEVICE_OBJECT fdo = nullptr;
        EXPECT_EQ(IoCreateDevice(functionDriver_, sizeof(FunctionExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0,
                                 FALSE, &fdo),
                  STATUS_SUCCESS);
        auto *ext = static_cast<FunctionExtension *>(fdo->DeviceExtension);
        ext->lower = IoAttachDeviceToDeviceStack(fdo, below);
        ext->acceptLists = acceptLists;
        fdo->Flags &= ~DO_DEVICE_INITIALIZING;
        upper_.push_back({fdo, ext->lower});
        return fdo;
    }

    // IRP_MN_FILTER_RESOURCE_REQUIREMENTS as the PnP manager sends it to the
    // top of a stack: the list in Parameters and in IoStatus.Information,
    // status preset to STATUS_NOT_SUPPORTED. Returns the status and the list
    // the request carries at the end.
    NTSTATUS SendFilterRequest(PDEVICE_OBJECT top, PIO_RESOURCE_REQUIREMENTS_LIST list,
                               PIO_RESOURCE_REQUIREMENTS_LIST *result)
    {
        PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
        EXPECT_NE(irp, nullptr);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_PNP;
        next->MinorFunction = IRP_MN_FILTER_RESOURCE_REQUIREMENTS;
        next->Parameters.FilterResourceRequirements.IoResourceRequirementList = list;
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(list);
        NTSTATUS status = IoCallDriver(top, irp);
        EXPECT_EQ(standin::GetIrpState(irp), standin::IrpState::Completed)
            << standin::IrpStateName(standin::GetIrpState(irp));
        EXPECT_EQ(irp->IoStatus.Status, status) << "the request completes with the returned status";
        *result = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(irp->IoStatus.Information);
        IoFreeIrp(irp);
        return status;
    }

    struct FunctionExtension {
        PDEVICE_OBJECT lower;
        bool acceptLists;
    };

    static NTSTATUS NTAPI FunctionDriverDispatch(PDEVICE_OBJECT device, PIRP irp)
    {
        auto *ext = static_cast<FunctionExtension *>(device->DeviceExtension);
        if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_FILTER_RESOURCE_REQUIREMENTS &&
            ext->acceptLists)
            irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(ext->lower, irp);
    }

    sim::PciMachine machine_;
    std::unique_ptr<sim::PciBusDriver> bus_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDRIVER_OBJECT functionDriver_ = nullptr;
    std::vector<PDEVICE_OBJECT> filters_;
    std::vector<std::pair<PDEVICE_OBJECT, PDEVICE_OBJECT>> upper_;
};

} // namespace restest

#endif
