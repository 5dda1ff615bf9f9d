// PnP dispatch: requests passed down, waited for and completed; relations, capabilities,
// resource queries and removal.
#include <gtest/gtest.h>

#include <algorithm>

#include "pnp_harness.h"

using pnptest::Send;
using testsupport::CountContaining;
using testsupport::TraceLines;

namespace {

void FreeInformation(const pnptest::Result &r)
{
    if (r.information != 0)
        ExFreePool(reinterpret_cast<PVOID>(r.information));
}

class DispatchTest : public pnptest::ChassisTest {
  protected:
    PDEVICE_OBJECT FilterController()
    {
        Load();
        EXPECT_EQ(AddDevice(driver_, Pdo(cb_)), STATUS_SUCCESS);
        return F(cb_);
    }
    PDEVICE_OBJECT FilterChild(sim::PciFunction *fn)
    {
        AddChildDevice(driver_, Pdo(fn), 2);
        return F(fn);
    }
    // The list released as the PnP manager does: the bus driver's reference on every object dropped.
    NTSTATUS Relations(PDEVICE_OBJECT f, DEVICE_RELATION_TYPE type)
    {
        auto r = Send(f, IRP_MN_QUERY_DEVICE_RELATIONS,
                      [type](PIO_STACK_LOCATION s, PIRP) { s->Parameters.QueryDeviceRelations.Type = type; });
        auto *rel = reinterpret_cast<PDEVICE_RELATIONS>(r.information);
        for (ULONG i = 0; rel != nullptr && i < rel->Count; i++)
            ObfDereferenceObject(rel->Objects[i]);
        FreeInformation(r);
        return r.status;
    }
};

// A function driver above the filter that answered a request with success and passes it on.
NTSTATUS NTAPI AnsweredAbove(PDEVICE_OBJECT device, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(standin::AttachedTo(device), irp);
}

// Capabilities are printed only when they change. An unhandled minor goes down once and comes
// back with the lower driver's status and answer, printed once after it answered (even when a
// driver above had answered success).
TEST_F(DispatchTest, CapabilitiesAndUnhandledMinorsPassDown)
{
    Configure({{"Verbose", 10}});
    PDEVICE_OBJECT f = FilterController();
    DEVICE_CAPABILITIES caps{};
    for (int i = 0; i < 2; i++) {
        caps.Size = sizeof(caps), caps.Version = 1, caps.Address = caps.UINumber = 0xFFFFFFFF;
        Send(f, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION s, PIRP) { s->Parameters.DeviceCapabilities.Capabilities = &caps; });
    }
    EXPECT_EQ(CountContaining(TraceLines(), "Device Capabilities for 0x104c-ac51 are:"), 1u);
    EXPECT_EQ(0, memcmp(&Ext(f)->Capabilities, &caps, sizeof(caps)));
    sim::FunctionDriver above("\\Driver\\pcmcia", false);
    PDEVICE_OBJECT fdo = pnptest::AddFunctionDevice(above, Pdo(cb_));
    above.Driver()->MajorFunction[IRP_MJ_PNP] = AnsweredAbove;
    auto &got = bus_->Record(Pdo(cb_))->received;
    auto r = Send(fdo, IRP_MN_QUERY_ID,
                     [](PIO_STACK_LOCATION s, PIRP) { s->Parameters.QueryId.IdType = BusQueryDeviceID; });
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_NE(r.information, 0u) << "the bus driver's answer";
    FreeInformation(r);
    EXPECT_EQ(std::count(got.begin(), got.end(), UCHAR(IRP_MN_QUERY_ID)), 1);
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "ENTER QUERY_ID (0x104cac51 "), 1u);
    EXPECT_EQ(CountContaining(lines, "     BusQueryDeviceID"), 1u);
    EXPECT_EQ(CountContaining(lines, "DONE  QUERY_ID (0x104cac51 "), 1u);

    bus_->FailMinor(Pdo(cb_), IRP_MN_QUERY_STOP_DEVICE, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Send(f, IRP_MN_QUERY_STOP_DEVICE).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(CountContaining(TraceLines(), ") (FAILED)"), 1u);
    bus_->PendMinor(Pdo(cb_), IRP_MN_CANCEL_STOP_DEVICE);
    EXPECT_EQ(Send(f, IRP_MN_CANCEL_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(std::count(got.begin(), got.end(), UCHAR(IRP_MN_CANCEL_STOP_DEVICE)), 1);
}

// Bus relations filter every child once (other relation types and the wait before a query:
// tests/system).
TEST_F(DispatchTest, BusRelationsPutAFilterOnEveryChildOnce)
{
    PDEVICE_OBJECT f = FilterController();
    for (int round = 0; round < 2; round++)
        ASSERT_EQ(Relations(f, BusRelations), STATUS_SUCCESS);
    EXPECT_NE(F(p2p_), nullptr);
    EXPECT_EQ(FilterCount(), 2u) << "the second report creates no second filter";
    EXPECT_EQ(CountContaining(TraceLines(), "WARNING AlreadySeenThisOne"), 1u);
}

// A device (not a bridge) keeps one copy of its requirements until the resource query or removal
// (the filter request itself: tests/driver/resources).
TEST_F(DispatchTest, RequirementsAreCopiedUntilTheResourceQueryOrRemoval)
{
    PDEVICE_OBJECT f = FilterController();
    FreeInformation(Send(f, IRP_MN_QUERY_RESOURCE_REQUIREMENTS));
    EXPECT_EQ(Ext(f)->DupRequirements, nullptr);
    PDEVICE_OBJECT nic = FilterChild(nic_), vga = FilterChild(vga_);
    for (PDEVICE_OBJECT child : {nic, nic, vga})
        FreeInformation(Send(child, IRP_MN_QUERY_RESOURCE_REQUIREMENTS));
    ASSERT_NE(Ext(nic)->DupRequirements, nullptr); // a copy not freed fails the pool check at the end

    FreeInformation(Send(nic, IRP_MN_QUERY_RESOURCES));
    EXPECT_EQ(Ext(nic)->DupRequirements, nullptr);
    Send(vga, IRP_MN_REMOVE_DEVICE);
    EXPECT_TRUE(standin::DeviceIsDeleted(vga));
}

} // namespace
