// The simulated hierarchy: configuration cycles routed by the bus numbers the
// bridges hold, multi-function devices, lookups and the tree walk.
#include <gtest/gtest.h>

#include "pci_machine.h"

using namespace sim;

namespace {

// Root: host bridge 00:00.0, CardBus controller at 00:03.0.
// Behind the controller: a DEC 21154 at device 0, behind that a GeForce at
// device 2 and a TI PCI2250 at device 4, behind that an RTL8139 at device 1.
struct Chassis {
    PciMachine m;
    PciFunction *host = m.AddFunction(m.Root(), 0, 0, models::Intel440BX());
    PciFunction *cb = m.AddFunction(m.Root(), 3, 0, models::TI1420());
    PciFunction *p2p = m.AddFunction(m.SecondarySegment(cb), 0, 0, models::DEC21154());
    PciFunction *vga = m.AddFunction(m.SecondarySegment(p2p), 2, 0, models::GeForce2MX());
    PciFunction *inner = m.AddFunction(m.SecondarySegment(p2p), 4, 0, models::TIPCI2250());
    PciFunction *nic = m.AddFunction(m.SecondarySegment(inner), 1, 0, models::RTL8139());
};

TEST(Routing, BusZeroReachesTheRootSegment)
{
    Chassis c;
    EXPECT_EQ(c.m.Find(0, 0, 0), c.host);
    EXPECT_EQ(c.m.Find(0, 3, 0), c.cb);
    EXPECT_EQ(c.m.ConfigRead(0, 3, 0, 0x00, 4), 0xAC51104Cu);
    EXPECT_EQ(c.m.ConfigRead(0, 4, 0, 0x00, 4), 0xFFFFFFFFu) << "empty slot";
}

TEST(Routing, UnnumberedBridgeForwardsNothing)
{
    Chassis c; // every bridge still has bus numbers 0/0/0
    for (int bus = 1; bus < 256; bus++)
        ASSERT_EQ(c.m.SegmentForBus(static_cast<uint8_t>(bus)), nullptr) << "bus " << bus;
    c.m.SetBusNumbers(c.cb, 0, 0, 9); // a subordinate alone opens nothing
    c.m.SetBusNumbers(c.p2p, 0, 1, 1);
    EXPECT_EQ(c.m.Find(1, 0, 0), nullptr);
    EXPECT_EQ(c.m.Find(1, 2, 0), nullptr) << "bus 1 behind the unnumbered controller";
    EXPECT_EQ(c.m.ConfigRead(1, 0, 0, 0x00, 4), 0xFFFFFFFFu);
    EXPECT_EQ(c.m.BusNumberOf(c.p2p), -1);
}

TEST(Routing, BusOutsideEveryRangeReadsAllOnesAndDropsWrites)
{
    Chassis c;
    c.m.SetBusNumbers(c.cb, 0, 1, 1);
    c.m.SetBusNumbers(c.p2p, 1, 2, 2); // reachable only if the controller covered 2
    EXPECT_EQ(c.m.Find(1, 0, 0), c.p2p);
    EXPECT_EQ(c.m.ConfigRead(2, 2, 0, 0x00, 4), 0xFFFFFFFFu) << "bus 2 beyond the controller's subordinate";
    EXPECT_EQ(c.m.ConfigRead(2, 2, 0, 0x00, 2), 0xFFFFu);
    c.m.ConfigWrite(2, 2, 0, 0x3C, 1, 0x0A);
    EXPECT_EQ(c.vga->Peek8(0x3C), 0u) << "write to an unreachable bus was dropped";
    EXPECT_TRUE(c.vga->WriteLog().empty());
}

TEST(Routing, PulledFunctionEndsInMasterAbortUntilPluggedBack)
{
    Chassis c;
    c.m.SetBusNumbers(c.cb, 0, 1, 1);
    c.p2p->SetPresent(false);
    EXPECT_EQ(c.m.ConfigRead(1, 0, 0, 0x00, 4), 0xFFFFFFFFu);
    c.m.ConfigWrite(1, 0, 0, 0x0D, 1, 0x40);
    EXPECT_TRUE(c.p2p->WriteLog().empty());
    c.p2p->SetPresent(true);
    EXPECT_EQ(c.m.ConfigRead(1, 0, 0, 0x00, 4), 0x00261011u);
}

TEST(Routing, ProgrammedNumbersTakeEffectAtOnce)
{
    Chassis c;
    // Program the controller through configuration cycles, as a driver would.
    c.m.ConfigWrite(0, 3, 0, 0x18, 1, 0x00);
    c.m.ConfigWrite(0, 3, 0, 0x19, 1, 0x05);
    c.m.ConfigWrite(0, 3, 0, 0x1A, 1, 0x05);
    EXPECT_EQ(c.m.Find(5, 0, 0), c.p2p);
    EXPECT_EQ(c.m.ConfigRead(5, 0, 0, 0x00, 4), 0x00261011u);
    EXPECT_EQ(c.m.BusNumberOf(c.p2p), 5);

    c.m.ConfigWrite(0, 3, 0, 0x19, 2, 0x0707); // move the bus
    EXPECT_EQ(c.m.Find(5, 0, 0), nullptr) << "old number no longer routes";
    EXPECT_EQ(c.m.Find(7, 0, 0), c.p2p);
}

TEST(Routing, NestedBridgesNeedTheParentRangeToCoverTheChild)
{
    Chassis c;
    c.m.SetBusNumbers(c.cb, 0, 1, 1);
    c.m.SetBusNumbers(c.p2p, 1, 2, 3);
    c.m.SetBusNumbers(c.inner, 2, 3, 3);
    EXPECT_EQ(c.m.Find(3, 1, 0), nullptr) << "controller subordinate 1 hides buses 2 and 3";

    c.cb->Poke8(0x1A, 3); // the subordinate raised, as the driver does
    EXPECT_EQ(c.m.Find(1, 0, 0), c.p2p);
    EXPECT_EQ(c.m.Find(2, 2, 0), c.vga);
    EXPECT_EQ(c.m.Find(2, 4, 0), c.inner);
    EXPECT_EQ(c.m.Find(3, 1, 0), c.nic);
    EXPECT_EQ(c.m.ConfigRead(3, 1, 0, 0x00, 4), 0x813910ECu);
    EXPECT_EQ(c.m.BusNumberOf(c.nic), 3);
    EXPECT_EQ(c.m.Find(4, 0, 0), nullptr) << "beyond every subordinate";
}

TEST(Routing, TypeZeroCycleOnlyOnTheSecondaryBus)
{
    Chassis c;
    c.m.SetBusNumbers(c.cb, 0, 1, 3);
    c.m.SetBusNumbers(c.p2p, 1, 2, 3);
    c.m.SetBusNumbers(c.inner, 2, 3, 3);
    // Device 2 exists on bus 2 only; bus 1 and bus 3 must not see it.
    EXPECT_EQ(c.m.Find(1, 2, 0), nullptr);
    EXPECT_EQ(c.m.Find(2, 2, 0), c.vga);
    EXPECT_EQ(c.m.Find(3, 2, 0), nullptr);
}

TEST(Routing, FirstBridgeInDeviceOrderWinsOverlappingRanges)
{
    PciMachine m;
    PciFunction *a = m.AddFunction(m.Root(), 1, 0, models::DEC21154());
    PciFunction *b = m.AddFunction(m.Root(), 2, 0, models::DEC21154());
    PciFunction *ca = m.AddFunction(m.SecondarySegment(a), 0, 0, models::RTL8139());
    m.AddFunction(m.SecondarySegment(b), 0, 0, models::GeForce2MX());
    m.SetBusNumbers(a, 0, 1, 1);
    m.SetBusNumbers(b, 0, 1, 1);
    EXPECT_EQ(m.Find(1, 0, 0), ca);
}

TEST(Routing, ConfigCyclesAreCounted)
{
    Chassis c;
    c.m.ClearCounters();
    c.m.ConfigRead(0, 0, 0, 0x00, 4);
    c.m.ConfigRead(9, 0, 0, 0x00, 4); // unreachable still costs a cycle
    c.m.ConfigWrite(0, 3, 0, 0x0C, 1, 0x10);
    EXPECT_EQ(c.m.ConfigReads(), 2u);
    EXPECT_EQ(c.m.ConfigWrites(), 1u);
    EXPECT_EQ(c.m.ConfigCycles(), 3u);
    EXPECT_EQ(c.cb->WriteCount(), 1u);
}

TEST(MultiFunction, MissingFunctionReadsAllOnes)
{
    PciMachine m;
    PciFunction *audio = m.AddFunction(m.Root(), 9, 0, models::SBLiveAudio());
    PciFunction *game = m.AddFunction(m.Root(), 9, 1, models::SBLiveGameport());
    PciFunction *nic = m.AddFunction(m.Root(), 10, 0, models::RTL8139());
    EXPECT_EQ(m.Find(0, 9, 0), audio);
    EXPECT_EQ(m.Find(0, 9, 1), game);
    EXPECT_EQ(m.ConfigRead(0, 9, 1, 0x00, 4), 0x70021102u);
    EXPECT_EQ(m.ConfigRead(0, 9, 0, 0x0E, 1), 0x80u) << "multi-function bit";
    for (uint8_t fn = 2; fn < 8; fn++)
        EXPECT_EQ(m.ConfigRead(0, 9, fn, 0x00, 4), 0xFFFFFFFFu) << "function " << int(fn);
    EXPECT_EQ(m.Find(0, 10, 1), nullptr) << "single-function device answers only function 0";
    EXPECT_EQ(nic->ReadCount(), 0u) << "absent functions did not reach function 0";
}

TEST(Building, SlotsAreCheckedAndBridgesGetSegments)
{
    PciMachine m;
    PciFunction *nic = m.AddFunction(m.Root(), 1, 0, models::RTL8139());
    EXPECT_THROW(m.AddFunction(m.Root(), 1, 0, models::RTL8139()), std::invalid_argument);
    EXPECT_THROW(m.AddFunction(m.Root(), 32, 0, models::RTL8139()), std::invalid_argument);
    EXPECT_THROW(m.AddFunction(m.SecondarySegment(nic), 0, 0, models::RTL8139()), std::invalid_argument);
    PciFunction *cb = m.AddFunction(m.Root(), 2, 0, models::ToshibaToPIC());
    ASSERT_NE(m.SecondarySegment(cb), nullptr);
    EXPECT_EQ(m.SecondarySegment(cb)->Bridge(), cb);
    EXPECT_EQ(m.SecondarySegment(cb)->Parent(), m.Root());
    EXPECT_EQ(cb->Segment(), m.Root());
    EXPECT_EQ(cb->DeviceNumber(), 2);
    EXPECT_EQ(cb->FunctionNumber(), 0);
}

TEST(Building, FirmwareNumberingIsDepthFirstInDeviceOrder)
{
    // Bus 0: bridge X at 0 and bridge Z at 2; behind X a bridge Y.
    PciMachine m;
    PciFunction *x = m.AddFunction(m.Root(), 0, 0, models::DEC21154());
    PciFunction *z = m.AddFunction(m.Root(), 2, 0, models::DEC21154());
    PciFunction *y = m.AddFunction(m.SecondarySegment(x), 0, 0, models::TIPCI2250());
    PciFunction *cb = m.AddFunction(m.SecondarySegment(z), 5, 0, models::TI1420());
    EXPECT_EQ(m.NumberBuses(/*includeCardBus=*/false), 3);
    auto numbers = [](PciFunction *f) { return f->Peek32(0x18) & 0xFFFFFF; };
    EXPECT_EQ(numbers(x), 0x020100u) << "X 0/1/2";
    EXPECT_EQ(numbers(y), 0x020201u) << "Y 1/2/2";
    EXPECT_EQ(numbers(z), 0x030300u) << "Z 0/3/3";
    EXPECT_EQ(numbers(cb), 0u) << "CardBus left to the OS";
    EXPECT_EQ(m.NumberBuses(), 4);
    EXPECT_EQ(numbers(cb), 0x040403u);
    EXPECT_EQ(m.BusNumberOf(m.SecondarySegment(cb)), 4);
}

TEST(Building, DescribeShowsPhysicalTreeWithCurrentNumbers)
{
    Chassis c;
    c.m.SetBusNumbers(c.cb, 0, 1, 2);
    c.m.SetBusNumbers(c.p2p, 1, 2, 2);
    std::string text = c.m.Describe();
    EXPECT_NE(text.find("00:03.0 104c:ac51 TI PCI1420 CardBus controller [00/01/02]\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n    02:02.0 10de:0110"), std::string::npos) << text;
    EXPECT_NE(text.find("\n      --:01.0 10ec:8139"), std::string::npos) << "unreachable bus\n" << text;
    std::vector<PciFunction *> order = c.m.AllFunctions();
    std::vector<PciFunction *> expected = {c.host, c.cb, c.p2p, c.vga, c.inner, c.nic};
    EXPECT_EQ(order, expected);
}

TEST(Building, ResetAllRestoresPowerOnState)
{
    Chassis c;
    c.m.NumberBuses();
    c.nic->ConfigWrite(0x04, 2, 0x0007);
    c.m.ResetAll();
    EXPECT_EQ(c.cb->SecondaryBus(), 0);
    EXPECT_EQ(c.nic->Peek16(0x04), 0u);
    EXPECT_EQ(c.m.Find(1, 0, 0), nullptr);
}

} // namespace
