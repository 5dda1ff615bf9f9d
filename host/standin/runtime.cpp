/*
 * runtime.cpp - the kernel runtime routines the driver calls: the bounded
 * formatter (_vsnprintf, _snprintf), DbgPrint with its captured lines, and
 * RtlCompareMemory.
 *
 * The formatter follows the Windows runtime, not glibc: 'l' is 32 bits (ULONG
 * is passed for %lx), 'll' and 'I64' are 64 bits, 'I' is pointer-sized, %ws
 * and %S take a 16-bit string, and the bounded form does not terminate a cut
 * result.
 *
 * KNOWN DIFFERENCE from Windows: conversions the driver never uses (%e, %f,
 * %g, %Z, %wZ) are not modelled: their text is copied as written.
 */
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>

#include "internal.h"

namespace standin::detail {

namespace {

enum class Size { Default, Char, Short, Long32, Long64, Pointer, Wide };

struct Field {
    bool left = false;
    bool zero = false;
    bool space = false;
    bool plus = false;
    bool alt = false;
    int width = 0;
    int precision = -1; /* -1: none given */
    Size size = Size::Default;
};

void Pad(std::string &out, size_t n, char c)
{
    out.append(n, c);
}

/* Places body (with its sign or prefix) in the field, honouring '-' and '0'. */
void EmitField(std::string &out, const Field &field, const std::string &prefix, const std::string &digits,
               bool zeroPadAllowed)
{
    size_t len = prefix.size() + digits.size();
    size_t width = field.width > 0 ? (size_t)field.width : 0;
    size_t fill = width > len ? width - len : 0;
    if (field.left) {
        out += prefix;
        out += digits;
        Pad(out, fill, ' ');
    } else if (field.zero && zeroPadAllowed) {
        out += prefix;
        Pad(out, fill, '0');
        out += digits;
    } else {
        Pad(out, fill, ' ');
        out += prefix;
        out += digits;
    }
}

void EmitInteger(std::string &out, const Field &field, char conv, uint64_t magnitude, bool negative)
{
    unsigned base = 10;
    const char *alphabet = "0123456789abcdef";
    if (conv == 'x' || conv == 'p') {
        base = 16;
    } else if (conv == 'X') {
        base = 16;
        alphabet = "0123456789ABCDEF";
    } else if (conv == 'o') {
        base = 8;
    }
    if (conv == 'p')
        alphabet = "0123456789ABCDEF";

    std::string digits;
    uint64_t v = magnitude;
    while (v != 0) {
        digits.insert(digits.begin(), alphabet[v % base]);
        v /= base;
    }
    /* A precision is the minimum digit count; precision 0 prints no digit for 0. */
    size_t minDigits = field.precision >= 0 ? (size_t)field.precision : 1;
    if (digits.size() < minDigits)
        digits.insert(digits.begin(), minDigits - digits.size(), '0');

    std::string prefix;
    if (conv == 'd' || conv == 'i') {
        if (negative)
            prefix = "-";
        else if (field.plus)
            prefix = "+";
        else if (field.space)
            prefix = " ";
    } else if (field.alt && magnitude != 0) {
        if (conv == 'x')
            prefix = "0x";
        else if (conv == 'X')
            prefix = "0X";
        else if (conv == 'o' && (digits.empty() || digits[0] != '0'))
            prefix = "0";
    }
    EmitField(out, field, prefix, digits, field.precision < 0);
}

void EmitText(std::string &out, const Field &field, const std::string &text)
{
    std::string body = text;
    if (field.precision >= 0 && body.size() > (size_t)field.precision)
        body.resize((size_t)field.precision);
    /* '0' pads strings and characters with zeros in the Windows runtime too. */
    EmitField(out, field, "", body, true);
}

} // namespace

std::string Narrow(const char16_t *text)
{
    std::string s;
    if (text == nullptr)
        return s;
    for (; *text != 0; text++)
        s.push_back((char)(*text & 0xFF));
    return s;
}

std::string Narrow(const char16_t *text, size_t units)
{
    std::string s;
    for (size_t i = 0; text != nullptr && i < units; i++)
        s.push_back((char)(text[i] & 0xFF));
    return s;
}

std::string FormatV(const char *format, va_list args)
{
    std::string out;
    if (format == nullptr)
        return out;
    va_list ap;
    va_copy(ap, args);

    const char *p = format;
    while (*p != 0) {
        if (*p != '%') {
            out.push_back(*p++);
            continue;
        }
        const char *start = p++;
        Field field;

        for (;; p++) {
            if (*p == '-')
                field.left = true;
            else if (*p == '0')
                field.zero = true;
            else if (*p == ' ')
                field.space = true;
            else if (*p == '+')
                field.plus = true;
            else if (*p == '#')
                field.alt = true;
            else
                break;
        }

        if (*p == '*') {
            int w = va_arg(ap, int);
            if (w < 0) {
                field.left = true;
                w = -w;
            }
            field.width = w;
            p++;
        } else {
            while (*p >= '0' && *p <= '9')
                field.width = field.width * 10 + (*p++ - '0');
        }

        if (*p == '.') {
            p++;
            field.precision = 0;
            if (*p == '*') {
                int prec = va_arg(ap, int);
                field.precision = prec < 0 ? -1 : prec;
                p++;
            } else {
                while (*p >= '0' && *p <= '9')
                    field.precision = field.precision * 10 + (*p++ - '0');
            }
        }

        if (p[0] == 'h' && p[1] == 'h') {
            field.size = Size::Char;
            p += 2;
        } else if (*p == 'h') {
            field.size = Size::Short;
            p++;
        } else if (p[0] == 'l' && p[1] == 'l') {
            field.size = Size::Long64;
            p += 2;
        } else if (*p == 'l') {
            field.size = Size::Long32;
            p++;
        } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            field.size = Size::Long64;
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            field.size = Size::Long32;
            p += 3;
        } else if (*p == 'I') {
            field.size = Size::Pointer;
            p++;
        } else if (*p == 'w') {
            field.size = Size::Wide;
            p++;
        }

        char conv = *p;
        if (conv == 0) {
            /* A lone '%' (or unfinished conversion) at the end: print it as written. */
            out.append(start);
            break;
        }
        p++;

        switch (conv) {
        case 'd':
        case 'i': {
            int64_t v;
            if (field.size == Size::Long64)
                v = va_arg(ap, long long);
            else if (field.size == Size::Pointer)
                v = (int64_t)va_arg(ap, intptr_t);
            else
                v = va_arg(ap, int);
            if (field.size == Size::Short)
                v = (int16_t)v;
            else if (field.size == Size::Char)
                v = (int8_t)v;
            bool negative = v < 0;
            uint64_t magnitude = negative ? (uint64_t)0 - (uint64_t)v : (uint64_t)v;
            EmitInteger(out, field, conv, magnitude, negative);
            break;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            uint64_t v;
            if (field.size == Size::Long64)
                v = va_arg(ap, unsigned long long);
            else if (field.size == Size::Pointer)
                v = (uint64_t)va_arg(ap, uintptr_t);
            else
                v = va_arg(ap, unsigned int); /* 'l' included: ULONG is 32 bits */
            if (field.size == Size::Short)
                v = (uint16_t)v;
            else if (field.size == Size::Char)
                v = (uint8_t)v;
            EmitInteger(out, field, conv, v, false);
            break;
        }
        case 'p': {
            /* Uppercase hex, all digits of the pointer, as the Windows runtime does. */
            Field pf = field;
            pf.precision = (int)(sizeof(void *) * 2);
            pf.alt = false;
            EmitInteger(out, pf, 'p', (uint64_t)(uintptr_t)va_arg(ap, void *), false);
            break;
        }
        case 'c':
        case 'C': {
            int c = va_arg(ap, int);
            EmitText(out, Field{field.left, field.zero, false, false, false, field.width, -1, field.size},
                     std::string(1, (char)(c & 0xFF)));
            break;
        }
        case 's':
        case 'S': {
            bool wide = (conv == 'S' && field.size != Size::Short) || field.size == Size::Wide ||
                        field.size == Size::Long32;
            std::string text;
            if (wide) {
                const char16_t *w = va_arg(ap, const char16_t *);
                if (w == nullptr) {
                    text = "(null)";
                } else if (field.precision >= 0) {
                    /* Read no further than the precision allows. */
                    size_t n = 0;
                    while (n < (size_t)field.precision && w[n] != 0)
                        n++;
                    text = Narrow(w, n);
                } else {
                    text = Narrow(w);
                }
            } else {
                const char *s = va_arg(ap, const char *);
                if (s == nullptr)
                    text = "(null)";
                else if (field.precision >= 0)
                    text.assign(s, strnlen(s, (size_t)field.precision));
                else
                    text = s;
            }
            EmitText(out, field, text);
            break;
        }
        case '%':
            out.push_back('%');
            break;
        case 'n':
            /* Writing back the count is disabled in the kernel runtime: the
             * argument is consumed and nothing is stored. */
            (void)va_arg(ap, void *);
            break;
        default:
            /* Not a conversion this runtime knows: copy the text as written. */
            out.append(start, p);
            break;
        }
    }
    va_end(ap);
    return out;
}

