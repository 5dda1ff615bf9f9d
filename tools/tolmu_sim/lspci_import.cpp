/*
 * lspci_import.cpp - reads lspci output into a MachineDesc.
 *
 * One pass over the lines collects, per function, what the dump says: the
 * header line, the hex bytes and the few text lines that matter (regions, bus
 * numbers, bridge windows, subsystem, interrupt pin). A second pass turns each
 * into a FunctionDesc, preferring the hex over the text for everything the
 * hex holds, and a third hangs the functions on the bus tree by the bridges'
 * bus numbers.
 *
 * Line classes, after the mail-quote markers and indentation are dropped:
 *   "[dddd:]bb:dd.f <class>: <name>"  a function's header line;
 *   "<offset>: <16 bytes>"            a hex dump line of the open function;
 *   anything else                     text: the known lines are read, the
 *                                     rest (capabilities, driver names,
 *                                     prose around the dump) is skipped.
 * Once a function's hex has started, every line up to the next blank line
 * must be a hex line: lspci prints the hex last and ends the function with a
 * blank line, so anything else there is a damaged dump.
 *
 * Before a line is classed, what a mail program did to it is undone (and
 * noted with the line number): a line that continues a header line or a
 * function's text line at the header's own indentation is joined to it; a
 * hex line at the end of a text line, and a header line at the end of a hex
 * line, are split off.
 */
#include "lspci_import.h"

#include <algorithm>
#include <bitset>
#include <cctype>
#include <cstdio>
#include <iterator>
#include <map>
#include <tuple>

#include "hex.h"
#include "pci_names.h"

namespace tolmusim {

namespace {

/* ------------------------------------------------------------ small parsers */

bool IsSpace(char c)
{
    return c == ' ' || c == '\t';
}

/* The run of hex digits at s[at], 1..maxDigits long. */
bool HexRunAt(const std::string &s, size_t at, size_t maxDigits, uint64_t *value)
{
    size_t end = at;
    while (end < s.size() && IsHexDigit(s[end]))
        end++;
    return at < s.size() && ParseHex(std::string_view(s).substr(at, end - at), value, maxDigits);
}

bool StartsWith(const std::string &s, const std::string &prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

std::string Trim(const std::string &s)
{
    size_t b = 0, e = s.size();
    while (b < e && (IsSpace(s[b]) || s[b] == '\r'))
        b++;
    while (e > b && (IsSpace(s[e - 1]) || s[e - 1] == '\r'))
        e--;
    return s.substr(b, e - b);
}

std::vector<std::string> Tokens(const std::string &s)
{
    std::vector<std::string> out;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && IsSpace(s[i]))
            i++;
        size_t b = i;
        while (i < s.size() && !IsSpace(s[i]))
            i++;
        if (i > b)
            out.push_back(s.substr(b, i - b));
    }
    return out;
}

std::string Hex(uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

std::string Hex2(unsigned v)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02x", v & 0xFF);
    return buf;
}

/* The last "[vvvv:dddd]" in s (or s itself being "vvvv:dddd"); npos-safe. */
bool FindIdPair(const std::string &s, uint16_t *first, uint16_t *second, size_t *at)
{
    for (size_t pos = s.rfind('['); pos != std::string::npos; pos = pos ? s.rfind('[', pos - 1) : std::string::npos) {
        uint64_t a, b;
        if (pos + 11 <= s.size() && s[pos + 5] == ':' && s[pos + 10] == ']' && ParseHex(s.substr(pos + 1, 4), &a) &&
            ParseHex(s.substr(pos + 6, 4), &b)) {
            *first = static_cast<uint16_t>(a);
            *second = static_cast<uint16_t>(b);
            if (at)
                *at = pos;
            return true;
        }
        if (pos == 0)
            break;
    }
    return false;
}

/* "vvvv:dddd" at the start of s (lspci -n). */
bool LeadingIdPair(const std::string &s, uint16_t *first, uint16_t *second)
{
    uint64_t a, b;
    if (s.size() < 9 || s[4] != ':' || (s.size() > 9 && !IsSpace(s[9])))
        return false;
    if (!ParseHex(s.substr(0, 4), &a) || !ParseHex(s.substr(5, 4), &b))
        return false;
    *first = static_cast<uint16_t>(a);
    *second = static_cast<uint16_t>(b);
    return true;
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

/* ------------------------------------------------------------- the dump */

/* A BAR as a "Region" (or -v "Memory at") line shows it. */
struct TextBar {
    int index = -1; /* -1: the -v form, which has no index */
    bool io = false;
    bool is64 = false;
    bool prefetchable = false;
    bool isVirtual = false;
    bool disabled = false;
    std::optional<uint64_t> address;
    uint64_t size = 0; /* 0: no [size=] */
    int line = 0;
    bool used = false;
};

/* A bridge window as the text shows it. */
struct TextWindow {
    bool seen = false;
    bool enabled = false;
    bool wide = false;         /* 32-bit I/O, 64-bit prefetchable */
    bool prefetchable = false; /* CardBus memory windows */
    uint64_t base = 0;
    uint64_t limit = 0;
};

struct Dumped {
    int line = 0;
    size_t indent = 0;    /* of the header line */
    std::string location; /* "bb:dd.f" */
    unsigned domain = 0;
    int bus = 0, dev = 0, fn = 0;
    /* Header line. */
    std::string className;
    std::string name;
    std::optional<uint16_t> nnClass; /* base << 8 | sub */
    std::optional<uint16_t> nnVendor, nnDevice;
    std::optional<uint8_t> revision, progIf;
    /* Text. */
    std::optional<uint16_t> textSubVendor, textSubDevice;
    std::optional<uint8_t> textPin;
    bool flagsIrq = false;
    bool flagsBusMaster = false;
    std::optional<uint16_t> textCommand;       /* "Control: I/O+ Mem+ BusMaster+ ..." */
    std::optional<uint16_t> textBridgeControl; /* "BridgeCtl: Parity- SERR- ..." */
    std::optional<uint8_t> textLatency, textCacheLine, textSecLatency, textIrq, textMinGrant, textMaxLatency;
    std::optional<uint16_t> textStatus;
    std::optional<uint32_t> textRom;    /* expansion ROM register: address | enable */
    std::optional<uint32_t> textLegacy; /* CardBus: 16-bit legacy interface ports */
    bool inCapabilities = false;
    std::optional<std::array<uint8_t, 3>> textBus;
    std::vector<TextBar> bars;
    TextWindow io, mem, pref;
    TextWindow cbMem[2], cbIo[2];
    /* Hex. */
    std::array<uint8_t, 256> cfg{};
    std::bitset<256> offsetsSeen; /* by offset / 16, up to 0xFF0 */
    bool hexStarted = false;
    bool blankAfterHex = false;
    bool closed = false;

    bool Has(unsigned offset) const { return offset < 256 && offsetsSeen.test(offset / 16); }
    uint8_t B(unsigned o) const { return cfg[o]; }
    uint16_t W(unsigned o) const { return static_cast<uint16_t>(cfg[o] | cfg[o + 1] << 8); }
    uint32_t D(unsigned o) const { return static_cast<uint32_t>(W(o)) | static_cast<uint32_t>(W(o + 2)) << 16; }
    size_t Extent() const
    {
        for (int l = 15; l >= 0; l--)
            if (offsetsSeen.test(l))
                return static_cast<size_t>(l + 1) * 16;
        return 0;
    }
};

/* base << 8 | sub: from the hex, else the [cccc] of the header line, else
 * the class name lspci printed, looked up in pci.ids. */
std::optional<uint16_t> ClassOf(const Dumped &d)
{
    if (d.Has(0x00))
        return d.W(0x0A);
    if (d.nnClass)
        return d.nnClass;
    return PciClassFromName(d.className);
}

/* lspci's order: bus, device, function. */
std::tuple<int, int, int> Order(const Dumped &d) { return {d.bus, d.dev, d.fn}; }

std::string Domain4(unsigned domain)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04x", domain);
    return buf;
}

class Importer {
  public:
    Importer(const std::string &fileName, std::string *error) : file_(fileName), error_(error) {}

