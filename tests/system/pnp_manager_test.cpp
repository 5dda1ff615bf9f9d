// The simulated PnP manager with a small pass-through filter standing where
// Tolmu stands: the stacks it builds, the order of the requests each device
// node gets, arbitration into the parent's windows, problem codes, and the
// scenarios (sleep, rebalance, surprise removal, unload).
#include "os_fixture.h"

#include <algorithm>

#include "pci_devices.h"

namespace {

using ostest::OsTest;
namespace models = sim::models;

class PnpManagerTest : public OsTest {
  protected:
    void BootChassis(PDRIVER_INITIALIZE filter, sim::PnpOptions options = sim::PnpOptions())
    {
        chassis_ = ostest::BuildChassis(*machine_, models::TI1420());
        Manager(filter, options).AddController(chassis_.controller);
        pnp_->Boot();
    }

    // PnP requests sent to one location, as (minor, detail) pairs.
    std::vector<std::pair<int, ULONG>> RequestsTo(const std::string &location) const
    {
        std::vector<std::pair<int, ULONG>> out;
        for (const auto &r : pnp_->Requests())
            if (r.location == location && r.major == IRP_MJ_PNP)
                out.emplace_back(r.minor, r.detail);
        return out;
    }

    // Index in the request log of the first request matching.
    long IndexOf(const std::string &location, UCHAR minor, ULONG detail = 0, UCHAR major = IRP_MJ_PNP) const
    {
        const auto &all = pnp_->Requests();
        for (size_t i = 0; i < all.size(); i++)
            if (all[i].location == location && all[i].major == major && all[i].minor == minor &&
                all[i].detail == detail)
                return long(i);
        return -1;
    }

    // Each index is found and comes before the next.
    static void ExpectInOrder(const std::vector<long> &indexes, const char *what)
    {
        for (size_t i = 0; i < indexes.size(); i++) {
            EXPECT_GE(indexes[i], 0) << what << ": request " << i << " was not sent";
            if (i > 0)
                EXPECT_LT(indexes[i - 1], indexes[i]) << what << ": request " << i - 1 << " before " << i;
        }
    }

