// The kernel runtime's formatter (Windows printf rules), its bounded form,
// DbgPrint capture and RtlCompareMemory.
#include <climits>
#include <functional>

#include "standin_test_util.h"
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
        ROW("%d", "42", 42), ROW("%d", "-42", -42), ROW("%i", "-7", -7), ROW("%5d", "   42", 42),
        ROW("%-5d|", "42   |", 42), ROW("%05d", "-0042", -42), ROW("%+d", "+5", 5),
        ROW("% d", " 5", 5), ROW("%+d", "-5", -5), ROW("% +d", "+5", 5), ROW("%.3d", "007", 7),
        ROW("[%.0d]", "[]", 0), ROW("%8.3d", "     007", 7), ROW("%08.3d", "     007", 7),
        ROW("%-05d|", "3    |", 3), ROW("%d", "-2147483648", INT_MIN), ROW("%u", "4294967295", kAllOnes),
        ROW("%u", "4294967295", -1), ROW("%x", "beef", 0xBEEF), ROW("%X", "BEEF", 0xBEEF),
        ROW("%02x", "05", 5), ROW("%03x", "00a", 10), ROW("%04X", "00AB", 0xAB),
        ROW("%08x", "0000cafe", 0xCAFE), ROW("%#x", "0xff", 255), ROW("%#X", "0XFF", 255),
        ROW("%#x", "0", 0), ROW("%#06x", "0x00ff", 255), ROW("%o", "10", 8), ROW("%#o", "010", 8),
        ROW("%lx", "deadbeef", (ULONG)0xDEADBEEF), ROW("%lX %d", "FFFFFFFF 5", kAllOnes, 5),
        ROW("%08lX", "00001234", (ULONG)0x1234), ROW("%08lx|%x", "0000abcd|1", (ULONG)0xABCD, 1),
        ROW("%02lX", "0F", (ULONG)0xF), ROW("%04lX", "0BAD", (ULONG)0xBAD),
        ROW("%ld", "-3", (LONG)-3), ROW("%lu", "4294967295", kAllOnes),
        ROW("%hx", "2345", 0x12345), ROW("%hd", "-32768", 0x18000), ROW("%hu", "65535", -1),
        ROW("%hhx", "ff", 0x1FF), ROW("%I64x", "123456789abcdef0", 0x123456789ABCDEF0ULL),
        ROW("%I64X", "FFFFFFFFFFFFFFFF", ~0ULL), ROW("%I64d", "-1", -1LL),
        ROW("%lld", "-9223372036854775808", LLONG_MIN),
        ROW("%llu", "18446744073709551615", ULLONG_MAX), ROW("%Ix", "123456789", (size_t)0x123456789ULL),
        ROW("%I32x", "ffffffff", kAllOnes), ROW("%I64u %u", "5000000000 7", 5000000000ULL, 7),
        ROW("%c", "A", 'A'), ROW("%3c", "  A", 'A'), ROW("%-3c|", "A  |", 'A'), ROW("%wc", "Z", u'Z'),
        ROW("%C", "A", (char16_t)0x0141), ROW("%s", "abc", "abc"), ROW("%5s", "  abc", "abc"),
        ROW("%-5s|", "abc  |", "abc"), ROW("%.2s", "ab", "abc"), ROW("%05s", "000ab", "ab"),
        ROW("%s", "(null)", (const char *)nullptr), ROW("%.3s", "(nu", (const char *)nullptr),
        ROW("%ws", "wide", u"wide"), ROW("%S", "wide", u"wide"), ROW("%ls", "x", u"x"),
        ROW("%ws", "Abc", u"\u0141bc"), ROW("%ws", "(null)", (const char16_t *)nullptr),
        ROW("%.2ws", "wi", u"wide"), ROW("%6ws|", "  wide|", u"wide"), ROW("%hs", "n", "n"),
        ROW("%hS", "n", "n"), ROW("SP: %ws\n", "SP: Service Pack 2\n", u"Service Pack 2"),
        ROW("%*d", "   42", 5, 42), ROW("%-*d|", "1   |", 4, 1), ROW("%*d|", "1   |", -4, 1),
        ROW("%.*d", "005", 3, 5), ROW("%.*s", "he", 2, "hello"), ROW("%.*s", "hi", -1, "hi"),
        ROW("%*.*x", "  00f", 5, 3, 15), ROW("%%", "%"), ROW("100%%", "100%"), ROW("50%", "50%"),
        ROW("%q", "%q"), ROW("%p", "0000000000001234", (void *)0x1234),
        ROW("%p", "00007FFF0000ABCD", (void *)0x7FFF0000ABCDULL),
        ROW("ERROR Malloc(size %d) returned NULL\n", "ERROR Malloc(size 132) returned NULL\n", 132),
        ROW("TOLMU: ignoreCb      = 0x%08lX\n", "TOLMU: ignoreCb      = 0x00030001\n",
            (ULONG)0x30001),
        ROW("OS Version %d.%d Build %d (%s) SP: %ws\n",
            "OS Version 5.1 Build 2600 (free) SP: Service Pack 2\n", 5, 1, 2600, "free",
            u"Service Pack 2")};
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