    bool ReadLines(const std::string &text);
    std::optional<MachineDesc> Build(const ImportOptions &options);

  private:
    bool Fail(int line, const std::string &location, const std::string &message)
    {
        if (error_)
            *error_ = file_ + ":" + std::to_string(line) + ": " + (location.empty() ? "" : location + ": ") + message;
        return false;
    }

    bool ReadLine(int number, const std::string &raw);
    bool ReadHeader(int number, const std::string &t, size_t restAt, unsigned domain, int bus, int dev, int fn);
    bool ReadHexLine(int number, const std::string &t, size_t offsetDigits);
    bool ReadText(int number, const std::string &t);
    bool ReadRegion(int number, const std::string &t, int index, const std::string &body);
    bool ReadWindow(int number, const std::string &t, const std::string &value, TextWindow *w);

    bool BuildFunction(Dumped &d, FunctionDesc *f);
    bool BuildBars(Dumped &d, int header, FunctionDesc *f);
    void SynthesizeConfig(const Dumped &d, const FunctionDesc &f, FunctionDesc *out);
    bool PlaceInTree(std::vector<FunctionDesc> &fns);

    std::string file_;
    std::string *error_;
    std::vector<Dumped> dumped_;
    Dumped *open_ = nullptr;
    size_t indent_ = 0;                  /* of the line being read */
    std::vector<Dumped *> chosen_;       /* the imported domain's functions, in dump order */
    std::vector<std::string> mended_;    /* importNotes */
};

/* Location prefix of a header line: 0 none, 1 read, -1 looks like one but is
 * out of range. */
int ReadLocation(const std::string &t, unsigned *domain, int *bus, int *dev, int *fn, size_t *restAt)
{
    size_t p = 0;
    size_t run = 0;
    while (run < t.size() && IsHexDigit(t[run]))
        run++;
    *domain = 0;
    if (run >= 4 && run <= 8 && run < t.size() && t[run] == ':') {
        uint64_t v;
        ParseHex(t.substr(0, run), &v);
        *domain = static_cast<unsigned>(v);
        p = run + 1;
    }
    if (p + 7 > t.size() || !IsHexDigit(t[p]) || !IsHexDigit(t[p + 1]) || t[p + 2] != ':' || !IsHexDigit(t[p + 3]) ||
        !IsHexDigit(t[p + 4]) || t[p + 5] != '.' || !std::isdigit(static_cast<unsigned char>(t[p + 6])))
        return 0;
    if (p + 7 < t.size() && !IsSpace(t[p + 7]))
        return 0;
    uint64_t b, d;
    ParseHex(t.substr(p, 2), &b);
    ParseHex(t.substr(p + 3, 2), &d);
    *bus = static_cast<int>(b);
    *dev = static_cast<int>(d);
    *fn = t[p + 6] - '0';
    *restAt = p + 7;
    return (*dev > 0x1F || *fn > 7) ? -1 : 1;
}

/* A hex dump line starts with 1..4 hex digits, a colon and a blank (or ends). */
size_t HexLineOffsetDigits(const std::string &t)
{
    size_t n = 0;
    while (n < t.size() && n < 5 && IsHexDigit(t[n]))
        n++;
    if (n == 0 || n > 4 || n >= t.size() || t[n] != ':')
        return 0;
    if (n + 1 < t.size() && !IsSpace(t[n + 1]))
        return 0;
    return n;
}

/* Where a hex line "oo: b0 b1 .. b15" that starts at t[p] ends: just past
 * its 16th byte, or npos. The offset has minDigits..maxDigits digits; the
 * bytes are two digits each with blanks between them. What follows the 16th
 * byte is left to the caller. */
size_t HexLineEnd(const std::string &t, size_t p, size_t minDigits, size_t maxDigits, uint64_t *offset)
{
    size_t q = p;
    while (q < t.size() && IsHexDigit(t[q]) && q - p <= maxDigits)
        q++;
    if (q - p < minDigits || q - p > maxDigits || q >= t.size() || t[q] != ':')
        return std::string::npos;
    ParseHex(std::string_view(t).substr(p, q - p), offset);
    q++;
    for (int i = 0; i < 16; i++) {
        const size_t before = q;
        while (q < t.size() && IsSpace(t[q]))
            q++;
        if (q == before || q + 2 > t.size() || !IsHexDigit(t[q]) || !IsHexDigit(t[q + 1]))
            return std::string::npos;
        q += 2;
    }
    return q;
}

bool IsHeaderLine(const std::string &t)
{
    unsigned domain;
    int bus, dev, fn;
    size_t restAt;
    return ReadLocation(t, &domain, &bus, &dev, &fn, &restAt) != 0;
}

/* Nothing, or a header line: what may follow a hex line on one line. */
bool EmptyOrHeader(const std::string &t)
{
    const std::string rest = Trim(t);
    return rest.empty() || IsHeaderLine(rest);
}

/* A hex line glued to the end of text: an offset of exactly two digits, a
 * multiple of 0x10, a colon and 16 bytes, then nothing or a header line.
 * Ordinary lspci text ("Latency: 32", "Bus: primary=00, secondary=02",
 * windows, capability lines) never holds 16 bytes after such an offset. */
size_t FindGluedHex(const std::string &t)
{
    uint64_t offset;
    for (size_t p = 1; p + 3 < t.size(); p++) {
        if (t[p + 2] != ':' || !IsHexDigit(t[p]) || !IsHexDigit(t[p + 1]))
            continue;
        const size_t end = HexLineEnd(t, p, 2, 2, &offset);
        if (end != std::string::npos && offset % 16 == 0 && EmptyOrHeader(t.substr(end)))
            return p;
    }
    return std::string::npos;
}

/* An lspci text line of a function: "Key: value" with a key of a few words
 * ("Subsystem", "Kernel driver in use", "Region 0", "I/O behind bridge"), or
 * one of the lines that have no colon after their first words. A wrapped
 * header's second half ("Controller (rev 01)", "Bridge [8086:2448]") is
 * neither. */
bool LooksLikeTextLine(const std::string &t)
{
    for (const char *prefix :
         {"Memory at ", "I/O ports at ", "Expansion ROM at ", "[virtual] ", "16-bit legacy interface ports at ", "!!! "})
        if (StartsWith(t, prefix))
            return true;
    const size_t colon = t.find(':');
    if (colon == std::string::npos || colon == 0 || colon > 40 || !std::isalpha(static_cast<unsigned char>(t[0])))
        return false;
    if (colon + 1 < t.size() && !IsSpace(t[colon + 1]))
        return false;
    for (size_t i = 0; i < colon; i++) {
        const char c = t[i];
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != ' ' && c != '/' && c != '-' && c != '_' && c != '.')
            return false;
    }
    return true;
}

