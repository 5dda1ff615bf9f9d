/*
 * pci_machine.cpp - the simulated PCI hierarchy: physical segments, routing
 * of configuration cycles by the bridges' bus number registers, and
 * configuration mechanism #1 on the I/O ports.
 */
#include "pci_machine.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace sim {

static uint32_t AllOnes(int width)
{
    return width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1;
}

/* -------------------------------------------------------------- segment */

PciFunction *PciSegment::At(int device, int function) const
{
    if (device < 0 || device > 31 || function < 0 || function > 7)
        return nullptr;
    return slots_[device][function].get();
}

std::vector<PciFunction *> PciSegment::Functions() const
{
    std::vector<PciFunction *> all;
    for (const auto &device : slots_)
        for (const auto &function : device)
            if (function)
                all.push_back(function.get());
    return all;
}

/* -------------------------------------------------------------- building */

PciMachine::PciMachine()
{
    segments_.push_back(std::make_unique<PciSegment>());
    root_ = segments_.back().get();
    root_->rootNumber_ = 0;
    roots_[0] = root_;
}

PciSegment *PciMachine::RootBus(uint8_t number)
{
    auto it = roots_.find(number);
    if (it != roots_.end())
        return it->second;
    segments_.push_back(std::make_unique<PciSegment>());
    PciSegment *root = segments_.back().get();
    root->rootNumber_ = number;
    roots_[number] = root;
    return root;
}

std::vector<PciSegment *> PciMachine::Roots() const
{
    std::vector<PciSegment *> out;
    for (const auto &r : roots_)
        out.push_back(r.second);
    return out;
}

PciMachine::~PciMachine()
{
    Uninstall();
}

PciFunction *PciMachine::AddFunction(PciSegment *segment, int device, int function, const DeviceModel &model)
{
    if (segment == nullptr)
        throw std::invalid_argument("AddFunction: no segment");
    if (device < 0 || device > 31 || function < 0 || function > 7)
        throw std::invalid_argument("AddFunction: device or function number out of range");
    if (segment->slots_[device][function])
        throw std::invalid_argument("AddFunction: slot already taken");

    auto owned = std::make_unique<PciFunction>(model);
    PciFunction *f = owned.get();
    f->segment_ = segment;
    f->device_ = device;
    f->function_ = function;
    segment->slots_[device][function] = std::move(owned);

    if (f->IsBridge()) {
        segments_.push_back(std::make_unique<PciSegment>());
        segments_.back()->bridge_ = f;
        f->secondary_ = segments_.back().get();
    }
    return f;
}

PciSegment *PciMachine::SecondarySegment(const PciFunction *bridge) const
{
    return bridge ? bridge->Secondary() : nullptr;
}

void PciMachine::SetBusNumbers(PciFunction *bridge, uint8_t primary, uint8_t secondary, uint8_t subordinate)
{
    bridge->Poke8(CFG8_BRIDGE_PRIMARY_BUS, primary);
    bridge->Poke8(CFG8_BRIDGE_SECONDARY_BUS, secondary);
    bridge->Poke8(CFG8_BRIDGE_SUBORDINATE_BUS, subordinate);
}

uint8_t PciMachine::NumberSegment(PciSegment *segment, uint8_t bus, uint8_t next, bool includeCardBus)
{
    for (PciFunction *f : segment->Functions()) {
        if (!f->IsBridge())
            continue;
        if (f->HeaderLayout() == kHeaderCardBusBridge && !includeCardBus)
            continue;
        uint8_t secondary = next++;
        SetBusNumbers(f, bus, secondary, 0xFF);
        next = NumberSegment(f->Secondary(), secondary, next, includeCardBus);
        f->Poke8(CFG8_BRIDGE_SUBORDINATE_BUS, static_cast<uint8_t>(next - 1));
    }
    return next;
}

uint8_t PciMachine::NumberBuses(bool includeCardBus)
{
    /* Each root bus numbers upwards from its own number; a peer root's
     * numbers end where the next root's begin. */
    uint8_t highest = 0;
    for (const auto &r : roots_) {
        if (r.first == 0xFF)
            continue;
        uint8_t last = static_cast<uint8_t>(NumberSegment(r.second, r.first, static_cast<uint8_t>(r.first + 1),
                                                          includeCardBus) - 1);
        if (last > r.first)
            highest = std::max(highest, last);
    }
    return highest;
}

void PciMachine::ResetAll()
{
    for (PciFunction *f : AllFunctions())
        f->Reset();
}

/* -------------------------------------------------------------- routing */

PciSegment *PciMachine::SegmentForBus(uint8_t bus) const
{
    /* The host bridge whose bus numbers hold the cycle's takes it. */
    auto owner = roots_.upper_bound(bus);
    --owner;
    if (owner->first == bus)
        return owner->second;
    PciSegment *segment = owner->second;
    for (;;) {
        /* In device then function order, as Functions() lists them; walked
         * in place, since every configuration cycle comes through here once
         * per bridge level. */
        PciFunction *claimer = nullptr;
        for (const auto &device : segment->slots_) {
            for (const auto &slot : device) {
                PciFunction *f = slot.get();
                if (f == nullptr || !f->IsBridge() || f->Secondary() == nullptr)
                    continue;
                uint8_t secondary = f->SecondaryBus();
                uint8_t subordinate = f->SubordinateBus();
                if (secondary != 0 && secondary <= bus && bus <= subordinate) {
                    claimer = f;
                    break;
                }
            }
            if (claimer != nullptr)
                break;
        }
        if (claimer == nullptr)
            return nullptr;
        if (claimer->SecondaryBus() == bus)
            return claimer->Secondary();
        segment = claimer->Secondary();
    }
}

