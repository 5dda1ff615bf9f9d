// Filter devices: AddDevice on the adapter's controller, AddChildDevice on
// the functions behind it, the iam word, the ignore rules, classification.
#include <gtest/gtest.h>

#include <algorithm>

#include "pnp_harness.h"

using testsupport::CountContaining;
using testsupport::TraceLines;

namespace {

const char kParams[] = "tolmu\\Parameters";
const char kPublish[] = "dromel\\Configured";

class FilterDeviceTest : public pnptest::FilterTest {
  protected:
    void SetUp() override
    {
        FilterTest::SetUp();
        // A TI1420 CardBus controller at 00:03.0 (two sockets) and an O2Micro
        // controller at 00:05.0; a chassis bridge behind the TI socket.
        cb_ = machine_.AddFunction(machine_.Root(), 3, 0, sim::models::TI1420());
        cb1_ = machine_.AddFunction(machine_.Root(), 3, 1, sim::models::TI1420());
        o2_ = machine_.AddFunction(machine_.Root(), 5, 0, sim::models::O2MicroOZ711());
        machine_.SetBusNumbers(cb_, 0, 2, 5);
        p2p_ = machine_.AddFunction(machine_.SecondarySegment(cb_), 0, 0, sim::models::DEC21154());
        machine_.SetBusNumbers(p2p_, 2, 3, 3);
        nic_ = machine_.AddFunction(machine_.SecondarySegment(p2p_), 1, 0, sim::models::RTL8139());
        vga_ = machine_.AddFunction(machine_.SecondarySegment(p2p_), 2, 0, sim::models::GeForce2MX());
    }

    PDEVICE_OBJECT Pdo(sim::PciFunction *f) { return bus_->PdoFor(f); }

    sim::PciFunction *cb_, *cb1_, *o2_, *p2p_, *nic_, *vga_;
};

TEST_F(FilterDeviceTest, AddDeviceFiltersTheControllerAsRootCardBus)
{
    Load();
    PDEVICE_OBJECT pdo = Pdo(cb_);
    EXPECT_EQ(AddDevice(driver_, pdo), STATUS_SUCCESS);
    PDEVICE_OBJECT f = FilterOn(pdo);
    ASSERT_NE(f, nullptr);
    PDEVICE_EXTENSION e = Ext(f);
    EXPECT_EQ(e->DeviceObject, f);
    EXPECT_EQ(e->LowerDevice, pdo);
    EXPECT_EQ(e->BridgeType, 2u);
    EXPECT_EQ(e->Flags, ULONG(ROOT | CB_BRIDGE));
    EXPECT_EQ(e->VenId, 0x104C);
    EXPECT_EQ(e->DevId, 0xAC51);
    EXPECT_EQ(e->Bus, 0u);
    EXPECT_EQ(e->Device, 3u);
    EXPECT_EQ(e->Function, 0u);
    EXPECT_EQ(e->PriBus, UNKNOWN_NUMBER);
    EXPECT_EQ(e->SecBus, UNKNOWN_NUMBER);
    EXPECT_EQ(e->SubBus, UNKNOWN_NUMBER);
    EXPECT_EQ(e->Irq, UNKNOWN_NUMBER);
    EXPECT_EQ(e->ExCa, UNKNOWN_NUMBER);
    EXPECT_EQ(e->Marker, EXTENSION_MARKER);
    EXPECT_EQ(f->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(f->Flags & DO_POWER_PAGABLE, ULONG(DO_POWER_PAGABLE)) << "taken over from the PDO";

    auto lines = TraceLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+"), 1);
    EXPECT_EQ(CountContaining(lines, ">>>>> AddDevice(0x"), 1u);
    EXPECT_EQ(CountContaining(lines, "vid 0x104C-AC51)"), 1u);
    EXPECT_EQ(CountContaining(lines, "====  PCI Space"), 1u);
    EXPECT_EQ(CountContaining(lines, "AddDevice created filter FDO (0x"), 1u);
    EXPECT_EQ(CountContaining(lines, "        attaching to stack PDO (0x"), 1u);
    EXPECT_EQ(CountContaining(lines, "||| CommonAdd: icb = 0x00000000 tmp = 0x0003"), 1u);
    EXPECT_EQ(CountContaining(lines, "LocateMe: vid 0x104C-AC51 @ 0:3:0"), 1u);
    EXPECT_EQ(CountContaining(lines, "Device Flags: 0x"), 1u);
    EXPECT_EQ(lines.back(), "DONE  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+");
}

TEST_F(FilterDeviceTest, PciBridgeAdapterKeepsItsOwnWindowKeys)
{
    // An expansion adapter that is a PCI-to-PCI bridge in the host: its
    // windows carry the PCI-to-PCI keys, so it must not be taken for CardBus.
    auto *bridge = machine_.AddFunction(machine_.Root(), 8, 0, sim::models::DEC21154());
    Load();
    ASSERT_EQ(AddDevice(driver_, Pdo(bridge)), STATUS_SUCCESS);
    PDEVICE_EXTENSION e = Ext(FilterOn(Pdo(bridge)));
    EXPECT_EQ(e->BridgeType, 1u);
    EXPECT_EQ(e->Flags, ULONG(ROOT | P2P_BRIDGE));
}

TEST_F(FilterDeviceTest, AFunctionDriverBelowIsWhereTheFilterAttaches)
{
    Load();
    PDEVICE_OBJECT pdo = Pdo(cb_);
    pnptest::PassDownDriver fdoDriver("\\Driver\\pcmcia");
    PDEVICE_OBJECT fdo = fdoDriver.AttachTo(pdo);
    ASSERT_EQ(AddDevice(driver_, pdo), STATUS_SUCCESS);
    PDEVICE_OBJECT f = FilterOn(pdo);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(Ext(f)->LowerDevice, fdo);
    EXPECT_EQ(Ext(f)->Pdo, pdo);
    pnptest::SendPnp(f, IRP_MN_REMOVE_DEVICE);
    fdoDriver.Remove(fdo);
}

TEST_F(FilterDeviceTest, IamRecordsTwoControllersAndNoMore)
{
    standin::SetDebugEcho(false);
    Load();
    AddDevice(driver_, Pdo(cb_));
    EXPECT_EQ(GetIam(), 0x0003u);
    AddDevice(driver_, Pdo(cb_)); // the same controller again
    EXPECT_EQ(GetIam(), 0x0003u);
    AddDevice(driver_, Pdo(o2_));
    EXPECT_EQ(GetIam(), 0x00050003u);
    EXPECT_EQ(standin::RegGetDword(kPublish, "iam"), std::optional<ULONG>(0x00050003));
    AddDevice(driver_, Pdo(nic_)); // a third code: both places taken
    EXPECT_EQ(GetIam(), 0x00050003u);
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "||| registerMe: before iam = 0x00000003 tmp = 0x0005"), 1u);
    EXPECT_EQ(CountContaining(lines, "||| registerMe: after  iam = 0x00050003 tmp = 0x0005"), 1u);
}

