#include "os_fixture.h"

namespace ostest {

namespace {

struct FilterExt {
    PDEVICE_OBJECT lower, pdo;
};
TestFilterLog logged;

FilterExt *Ext(PDEVICE_OBJECT d) { return static_cast<FilterExt *>(d->DeviceExtension); }

NTSTATUS NTAPI FilterAdd(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice)
        if (Ext(d)->pdo == pdo)
            return STATUS_SUCCESS;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FilterExt), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    Ext(device)->pdo = pdo;
    Ext(device)->lower = IoAttachDeviceToDeviceStack(device, pdo);
    /* A filter looks to the I/O manager like the device below it. */
    device->DeviceType = Ext(device)->lower->DeviceType;
    device->Flags |= Ext(device)->lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI Back(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    if (irp->PendingReturned)
        KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI FilterPnp(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const UCHAR minor = sp->MinorFunction; // the request may be gone once passed on
    logged.minors.push_back(minor);
    PDEVICE_OBJECT lower = Ext(device)->lower;
    if (minor == IRP_MN_QUERY_DEVICE_RELATIONS && sp->Parameters.QueryDeviceRelations.Type == BusRelations) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, Back, &event, TRUE, TRUE, TRUE);
        if (IoCallDriver(lower, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        NTSTATUS status = irp->IoStatus.Status;
        auto *rel = reinterpret_cast<PDEVICE_RELATIONS>(irp->IoStatus.Information);
        for (ULONG i = 0; NT_SUCCESS(status) && rel != nullptr && i < rel->Count; i++)
            FilterAdd(device->DriverObject, rel->Objects[i]);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    if (minor == IRP_MN_FILTER_RESOURCE_REQUIREMENTS && logged.replacesLists && irp->IoStatus.Information != 0) {
        auto *old = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(irp->IoStatus.Information);
        auto *copy = static_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(ExAllocatePoolWithTag(PagedPool, old->ListSize, 0x74736554));
        memcpy(copy, old, old->ListSize);
        ExFreePool(old);
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(copy);
    }
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
    }
    return status;
}

NTSTATUS NTAPI FilterPower(PDEVICE_OBJECT device, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Ext(device)->lower, irp);
}

VOID NTAPI FilterUnload(PDRIVER_OBJECT) { logged.unloaded = true; }

void FailOnFinding(const standin::Finding &f) { ADD_FAILURE() << "verifier finding " << f.rule << ": " << f.detail; }

} // namespace

extern "C" NTSTATUS NTAPI TestFilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    logged = TestFilterLog();
    logged.registryPath.assign(registryPath->Buffer, registryPath->Buffer + registryPath->Length / sizeof(WCHAR));
    driver->DriverExtension->AddDevice = FilterAdd;
    driver->MajorFunction[IRP_MJ_PNP] = FilterPnp;
    driver->MajorFunction[IRP_MJ_POWER] = FilterPower;
    driver->DriverUnload = FilterUnload;
    return STATUS_SUCCESS;
}

TestFilterLog &TestFilter() { return logged; }

Chassis BuildChassis(sim::PciMachine &m, const sim::DeviceModel &controllerModel)
{
    namespace models = sim::models;
    Chassis c;
    m.AddFunction(m.Root(), 0, 0, models::Intel440BX());
    c.controller = m.AddFunction(m.Root(), 3, 0, controllerModel);
    m.SetBusNumbers(c.controller, 0, 1, 2);
    sim::PciSegment *bus1 = m.SecondarySegment(c.controller);
    c.bridgeA = m.AddFunction(bus1, 0, 0, models::DEC21154());
    c.nic1 = m.AddFunction(bus1, 1, 0, models::RTL8139());
    sim::PciSegment *bus2 = m.SecondarySegment(c.bridgeA);
    sim::DeviceModel vga = models::GeForce2MX();
    vga.bars = {sim::MemBar(0, 16u << 20), sim::PrefetchBar(1, 64u << 20)};
    c.vga = m.AddFunction(bus2, 0, 0, vga);
    c.audio = m.AddFunction(bus2, 1, 0, models::SBLiveAudio());
    c.gameport = m.AddFunction(bus2, 1, 1, models::SBLiveGameport());
    c.bridgeB = m.AddFunction(bus2, 2, 0, models::TIPCI2250());
    sim::PciSegment *bus3 = m.SecondarySegment(c.bridgeB);
    c.nic2 = m.AddFunction(bus3, 0, 0, models::RTL8139());
    sim::DeviceModel fpga = models::FpgaBoard64();
    fpga.bars = {sim::MemBar(0, 0x1000), sim::Mem64Bar(2, 16u << 20, true)};
    c.fpga = m.AddFunction(bus3, 1, 0, fpga);
    c.behind = {c.bridgeA, c.nic1, c.vga, c.audio, c.gameport, c.bridgeB, c.nic2, c.fpga};
    return c;
}

void OsTest::SetUp()
{
    DriverTest::SetUp();
    machine_ = std::make_unique<sim::PciMachine>();
    machine_->Install();
    bus_ = std::make_unique<sim::PciBusDriver>(*machine_);
    standin::SetFindingHandler(FailOnFinding);
}

void OsTest::TearDown()
{
    if (pnp_)
        pnp_->UnloadAll();
    pnp_.reset();
    bus_.reset();
    standin::CheckIoLeftovers();
    EXPECT_EQ(standin::LiveDeviceCount(), 0u) << "device objects left after the bus driver went";
    machine_.reset();
    standin::SetFindingHandler(FailOnFinding);
    DriverTest::TearDown();
}

sim::PnpManager &OsTest::Manager(PDRIVER_INITIALIZE filter, sim::PnpOptions options)
{
    options.filterEntry = filter;
    pnp_ = std::make_unique<sim::PnpManager>(*bus_, options);
    return *pnp_;
}

void OsTest::BootChassis(PDRIVER_INITIALIZE filter, const sim::DeviceModel &controller, sim::PnpOptions options)
{
    chassis_ = BuildChassis(*machine_, controller);
    Manager(filter, options).AddController(chassis_.controller);
    pnp_->Boot();
}

long OsTest::IndexOf(const std::string &location, UCHAR minor, ULONG detail, UCHAR major) const
{
    const auto &all = pnp_->Requests();
    for (size_t i = 0; i < all.size(); i++)
        if (all[i].location == location && all[i].major == major && all[i].minor == minor && all[i].detail == detail)
            return long(i);
    return -1;
}

void OsTest::ExpectInOrder(const std::vector<long> &indexes, const char *what) const
{
    for (size_t i = 0; i < indexes.size(); i++) {
        EXPECT_GE(indexes[i], 0) << what << ": request " << i << " was not sent";
        if (i > 0)
            EXPECT_LT(indexes[i - 1], indexes[i]) << what << ": request " << i - 1 << " before " << i;
    }
}

std::vector<std::pair<uint64_t, uint64_t>> OsTest::MemoryRanges(const sim::DeviceNode *node)
{
    std::vector<std::pair<uint64_t, uint64_t>> out;
    for (const auto &d : node->assigned)
        if (d.Type == CmResourceTypeMemory && d.u.Memory.Length != 0)
            out.emplace_back(uint64_t(d.u.Memory.Start.QuadPart), uint64_t(d.u.Memory.Start.QuadPart) + d.u.Memory.Length - 1);
    return out;
}

} // namespace ostest
