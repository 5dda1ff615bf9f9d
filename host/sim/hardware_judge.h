/*
 * hardware_judge.h - what the simulated PC's registers make its hardware do
 * right now, judged against what real hardware survives.
 *
 * The judge reads every function's configuration space as it is at the
 * moment of the call (hardware side: PciFunction::Peek*, the write masks for
 * what a register implements) and the bus numbers the bridges hold, and
 * reports each state a real PC would not work in:
 *
 *   BUS_NUMBER_CLAIMED_TWICE     two bridges, neither above the other, both
 *                                route a bus number (only bridges that
 *                                configuration cycles reach now and that have
 *                                a secondary bus number count); or a bridge
 *                                whose range covers a peer root bus's number.
 *   BRIDGE_RANGE_OUTSIDE_PARENT  a reachable, numbered bridge whose
 *                                [secondary, subordinate] is not inside the
 *                                range of the bridge in front of it (or, on a
 *                                root bus, outside that root's numbers).
 *   DECODE_CONFLICT              two functions on one bus positively decode
 *                                the same I/O or memory address: BARs and
 *                                expansion ROMs with decoding on, bridge
 *                                windows as the hardware decodes them (whole
 *                                4 KB I/O and 1 MB memory blocks for a
 *                                PCI-to-PCI bridge, 4 KB / dword blocks for a
 *                                CardBus bridge), the legacy VGA ranges of a
 *                                bridge with VGA enable set.
 *   BAR_UNREACHABLE              an enabled BAR of a started function that the
 *                                bridges above it do not forward (subtractive
 *                                decode forwards what nothing else on the
 *                                bridge's primary bus claims; a disabled or
 *                                closed window forwards nothing).
 *   CONFIG_UNREACHABLE           a started function that no configuration
 *                                cycle reaches now.
 *
 * Functions are named "bb:dd.f" by the bus number that reaches them now,
 * "--:dd.f behind bb:dd.f" when none does. The judge knows nothing of the
 * driver under test; what it is told from outside is which functions are
 * physically there and which ones the PnP manager has started.
 *
 *     sim::JudgeOptions o;
 *     o.started = [&](const sim::PciFunction *f) { ... };
 *     for (const sim::Violation &v : sim::JudgeHardware(machine, o))
 *         standin::ReportFinding(v.rule, v.detail);
 */
#ifndef TOLMU_SIM_HARDWARE_JUDGE_H
#define TOLMU_SIM_HARDWARE_JUDGE_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "pci_machine.h"

namespace sim {

extern const char *const kRuleBusClaimedTwice;         /* "BUS_NUMBER_CLAIMED_TWICE" */
extern const char *const kRuleBridgeRangeOutsideParent; /* "BRIDGE_RANGE_OUTSIDE_PARENT" */
extern const char *const kRuleDecodeConflict;           /* "DECODE_CONFLICT" */
extern const char *const kRuleBarUnreachable;           /* "BAR_UNREACHABLE" */
extern const char *const kRuleConfigUnreachable;        /* "CONFIG_UNREACHABLE" */

/* True for the rule names above. */
bool IsHardwareRule(const std::string &rule);

struct Violation {
    std::string rule;
    std::string detail; /* one line: the functions and the numbers or addresses */
    /* The functions involved. views[i] says, in a few words and from
     * functions[i]'s side, what is wrong with it ("I/O 0x1200-0x12ff also
     * decoded by 01:00.0"); it is empty for a function that is only named
     * (the bridge that does not forward an unreachable BAR, the parent of a
     * bridge whose range lies outside it). */
    std::vector<const PciFunction *> functions;
    std::vector<std::string> views;
};

struct JudgeOptions {
    /* Whether a function is physically there (a pulled-out chassis keeps its
     * registers in the model but decodes nothing); null: every function. */
    std::function<bool(const PciFunction *)> present;
    /* Whether a function is started (BAR_UNREACHABLE and CONFIG_UNREACHABLE
     * look at started functions only); null: none is. */
    std::function<bool(const PciFunction *)> started;
};

/* Every violation of the machine as its registers are now; each one once. */
std::vector<Violation> JudgeHardware(const PciMachine &machine, const JudgeOptions &options = JudgeOptions());

/* One address range a function positively decodes now. */
struct DecodedRange {
    bool io = false;
    uint64_t base = 0;
    uint64_t limit = 0; /* inclusive */
    std::string what;   /* "BAR0", "ROM", "I/O window", "VGA I/O", "CardBus memory window 1", ... */
};
/* What a function claims on its primary bus now, window ranges as the
 * hardware decodes them (the VGA I/O ranges with their 10-bit aliases unless
 * VGA 16-bit decode is set; an I/O window with ISA enable without its ISA
 * holes). */
std::vector<DecodedRange> PositiveDecode(const PciFunction *function);

/* "bb:dd.f" by the bus number that reaches the function now;
 * "--:dd.f behind bb:dd.f" when no configuration cycle reaches it. */
std::string FunctionLocation(const PciMachine &machine, const PciFunction *function);

} // namespace sim

#endif /* TOLMU_SIM_HARDWARE_JUDGE_H */