TEST_F(FilterDeviceTest, SameControllerTwiceGetsOneFilter)
{
    Load();
    AddDevice(driver_, Pdo(cb_));
    EXPECT_EQ(AddDevice(driver_, Pdo(cb_)), STATUS_SUCCESS);
    EXPECT_EQ(FilterCount(), 1u);
    EXPECT_EQ(CountContaining(TraceLines(), "WARNING AlreadySeenThisOne: PDO 0x"), 1u);
}

TEST_F(FilterDeviceTest, IgnoreCbSkipsBothCodesButIamStillRecordsThem)
{
    standin::RegSetDword(kParams, "ignoreCb", 0x00050003);
    ReadConfiguration();
    Load();
    EXPECT_EQ(AddDevice(driver_, Pdo(cb_)), STATUS_SUCCESS);
    EXPECT_EQ(AddDevice(driver_, Pdo(o2_)), STATUS_SUCCESS);
    EXPECT_EQ(FilterCount(), 0u);
    EXPECT_EQ(GetIam(), 0x00050003u);
    EXPECT_EQ(CountContaining(TraceLines(), "||| NOTE AddDevice: ignoring this controller"), 2u);
}

TEST_F(FilterDeviceTest, IgnoreIdsSkipTheDeviceSilently)
{
    standin::RegSetDword(kParams, "ignoreVenId", 0x1217);
    standin::RegSetDword(kParams, "ignoreDevId", 0x7134);
    Load();
    EXPECT_EQ(AddDevice(driver_, Pdo(o2_)), STATUS_SUCCESS);
    EXPECT_EQ(FilterCount(), 0u);
    EXPECT_EQ(CountContaining(TraceLines(), ">>>>> AddDevice"), 0u);
    AddDevice(driver_, Pdo(cb_));
    EXPECT_EQ(FilterCount(), 1u);
}

