// IRP_MN_FILTER_RESOURCE_REQUIREMENTS end to end: the request is sent to the
// top of a device stack (a function driver's device above the filter device
// above the simulated PCI bus driver's PDO), goes through the driver's PnP
// dispatch to FilterResourceRequirements, and comes back with the list the
// request carries at the end.
#include <gtest/gtest.h>

#include "resource_fixture.h"

using namespace restest;
using testsupport::CountContaining;
using testsupport::TraceLines;

namespace {

constexpr ULONG kMem = 0x400000;
constexpr ULONG kPre = 0x2000000;

const IO_RESOURCE_DESCRIPTOR kMemWin = Mem(0x100000, 0x100000);
const IO_RESOURCE_DESCRIPTOR kPreWin = Mem(0x100000, 0x100000, 0xD0000000, 0xDFFFFFFF, kPreferred,
                                           CM_RESOURCE_MEMORY_PREFETCHABLE);
const IO_RESOURCE_DESCRIPTOR kPortWin = Port(0x100, 0x100);

// As the bus driver reports the windows of each kind of bridge.
Alternative CardBusWindows()
{
    return {kMemWin, Private(1, 1, 0), kMemWin, Private(1, 2, 0), kPortWin, Private(1, 3, 0)};
}

Alternative P2pWindows()
{
    return {kPortWin, Private(1, 2, 0), kMemWin, Private(1, 3, 0), kPreWin, Private(1, 4, 0)};
}

size_t PortCount(const Alternative &alt)
{
    size_t n = 0;
    for (const auto &d : alt)
        n += d.Type == CmResourceTypePort;
    return n;
}

class FilterRequestTest : public MachineTest {
  protected:
    // The adapter's CardBus controller at 00:03.0; behind it on bus 1 a
    // PCI-to-PCI bridge; behind that on bus 2 a second CardBus controller and
    // a network card.
    void BuildMachine()
    {
        machine_.AddFunction(machine_.Root(), 0, 0, sim::models::Intel440BX());
        cb_ = machine_.AddFunction(machine_.Root(), 3, 0, sim::models::TI1420());
        p2p_ = machine_.AddFunction(machine_.SecondarySegment(cb_), 0, 0, sim::models::DEC21154());
        innerCb_ = machine_.AddFunction(machine_.SecondarySegment(p2p_), 0, 0, sim::models::O2MicroOZ711());
        nic_ = machine_.AddFunction(machine_.SecondarySegment(p2p_), 1, 0, sim::models::RTL8139());
        machine_.SetBusNumbers(cb_, 0, 1, 4);
        machine_.SetBusNumbers(p2p_, 1, 2, 3);
        machine_.SetBusNumbers(innerCb_, 2, 3, 3);
        StartBusDriver();
        cbDev_ = AttachFilter(cb_, BRIDGE_TYPE_CARDBUS, CB_BRIDGE | ROOT);
        p2pDev_ = AttachFilter(p2p_, BRIDGE_TYPE_P2P, P2P_BRIDGE);
        innerCbDev_ = AttachFilter(innerCb_, BRIDGE_TYPE_CARDBUS, CB_BRIDGE);
        nicDev_ = AttachFilter(nic_, BRIDGE_TYPE_OTHER, 0);
    }

    // Sends the list through a function driver above `filter`; the list the
    // request ends with is handed to `result`.
    NTSTATUS Filter(PDEVICE_OBJECT filter, PIO_RESOURCE_REQUIREMENTS_LIST list, PoolList &result,
                    bool accept = true)
    {
        PDEVICE_OBJECT top = AttachFunctionDriver(filter, accept);
        PIO_RESOURCE_REQUIREMENTS_LIST out = nullptr;
        NTSTATUS status = SendFilterRequest(top, list, &out);
        result.list = out;
        return status;
    }

