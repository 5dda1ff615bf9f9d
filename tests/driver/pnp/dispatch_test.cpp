// PnP dispatch: every request traced, passed down, waited for and completed
// by the filter; the handlers for relations, capabilities, resource queries
// and removal.
#include <gtest/gtest.h>

#include <algorithm>

#include "diag/irp_trace.h"
#include "pnp_harness.h"

using pnptest::SendPnp;
using testsupport::CountContaining;
using testsupport::TraceLines;

namespace {

const char kParams[] = "tolmu\\Parameters";

// What the PnP manager does with a relations list: drop the reference the
// bus driver took on every object in it, then free it.
void ReleaseRelations(ULONG_PTR information)
{
    auto *rel = reinterpret_cast<PDEVICE_RELATIONS>(information);
    if (rel == nullptr)
        return;
    for (ULONG i = 0; i < rel->Count; i++)
        if (rel->Objects[i] != nullptr)
            ObfDereferenceObject(rel->Objects[i]);
    ExFreePool(rel);
}

// A lower driver standing between the filter and the PDO that answers device
// relations with a list the test prepares, and passes everything else down.
struct RelationsAnswer {
    static std::vector<PDEVICE_OBJECT> objects;
    static NTSTATUS status;
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp)
    {
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        if (s->MajorFunction == IRP_MJ_PNP && s->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS) {
            auto *rel = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(
                PagedPool, sizeof(DEVICE_RELATIONS) + objects.size() * sizeof(PDEVICE_OBJECT), 0x74736554));
            rel->Count = ULONG(objects.size());
            for (size_t i = 0; i < objects.size(); i++) {
                rel->Objects[i] = objects[i];
                if (objects[i] != nullptr)
                    ObfReferenceObject(objects[i]); // as a bus driver does for the PnP manager
            }
            irp->IoStatus.Status = status;
            irp->IoStatus.Information = ULONG_PTR(rel);
            NTSTATUS st = status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return st;
        }
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(*static_cast<PDEVICE_OBJECT *>(device->DeviceExtension), irp);
    }
};
std::vector<PDEVICE_OBJECT> RelationsAnswer::objects;
NTSTATUS RelationsAnswer::status = STATUS_SUCCESS;

class DispatchTest : public pnptest::FilterTest {
  protected:
    void SetUp() override
    {
        FilterTest::SetUp();
        cb_ = machine_.AddFunction(machine_.Root(), 3, 0, sim::models::TI1420());
        machine_.SetBusNumbers(cb_, 0, 2, 5);
        nic_ = machine_.AddFunction(machine_.SecondarySegment(cb_), 1, 0, sim::models::RTL8139());
        vga_ = machine_.AddFunction(machine_.SecondarySegment(cb_), 2, 0, sim::models::GeForce2MX());
    }

    // Loads the driver and puts a filter on the controller.
    PDEVICE_OBJECT FilterController()
    {
        Load();
        EXPECT_EQ(AddDevice(driver_, bus_->PdoFor(cb_)), STATUS_SUCCESS);
        return FilterOn(bus_->PdoFor(cb_));
    }

    sim::PciFunction *cb_, *nic_, *vga_;
};

TEST_F(DispatchTest, UnhandledMinorIsPassedDownAndCompletedWithTheLowerStatus)
{
    standin::RegSetDword(kParams, "Verbose", 10);
    ReadConfiguration();
    PDEVICE_OBJECT f = FilterController();
    PDEVICE_OBJECT pdo = bus_->PdoFor(cb_);
    auto r = SendPnp(f, IRP_MN_QUERY_ID, [](PIO_STACK_LOCATION s, PIRP) { s->Parameters.QueryId.IdType = BusQueryDeviceID; });
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    ExFreePool(reinterpret_cast<PVOID>(r.information));
    auto &got = bus_->Record(pdo)->received;
    EXPECT_EQ(std::count(got.begin(), got.end(), UCHAR(IRP_MN_QUERY_ID)), 1);
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "ENTER QUERY_ID (0x104cac51 "), 1u);
    EXPECT_EQ(CountContaining(lines, "DONE  QUERY_ID (0x104cac51 "), 1u);
    EXPECT_EQ(CountContaining(lines, "     BusQueryDeviceID"), 1u);
}

TEST_F(DispatchTest, FailureStatusOfTheLowerDriverIsCompletedAndMarked)
{
    PDEVICE_OBJECT f = FilterController();
    bus_->FailMinor(bus_->PdoFor(cb_), IRP_MN_QUERY_STOP_DEVICE, STATUS_UNSUCCESSFUL);
    auto r = SendPnp(f, IRP_MN_QUERY_STOP_DEVICE);
    EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(CountContaining(TraceLines(), "DONE  QUERY_STOP_DEVICE (0x104cac51 "), 1u);
    EXPECT_EQ(CountContaining(TraceLines(), ") (FAILED)"), 1u);
}