PciFunction *PciMachine::Find(uint8_t bus, uint8_t device, uint8_t function) const
{
    PciSegment *segment = SegmentForBus(bus);
    return segment ? segment->At(device & 0x1F, function & 0x07) : nullptr;
}

int PciMachine::BusNumberOf(const PciSegment *segment) const
{
    if (segment != nullptr && segment->IsRoot())
        return segment->RootNumber();
    if (segment == nullptr || segment->Bridge() == nullptr)
        return -1;
    uint8_t bus = segment->Bridge()->SecondaryBus();
    return bus != 0 && SegmentForBus(bus) == segment ? bus : -1;
}

int PciMachine::BusNumberOf(const PciFunction *function) const
{
    return function ? BusNumberOf(function->Segment()) : -1;
}

/* ------------------------------------------------- configuration cycles */

uint32_t PciMachine::ConfigRead(uint8_t bus, uint8_t device, uint8_t function, uint8_t offset, int width)
{
    configReads_++;
    PciFunction *f = Find(bus, device, function);
    return f != nullptr && f->Present() ? f->ConfigRead(offset, width) : AllOnes(width);
}

void PciMachine::ConfigWrite(uint8_t bus, uint8_t device, uint8_t function, uint8_t offset, int width, uint32_t value)
{
    configWrites_++;
    PciFunction *f = Find(bus, device, function);
    if (f != nullptr && f->Present())
        f->ConfigWrite(offset, width, value);
}

/* ---------------------------------------------------------- mechanism #1 */

void PciMachine::Install()
{
    standin::SetPortHandler(this);
}

void PciMachine::Uninstall()
{
    if (standin::GetPortHandler() == this)
        standin::SetPortHandler(nullptr);
}

uint32_t PciMachine::PortRead(uint16_t port, int width)
{
    if (port == kConfigAddressPort && width == 4)
        return address_;
    if (port < kConfigDataPort || port > kConfigDataPort + 3 || !(address_ & 0x80000000u))
        return AllOnes(width);

    /* Only the lanes of the selected double word take part; a lane past
     * its end reads as all ones. */
    int lane = port - kConfigDataPort;
    int bytes = std::min(width, 4 - lane);
    uint8_t bus = static_cast<uint8_t>(address_ >> 16);
    uint8_t device = (address_ >> 11) & 0x1F;
    uint8_t function = (address_ >> 8) & 0x07;
    uint8_t offset = static_cast<uint8_t>((address_ & 0xFC) + lane);
    uint32_t value = ConfigRead(bus, device, function, offset, bytes);
    return (value | (AllOnes(width) & ~AllOnes(bytes))) & AllOnes(width);
}

void PciMachine::PortWrite(uint16_t port, int width, uint32_t value)
{
    if (port == kConfigAddressPort && width == 4) {
        address_ = value;
        return;
    }
    if (port < kConfigDataPort || port > kConfigDataPort + 3 || !(address_ & 0x80000000u))
        return;

    int lane = port - kConfigDataPort;
    int bytes = std::min(width, 4 - lane);
    uint8_t bus = static_cast<uint8_t>(address_ >> 16);
    uint8_t device = (address_ >> 11) & 0x1F;
    uint8_t function = (address_ >> 8) & 0x07;
    uint8_t offset = static_cast<uint8_t>((address_ & 0xFC) + lane);
    ConfigWrite(bus, device, function, offset, bytes, value & AllOnes(bytes));
}

/* ----------------------------------------------------------- tree walk */

void PciMachine::WalkSegment(PciSegment *segment, int depth,
                             const std::function<void(PciFunction *, int)> &visit) const
{
    for (PciFunction *f : segment->Functions()) {
        visit(f, depth);
        if (f->Secondary())
            WalkSegment(f->Secondary(), depth + 1, visit);
    }
}

void PciMachine::Walk(const std::function<void(PciFunction *, int depth)> &visit) const
{
    for (const auto &r : roots_)
        WalkSegment(r.second, 0, visit);
}

std::vector<PciFunction *> PciMachine::AllFunctions() const
{
    std::vector<PciFunction *> all;
    Walk([&all](PciFunction *f, int) { all.push_back(f); });
    return all;
}

std::string PciMachine::Describe() const
{
    std::string text;
    Walk([this, &text](PciFunction *f, int depth) {
        int bus = BusNumberOf(f);
        char location[32];
        if (bus >= 0)
            std::snprintf(location, sizeof location, "%02x:%02x.%d", bus, f->DeviceNumber(), f->FunctionNumber());
        else
            std::snprintf(location, sizeof location, "--:%02x.%d", f->DeviceNumber(), f->FunctionNumber());
        text += std::string(2 * depth, ' ') + location + " " + f->Describe();
        if (f->IsBridge()) {
            char numbers[32];
            std::snprintf(numbers, sizeof numbers, " [%02x/%02x/%02x]", f->PrimaryBus(), f->SecondaryBus(),
                          f->SubordinateBus());
            text += numbers;
        }
        text += "\n";
    });
    return text;
}

} // namespace sim
