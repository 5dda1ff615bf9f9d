// Fuzz target: the stand-in's _vsnprintf (and the driver's DebugPrint on top
// of it) against every format the driver prints with.
//
// The table of formats is collected from the driver's sources at build time
// (collect_formats.py). The input picks a format, a buffer size and the
// arguments (numbers; texts of any length, narrow or 16-bit, or null). The
// checks, as the Windows runtime's _vsnprintf behaves:
//   - the result fits: every character and a terminator, the length returned;
//   - exactly full: every character, no terminator, the length returned;
//   - longer: the first count characters, no terminator, -1 returned;
//   - nothing is written past count bytes (the buffer is exactly count bytes
//     long, so AddressSanitizer sees any write past it), and nothing past the
//     terminator;
//   - the text equals what the C library's formatter makes of the same
//     format with its Windows-only size prefixes translated (%lx -> %x,
//     %ws -> %s), when the arguments are plain ASCII;
//   - DebugPrint puts at most 131 characters of that text into one trace line
//     and hands the same line to the debugger.
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_input.h"

#include "core/debug.h"

namespace {

struct Format {
    const char *where;
    const char *text;
};

const Format kFormats[] = {
#include "driver_formats.inc"
};
constexpr size_t kFormatCount = sizeof kFormats / sizeof kFormats[0];

enum class Arg { Int32, Int64, Pointer, Narrow, Wide };

// The conversions of a format as the Windows runtime reads them, and the
// format translated for the C library.
std::vector<Arg> Parse(const char *format, std::string *libc, bool *comparable)
{
    std::vector<Arg> args;
    *comparable = true;
    libc->clear();
    for (const char *p = format; *p != 0;) {
        if (*p != '%') {
            libc->push_back(*p++);
            continue;
        }
        std::string piece = "%";
        p++;
        bool zero = false;
        while (*p != 0 && std::strchr("-+ #0", *p) != nullptr) {
            zero |= *p == '0';
            piece.push_back(*p++);
        }
        if (*p == '*') {
            args.push_back(Arg::Int32);
            piece.push_back(*p++);
        }
        while (*p >= '0' && *p <= '9')
            piece.push_back(*p++);
        if (*p == '.') {
            piece.push_back(*p++);
            if (*p == '*') {
                args.push_back(Arg::Int32);
                piece.push_back(*p++);
            }
            while (*p >= '0' && *p <= '9')
                piece.push_back(*p++);
        }
        enum { None, Short, Long, LongLong, Ptr, WideSize } size = None;
        if (p[0] == 'h') {
            size = Short;
            p += p[1] == 'h' ? 2 : 1;
            *comparable = false;
        } else if (p[0] == 'l' && p[1] == 'l') {
            size = LongLong;
            p += 2;
        } else if (p[0] == 'l') {
            size = Long;
            p++;
        } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            size = LongLong;
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            size = Long;
            p += 3;
        } else if (p[0] == 'I') {
            size = Ptr;
            p++;
        } else if (p[0] == 'w') {
            size = WideSize;
            p++;
        }
        char conv = *p;
        if (conv == 0) {
            *comparable = false;
            break;
        }
        p++;
        switch (conv) {
        case 'd': case 'i': case 'u': case 'x': case 'X': case 'o': case 'c':
            if (size == LongLong) {
                args.push_back(Arg::Int64);
                piece += "ll";
            } else if (size == Ptr) {
                args.push_back(Arg::Pointer);
                piece += "z";
            } else {
                args.push_back(Arg::Int32);
            }
            if (conv == 'c' && zero)
                *comparable = false;
            piece.push_back(conv);
            break;
        case 's': case 'S': {
            bool wide = (conv == 'S' && size != Short) || size == WideSize || size == Long;
            args.push_back(wide ? Arg::Wide : Arg::Narrow);
            if (zero)
                *comparable = false; /* '0' pads texts in the Windows runtime only */
            piece.push_back('s');
            break;
        }
        case 'p': case 'n':
            args.push_back(Arg::Pointer);
            *comparable = false;
            break;
        case '%':
            piece.push_back('%');
            break;
        default:
            *comparable = false;
            break;
        }
        *libc += piece;
    }
    return args;
}

constexpr size_t kMaxArgs = 12;

struct Args {
    uintptr_t windows[kMaxArgs] = {};
    uintptr_t libc[kMaxArgs] = {};
    std::vector<std::string> narrow;
    std::vector<std::u16string> wide;
    bool ascii = true;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    const Format &format = kFormats[in.U16() % kFormatCount];
    size_t count = in.U16() % 300;

    std::string libcFormat;
    bool comparable;
    std::vector<Arg> kinds = Parse(format.text, &libcFormat, &comparable);
    if (kinds.size() > kMaxArgs)
        fuzz::Fault(std::string("too many conversions for the target in ") + format.where);

