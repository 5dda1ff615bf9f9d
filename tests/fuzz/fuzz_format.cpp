// Fuzz target: the stand-in's _vsnprintf and the driver's DebugPrint on every
// format the driver prints with (collect_formats.py), with a buffer size and
// arguments (numbers; texts narrow, 16-bit or null) from the input. As the
// Windows runtime: a text that fits is written with its terminator and its
// length returned; exactly full, no terminator; longer, cut at count bytes
// and -1; nothing written past count bytes (the buffer is exactly that long,
// for AddressSanitizer). With ASCII arguments the text is the C library's for
// the format with %lx -> %x, %ws -> %s. DebugPrint puts at most 131
// characters of it into one trace line, the same line to the debugger.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_input.h"

#include "core/debug.h"

namespace {

struct Format {
    const char *where, *text;
};

const Format kFormats[] = {
#include "driver_formats.inc"
};

enum class Arg { Int32, Int64, Narrow, Wide };

// The conversions of a format as the Windows runtime reads them, and the
// format translated for the C library.
std::vector<Arg> Parse(const char *p, std::string *libc, bool *comparable)
{
    enum Size { None, Short, Long, LongLong, Ptr, WideSize };
    static const std::pair<const char *, Size> prefixes[] = {{"hh", Short}, {"h", Short},       {"ll", LongLong},
                                                             {"l", Long},   {"I64", LongLong}, {"I32", Long},
                                                             {"I", Ptr},    {"w", WideSize}};
    std::vector<Arg> args;
    *comparable = true;
    while (*p != 0) {
        if (*p != '%') {
            libc->push_back(*p++);
            continue;
        }
        std::string piece(1, *p++);
        bool zero = false;
        for (; *p != 0 && std::strchr("-+ #0", *p) != nullptr; p++) {
            zero |= *p == '0';
            piece.push_back(*p);
        }
        for (bool precision : {false, true}) { // width, then .precision
            if (precision && *p == '.')
                piece.push_back(*p++);
            else if (precision)
                break;
            if (*p == '*') {
                args.push_back(Arg::Int32);
                piece.push_back(*p++);
            }
            while (*p >= '0' && *p <= '9')
                piece.push_back(*p++);
        }
        Size size = None; // 'h' sizes are not compared
        for (const auto &[text, s] : prefixes)
            if (std::strncmp(p, text, std::strlen(text)) == 0) {
                size = s;
                p += std::strlen(text);
                *comparable &= s != Short;
                break;
            }
        const char conv = *p;
        if (conv == 0) {
            *comparable = false;
            break;
        }
        p++;
        if (std::strchr("diuxXoc", conv) != nullptr) {
            args.push_back(size == LongLong || size == Ptr ? Arg::Int64 : Arg::Int32);
            piece += size == LongLong ? "ll" : size == Ptr ? "z" : "";
            *comparable &= !(conv == 'c' && zero);
            piece.push_back(conv);
        } else if (conv == 's' || conv == 'S') {
            const bool wide = (conv == 'S' && size != Short) || size == WideSize || size == Long;
            args.push_back(wide ? Arg::Wide : Arg::Narrow);
            *comparable &= !zero; // '0' pads texts in the Windows runtime only
            piece.push_back('s');
        } else if (conv == 'p' || conv == 'n') {
            args.push_back(Arg::Int64);
            *comparable = false;
        } else if (conv == '%') {
            piece.push_back('%');
        } else {
            *comparable = false;
        }
        *libc += piece;
    }
    return args;
}

constexpr size_t kMaxArgs = 12;

void Fault(const char *what, const Format &format) { fuzz::Fault(std::string(what) + ": " + format.where); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    const Format &format = kFormats[in.U16() % (sizeof kFormats / sizeof kFormats[0])];
    const size_t count = in.U16() % 300;
    std::string libcFormat;
    bool comparable, ascii = true;
    std::vector<Arg> kinds = Parse(format.text, &libcFormat, &comparable);
    if (kinds.size() > kMaxArgs)
        Fault("too many conversions for the target", format);

    // The arguments as the runtime takes them, and as the C library would.
    uintptr_t w[kMaxArgs] = {}, l[kMaxArgs] = {};
    std::vector<std::string> narrow(kMaxArgs);
    std::vector<std::u16string> wide(kMaxArgs);
    for (size_t i = 0; i < kinds.size(); i++) {
        if (kinds[i] == Arg::Int32 || kinds[i] == Arg::Int64) {
            w[i] = l[i] = kinds[i] == Arg::Int32 ? in.U32() : uintptr_t(in.U64());
            continue;
        }
        const uint8_t len = in.U8();
        if (len == 0xFF) { // a null text: "(null)" in the Windows runtime, the C library's own choice
            comparable = false;
            continue;
        }
        for (uint8_t k = 0; k < len; k++) {
            char16_t c = kinds[i] == Arg::Wide && (in.U8() & 0x80) ? char16_t(in.U16()) : char16_t(in.U8());
            c |= (c & 0xFF) == 0 ? 'a' : 0;
            ascii &= c < 0x80;
            wide[i].push_back(c);
            narrow[i].push_back(char(c & 0xFF));
        }
        w[i] = kinds[i] == Arg::Wide ? uintptr_t(wide[i].c_str()) : uintptr_t(narrow[i].c_str());
        l[i] = uintptr_t(narrow[i].c_str());
    }
#define ARGS(a) a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10], a[11]

    static char full[8192], reference[8192];
    const int length = _snprintf(full, sizeof full, format.text, ARGS(w));
    if (length < 0 || size_t(length) >= sizeof full || std::strlen(full) != size_t(length))
        Fault("whole text cut or not terminated at its length", format);
    if (comparable && ascii) {
        std::snprintf(reference, sizeof reference, libcFormat.c_str(), ARGS(l));
        if (std::strcmp(reference, full) != 0)
            fuzz::Fault(std::string("text differs from the C library's for ") + format.where + ":\n  runtime: " +
                        full + "\n  libc:    " + reference);
    }

    // The bounded form into a buffer of exactly count bytes.
    const size_t len = size_t(length);
    std::unique_ptr<char[]> buffer(new char[count]); // never null, even for 0 bytes
    std::memset(buffer.get(), 0xAA, count);
    const int n = _snprintf(buffer.get(), count, format.text, ARGS(w));
    if (n != (len <= count ? length : -1) || std::memcmp(buffer.get(), full, std::min(len, count)) != 0)
        Fault("bounded text wrong or wrong length returned", format);
    if (len < count && buffer[len] != 0)
        Fault("fitting text unterminated", format);
    for (size_t i = len + 1; i < count; i++)
        if (uint8_t(buffer[i]) != 0xAA)
            Fault("bytes past the terminator written", format);

    // DebugPrint: one line of at most 131 characters, the same to the debugger.
    standin::Reset();
    standin::ResetDriverModuleState();
    SetVerbose(1);
    if (TraceStart(0x4000) == nullptr)
        Fault("no trace buffer", format);
    DebugPrint(format.text, ARGS(w));
    const std::string line(TraceGetStart(), TraceGetUsed());
    if (line != std::string(full, std::min<size_t>(len, DEBUG_LINE_SIZE - 1)))
        Fault("trace line is not the text cut at 131", format);
    if (standin::DebugLines().size() != 1 || standin::DebugLines()[0] != line)
        Fault("debugger line differs from the trace line", format);
    TraceStop();
    fuzz::Done();
    return 0;
}
