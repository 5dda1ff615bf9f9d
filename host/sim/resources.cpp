/*
 * resources.cpp - requirement and resource lists in pool memory, and first
 * fit arbitration inside the windows of a bus.
 */
#include "resources.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace sim {

/* ------------------------------------------------------------ building */

namespace {

IO_RESOURCE_DESCRIPTOR Blank(UCHAR type, UCHAR option)
{
    IO_RESOURCE_DESCRIPTOR d;
    memset(&d, 0, sizeof d);
    d.Option = option;
    d.Type = type;
    d.ShareDisposition = CmResourceShareDeviceExclusive;
    return d;
}

void SetRange(IO_RESOURCE_DESCRIPTOR &d, ULONG length, ULONG alignment, uint64_t min, uint64_t max)
{
    d.u.Generic.Length = length;
    d.u.Generic.Alignment = alignment;
    d.u.Generic.MinimumAddress.QuadPart = (LONGLONG)min;
    d.u.Generic.MaximumAddress.QuadPart = (LONGLONG)max;
}

} // namespace

RequirementsBuilder &RequirementsBuilder::Port(ULONG length, ULONG alignment, uint64_t min, uint64_t max,
                                               USHORT flags, UCHAR option)
{
    IO_RESOURCE_DESCRIPTOR d = Blank(CmResourceTypePort, option);
    d.Flags = flags;
    SetRange(d, length, alignment, min, max);
    descriptors_.push_back(d);
    return *this;
}

RequirementsBuilder &RequirementsBuilder::Memory(ULONG length, ULONG alignment, uint64_t min, uint64_t max,
                                                 USHORT flags, UCHAR option)
{
    IO_RESOURCE_DESCRIPTOR d = Blank(CmResourceTypeMemory, option);
    d.Flags = flags;
    SetRange(d, length, alignment, min, max);
    descriptors_.push_back(d);
    return *this;
}

RequirementsBuilder &RequirementsBuilder::Interrupt(ULONG minVector, ULONG maxVector, UCHAR option)
{
    IO_RESOURCE_DESCRIPTOR d = Blank(CmResourceTypeInterrupt, option);
    d.ShareDisposition = CmResourceShareShared;
    d.Flags = CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
    d.u.Interrupt.MinimumVector = minVector;
    d.u.Interrupt.MaximumVector = maxVector;
    descriptors_.push_back(d);
    return *this;
}

RequirementsBuilder &RequirementsBuilder::DevicePrivate(ULONG d0, ULONG d1, ULONG d2)
{
    IO_RESOURCE_DESCRIPTOR d = Blank(CmResourceTypeDevicePrivate, 0);
    d.u.DevicePrivate.Data[0] = d0;
    d.u.DevicePrivate.Data[1] = d1;
    d.u.DevicePrivate.Data[2] = d2;
    descriptors_.push_back(d);
    return *this;
}

RequirementsBuilder &RequirementsBuilder::Add(const IO_RESOURCE_DESCRIPTOR &descriptor)
{
    descriptors_.push_back(descriptor);
    return *this;
}

PIO_RESOURCE_REQUIREMENTS_LIST BuildRequirementsList(const std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>> &lists,
                                                     INTERFACE_TYPE interfaceType, ULONG busNumber, ULONG slotNumber,
                                                     POOL_TYPE pool)
{
    /* Header up to the first IO_RESOURCE_LIST, then each list: its header
     * (up to the descriptors) and its descriptors. */
    size_t size = offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List);
    for (const auto &l : lists)
        size += offsetof(IO_RESOURCE_LIST, Descriptors) + l.size() * sizeof(IO_RESOURCE_DESCRIPTOR);
    if (lists.empty())
        size += sizeof(IO_RESOURCE_LIST);
    auto *list = static_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(ExAllocatePoolWithTag(pool, size, kSimPoolTag));
    if (list == nullptr)
        return nullptr;
    memset(list, 0, size);
    list->ListSize = (ULONG)size;
    list->InterfaceType = interfaceType;
    list->BusNumber = busNumber;
    list->SlotNumber = slotNumber;
    list->AlternativeLists = (ULONG)lists.size();
    auto *cursor = reinterpret_cast<uint8_t *>(list->List);
    for (const auto &l : lists) {
        auto *alt = reinterpret_cast<PIO_RESOURCE_LIST>(cursor);
        alt->Version = 1;
        alt->Revision = 1;
        alt->Count = (ULONG)l.size();
        if (!l.empty())
            memcpy(alt->Descriptors, l.data(), l.size() * sizeof(IO_RESOURCE_DESCRIPTOR));
        cursor += offsetof(IO_RESOURCE_LIST, Descriptors) + l.size() * sizeof(IO_RESOURCE_DESCRIPTOR);
    }
    return list;
}

