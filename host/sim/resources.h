/*
 * resources.h - resource lists as the simulated operating system handles
 * them: building IO_RESOURCE_REQUIREMENTS_LISTs and CM_RESOURCE_LISTs in
 * pool memory, reading them back as plain vectors, and arbitration of a
 * requirements list inside the windows of the parent bus.
 *
 * Lists handed to drivers or received from them live in pool memory
 * (ExAllocatePoolWithTag), because the drivers free and replace them: the
 * PCI bus driver allocates the requirements list, a filter may free it and
 * hand back a new one, and the PnP manager frees whatever comes back.
 *
 * Arbitration (what the PnP manager's arbiters do, reduced to first fit):
 *   - the descriptors of one alternative list are taken in order; a
 *     descriptor that is not marked IO_RESOURCE_ALTERNATIVE opens a group,
 *     the alternatives after it belong to that group, and the first member
 *     of a group that fits is taken;
 *   - a port descriptor is placed in the parent's I/O space, a memory
 *     descriptor in its memory space; a prefetchable memory descriptor tries
 *     the parent's prefetchable space first, then its memory space;
 *   - placement honours length, alignment (0 counts as 1), minimum and
 *     maximum address; a zero length takes nothing and is assigned at 0;
 *   - an interrupt descriptor gets its minimum vector (interrupts are
 *     shared, level-sensitive PCI interrupts);
 *   - device-private descriptors are copied into the assignment as
 *     CmResourceTypeDevicePrivate with their three data words, so the bus
 *     driver can tell which window or BAR each range belongs to;
 *   - when a group fits nowhere the whole alternative list fails and the
 *     next alternative list is tried (devices placed together: see
 *     ArbitrateSet); when none fits the device gets
 *     nothing (on Windows: "This device cannot find enough free resources
 *     that it can use", Code 12).
 */
#ifndef TOLMU_SIM_RESOURCES_H
#define TOLMU_SIM_RESOURCES_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ntddk_host.h"

namespace sim {

/* Pool tag of the lists the simulated OS allocates ("PnPM"). */
constexpr ULONG kSimPoolTag = 0x4D506E50;

/* ------------------------------------------------------------ building */

/* One alternative list, descriptor by descriptor. */
class RequirementsBuilder {
  public:
    RequirementsBuilder &Port(ULONG length, ULONG alignment, uint64_t min, uint64_t max,
                              USHORT flags = CM_RESOURCE_PORT_IO | CM_RESOURCE_PORT_16_BIT_DECODE, UCHAR option = 0);
    RequirementsBuilder &Memory(ULONG length, ULONG alignment, uint64_t min, uint64_t max, USHORT flags = 0,
                                UCHAR option = 0);
    RequirementsBuilder &Interrupt(ULONG minVector, ULONG maxVector, UCHAR option = 0);
    RequirementsBuilder &DevicePrivate(ULONG d0, ULONG d1, ULONG d2);
    RequirementsBuilder &Add(const IO_RESOURCE_DESCRIPTOR &descriptor);
    const std::vector<IO_RESOURCE_DESCRIPTOR> &Descriptors() const { return descriptors_; }
    bool Empty() const { return descriptors_.empty(); }

