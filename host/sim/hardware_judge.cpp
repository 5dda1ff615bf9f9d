/*
 * hardware_judge.cpp - the judge of the simulated PC's hardware state: bus
 * number routing, what each function positively decodes, what each bridge
 * forwards, and the started functions that cannot be reached. What each
 * function decodes, and the address-set arithmetic, are in
 * hardware_decode.cpp.
 */
#include "hardware_judge.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "hardware_decode.h"
#include "pci_bus_driver.h"

namespace sim {

const char *const kRuleBusClaimedTwice = "BUS_NUMBER_CLAIMED_TWICE";
const char *const kRuleBridgeRangeOutsideParent = "BRIDGE_RANGE_OUTSIDE_PARENT";
const char *const kRuleDecodeConflict = "DECODE_CONFLICT";
const char *const kRuleBarUnreachable = "BAR_UNREACHABLE";
const char *const kRuleConfigUnreachable = "CONFIG_UNREACHABLE";

bool IsHardwareRule(const std::string &rule)
{
    for (const char *r : {kRuleBusClaimedTwice, kRuleBridgeRangeOutsideParent, kRuleDecodeConflict,
                          kRuleBarUnreachable, kRuleConfigUnreachable})
        if (rule == r)
            return true;
    return false;
}

using namespace decode;

namespace {

constexpr uint64_t kProcessorIoLimit = 0xFFFF;

const char *SpaceName(bool io) { return io ? "I/O" : "memory"; }

std::string Bus2(unsigned n)
{
    char buf[8];
    snprintf(buf, sizeof buf, "%02x", n & 0xFF);
    return buf;
}

/* "03-11", or "05" for a single number. */
std::string BusRun(unsigned lo, unsigned hi) { return lo == hi ? Bus2(lo) : Bus2(lo) + "-" + Bus2(hi); }
std::string BusesText(unsigned lo, unsigned hi) { return (lo == hi ? "bus " : "buses ") + BusRun(lo, hi); }
std::string RangeOf(const PciFunction *b) { return "[" + Bus2(b->SecondaryBus()) + "-" + Bus2(b->SubordinateBus()) + "]"; }

/* The judge's working state for one call. */
class Judge {
  public:
    Judge(const PciMachine &machine, const JudgeOptions &options) : machine_(machine), options_(options)
    {
        for (PciSegment *r : machine.Roots())
            segments_.push_back(r);
        for (PciFunction *f : machine.AllFunctions()) {
            functions_.push_back(f);
            if (f->Secondary() != nullptr)
                segments_.push_back(f->Secondary());
        }
    }

    std::vector<Violation> Run()
    {
        BusNumbers();
        Decoding();
        Reachability();
        return std::move(out_);
    }

  private:
    bool Present(const PciFunction *f) const { return !options_.present || options_.present(f); }
    bool Started(const PciFunction *f) const { return options_.started && options_.started(f); }
    std::string Where(const PciFunction *f) const { return FunctionLocation(machine_, f); }

    void Add(Violation v)
    {
        if (seen_.insert(v.rule + "\n" + v.detail).second)
            out_.push_back(std::move(v));
    }

    const std::vector<Claim> &Claims(const PciFunction *f)
    {
        auto it = claims_.find(f);
        if (it == claims_.end())
            it = claims_.emplace(f, Present(f) ? ClaimsOf(f) : std::vector<Claim>()).first;
        return it->second;
    }

    /* A bridge that configuration cycles reach and that has a secondary bus
     * number: the only kind that routes anything. */
    bool Routing(const PciFunction *f) const
    {
        return f->IsBridge() && f->Secondary() != nullptr && Present(f) && f->SecondaryBus() != 0 &&
               f->SecondaryBus() <= f->SubordinateBus() && machine_.BusNumberOf(f) >= 0;
    }

    static bool Above(const PciFunction *a, const PciFunction *b)
    {
        for (const PciSegment *s = b->Segment(); s != nullptr; s = s->Parent())
            if (s->Bridge() == a)
                return true;
        return false;
    }

    static const PciSegment *RootOf(const PciFunction *f)
    {
        const PciSegment *s = f->Segment();
        while (!s->IsRoot())
            s = s->Parent();
        return s;
    }