/* A header line's class part ends with a colon: "00:1f.0 ISA bridge: ...". */
bool HeaderHasClass(const std::string &t)
{
    unsigned domain;
    int bus, dev, fn;
    size_t restAt;
    if (ReadLocation(t, &domain, &bus, &dev, &fn, &restAt) <= 0)
        return true;
    const std::string rest = Trim(t.substr(restAt));
    return rest.find(": ") != std::string::npos || (!rest.empty() && rest.back() == ':');
}

bool Importer::ReadLines(const std::string &text)
{
    /* Mail-quote markers ("> ", ">> ", "> > ") carry nothing; indentation
     * (the columns after them, tabs to multiples of 8) tells a function's
     * text lines from its header line and from what a mail program wrapped. */
    struct Source {
        int number;
        size_t indent;
        std::string text;
    };
    std::vector<Source> lines;
    for (size_t pos = 0, number = 1; pos <= text.size(); number++) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        const std::string raw = text.substr(pos, end - pos);
        pos = end + 1;
        size_t b = 0, indent = 0;
        while (b < raw.size() && (IsSpace(raw[b]) || raw[b] == '>')) {
            indent = raw[b] == '>' ? 0 : raw[b] == '\t' ? (indent / 8 + 1) * 8 : indent + 1;
            b++;
        }
        lines.push_back(Source{static_cast<int>(number), indent, Trim(raw.substr(b))});
    }

    for (size_t i = 0; i < lines.size(); i++) {
        /* Lines a mail program wrapped: the second half sits at the header's
         * indentation, where lspci puts nothing but header lines. */
        std::string t = lines[i].text;
        const size_t indent = lines[i].indent;
        std::vector<std::pair<size_t, int>> starts{{0, lines[i].number}}; /* where each source line begins in t */
        while (i + 1 < lines.size() && !t.empty() && FindGluedHex(t) == std::string::npos) {
            const Source &next = lines[i + 1];
            if (next.text.empty() || IsHeaderLine(next.text) || HexLineOffsetDigits(next.text) ||
                next.indent > indent)
                break;
            const bool header = IsHeaderLine(t);
            const bool text = !header && !HexLineOffsetDigits(t) && open_ && !open_->closed && !open_->hexStarted &&
                              indent > open_->indent && next.indent <= open_->indent;
            if (!(header && !HeaderHasClass(t)) && !((header || text) && !LooksLikeTextLine(next.text)))
                break;
            mended_.push_back("line " + std::to_string(starts.back().second) + ": " + (header ? "header" : "text") +
                              " line wrapped onto line " + std::to_string(next.number) + ", joined");
            starts.emplace_back(t.size() + 1, next.number);
            t += " " + next.text;
            i++;
        }
        auto lineAt = [&starts](size_t at) {
            int number = starts.front().second;
            for (const auto &[offset, n] : starts)
                if (offset <= at)
                    number = n;
            return number;
        };

        /* Lines a mail program glued together: a hex line at the end of a
         * text line, a header line at the end of a hex line. */
        indent_ = indent;
        size_t at = 0;
        for (;;) {
            const std::string piece = t.substr(at);
            size_t cut = std::string::npos;
            uint64_t offset;
            if (HexLineOffsetDigits(piece)) {
                const size_t end = HexLineEnd(piece, 0, 1, 4, &offset);
                if (end != std::string::npos && end < piece.size() && EmptyOrHeader(piece.substr(end)) &&
                    !Trim(piece.substr(end)).empty()) {
                    cut = end;
                    mended_.push_back("line " + std::to_string(lineAt(at + end)) +
                                      ": device header found at the end of a hex line");
                }
            } else if ((cut = FindGluedHex(piece)) != std::string::npos) {
                mended_.push_back("line " + std::to_string(lineAt(at + cut)) +
                                  ": hex line found at the end of a text line");
            }
            if (!ReadLine(lineAt(at), Trim(piece.substr(0, cut))))
                return false;
            if (cut == std::string::npos)
                break;
            at += cut;
            while (at < t.size() && IsSpace(t[at]))
                at++;
        }
    }
    return true;
}