    ostest::Chassis chassis_;
};

TEST_F(PnpManagerTest, StacksAreFunctionDriverAboveTheFilterOrBelowItAndRequestsEnterAtTheTop)
{
    BootChassis(ostest::TestFilterEntry);
    sim::DeviceNode *node = pnp_->Find(chassis_.controller);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->pdo->AttachedDevice, node->fdo) << "the function driver sits right on the PDO";
    EXPECT_EQ(node->fdo->DriverObject, pnp_->ControllerDriver().Driver());
    ASSERT_NE(node->fdo->AttachedDevice, nullptr);
    EXPECT_EQ(node->fdo->AttachedDevice->DriverObject, pnp_->FilterDriver()) << "the upper filter on top";
    EXPECT_EQ(node->fdo->AttachedDevice->AttachedDevice, nullptr);
    EXPECT_EQ(ostest::TestFilter().registryPath, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tolmu");
    const UNICODE_STRING &name = pnp_->FilterDriver()->DriverName;
    EXPECT_EQ(std::string(name.Buffer, name.Buffer + name.Length / 2), "\\Driver\\tolmu");
    for (sim::PciFunction *f : {chassis_.bridgeA, chassis_.nic1}) {
        sim::DeviceNode *child = pnp_->Find(f);
        ASSERT_NE(child, nullptr) << f->Describe();
        PDEVICE_OBJECT above = child->pdo->AttachedDevice;
        ASSERT_NE(above, nullptr);
        EXPECT_EQ(above->DriverObject, pnp_->FilterDriver())
            << f->Describe() << ": the filter attached itself while the relations went through it";
        EXPECT_EQ(above->AttachedDevice, child->fdo);
        EXPECT_EQ(child->fdo->DriverObject, pnp_->ChildDriver().Driver());
    }
    // Any request enters at the top of the stack.
    sim::DeviceNode *nic = pnp_->Find(chassis_.nic1);
    auto r = pnp_->SendPnp(nic->pdo, IRP_MN_QUERY_DEVICE_TEXT, [](PIO_STACK_LOCATION sp) {
        sp->Parameters.QueryDeviceText.DeviceTextType = DeviceTextDescription;
    });
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    ExFreePool(reinterpret_cast<PVOID>(r.information));
    EXPECT_EQ(pnp_->ChildDriver().Received().back(), IRP_MN_QUERY_DEVICE_TEXT) << "it entered at the top";
    EXPECT_EQ(sim::PnpManager::TopOf(nic->pdo), nic->fdo);
    EXPECT_EQ(pnp_->SendPower(nic->pdo, IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemHibernate).status,
              STATUS_SUCCESS);
}

TEST_F(PnpManagerTest, WithoutAFilterChildStacksAreJustTheFunctionDriver)
{
    BootChassis(nullptr);
    sim::DeviceNode *nic = pnp_->Find(chassis_.nic1);
    ASSERT_NE(nic, nullptr);
    EXPECT_EQ(nic->pdo->AttachedDevice, nic->fdo);
    EXPECT_EQ(pnp_->FilterDriver(), nullptr);
    std::string tree = pnp_->Describe();
    for (sim::PciFunction *f : chassis_.behind)
        EXPECT_NE(tree.find(f->Describe()), std::string::npos) << f->Describe() << "\n" << tree;
    EXPECT_NE(tree.find("00:03.0 104c:ac51 TI PCI1420 CardBus controller [00/01/02] started"), std::string::npos)
        << tree;
    EXPECT_NE(tree.find("--:00.0 10ec:8139"), std::string::npos) << "the NIC behind B has no bus number\n" << tree;
}

TEST_F(PnpManagerTest, NewNodeGetsXpsRequestsInOrderAndRecordsTheAnswers)
{
    BootChassis(ostest::TestFilterEntry);
    std::vector<std::pair<int, ULONG>> expected = {
        {IRP_MN_QUERY_CAPABILITIES, 0},
        {IRP_MN_QUERY_ID, BusQueryDeviceID},
        {IRP_MN_QUERY_ID, BusQueryHardwareIDs},
        {IRP_MN_QUERY_ID, BusQueryCompatibleIDs},
        {IRP_MN_QUERY_ID, BusQueryInstanceID},
        {IRP_MN_QUERY_DEVICE_TEXT, DeviceTextDescription},
        {IRP_MN_QUERY_DEVICE_TEXT, DeviceTextLocationInformation},
        {IRP_MN_QUERY_BUS_INFORMATION, 0},
        {IRP_MN_QUERY_RESOURCES, 0},
        {IRP_MN_QUERY_RESOURCE_REQUIREMENTS, 0},
        {IRP_MN_FILTER_RESOURCE_REQUIREMENTS, 0},
        {IRP_MN_START_DEVICE, 0},
        {IRP_MN_QUERY_PNP_DEVICE_STATE, 0},
    };
    EXPECT_EQ(RequestsTo("01:01.0"), expected) << "an ordinary card";
    expected.push_back({IRP_MN_QUERY_DEVICE_RELATIONS, BusRelations});
    EXPECT_EQ(RequestsTo("00:03.0"), expected) << "the controller, a bridge";
    const auto &minors = ostest::TestFilter().minors;
    EXPECT_GE(std::count(minors.begin(), minors.end(), IRP_MN_FILTER_RESOURCE_REQUIREMENTS), 2)
        << "the filter on top of the controller saw them";
    ExpectInOrder({IndexOf("00:03.0", IRP_MN_START_DEVICE),
                   IndexOf("00:03.0", IRP_MN_QUERY_DEVICE_RELATIONS, BusRelations),
                   IndexOf("01:00.0", IRP_MN_QUERY_CAPABILITIES)},
                  "the parent starts before its children are asked");

    sim::DeviceNode *nic = pnp_->Find(chassis_.nic1);
    ASSERT_NE(nic, nullptr);
    EXPECT_EQ(nic->deviceId, "PCI\\VEN_10EC&DEV_8139&SUBSYS_813910EC&REV_10");
    EXPECT_EQ(nic->hardwareIds.size(), 6u);
    EXPECT_EQ(nic->compatibleIds.back(), "PCI\\CC_0200");
    EXPECT_EQ(nic->location, "PCI bus 1, device 1, function 0");
    EXPECT_EQ(nic->busInformation.BusNumber, 1u);
    EXPECT_EQ(nic->capabilities.Address, 0x00010000u);
    EXPECT_EQ(nic->state, sim::NodeState::Started);
}

TEST_F(PnpManagerTest, ChildrenLandInsideTheirParentsWindowsAndTheChassisBridgeGetsCode12)
{
    BootChassis(ostest::TestFilterEntry);
    sim::DeviceNode *cb = pnp_->Find(chassis_.controller);
    sim::DeviceNode *nic = pnp_->Find(chassis_.nic1);
    ASSERT_TRUE(cb->spaces.io.Valid());
    ASSERT_TRUE(cb->spaces.memory.Valid());
    for (const auto &d : nic->assigned) {
        if (d.Type != CmResourceTypePort && d.Type != CmResourceTypeMemory)
            continue;
        const sim::AddressSpace &w = d.Type == CmResourceTypePort ? cb->spaces.io : cb->spaces.memory;
        uint64_t start = uint64_t(d.u.Generic.Start.QuadPart);
        EXPECT_GE(start, w.Base());
        EXPECT_LE(start + d.u.Generic.Length - 1, w.Limit()) << sim::DescribePartials(nic->assigned);
        EXPECT_EQ(start % d.u.Generic.Length, 0u) << "BARs are aligned to their size";
    }
    EXPECT_EQ(chassis_.nic1->Peek32(0x10) & ~3u, uint32_t(nic->assigned[0].u.Port.Start.QuadPart))
        << "the hardware holds what was assigned";
    EXPECT_EQ(cb->spaces.memory.Limit() - cb->spaces.memory.Base() + 1, sim::kCardBusMemWindow);
    EXPECT_EQ(cb->spaces.prefetch.Limit() - cb->spaces.prefetch.Base() + 1, sim::kCardBusPrefetchWindow);

    // Without Tolmu the chassis bridge does not fit and its bus is never seen.
    sim::DeviceNode *a = pnp_->Find(chassis_.bridgeA);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->state, sim::NodeState::NotEnoughResources) << pnp_->Describe();
    EXPECT_EQ(a->problem, sim::kProblemNormalConflict);
    EXPECT_EQ(chassis_.bridgeA->SecondaryBus(), 2) << "XP numbered the lone bridge inside the controller's range";
    EXPECT_EQ(chassis_.bridgeB->SecondaryBus(), 0) << "no free number left for the second level";
    for (sim::PciFunction *f : {chassis_.vga, chassis_.audio, chassis_.bridgeB, chassis_.nic2})
        EXPECT_EQ(pnp_->Find(f), nullptr) << f->Describe() << " should not be found";
    EXPECT_NE(pnp_->Describe().find("not started: not enough free resources (Code 12)"), std::string::npos)
        << pnp_->Describe();
}

