// The kernel runtime's formatter (Windows printf rules), its bounded form,
// and DbgPrint's capture.
#include <climits>
#include <functional>

#include "test_support.h"

namespace {

std::string Fmt(const char *format, ...)
{
    char buffer[1024];
    va_list ap;
    va_start(ap, format);
    int n = _vsnprintf(buffer, sizeof(buffer), format, ap);
    va_end(ap);
    if (n < 0)
        return "<overflow>";
    return std::string(buffer, (size_t)n);
}

struct FormatRow {
    const char *format;
    std::function<std::string()> run;
    const char *expected;
};

#define ROW(fmt, expected, ...) FormatRow{fmt, [] { return Fmt(fmt, ##__VA_ARGS__); }, expected}

const ULONG kAllOnes = 0xFFFFFFFF;

TEST(Formatter, FormatsLikeTheWindowsRuntime)
{
    const FormatRow rows[] = {
        ROW("%5d|%-5d|%05d", "   42|42   |-0042", 42, 42, -42), ROW("%d %u", "-2147483648 4294967295", INT_MIN, -1),
        ROW("%x %X %04x %02X %#x", "beef BEEF 00ab 0F 0", 0xBEEF, 0xBEEF, 0xAB, 0xF, 0),
        ROW("%lx %d", "deadbeef 5", (ULONG)0xDEADBEEF, 5),
        ROW("%08lX|%06lx", "00001234|00abcd", (ULONG)0x1234, (ULONG)0xABCD),
        ROW("%hx %I64x %u", "2345 123456789abcdef0 7", 0x12345, 0x123456789ABCDEF0ULL, 7),
        ROW("%s|%.3s|%.2s", "(null)|(nu|ab", (const char *)nullptr, (const char *)nullptr, "abc"),
        ROW("%ws %S %ws", "wide w (null)", u"wide", u"w", (const char16_t *)nullptr),
        ROW("%*d|%.*s", "1   |he", -4, 1, 2, "hello"), ROW("100%% 50%", "100% 50%"), ROW("%q", "%q"),
    };
    for (const FormatRow &row : rows)
        EXPECT_EQ(row.run(), std::string(row.expected)) << "format \"" << row.format << "\"";
}

// The bounded form: room for the text and its terminator, exactly the text, or
// less (then -1 and no terminator).
TEST(BoundedFormat, CutsAndTerminatesLikeWindows)
{
    struct Row {
        size_t count;
        const char *format, *text;
        int expectedReturn;
        const char *expectedBytes; // the buffer afterwards, '0' a terminator, '~' untouched
    };
    const Row rows[] = {{8, "%s", "abc", 3, "abc0~~~~"}, {4, "%s", "abc", 3, "abc0~~~~"},
                        {3, "%s", "abc", 3, "abc~~~~~"}, {2, "%s", "abc", -1, "ab~~~~~~"},
                        {1, "%s", "abc", -1, "a~~~~~~~"}, {0, "%s", "abc", -1, "~~~~~~~~"},
                        {0, "%s", "", 0, "~~~~~~~~"},     {1, "%s", "", 0, "0~~~~~~~"},
                        {8, "%s", "abcdefgh", 8, "abcdefgh"}, {8, "%s", "abcdefghi", -1, "abcdefgh"},
                        {6, "id %08lX", nullptr, -1, "id 000~~"}}; // cut inside a conversion
    for (const Row &row : rows) {
        SCOPED_TRACE("count " + std::to_string(row.count) + " text \"" + (row.text ? row.text : "") + "\"");
        char buffer[9];
        memset(buffer, '~', sizeof(buffer));
        int n = row.text ? _snprintf(buffer, row.count, row.format, row.text)
                         : _snprintf(buffer, row.count, row.format, (ULONG)0x1234);
        EXPECT_EQ(n, row.expectedReturn);
        std::string bytes;
        for (size_t i = 0; i < 8; i++)
            bytes.push_back(buffer[i] == 0 ? '0' : buffer[i]);
        EXPECT_EQ(bytes, std::string(row.expectedBytes));
        EXPECT_EQ(buffer[8], '~') << "wrote beyond the buffer";
    }
}

class DbgPrintTest : public testsupport::DriverTest {};

// One entry per call, cut at 512 characters.
TEST_F(DbgPrintTest, CapturesOneEntryPerCallUpTo512Characters)
{
    DbgPrint("first %d\n", 1);
    DbgPrint("%s!", std::string(600, 'x').c_str());
    EXPECT_EQ(standin::DebugLines(), (std::vector<std::string>{"first 1\n", std::string(512, 'x')}));
}

} // namespace