bool Importer::ReadLine(int number, const std::string &t)
{
    if (t.empty()) {
        if (open_ && open_->hexStarted)
            open_->blankAfterHex = true;
        return true;
    }

    unsigned domain;
    int bus, dev, fn;
    size_t restAt;
    int loc = ReadLocation(t, &domain, &bus, &dev, &fn, &restAt);
    if (loc < 0)
        return Fail(number, "", "cannot read the location in '" + t + "' (device 00..1f, function 0..7)");
    if (loc > 0)
        return ReadHeader(number, t, restAt, domain, bus, dev, fn);

    if (size_t digits = HexLineOffsetDigits(t)) {
        if (!open_ || open_->closed)
            return Fail(number, "", "hex dump line '" + t + "' does not follow a function's header line");
        return ReadHexLine(number, t, digits);
    }

    if (!open_ || open_->closed)
        return true; /* prose around the dump */
    if (open_->hexStarted) {
        if (!open_->blankAfterHex)
            return Fail(number, open_->location,
                        "cannot read hex dump line '" + t + "': expected an offset and 16 bytes");
        open_->closed = true; /* text after the function's blank line */
        return true;
    }
    return ReadText(number, t);
}

bool Importer::ReadHeader(int number, const std::string &t, size_t restAt, unsigned domain, int bus, int dev, int fn)
{
    Dumped d;
    d.line = number;
    d.indent = indent_;
    d.domain = domain;
    d.bus = bus;
    d.dev = dev;
    d.fn = fn;
    d.location = Hex2(bus) + ":" + Hex2(dev) + "." + std::to_string(fn);
    for (const Dumped &o : dumped_)
        if (o.location == d.location && o.domain == d.domain)
            return Fail(number, d.location,
                        "the function appears twice (first at line " + std::to_string(o.line) + ")");

    const std::string rest = Trim(t.substr(restAt));
    size_t colon = rest.find(": ");
    if (colon == std::string::npos && !rest.empty() && rest.back() == ':')
        colon = rest.size() - 1;
    if (colon == std::string::npos)
        return Fail(number, d.location, "cannot read the header line '" + t + "': expected '<class>: <name>'");

    /* Class: "CardBus bridge", "CardBus bridge [0607]", "0607" (-n) or "Class 0607". */
    std::string cls = Trim(rest.substr(0, colon));
    uint64_t code;
    if (cls.size() >= 6 && cls.back() == ']' && cls[cls.size() - 6] == '[' &&
        ParseHex(cls.substr(cls.size() - 5, 4), &code)) {
        d.nnClass = static_cast<uint16_t>(code);
        cls = Trim(cls.substr(0, cls.size() - 6));
    } else if (cls.size() == 4 && ParseHex(cls, &code)) {
        d.nnClass = static_cast<uint16_t>(code);
    } else if (StartsWith(cls, "Class ") && cls.size() == 10 && ParseHex(cls.substr(6), &code)) {
        d.nnClass = static_cast<uint16_t>(code);
    }
    d.className = cls;

    /* Name, ids, "(rev xx)", "(prog-if xx [name])". */
    std::string name = Trim(rest.substr(colon + 1));
    for (const char *tag : {"(rev ", "(prog-if "}) {
        size_t p = name.find(tag);
        if (p == std::string::npos)
            continue;
        size_t v = p + std::string(tag).size();
        uint64_t value;
        if (v + 2 > name.size() || !ParseHex(name.substr(v, 2), &value))
            return Fail(number, d.location, std::string("cannot read '") + tag + "' in the header line '" + t + "'");
        if (tag[1] == 'r')
            d.revision = static_cast<uint8_t>(value);
        else
            d.progIf = static_cast<uint8_t>(value);
    }
    size_t cut = std::min(name.find(" (rev "), name.find(" (prog-if "));
    if (StartsWith(name, "(rev ") || StartsWith(name, "(prog-if "))
        cut = 0;
    if (cut != std::string::npos)
        name = Trim(name.substr(0, cut));
    uint16_t v16, d16;
    size_t at;
    if (LeadingIdPair(name, &v16, &d16)) {
        d.nnVendor = v16;
        d.nnDevice = d16;
        name.clear();
    } else if (FindIdPair(name, &v16, &d16, &at)) {
        d.nnVendor = v16;
        d.nnDevice = d16;
        name = Trim(name.erase(at, 11));
    }
    d.name = name;

    dumped_.push_back(d);
    open_ = &dumped_.back();
    return true;
}