TEST_F(FilterDeviceTest, DefaultIdFiltersSkipOnlyADeviceZeroZero)
{
    Load();
    auto *odd = machine_.AddFunction(machine_.Root(), 9, 0, sim::models::Generic(0x0000, 0x0000, 0x020000));
    EXPECT_EQ(AddDevice(driver_, Pdo(odd)), STATUS_SUCCESS);
    EXPECT_EQ(FilterCount(), 0u);
    // Either id alone matching is not enough.
    auto *vendorZero = machine_.AddFunction(machine_.Root(), 10, 0, sim::models::Generic(0x0000, 0x1234, 0x020000));
    auto *deviceZero = machine_.AddFunction(machine_.Root(), 11, 0, sim::models::Generic(0x1234, 0x0000, 0x020000));
    EXPECT_EQ(AddDevice(driver_, Pdo(vendorZero)), STATUS_SUCCESS);
    EXPECT_EQ(AddDevice(driver_, Pdo(deviceZero)), STATUS_SUCCESS);
    EXPECT_EQ(FilterCount(), 2u);
}

// An all-ones vendor id alone (a device id that answers) is refused too.
TEST_F(FilterDeviceTest, AllOnesVendorIdIsRefused)
{
    Load();
    auto *odd = machine_.AddFunction(machine_.Root(), 9, 0, sim::models::Generic(0xFFFF, 0x1234, 0x020000));
    EXPECT_EQ(AddDevice(driver_, Pdo(odd)), STATUS_SUCCESS);
    EXPECT_EQ(FilterCount(), 0u);
    EXPECT_EQ(CountContaining(TraceLines(), "ERROR AddDevice: illegal Vendor & Device ID"), 1u);
}

TEST_F(FilterDeviceTest, IllegalIdsAreRefused)
{
    Load();
    PDEVICE_OBJECT pdo = Pdo(cb_);
    bus_->SetConfigMode(pdo, sim::ConfigMode::Fail);
    EXPECT_EQ(AddDevice(driver_, pdo), STATUS_SUCCESS);
    EXPECT_EQ(FilterCount(), 0u);
    EXPECT_EQ(CountContaining(TraceLines(), "ERROR AddDevice: illegal Vendor & Device ID"), 1u);
}