    /* ------------------------------------------------------- bus numbers */
    void BusNumbers()
    {
        std::vector<const PciFunction *> routing;
        for (const PciFunction *f : functions_)
            if (Routing(f))
                routing.push_back(f);
        std::vector<PciSegment *> roots = machine_.Roots();

        for (size_t i = 0; i < routing.size(); i++) {
            const PciFunction *a = routing[i];
            for (size_t k = i + 1; k < routing.size(); k++) {
                const PciFunction *b = routing[k];
                if (Above(a, b) || Above(b, a))
                    continue;
                unsigned lo = std::max(a->SecondaryBus(), b->SecondaryBus());
                unsigned hi = std::min(a->SubordinateBus(), b->SubordinateBus());
                if (lo > hi)
                    continue;
                Violation v;
                v.rule = kRuleBusClaimedTwice;
                v.detail = BusesText(lo, hi) + (lo == hi ? " is" : " are") + " routed by both " + Where(a) + " " +
                           RangeOf(a) + " and " + Where(b) + " " + RangeOf(b) +
                           ": a configuration cycle for them reaches only the first";
                v.functions = {a, b};
                v.views = {BusesText(lo, hi) + " also claimed by " + Where(b),
                           BusesText(lo, hi) + " also claimed by " + Where(a)};
                Add(v);
            }

            /* A peer root bus's number belongs to its host bridge. */
            const PciSegment *own = RootOf(a);
            bool coversRoot = false;
            for (const PciSegment *r : roots) {
                unsigned n = unsigned(r->RootNumber());
                if (r == own || n < a->SecondaryBus() || n > a->SubordinateBus())
                    continue;
                coversRoot = true;
                Violation v;
                v.rule = kRuleBusClaimedTwice;
                v.detail = Where(a) + " " + RangeOf(a) + " routes bus " + Bus2(n) +
                           ", the number of a peer root bus (its host bridge takes those cycles)";
                v.functions = {a};
                v.views = {"bus " + Bus2(n) + " is a peer root bus's number"};
                Add(v);
            }

            /* Inside the range in front of it. */
            const PciFunction *parent = a->Segment()->Bridge();
            if (parent != nullptr) {
                if (a->SecondaryBus() > parent->SecondaryBus() && a->SubordinateBus() <= parent->SubordinateBus())
                    continue;
                Violation v;
                v.rule = kRuleBridgeRangeOutsideParent;
                v.detail = Where(a) + " " + RangeOf(a) + " is not inside the range of the bridge in front of it, " +
                           Where(parent) + " " + RangeOf(parent) + "; " + Where(parent) +
                           " does not pass on cycles for the numbers outside";
                v.functions = {a, parent};
                v.views = {"buses " + RangeOf(a) + " outside " + Where(parent) + "'s " + RangeOf(parent), ""};
                Add(v);
            } else if (!coversRoot) {
                unsigned own_number = unsigned(own->RootNumber()), end = 0xFF;
                for (const PciSegment *r : roots)
                    if (unsigned(r->RootNumber()) > own_number)
                        end = std::min(end, unsigned(r->RootNumber()) - 1);
                if (a->SecondaryBus() > own_number && a->SubordinateBus() <= end)
                    continue;
                Violation v;
                v.rule = kRuleBridgeRangeOutsideParent;
                v.detail = Where(a) + " " + RangeOf(a) + " is not inside the numbers of root bus " + Bus2(own_number) +
                           " [" + BusRun(own_number + 1 > end ? end : own_number + 1, end) + "]";
                v.functions = {a};
                v.views = {"buses " + RangeOf(a) + " outside root bus " + Bus2(own_number) + "'s numbers"};
                Add(v);
            }
        }
    }

    /* ---------------------------------------------------------- decoding */
    std::string SegmentText(const PciSegment *s) const
    {
        int n = machine_.BusNumberOf(s);
        if (n >= 0)
            return "bus " + Bus2(unsigned(n));
        return "the bus behind " + Where(s->Bridge());
    }

