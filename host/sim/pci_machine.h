/*
 * pci_machine.h - a simulated PC's PCI hierarchy behind configuration
 * mechanism #1 (ports 0xCF8 / 0xCFC..0xCFF).
 *
 * Topology is physical: a PciSegment is one electrical bus; the root segment
 * sits behind the host bridge, and every bridge (PCI-to-PCI, header layout 1,
 * or CardBus, layout 2) added to a segment gets its own secondary segment.
 * Bus NUMBERS are not part of the topology: they are whatever the secondary
 * (0x19) and subordinate (0x1A) registers of the bridges hold at the moment
 * of each access, so whatever the driver programs is what the hardware routes
 * by.
 *
 * Root buses: bus 0 behind the main host bridge, and any number of peer
 * root buses, each behind a host bridge of its own that owns the bus numbers
 * from its root bus's number up to the next root bus's number less one (a
 * server's second host bridge; a chipset's bus 0xff of uncore functions).
 * No PCI-to-PCI bridge leads to a peer root bus: the chipset routes the
 * cycles of its numbers to its host bridge.
 *
 * Routing of a configuration cycle for bus N:
 *   the root bus R with the highest number R <= N takes it (bus 0 always
 *   exists); N == R: type 0 cycle on that root segment;
 *   otherwise, on each segment from that root down, the first bridge (in
 *   device, function order) with secondary != 0 and
 *   secondary <= N <= subordinate claims the cycle; at the bridge whose
 *   secondary == N it becomes a type 0 cycle on that bridge's segment.
 *   A bus no bridge claims is unreachable: reads give all ones, writes are
 *   dropped. An unnumbered bridge (secondary 0) forwards nothing.
 * Type 0 cycle: the function at (device, function) answers if it was added;
 * an absent function reads all ones.
 *
 * Mechanism #1:
 *   0xCF8, 32-bit accesses only: the configuration address register (read
 *     and write, kept as written). Narrower accesses to 0xCF8..0xCFB read
 *     all ones and their writes are dropped.
 *   0xCFC..0xCFF, any width: data; the port's low two bits select the byte
 *     lane within the double word that the address register selects (a byte
 *     write to 0xCFE writes byte 2, a word write to 0xCFE bytes 2 and 3).
 *     With bit 31 of the address register clear, reads give all ones and
 *     writes are dropped.
 *   Any other port reads all ones.
 *
 * Building a machine, as a test would:
 *
 *     sim::PciMachine m;
 *     m.AddFunction(m.Root(), 0, 0, sim::models::Intel440BX());
 *     auto *cb = m.AddFunction(m.Root(), 3, 0, sim::models::TI1420());
 *     auto *p2p = m.AddFunction(m.SecondarySegment(cb), 0, 0, sim::models::DEC21154());
 *     auto *vga = m.AddFunction(m.SecondarySegment(p2p), 2, 0, sim::models::GeForce2MX());
 *     m.SetBusNumbers(cb, 0, 1, 1);   // as the firmware left them
 *     m.Install();                    // READ_PORT_* / WRITE_PORT_* now reach m
 *     ...
 *     m.Find(1, 0, 0) == p2p;         // lookup as currently routed
 *     std::cout << m.Describe();      // the physical tree with current numbers
 *
 * The machine uninstalls itself from the stand-in when destroyed.
 */
#ifndef TOLMU_SIM_PCI_MACHINE_H
#define TOLMU_SIM_PCI_MACHINE_H

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pci_devices.h"
#include "pci_function.h"
#include "standin.h"

namespace sim {

constexpr uint16_t kConfigAddressPort = 0xCF8;
constexpr uint16_t kConfigDataPort = 0xCFC;

/* The configuration address mechanism #1 puts on the address port. */
constexpr uint32_t ConfigAddress(uint8_t bus, uint8_t device, uint8_t function, uint8_t offset)
{
    return 0x80000000u | static_cast<uint32_t>(bus) << 16 | static_cast<uint32_t>(device & 0x1F) << 11 |
           static_cast<uint32_t>(function & 0x07) << 8 | (offset & 0xFCu);
}

/* One physical bus segment. */
class PciSegment {
  public:
    /* The bridge in front of this segment; null for a root bus. */
    PciFunction *Bridge() const { return bridge_; }
    /* A root bus: its fixed bus number; -1 for a bridge's secondary bus. */
    int RootNumber() const { return rootNumber_; }
    bool IsRoot() const { return rootNumber_ >= 0; }
    /* The segment the bridge sits on; null for the root. */
    PciSegment *Parent() const { return bridge_ ? bridge_->Segment() : nullptr; }
    /* The function at (device, function), or null. */
    PciFunction *At(int device, int function) const;
    /* Every function on the segment, in device then function order. */
    std::vector<PciFunction *> Functions() const;

