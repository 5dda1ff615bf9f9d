/*
 * hardware_decode.cpp - what each function of the simulated PC positively
 * decodes by its registers: BARs and expansion ROM, a bridge's windows with
 * its ISA and VGA forwarding, a CardBus bridge's windows; the address-set
 * arithmetic the hardware judge uses on them.
 *
 * Address sets are lists of inclusive spans, sorted and merged; the I/O space
 * the processor reaches is 0..0xFFFF, the memory space all 64 bits.
 */
#include "hardware_decode.h"

#include <algorithm>
#include <cstdio>

#include "hardware_judge.h"
#include "resources.h"

namespace sim {

namespace decode {

namespace {

Spans Normalize(Spans s)
{
    std::sort(s.begin(), s.end(), [](const Span &a, const Span &b) { return a.lo < b.lo; });
    Spans out;
    for (const Span &x : s) {
        if (!out.empty() && (out.back().hi == kTop || x.lo <= out.back().hi + 1)) {
            out.back().hi = std::max(out.back().hi, x.hi);
            continue;
        }
        out.push_back(x);
    }
    return out;
}

} // namespace

Spans Intersect(const Spans &a, const Spans &b)
{
    Spans out;
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        uint64_t lo = std::max(a[i].lo, b[j].lo), hi = std::min(a[i].hi, b[j].hi);
        if (lo <= hi)
            out.push_back({lo, hi});
        if (a[i].hi < b[j].hi)
            i++;
        else
            j++;
    }
    return out;
}

Spans Subtract(const Spans &a, const Spans &b)
{
    Spans out;
    for (const Span &x : a) {
        uint64_t from = x.lo;
        bool done = false;
        for (const Span &y : b) {
            if (y.hi < from)
                continue;
            if (y.lo > x.hi)
                break;
            if (y.lo > from)
                out.push_back({from, y.lo - 1});
            if (y.hi >= x.hi) {
                done = true;
                break;
            }
            from = y.hi + 1;
        }
        if (!done)
            out.push_back({from, x.hi});
    }
    return out;
}

Spans Union(const Spans &a, const Spans &b)
{
    Spans all = a;
    all.insert(all.end(), b.begin(), b.end());
    return Normalize(all);
}

namespace {

uint64_t LowestBit(uint64_t m) { return m & (~m + 1); }

std::string SpanText(const Span &s) { return Hex(s.lo) + "-" + Hex(s.hi); }

} // namespace

/* "0x1200-0x12ff", "0x13b0-0x13bb and 5 more ranges up to 0x1fdf" */
std::string SpansText(const Spans &s)
{
    if (s.empty())
        return "nothing";
    std::string text = SpanText(s[0]);
    if (s.size() == 2)
        text += " and " + SpanText(s[1]);
    else if (s.size() > 2)
        text += " and " + std::to_string(s.size() - 1) + " more ranges up to " + Hex(s.back().hi);
    return text;
}

namespace {

Spans IsaHoles()
{
    /* With ISA enable a bridge leaves the top 768 bytes of every 1 KB of the
     * first 64 KB to the primary side. */
    Spans holes;
    for (uint64_t k = 0; k < 64; k++)
        holes.push_back({k * 0x400 + 0x100, k * 0x400 + 0x3FF});
    return holes;
}

/* The VGA I/O ranges (first = 0), or their aliases in the first 64 KB
 * (first = 1). */
Spans VgaIo(uint64_t first)
{
    Spans s;
    for (uint64_t k = first; k < (first == 0 ? 1u : 64u); k++) {
        s.push_back({k * 0x400 + 0x3B0, k * 0x400 + 0x3BB});
        s.push_back({k * 0x400 + 0x3C0, k * 0x400 + 0x3DF});
    }
    return s;
}

void AddWindow(std::vector<Claim> &out, bool io, const std::string &what, uint64_t base, uint64_t limit, bool isa)
{
    if (base > limit)
        return;
    Claim c;
    c.io = io;
    c.what = what;
    c.forwards = true;
    c.spans = {{base, limit}};
    c.shown = what + " " + SpanText({base, limit});
    if (io && isa) {
        c.spans = Subtract(c.spans, IsaHoles());
        if (c.spans.empty())
            return;
        c.shown += " less the ISA ranges";
    }
    out.push_back(c);
}

void AddVga(std::vector<Claim> &out, uint16_t control, bool ioOn, bool memOn, bool decode16)
{
    if ((control & CFG_BRIDGE_CONTROL_VGA) == 0)
        return;
    if (ioOn) {
        Claim c;
        c.io = true;
        c.what = "VGA I/O";
        c.forwards = true;
        c.spans = VgaIo(0);
        c.shown = "VGA I/O 0x3b0-0x3bb, 0x3c0-0x3df";
        out.push_back(c);
        /* Without VGA 16-bit decode, address bits 15..10 are not decoded. */
        if (!(decode16 && (control & CFG_P2P_CONTROL_VGA16) != 0)) {
            c.what = "VGA I/O aliases";
            c.spans = VgaIo(1);
            c.shown = "the 10-bit aliases of VGA I/O, 0x7b0-0x7bb ... 0xffc0-0xffdf";
            c.alias = true;
            out.push_back(c);
        }
    }
    if (memOn) {
        Claim c;
        c.what = "VGA memory";
        c.forwards = true;
        c.spans = {{0xA0000, 0xBFFFF}};
        c.shown = "VGA memory 0xa0000-0xbffff";
        out.push_back(c);
    }
}

} // namespace

std::vector<Claim> ClaimsOf(const PciFunction *f)
{
    std::vector<Claim> out;
    uint16_t command = f->Peek16(CFG16_COMMAND);
    bool ioOn = (command & CFG_COMMAND_IO) != 0, memOn = (command & CFG_COMMAND_MEMORY) != 0;
    uint8_t layout = f->HeaderLayout();

    for (const BarInfo &b : DecodeBars(f)) {
        Claim c;
        c.bar = true;
        c.what = "BAR" + std::to_string(b.index);
        c.io = b.io;
        if (b.size == 0 || !(b.io ? ioOn : memOn))
            continue;
        c.spans = {{b.address, b.address + (b.size - 1)}};
        c.shown = c.what + " " + SpanText(c.spans[0]);
        out.push_back(c);
    }

    uint8_t romAt = layout == kHeaderDevice ? CFG32_ROM : layout == kHeaderPciBridge ? CFG32_P2P_ROM : 0;
    if (romAt != 0) {
        uint32_t mask = f->WriteMask(romAt, 4) & 0xFFFFF800u;
        uint32_t value = f->Peek32(romAt);
        if (mask != 0 && (value & 1) != 0 && memOn) {
            Claim c;
            c.bar = true;
            c.what = "ROM";
            uint64_t address = value & mask;
            c.spans = {{address, address + (LowestBit(mask) - 1)}};
            c.shown = "ROM " + SpanText(c.spans[0]);
            out.push_back(c);
        }
    }

    if (layout == kHeaderPciBridge) {
        uint16_t control = f->Peek16(CFG16_BRIDGE_CONTROL);
        bool isa = (control & CFG_BRIDGE_CONTROL_ISA) != 0;
        /* I/O: 4 KB blocks; a bridge without an I/O window has read-only
         * zero registers and forwards no I/O. */
        bool ioWindow = ((f->WriteMask(CFG8_P2P_IO_BASE, 1) | f->WriteMask(CFG8_P2P_IO_LIMIT, 1)) & 0xF0) != 0;
        if (ioWindow && ioOn) {
            uint64_t base = uint64_t(f->Peek8(CFG8_P2P_IO_BASE) & 0xF0) << 8;
            uint64_t limit = uint64_t(f->Peek8(CFG8_P2P_IO_LIMIT) & 0xF0) << 8 | 0xFFF;
            if ((f->Peek8(CFG8_P2P_IO_BASE) & 0x0F) == 0x01) {
                base |= uint64_t(f->Peek16(CFG16_P2P_IO_BASE_UPPER)) << 16;
                limit |= uint64_t(f->Peek16(CFG16_P2P_IO_LIMIT_UPPER)) << 16;
            }
            AddWindow(out, true, "I/O window", base, limit, isa);
        }
        /* Memory: 1 MB blocks. */
        bool memWindow = ((f->WriteMask(CFG16_P2P_MEMORY_BASE, 2) | f->WriteMask(CFG16_P2P_MEMORY_LIMIT, 2)) & 0xFFF0) != 0;
        if (memWindow && memOn) {
            uint64_t base = uint64_t(f->Peek16(CFG16_P2P_MEMORY_BASE) & 0xFFF0) << 16;
            uint64_t limit = uint64_t(f->Peek16(CFG16_P2P_MEMORY_LIMIT) & 0xFFF0) << 16 | 0xFFFFF;
            AddWindow(out, false, "memory window", base, limit, false);
        }
        bool prefWindow = ((f->WriteMask(CFG16_P2P_PREFETCH_BASE, 2) | f->WriteMask(CFG16_P2P_PREFETCH_LIMIT, 2)) & 0xFFF0) != 0;
        if (prefWindow && memOn) {
            uint64_t base = uint64_t(f->Peek16(CFG16_P2P_PREFETCH_BASE) & 0xFFF0) << 16;
            uint64_t limit = uint64_t(f->Peek16(CFG16_P2P_PREFETCH_LIMIT) & 0xFFF0) << 16 | 0xFFFFF;
            if ((f->Peek16(CFG16_P2P_PREFETCH_BASE) & 0x0F) == 0x01) {
                base |= uint64_t(f->Peek32(CFG32_P2P_PREFETCH_BASE_UPPER)) << 32;
                limit |= uint64_t(f->Peek32(CFG32_P2P_PREFETCH_LIMIT_UPPER)) << 32;
            }
            AddWindow(out, false, "prefetchable window", base, limit, false);
        }
        AddVga(out, control, ioOn, memOn, true);
    } else if (layout == kHeaderCardBusBridge) {
        uint16_t control = f->Peek16(CFG16_BRIDGE_CONTROL);
        bool isa = (control & CFG_BRIDGE_CONTROL_ISA) != 0;
        /* A CardBus window is open when its base or its limit register is
         * not zero and the base is not above the limit: memory in 4 KB
         * blocks, I/O in double words. */
        for (int w = 0; w < 2; w++) {
            uint32_t rawBase = f->Peek32(uint8_t(CFG32_CB_MEMORY_BASE0 + 8 * w));
            uint32_t rawLimit = f->Peek32(uint8_t(CFG32_CB_MEMORY_BASE0 + 8 * w + 4));
            if (!memOn || (rawBase == 0 && rawLimit == 0))
                continue;
            bool pref = (control & (CFG_CB_CONTROL_PREFETCH0 << w)) != 0;
            AddWindow(out, false,
                      std::string("CardBus ") + (pref ? "prefetchable " : "") + "memory window " + std::to_string(w),
                      rawBase & 0xFFFFF000u, (rawLimit & 0xFFFFF000u) | 0xFFFu, false);
        }
        for (int w = 0; w < 2; w++) {
            uint32_t rawBase = f->Peek32(uint8_t(CFG32_CB_IO_BASE0 + 8 * w));
            uint32_t rawLimit = f->Peek32(uint8_t(CFG32_CB_IO_BASE0 + 8 * w + 4));
            if (!ioOn || ((rawBase & ~3u) == 0 && (rawLimit & ~3u) == 0))
                continue;
            AddWindow(out, true, "CardBus I/O window " + std::to_string(w), rawBase & ~3u, (rawLimit & ~3u) | 3u, isa);
        }
        AddVga(out, control, ioOn, memOn, false);
    }
    return out;
}

} // namespace decode

using namespace decode;

std::vector<DecodedRange> PositiveDecode(const PciFunction *function)
{
    std::vector<DecodedRange> out;
    for (const Claim &c : ClaimsOf(function))
        for (const Span &s : c.spans)
            out.push_back(DecodedRange{c.io, s.lo, s.hi, c.what});
    return out;
}

} // namespace sim
