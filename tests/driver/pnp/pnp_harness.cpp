#include "pnp_harness.h"

#include <gtest/gtest.h>

namespace pnptest {

namespace {

PDEVICE_OBJECT Top(PDEVICE_OBJECT device)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    ObfDereferenceObject(top);
    return top;
}

Result Send(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
            const std::function<void(PIO_STACK_LOCATION, PIRP)> &setup)
{
    PDEVICE_OBJECT top = Top(device);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    EXPECT_NE(irp, nullptr);
    if (irp == nullptr)
        return {STATUS_INSUFFICIENT_RESOURCES, 0};
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->MinorFunction = minor;
    if (setup)
        setup(stack, irp);
    NTSTATUS status = IoCallDriver(top, irp);
    if (status == STATUS_PENDING)
        standin::RunDeferred();
    Result r{irp->IoStatus.Status, irp->IoStatus.Information};
    EXPECT_EQ(standin::GetIrpState(irp), standin::IrpState::Completed)
        << "request not completed: " << standin::IrpStateName(standin::GetIrpState(irp));
    if (status != STATUS_PENDING)
        EXPECT_EQ(status, r.status) << "returned status differs from the completed one";
    IoFreeIrp(irp);
    return r;
}

NTSTATUS NTAPI PassDownDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PDEVICE_OBJECT lower = *static_cast<PDEVICE_OBJECT *>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lower, irp);
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

} // namespace

Result SendPnp(PDEVICE_OBJECT device, UCHAR minor, const std::function<void(PIO_STACK_LOCATION, PIRP)> &setup)
{
    return Send(device, IRP_MJ_PNP, minor, setup);
}

Result SendPower(PDEVICE_OBJECT device, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &setup)
{
    return Send(device, IRP_MJ_POWER, minor, [&](PIO_STACK_LOCATION s, PIRP) {
        if (setup)
            setup(s);
    });
}

PassDownDriver::PassDownDriver(const std::string &name)
{
    driver_ = standin::CreateDriverObject(name);
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        driver_->MajorFunction[i] = PassDownDispatch;
}

PassDownDriver::~PassDownDriver()
{
    for (PDEVICE_OBJECT d : devices_)
        if (!standin::DeviceIsDeleted(d))
            Remove(d);
    standin::DestroyDriverObject(driver_);
}

PDEVICE_OBJECT PassDownDriver::AttachTo(PDEVICE_OBJECT target)
{
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver_, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    *static_cast<PDEVICE_OBJECT *>(device->DeviceExtension) = testsupport::AttachInAddDevice(device, target);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    devices_.push_back(device);
    return device;
}

void PassDownDriver::Remove(PDEVICE_OBJECT device)
{
    PDEVICE_OBJECT lower = *static_cast<PDEVICE_OBJECT *>(device->DeviceExtension);
    if (lower != nullptr)
        IoDetachDevice(lower);
    IoDeleteDevice(device);
}

void FilterTest::SetUp()
{
    DriverTest::SetUp();
    machine_.Install();
}

void FilterTest::TearDown()
{
    if (loaded_)
        RemoveAllAndUnload();
    bus_.reset();
    machine_.Uninstall();
    DriverTest::TearDown();
}

void FilterTest::Load()
{
    if (!bus_)
        bus_ = std::make_unique<sim::PciBusDriver>(machine_);
    driver_ = standin::CreateDriverObject("\\Driver\\tolmu");
    UNICODE_STRING path{0, 0, nullptr};
    ASSERT_EQ(DriverEntry(driver_, &path), STATUS_SUCCESS);
    loaded_ = true;
}

void FilterTest::RemoveAllAndUnload()
{
    // Remove every filter device that is still attached to a stack.
    std::vector<PDEVICE_OBJECT> devices;
    for (PDEVICE_OBJECT d = driver_->DeviceObject; d; d = d->NextDevice)
        devices.push_back(d);
    for (PDEVICE_OBJECT d : devices) {
        if (GET_EXTENSION(d)->LowerDevice != nullptr && standin::AttachedTo(d) != nullptr)
            SendPnp(d, IRP_MN_REMOVE_DEVICE);
        else
            IoDeleteDevice(d); // detached earlier, left in the list
    }
    driver_->DriverUnload(driver_);
    standin::DestroyDriverObject(driver_);
    driver_ = nullptr;
    loaded_ = false;
}

PDEVICE_OBJECT FilterTest::FilterOn(PDEVICE_OBJECT pdo) const
{
    for (PDEVICE_OBJECT d = driver_->DeviceObject; d; d = d->NextDevice)
        if (GET_EXTENSION(d)->Pdo == pdo)
            return d;
    return nullptr;
}

void FilterTest::BuildChassis(const sim::DeviceModel &controller)
{
    cb_ = machine_.AddFunction(machine_.Root(), 3, 0, controller);
    machine_.SetBusNumbers(cb_, 0, 2, 5);
    p2p_ = machine_.AddFunction(machine_.SecondarySegment(cb_), 0, 0, sim::models::DEC21154());
    machine_.SetBusNumbers(p2p_, 2, 3, 3);
    nic_ = machine_.AddFunction(machine_.SecondarySegment(p2p_), 1, 0, sim::models::RTL8139());
    vga_ = machine_.AddFunction(machine_.SecondarySegment(p2p_), 2, 0, sim::models::GeForce2MX());
}

void FilterTest::FilterChassis()
{
    Load();
    AddDevice(driver_, Pdo(cb_));
    AddChildDevice(driver_, Pdo(p2p_), 1);
    AddChildDevice(driver_, Pdo(nic_), 2);
    AddChildDevice(driver_, Pdo(vga_), 2);
    for (auto *fn : {cb_, p2p_, nic_, vga_})
        LocateMe(GET_EXTENSION(F(fn)));
}

void FilterTest::Configure(const std::vector<std::pair<std::string, ULONG>> &values)
{
    for (const auto &v : values)
        standin::RegSetDword("tolmu\\Parameters", v.first, v.second);
    ReadConfiguration();
}

size_t FilterTest::FilterCount() const
{
    size_t n = 0;
    for (PDEVICE_OBJECT d = driver_->DeviceObject; d; d = d->NextDevice)
        n++;
    return n;
}

} // namespace pnptest
