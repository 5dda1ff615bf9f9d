// IRP_MN_FILTER_RESOURCE_REQUIREMENTS end to end through the PnP dispatch above a simulated PDO.
#include "resource_fixture.h"

using namespace restest;

namespace {

const Alternative kCardBusWindows = {kMemWin, kTag1, kMemWin, kTag2, kPortWin, kTag3};
const Alternative kP2pWindows = {kPortWin, kTag2, kMemWin, kTag3, kPreWin, kTag4};

enum class Which { RootCardBus, P2p, InnerCardBus };

struct IoCase {
    const char *name;
    Which which;
    ULONG ownFlags, parentFlags; // on the bridge's and on the adapter controller's extension
    ULONG filterIo, io;
    bool keepsIo;
};

class IoWindowTest : public MachineTest, public ::testing::WithParamInterface<IoCase> {};

TEST_P(IoWindowTest, IoWindowIsKeptOrDropped)
{
    const IoCase &c = GetParam();
    Build(c.io, c.filterIo);
    PDEVICE_OBJECT dev = c.which == Which::RootCardBus ? cbDev_ : c.which == Which::P2p ? p2pDev_ : innerCbDev_;
    GET_EXTENSION(dev)->Flags |= c.ownFlags;
    GET_EXTENSION(cbDev_)->Flags |= c.parentFlags;
    PIO_RESOURCE_REQUIREMENTS_LIST sent = NewList({c.which == Which::P2p ? kP2pWindows : kCardBusWindows});
    ULONG sentSize = sent->ListSize;
    PoolList result;
    EXPECT_EQ(Filter(dev, sent, result), STATUS_SUCCESS);
    ASSERT_NE(result, nullptr);
    // The edits go into a copy; the list sent down is freed once the drivers below succeeded.
    EXPECT_TRUE(result.get() != sent && !IsOutstanding(sent) && result->ListSize == sentSize);
    Alternative got = Read(result.get())[0];
    size_t ports = 0;
    for (const auto &d : got) {
        ports += d.Type == CmResourceTypePort;
        if (d.Type == CmResourceTypePort)
            EXPECT_EQ((std::vector<ULONG>{d.u.Port.Length, d.u.Port.MaximumAddress.LowPart}), (std::vector<ULONG>{c.io, 0xFFFF}));
        EXPECT_FALSE(d.Type == CmResourceTypeMemory && d.u.Memory.Length == 0x100000u) << "the memory windows are filtered first";
    }
    EXPECT_EQ((std::vector<size_t>{got.size(), ports}), (c.keepsIo ? std::vector<size_t>{6, 1} : std::vector<size_t>{4, 0}));
}

INSTANTIATE_TEST_SUITE_P(
    Rules, IoWindowTest,
    ::testing::Values(IoCase{"RootCardBusKeepsIo", Which::RootCardBus, 0, 0, 1, 0x800, true},
                      IoCase{"RootCardBusKeepsIoEvenMarkedNoio", Which::RootCardBus, NOIO, 0, 1, 0, true},
                      IoCase{"CardBusBehindTheAdapterLosesIo", Which::InnerCardBus, 0, 0, 0, 0x800, false},
                      IoCase{"P2pKeepsIoWithoutFilterIo", Which::P2p, NOIO, 0, 0, 0, true},
                      IoCase{"P2pKeepsNeededIo", Which::P2p, 0, 0, 1, 0x2000, true},
                      // Io below one 4 KB block would decode over its neighbours: dropped, filterIO or not.
                      IoCase{"P2pWithIoBelowOneBlockLosesIo", Which::P2p, 0, 0, 0, 0x800, false},
                      IoCase{"P2pMarkedNoioLosesIo", Which::P2p, NOIO, 0, 1, 0x2000, false},
                      IoCase{"P2pWithoutIoNeedLosesIo", Which::P2p, 0, 0, 1, 0, false},
                      IoCase{"P2pInheritsNoioFromItsParent", Which::P2p, 0, NOIO, 1, 0x2000, false}),
    [](const ::testing::TestParamInfo<IoCase> &info) { return info.param.name; });

// The device is located, its list printed as the bus driver built it, then enumerated, then printed
// as the request ends.
TEST_F(MachineTest, ListIsPrintedBeforeFilteringAndAfterTheLowerDrivers)
{
    Build();
    PoolList result;
    EXPECT_EQ(Filter(innerCbDev_, NewList({kCardBusWindows}), result), STATUS_SUCCESS);
    auto lines = TraceLines();
    long pre = FindLine(lines, "Pre-Filtered Resources:"), before = FindLine(lines, "Resource Requirements [0] Count 6", pre);
    long enumerate = FindLine(lines, "EnumerateFromHere", pre), post = FindLine(lines, "Post-Filtered Resources:", pre);
    ASSERT_TRUE(0 < pre && pre < before && before < enumerate && enumerate < post) << pre << before << enumerate << post;
    EXPECT_GT(FindLine(lines, "Resource Requirements [0] Count 4", post), post);
    EXPECT_EQ(lines[pre - 1], std::string(49, '='));
    EXPECT_EQ(FindLine(lines, "LocateMe: vid 0x1217-7134 @ 2:0:0"), pre - 2) << "located first";
}

// A device that is no bridge: FilterResources leaves it (returns 1), its memory ranges are freed.
TEST_F(MachineTest, DeviceThatIsNoBridgeOnlyHasItsMemoryRangesFreed)
{
    Build(kIo, 1);
    const IO_RESOURCE_DESCRIPTOR mem = Mem(0x100, 0x100), port = Port(0x100, 0x100);
    PIO_RESOURCE_REQUIREMENTS_LIST sent = NewList({{port, Private(0, 0, 0), mem, kTag3}});
    PoolList result;
    EXPECT_EQ(Filter(nicDev_, sent, result), STATUS_SUCCESS);
    EXPECT_FALSE(IsOutstanding(sent)) << "replaced by the edited copy";
    const Alternative freed = {port, Private(0, 0, 0), Freed(mem), kTag3}; // (1, 3, 0) would be a window key
    EXPECT_EQ(Read(result.get())[0], freed);
    EXPECT_EQ(FilterResources(nicDev_, result.get()), 1u);
    EXPECT_EQ(Read(result.get())[0], freed);
    EXPECT_EQ(CountContaining(TraceLines(), "[Need"), 0u) << "nothing enumerated";
}

// The PnP manager's list comes back as it was when the drivers below fail (the edits went into a
// copy, which is freed; nothing is printed afterwards). No list passes down; without pool for a new
// list the I/O window stays.
TEST_F(MachineTest, RequestKeepsItsListWhenTheDriversBelowFailOrThereIsNoneOrNoPool)
{
    Build(kIo, 1);
    PIO_RESOURCE_REQUIREMENTS_LIST sent = NewList({kCardBusWindows});
    PoolList result;
    size_t blocks = standin::OutstandingCount(TOLMU_POOL_TAG);
    bus_->FailMinor(GET_EXTENSION(cbDev_)->Pdo, IRP_MN_FILTER_RESOURCE_REQUIREMENTS, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Filter(cbDev_, sent, result), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(result.get(), sent) << "the PnP manager goes on with its own list";
    EXPECT_EQ(CountContaining(TraceLines(), "Pre-Filtered Resources:"), 1u);
    EXPECT_EQ(CountContaining(TraceLines(), "Post-Filtered Resources:"), 0u);
    EXPECT_EQ(Read(result.get())[0], kCardBusWindows);
    EXPECT_EQ(standin::OutstandingCount(TOLMU_POOL_TAG), blocks) << "the copy is freed";

    EXPECT_EQ(Filter(innerCbDev_, nullptr, result), STATUS_NOT_SUPPORTED) << "nothing to complete with";
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(CountContaining(TraceLines(), "WARNING: FilterResources has NULL rList"), 1u);

    sent = NewList({kCardBusWindows});
    standin::FailAllAllocations(true);
    NTSTATUS status = Filter(innerCbDev_, sent, result);
    standin::FailAllAllocations(false);
    EXPECT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(result.get(), sent) << "no copy: edited where it is";
    Alternative got = Read(result.get())[0];
    EXPECT_EQ((std::vector<ULONG>{(ULONG)got.size(), got[0].u.Memory.Length}), (std::vector<ULONG>{6, kMem}))
        << "the I/O window cannot be dropped without a new list";
}

} // namespace