bool Importer::ReadHexLine(int number, const std::string &t, size_t offsetDigits)
{
    Dumped &d = *open_;
    auto bad = [&](const std::string &why) {
        return Fail(number, d.location, "cannot read hex dump line '" + t + "': " + why);
    };
    uint64_t offset;
    ParseHex(t.substr(0, offsetDigits), &offset);
    if (offset % 16 != 0)
        return bad("offset " + Hex(offset) + " is not a multiple of 16");
    if (offset >= 0x1000)
        return bad("offset " + Hex(offset) + " is beyond the 4096-byte configuration space");
    if (d.offsetsSeen.test(offset / 16))
        return bad("offset " + Hex(offset) + " appears twice");

    std::vector<std::string> bytes = Tokens(t.substr(offsetDigits + 1));
    uint8_t values[16];
    for (size_t i = 0; i < bytes.size() && i < 16; i++) {
        uint64_t v;
        if (bytes[i].size() != 2 || !ParseHex(bytes[i], &v))
            return bad("byte '" + bytes[i] + "' is not two hex digits");
        values[i] = static_cast<uint8_t>(v);
    }
    if (bytes.size() != 16)
        return bad("16 bytes expected, found " + std::to_string(bytes.size()));

    d.offsetsSeen.set(offset / 16);
    d.hexStarted = true;
    d.blankAfterHex = false;
    if (offset < 256) /* -xxxx: the extended space is read but not kept */
        for (int i = 0; i < 16; i++)
            d.cfg[offset + i] = values[i];
    return true;
}

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

/* ------------------------------------------------------------ building */

bool Importer::BuildBars(Dumped &d, int header, FunctionDesc *f)
{
    if (header == 2) {
        /* A CardBus bridge's one BAR is its 4 KB socket register block, part
         * of the layout: the address travels in the configuration bytes. */
        for (const TextBar &b : d.bars)
            if (b.size != 0 && b.size != 0x1000)
                f->notes.push_back("socket registers shown as " + Hex(b.size) + " bytes; modelled as 0x1000");
        return true;
    }
    const int count = header == 0 ? 6 : 2; /* BAR registers of the layout */
    auto textFor = [&](int index, std::optional<uint64_t> address) -> TextBar * {
        for (TextBar &b : d.bars)
            if (!b.used && b.index == index)
                return &b;
        if (address)
            for (TextBar &b : d.bars)
                if (!b.used && b.index < 0 && b.address == address)
                    return &b;
        for (TextBar &b : d.bars)
            if (!b.used && b.index < 0)
                return &b;
        return nullptr;
    };
    auto emit = [&](int index, bool io, bool is64, bool pref, std::optional<uint64_t> address, const TextBar *text,
                    uint32_t raw) -> bool {
        const std::string what = "BAR " + std::to_string(index);
        if (text && text->isVirtual) {
            f->notes.push_back(what + " is virtual in the dump (its register reads 0): left out");
            return true;
        }
        uint64_t size = text ? text->size : 0;
        if (size == 0) {
            size = address ? InferBarSize(io, pref, *address) : 0;
            if (size == 0) {
                if (raw != 0 || text)
                    f->notes.push_back(what + " has neither an address nor a size in the dump: left out");
                return true;
            }
            f->notes.push_back(what + " size inferred from its address: " + Hex(size));
        }
        if (is64 && index + 1 >= count)
            return Fail(text ? text->line : d.line, d.location, what + " is 64-bit but is the last BAR register");
        BarDesc bar;
        bar.index = index;
        bar.type = io ? "io" : is64 ? "mem64" : "mem32";
        bar.size = size;
        bar.prefetchable = !io && pref;
        bar.address = address;
        f->bars.push_back(bar);
        return true;
    };

    if (d.Has(0x10) && (count == 2 || d.Has(0x20))) {
        for (int i = 0; i < count;) {
            const unsigned off = 0x10 + 4 * static_cast<unsigned>(i);
            const uint32_t raw = d.D(off);
            const bool io = raw & 1;
            const bool is64 = !io && ((raw >> 1) & 3) == 2 && i + 1 < count;
            uint64_t addr = io ? (raw & ~3u) : (raw & ~0xFu);
            if (is64)
                addr |= static_cast<uint64_t>(d.D(off + 4)) << 32;
            std::optional<uint64_t> address;
            if (addr)
                address = addr;
            TextBar *text = textFor(i, raw ? address : std::nullopt);
            if (raw == 0 && text && text->index < 0)
                text = nullptr; /* an unindexed region belongs to a register that reads something */
            if (text)
                text->used = true;
            bool ok;
            if (raw != 0)
                ok = emit(i, io, is64, !io && (raw & 8), address, text, raw);
            else if (text)
                ok = emit(i, text->io, text->is64, text->prefetchable, text->address, text, raw);
            else
                ok = true;
            if (!ok)
                return false;
            i += (raw != 0 ? is64 : (text && text->is64)) ? 2 : 1;
        }
        for (const TextBar &b : d.bars)
            if (!b.used)
                f->notes.push_back("region line " + std::to_string(b.line) +
                                   " matches no BAR register of the hex: ignored");
        return true;
    }

    /* No hex for the BARs: the region lines alone, in register order. */
    int next = 0;
    for (TextBar &b : d.bars) {
        int index = b.index >= 0 ? b.index : next;
        if (index >= count || (b.is64 && index + 1 >= count))
            return Fail(b.line, d.location,
                        "region " + std::to_string(index) + " is beyond the BAR registers of header layout " +
                            std::to_string(header));
        for (const BarDesc &o : f->bars)
            if (o.index == index || (o.type == "mem64" && o.index + 1 == index))
                return Fail(b.line, d.location,
                            "region " + std::to_string(index) + " overlaps BAR " + std::to_string(o.index));
        if (!emit(index, b.io, b.is64, b.prefetchable, b.address, &b, 0))
            return false;
        next = index + (b.is64 ? 2 : 1);
    }
    return true;
}

