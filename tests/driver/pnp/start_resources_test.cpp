// The start resources a bridge keeps: the CardBus register window, the I/O,
// prefetchable and memory windows, and the interrupt.
#include <gtest/gtest.h>

#include <vector>

#include "pnp_harness.h"

using testsupport::TraceLines;

namespace {

// A CM_RESOURCE_LIST of one or more full descriptors, built descriptor by
// descriptor.
class ResourceListBuilder {
  public:
    ResourceListBuilder &Full()
    {
        fulls_.emplace_back();
        return *this;
    }
    ResourceListBuilder &Port(ULONG start, ULONG length)
    {
        CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
        d.Type = CmResourceTypePort;
        d.u.Port.Start.QuadPart = start;
        d.u.Port.Length = length;
        return Add(d);
    }
    ResourceListBuilder &Memory(ULONG start, ULONG length, USHORT flags = 0)
    {
        CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
        d.Type = CmResourceTypeMemory;
        d.Flags = flags;
        d.u.Memory.Start.QuadPart = start;
        d.u.Memory.Length = length;
        return Add(d);
    }
    ResourceListBuilder &Interrupt(ULONG vector)
    {
        CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
        d.Type = CmResourceTypeInterrupt;
        d.u.Interrupt.Vector = vector;
        d.u.Interrupt.Level = vector;
        return Add(d);
    }
    ResourceListBuilder &Private()
    {
        CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
        d.Type = CmResourceTypeDevicePrivate;
        return Add(d);
    }
    PCM_RESOURCE_LIST Build()
    {
        bytes_.clear();
        Put(ULONG(fulls_.size()));
        for (const auto &f : fulls_) {
            Put(ULONG(PCIBus));
            Put(ULONG(0));
            Put(USHORT(1));
            Put(USHORT(1));
            Put(ULONG(f.size()));
            for (const auto &d : f)
                Put(d);
        }
        return reinterpret_cast<PCM_RESOURCE_LIST>(bytes_.data());
    }

  private:
    ResourceListBuilder &Add(const CM_PARTIAL_RESOURCE_DESCRIPTOR &d)
    {
        if (fulls_.empty())
            fulls_.emplace_back();
        fulls_.back().push_back(d);
        return *this;
    }
    template <typename T> void Put(const T &v)
    {
        const auto *p = reinterpret_cast<const uint8_t *>(&v);
        bytes_.insert(bytes_.end(), p, p + sizeof(T));
    }
    std::vector<std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>> fulls_;
    std::vector<uint8_t> bytes_;
};

class ExtractTest : public pnptest::FilterTest {
  protected:
    void SetUp() override
    {
        FilterTest::SetUp();
        cb_ = machine_.AddFunction(machine_.Root(), 3, 0, sim::models::TI1420());
        cb_->Poke8(0x3C, 0x0B);
        p2p_ = machine_.AddFunction(machine_.Root(), 4, 0, sim::models::DEC21154());
        nic_ = machine_.AddFunction(machine_.Root(), 5, 0, sim::models::RTL8139());
        Load();
        AddDevice(driver_, bus_->PdoFor(cb_));
        AddChildDevice(driver_, bus_->PdoFor(p2p_), 1);
        AddChildDevice(driver_, bus_->PdoFor(nic_), 1);
        cbExt_ = Ext(FilterOn(bus_->PdoFor(cb_)));
        p2pExt_ = Ext(FilterOn(bus_->PdoFor(p2p_)));
        nicExt_ = Ext(FilterOn(bus_->PdoFor(nic_)));
    }