std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>> AlternativeLists(PIO_RESOURCE_REQUIREMENTS_LIST list)
{
    std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>> out;
    if (list == nullptr)
        return out;
    auto *cursor = reinterpret_cast<const uint8_t *>(list->List);
    for (ULONG i = 0; i < list->AlternativeLists; i++) {
        auto *alt = reinterpret_cast<const IO_RESOURCE_LIST *>(cursor);
        out.emplace_back(alt->Descriptors, alt->Descriptors + alt->Count);
        cursor += offsetof(IO_RESOURCE_LIST, Descriptors) + alt->Count * sizeof(IO_RESOURCE_DESCRIPTOR);
    }
    return out;
}

PCM_RESOURCE_LIST BuildCmList(const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> &partials,
                              INTERFACE_TYPE interfaceType, ULONG busNumber, POOL_TYPE pool)
{
    size_t size = offsetof(CM_RESOURCE_LIST, List) + offsetof(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList) +
                  offsetof(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors) +
                  std::max<size_t>(1, partials.size()) * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
    auto *list = static_cast<PCM_RESOURCE_LIST>(ExAllocatePoolWithTag(pool, size, kSimPoolTag));
    if (list == nullptr)
        return nullptr;
    memset(list, 0, size);
    list->Count = 1;
    list->List[0].InterfaceType = interfaceType;
    list->List[0].BusNumber = busNumber;
    list->List[0].PartialResourceList.Version = 1;
    list->List[0].PartialResourceList.Revision = 1;
    list->List[0].PartialResourceList.Count = (ULONG)partials.size();
    if (!partials.empty())
        memcpy(list->List[0].PartialResourceList.PartialDescriptors, partials.data(),
               partials.size() * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
    return list;
}

std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> Partials(PCM_RESOURCE_LIST list)
{
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> out;
    if (list == nullptr)
        return out;
    auto *full = list->List;
    for (ULONG i = 0; i < list->Count; i++) {
        const CM_PARTIAL_RESOURCE_LIST &p = full->PartialResourceList;
        out.insert(out.end(), p.PartialDescriptors, p.PartialDescriptors + p.Count);
        full = reinterpret_cast<PCM_FULL_RESOURCE_DESCRIPTOR>(const_cast<CM_PARTIAL_RESOURCE_DESCRIPTOR *>(
            p.PartialDescriptors + p.Count));
    }
    return out;
}

namespace {

CM_PARTIAL_RESOURCE_DESCRIPTOR CmBlank(UCHAR type)
{
    CM_PARTIAL_RESOURCE_DESCRIPTOR d;
    memset(&d, 0, sizeof d);
    d.Type = type;
    d.ShareDisposition = CmResourceShareDeviceExclusive;
    return d;
}

} // namespace

CM_PARTIAL_RESOURCE_DESCRIPTOR CmPort(uint64_t start, ULONG length, USHORT flags)
{
    CM_PARTIAL_RESOURCE_DESCRIPTOR d = CmBlank(CmResourceTypePort);
    d.Flags = flags;
    d.u.Port.Start.QuadPart = (LONGLONG)start;
    d.u.Port.Length = length;
    return d;
}

CM_PARTIAL_RESOURCE_DESCRIPTOR CmMemory(uint64_t start, ULONG length, USHORT flags)
{
    CM_PARTIAL_RESOURCE_DESCRIPTOR d = CmBlank(CmResourceTypeMemory);
    d.Flags = flags;
    d.u.Memory.Start.QuadPart = (LONGLONG)start;
    d.u.Memory.Length = length;
    return d;
}

CM_PARTIAL_RESOURCE_DESCRIPTOR CmInterrupt(ULONG vector)
{
    CM_PARTIAL_RESOURCE_DESCRIPTOR d = CmBlank(CmResourceTypeInterrupt);
    d.ShareDisposition = CmResourceShareShared;
    d.Flags = CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
    d.u.Interrupt.Level = vector;
    d.u.Interrupt.Vector = vector;
    d.u.Interrupt.Affinity = 0xFFFFFFFF;
    return d;
}

CM_PARTIAL_RESOURCE_DESCRIPTOR CmDevicePrivate(ULONG d0, ULONG d1, ULONG d2)
{
    CM_PARTIAL_RESOURCE_DESCRIPTOR d = CmBlank(CmResourceTypeDevicePrivate);
    d.u.DevicePrivate.Data[0] = d0;
    d.u.DevicePrivate.Data[1] = d1;
    d.u.DevicePrivate.Data[2] = d2;
    return d;
}

std::string Hex(uint64_t v)
{
    char buf[24];
    snprintf(buf, sizeof buf, "0x%llx", (unsigned long long)v);
    return buf;
}

std::string DescribeRequirements(const std::vector<IO_RESOURCE_DESCRIPTOR> &list)
{
    std::string text;
    char buf[160];
    for (size_t i = 0; i < list.size(); i++) {
        const IO_RESOURCE_DESCRIPTOR &d = list[i];
        const char *alt = (d.Option & IO_RESOURCE_ALTERNATIVE) ? " alt" : "";
        switch (d.Type) {
        case CmResourceTypePort:
        case CmResourceTypeMemory:
            snprintf(buf, sizeof buf, "[%zu]%s %s len 0x%x align 0x%x min 0x%llx max 0x%llx flags 0x%x\n", i, alt,
                     d.Type == CmResourceTypePort ? "io " : "mem", d.u.Generic.Length, d.u.Generic.Alignment,
                     (unsigned long long)d.u.Generic.MinimumAddress.QuadPart,
                     (unsigned long long)d.u.Generic.MaximumAddress.QuadPart, d.Flags);
            break;
        case CmResourceTypeInterrupt:
            snprintf(buf, sizeof buf, "[%zu]%s irq %u-%u\n", i, alt, d.u.Interrupt.MinimumVector,
                     d.u.Interrupt.MaximumVector);
            break;
        case CmResourceTypeDevicePrivate:
            snprintf(buf, sizeof buf, "[%zu] private %u %u %u\n", i, d.u.DevicePrivate.Data[0],
                     d.u.DevicePrivate.Data[1], d.u.DevicePrivate.Data[2]);
            break;
        default:
            snprintf(buf, sizeof buf, "[%zu]%s type 0x%x\n", i, alt, d.Type);
            break;
        }
        text += buf;
    }
    return text;
}

std::string DescribePartials(const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> &list)
{
    std::string text;
    char buf[128];
    for (size_t i = 0; i < list.size(); i++) {
        const CM_PARTIAL_RESOURCE_DESCRIPTOR &d = list[i];
        switch (d.Type) {
        case CmResourceTypePort:
        case CmResourceTypeMemory:
            snprintf(buf, sizeof buf, "[%zu] %s 0x%llx len 0x%x flags 0x%x\n", i,
                     d.Type == CmResourceTypePort ? "io " : "mem", (unsigned long long)d.u.Generic.Start.QuadPart,
                     d.u.Generic.Length, d.Flags);
            break;
        case CmResourceTypeInterrupt:
            snprintf(buf, sizeof buf, "[%zu] irq %u\n", i, d.u.Interrupt.Vector);
            break;
        case CmResourceTypeDevicePrivate:
            snprintf(buf, sizeof buf, "[%zu] private %u %u %u\n", i, d.u.DevicePrivate.Data[0],
                     d.u.DevicePrivate.Data[1], d.u.DevicePrivate.Data[2]);
            break;
        default:
            snprintf(buf, sizeof buf, "[%zu] type 0x%x\n", i, d.Type);
            break;
        }
        text += buf;
    }
    return text;
}

/* ---------------------------------------------------------- arbitration */

AddressSpace::AddressSpace(uint64_t base, uint64_t limit) : valid_(limit >= base), base_(base), limit_(limit) {}

std::optional<uint64_t> AddressSpace::Allocate(uint64_t length, uint64_t alignment, uint64_t min, uint64_t max)
{
    if (!valid_ || length == 0)
        return std::nullopt;
    if (alignment == 0)
        alignment = 1;
    uint64_t lo = std::max(base_, min);
    uint64_t hi = std::min(limit_, max);
    if (hi < lo)
        return std::nullopt;
    auto alignUp = [alignment](uint64_t v) { return (v + alignment - 1) / alignment * alignment; };
    uint64_t candidate = alignUp(lo);
    for (;;) {
        if (candidate < lo || candidate + length - 1 > hi || candidate + length - 1 < candidate)
            return std::nullopt;
        bool clash = false;
        for (const auto &u : used_) {
            if (candidate < u.first + u.second && u.first < candidate + length) {
                candidate = alignUp(u.first + u.second);
                clash = true;
                break;
            }
        }
        if (!clash)
            break;
    }
    used_.emplace_back(candidate, length);
    std::sort(used_.begin(), used_.end());
    return candidate;
}

bool AddressSpace::Reserve(uint64_t start, uint64_t length)
{
    if (!valid_ || length == 0 || start < base_ || start + length - 1 > limit_)
        return false;
    for (const auto &u : used_)
        if (start < u.first + u.second && u.first < start + length)
            return false;
    used_.emplace_back(start, length);
    std::sort(used_.begin(), used_.end());
    return true;
}

void AddressSpace::Release(uint64_t start)
{
    for (auto it = used_.begin(); it != used_.end(); ++it) {
        if (it->first == start) {
            used_.erase(it);
            return;
        }
    }
}

namespace {

/* Places one port or memory descriptor; the space it came from, or null. */
AddressSpace *Place(const IO_RESOURCE_DESCRIPTOR &d, BusSpaces &spaces, uint64_t *start)
{
    std::vector<AddressSpace *> order;
    if (d.Type == CmResourceTypePort) {
        order.push_back(&spaces.io);
    } else {
        if (d.Flags & CM_RESOURCE_MEMORY_PREFETCHABLE)
            order.push_back(&spaces.prefetch);
        order.push_back(&spaces.memory);
    }
    for (AddressSpace *space : order) {
        auto at = space->Allocate(d.u.Generic.Length, d.u.Generic.Alignment,
                                  (uint64_t)d.u.Generic.MinimumAddress.QuadPart,
                                  (uint64_t)d.u.Generic.MaximumAddress.QuadPart);
        if (at) {
            *start = *at;
            return space;
        }
    }
    if (spaces.passThrough != nullptr)
        return Place(d, *spaces.passThrough, start);
    return nullptr;
}

/* One entry of an assignment: a device-private descriptor copied as it is,
 * or a group (a descriptor and the alternatives right after it). */
struct Slot {
    size_t first, end; /* descriptors [first, end) */
    bool isPrivate;
};

std::vector<Slot> Slots(const std::vector<IO_RESOURCE_DESCRIPTOR> &list)
{
    std::vector<Slot> slots;
    size_t i = 0;
    while (i < list.size()) {
        if (list[i].Type == CmResourceTypeDevicePrivate) {
            slots.push_back(Slot{i, i + 1, true});
            i++;
            continue;
        }
        size_t end = i + 1;
        while (end < list.size() && (list[end].Option & IO_RESOURCE_ALTERNATIVE) &&
               list[end].Type != CmResourceTypeDevicePrivate)
            end++;
        slots.push_back(Slot{i, end, false});
        i = end;
    }
    return slots;
}

/* Places the first member of a group that fits; false when none does. */
bool PlaceSlot(const std::vector<IO_RESOURCE_DESCRIPTOR> &list, const Slot &slot, BusSpaces &spaces,
               CM_PARTIAL_RESOURCE_DESCRIPTOR *out, Assignment &a)
{
    if (slot.isPrivate) {
        const IO_RESOURCE_DESCRIPTOR &p = list[slot.first];
        *out = CmDevicePrivate(p.u.DevicePrivate.Data[0], p.u.DevicePrivate.Data[1], p.u.DevicePrivate.Data[2]);
        return true;
    }
    for (size_t k = slot.first; k < slot.end; k++) {
        const IO_RESOURCE_DESCRIPTOR &d = list[k];
        if (d.Type == CmResourceTypePort || d.Type == CmResourceTypeMemory) {
            if (d.u.Generic.Length == 0) {
                *out = d.Type == CmResourceTypePort ? CmPort(0, 0, d.Flags) : CmMemory(0, 0, d.Flags);
                return true;
            }
            uint64_t start = 0;
            AddressSpace *from = Place(d, spaces, &start);
            if (from != nullptr) {
                a.taken.emplace_back(from, start);
                *out = d.Type == CmResourceTypePort ? CmPort(start, d.u.Port.Length, d.Flags)
                                                    : CmMemory(start, d.u.Memory.Length, d.Flags);
                return true;
            }
        } else if (d.Type == CmResourceTypeInterrupt) {
            if (d.u.Interrupt.MinimumVector <= d.u.Interrupt.MaximumVector) {
                *out = CmInterrupt(d.u.Interrupt.MinimumVector);
                return true;
            }
        } else {
            /* Kinds the simulated arbiters do not handle take nothing. */
            memset(out, 0, sizeof *out);
            out->Type = CmResourceTypeNull;
            return true;
        }
    }
    return false;
}

/* One alternative list in list order; nullopt (nothing kept) when a group
 * fits nowhere. */
std::optional<Assignment> TryList(const std::vector<IO_RESOURCE_DESCRIPTOR> &list, BusSpaces &spaces)
{
    Assignment a;
    for (const Slot &slot : Slots(list)) {
        CM_PARTIAL_RESOURCE_DESCRIPTOR out;
        if (!PlaceSlot(list, slot, spaces, &out, a)) {
            ReleaseAssignment(a);
            return std::nullopt;
        }
        if (out.Type != CmResourceTypeNull)
            a.partials.push_back(out);
    }
    return a;
}

} // namespace

std::optional<Assignment> Arbitrate(const std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>> &lists, BusSpaces &spaces)
{
    for (size_t n = 0; n < lists.size(); n++) {
        auto a = TryList(lists[n], spaces);
        if (a) {
            a->alternativeList = (int)n;
            return a;
        }
    }
    return std::nullopt;
}

std::optional<Assignment> Arbitrate(PIO_RESOURCE_REQUIREMENTS_LIST list, BusSpaces &spaces)
{
    if (list == nullptr) {
        Assignment empty;
        empty.alternativeList = 0;
        return empty;
    }
    return Arbitrate(AlternativeLists(list), spaces);
}

std::vector<std::optional<Assignment>> ArbitrateSet(
    const std::vector<const std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>> *> &members, BusSpaces &spaces)
{
    struct Pending {
        size_t member;
        size_t slot;
        uint64_t alignment;
        uint64_t length;
    };
    std::vector<std::optional<Assignment>> result(members.size());
    std::vector<std::vector<Slot>> slots(members.size());
    std::vector<std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>> outs(members.size());
    std::vector<bool> failed(members.size(), false);
    std::vector<Pending> order;

    for (size_t m = 0; m < members.size(); m++) {
        result[m] = Assignment();
        result[m]->alternativeList = 0;
        if (members[m] == nullptr || members[m]->empty())
            continue;
        const auto &list = (*members[m])[0];
        slots[m] = Slots(list);
        outs[m].resize(slots[m].size());
        for (size_t k = 0; k < slots[m].size(); k++) {
            const IO_RESOURCE_DESCRIPTOR &d = list[slots[m][k].first];
            bool range = !slots[m][k].isPrivate && (d.Type == CmResourceTypePort || d.Type == CmResourceTypeMemory);
            order.push_back(Pending{m, k, range ? std::max<uint64_t>(1, d.u.Generic.Alignment) : 0,
                                    range ? d.u.Generic.Length : 0});
        }
    }
    /* The most constrained ranges first; ties keep device order. */
    std::stable_sort(order.begin(), order.end(), [](const Pending &x, const Pending &y) {
        if (x.alignment != y.alignment)
            return x.alignment > y.alignment;
        return x.length > y.length;
    });
    for (const Pending &p : order) {
        if (failed[p.member])
            continue;
        const auto &list = (*members[p.member])[0];
        if (!PlaceSlot(list, slots[p.member][p.slot], spaces, &outs[p.member][p.slot], *result[p.member])) {
            failed[p.member] = true;
            ReleaseAssignment(*result[p.member]);
        }
    }
    for (size_t m = 0; m < members.size(); m++) {
        if (failed[m]) {
            result[m].reset();
            /* The device's other alternative lists, alone. */
            if (members[m]->size() > 1) {
                std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>> rest(members[m]->begin() + 1, members[m]->end());
                result[m] = Arbitrate(rest, spaces);
                if (result[m])
                    result[m]->alternativeList += 1;
            }
            continue;
        }
        for (const auto &out : outs[m])
            if (out.Type != CmResourceTypeNull)
                result[m]->partials.push_back(out);
    }
    return result;
}

void ReleaseAssignment(Assignment &assignment)
{
    for (auto &t : assignment.taken)
        t.first->Release(t.second);
    assignment.taken.clear();
}

} // namespace sim