/* Configuration bytes for a function dumped without hex: identity, class,
 * header type, interrupt pin and the bridge windows the text shows, so the
 * firmware's programming is there as it would be in a hex dump. */
void Importer::SynthesizeConfig(const Dumped &d, const FunctionDesc &f, FunctionDesc *out)
{
    std::vector<uint8_t> c(f.header == 2 ? 0x48 : 0x40, 0);
    auto w16 = [&](unsigned o, uint32_t v) {
        c[o] = static_cast<uint8_t>(v);
        c[o + 1] = static_cast<uint8_t>(v >> 8);
    };
    auto w32 = [&](unsigned o, uint32_t v) {
        w16(o, v);
        w16(o + 2, v >> 16);
    };
    w16(0x00, *f.vendor);
    w16(0x02, *f.device);
    c[0x08] = f.revision.value_or(0);
    w32(0x08, static_cast<uint32_t>(c[0x08]) | *f.classCode << 8);
    c[0x0E] = static_cast<uint8_t>(f.header | (f.multifunction.value_or(false) ? 0x80 : 0));
    c[0x3D] = f.interruptPin.value_or(0);
    c[0x3C] = d.textIrq.value_or(0);
    c[0x0C] = d.textCacheLine.value_or(0);
    c[0x0D] = d.textLatency.value_or(0);
    w16(0x06, d.textStatus.value_or(0x0200));
    if (f.header == 0) {
        c[0x3E] = d.textMinGrant.value_or(0);
        c[0x3F] = d.textMaxLatency.value_or(0);
    }
    for (const BarDesc &b : f.bars) {
        if (!b.address)
            continue;
        const unsigned at = 0x10 + 4 * static_cast<unsigned>(b.index);
        const uint32_t flags = b.type == "io" ? 1u : (b.type == "mem64" ? 4u : 0u) | (b.prefetchable ? 8u : 0u);
        w32(at, static_cast<uint32_t>(*b.address) | flags);
        if (b.type == "mem64")
            w32(at + 4, static_cast<uint32_t>(*b.address >> 32));
    }
    if (f.header == 0 && f.subVendor) {
        w16(0x2C, *f.subVendor);
        w16(0x2E, f.subDevice.value_or(0));
    }
    if (d.textRom && f.header != 2)
        w32(f.header == 1 ? 0x38 : 0x30, *d.textRom);
    if (f.header != 0 && f.busNumbers) {
        c[0x18] = (*f.busNumbers)[0];
        c[0x19] = (*f.busNumbers)[1];
        c[0x1A] = (*f.busNumbers)[2];
    }
    if (f.header != 0)
        c[0x1B] = d.textSecLatency.value_or(0);
    uint16_t command = d.textCommand.value_or(0);
    if (!d.textCommand) { /* -v: bus master from the flags, decoding from the regions shown enabled */
        command = static_cast<uint16_t>(d.flagsBusMaster ? 0x4 : 0);
        for (const TextBar &b : d.bars)
            if (b.address && !b.disabled && !b.isVirtual)
                command = static_cast<uint16_t>(command | (b.io ? 0x1 : 0x2));
    }
    w16(0x04, command);
    if (f.header == 1)
        w16(0x3E, d.textBridgeControl.value_or(0));
    if (f.header == 1) {
        if (d.io.seen) {
            uint8_t cap = d.io.wide ? 1 : 0;
            uint64_t base = d.io.enabled ? d.io.base : 0xF000, limit = d.io.enabled ? d.io.limit : 0;
            c[0x1C] = static_cast<uint8_t>(((base >> 8) & 0xF0) | cap);
            c[0x1D] = static_cast<uint8_t>(((limit >> 8) & 0xF0) | cap);
            if (d.io.wide) {
                w16(0x30, static_cast<uint32_t>(base >> 16));
                w16(0x32, static_cast<uint32_t>(limit >> 16));
            }
        }
        if (d.mem.seen) {
            w16(0x20, d.mem.enabled ? static_cast<uint32_t>(d.mem.base >> 16) & 0xFFF0 : 0xFFF0);
            w16(0x22, d.mem.enabled ? static_cast<uint32_t>(d.mem.limit >> 16) & 0xFFF0 : 0);
        }
        if (d.pref.seen) {
            uint8_t cap = d.pref.wide ? 1 : 0;
            uint64_t base = d.pref.enabled ? d.pref.base : 0xFFF00000, limit = d.pref.enabled ? d.pref.limit : 0;
            w16(0x24, (static_cast<uint32_t>(base >> 16) & 0xFFF0) | cap);
            w16(0x26, (static_cast<uint32_t>(limit >> 16) & 0xFFF0) | cap);
            if (d.pref.wide) {
                w32(0x28, static_cast<uint32_t>(base >> 32));
                w32(0x2C, static_cast<uint32_t>(limit >> 32));
            }
        }
    } else if (f.header == 2) {
        for (const TextBar &b : d.bars)
            if ((b.index == 0 || b.index < 0) && b.address && !b.io)
                w32(0x10, static_cast<uint32_t>(*b.address));
        uint16_t control = static_cast<uint16_t>(d.textBridgeControl.value_or(0) & ~0x300u);
        for (int i = 0; i < 2; i++) {
            if (d.cbMem[i].seen && d.cbMem[i].enabled) {
                w32(0x1C + 8 * i, static_cast<uint32_t>(d.cbMem[i].base) & 0xFFFFF000u);
                w32(0x20 + 8 * i, static_cast<uint32_t>(d.cbMem[i].limit) & 0xFFFFF000u);
                if (d.cbMem[i].prefetchable)
                    control |= static_cast<uint16_t>(0x100 << i);
            }
            if (d.cbIo[i].seen && d.cbIo[i].enabled) {
                w32(0x2C + 8 * i, static_cast<uint32_t>(d.cbIo[i].base) & ~3u);
                w32(0x30 + 8 * i, static_cast<uint32_t>(d.cbIo[i].limit) & ~3u);
            }
        }
        w16(0x3E, control);
        if (f.subVendor) {
            w16(0x40, *f.subVendor);
            w16(0x42, f.subDevice.value_or(0));
        }
        w32(0x44, d.textLegacy.value_or(0));
    }
    out->config = c;
}