TEST_F(DbgPrintTest, CapturesOneEntryPerCallUpTo512CharactersUntilCleared)
{
    DbgPrint("first %d\n", 1);
    DbgPrint("second %ws", u"two");
    DbgPrint("%s", "\n");
    EXPECT_EQ(standin::DebugLines(), (std::vector<std::string>{"first 1\n", "second two", "\n"}));
    EXPECT_EQ(standin::DebugText(), "first 1\nsecond two\n");
    standin::ClearDebugLines();
    EXPECT_TRUE(standin::DebugLines().empty());
    DbgPrint("%s!", std::string(600, 'x').c_str());
    EXPECT_EQ(standin::DebugLines(), (std::vector<std::string>{std::string(512, 'x')}));
    standin::Reset();
    EXPECT_EQ(standin::DebugText(), "");
}

TEST_F(DbgPrintTest, EchoWritesToStderr)
{
    standin::SetDebugEcho(true);
    standin::Reset(); // the echo is the program's setting and survives a new machine
    ::testing::internal::CaptureStderr();
    DbgPrint("echoed %x\n", 0xAB);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "echoed ab\n");
    standin::SetDebugEcho(false);
    ::testing::internal::CaptureStderr();
    DbgPrint("quiet\n");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(standin::DebugText(), "echoed ab\nquiet\n");
}

TEST(CompareMemory, CountsMatchingBytesUpToTheFirstDifference)
{
    struct Row {
        const char *a, *b;
        size_t length, expected;
    };
    for (const Row &row : {Row{"abcd", "abcd", 4, 4}, Row{"abcd", "abxd", 4, 2}, Row{"abcd", "xbcd", 4, 0},
                           Row{"abcd", "abcx", 3, 3}, Row{"abcd", "wxyz", 0, 0}})
        EXPECT_EQ(RtlCompareMemory(row.a, row.b, row.length), row.expected)
            << "\"" << row.a << "\" vs \"" << row.b << "\" over " << row.length;
}

TEST(Findings, RecordedAndHandedToTheHandlerOrToStderr)
{
    standin::Reset();
    standintest::FindingCatcher catcher; // restores the failing handler afterwards
    standin::ReportFinding("TEST_RULE", "block 1");
    ASSERT_EQ(catcher.caught.size(), 1u);
    EXPECT_EQ(catcher.caught[0].rule, "TEST_RULE");
    EXPECT_EQ(catcher.caught[0].detail, "block 1");
    ASSERT_EQ(standin::Findings().size(), 1u);
    EXPECT_EQ(standin::Findings()[0].rule, "TEST_RULE");
    standin::Reset();
    EXPECT_TRUE(standin::Findings().empty());
    // Reset keeps the handler: it belongs to the program, not the machine.
    standin::ReportFinding("AFTER_RESET", "x");
    EXPECT_EQ(catcher.Rules(), (std::vector<std::string>{"TEST_RULE", "AFTER_RESET"}));
    standin::ClearFindings();
    standin::SetFindingHandler(nullptr);
    ::testing::internal::CaptureStderr();
    standin::ReportFinding("LONELY_RULE", "nobody listens");
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("LONELY_RULE"), std::string::npos) << err;
    EXPECT_NE(err.find("nobody listens"), std::string::npos) << err;
    EXPECT_EQ(standin::Findings().size(), 1u);
    standin::ClearFindings();
}

} // namespace