TEST_F(DispatchTest, PendingLowerDriverIsWaitedFor)
{
    PDEVICE_OBJECT f = FilterController();
    bus_->PendMinor(bus_->PdoFor(cb_), IRP_MN_QUERY_STOP_DEVICE);
    auto r = SendPnp(f, IRP_MN_QUERY_STOP_DEVICE);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(standin::DeferredCount(), 0u);
}

TEST_F(DispatchTest, TicksDelayEveryRelationsRequestBeforeItGoesDown)
{
    standin::RegSetDword(kParams, "ticks", 0x1000);
    ReadConfiguration();
    PDEVICE_OBJECT f = FilterController();
    uint64_t t0 = standin::VirtualMicroseconds();
    auto r = SendPnp(f, IRP_MN_QUERY_DEVICE_RELATIONS,
                     [](PIO_STACK_LOCATION s, PIRP) { s->Parameters.QueryDeviceRelations.Type = RemovalRelations; });
    ReleaseRelations(r.information);
    EXPECT_EQ(standin::VirtualMicroseconds() - t0, 0x1000u);
    EXPECT_EQ(CountContaining(TraceLines(), "Stalling execution for 0x1000 ticks"), 1u);
}

TEST_F(DispatchTest, BusRelationsPutAFilterOnEveryChildOnce)
{
    PDEVICE_OBJECT f = FilterController();
    for (int round = 0; round < 2; round++) {
        auto r = SendPnp(f, IRP_MN_QUERY_DEVICE_RELATIONS,
                         [](PIO_STACK_LOCATION s, PIRP) { s->Parameters.QueryDeviceRelations.Type = BusRelations; });
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        ASSERT_NE(r.information, 0u);
        ReleaseRelations(r.information);
    }
    EXPECT_NE(FilterOn(bus_->PdoFor(nic_)), nullptr);
    EXPECT_NE(FilterOn(bus_->PdoFor(vga_)), nullptr);
    EXPECT_EQ(FilterCount(), 3u) << "the second report creates no second filter";
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "Querying for Bus relations"), 2u);
    EXPECT_EQ(CountContaining(lines, "  Relation[1] = 0x"), 2u);
    EXPECT_EQ(CountContaining(lines, "WARNING AlreadySeenThisOne"), 2u);
}

TEST_F(DispatchTest, OtherRelationTypesAndNullEntriesCreateNoFilter)
{
    Load();
    PDEVICE_OBJECT pdo = bus_->PdoFor(cb_);
    pnptest::PassDownDriver unused("\\Driver\\unused");
    PDRIVER_OBJECT answerDriver = standin::CreateDriverObject("\\Driver\\answer");
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        answerDriver->MajorFunction[i] = RelationsAnswer::Dispatch;
    PDEVICE_OBJECT answer = nullptr;
    ASSERT_EQ(IoCreateDevice(answerDriver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &answer),
              STATUS_SUCCESS);
    *static_cast<PDEVICE_OBJECT *>(answer->DeviceExtension) = testsupport::AttachInAddDevice(answer, pdo);
    ASSERT_EQ(AddDevice(driver_, pdo), STATUS_SUCCESS);
    PDEVICE_OBJECT f = FilterOn(pdo);

    RelationsAnswer::objects = {bus_->PdoFor(nic_), nullptr, bus_->PdoFor(vga_)};
    auto r = SendPnp(f, IRP_MN_QUERY_DEVICE_RELATIONS,
                     [](PIO_STACK_LOCATION s, PIRP) { s->Parameters.QueryDeviceRelations.Type = RemovalRelations; });
    ReleaseRelations(r.information);
    EXPECT_EQ(FilterCount(), 1u) << "removal relations create no filter";
    EXPECT_EQ(CountContaining(TraceLines(), "Querying for Removal relations"), 1u);

    r = SendPnp(f, IRP_MN_QUERY_DEVICE_RELATIONS,
                [](PIO_STACK_LOCATION s, PIRP) { s->Parameters.QueryDeviceRelations.Type = BusRelations; });
    ReleaseRelations(r.information);
    EXPECT_EQ(FilterCount(), 3u) << "the null entry is skipped, the others filtered";

    RelationsAnswer::status = STATUS_UNSUCCESSFUL;
    RelationsAnswer::objects = {bus_->PdoFor(machine_.AddFunction(machine_.SecondarySegment(cb_), 7, 0,
                                                                  sim::models::RTL8139()))};
    r = SendPnp(f, IRP_MN_QUERY_DEVICE_RELATIONS,
                [](PIO_STACK_LOCATION s, PIRP) { s->Parameters.QueryDeviceRelations.Type = BusRelations; });
    ReleaseRelations(r.information);
    RelationsAnswer::status = STATUS_SUCCESS;
    EXPECT_EQ(FilterCount(), 3u) << "a failed query adds nothing";

    SendPnp(f, IRP_MN_REMOVE_DEVICE);
    IoDetachDevice(pdo);
    IoDeleteDevice(answer);
    standin::DestroyDriverObject(answerDriver);
}