TEST_F(PnpManagerTest, RootWindowsTooSmallForTheController)
{
    sim::PnpOptions small;
    small.memLimit = small.memBase + 0x3FFFFF; // 4 MB: the controller wants 4 + 4 MB + 4 KB
    BootChassis(ostest::TestFilterEntry, small);
    sim::DeviceNode *cb = pnp_->Find(chassis_.controller);
    EXPECT_EQ(cb->problem, sim::kProblemNormalConflict);
    EXPECT_TRUE(cb->children.empty()) << "a device that is not started is not enumerated";
    EXPECT_EQ(RequestsTo("00:03.0").back().first, IRP_MN_FILTER_RESOURCE_REQUIREMENTS) << "no start was sent";
}

TEST_F(PnpManagerTest, FailedStartIsCode10)
{
    chassis_ = ostest::BuildChassis(*machine_, models::TI1420());
    bus_->FailMinor(bus_->PdoFor(chassis_.controller), IRP_MN_START_DEVICE, STATUS_UNSUCCESSFUL);
    Manager(ostest::TestFilterEntry).AddController(chassis_.controller);
    pnp_->Boot();
    sim::DeviceNode *cb = pnp_->Find(chassis_.controller);
    EXPECT_EQ(cb->state, sim::NodeState::StartFailed);
    EXPECT_EQ(cb->problem, sim::kProblemFailedStart);
    EXPECT_EQ(cb->startStatus, STATUS_UNSUCCESSFUL);
}

