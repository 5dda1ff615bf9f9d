// Load and unload (published values, OS banner, quiet marks, pass-through); AddDevice,
// AddChildDevice, the iam word, the ignore rules, classification.
#include <gtest/gtest.h>

#include "pnp_harness.h"
#include "diag/irp_trace.h"

using testsupport::CountContaining;
using testsupport::TraceLines;

namespace {

const char kPublish[] = "dromel\\Configured";

class FilterDeviceTest : public pnptest::ChassisTest {
  protected:
    void SetUp() override
    {
        ChassisTest::SetUp();
        cb1_ = machine_.AddFunction(machine_.Root(), 3, 1, sim::models::TI1420());
        o2_ = Add(nullptr, 5, sim::models::O2MicroOZ711());
    }
    sim::PciFunction *Add(sim::PciFunction *parent, int device, const sim::DeviceModel &m)
    {
        return machine_.AddFunction(parent ? machine_.SecondarySegment(parent) : machine_.Root(), device, 0, m);
    }
    sim::PciFunction *cb1_, *o2_;
};

// A CardBus controller or a PCI-to-PCI bridge (at 00:00.0, which no ignoreCb of 0 means) as root,
// located at once, on top of the stack.
TEST_F(FilterDeviceTest, AddDeviceFiltersTheAdapterAsItsKindOfRoot)
{
    auto *bridge = Add(nullptr, 0, sim::models::DEC21154());
    Load();
    sim::FunctionDriver fdoDriver("\\Driver\\pcmcia", true);
    PDEVICE_OBJECT fdo = pnptest::AddFunctionDevice(fdoDriver, Pdo(cb_));
    ASSERT_EQ(AddDevice(driver_, Pdo(cb_)), STATUS_SUCCESS);
    ASSERT_EQ(AddDevice(driver_, Pdo(bridge)), STATUS_SUCCESS);
    PDEVICE_EXTENSION e = Ext(F(cb_)), b = Ext(F(bridge));
    EXPECT_EQ(e->LowerDevice, fdo);
    EXPECT_EQ(e->Pdo, Pdo(cb_));
    EXPECT_EQ((std::vector<ULONG>{e->Flags, e->BridgeType, b->Flags, b->BridgeType}),
              (std::vector<ULONG>{ROOT | CB_BRIDGE, 2, ROOT | P2P_BRIDGE, 1}));
    EXPECT_EQ((std::vector<ULONG>{e->VenId, e->DevId, e->Bus, e->Device, e->Function, e->Marker}),
              (std::vector<ULONG>{0x104C, 0xAC51, 0, 3, 0, EXTENSION_MARKER}));
    EXPECT_EQ((std::vector<ULONG>{e->PriBus, e->SecBus, e->SubBus, e->Irq, e->ExCa}),
              std::vector<ULONG>(5, UNKNOWN_NUMBER));
    EXPECT_EQ(F(bridge)->Flags & (DO_DEVICE_INITIALIZING | DO_POWER_PAGABLE), ULONG(DO_POWER_PAGABLE)) << "as its PDO";
    EXPECT_EQ(CountContaining(TraceLines(), "+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+"), 2u) << "one per call";
    pnptest::Send(F(cb_), IRP_MN_REMOVE_DEVICE);
}

// Children by class code and by how many siblings they have.
TEST_F(FilterDeviceTest, ChildrenAreClassifiedByClassCodeAndSiblings)
{
    auto *xga = Add(p2p_, 6, sim::models::Generic(0x10DE, 0x0111, 0x030001));
    auto *inner = Add(p2p_, 4, sim::models::TI1420());
    auto *second = Add(cb_, 1, sim::models::TIPCI2250());
    Load();
    AddDevice(driver_, Pdo(cb_));
    const struct {
        sim::PciFunction *fn;
        ULONG count, flags, type;
    } rows[] = {{p2p_, 1, P2P_BRIDGE, 1},  {nic_, 2, 0, 0},
                {vga_, 2, VGA, 0},         {xga, 1, 0, 0},
                {inner, 1, CB_BRIDGE | ENUMERATE | NOIO, 2}, {second, 2, P2P_BRIDGE | ENUMERATE | NOIO, 1}};
    for (const auto &r : rows) {
        EXPECT_EQ(AddChildDevice(driver_, Pdo(r.fn), r.count), STATUS_SUCCESS);
        EXPECT_EQ(Ext(F(r.fn))->Flags, r.flags) << r.fn->Describe();
        EXPECT_EQ(Ext(F(r.fn))->BridgeType, r.type) << r.fn->Describe();
    }
    EXPECT_EQ(Ext(F(nic_))->Bus, UNKNOWN_NUMBER) << "children are located later";
}

// iam records two controllers and no more; on a single-socket controller function 1 is detached.
TEST_F(FilterDeviceTest, IamRecordsTwoControllersAndNoMore)
{
    Configure({{"nSockets", 1}});
    Load();
    AddDevice(driver_, Pdo(cb_));
    AddDevice(driver_, Pdo(cb_)); // the same controller again: no second filter
    EXPECT_EQ(FilterCount(), 1u);
    EXPECT_EQ(GetIam(), 0x0003u);
    AddDevice(driver_, Pdo(o2_));
    EXPECT_EQ(GetIam(), 0x00050003u);
    EXPECT_EQ(standin::RegGetDword(kPublish, "iam"), std::optional<ULONG>(0x00050003));
    AddDevice(driver_, Pdo(nic_)); // a third code: both places taken
    EXPECT_EQ(GetIam(), 0x00050003u);
    EXPECT_EQ(AddDevice(driver_, Pdo(cb1_)), STATUS_SUCCESS);
    ASSERT_NE(F(cb1_), nullptr) << "the device object stays in the driver's list";
    EXPECT_EQ(standin::AttachedTo(F(cb1_)), nullptr);
}

// No filter: ignored controllers (still recorded), ids 0000:0000 (not one alone), vendor ffff,
// an unreadable identity.
TEST_F(FilterDeviceTest, IgnoredAndIllegalDevicesGetNoFilter)
{
    Configure({{"ignoreCb", 0x00050003}});
    auto *zero = Add(nullptr, 9, sim::models::Generic(0x0000, 0x0000, 0x020000));
    auto *vendorZero = Add(nullptr, 10, sim::models::Generic(0x0000, 0x1234, 0x020000));
    auto *deviceZero = Add(nullptr, 11, sim::models::Generic(0x1234, 0x0000, 0x020000));
    auto *allOnes = Add(nullptr, 12, sim::models::Generic(0xFFFF, 0x1234, 0x020000));
    Load();
    bus_->SetConfigMode(Pdo(p2p_), sim::ConfigMode::Fail);
    for (auto *fn : {cb_, o2_, zero, allOnes, p2p_})
        EXPECT_EQ(AddDevice(driver_, Pdo(fn)), STATUS_SUCCESS);
    EXPECT_EQ(FilterCount(), 0u);
    EXPECT_EQ(GetIam(), 0x00050003u);
    AddDevice(driver_, Pdo(vendorZero));
    AddDevice(driver_, Pdo(deviceZero));
    EXPECT_EQ(FilterCount(), 2u);
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "||| CommonAdd: icb = 0x00050003 tmp = 0x0003"), 1u);
    EXPECT_EQ(CountContaining(lines, "||| NOTE AddDevice: ignoring this controller"), 2u);
    EXPECT_EQ(CountContaining(lines, "ERROR AddDevice: illegal Vendor & Device ID"), 2u);
}