    void Decoding()
    {
        for (const PciSegment *s : segments_) {
            std::vector<const PciFunction *> here;
            for (const PciFunction *f : s->Functions())
                if (Present(f))
                    here.push_back(f);
            for (size_t i = 0; i < here.size(); i++)
                for (size_t k = i + 1; k < here.size(); k++)
                    for (const Claim &a : Claims(here[i]))
                        for (const Claim &b : Claims(here[k])) {
                            if (a.io != b.io || (a.alias && b.forwards) || (b.alias && a.forwards))
                                continue;
                            Spans both = Intersect(a.spans, b.spans);
                            if (both.empty())
                                continue;
                            std::string range = std::string(SpaceName(a.io)) + " " + SpansText(both);
                            Violation v;
                            v.rule = kRuleDecodeConflict;
                            v.detail = SegmentText(s) + ": " + range + " decoded by both " + Where(here[i]) + " (" +
                                       a.shown + ") and " + Where(here[k]) + " (" + b.shown + ")";
                            v.functions = {here[i], here[k]};
                            v.views = {range + " also decoded by " + Where(here[k]),
                                       range + " also decoded by " + Where(here[i])};
                            Add(v);
                        }
        }
    }

    /* ------------------------------------------------------ reachability */
    /* What a bridge passes from its primary bus to its secondary bus. */
    Spans Forwarded(const PciFunction *bridge, bool io, bool *subtractive)
    {
        Spans fwd;
        *subtractive = false;
        if (!Present(bridge))
            return fwd;
        for (const Claim &c : Claims(bridge))
            if (c.forwards && c.io == io)
                fwd = Union(fwd, c.spans);
        uint16_t command = bridge->Peek16(CFG16_COMMAND);
        bool on = (command & (io ? CFG_COMMAND_IO : CFG_COMMAND_MEMORY)) != 0;
        if (on && PciBusDriver::Subtractive(bridge)) {
            /* Whatever nothing else on the primary bus claims. */
            *subtractive = true;
            Spans taken;
            for (const PciFunction *other : bridge->Segment()->Functions())
                if (other != bridge && Present(other))
                    for (const Claim &c : Claims(other))
                        if (c.io == io)
                            taken = Union(taken, c.spans);
            fwd = Union(fwd, Subtract({{0, io ? uint64_t(0xFFFFFFFF) : kTop}}, taken));
        }
        return fwd;
    }

    std::string ConfigReason(const PciFunction *f) const
    {
        const PciFunction *bridge = f->Segment()->Bridge();
        if (bridge == nullptr)
            return "its root bus is not reached";
        unsigned bus = bridge->SecondaryBus();
        if (bus == 0)
            return "its bridge " + Where(bridge) + " has no bus number";
        for (const PciFunction *a = bridge->Segment()->Bridge(); a != nullptr; a = a->Segment()->Bridge())
            if (a->SecondaryBus() == 0 || bus < a->SecondaryBus() || bus > a->SubordinateBus())
                return "bus " + Bus2(bus) + " is not routed by " + Where(a) + " " + RangeOf(a);
        const PciSegment *reached = machine_.SegmentForBus(uint8_t(bus));
        if (reached != nullptr && reached->IsRoot())
            return "bus " + Bus2(bus) + " is the number of root bus " + Bus2(unsigned(reached->RootNumber()));
        if (reached != nullptr && reached->Bridge() != nullptr)
            return "bus " + Bus2(bus) + " reaches the bus behind " + Where(reached->Bridge()) + " instead";
        return "bus " + Bus2(bus) + " is claimed first by another bridge";
    }

    bool Contested(const PciFunction *f, const Claim &bar, const PciFunction *bridge)
    {
        for (const PciFunction *other : bridge->Segment()->Functions()) {
            if (other == bridge || !Present(other))
                continue;
            for (const Claim &k : Claims(other)) {
                if (k.io != bar.io)
                    continue;
                Spans both = Intersect(bar.spans, k.spans);
                if (both.empty())
                    continue;
                std::string gap = std::string(SpaceName(bar.io)) + " " + SpansText(both);
                Violation v;
                v.rule = kRuleBarUnreachable;
                v.detail = Where(f) + " " + bar.what + " (" + SpaceName(bar.io) + " " + SpansText(bar.spans) +
                           ") is not reached: " + Where(other) + " (" + k.shown + ") on " +
                           SegmentText(bridge->Segment()) + " claims " + gap + ", which " + Where(bridge) +
                           " would have to forward";
                v.functions = {f, bridge, other};
                v.views = {bar.what + " unreachable (" + Where(other) + " also claims " + gap + ")", "", ""};
                Add(v);
                return true;
            }
        }
        return false;
    }