    sim::PciFunction *cb_, *p2p_, *nic_;
    PDEVICE_EXTENSION cbExt_, p2pExt_, nicExt_;
};

TEST_F(ExtractTest, CardBusListGivesRegisterWindowThenPrefetchableThenMemory)
{
    ResourceListBuilder b;
    b.Memory(0xD0000000, 0x1000).Memory(0xE0000000, 0x4000000, CM_RESOURCE_MEMORY_PREFETCHABLE).Memory(0xD8000000,
                                                                                                      0x2000000);
    ExtractResources(cbExt_, b.Build());
    EXPECT_EQ(cbExt_->ExCa, 0xD0000000u);
    EXPECT_EQ(cbExt_->PreBase, 0xE0000000u);
    EXPECT_EQ(cbExt_->PreLength, 0x4000000u);
    EXPECT_EQ(cbExt_->MemBase, 0xD8000000u);
    EXPECT_EQ(cbExt_->MemLength, 0x2000000u);
    EXPECT_EQ(cbExt_->MemEnd, 0xDA000000u);
    EXPECT_EQ(cbExt_->PreEnd, 0xE4000000u);
}

TEST_F(ExtractTest, CardBusListStartingWithPortsHasNoRegisterWindow)
{
    ResourceListBuilder b;
    b.Port(0x4000, 0x100).Memory(0xD0000000, 0x1000);
    ExtractResources(cbExt_, b.Build());
    EXPECT_EQ(cbExt_->ExCa, UNKNOWN_NUMBER);
    EXPECT_EQ(cbExt_->MemBase, 0xD0000000u);
}

TEST_F(ExtractTest, PciBridgeFirstMemoryRangeIsAWindowNotARegisterWindow)
{
    ResourceListBuilder b;
    b.Memory(0xD0000000, 0x100000);
    ExtractResources(p2pExt_, b.Build());
    EXPECT_EQ(p2pExt_->ExCa, UNKNOWN_NUMBER);
    EXPECT_EQ(p2pExt_->MemBase, 0xD0000000u);
}

TEST_F(ExtractTest, FirstIoRangeWinsAlsoAcrossStarts)
{
    ResourceListBuilder first;
    first.Port(0x4000, 0x1000).Port(0x8000, 0x1000);
    ExtractResources(p2pExt_, first.Build());
    EXPECT_EQ(p2pExt_->IoBase, 0x4000u);
    ResourceListBuilder second;
    second.Port(0x9000, 0x1000);
    ExtractResources(p2pExt_, second.Build());
    EXPECT_EQ(p2pExt_->IoBase, 0x4000u);
    EXPECT_EQ(p2pExt_->IoLength, 0x1000u);
}

TEST_F(ExtractTest, CardBusInterruptComesFromItsInterruptLine)
{
    ResourceListBuilder b;
    b.Interrupt(0x30);
    ExtractResources(cbExt_, b.Build());
    EXPECT_EQ(cbExt_->Irq, 0x0Bu);
    ExtractResources(p2pExt_, b.Build());
    EXPECT_EQ(p2pExt_->Irq, 0x30u);
}

TEST_F(ExtractTest, SeveralFullDescriptorsAreAllVisited)
{
    ResourceListBuilder b;
    b.Full().Private().Full().Port(0x3000, 0x100).Interrupt(9);
    ExtractResources(p2pExt_, b.Build());
    EXPECT_EQ(p2pExt_->IoBase, 0x3000u);
    EXPECT_EQ(p2pExt_->Irq, 9u);
}

TEST_F(ExtractTest, OrdinaryDevicesAndMissingListsAreLeftAlone)
{
    ResourceListBuilder b;
    b.Port(0x3000, 0x100);
    ExtractResources(nicExt_, b.Build());
    EXPECT_EQ(nicExt_->IoBase, 0u);
    ExtractResources(p2pExt_, nullptr);
    EXPECT_EQ(p2pExt_->IoBase, 0u);
}

TEST_F(ExtractTest, PrintShowsOnlyWhatWasFound)
{
    ResourceListBuilder b;
    b.Memory(0xD0000000, 0x1000).Port(0x4000, 0x100).Memory(0xD8000000, 0x2000000);
    ExtractResources(cbExt_, b.Build());
    size_t before = TraceLines().size();
    PrintExtractedResources(cbExt_);
    auto lines = TraceLines();
    std::vector<std::string> printed(lines.begin() + before, lines.end());
    EXPECT_EQ(printed, (std::vector<std::string>{"Extracted Resources are:", "  MEM  : 0xD8000000 - D9FFFFFF",
                                                 "  EXCA : 0xD0000000 - D0000FFF", "  I/O  : 0x4000 - 40FF"}));
    cbExt_->Irq = 0x0A;
    PrintExtractedResources(cbExt_);
    EXPECT_EQ(TraceLines().back(), "  IRQ  : 0x0A");
    cbExt_->Irq = 0xFF;
    PrintExtractedResources(cbExt_);
    EXPECT_EQ(TraceLines().back(), "  I/O  : 0x4000 - 40FF") << "0xFF means no interrupt";
}

} // namespace