  private:
    friend class PciMachine;
    PciFunction *bridge_ = nullptr;
    int rootNumber_ = -1;
    std::array<std::array<std::unique_ptr<PciFunction>, 8>, 32> slots_;
};

class PciMachine : public standin::PortHandler {
  public:
    PciMachine();
    ~PciMachine() override;
    PciMachine(const PciMachine &) = delete;
    PciMachine &operator=(const PciMachine &) = delete;

    /* ---------------------------------------------------------- building */
    PciSegment *Root() { return root_; }
    /* The root bus with this number, made on first use (a peer host
     * bridge's bus when not 0). */
    PciSegment *RootBus(uint8_t number);
    /* Every root bus, by number. */
    std::vector<PciSegment *> Roots() const;
    /* Plug a function into a segment. A bridge model gets its secondary
     * segment at once. Throws std::invalid_argument when the slot is taken
     * or out of range. */
    PciFunction *AddFunction(PciSegment *segment, int device, int function, const DeviceModel &model);
    /* The segment behind a bridge; null for a function that is no bridge. */
    PciSegment *SecondarySegment(const PciFunction *bridge) const;
    /* Bus numbers as the firmware leaves them (written around the masks,
     * not logged). */
    void SetBusNumbers(PciFunction *bridge, uint8_t primary, uint8_t secondary, uint8_t subordinate);
    /* Firmware-style numbering: every bridge, depth first in device order,
     * gets primary = its bus, consecutive secondaries from 1, subordinate =
     * the last number below it. CardBus bridges are left unnumbered unless
     * includeCardBus. Returns the highest bus number handed out (0 if none). */
    uint8_t NumberBuses(bool includeCardBus = true);
    /* Power-on reset of every function (bus numbers go back to 0 too). */
    void ResetAll();

    /* ----------------------------------------------------- port handler */
    /* Make this machine the stand-in's port handler / stop being it. */
    void Install();
    void Uninstall();
    uint32_t PortRead(uint16_t port, int width) override;
    void PortWrite(uint16_t port, int width, uint32_t value) override;
    uint32_t AddressRegister() const { return address_; }
    void SetAddressRegister(uint32_t value) { address_ = value; }

    /* ------------------------------------------------ configuration cycles */
    /* A configuration cycle as the host bridge generates it: routed by the
     * bridges' current bus numbers, counted. width 1, 2 or 4 within one
     * double word. */
    uint32_t ConfigRead(uint8_t bus, uint8_t device, uint8_t function, uint8_t offset, int width);
    void ConfigWrite(uint8_t bus, uint8_t device, uint8_t function, uint8_t offset, int width, uint32_t value);
    uint64_t ConfigReads() const { return configReads_; }
    uint64_t ConfigWrites() const { return configWrites_; }
    uint64_t ConfigCycles() const { return configReads_ + configWrites_; }
    void ClearCounters() { configReads_ = configWrites_ = 0; }

    /* ----------------------------------------------------------- lookups */
    /* The segment a cycle for this bus number reaches now; null if none. */
    PciSegment *SegmentForBus(uint8_t bus) const;
    /* The function a cycle for (bus, device, function) reaches now, or null. */
    PciFunction *Find(uint8_t bus, uint8_t device, uint8_t function) const;
    /* The bus number by which a segment / function is reached now; -1 when
     * nothing routes to it. */
    int BusNumberOf(const PciSegment *segment) const;
    int BusNumberOf(const PciFunction *function) const;
    /* Physical tree walk, depth first: each function, then the segment
     * behind it if it is a bridge. depth is 0 on the root segment. */
    void Walk(const std::function<void(PciFunction *, int depth)> &visit) const;
    std::vector<PciFunction *> AllFunctions() const;
    /* One line per function, indented by depth:
     *   "00:03.0 104c:ac51 TI PCI1420 CardBus controller [00/01/04]"
     * with "--" for a bus that nothing routes to. */
    std::string Describe() const;

  private:
    void WalkSegment(PciSegment *segment, int depth, const std::function<void(PciFunction *, int)> &visit) const;
    uint8_t NumberSegment(PciSegment *segment, uint8_t bus, uint8_t next, bool includeCardBus);

    std::vector<std::unique_ptr<PciSegment>> segments_;
    PciSegment *root_;
    std::map<uint8_t, PciSegment *> roots_;
    uint32_t address_ = 0;
    uint64_t configReads_ = 0;
    uint64_t configWrites_ = 0;
};

} // namespace sim

#endif /* TOLMU_SIM_PCI_MACHINE_H */