// A failed create or attach removes the device; a child whose stack already holds another
// driver above the PDO gets no filter.
TEST_F(FilterDeviceTest, FailedCreateOrAttachOrADriverAboveLeaveNoFilter)
{
    Load();
    Pdo(cb_), Pdo(vga_); // the bus driver's devices exist already
    standin::SetCreateDeviceStatus(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(AddDevice(driver_, Pdo(cb_)), STATUS_DEVICE_REMOVED);
    standin::SetCreateDeviceStatus(STATUS_SUCCESS);
    standin::SetAttachFails(true);
    EXPECT_EQ(AddChildDevice(driver_, Pdo(vga_), 1), STATUS_DEVICE_REMOVED);
    standin::SetAttachFails(false);
    EXPECT_EQ(FilterCount(), 0u);
    EXPECT_EQ(CountContaining(TraceLines(), "ERROR AddDevice: creating device (status = 0xC000009A)"), 1u);

    sim::FunctionDriver nicDriver("\\Driver\\rtl8139", false);
    PDEVICE_OBJECT fdo = pnptest::AddFunctionDevice(nicDriver, Pdo(nic_));
    EXPECT_EQ(AddChildDevice(driver_, Pdo(nic_), 2), STATUS_SUCCESS);
    EXPECT_EQ(F(nic_), nullptr);
    EXPECT_EQ(Pdo(nic_)->AttachedDevice, fdo);
}

class LoadTest : public pnptest::FilterTest {};

// Load publishes the trace and clears iam, unload takes them back; loads without trace memory
// or registry work.
TEST_F(LoadTest, LoadPublishesAndUnloadTakesBack)
{
    standin::RegSetDword(kPublish, "iam", 0x0405); // left from an earlier load
    standin::SetVersion(5, 1, 2600, u"Service Pack 2", false);
    Load();
    ASSERT_NE(TraceGetStart(), nullptr);
    EXPECT_EQ(standin::RegGetDword(kPublish, "trace"), std::optional<ULONG>(PTR32(TraceGetStart())));
    EXPECT_EQ(standin::RegGetDword(kPublish, "iam"), std::optional<ULONG>(0));
    EXPECT_EQ(TraceLines().at(1), "OS Version 5.1 Build 2600 (free) SP: Service Pack 2");
    EXPECT_FALSE(IsCheckedBuild());
    EXPECT_TRUE(standin::PortLog().empty()) << "no hardware is touched at load";
    PrintOsVersion();
    EXPECT_EQ(standin::VersionQueries(), 1u) << "asked for once";

    RemoveAllAndUnload();
    EXPECT_EQ(standin::RegGetDword(kPublish, "trace"), std::optional<ULONG>(0));
    EXPECT_EQ(standin::OutstandingCount(TOLMU_POOL_TAG), 0u);

    // No trace memory: no trace published; no registry: defaults; checked, no SP: short banner.
    standin::ResetDriverModuleState();
    standin::RegSetDword(kPublish, "trace", 1);
    standin::FailNthAllocation(1);
    Load();
    EXPECT_EQ(TraceGetStart(), nullptr);
    EXPECT_EQ(standin::RegGetDword(kPublish, "trace"), std::optional<ULONG>(0));
    RemoveAllAndUnload();

    standin::ResetDriverModuleState();
    standin::RegFailQuery(STATUS_INSUFFICIENT_RESOURCES);
    standin::SetVersion(5, 1, 2600, u"", true);
    Load();
    EXPECT_EQ(driver_->MajorFunction[IRP_MJ_PNP], PnpDispatch);
    ASSERT_NE(TraceGetStart(), nullptr);
    EXPECT_EQ(TraceLines().at(1), "OS Version 5.1 Build 2600 (checked)");
    EXPECT_EQ(TraceLines().at(2), "RtlQueryRegistryValues failed");
    EXPECT_TRUE(IsCheckedBuild());
}

// Chatty minor codes are quiet below the verbosity they are loud from.
TEST_F(LoadTest, ChattyMinorCodesAreQuietBelowTheirVerbosity)
{
    const struct {
        UCHAR minor;
        LONG loudFrom;
    } codes[] = {{0x0F, 11}, {0x10, 10}, {0x13, 10}, {0x0C, 10}, {0x16, 10}, {0x08, 1},
                 {0x0A, 1},  {0x0B, 1},  {0x18, 1},  {0x15, 1},  {0x00, 0},  {0x07, 0}};
    for (ULONG verbose : {0u, 1u, 9u, 10u, 11u}) {
        standin::ResetDriverModuleState();
        Configure({{"Verbose", verbose}});
        Load();
        for (const auto &c : codes) {
            IRP irp{};
            IO_STACK_LOCATION loc[2]{};
            loc[1].MajorFunction = IRP_MJ_PNP;
            loc[1].MinorFunction = c.minor;
            irp.StackCount = irp.CurrentLocation = 2;
            irp.Tail.Overlay.CurrentStackLocation = &loc[1];
            PCPNP_MINOR_NAME row = LookupPnpMinor(&irp, "test");
            ASSERT_NE(row, nullptr);
            EXPECT_EQ(row->Quiet, LONG(verbose) < c.loudFrom ? 15u : 0u)
                << "Verbose " << verbose << " minor 0x" << std::hex << int(c.minor);
        }
        RemoveAllAndUnload();
    }
}

// A lower driver that keeps the stack location it receives.
IO_STACK_LOCATION seen;
NTSTATUS NTAPI Keep(PDEVICE_OBJECT, PIRP irp)
{
    seen = *IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// Other requests go down with the same stack location and no completion routine (the entry
// points of PnP and power are in every other test's path).
TEST_F(FilterDeviceTest, PassThroughHandsTheSameStackLocationDown)
{
    FilterChassis();
    bus_->Driver()->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Keep;
    IO_STACK_LOCATION sent{};
    pnptest::Send(F(nic_), 0x5A, [&](PIO_STACK_LOCATION s, PIRP) { s->Parameters.Others.Argument1 = &sent, sent = *s; },
                  IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ((std::vector<ULONG>{seen.MajorFunction, seen.MinorFunction}), (std::vector<ULONG>{IRP_MJ_DEVICE_CONTROL, 0x5A}));
    EXPECT_EQ(memcmp(&seen.Parameters, &sent.Parameters, sizeof(sent.Parameters)), 0);
    EXPECT_EQ(seen.DeviceObject, Pdo(nic_));
    EXPECT_EQ(seen.Control & (SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL), 0);
}

} // namespace