std::string Format(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::string s = FormatV(format, ap);
    va_end(ap);
    return s;
}

/* ---------------------------------------------------------- debug capture */

namespace {

/* DbgPrint keeps at most this many characters of one call, as Windows does. */
constexpr size_t kDbgPrintLimit = 512;

std::mutex debugLock;
std::vector<std::string> debugLines;
bool debugEcho = false;

} // namespace

/* The echo setting stays: it is the program's choice, not the machine's. */
void ResetDebugCapture()
{
    std::lock_guard<std::mutex> g(debugLock);
    debugLines.clear();
}

} // namespace standin::detail

namespace standin {

const std::vector<std::string> &DebugLines()
{
    return detail::debugLines;
}

void ClearDebugLines()
{
    std::lock_guard<std::mutex> g(detail::debugLock);
    detail::debugLines.clear();
}

std::string DebugText()
{
    std::lock_guard<std::mutex> g(detail::debugLock);
    std::string all;
    for (const std::string &line : detail::debugLines)
        all += line;
    return all;
}

void SetDebugEcho(bool echo)
{
    detail::debugEcho = echo;
}

} // namespace standin

namespace {

/* True when the format has a conversion that takes a 16-bit character or
 * string (%C, %S, %lc, %ls, %wc, %ws, %wZ): Windows converts those with its
 * national-language tables, which are pageable. */
bool HasWideConversion(const char *format)
{
    for (const char *p = format; p != nullptr && *p != 0; p++) {
        if (*p != '%')
            continue;
        p++;
        if (*p == '%')
            continue;
        while (*p != 0 && strchr("-0 +#*.123456789", *p) != nullptr)
            p++;
        if (*p == 'C' || *p == 'S')
            return true;
        if ((*p == 'l' || *p == 'w') && (p[1] == 'c' || p[1] == 's' || (*p == 'w' && p[1] == 'Z')))
            return true;
        if (*p == 0)
            break;
    }
    return false;
}

/* The DDK page of DbgPrint: "Unicode format codes (%C, %S, %lc, %ls, %wc,
 * %ws, and %wZ) can only be used with IRQL = PASSIVE_LEVEL"; the kernel's
 * formatter converts them the same way. */
void CheckWideConversionIrql(const char *routine, const char *format)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL && HasWideConversion(format))
        standin::ReportFinding("WIDE_FORMAT_AT_RAISED_IRQL",
                               standin::detail::Format("%s with format \"%s\" at IRQL %d", routine, format, irql));
}

} // namespace

