// The start resources a bridge keeps: the CardBus register window, the I/O,
// prefetchable and memory windows, and the interrupt.
#include <gtest/gtest.h>

#include <vector>

#include "pnp_harness.h"

namespace {

// A CM_RESOURCE_LIST of full descriptors (PCI bus 0, version 1), each a
// list of partial ones, laid out back to back.
class ResourceList {
  public:
    explicit ResourceList(const std::vector<std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>> &fulls)
    {
        Put(ULONG(fulls.size()));
        for (const auto &f : fulls) {
            const ULONG head[] = {ULONG(PCIBus), 0, 0x00010001, ULONG(f.size())};
            Put(head);
            for (const auto &d : f)
                Put(d);
        }
    }
    PCM_RESOURCE_LIST Get() { return reinterpret_cast<PCM_RESOURCE_LIST>(bytes_.data()); }

  private:
    template <typename T> void Put(const T &v)
    {
        const auto *p = reinterpret_cast<const uint8_t *>(&v);
        bytes_.insert(bytes_.end(), p, p + sizeof(T));
    }
    std::vector<uint8_t> bytes_;
};

CM_PARTIAL_RESOURCE_DESCRIPTOR Desc(UCHAR type, ULONG start, ULONG length, USHORT flags = 0)
{
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.Type = type;
    d.Flags = flags;
    if (type == CmResourceTypeInterrupt) {
        d.u.Interrupt.Vector = d.u.Interrupt.Level = start;
    } else {
        d.u.Memory.Start.QuadPart = start; // Port has the same layout
        d.u.Memory.Length = length;
    }
    return d;
}
CM_PARTIAL_RESOURCE_DESCRIPTOR Port(ULONG start, ULONG length) { return Desc(CmResourceTypePort, start, length); }
CM_PARTIAL_RESOURCE_DESCRIPTOR Mem(ULONG start, ULONG length, bool prefetchable = false)
{
    return Desc(CmResourceTypeMemory, start, length, prefetchable ? CM_RESOURCE_MEMORY_PREFETCHABLE : 0);
}

class ExtractTest : public pnptest::FilterTest {
  protected:
    void SetUp() override
    {
        FilterTest::SetUp();
        BuildChassis(sim::models::TI1420());
        cb_->Poke8(0x3C, 0x0B);
        FilterChassis();
        cb = Ext(F(cb_));
        p2p = Ext(F(p2p_));
    }
    static std::vector<ULONG> Windows(PDEVICE_EXTENSION e)
    {
        return {e->ExCa, e->MemBase, e->MemLength, e->MemEnd, e->PreBase, e->PreLength, e->PreEnd,
                e->IoBase, e->IoLength, e->IoEnd, e->Irq};
    }
    PDEVICE_EXTENSION cb = nullptr, p2p = nullptr;
};

// A CardBus controller's first memory range (only when first of its list) is
// its register window; its interrupt is the one in its interrupt line
// register. A PCI-to-PCI bridge's first memory range is a window, its
// interrupt the list's. The first I/O range wins, also across starts and full
// descriptors; a window at the top of the address space ends there.
TEST_F(ExtractTest, BridgesKeepTheirWindowsRegisterWindowAndInterrupt)
{
    ResourceList c({{Mem(0xD0000000, 0x1000), Mem(0xE0000000, 0x4000000, true), Mem(0xD8000000, 0x2000000),
                     Desc(CmResourceTypeInterrupt, 0x30, 0)}});
    ExtractResources(cb, c.Get());
    EXPECT_EQ(Windows(cb), (std::vector<ULONG>{0xD0000000, 0xD8000000, 0x2000000, 0xDA000000, 0xE0000000,
                                               0x4000000, 0xE4000000, 0, 0, 0, 0x0B}));
    ResourceList p({{Desc(CmResourceTypeDevicePrivate, 0, 0)},
                    {Mem(0xFFF00000, 0x100000), Port(0x4000, 0x1000), Port(0x8000, 0x1000),
                     Desc(CmResourceTypeInterrupt, 9, 0)}});
    ExtractResources(p2p, p.Get());
    ResourceList again({{Port(0x9000, 0x1000)}});
    ExtractResources(p2p, again.Get());
    EXPECT_EQ(Windows(p2p), (std::vector<ULONG>{UNKNOWN_NUMBER, 0xFFF00000, 0x100000, 0xFFFFFFFF, 0, 0, 0, 0x4000,
                                                0x1000, 0x5000, 9}));

    cb->ExCa = UNKNOWN_NUMBER;
    ResourceList portFirst({{Port(0x4000, 0x100), Mem(0xD0000000, 0x1000)}});
    ExtractResources(cb, portFirst.Get());
    EXPECT_EQ(cb->ExCa, UNKNOWN_NUMBER) << "a list starting with ports has no register window";
    EXPECT_EQ(cb->MemBase, 0xD0000000u);

    PDEVICE_EXTENSION nic = Ext(F(nic_));
    ExtractResources(nic, again.Get());
    ExtractResources(p2p, nullptr);
    EXPECT_EQ(nic->IoBase, 0u) << "ordinary devices keep nothing";
}

} // namespace