  private:
    std::vector<IO_RESOURCE_DESCRIPTOR> descriptors_;
};

/* A requirements list in pool memory with these alternative lists. */
PIO_RESOURCE_REQUIREMENTS_LIST BuildRequirementsList(const std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>> &lists,
                                                     INTERFACE_TYPE interfaceType, ULONG busNumber, ULONG slotNumber,
                                                     POOL_TYPE pool = PagedPool);
/* Every alternative list of a requirements list (empty for null). */
std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>> AlternativeLists(PIO_RESOURCE_REQUIREMENTS_LIST list);

/* A CM_RESOURCE_LIST in pool memory with one full descriptor. */
PCM_RESOURCE_LIST BuildCmList(const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> &partials,
                              INTERFACE_TYPE interfaceType, ULONG busNumber, POOL_TYPE pool = PagedPool);
/* Every partial descriptor of every full descriptor (empty for null). */
std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> Partials(PCM_RESOURCE_LIST list);

CM_PARTIAL_RESOURCE_DESCRIPTOR CmPort(uint64_t start, ULONG length, USHORT flags = CM_RESOURCE_PORT_IO);
CM_PARTIAL_RESOURCE_DESCRIPTOR CmMemory(uint64_t start, ULONG length, USHORT flags = 0);
CM_PARTIAL_RESOURCE_DESCRIPTOR CmInterrupt(ULONG vector);
CM_PARTIAL_RESOURCE_DESCRIPTOR CmDevicePrivate(ULONG d0, ULONG d1, ULONG d2);

/* One line per descriptor, for failure messages and the device tree. */
// A number as the findings and descriptions print it: 0x and lower-case hex.
std::string Hex(uint64_t v);
std::string DescribeRequirements(const std::vector<IO_RESOURCE_DESCRIPTOR> &list);
std::string DescribePartials(const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> &list);

/* ---------------------------------------------------------- arbitration */

/* The free part of one window: [base, limit], with what was handed out. */
class AddressSpace {
  public:
    AddressSpace() = default;
    AddressSpace(uint64_t base, uint64_t limit);

    bool Valid() const { return valid_; }
    uint64_t Base() const { return base_; }
    uint64_t Limit() const { return limit_; }
    /* The lowest start that fits: aligned, inside [min, max] and inside the
     * window, clear of everything handed out. Taken when found. */
    std::optional<uint64_t> Allocate(uint64_t length, uint64_t alignment, uint64_t min, uint64_t max);
    /* Hand out a given range; false when it is outside or taken. */
    bool Reserve(uint64_t start, uint64_t length);
    void Release(uint64_t start);
    void ReleaseAll() { used_.clear(); }
    size_t UsedCount() const { return used_.size(); }

  private:
    bool valid_ = false;
    uint64_t base_ = 0;
    uint64_t limit_ = 0;
    std::vector<std::pair<uint64_t, uint64_t>> used_; /* start, length; sorted by start */
};

/* The windows a bus offers its devices. A space that is not Valid() offers
 * nothing; a prefetchable request falls back to memory. Behind a
 * subtractive-decode bridge, what the bridge's own windows cannot hold is
 * taken from the bus in front of it (passThrough): the bridge forwards every
 * address that nothing on its primary bus claims. */
struct BusSpaces {
    AddressSpace io;
    AddressSpace memory;
    AddressSpace prefetch;
    BusSpaces *passThrough = nullptr;
};

struct Assignment {
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> partials; /* in requirement order */
    int alternativeList = -1;                             /* which list was used */
    /* Where each port or memory range came from, to give it back. */
    std::vector<std::pair<AddressSpace *, uint64_t>> taken;
};

/* Places the first alternative list that fits entirely; nullopt when none
 * does (nothing stays taken then). */
std::optional<Assignment> Arbitrate(PIO_RESOURCE_REQUIREMENTS_LIST list, BusSpaces &spaces);
std::optional<Assignment> Arbitrate(const std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>> &lists,
                                    BusSpaces &spaces);
/* Places the devices a bus reports together, as the arbiters do for a set
 * of new devices: of every device's first alternative list, the ranges with
 * the largest alignment go first (then the longest), so a bridge window is
 * not crowded out by a small BAR placed before it. Each device gets all of
 * its list or nothing; one that fails tries its other alternative lists
 * alone afterwards. One result per member, nullopt for a device that fits
 * nowhere. */
std::vector<std::optional<Assignment>> ArbitrateSet(
    const std::vector<const std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>> *> &members, BusSpaces &spaces);
/* Gives an assignment's ranges back to the spaces they came from. */
void ReleaseAssignment(Assignment &assignment);

} // namespace sim

#endif /* TOLMU_SIM_RESOURCES_H */
