/*
 * hardware_decode.h - what a function's registers make it decode, for the
 * hardware judge: address sets as lists of inclusive spans, sorted and
 * merged, and the claims (BARs, expansion ROM, bridge windows, ISA and VGA
 * ranges) each function makes. Not for tests: they use hardware_judge.h.
 */
#ifndef TOLMU_SIM_HARDWARE_DECODE_H
#define TOLMU_SIM_HARDWARE_DECODE_H

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "pci/pci_regs.h"
#include "pci_function.h"

namespace sim::decode {

constexpr uint64_t kTop = std::numeric_limits<uint64_t>::max();


struct Span {
    uint64_t lo, hi;
};
using Spans = std::vector<Span>;

Spans Intersect(const Spans &a, const Spans &b);
Spans Subtract(const Spans &a, const Spans &b);
Spans Union(const Spans &a, const Spans &b);

/* "0x1200-0x12ff", "0x13b0-0x13bb and 5 more ranges up to 0x1fdf" */
std::string SpansText(const Spans &s);

/* One address set a function claims. */
struct Claim {
    bool io = false;
    std::string what;  /* "BAR0", "I/O window", ... */
    std::string shown; /* what, with its addresses */
    Spans spans;
    bool bar = false;     /* a BAR or the expansion ROM */
    bool forwards = false; /* a window: passed on to the secondary bus */
    /* The 10-bit aliases of the VGA I/O ranges. Another bridge's window
     * over them is the PC's way (the aliases are left unused); only what
     * sits at an alias address is in trouble. */
    bool alias = false;
};

/* Every address set the function claims now, by its registers. */
std::vector<Claim> ClaimsOf(const PciFunction *f);

} // namespace sim::decode

#endif /* TOLMU_SIM_HARDWARE_DECODE_H */
