// LocateMe, GetParent, GetRoot, start resources kept, bus-number raising and checks, enumeration,
// and the bus numbers an enumeration hands out against bridges already routing.
#include <gtest/gtest.h>

#include <vector>

#include "enum/enumerate.h"
#include "enum/pci_tree.h"
#include "pnp_harness.h"

using testsupport::CountContaining;
using testsupport::TraceLines;

namespace {

using Values = std::vector<ULONG>;

using sim::CmMemory;
using sim::CmPort;
using Fulls = std::vector<std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>>;

// ExtractResources on a CM_RESOURCE_LIST of these full descriptors (PCI bus 0) back to back.
void Extract(PDEVICE_EXTENSION e, const Fulls &fulls)
{
    std::vector<uint8_t> bytes(sizeof(ULONG));
    bytes[0] = uint8_t(fulls.size());
    for (const auto &f : fulls) {
        PCM_RESOURCE_LIST one = sim::BuildCmList(f, PCIBus, 0);
        auto *end = reinterpret_cast<uint8_t *>(&one->List[0].PartialResourceList.PartialDescriptors[f.size()]);
        bytes.insert(bytes.end(), reinterpret_cast<uint8_t *>(one->List), end);
        ExFreePool(one);
    }
    ExtractResources(e, reinterpret_cast<PCM_RESOURCE_LIST>(bytes.data()));
}

std::vector<ULONG> Windows(PDEVICE_EXTENSION e)
{
    return {e->ExCa, e->MemBase, e->MemLength, e->MemEnd, e->PreBase, e->PreLength, e->PreEnd,
            e->IoBase, e->IoLength, e->IoEnd, e->Irq};
}

// Enumerations give the five needs: memory, prefetchable, I/O and the two alignments.
using LookupTest = pnptest::ChassisTest;

// Parents by secondary bus (marked, numbered), the root by its bus range; a loop of numbers ends.
TEST_F(LookupTest, LocationParentAndRootFollowTheBusNumbers)
{
    FilterChassis();
    PDEVICE_EXTENSION e = Ext(F(p2p_)), n = Ext(F(nic_));
    EXPECT_EQ((Values{e->Bus, e->Device, e->Function, e->PriBus, e->SecBus, e->SubBus}), (Values{2, 0, 0, 2, 3, 3}));
    EXPECT_EQ((Values{n->Bus, n->Device, n->Function, n->SecBus}), (Values{3, 1, 0, UNKNOWN_NUMBER}));
    EXPECT_EQ(GetParent(F(nic_)), F(p2p_));
    EXPECT_EQ(GetParent(F(p2p_)), F(cb_));
    EXPECT_EQ(GetParent(F(cb_)), nullptr);
    // Surprise removal marks the parent for a new probe if it numbered the buses (marked or root).
    for (auto *fn : {nic_, p2p_, cb_})
        pnptest::Send(F(fn), IRP_MN_SURPRISE_REMOVAL);
    EXPECT_EQ((Values{e->Flags & REPROBE, Ext(F(cb_))->Flags & REPROBE}), (Values{0, REPROBE}));
    SetVerbose(9);
    EXPECT_EQ(GetRoot(F(nic_)), F(cb_)) << "climbs through the intermediate bridge";
    PDEVICE_EXTENSION v = Ext(F(vga_));
    v->Bus = 0xFF, v->Device = 31, v->Function = 7;
    EXPECT_TRUE(LocationKnown(v)) << "the highest location is a location";
    v->Bus = 9;
    EXPECT_EQ(GetRoot(F(vga_)), nullptr);
    EXPECT_EQ((std::vector<size_t>{CountContaining(TraceLines(), "GetRoot: found root!!!"),
                                   CountContaining(TraceLines(), "GetRoot: returning NULL")}),
              (std::vector<size_t>{1, 1}));
    SetVerbose(0);
    e->Marker = 0;
    EXPECT_EQ(GetParent(F(nic_)), nullptr);
    e->Marker = EXTENSION_MARKER;
    e->SecBus = 0;
    EXPECT_EQ(GetParent(F(cb_)), nullptr);
    EXPECT_EQ(GetParent(F(nic_)), nullptr);
    e->SecBus = 2; // bad hardware: its own bus as its secondary
    Ext(F(cb_))->Flags &= ~ROOT;
    EXPECT_EQ(GetRoot(F(p2p_)), nullptr);
    propigateBusNo(F(p2p_), 4); // must come back too
    bus_->SetPropertiesFail(Pdo(nic_), true);
    EXPECT_EQ(GetLocationCode(Pdo(nic_)), 0xFFFFFF1Fu);
}

// Raising goes up the chain where lower, never lowering; a check follows the hardware.
TEST_F(LookupTest, BusNumbersAreRaisedUpTheChainAndChecked)
{
    FilterChassis();
    propigateBusNo(F(p2p_), 2);
    EXPECT_EQ(p2p_->SubordinateBus(), 3);
    EXPECT_EQ(cb_->SubordinateBus(), 5);
    p2p_->Poke8(0x1A, 0x10);
    Ext(F(cb_))->SubBus = 0x10;
    propigateBusNo(F(p2p_), 0x10);
    EXPECT_EQ((Values{p2p_->SubordinateBus(), Ext(F(p2p_))->SubBus, cb_->SubordinateBus(), Ext(F(cb_))->SubBus}),
              (Values{0x10, 0x10, 0x10, 0x10}));
    EXPECT_EQ(CountContaining(TraceLines(), "NOTE propigateBusNo: 0:3:0 updating sub from 5 to 10"), 1u);
    EXPECT_EQ(CountContaining(TraceLines(), "NOTE propigateBusNo: 2:0:0"), 0u);

    PDEVICE_EXTENSION e = Ext(F(p2p_));
    machine_.SetBusNumbers(p2p_, 2, 4, 6);
    CheckBusNumbers(e);
    EXPECT_EQ((Values{e->PriBus, e->SecBus, e->SubBus}), (Values{2, 4, 6}));
    EXPECT_EQ(CountContaining(TraceLines(), "WARNING CheckBusNumbers: pExt->SubBus (0x10) != sub (0x6)"), 1u);
    EXPECT_EQ(CountContaining(TraceLines(), "PriBus"), 0u);
}

// Unmarked: the configured sizes, nothing probed; Io 0x300 holds no 4 KB block: I/O dropped.
// Marked: RTL8139 256 B I/O + 256 B memory, GeForce2 MX 16 MB + 128 MB prefetchable; I/O in 4 KB
// blocks capped by Io; bridges raised to highBus (secondary + 16).
TEST_F(LookupTest, BridgeNeedsAreConfiguredUnmarkedAndProbedMarkedCappedByIo)
{
    FilterChassis();
    uint64_t t0 = standin::VirtualMicroseconds();
    EXPECT_EQ(Enumerate(p2p_, false), (Values{0x8000000, 0x8000000, 0, 0x8000000, 0x8000000}));
    EXPECT_TRUE(dropped_);
    EXPECT_EQ(standin::VirtualMicroseconds(), t0) << "no probe, no waiting";
    EXPECT_EQ(CountContaining(TraceLines(), "WARNING EnumerateFromHere: 2:0:0 needs I/O 0x300 in 4 KB blocks but Io "
                                            "is 0x300: I/O window dropped, raise Io to give it room"),
              1u);
    Configure({{"Memory", 0x2000000}, {"PreFetch", 0x4000000}, {"Io", 0x1000}});
    EXPECT_EQ(Enumerate(p2p_, false), (Values{0x2000000, 0x4000000, 0x1000, 0x2000000, 0x4000000}));

    Configure({{"Io", 0x2000}});
    t0 = standin::VirtualMicroseconds();
    EXPECT_EQ(Enumerate(p2p_), (Values{0x1100000, 0x8000000, 0x1000, 0x1000000, 0x8000000}));
    EXPECT_EQ(standin::VirtualMicroseconds() - t0, 4000000u) << "one bus probed";
    EXPECT_EQ((Values{highBus, p2p_->SubordinateBus(), cb_->SubordinateBus()}), (Values{0x12, 0x12, 0x12}));

    Configure({{"Io", 0x80}});
    EXPECT_EQ(Enumerate(p2p_)[2], 0u);
    EXPECT_TRUE(dropped_);
    Configure({{"Io", 0x1800}});
    machine_.AddFunction(machine_.SecondarySegment(p2p_), 3, 0,
                         sim::models::Generic(0x1234, 0x1, 0x078000, {sim::IoBar(0, 0x1000), sim::IoBar(1, 0x1000)}));
    EXPECT_EQ(Enumerate(p2p_)[2], 0x1000u) << "0x2100 behind it, Io holds one block";
    EXPECT_FALSE(dropped_);
    EXPECT_EQ(Enumerate(cb_)[2], 0x1000u);

    for (ULONG sec : {0x14, 5, 0xF5}) {
        machine_.SetBusNumbers(p2p_, 2, sec, sec);
        Enumerate(p2p_);
        EXPECT_EQ(highBus, sec == 0xF5 ? 0xFFu : 0x24u) << "secondary " << sec;
    }
    EXPECT_EQ(CountContaining(TraceLines(), "WARNING EnumerateFromHere: bus numbers run past 0xff"), 1u);
    EXPECT_EQ(CountContaining(TraceLines(), "bus numbers in use unknown"), 0u) << "every bridge is in the map";
}

// Nothing behind it, no location, or numbers unreadable and never known: the least windows,
// nothing probed or raised; numbers known before are taken again.
TEST_F(LookupTest, BridgeWithNothingToProbeGetsOneMegabyteWindows)
{
    auto *empty = machine_.AddFunction(machine_.SecondarySegment(cb_), 1, 0, sim::models::DEC21154());
    machine_.SetBusNumbers(empty, 2, 4, 4);
    FilterChassis();
    AddChildDevice(driver_, Pdo(empty), 2);
    LocateMe(Ext(F(empty)));
    const Values least = {0x100000, 0x100000, 0, 0x100000, 0x100000};
    EXPECT_EQ(Enumerate(empty), least);
    const ULONG sub = cb_->SubordinateBus();

    PDEVICE_EXTENSION e = Ext(F(p2p_));
    e->Bus = e->Device = e->Function = UNKNOWN_NUMBER;
    uint64_t t0 = standin::VirtualMicroseconds();
    EXPECT_EQ(Enumerate(p2p_), least);
    LocateMe(e);
    bus_->SetConfigMode(Pdo(p2p_), sim::ConfigMode::Fail);
    EXPECT_EQ(Enumerate(p2p_)[0], 0x1100000u) << "probed from bus 3 as known";
    EXPECT_EQ(e->SecBus, 3u);
    EXPECT_EQ(CountContaining(TraceLines(), "2:0:0 unreadable, going on with Pri 2 Sec 3 Sub 3"), 1u);
    t0 = standin::VirtualMicroseconds();
    e->PriBus = e->SecBus = e->SubBus = 0xFF;
    EXPECT_EQ(Enumerate(p2p_), least);
    EXPECT_EQ(standin::VirtualMicroseconds(), t0) << "no probe";
    EXPECT_EQ(cb_->SubordinateBus(), sub) << "nothing raised";
    EXPECT_EQ(CountContaining(TraceLines(), "WARNING EnumerateFromHere: location unknown, nothing probed"), 1u);
    EXPECT_EQ(CountContaining(TraceLines(), "WARNING EnumerateFromHere: bus numbers of 2:0:0 unreadable, nothing"), 1u);
}

// A bridge the system left unnumbered is numbered (never bus 0) before its bus is probed.
TEST_F(LookupTest, UnnumberedBridgeIsNumberedBeforeItsBusIsProbed)
{
    Configure({{"Io", 0x1000}});
    FilterChassis();
    machine_.SetBusNumbers(p2p_, 0, 0, 0);
    LocateMe(Ext(F(p2p_)));
    EXPECT_EQ(Enumerate(p2p_)[2], 0x1000u) << "the cards behind it are found and counted";
    EXPECT_EQ((Values{p2p_->PrimaryBus(), p2p_->SecondaryBus(), p2p_->SubordinateBus(), Ext(F(p2p_))->SecBus}),
              (Values{2, 3, 0x12, 3}));
    EXPECT_EQ(CountContaining(TraceLines(), "$$$$$ probeBuses: probing bus 0x0 "), 0u);
}

// A controller's leading memory range is its register window, its interrupt its line register's;
// a bridge's first ranges are windows (first I/O wins across starts), its interrupt the list's.
TEST_F(LookupTest, BridgesKeepTheirWindowsRegisterWindowAndInterruptFromTheStartResources)
{
    cb_->Poke8(0x3C, 0x0B);
    FilterChassis();
    PDEVICE_EXTENSION cb = Ext(F(cb_)), p2p = Ext(F(p2p_));
    Extract(cb, {{CmMemory(0xD0000000, 0x1000), CmMemory(0xE0000000, 0x4000000, CM_RESOURCE_MEMORY_PREFETCHABLE),
                  CmMemory(0xD8000000, 0x2000000), sim::CmInterrupt(0x30)}});
    EXPECT_EQ(Windows(cb), (std::vector<ULONG>{0xD0000000, 0xD8000000, 0x2000000, 0xDA000000, 0xE0000000,
                                               0x4000000, 0xE4000000, 0, 0, 0, 0x0B}));
    Extract(p2p, {{sim::CmDevicePrivate(0, 0, 0)},
                  {CmMemory(0xFFF00000, 0x100000), CmPort(0x4000, 0x1000), CmPort(0x8000, 0x1000), sim::CmInterrupt(9)}});
    Extract(p2p, {{CmPort(0x9000, 0x1000)}});
    EXPECT_EQ(Windows(p2p), (std::vector<ULONG>{UNKNOWN_NUMBER, 0xFFF00000, 0x100000, 0xFFFFFFFF, 0, 0, 0, 0x4000,
                                                0x1000, 0x5000, 9}));

    cb->ExCa = UNKNOWN_NUMBER;
    Extract(cb, {{CmPort(0x4000, 0), CmMemory(0xD0000000, 0x1000)}});
    EXPECT_EQ(cb->ExCa, UNKNOWN_NUMBER) << "a list starting with ports has no register window";
    EXPECT_EQ(cb->MemBase, 0xD0000000u);
    PrintExtractedResources(cb), PrintExtractedResources(p2p);
    const auto lines = TraceLines();
    EXPECT_EQ(CountContaining(lines, "  I/O  : "), 1u) << "an empty I/O range is not printed";
    EXPECT_EQ(CountContaining(lines, "  PRE  : 0xE0000000 - E3FFFFFF"), 1u);

    PDEVICE_EXTENSION nic = Ext(F(nic_));
    Extract(nic, {{CmPort(0x9000, 0x1000)}});
    ExtractResources(p2p, nullptr);
    EXPECT_EQ(nic->IoBase, 0u) << "ordinary devices keep nothing";
}


using Numbers = std::vector<int>;

Numbers Of(const sim::PciFunction *f) { return {f->PrimaryBus(), f->SecondaryBus(), f->SubordinateBus()}; }

// Controller 00:03.0 (buses 2..cbSub), bridge A 02:00.0 (B behind it, a card behind B),
// sibling S 02:01.0; A is enumerated; S never changes.
struct Case {
    const char *name;
    int cbSub;
    Numbers a, s, b;
    ULONG siblings;   // A's count of siblings: 1 leaves it unmarked, not probed
    bool peerAbove;   // another controller at 00:05.0 routes 4..ff
    bool phantom;     // A is single-function; a bridge answers at 02:00.1 routing 4
    Numbers aAfter, bAfter;
    int cbSubAfter;
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

const Case kCases[] = {
    // A gets up to highBus (its bus + 16), the controller raised too.
    {"FreeNumbersGiveTheHeadroom", 5, {2, 3, 3}, {0, 0, 0}, {0, 0, 0}, 2, false, false, {2, 3, 0x12}, {3, 4, 4}, 0x12},
    // S routes 4: B cannot have it (its stale numbers cleared), A not widen over it.
    {"NumberRoutedByASibling", 5, {2, 3, 3}, {2, 4, 4}, {3, 7, 7}, 2, false, false, {2, 3, 3}, {0, 0, 0}, 5},
    // S routes 8 and up: A may use 3..7 only.
    {"WideningStopsBelowASibling", 9, {2, 3, 3}, {2, 8, 9}, {0, 0, 0}, 2, false, false, {2, 3, 7}, {3, 4, 4}, 9},
    // A unnumbered: a number S does not route, the controller raised to reach it.
    {"UnnumberedPastItsSiblings", 5, {0, 0, 0}, {2, 3, 5}, {0, 0, 0}, 2, false, false, {2, 6, 0x12}, {6, 7, 7}, 0x12},
    // No number reachable without covering S's: A stays unnumbered, nothing probed.
    {"NoReachableNumber", 3, {0, 0, 0}, {2, 3, 3}, {0, 0, 0}, 2, true, false, {0, 0, 0}, {0, 0, 0}, 3},
    // An unnumbered only child is numbered all the same, but not probed.
    {"UnprobedOnlyChildIsNumbered", 2, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}, 1, false, false, {2, 3, 3}, {0, 0, 0}, 3},
    // Functions 1..7 of a single-function device route nothing: bus 4 is A's.
    {"PhantomFunctionsAreNotCounted", 5, {2, 3, 3}, {0, 0, 0}, {0, 0, 0}, 2, false, true, {2, 3, 0x12}, {3, 4, 4}, 0x12},
};

class BusNumberingTest : public pnptest::FilterTest, public ::testing::WithParamInterface<Case> {};

TEST_P(BusNumberingTest, NumbersStayClearOfWhatOthersRoute)
{
    const Case &c = GetParam();
    auto *cb = machine_.AddFunction(machine_.Root(), 3, 0, sim::models::TI1420());
    auto *a = machine_.AddFunction(machine_.SecondarySegment(cb), 0, 0, sim::models::DEC21154());
    auto *b = machine_.AddFunction(machine_.SecondarySegment(a), 0, 0, sim::models::DEC21154());
    machine_.AddFunction(machine_.SecondarySegment(b), 1, 0, sim::models::RTL8139());
    auto *s = machine_.AddFunction(machine_.SecondarySegment(cb), 1, 0, sim::models::DEC21154());
    machine_.SetBusNumbers(cb, 0, 2, c.cbSub);
    machine_.SetBusNumbers(a, c.a[0], c.a[1], c.a[2]);
    machine_.SetBusNumbers(s, c.s[0], c.s[1], c.s[2]);
    machine_.SetBusNumbers(b, c.b[0], c.b[1], c.b[2]);
    if (c.peerAbove)
        machine_.SetBusNumbers(machine_.AddFunction(machine_.Root(), 5, 0, sim::models::TI1420()), 0, 4, 0xFF);
    if (c.phantom) {
        machine_.SetBusNumbers(machine_.AddFunction(machine_.SecondarySegment(cb), 0, 1, sim::models::DEC21154()), 2, 4, 4);
        a->Poke8(0x0E, 0x01);
    }
    Load();
    AddDevice(driver_, Pdo(cb));
    AddChildDevice(driver_, Pdo(a), c.siblings);
    LocateMe(Ext(F(cb)));
    LocateMe(Ext(F(a)));
    Enumerate(a, false); // marked by AddChildDevice or not, as its siblings say
    EXPECT_EQ(Of(a), c.aAfter);
    EXPECT_EQ(Of(b), c.bAfter);
    EXPECT_EQ(Of(s), c.s);
    EXPECT_EQ(cb->SubordinateBus(), c.cbSubAfter);
    if (c.bAfter[1] != 3)
        return;
    // B, numbered by A's probe, keeps its numbers when enumerated itself, and leaves A alone.
    AddChildDevice(driver_, Pdo(b), 1);
    LocateMe(Ext(F(b)));
    Enumerate(b);
    EXPECT_EQ(Of(b), c.bAfter);
    EXPECT_EQ(Of(a), c.aAfter);
}

INSTANTIATE_TEST_SUITE_P(Cases, BusNumberingTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

} // namespace