bool Importer::BuildFunction(Dumped &d, FunctionDesc *f)
{
    f->location = d.location;
    f->line = d.line;
    f->name = d.name;

    if (d.Has(0x00)) {
        if (d.W(0x00) == 0xFFFF)
            return Fail(d.line, d.location,
                        "the dump reads all ones (vendor id ffff): the function did not answer "
                        "when the dump was taken; leave it out of the file");
        f->vendor = d.W(0x00);
        f->device = d.W(0x02);
        f->revision = d.B(0x08);
        f->classCode = d.D(0x08) >> 8;
        const uint8_t type = d.B(0x0E);
        if ((type & 0x7F) > 2)
            return Fail(d.line, d.location, "header type " + Hex(type & 0x7F) + " in the hex is not 0, 1 or 2");
        f->header = type & 0x7F;
        f->multifunction = (type & 0x80) != 0;
    } else {
        if (!d.nnVendor)
            return Fail(d.line, d.location,
                        "no vendor and device ids: the dump has neither the hex of bytes 0x00..0x0f "
                        "nor a [vvvv:dddd] in the header line");
        f->vendor = d.nnVendor;
        f->device = d.nnDevice;
        f->revision = d.revision.value_or(0);
        std::optional<uint16_t> cls = ClassOf(d);
        if (!cls)
            return Fail(d.line, d.location,
                        "cannot tell the class of '" + d.className +
                            "': the dump has neither the hex nor a [cccc] class code" +
                            (PciClassNameCount() == 0 ? " (and no class list could be read from " + PciIdsPath() + ")"
                                                      : ""));
        f->classCode = static_cast<uint32_t>(*cls) << 8 | d.progIf.value_or(0);
        f->header = (*cls == 0x0604 || *cls == 0x0609) ? 1 : *cls == 0x0607 ? 2 : 0;
        bool others = false;
        for (const Dumped *o : chosen_)
            others = others || (o != &d && o->bus == d.bus && o->dev == d.dev);
        f->multifunction = others;
    }

    const unsigned subAt = f->header == 2 ? 0x40 : 0x2C;
    if (f->header != 1 && d.Has(subAt) && (d.W(subAt) != 0 || d.W(subAt + 2) != 0)) {
        f->subVendor = d.W(subAt);
        f->subDevice = d.W(subAt + 2);
    } else if (d.textSubVendor) {
        f->subVendor = d.textSubVendor;
        f->subDevice = d.textSubDevice;
    }
    if (d.Has(0x30))
        f->interruptPin = static_cast<uint8_t>(d.B(0x3D) <= 4 ? d.B(0x3D) : 0);
    else if (d.textPin)
        f->interruptPin = d.textPin;
    else /* lspci -vv prints "Interrupt:" only for a function with a pin; -v shows the IRQ alone: take INTA */
        f->interruptPin = static_cast<uint8_t>(d.flagsIrq ? 1 : 0);

    if (f->header == 1 || f->header == 2) {
        if (d.Has(0x10))
            f->busNumbers = std::array<uint8_t, 3>{d.B(0x18), d.B(0x19), d.B(0x1A)};
        else if (d.textBus)
            f->busNumbers = d.textBus;
    }

    if (!BuildBars(d, f->header, f))
        return false;

    if (size_t extent = d.Extent())
        f->config.assign(d.cfg.begin(), d.cfg.begin() + static_cast<long>(extent));
    else
        SynthesizeConfig(d, *f, f);

    /* A ready-made model with the same ids and layout brings the vendor
     * registers (and their write masks) that the driver's quirks program. */
    for (const std::string &model : ModelNames()) {
        std::optional<sim::DeviceModel> m = ModelByName(model);
        if (m && m->vendorId == *f->vendor && m->deviceId == *f->device && m->headerLayout == f->header) {
            f->model = model;
            f->notes.push_back("built on the ready-made model " + model + " (same vendor and device ids)");
            break;
        }
    }
    return true;
}

/* Each function hangs behind the bridge whose secondary bus is its bus, else
 * behind the nearest bridge whose range holds its bus. Bus 0, and a bus no
 * bridge's range holds, is a root bus: the host bridge's own, or a peer
 * root (a host bridge of its own, e.g. a server's second one). A parent
 * always sits on a lower bus than its child, so the tree has no loop. */