TEST_F(DispatchTest, CapabilitiesArePrintedOnlyWhenTheyChange)
{
    standin::RegSetDword(kParams, "Verbose", 10);
    ReadConfiguration();
    PDEVICE_OBJECT f = FilterController();
    DEVICE_CAPABILITIES caps{};
    auto query = [&]() {
        caps.Size = sizeof(caps);
        caps.Version = 1;
        caps.Address = 0xFFFFFFFF;
        caps.UINumber = 0xFFFFFFFF;
        SendPnp(f, IRP_MN_QUERY_CAPABILITIES,
                [&](PIO_STACK_LOCATION s, PIRP) { s->Parameters.DeviceCapabilities.Capabilities = &caps; });
    };
    query();
    query();
    EXPECT_EQ(CountContaining(TraceLines(), "Device Capabilities for 0x104c-ac51 are:"), 1u);
    EXPECT_EQ(0, memcmp(&Ext(f)->Capabilities, &caps, sizeof(caps)));
}

TEST_F(DispatchTest, RequirementsOfAnOrdinaryDeviceAreCopiedAndReleasedAtTheResourceQuery)
{
    PDEVICE_OBJECT f = FilterController();
    AddChildDevice(driver_, bus_->PdoFor(nic_), 2);
    PDEVICE_OBJECT child = FilterOn(bus_->PdoFor(nic_));
    auto r = SendPnp(child, IRP_MN_QUERY_RESOURCE_REQUIREMENTS);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    ExFreePool(reinterpret_cast<PVOID>(r.information));
    ASSERT_NE(Ext(child)->DupRequirements, nullptr);

    // A second query before the resource query: the first copy is released.
    r = SendPnp(child, IRP_MN_QUERY_RESOURCE_REQUIREMENTS);
    ExFreePool(reinterpret_cast<PVOID>(r.information));
    EXPECT_EQ(standin::OutstandingCount(TOLMU_POOL_TAG), 2u) << "trace buffer and one copy";

    r = SendPnp(child, IRP_MN_QUERY_RESOURCES);
    if (r.information)
        ExFreePool(reinterpret_cast<PVOID>(r.information));
    EXPECT_EQ(Ext(child)->DupRequirements, nullptr);
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "QueryResourceRequirements: duplicating resources..."), 2u);
    EXPECT_EQ(CountContaining(lines, "Leaving patchMatrox without doing a thing"), 1u);
    EXPECT_EQ(CountContaining(lines, "QueryResources: freeing duplicated resources..."), 1u);
    (void)f;
}

TEST_F(DispatchTest, BridgesKeepNoCopyOfTheirRequirements)
{
    PDEVICE_OBJECT f = FilterController();
    auto r = SendPnp(f, IRP_MN_QUERY_RESOURCE_REQUIREMENTS);
    if (r.information)
        ExFreePool(reinterpret_cast<PVOID>(r.information));
    EXPECT_EQ(Ext(f)->DupRequirements, nullptr);
}

TEST_F(DispatchTest, RemovalReleasesAHeldCopy)
{
    FilterController();
    AddChildDevice(driver_, bus_->PdoFor(nic_), 2);
    PDEVICE_OBJECT child = FilterOn(bus_->PdoFor(nic_));
    auto r = SendPnp(child, IRP_MN_QUERY_RESOURCE_REQUIREMENTS);
    ExFreePool(reinterpret_cast<PVOID>(r.information));
    SendPnp(child, IRP_MN_REMOVE_DEVICE);
    EXPECT_TRUE(standin::DeviceIsDeleted(child));
    EXPECT_EQ(standin::OutstandingCount(TOLMU_POOL_TAG), 1u) << "only the trace buffer";
}

