/*
 * lspci_text.cpp - the lspci text lines of a function the reader
 * (lspci_import.cpp) hands over: the few that matter (regions, bus numbers,
 * bridge windows, subsystem, interrupt pin, the flag lines) are read into the
 * function's Dumped record; the rest (capabilities, driver names, prose
 * around the dump) is skipped.
 */
#include <cctype>
#include <cstdio>
#include <string_view>

#include "hex.h"
#include "lspci_dump.h"
#include "pci_names.h"

namespace tolmusim {

namespace lspci {

namespace {

/* The run of hex digits at s[at], 1..maxDigits long. */
bool HexRunAt(const std::string &s, size_t at, size_t maxDigits, uint64_t *value)
{
    size_t end = at;
    while (end < s.size() && IsHexDigit(s[end]))
        end++;
    return at < s.size() && ParseHex(std::string_view(s).substr(at, end - at), value, maxDigits);
}

/* "[size=16M]" anywhere in s: 0 when absent, false when unreadable. */
bool FindSize(const std::string &s, uint64_t *size)
{
    *size = 0;
    size_t pos = s.find("[size=");
    if (pos == std::string::npos)
        return true;
    size_t end = s.find(']', pos);
    if (end == std::string::npos)
        return false;
    std::string v = s.substr(pos + 6, end - pos - 6);
    int shift = 0;
    if (!v.empty() && std::isalpha(static_cast<unsigned char>(v.back()))) {
        switch (std::toupper(static_cast<unsigned char>(v.back()))) {
        case 'K': shift = 10; break;
        case 'M': shift = 20; break;
        case 'G': shift = 30; break;
        case 'T': shift = 40; break;
        default: return false;
        }
        v.pop_back();
    }
    if (v.empty() || v.size() > 9)
        return false;
    uint64_t n = 0;
    for (char c : v) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
        n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    *size = n << shift;
    return true;
}

bool IsPowerOfTwo(uint64_t v)
{
    return v != 0 && (v & (v - 1)) == 0;
}

/* Bits of an lspci flag line ("Control: I/O+ Mem- BusMaster+ ..."): bit i is
 * set when the token names[i] (alternatives split by '|') ends with '+'. */
uint16_t ReadFlagBits(const std::string &line, const char *const *names, size_t count)
{
    uint16_t bits = 0;
    for (const std::string &token : Tokens(line)) {
        if (token.size() < 2 || token.back() != '+')
            continue;
        const std::string name = token.substr(0, token.size() - 1);
        for (size_t i = 0; i < count; i++) {
            std::string alternatives = std::string(names[i]) + "|";
            for (size_t b = 0, e; (e = alternatives.find('|', b)) != std::string::npos; b = e + 1)
                if (e > b && alternatives.compare(b, e - b, name) == 0)
                    bits = static_cast<uint16_t>(bits | 1u << i);
        }
    }
    return bits;
}

} // namespace

bool Importer::ReadText(int number, const std::string &t)
{
    Dumped &d = *open_;
    uint16_t a, b;
    if (StartsWith(t, "Subsystem:")) {
        std::string v = Trim(t.substr(10));
        if (FindIdPair(v, &a, &b, nullptr) || LeadingIdPair(v, &a, &b)) {
            d.textSubVendor = a;
            d.textSubDevice = b;
        }
        return true;
    }
    if (StartsWith(t, "Flags: ") && !d.inCapabilities) {
        /* -v: "Flags: bus master, medium devsel, latency 64, IRQ 11"; an
         * interrupt routed means there is a pin. */
        d.flagsIrq = t.find(", IRQ ") != std::string::npos;
        d.flagsBusMaster = t.find("bus master") != std::string::npos;
        unsigned v;
        size_t at = t.find("latency ");
        if (at != std::string::npos && std::sscanf(t.c_str() + at, "latency %u", &v) == 1 && v <= 0xFF)
            d.textLatency = static_cast<uint8_t>(v);
        at = t.find("IRQ ");
        if (at != std::string::npos && std::sscanf(t.c_str() + at, "IRQ %u", &v) == 1 && v <= 0xFF)
            d.textIrq = static_cast<uint8_t>(v);
        return true;
    }
    if (StartsWith(t, "Latency: ") && !d.inCapabilities) {
        /* "Latency: 168, Cache Line Size: 32 bytes" (old: "Cache Line Size 08") */
        unsigned v;
        if (std::sscanf(t.c_str(), "Latency: %u", &v) == 1 && v <= 0xFF)
            d.textLatency = static_cast<uint8_t>(v);
        unsigned minNs, maxNs; /* "Latency: 64 (8000ns min, 16000ns max)": units of 250 ns */
        size_t at = t.find('(');
        if (at != std::string::npos && std::sscanf(t.c_str() + at, "(%uns min, %uns max)", &minNs, &maxNs) == 2 &&
            minNs / 250 <= 0xFF && maxNs / 250 <= 0xFF) {
            d.textMinGrant = static_cast<uint8_t>(minNs / 250);
            d.textMaxLatency = static_cast<uint8_t>(maxNs / 250);
        }
        at = t.find("Cache Line Size");
        if (at != std::string::npos) {
            if (std::sscanf(t.c_str() + at, "Cache Line Size: %u bytes", &v) == 1 && v / 4 <= 0xFF)
                d.textCacheLine = static_cast<uint8_t>(v / 4);
            else if (uint64_t size; HexRunAt(t, at + 16, 2, &size) && StartsWith(t.substr(at), "Cache Line Size "))
                d.textCacheLine = static_cast<uint8_t>(size);
        }
        return true;
    }
    if (StartsWith(t, "Expansion ROM at ")) {
        const std::string addr = t.substr(17, t.find_first_of(" \t", 17) - 17);
        uint64_t a;
        if (ParseHex(addr, &a) && a <= 0xFFFFFFFFull)
            d.textRom = static_cast<uint32_t>(a & ~0x7FFull) | (t.find("[disabled]") == std::string::npos ? 1u : 0u);
        return true;
    }
    if (StartsWith(t, "16-bit legacy interface ports at ")) {
        uint64_t a;
        if (ParseHex(t.substr(33), &a) && a <= 0xFFFFFFFFull)
            d.textLegacy = static_cast<uint32_t>(a);
        return true;
    }
    if (StartsWith(t, "Control: ") && !d.inCapabilities) {
        static const char *const kCommandBits[] = {"I/O",     "Mem",      "BusMaster", "SpecCycle",
                                                   "MemWINV", "VGASnoop", "ParErr",    "Stepping",
                                                   "SERR",    "FastB2B",  "DisINTx"};
        d.textCommand = ReadFlagBits(t, kCommandBits, std::size(kCommandBits));
        return true;
    }
    if (StartsWith(t, "Status: ") && !d.inCapabilities) {
        static const char *const kStatusBits[] = {"",       "", "", "INTx",    "",        "66MHz",   "UDF",   "FastB2B",
                                                  "ParErr", "", "", ">TAbort", "<TAbort", "<MAbort", ">SERR", "<PERR"};
        uint16_t status = ReadFlagBits(t, kStatusBits, std::size(kStatusBits));
        if (t.find("DEVSEL=medium") != std::string::npos)
            status |= 0x0200;
        else if (t.find("DEVSEL=slow") != std::string::npos)
            status |= 0x0400;
        d.textStatus = status; /* "Cap+" is left out: the capability list is not rebuilt */
        return true;
    }
    if (StartsWith(t, "BridgeCtl: ")) {
        /* PCI-to-PCI and CardBus bridges name bits 0..7 alike but for bit 2
         * (NoISA / ISA) and bit 7 (FastB2B / 16bInt); CardBus has PostWrite
         * at bit 10. */
        static const char *const kBridgeBits[] = {"Parity", "SERR",           "NoISA|ISA", "VGA", "VGA16",    "MAbort",
                                                  ">Reset", "FastB2B|16bInt", "",          "",    "PostWrite"};
        d.textBridgeControl = ReadFlagBits(t, kBridgeBits, std::size(kBridgeBits));
        return true;
    }
    if (StartsWith(t, "Interrupt: pin ")) {
        char pin = t.size() > 15 ? t[15] : '?';
        if (pin >= 'A' && pin <= 'D')
            d.textPin = static_cast<uint8_t>(pin - 'A' + 1);
        unsigned irq;
        size_t at = t.find("routed to IRQ ");
        if (at != std::string::npos && std::sscanf(t.c_str() + at, "routed to IRQ %u", &irq) == 1 && irq <= 0xFF)
            d.textIrq = static_cast<uint8_t>(irq);
        return true;
    }
    if (StartsWith(t, "Capabilities:"))
        d.inCapabilities = true;
    /* Capabilities come after the function's own regions; region lines there
     * (SR-IOV virtual functions, ...) describe something else. */
    const bool regionLine = StartsWith(t, "Region ") || StartsWith(t, "Memory at ") || StartsWith(t, "I/O ports at ") ||
                            StartsWith(t, "[virtual] ");
    if (regionLine && d.inCapabilities)
        return true;
    if (StartsWith(t, "Region ")) {
        size_t colon = t.find(':');
        uint64_t index;
        if (colon == std::string::npos || !ParseHex(t.substr(7, colon - 7), &index) || index > 5)
            return Fail(number, d.location, "cannot read region line '" + t + "'");
        return ReadRegion(number, t, static_cast<int>(index), Trim(t.substr(colon + 1)));
    }
    if (StartsWith(t, "Memory at ") || StartsWith(t, "I/O ports at ") || StartsWith(t, "[virtual] "))
        return ReadRegion(number, t, -1, t);
    if (StartsWith(t, "Bus: primary=")) {
        uint64_t p, s, u;
        auto field = [&t](const std::string &key, uint64_t *v) {
            const size_t at = t.find(key);
            return at != std::string::npos && HexRunAt(t, at + key.size(), 2, v);
        };
        if (!field("primary=", &p) || !field(", secondary=", &s) || !field(", subordinate=", &u))
            return Fail(number, d.location, "cannot read bus numbers line '" + t + "'");
        d.textBus = std::array<uint8_t, 3>{static_cast<uint8_t>(p), static_cast<uint8_t>(s), static_cast<uint8_t>(u)};
        unsigned latency;
        size_t at = t.find("sec-latency=");
        if (at != std::string::npos && std::sscanf(t.c_str() + at, "sec-latency=%u", &latency) == 1 && latency <= 0xFF)
            d.textSecLatency = static_cast<uint8_t>(latency);
        return true;
    }
    if (StartsWith(t, "I/O behind bridge:"))
        return ReadWindow(number, t, t.substr(18), &d.io);
    if (StartsWith(t, "Memory behind bridge:"))
        return ReadWindow(number, t, t.substr(21), &d.mem);
    if (StartsWith(t, "Prefetchable memory behind bridge:"))
        return ReadWindow(number, t, t.substr(34), &d.pref);
    for (int i = 0; i < 2; i++) {
        std::string m = "Memory window " + std::to_string(i) + ":";
        std::string io = "I/O window " + std::to_string(i) + ":";
        if (StartsWith(t, m))
            return ReadWindow(number, t, t.substr(m.size()), &d.cbMem[i]);
        if (StartsWith(t, io))
            return ReadWindow(number, t, t.substr(io.size()), &d.cbIo[i]);
    }
    return true; /* Control, Status, Capabilities, driver names, ...: nothing the machine needs */
}

/* "Memory at e0000000 (32-bit, non-prefetchable) [disabled] [size=16M]",
 * "I/O ports at d000 [size=256]", "Memory at <unassigned> (64-bit, prefetchable)",
 * "[virtual] Memory at ..." */
bool Importer::ReadRegion(int number, const std::string &t, int index, const std::string &body)
{
    Dumped &d = *open_;
    TextBar bar;
    bar.index = index;
    bar.line = number;
    bar.isVirtual = body.find("[virtual]") != std::string::npos;
    bar.disabled = body.find("[disabled]") != std::string::npos;
    std::string rest = body;
    if (StartsWith(rest, "[virtual] "))
        rest = rest.substr(10);
    std::string addr;
    if (StartsWith(rest, "I/O ports at ")) {
        bar.io = true;
        addr = rest.substr(13);
    } else if (StartsWith(rest, "Memory at ")) {
        addr = rest.substr(10);
        bar.is64 = rest.find("(64-bit") != std::string::npos;
        bar.prefetchable = rest.find(", prefetchable)") != std::string::npos;
    } else {
        return Fail(number, d.location, "cannot read region line '" + t + "'");
    }
    addr = addr.substr(0, addr.find_first_of(" \t"));
    uint64_t a;
    if (!addr.empty() && addr[0] == '<') {
        /* <unassigned>, <ignored>: no address */
    } else if (ParseHex(addr, &a)) {
        if (a != 0)
            bar.address = a;
    } else {
        return Fail(number, d.location, "cannot read the address '" + addr + "' in region line '" + t + "'");
    }
    if (!FindSize(rest, &bar.size))
        return Fail(number, d.location, "cannot read the size in region line '" + t + "'");
    /* What a decoder of the kind can have: I/O 4 bytes..64 KB, 32-bit memory
     * 16 bytes..2 GB, 64-bit memory from 16 bytes up. */
    const uint64_t largest = bar.io ? 0x10000 : bar.is64 ? (uint64_t{1} << 62) : 0x80000000u;
    if (bar.size != 0 && (!IsPowerOfTwo(bar.size) || bar.size < (bar.io ? 4u : 16u) || bar.size > largest))
        return Fail(number, d.location, "region size " + Hex(bar.size) + " in '" + t + "' is not a BAR size");
    for (const TextBar &o : d.bars)
        if (index >= 0 && o.index == index)
            return Fail(number, d.location, "region " + std::to_string(index) + " appears twice");
    d.bars.push_back(bar);
    return true;
}

/* New style "e000-efff [size=4K] [16-bit]", old style "0000e000-0000efff",
 * disabled "None", "[disabled]", or a base above the limit. */
bool Importer::ReadWindow(int number, const std::string &t, const std::string &value, TextWindow *w)
{
    std::string v = Trim(value);
    w->seen = true;
    w->enabled = false;
    /* lspci prints a 32-bit I/O window with 8 digits and a 64-bit prefetchable
     * one with 16 (old versions always 8 for I/O); newer ones also say so. */
    const bool isIo = w == &open_->io;
    w->wide = v.find(isIo ? "[32-bit]" : "[64-bit]") != std::string::npos;
    const bool narrow = v.find(isIo ? "[16-bit]" : "[32-bit]") != std::string::npos;
    w->prefetchable = v.find("(prefetchable)") != std::string::npos;
    if (v.empty() || StartsWith(v, "None") || StartsWith(v, "[disabled]"))
        return true;
    std::string range = v.substr(0, v.find_first_of(" \t"));
    size_t dash = range.find('-');
    uint64_t base, limit;
    if (dash == std::string::npos || !ParseHex(range.substr(0, dash), &base) ||
        !ParseHex(range.substr(dash + 1), &limit))
        return Fail(number, open_->location, "cannot read bridge window line '" + t + "'");
    w->base = base;
    w->limit = limit;
    w->enabled = base <= limit;
    const size_t digits = range.size() - dash - 1;
    if (!narrow && (digits >= (isIo ? 8u : 16u) || limit > (isIo ? 0xFFFFull : 0xFFFFFFFFull)))
        w->wide = true;
    return true;
}

} // namespace lspci

} // namespace tolmusim