    sim::PciFunction *cb_ = nullptr;
    sim::PciFunction *p2p_ = nullptr;
    sim::PciFunction *innerCb_ = nullptr;
    sim::PciFunction *nic_ = nullptr;
    PDEVICE_OBJECT cbDev_ = nullptr;
    PDEVICE_OBJECT p2pDev_ = nullptr;
    PDEVICE_OBJECT innerCbDev_ = nullptr;
    PDEVICE_OBJECT nicDev_ = nullptr;
};

// ------------------------------------------------------- I/O window rules

enum class Which { RootCardBus, P2p, InnerCardBus };

struct IoCase {
    const char *name;
    Which which;
    ULONG ownFlags;    // set on the bridge's extension besides its role
    ULONG parentFlags; // set on the adapter controller's extension
    ULONG filterIo;
    ULONG io;
    bool keepsIo;
};

void PrintTo(const IoCase &c, std::ostream *os)
{
    *os << c.name;
}

class IoWindowTest : public FilterRequestTest, public ::testing::WithParamInterface<IoCase> {};

TEST_P(IoWindowTest, IoWindowIsKeptOrDropped)
{
    const IoCase &c = GetParam();
    Configure(kMem, kPre, c.io, c.filterIo);
    BuildMachine();
    PDEVICE_OBJECT dev = c.which == Which::RootCardBus ? cbDev_ : c.which == Which::P2p ? p2pDev_ : innerCbDev_;
    GET_EXTENSION(dev)->Flags |= c.ownFlags;
    GET_EXTENSION(cbDev_)->Flags |= c.parentFlags;
    Alternative input = c.which == Which::P2p ? P2pWindows() : CardBusWindows();
    PIO_RESOURCE_REQUIREMENTS_LIST sent = NewList({input});
    ULONG sentSize = sent->ListSize;

    PoolList result;
    EXPECT_EQ(Filter(dev, sent, result), STATUS_SUCCESS);
    ASSERT_NE(result.get(), nullptr);

    Alternative got = Read(result.get())[0];
    if (c.keepsIo) {
        EXPECT_EQ(result.get(), sent) << "the request keeps its list";
        ASSERT_EQ(got.size(), 6u) << Describe(got);
        ASSERT_EQ(PortCount(got), 1u) << Describe(got);
        for (const auto &d : got)
            if (d.Type == CmResourceTypePort) {
                EXPECT_EQ(d.u.Port.Length, c.io) << "the I/O window got the I/O need";
                EXPECT_EQ(d.u.Port.MaximumAddress.LowPart, 0xFFFFu);
            }
        EXPECT_EQ(CountContaining(TraceLines(), "NOTE filterOutIo"), 0u);
    } else {
        EXPECT_NE(result.get(), sent) << "the request carries a new list";
        EXPECT_FALSE(IsOutstanding(sent)) << "the list sent down is freed";
        EXPECT_EQ(result.get()->ListSize, sentSize);
        ASSERT_EQ(got.size(), 4u) << Describe(got);
        EXPECT_EQ(PortCount(got), 0u) << Describe(got);
        for (const auto &d : got)
            if (d.Type == CmResourceTypeMemory)
                EXPECT_NE(d.u.Memory.Length, 0x100000u) << "the memory windows were filtered first: " << Describe(d);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, IoWindowTest,
    ::testing::Values(IoCase{"RootCardBusKeepsIo", Which::RootCardBus, 0, 0, 1, 0x800, true},
                      IoCase{"RootCardBusKeepsIoEvenMarkedNoio", Which::RootCardBus, NOIO, 0, 1, 0, true},
                      IoCase{"CardBusBehindTheAdapterLosesIo", Which::InnerCardBus, 0, 0, 0, 0x800, false},
                      IoCase{"P2pKeepsIoWithoutFilterIo", Which::P2p, NOIO, 0, 0, 0, true},
                      IoCase{"P2pKeepsNeededIo", Which::P2p, 0, 0, 1, 0x800, true},
                      IoCase{"P2pMarkedNoioLosesIo", Which::P2p, NOIO, 0, 1, 0x800, false},
                      IoCase{"P2pWithoutIoNeedLosesIo", Which::P2p, 0, 0, 1, 0, false},
                      IoCase{"P2pInheritsNoioFromItsParent", Which::P2p, 0, NOIO, 1, 0x800, false}),
    [](const ::testing::TestParamInfo<IoCase> &info) { return info.param.name; });

// ------------------------------------------------------------ the prints

TEST_F(FilterRequestTest, ListIsPrintedBeforeFilteringAndAfterTheLowerDrivers)
{
    Configure(kMem, kPre, 0x800, 0);
    BuildMachine();
    PoolList result;
    EXPECT_EQ(Filter(innerCbDev_, NewList({CardBusWindows()}), result), STATUS_SUCCESS);

    auto lines = TraceLines();
    const std::string rule = "=================================================";
    long pre = FindLine(lines, "Pre-Filtered Resources:");
    ASSERT_GE(pre, 1);
    EXPECT_EQ(lines[pre - 1], rule);
    EXPECT_EQ(lines[pre + 1], rule);
    long before = FindLine(lines, "Resource Requirements [0] Count 6", pre);
    long enumerate = FindLine(lines, "EnumerateFromHere", pre);
    long post = FindLine(lines, "Post-Filtered Resources:", pre);
    ASSERT_GE(post, 1);
    EXPECT_EQ(lines[post - 1], rule);
    EXPECT_EQ(lines[post + 1], rule);
    long after = FindLine(lines, "Resource Requirements [0] Count 4", post);
    EXPECT_GT(before, pre) << "the list as the bus driver built it";
    EXPECT_GT(enumerate, before);
    EXPECT_GT(post, enumerate);
    EXPECT_GT(after, post) << "the list the request carries at the end";
}

TEST_F(FilterRequestTest, FailedRequestIsNotPrintedAfterwardsAndItsStatusReturned)
{
    Configure(kMem, kPre, 0x800, 0);
    BuildMachine();
    PIO_RESOURCE_REQUIREMENTS_LIST sent = NewList({CardBusWindows()});
    PoolList result;
    // Nobody above takes the list: the request keeps STATUS_NOT_SUPPORTED.
    EXPECT_EQ(Filter(cbDev_, sent, result, false), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(result.get(), sent);
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "Pre-Filtered Resources:"), 1u);
    EXPECT_EQ(CountContaining(lines, "Post-Filtered Resources:"), 0u);
    // The list was edited on its way down all the same.
    EXPECT_EQ(Read(result.get())[0][0].u.Memory.Length, kMem);
}

// ---------------------------------------------------------- other devices

TEST_F(FilterRequestTest, DeviceThatIsNoBridgeOnlyHasItsMemoryRangesFreed)
{
    Configure(kMem, kPre, 0x800, 1);
    BuildMachine();
    IO_RESOURCE_DESCRIPTOR mem = Mem(0x100, 0x100, 0xD0000000, 0xDFFFFFFF);
    IO_RESOURCE_DESCRIPTOR port = Port(0x100, 0x100, 0x1000, 0x1FFF);
    PIO_RESOURCE_REQUIREMENTS_LIST sent = NewList({{port, Private(0, 0, 0), mem, Private(0, 1, 0)}});
    PoolList result;
    EXPECT_EQ(Filter(nicDev_, sent, result), STATUS_SUCCESS);
    ASSERT_EQ(result.get(), sent);

    Alternative got = Read(result.get())[0];
    ASSERT_EQ(got.size(), 4u);
    EXPECT_TRUE(Same(got[0], port)) << Describe(got[0]);
    IO_RESOURCE_DESCRIPTOR widened = mem;
    widened.u.Memory.MinimumAddress.LowPart = 0;
    widened.u.Memory.MaximumAddress.LowPart = 0xFFFFFFFF;
    EXPECT_TRUE(Same(got[2], widened)) << Describe(got[2]);
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "WARNING adjustMinMax: Min != 0x0 d0000000"), 1u);
    EXPECT_EQ(CountContaining(lines, "WARNING adjustMinMax Max != 0xFFFFFFFF dfffffff"), 1u);
    EXPECT_EQ(CountContaining(lines, "EnumerateFromHere"), 0u);
    EXPECT_EQ(CountContaining(lines, "[Need"), 0u);
}