TEST_F(DispatchTest, SurpriseRemovalKeepsTheFilterUntilTheRemovalItself)
{
    FilterController();
    PDEVICE_OBJECT pdo = bus_->PdoFor(nic_);
    AddChildDevice(driver_, pdo, 2);
    PDEVICE_OBJECT child = FilterOn(pdo);
    // The child's function driver attaches above the filter.
    pnptest::PassDownDriver function("\\Driver\\rtl8139");
    PDEVICE_OBJECT fdo = function.AttachTo(pdo);
    ASSERT_EQ(standin::AttachedTo(fdo), child);

    auto r = SendPnp(fdo, IRP_MN_SURPRISE_REMOVAL);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_FALSE(standin::DeviceIsDeleted(child));
    EXPECT_EQ(standin::AttachedTo(child), pdo);

    // The function driver still talks to its device until the removal.
    SendPnp(fdo, IRP_MN_QUERY_CAPABILITIES, [](PIO_STACK_LOCATION s, PIRP) {
        static DEVICE_CAPABILITIES caps;
        caps = DEVICE_CAPABILITIES{};
        caps.Size = sizeof(caps);
        s->Parameters.DeviceCapabilities.Capabilities = &caps;
    });

    r = SendPnp(fdo, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_TRUE(standin::DeviceIsDeleted(child));
    function.Remove(fdo);
    EXPECT_EQ(CountContaining(TraceLines(), "ENTER SURPRISE_REMOVAL"), 1u);
    EXPECT_EQ(CountContaining(TraceLines(), "DONE  REMOVE_DEVICE"), 1u);
}

TEST_F(DispatchTest, QueryInterfaceShowsTheArbiterBeforeAndAfter)
{
    standin::RegSetDword(kParams, "Verbose", 1);
    ReadConfiguration();
    PDEVICE_OBJECT f = FilterController();
    static GUID arbiterGuid = {0xE644F185, 0x8C0E, 0x11D0, {0xBE, 0xCF, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};
    static ARBITER_INTERFACE arbiter{};
    arbiter.Flags = 3;
    SendPnp(f, IRP_MN_QUERY_INTERFACE, [](PIO_STACK_LOCATION s, PIRP irp) {
        s->Parameters.QueryInterface.InterfaceType = &arbiterGuid;
        s->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&arbiter);
    });
    // The status is STATUS_NOT_SUPPORTED on the way down (nothing printed)
    // and the bus driver does not support the interface either.
    EXPECT_EQ(CountContaining(TraceLines(), "Arb handler"), 0u);
    EXPECT_EQ(CountContaining(TraceLines(), "ENTER QUERY_INTERFACE"), 1u);
}

} // namespace

namespace {

// A filter request nobody below handles comes back with the status the PnP
// manager preset: the filter completes it with success, so the edited (here
// replaced) list is the one the PnP manager uses.
TEST_F(DispatchTest, UnhandledFilterRequestIsCompletedWithTheFilteredList)
{
    PDEVICE_OBJECT f = FilterController();
    auto *cbChild = machine_.AddFunction(machine_.SecondarySegment(cb_), 5, 0, sim::models::TI1420());
    PDEVICE_OBJECT pdo = bus_->PdoFor(cbChild);
    AddChildDevice(driver_, pdo, 2);
    PDEVICE_OBJECT child = FilterOn(pdo);
    auto q = SendPnp(child, IRP_MN_QUERY_RESOURCE_REQUIREMENTS);
    ASSERT_EQ(q.status, STATUS_SUCCESS);
    ASSERT_NE(q.information, 0u);
    auto *original = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(q.information);
    ULONG originalCount = original->List[0].Count;

    auto r = SendPnp(child, IRP_MN_FILTER_RESOURCE_REQUIREMENTS,
                     [&](PIO_STACK_LOCATION, PIRP irp) { irp->IoStatus.Information = q.information; });
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_NE(r.information, q.information) << "a CardBus bridge behind the adapter loses its I/O window";
    auto *filtered = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(r.information);
    EXPECT_EQ(filtered->List[0].Count, originalCount - 2);
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "NOTE FilterResourceRequirements: not handled below"), 1u);
    EXPECT_EQ(CountContaining(lines, "Post-Filtered Resources:"), 1u);
    ExFreePool(filtered);
    (void)f;
}

TEST_F(DispatchTest, FailedFilterRequestKeepsItsFailure)
{
    FilterController();
    PDEVICE_OBJECT pdo = bus_->PdoFor(nic_);
    AddChildDevice(driver_, pdo, 2);
    PDEVICE_OBJECT child = FilterOn(pdo);
    bus_->FailMinor(pdo, IRP_MN_FILTER_RESOURCE_REQUIREMENTS, STATUS_INSUFFICIENT_RESOURCES);
    auto q = SendPnp(child, IRP_MN_QUERY_RESOURCE_REQUIREMENTS);
    ASSERT_NE(q.information, 0u);
    auto r = SendPnp(child, IRP_MN_FILTER_RESOURCE_REQUIREMENTS,
                     [&](PIO_STACK_LOCATION, PIRP irp) { irp->IoStatus.Information = q.information; });
    EXPECT_EQ(r.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(CountContaining(TraceLines(), "Post-Filtered Resources:"), 0u);
    ExFreePool(reinterpret_cast<PVOID>(q.information));
    // The copy the query kept for this ordinary device goes with its removal.
}

} // namespace
