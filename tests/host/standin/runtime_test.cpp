// The kernel runtime's formatter: Windows printf rules and its bounded form.
#include <algorithm>
#include <climits>

#include "test_support.h"

namespace {

std::string Fmt(const char *format, ...)
{
    char buffer[1024];
    va_list ap;
    va_start(ap, format);
    int n = _vsnprintf(buffer, sizeof(buffer), format, ap);
    va_end(ap);
    return n < 0 ? "<overflow>" : std::string(buffer, (size_t)n);
}

TEST(Formatter, FormatsLikeTheWindowsRuntime)
{
    EXPECT_EQ(Fmt("%5d|%-5d|%05d|%d|%u", 42, 42, -42, INT_MIN, -1), "   42|42   |-0042|-2147483648|4294967295");
    EXPECT_EQ(Fmt("%x %X %04x %02X %#x", 0xBEEF, 0xBEEF, 0xAB, 0xF, 0), "beef BEEF 00ab 0F 0");
    EXPECT_EQ(Fmt("%lx %d %08lX|%06lx", 0xDEADBEEFu, 5, 0x1234u, 0xABCDu), "deadbeef 5 00001234|00abcd");
    EXPECT_EQ(Fmt("%hx %I64x %u", 0x12345, 0x123456789ABCDEF0ULL, 7), "2345 123456789abcdef0 7");
    EXPECT_EQ(Fmt("%s|%.3s|%.2s", (const char *)nullptr, (const char *)nullptr, "abc"), "(null)|(nu|ab");
    EXPECT_EQ(Fmt("%ws %S %ws", u"wide", u"w", (const char16_t *)nullptr), "wide w (null)");
    EXPECT_EQ(Fmt("%*d|%.*s|100%% 50%|%q", -4, 1, 2, "hello"), "1   |he|100% 50%|%q");
}

// The bounded form: room for the text and its terminator, exactly the text
// (no terminator), or less (the text cut, -1, no terminator), also inside a
// conversion.
TEST(BoundedFormat, CutsAndTerminatesLikeWindows)
{
    struct Row {
        size_t count;
        const char *text;
        int returned;
        const char *bytes; // the buffer afterwards, '0' a terminator, '~' untouched
    } const rows[] = {{8, "abc", 3, "abc0~~~~"},       {4, "abc", 3, "abc0~~~~"},  {3, "abc", 3, "abc~~~~~"},
                      {2, "abc", -1, "ab~~~~~~"},      {1, "abc", -1, "a~~~~~~~"}, {0, "abc", -1, "~~~~~~~~"},
                      {0, "", 0, "~~~~~~~~"},          {1, "", 0, "0~~~~~~~"},     {8, "abcdefgh", 8, "abcdefgh"},
                      {8, "abcdefghi", -1, "abcdefgh"}, {6, nullptr, -1, "id 000~~"}};
    for (const Row &row : rows) {
        char buffer[9];
        memset(buffer, '~', sizeof(buffer));
        int n = row.text ? _snprintf(buffer, row.count, "%s", row.text)
                         : _snprintf(buffer, row.count, "id %08lX", (ULONG)0x1234);
        std::string bytes(buffer, 9);
        std::replace(bytes.begin(), bytes.end(), '\0', '0');
        EXPECT_EQ(n, row.returned) << row.count << " " << (row.text ? row.text : "id %08lX");
        EXPECT_EQ(bytes, row.bytes + std::string("~")) << row.count << " " << (row.text ? row.text : "id %08lX");
    }
}

} // namespace