/* ---------------------------------------------------------------- routines */

extern "C" int __cdecl _vsnprintf(char *buffer, size_t count, const char *format, va_list args)
{
    CheckWideConversionIrql("_vsnprintf", format);
    std::string text = standin::detail::FormatV(format, args);
    size_t len = text.size();
    if (len < count) {
        memcpy(buffer, text.data(), len);
        buffer[len] = 0;
        return (int)len;
    }
    /* Exactly full: every character, no terminator, the length returned.
     * Longer: cut at count characters, no terminator, -1. */
    if (count > 0)
        memcpy(buffer, text.data(), count);
    return len == count ? (int)count : -1;
}

extern "C" int __cdecl _snprintf(char *buffer, size_t count, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = _vsnprintf(buffer, count, format, ap);
    va_end(ap);
    return n;
}

extern "C" ULONG DbgPrint(PCSTR Format, ...)
{
    CheckWideConversionIrql("DbgPrint", Format);
    va_list ap;
    va_start(ap, Format);
    std::string text = standin::detail::FormatV(Format, ap);
    va_end(ap);
    if (text.size() > standin::detail::kDbgPrintLimit)
        text.resize(standin::detail::kDbgPrintLimit);

    bool echo;
    {
        std::lock_guard<std::mutex> g(standin::detail::debugLock);
        standin::detail::debugLines.push_back(text);
        echo = standin::detail::debugEcho;
    }
    if (echo) {
        fputs(text.c_str(), stderr);
        fflush(stderr);
    }
    return STATUS_SUCCESS;
}

extern "C" SIZE_T NTAPI RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length)
{
    const unsigned char *a = static_cast<const unsigned char *>(Source1);
    const unsigned char *b = static_cast<const unsigned char *>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i])
        i++;
    return i;
}
