/*
 * lspci_import.cpp - reads lspci output into a MachineDesc: the reader of
 * the lines. The known text lines of a function are read in lspci_text.cpp;
 * what the reader collects becomes the machine in lspci_build.cpp.
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
#include <cstdio>
#include <iterator>
#include <map>
#include <tuple>

#include "hex.h"
#include "lspci_dump.h"
#include "pci_names.h"
#include "pci/pci_regs.h"

namespace tolmusim {

namespace lspci {

/* ------------------------------------------------------------ small parsers */

bool IsSpace(char c)
{
    return c == ' ' || c == '\t';
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
/* base << 8 | sub: from the hex, else the [cccc] of the header line, else
 * the class name lspci printed, looked up in pci.ids. */
std::optional<uint16_t> ClassOf(const Dumped &d)
{
    if (d.Has(CFG16_CLASS))
        return d.W(CFG16_CLASS);
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

} // namespace lspci

using namespace lspci;

namespace {

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

} // namespace

namespace lspci {

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

} // namespace lspci

std::optional<MachineDesc> ImportLspci(const std::string &text, const std::string &fileName, std::string *error,
                                       const ImportOptions &options)
{
    Importer importer(fileName, error);
    if (!importer.ReadLines(text))
        return std::nullopt;
    return importer.Build(options);
}

} // namespace tolmusim