    Args a;
    a.narrow.reserve(kMaxArgs);
    a.wide.reserve(kMaxArgs);
    for (size_t i = 0; i < kinds.size(); i++) {
        switch (kinds[i]) {
        case Arg::Int32:
            a.windows[i] = a.libc[i] = in.U32();
            break;
        case Arg::Int64:
        case Arg::Pointer:
            a.windows[i] = a.libc[i] = (uintptr_t)in.U64();
            break;
        case Arg::Narrow:
        case Arg::Wide: {
            uint8_t len = in.U8();
            if (len == 0xFF) {
                /* A null text: "(null)" in the Windows runtime; the C
                 * library's answer is its own choice, so no comparison. */
                a.windows[i] = a.libc[i] = 0;
                comparable = false;
                break;
            }
            std::u16string w;
            for (uint8_t k = 0; k < len; k++) {
                char16_t c = kinds[i] == Arg::Wide && (in.U8() & 0x80) ? char16_t(in.U16()) : char16_t(in.U8());
                if ((c & 0xFF) == 0)
                    c |= 'a';
                if (c >= 0x80)
                    a.ascii = false;
                w.push_back(c);
            }
            std::string n;
            for (char16_t c : w)
                n.push_back(char(c & 0xFF));
            a.narrow.push_back(n);
            if (kinds[i] == Arg::Wide) {
                a.wide.push_back(w);
                a.windows[i] = (uintptr_t)a.wide.back().c_str();
            } else {
                a.windows[i] = (uintptr_t)a.narrow.back().c_str();
            }
            a.libc[i] = (uintptr_t)a.narrow.back().c_str();
            break;
        }
        }
    }
    const uintptr_t *w = a.windows;
#define WINDOWS_ARGS w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], w[8], w[9], w[10], w[11]

    /* The whole text. */
    static char full[8192];
    int length = _snprintf(full, sizeof full, format.text, WINDOWS_ARGS);
    if (length < 0 || (size_t)length >= sizeof full)
        fuzz::Fault(std::string("whole text cut: ") + format.where);
    if (full[length] != 0 || std::strlen(full) != (size_t)length)
        fuzz::Fault(std::string("whole text not terminated at its length: ") + format.where);

    if (comparable && a.ascii) {
        static char reference[8192];
        const uintptr_t *l = a.libc;
        std::snprintf(reference, sizeof reference, libcFormat.c_str(), l[0], l[1], l[2], l[3], l[4], l[5], l[6],
                      l[7], l[8], l[9], l[10], l[11]);
        if (std::strcmp(reference, full) != 0)
            fuzz::Fault(std::string("text differs from the C library's for ") + format.where + ":\n  runtime: " +
                        full + "\n  libc:    " + reference);
    }

    /* The bounded form into a buffer of exactly count bytes. */
    char *buffer = static_cast<char *>(std::malloc(count));
    std::memset(buffer, 0xAA, count);
    int n = _snprintf(buffer, count, format.text, WINDOWS_ARGS);
    size_t len = (size_t)length;
    if (len < count) {
        if (n != length || std::memcmp(buffer, full, len) != 0 || buffer[len] != 0)
            fuzz::Fault(std::string("fitting text wrong or unterminated: ") + format.where);
        for (size_t i = len + 1; i < count; i++)
            if ((uint8_t)buffer[i] != 0xAA)
                fuzz::Fault(std::string("bytes past the terminator written: ") + format.where);
    } else if (len == count) {
        if (n != length || std::memcmp(buffer, full, len) != 0)
            fuzz::Fault(std::string("exactly full text wrong: ") + format.where);
    } else {
        if (n != -1 || std::memcmp(buffer, full, count) != 0)
            fuzz::Fault(std::string("cut text wrong or not -1: ") + format.where);
    }
    std::free(buffer);

    /* DebugPrint: one line of at most 131 characters into the trace and to
     * the debugger. */
    standin::Reset();
    standin::ResetDriverModuleState();
    SetVerbose(1);
    if (TraceStart(0x4000) == nullptr)
        fuzz::Fault("no trace buffer");
    DebugPrint(format.text, WINDOWS_ARGS);
    std::string line(TraceGetStart(), TraceGetUsed());
    size_t expect = len < DEBUG_LINE_SIZE - 1 ? len : DEBUG_LINE_SIZE - 1;
    if (line != std::string(full, expect))
        fuzz::Fault(std::string("trace line is not the text cut at 131: ") + format.where);
    if (standin::DebugLines().size() != 1 || standin::DebugLines()[0] != line)
        fuzz::Fault(std::string("debugger line differs from the trace line: ") + format.where);
    TraceStop();
    fuzz::Done();
    return 0;
}