TEST_F(PnpManagerTest, UnloadAllLeavesOnlyTheRootBusPdosAndUnloadsTheFilter)
{
    BootChassis(ostest::TestFilterEntry);
    EXPECT_GT(standin::LiveDeviceCount(), 3u);
    pnp_->UnloadAll();
    EXPECT_TRUE(pnp_->FilterUnloaded());
    EXPECT_TRUE(ostest::TestFilter().unloaded);
    EXPECT_EQ(pnp_->ControllerDriver().LiveDevices(), 0u);
    EXPECT_EQ(pnp_->ChildDriver().LiveDevices(), 0u);
    // The controller's PDO stays (the function is still there); the PDOs of
    // its children went with the removal of their bus.
    EXPECT_EQ(standin::LiveDeviceCount(), 1u);
    EXPECT_NE(bus_->ExistingPdo(chassis_.controller), nullptr);
    for (sim::DeviceNode *n : pnp_->Nodes())
        EXPECT_EQ(n->state, sim::NodeState::Removed) << n->Location();
    ExpectInOrder({IndexOf("01:01.0", IRP_MN_QUERY_REMOVE_DEVICE), IndexOf("01:01.0", IRP_MN_REMOVE_DEVICE),
                   IndexOf("00:03.0", IRP_MN_REMOVE_DEVICE)},
                  "children are queried, then removed first");
}

TEST_F(PnpManagerTest, SurpriseRemovalOfTheChassis)
{
    BootChassis(ostest::TestFilterEntry);
    sim::DeviceNode *cb = pnp_->Find(chassis_.controller);
    PDEVICE_OBJECT nicPdo = pnp_->Find(chassis_.nic1)->pdo;
    pnp_->SurpriseRemove(cb);
    for (sim::DeviceNode *child : cb->children)
        EXPECT_EQ(child->state, sim::NodeState::Removed) << child->Location();
    EXPECT_EQ(cb->state, sim::NodeState::Started) << "the controller itself stays";
    EXPECT_TRUE(standin::DeviceIsDeleted(nicPdo)) << "the PDO of a function that is gone is deleted";
    ExpectInOrder({IndexOf("01:01.0", IRP_MN_SURPRISE_REMOVAL), IndexOf("01:01.0", IRP_MN_REMOVE_DEVICE)},
                  "surprise removal");
    EXPECT_EQ(IndexOf("01:01.0", IRP_MN_QUERY_REMOVE_DEVICE), -1) << "no query before a surprise";
    EXPECT_EQ(pnp_->ChildDriver().LiveDevices(), 0u);
}