TEST_F(FilterRequestTest, LocationAndBusNumbersAreRefreshedFirst)
{
    Configure(kMem, kPre, 0x800, 0);
    BuildMachine();
    PDEVICE_EXTENSION ext = GET_EXTENSION(p2pDev_);
    ext->Bus = ext->Device = ext->Function = UNKNOWN_NUMBER;
    ext->PriBus = ext->SecBus = 0;
    PoolList result;
    EXPECT_EQ(Filter(p2pDev_, NewList({P2pWindows()}), result), STATUS_SUCCESS);
    EXPECT_EQ(ext->Bus, 1u);
    EXPECT_EQ(ext->Device, 0u);
    EXPECT_EQ(ext->Function, 0u);
    EXPECT_EQ(ext->PriBus, 1u);
    EXPECT_EQ(ext->SecBus, 2u);
    EXPECT_EQ(CountContaining(TraceLines(), "LocateMe: vid 0x1011-0026 @ 1:0:0"), 1u);
}

TEST_F(FilterRequestTest, RequestWithoutAListPassesDown)
{
    Configure(kMem, kPre, 0x800, 1);
    BuildMachine();
    PoolList result;
    EXPECT_EQ(Filter(innerCbDev_, nullptr, result), STATUS_SUCCESS);
    EXPECT_EQ(result.get(), nullptr);
    auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "WARNING: FilterResources has NULL rList"), 1u);
    EXPECT_EQ(CountContaining(lines, "ERROR filterOutIo: pOld is NULL"), 1u);
}