    void Reachability()
    {
        for (const PciFunction *f : functions_) {
            if (!Present(f) || !Started(f))
                continue;
            if (machine_.BusNumberOf(f) < 0) {
                std::string reason = ConfigReason(f);
                Violation v;
                v.rule = kRuleConfigUnreachable;
                v.detail = "started function " + Where(f) + " " + f->Describe() +
                           " is not reached by any configuration cycle: " + reason;
                v.functions = {f};
                v.views = {"not reached by configuration cycles (" + reason + ")"};
                Add(v);
            }

            /* The bridges from the root down to f. */
            std::vector<const PciFunction *> chain;
            for (const PciSegment *s = f->Segment(); s != nullptr && s->Bridge() != nullptr; s = s->Parent())
                chain.insert(chain.begin(), s->Bridge());

            for (const Claim &c : Claims(f)) {
                if (!c.bar)
                    continue;
                std::string bar = c.what + " (" + SpaceName(c.io) + " " + SpansText(c.spans) + ")";
                Spans missing = c.io ? Subtract(c.spans, {{0, kProcessorIoLimit}}) : Spans();
                if (!missing.empty()) {
                    Violation v;
                    v.rule = kRuleBarUnreachable;
                    v.detail = Where(f) + " " + bar + " lies above 0xffff, where the processor's I/O addresses end";
                    v.functions = {f};
                    v.views = {c.what + " unreachable (I/O above 0xffff)"};
                    Add(v);
                    continue;
                }
                for (const PciFunction *b : chain) {
                    bool subtractive = false;
                    Spans fwd = Forwarded(b, c.io, &subtractive);
                    missing = Subtract(c.spans, fwd);
                    /* Another function on the primary bus that claims the
                     * addresses takes them (a subtractive bridge leaves them
                     * to it; a positive one collides with it). */
                    if ((missing.empty() || subtractive) && Contested(f, c, b))
                        break;
                    if (missing.empty())
                        continue;
                    std::string gap = std::string(SpaceName(c.io)) + " " + SpansText(missing);
                    Spans windows;
                    for (const Claim &w : Claims(b))
                        if (w.forwards && w.io == c.io)
                            windows = Union(windows, w.spans);
                    std::string forwards = windows.empty() ? std::string("no ") + SpaceName(c.io) + " window"
                                                           : std::string(SpaceName(c.io)) + " " + SpansText(windows);
                    Violation v;
                    v.rule = kRuleBarUnreachable;
                    v.detail = Where(f) + " " + bar + " is not reached: " + Where(b) + " does not forward " + gap +
                               " (its windows: " + forwards +
                               (subtractive ? "; it decodes subtractively, but another function on its primary bus "
                                              "claims the rest"
                                            : "") +
                               ")";
                    v.functions = {f, b};
                    v.views = {c.what + " unreachable (" + Where(b) + " does not forward " + gap + ")", ""};
                    Add(v);
                    break;
                }
            }
        }
    }

    const PciMachine &machine_;
    const JudgeOptions &options_;
    std::vector<const PciSegment *> segments_;
    std::vector<const PciFunction *> functions_;
    std::map<const PciFunction *, std::vector<Claim>> claims_;
    std::vector<Violation> out_;
    std::set<std::string> seen_;
};

} // namespace

std::vector<Violation> JudgeHardware(const PciMachine &machine, const JudgeOptions &options)
{
    return Judge(machine, options).Run();
}

std::string FunctionLocation(const PciMachine &machine, const PciFunction *function)
{
    char buf[16];
    int bus = machine.BusNumberOf(function);
    if (bus >= 0) {
        snprintf(buf, sizeof buf, "%02x:%02x.%x", unsigned(bus), unsigned(function->DeviceNumber()),
                 unsigned(function->FunctionNumber()));
        return buf;
    }
    snprintf(buf, sizeof buf, "--:%02x.%x", unsigned(function->DeviceNumber()), unsigned(function->FunctionNumber()));
    const PciFunction *bridge = function->Segment() != nullptr ? function->Segment()->Bridge() : nullptr;
    return bridge != nullptr ? std::string(buf) + " behind " + FunctionLocation(machine, bridge) : std::string(buf);
}

} // namespace sim