TEST_F(PnpManagerTest, SleepSendsQueryFirstLeafFirstThenWakesRootFirst)
{
    BootChassis(ostest::TestFilterEntry);
    pnp_->ClearRequests();
    chassis_.nic1->Poke16(0x0C, 0xF810);
    uint16_t command = chassis_.nic1->Peek16(0x04);
    pnp_->SystemSleep();
    EXPECT_EQ(chassis_.nic1->Peek16(0x0C), 0) << "the latency timer was lost in D3";
    EXPECT_EQ(chassis_.nic1->Peek16(0x04), command) << "the bus driver restored the command register";

    ULONG d3 = ULONG(DevicePowerState) << 8 | PowerDeviceD3, d0 = ULONG(DevicePowerState) << 8 | PowerDeviceD0;
    ULONG s3 = ULONG(SystemPowerState) << 8 | PowerSystemSleeping3;
    ExpectInOrder({IndexOf("01:01.0", IRP_MN_QUERY_POWER, s3, IRP_MJ_POWER),
                   IndexOf("00:03.0", IRP_MN_QUERY_POWER, s3, IRP_MJ_POWER),
                   IndexOf("01:01.0", IRP_MN_SET_POWER, d3, IRP_MJ_POWER),
                   IndexOf("00:03.0", IRP_MN_SET_POWER, d3, IRP_MJ_POWER),
                   IndexOf("00:03.0", IRP_MN_SET_POWER, d0, IRP_MJ_POWER),
                   IndexOf("01:01.0", IRP_MN_SET_POWER, d0, IRP_MJ_POWER)},
                  "queries leaf first, then D3 leaf first, then D0 root first");
    for (const auto &r : pnp_->Requests())
        EXPECT_EQ(r.status, STATUS_SUCCESS) << r.location << " power minor " << int(r.minor);
}

TEST_F(PnpManagerTest, RebalanceStopsLeafFirstRestartsRootFirstAndTheFilterResultDecidesTheList)
{
    BootChassis(ostest::TestFilterEntry);
    // The CardBus driver completes the controller's request with success, so
    // the list in Information is the one used.
    sim::DeviceNode *cb = pnp_->Find(chassis_.controller);
    ASSERT_FALSE(cb->filtered.empty());
    EXPECT_EQ(sim::DescribeRequirements(cb->filtered[0]), sim::DescribeRequirements(cb->requirements[0]));

    // A filter that frees the list it was given and does not report success:
    // the PnP manager still holds the freed list.
    std::vector<standin::Finding> seen;
    standin::SetFindingHandler([&seen](const standin::Finding &f) { seen.push_back(f); });
    ostest::TestFilter().replacesLists = true;
    pnp_->ClearRequests();
    pnp_->Rebalance();
    ostest::TestFilter().replacesLists = false;
    std::vector<std::string> where;
    for (const auto &f : seen) {
        EXPECT_EQ(f.rule, "FILTERED_LIST_FREED_WITHOUT_SUCCESS") << f.detail;
        where.push_back(f.detail.substr(f.detail.find("for ") + 4, 7));
    }
    EXPECT_EQ(where, std::vector<std::string>({"01:00.0", "01:01.0"}))
        << "the children, whose function driver does not handle the request; not the controller";
    EXPECT_EQ(pnp_->Find(chassis_.nic1)->state, sim::NodeState::Started) << "the replacement list was used";
    EXPECT_EQ(pnp_->Find(chassis_.controller)->state, sim::NodeState::Started);
    EXPECT_EQ(pnp_->Find(chassis_.bridgeA)->state, sim::NodeState::NotEnoughResources) << "still too big";
    ExpectInOrder({IndexOf("01:01.0", IRP_MN_QUERY_STOP_DEVICE), IndexOf("01:01.0", IRP_MN_STOP_DEVICE),
                   IndexOf("00:03.0", IRP_MN_STOP_DEVICE), IndexOf("00:03.0", IRP_MN_START_DEVICE),
                   IndexOf("01:01.0", IRP_MN_FILTER_RESOURCE_REQUIREMENTS), IndexOf("01:01.0", IRP_MN_START_DEVICE)},
                  "rebalance");
    EXPECT_EQ(IndexOf("01:01.0", IRP_MN_QUERY_CAPABILITIES), -1) << "no new-node queries";
}

} // namespace