TEST_F(FilterDeviceTest, CreateAndAttachFailuresRemoveTheDevice)
{
    Load();
    PDEVICE_OBJECT cbPdo = Pdo(cb_), nicPdo = Pdo(nic_);
    standin::SetCreateDeviceStatus(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(AddDevice(driver_, cbPdo), STATUS_DEVICE_REMOVED);
    standin::SetCreateDeviceStatus(STATUS_SUCCESS);
    EXPECT_EQ(CountContaining(TraceLines(), "ERROR AddDevice: creating device (status = 0xC000009A)"), 1u);

    standin::SetAttachFails(true);
    EXPECT_EQ(AddChildDevice(driver_, nicPdo, 1), STATUS_DEVICE_REMOVED);
    standin::SetAttachFails(false);
    EXPECT_EQ(CountContaining(TraceLines(), "ERROR AddChildDevice: attaching device to stack"), 1u);
    EXPECT_EQ(FilterCount(), 0u);
}

TEST_F(FilterDeviceTest, SingleSocketControllerDetachesFunctionOne)
{
    standin::RegSetDword(kParams, "nSockets", 1);
    ReadConfiguration();
    Load();
    PDEVICE_OBJECT pdo1 = Pdo(cb1_);
    EXPECT_EQ(AddDevice(driver_, pdo1), STATUS_SUCCESS);
    PDEVICE_OBJECT f = FilterOn(pdo1);
    ASSERT_NE(f, nullptr) << "the device object stays in the driver's list";
    EXPECT_EQ(standin::AttachedTo(f), nullptr);
    EXPECT_EQ(Ext(f)->Marker, EXTENSION_MARKER);
    EXPECT_EQ(CountContaining(TraceLines(), "WARNING: detaching device from stack..."), 1u);
}

TEST_F(FilterDeviceTest, ChildrenAreClassifiedByClassCode)
{
    Load();
    AddDevice(driver_, Pdo(cb_));
    EXPECT_EQ(AddChildDevice(driver_, Pdo(p2p_), 1), STATUS_SUCCESS);
    EXPECT_EQ(Ext(FilterOn(Pdo(p2p_)))->Flags, ULONG(P2P_BRIDGE)) << "an only child gets neither mark";
    EXPECT_EQ(Ext(FilterOn(Pdo(p2p_)))->BridgeType, 1u);

    AddChildDevice(driver_, Pdo(nic_), 2);
    AddChildDevice(driver_, Pdo(vga_), 2);
    EXPECT_EQ(Ext(FilterOn(Pdo(nic_)))->Flags, 0u);
    EXPECT_EQ(Ext(FilterOn(Pdo(nic_)))->BridgeType, 0u);
    EXPECT_EQ(Ext(FilterOn(Pdo(vga_)))->Flags, ULONG(VGA));
    EXPECT_EQ(Ext(FilterOn(Pdo(nic_)))->Bus, UNKNOWN_NUMBER) << "children are located later";
}

TEST_F(FilterDeviceTest, BridgeWithSiblingsIsMarkedForEnumeration)
{
    Load();
    auto *second = machine_.AddFunction(machine_.SecondarySegment(cb_), 1, 0, sim::models::TIPCI2250());
    AddChildDevice(driver_, Pdo(p2p_), 2);
    AddChildDevice(driver_, Pdo(second), 2);
    EXPECT_EQ(Ext(FilterOn(Pdo(p2p_)))->Flags, ULONG(P2P_BRIDGE | ENUMERATE | NOIO));
    EXPECT_EQ(CountContaining(TraceLines(), "NOTE AddChildDevice: NOIO and ENUMERATE flags set"), 2u);
}

TEST_F(FilterDeviceTest, CardBusChildIsEnumeratedWithoutIo)
{
    Load();
    auto *cbChild = machine_.AddFunction(machine_.SecondarySegment(p2p_), 4, 0, sim::models::TI1420());
    AddChildDevice(driver_, Pdo(cbChild), 1);
    PDEVICE_EXTENSION e = Ext(FilterOn(Pdo(cbChild)));
    EXPECT_EQ(e->Flags, ULONG(CB_BRIDGE | ENUMERATE | NOIO));
    EXPECT_EQ(e->BridgeType, 2u);
}

TEST_F(FilterDeviceTest, DisplayWithAnotherProgrammingInterfaceIsNotVga)
{
    Load();
    auto *xga = machine_.AddFunction(machine_.SecondarySegment(p2p_), 6, 0,
                                     sim::models::Generic(0x10DE, 0x0111, 0x030001));
    AddChildDevice(driver_, Pdo(xga), 1);
    EXPECT_EQ(Ext(FilterOn(Pdo(xga)))->Flags, 0u);
}

TEST_F(FilterDeviceTest, UnloadAfterRemovalLeavesNoDevicesAndNoPool)
{
    Load();
    AddDevice(driver_, Pdo(cb_));
    AddChildDevice(driver_, Pdo(p2p_), 1);
    AddChildDevice(driver_, Pdo(nic_), 2);
    std::vector<PDEVICE_OBJECT> filters;
    for (PDEVICE_OBJECT d = driver_->DeviceObject; d; d = d->NextDevice)
        filters.push_back(d);
    ASSERT_EQ(filters.size(), 3u);
    RemoveAllAndUnload();
    for (PDEVICE_OBJECT d : filters)
        EXPECT_TRUE(standin::DeviceIsDeleted(d));
    EXPECT_EQ(standin::PoolReport(), "");
}

} // namespace

namespace {

// A child whose stack already holds another driver's device above the bus
// driver's PDO (its function driver, started earlier) gets no filter: one
// attached now would sit above that driver instead of below it. A child
// filtered by this driver already is reported as before.
TEST_F(FilterDeviceTest, ChildWithADriverAboveItAlreadyIsLeftAlone)
{
    Load();
    ASSERT_EQ(AddDevice(driver_, Pdo(cb_)), STATUS_SUCCESS);
    pnptest::PassDownDriver nicDriver("\\Driver\\rtl8139");
    PDEVICE_OBJECT fdo = nicDriver.AttachTo(Pdo(nic_));
    EXPECT_EQ(AddChildDevice(driver_, Pdo(nic_), 2), STATUS_SUCCESS);
    EXPECT_EQ(FilterOn(Pdo(nic_)), nullptr);
    EXPECT_EQ(Pdo(nic_)->AttachedDevice, fdo);
    EXPECT_EQ(CountContaining(TraceLines(), "already has a device above it, left alone"), 1u);

    ASSERT_EQ(AddChildDevice(driver_, Pdo(p2p_), 2), STATUS_SUCCESS);
    ASSERT_NE(FilterOn(Pdo(p2p_)), nullptr);
    EXPECT_EQ(AddChildDevice(driver_, Pdo(p2p_), 2), STATUS_SUCCESS);
    EXPECT_EQ(CountContaining(TraceLines(), "WARNING AlreadySeenThisOne"), 1u);
    nicDriver.Remove(fdo);
}

} // namespace