bool Importer::PlaceInTree(std::vector<FunctionDesc> &fns)
{
    auto secondary = [&](size_t j) { return (*fns[j].busNumbers)[1]; };
    auto span = [&](size_t j) { return (*fns[j].busNumbers)[2] - (*fns[j].busNumbers)[1]; };
    for (size_t i = 0; i < fns.size(); i++) {
        const Dumped &d = *chosen_[i];
        if (d.bus == 0)
            continue;
        std::optional<size_t> best;
        for (size_t j = 0; j < fns.size(); j++) {
            const FunctionDesc &b = fns[j];
            if (j == i || !b.busNumbers || (b.header != 1 && b.header != 2) || chosen_[j]->bus >= d.bus)
                continue;
            const int sec = (*b.busNumbers)[1], sub = (*b.busNumbers)[2];
            if (sec == 0 || d.bus < sec || d.bus > sub)
                continue;
            const bool direct = sec == d.bus;
            const bool bestDirect = best && secondary(*best) == d.bus;
            if (direct && bestDirect)
                return Fail(d.line, d.location,
                            "bridges " + fns[*best].location + " and " + b.location + " both have bus " +
                                Hex2(static_cast<unsigned>(d.bus)) + " as their secondary bus");
            if (!best || (direct && !bestDirect) || (!bestDirect && sub - sec < span(*best)))
                best = j;
        }
        if (best)
            fns[i].behind = fns[*best].location;
        else
            fns[i].rootBus = static_cast<uint8_t>(d.bus);
    }
    /* A bus reached through an enclosing range shares its segment with the
     * bridge's own bus; two functions must not land in one slot there. */
    auto segment = [&](size_t i) { return fns[i].behind.empty() ? "root bus " + Hex2(fns[i].rootBus) : fns[i].behind; };
    for (size_t i = 0; i < fns.size(); i++)
        for (size_t j = 0; j < i; j++)
            if (segment(i) == segment(j) && chosen_[i]->dev == chosen_[j]->dev && chosen_[i]->fn == chosen_[j]->fn)
                return Fail(chosen_[i]->line, chosen_[i]->location,
                            "it would share slot " + Hex2(static_cast<unsigned>(chosen_[i]->dev)) + "." +
                                std::to_string(chosen_[i]->fn) + " behind " + fns[i].behind + " with " +
                                fns[j].location + " (bus " + Hex2(static_cast<unsigned>(chosen_[i]->bus)) +
                                " has no bridge of its own in the dump)");
    return true;
}

std::optional<MachineDesc> Importer::Build(const ImportOptions &options)
{
    if (dumped_.empty()) {
        Fail(1, "", "no lspci function header line ('bb:dd.f <class>: <name>') in the file");
        return std::nullopt;
    }
    /* The domain: the one asked for, else the one holding the first CardBus
     * controller, else the lowest. */
    std::map<unsigned, size_t> perDomain;
    for (const Dumped &d : dumped_)
        perDomain[d.domain]++;
    unsigned domain = perDomain.begin()->first;
    if (options.domain) {
        domain = *options.domain;
        if (perDomain.count(domain) == 0) {
            std::string have;
            for (const auto &[n, count] : perDomain)
                have += (have.empty() ? "" : ", ") + Domain4(n);
            if (error_)
                *error_ = file_ + ": no function of PCI domain " + Domain4(domain) + " in the dump (it has " + have + ")";
            return std::nullopt;
        }
    } else {
        const Dumped *first = nullptr;
        for (const Dumped &d : dumped_)
            if (ClassOf(d) == 0x0607 && (!first || std::make_tuple(d.domain, Order(d)) <
                                                       std::make_tuple(first->domain, Order(*first))))
                first = &d;
        if (first)
            domain = first->domain;
    }
    for (Dumped &d : dumped_)
        if (d.domain == domain)
            chosen_.push_back(&d);

    MachineDesc m;
    m.source = file_;
    m.domain = domain;
    for (const auto &[n, count] : perDomain)
        if (n != domain)
            m.otherDomains.push_back(OtherDomain{n, count});
    m.importNotes = mended_;
    size_t slash = file_.find_last_of('/');
    m.name = slash == std::string::npos ? file_ : file_.substr(slash + 1);
    m.description = "imported from lspci output (" + std::to_string(chosen_.size()) + " functions" +
                    (m.otherDomains.empty() ? "" : " of PCI domain " + Domain4(domain)) + ")";
    m.functions.resize(chosen_.size());
    for (size_t i = 0; i < chosen_.size(); i++)
        if (!BuildFunction(*chosen_[i], &m.functions[i]))
            return std::nullopt;
    if (!PlaceInTree(m.functions))
        return std::nullopt;
    /* The adapter's controller: the first CardBus controller wherever it sits. */
    const Dumped *controller = nullptr;
    for (size_t i = 0; i < chosen_.size(); i++)
        if (m.functions[i].header == 2 && (!controller || Order(*chosen_[i]) < Order(*controller)))
            controller = chosen_[i];
    if (controller)
        m.controller = controller->location;
    return m;
}

} // namespace

uint64_t InferBarSize(bool io, bool prefetchable, uint64_t address)
{
    address &= io ? ~uint64_t{3} : ~uint64_t{0xF};
    if (address == 0)
        return 0;
    const uint64_t align = address & (~address + 1);
    const uint64_t cap = io ? kInferredIoMax : prefetchable ? kInferredPrefetchableMax : kInferredMemoryMax;
    return align < cap ? align : cap;
}

std::optional<MachineDesc> ImportLspci(const std::string &text, const std::string &fileName, std::string *error,
                                       const ImportOptions &options)
{
    Importer importer(fileName, error);
    if (!importer.ReadLines(text))
        return std::nullopt;
    return importer.Build(options);
}

} // namespace tolmusim
