// A simulated machine with its PCI bus driver, the driver loaded on its own
// driver object, and requests sent to the top of a stack and read back.
#ifndef TOLMU_TESTS_PNP_HARNESS_H
#define TOLMU_TESTS_PNP_HARNESS_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/debug.h"
#include "core/driver.h"
#include "enum/enumerate.h"
#include "function_drivers.h"
#include "pci_bus_driver.h"
#include "pnp/pnp.h"
#include "standin/iomgr.h"
#include "test_support.h"

namespace pnptest {

struct Result {
    NTSTATUS status;
    ULONG_PTR information;
};
using Setup = std::function<void(PIO_STACK_LOCATION, PIRP)>;

// A request set up by setup() to the top of device's stack, waited for, checked to be completed with
// the status returned, and freed.
inline Result Send(PDEVICE_OBJECT device, UCHAR minor, const Setup &setup = nullptr, UCHAR major = IRP_MJ_PNP)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    ObfDereferenceObject(top);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED, irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major, stack->MinorFunction = minor;
    if (setup)
        setup(stack, irp);
    NTSTATUS status = IoCallDriver(top, irp);
    if (status == STATUS_PENDING)
        standin::RunDeferred();
    Result r{irp->IoStatus.Status, irp->IoStatus.Information};
    EXPECT_EQ(standin::GetIrpState(irp), standin::IrpState::Completed) << standin::IrpStateName(standin::GetIrpState(irp));
    EXPECT_TRUE(status == STATUS_PENDING || status == r.status) << "returned status differs from the completed one";
    IoFreeIrp(irp);
    return r;
}

// A function driver's AddDevice on pdo's stack (above whatever is there), as the PnP manager calls it.
inline PDEVICE_OBJECT AddFunctionDevice(sim::FunctionDriver &driver, PDEVICE_OBJECT pdo)
{
    standin::BeginAddDevice(pdo, standin::AddDeviceRole::Function);
    PDEVICE_OBJECT fdo = driver.AddDevice(pdo);
    standin::EndAddDevice();
    return fdo;
}

class FilterTest : public testsupport::DriverTest {
  protected:
    void SetUp() override { DriverTest::SetUp(), machine_.Install(); }
    void TearDown() override
    {
        if (driver_ != nullptr)
            RemoveAllAndUnload();
        bus_.reset();
        machine_.Uninstall();
        DriverTest::TearDown();
    }
    void Load()
    {
        if (!bus_)
            bus_ = std::make_unique<sim::PciBusDriver>(machine_);
        driver_ = standin::CreateDriverObject("\\Driver\\tolmu");
        UNICODE_STRING path{0, 0, nullptr};
        ASSERT_EQ(DriverEntry(driver_, &path), STATUS_SUCCESS);
    }
    // IRP_MN_REMOVE_DEVICE to every filter still attached (others deleted), then unload.
    void RemoveAllAndUnload()
    {
        for (PDEVICE_OBJECT d : Filters()) {
            if (GET_EXTENSION(d)->LowerDevice != nullptr && standin::AttachedTo(d) != nullptr)
                Send(d, IRP_MN_REMOVE_DEVICE);
            else
                IoDeleteDevice(d);
        }
        driver_->DriverUnload(driver_);
        standin::DestroyDriverObject(driver_);
        driver_ = nullptr;
    }
    std::vector<PDEVICE_OBJECT> Filters() const
    {
        std::vector<PDEVICE_OBJECT> out;
        for (PDEVICE_OBJECT d = driver_->DeviceObject; d; d = d->NextDevice)
            out.push_back(d);
        return out;
    }
    size_t FilterCount() const { return Filters().size(); }
    PDEVICE_EXTENSION Ext(PDEVICE_OBJECT filter) const { return GET_EXTENSION(filter); }
    PDEVICE_OBJECT Pdo(sim::PciFunction *fn) const { return bus_->PdoFor(fn); }
    // The filter device on fn's stack (null if none).
    PDEVICE_OBJECT F(sim::PciFunction *fn) const
    {
        for (PDEVICE_OBJECT d : Filters())
            if (GET_EXTENSION(d)->Pdo == Pdo(fn))
                return d;
        return nullptr;
    }
    // EnumerateFromHere from fn's filter (marked for enumeration unless mark is false): the five
    // needs (memory, prefetchable, I/O and the two alignments).
    std::vector<ULONG> Enumerate(sim::PciFunction *fn, bool mark = true)
    {
        ULONG n[5] = {};
        if (mark)
            Ext(F(fn))->Flags |= ENUMERATE;
        EnumerateFromHere(Ext(F(fn)), &n[0], &n[1], &n[2], &n[3], &n[4], &dropped_);
        return std::vector<ULONG>(n, n + 5);
    }
    // Controller 00:03.0 (buses 2..5), chassis bridge 02:00.0 (bus 3), NIC 03:01.0, display 03:02.0.
    void BuildChassis(const sim::DeviceModel &controller)
    {
        cb_ = machine_.AddFunction(machine_.Root(), 3, 0, controller);
        machine_.SetBusNumbers(cb_, 0, 2, 5);
        p2p_ = machine_.AddFunction(machine_.SecondarySegment(cb_), 0, 0, sim::models::DEC21154());
        machine_.SetBusNumbers(p2p_, 2, 3, 3);
        nic_ = machine_.AddFunction(machine_.SecondarySegment(p2p_), 1, 0, sim::models::RTL8139());
        vga_ = machine_.AddFunction(machine_.SecondarySegment(p2p_), 2, 0, sim::models::GeForce2MX());
    }
    // Loads the driver and filters the chassis as its bus relations would, every device located.
    void FilterChassis()
    {
        Load();
        AddDevice(driver_, Pdo(cb_));
        AddChildDevice(driver_, Pdo(p2p_), 1);
        AddChildDevice(driver_, Pdo(nic_), 2);
        AddChildDevice(driver_, Pdo(vga_), 2);
        for (auto *fn : {cb_, p2p_, nic_, vga_})
            LocateMe(GET_EXTENSION(F(fn)));
    }

    sim::PciMachine machine_;
    std::unique_ptr<sim::PciBusDriver> bus_;
    PDRIVER_OBJECT driver_ = nullptr;
    BOOLEAN dropped_ = FALSE;
    sim::PciFunction *cb_ = nullptr, *p2p_ = nullptr, *nic_ = nullptr, *vga_ = nullptr;
};

// The chassis of BuildChassis behind a TI1420.
class ChassisTest : public FilterTest {
  protected:
    void SetUp() override { FilterTest::SetUp(), BuildChassis(sim::models::TI1420()); }
};

} // namespace pnptest

#endif