TEST_F(FilterRequestTest, ListStaysWhenTheIoFreeListCannotBeAllocated)
{
    Configure(kMem, kPre, 0x800, 0);
    BuildMachine();
    PIO_RESOURCE_REQUIREMENTS_LIST sent = NewList({CardBusWindows()});
    PoolList result;
    standin::FailAllAllocations(true);
    NTSTATUS status = Filter(innerCbDev_, sent, result);
    standin::FailAllAllocations(false);
    EXPECT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(result.get(), sent) << "the request keeps the list it had";
    EXPECT_EQ(Read(result.get())[0].size(), 6u);
    EXPECT_EQ(CountContaining(TraceLines(), "ERROR filterOutIo: PMalloc failed, list left unchanged"), 1u);
}

// ---------------------------------------------------------------- marks

TEST_F(FilterRequestTest, MarksAreCopiedFromTheParentBridge)
{
    Configure(kMem, kPre, 0x800, 0);
    BuildMachine();
    GET_EXTENSION(p2pDev_)->Flags |= NOIO | ENUMERATE;
    inheritFlags(innerCbDev_);
    EXPECT_EQ(GET_EXTENSION(innerCbDev_)->Flags, CB_BRIDGE | NOIO | ENUMERATE);
    inheritFlags(nicDev_);
    EXPECT_EQ(GET_EXTENSION(nicDev_)->Flags, NOIO | ENUMERATE);
    // The adapter's controller has no parent filter device: nothing changes.
    inheritFlags(cbDev_);
    EXPECT_EQ(GET_EXTENSION(cbDev_)->Flags, CB_BRIDGE | ROOT);
}

TEST_F(FilterRequestTest, MarksAreNeverTakenAway)
{
    Configure(kMem, kPre, 0x800, 0);
    BuildMachine();
    GET_EXTENSION(p2pDev_)->Flags |= VGA; // not a mark that is copied
    GET_EXTENSION(nicDev_)->Flags = NOIO;
    inheritFlags(nicDev_);
    EXPECT_EQ(GET_EXTENSION(nicDev_)->Flags, NOIO);
    GET_EXTENSION(p2pDev_)->Flags |= ENUMERATE;
    inheritFlags(nicDev_);
    EXPECT_EQ(GET_EXTENSION(nicDev_)->Flags, NOIO | ENUMERATE);
}

} // namespace
