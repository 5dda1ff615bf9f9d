// The lspci importer on input it must refuse: each message names the file,
// the line and the function, and nothing crashes. A bounded run of random
// mutations of a good dump checks the last part.
#include <algorithm>
#include <random>

#include "lspci_test.h"

namespace {

using namespace lspcitest;

std::string ImportError(const std::string &text, const std::string &name)
{
    std::string error;
    return tolmusim::ImportLspci(text, name, &error) ? "" : error;
}

/* A CardBus controller dumped with -x; line 1 is the header, lines 2..5 the hex. */
const std::string kHeader = "00:03.0 CardBus bridge: Texas Instruments PCI1420 PC card Cardbus Controller (rev 01)\n";
const std::string kHex00 = "00: 4c 10 51 ac 07 00 10 02 01 00 07 06 08 a8 82 00\n";
const std::string kHex10 = "10: 00 00 00 10 a0 00 00 02 00 02 05 b0 00 00 00 c0\n";
const std::string kHex20 = "20: 00 f0 ff df 00 00 00 f4 00 f0 ff f5 00 d0 00 00\n";
const std::string kHex30 = "30: fc ef 00 00 00 00 00 00 00 00 00 00 0b 01 40 05\n";
const std::string kGood = kHeader + kHex00 + kHex10 + kHex20 + kHex30;
const std::string kNic = "00:05.0 Ethernet controller [0200]: Acme [1234:5678]\n";
const std::string kP2p = "00:1e.0 PCI bridge [0604]: Intel 82801 [8086:244e]\n";
const std::string kHexLine = "cannot read hex dump line '";

struct BadRow {
    const char *name;
    std::string text;
    std::string message; /* the whole message */
};

void PrintTo(const BadRow &r, std::ostream *os) { *os << r.name; }

class LspciBadInput : public ::testing::TestWithParam<BadRow> {};

TEST_P(LspciBadInput, RefusedWithFileLineAndFunction)
{
    EXPECT_EQ(ImportError(GetParam().text, "dump.txt"), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LspciBadInput,
    ::testing::Values(
        BadRow{"bad hex byte", kHeader + "00: 4c 10 51 ac 07 00 10 02 01 00 07 06 08 a8 820 00\n",
               "dump.txt:2: 00:03.0: " + kHexLine +
                   "00: 4c 10 51 ac 07 00 10 02 01 00 07 06 08 a8 820 00': byte '820' is not two hex digits"},
        BadRow{"truncated line", kHeader + kHex00 + kHex10 + "20: 00 f0 ff df 00 00 00\n",
               "dump.txt:4: 00:03.0: " + kHexLine + "20: 00 f0 ff df 00 00 00': 16 bytes expected, found 7"},
        BadRow{"offset not a multiple of 16", kHeader + kHex00 + "18: 00 00 00 10 a0 00 00 02 00 02 05 b0 00 00 00 c0\n",
               "dump.txt:3: 00:03.0: " + kHexLine +
                   "18: 00 00 00 10 a0 00 00 02 00 02 05 b0 00 00 00 c0': offset 0x18 is not a multiple of 16"},
        BadRow{"offset beyond the space", kHeader + kHex00 + "1000: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n",
               "dump.txt:3: 00:03.0: " + kHexLine +
                   "1000: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00': offset 0x1000 is beyond the 4096-byte "
                   "configuration space"},
        BadRow{"offset twice", kHeader + kHex00 + kHex10 + kHex10,
               "dump.txt:4: 00:03.0: " + kHexLine + kHex10.substr(0, kHex10.size() - 1) + "': offset 0x10 appears twice"},
        BadRow{"garbage in a quoted CRLF dump", "> " + kHeader + "> " + kHex00 + "> xx yy zz\r\n",
               "dump.txt:3: 00:03.0: " + kHexLine + "xx yy zz': expected an offset and 16 bytes"},
        BadRow{"hex outside any function", "Here is my dump:\n" + kHex00,
               "dump.txt:2: hex dump line '00: 4c 10 51 ac 07 00 10 02 01 00 07 06 08 a8 82 00' does not follow a "
               "function's header line"},
        BadRow{"no identity", kHeader + "\tBus: primary=00, secondary=02, subordinate=05, sec-latency=176\n",
               "dump.txt:1: 00:03.0: no vendor and device ids: the dump has neither the hex of bytes 0x00..0x0f nor a "
               "[vvvv:dddd] in the header line"},
        BadRow{"unknown class name", "00:05.0 Frobnicator: Acme Widget [1234:5678]\n",
               "dump.txt:1: 00:05.0: cannot tell the class of 'Frobnicator': the dump has neither the hex nor a [cccc] "
               "class code"},
        BadRow{"device number out of range", "00:3f.0 Host bridge: Intel Corporation 440BX [8086:7190]\n",
               "dump.txt:1: cannot read the location in '00:3f.0 Host bridge: Intel Corporation 440BX [8086:7190]' "
               "(device 00..1f, function 0..7)"},
        BadRow{"header line without a class", "00:03.0 something went wrong here\n",
               "dump.txt:1: 00:03.0: cannot read the header line '00:03.0 something went wrong here': expected "
               "'<class>: <name>'"},
        BadRow{"bad revision", "00:05.0 Ethernet controller [0200]: Acme [1234:5678] (rev xz)\n",
               "dump.txt:1: 00:05.0: cannot read '(rev ' in the header line '00:05.0 Ethernet controller [0200]: Acme "
               "[1234:5678] (rev xz)'"},
        BadRow{"function twice", kHeader + kHex00 + "\n" + kHeader + kHex00,
               "dump.txt:4: 00:03.0: the function appears twice (first at line 1)"},
        BadRow{"vendor all ones",
               "02:00.0 Ethernet controller: Device ffff:ffff (rev ff)\n"
               "00: ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff\n",
               "dump.txt:1: 02:00.0: the dump reads all ones (vendor id ffff): the function did not answer when the "
               "dump was taken; leave it out of the file"},
        BadRow{"unknown header type",
               "00:05.0 Ethernet controller: Acme\n00: 34 12 78 56 00 00 00 00 00 00 00 02 00 00 05 00\n",
               "dump.txt:1: 00:05.0: header type 0x5 in the hex is not 0, 1 or 2"},
        BadRow{"unreadable region", kNic + "\tRegion 0: Memory at zz000000 (32-bit, non-prefetchable) [size=4K]\n",
               "dump.txt:2: 00:05.0: cannot read the address 'zz000000' in region line 'Region 0: Memory at zz000000 "
               "(32-bit, non-prefetchable) [size=4K]'"},
        BadRow{"region size not a power of two", kNic + "\tRegion 0: I/O ports at d000 [size=24]\n",
               "dump.txt:2: 00:05.0: region size 0x18 in 'Region 0: I/O ports at d000 [size=24]' is not a BAR size"},
        BadRow{"I/O region larger than 64 KB", kNic + "\tRegion 0: I/O ports at 10000 [size=128K]\n",
               "dump.txt:2: 00:05.0: region size 0x20000 in 'Region 0: I/O ports at 10000 [size=128K]' is not a BAR "
               "size"},
        BadRow{"unreadable size", kNic + "\tRegion 0: I/O ports at d000 [size=lots]\n",
               "dump.txt:2: 00:05.0: cannot read the size in region line 'Region 0: I/O ports at d000 [size=lots]'"},
        BadRow{"64-bit last register", kNic + "\tRegion 5: Memory at d0000000 (64-bit, prefetchable) [size=64M]\n",
               "dump.txt:2: 00:05.0: region 5 is beyond the BAR registers of header layout 0"},
        BadRow{"unreadable bus numbers", kP2p + "\tBus: primary=00, secondary=zz, subordinate=05, sec-latency=32\n",
               "dump.txt:2: 00:1e.0: cannot read bus numbers line 'Bus: primary=00, secondary=zz, subordinate=05, "
               "sec-latency=32'"},
        BadRow{"unreadable window", kP2p + "\tMemory behind bridge: f4000000..f5ffffff\n",
               "dump.txt:2: 00:1e.0: cannot read bridge window line 'Memory behind bridge: f4000000..f5ffffff'"},
        BadRow{"two bridges with one secondary bus",
               "00:1e.0 PCI bridge [0604]: Intel [8086:244e]\n\tBus: primary=00, secondary=02, subordinate=02, sec-latency=32\n"
               "00:1f.0 PCI bridge [0604]: Intel [8086:244e]\n\tBus: primary=00, secondary=02, subordinate=02, sec-latency=32\n"
               "02:00.0 Ethernet controller [0200]: Acme [1234:5678]\n",
               "dump.txt:5: 02:00.0: bridges 00:1e.0 and 00:1f.0 both have bus 02 as their secondary bus"},
        BadRow{"two functions in one slot through an enclosing range",
               "00:1e.0 PCI bridge [0604]: Intel [8086:244e]\n\tBus: primary=00, secondary=02, subordinate=05, sec-latency=32\n"
               "02:00.0 Ethernet controller [0200]: Acme [1234:5678]\n"
               "03:00.0 Ethernet controller [0200]: Acme [1234:5678]\n",
               "dump.txt:4: 03:00.0: it would share slot 00.0 behind 00:1e.0 with 02:00.0 (bus 03 has no bridge of its "
               "own in the dump)"},
        /* What a mail program glued together is mended only where nothing is lost. */
        BadRow{"hex glued to text and cut short",
               "00:1f.0 ISA bridge: Intel Corporation 82801CAM ISA Bridge (LPC) (rev 02)\n"
               "\tKernel modules: lpc_ich00: 86 80 8c 24 0f 00 80 02\n",
               "dump.txt:1: 00:1f.0: no vendor and device ids: the dump has neither the hex of bytes 0x00..0x0f nor a "
               "[vvvv:dddd] in the header line"},
        BadRow{"header glued to hex with a bad location",
               kHeader + kHex00 + kHex10 + kHex20 + "30: fc ef 00 00 00 00 00 00 00 00 00 00 0b 01 40 05 00:3f.0 Host bridge: X\n",
               "dump.txt:5: cannot read the location in '00:3f.0 Host bridge: X' (device 00..1f, function 0..7)"},
        BadRow{"hex glued to hex", kHeader + "00: 4c 10 51 ac 07 00 10 02 01 00 07 06 08 a8 82 0010: 00 00 00 10\n",
               "dump.txt:2: 00:03.0: " + kHexLine +
                   "00: 4c 10 51 ac 07 00 10 02 01 00 07 06 08 a8 82 0010: 00 00 00 10': byte '0010:' is not two hex "
                   "digits"},
        BadRow{"nothing to read", "lspci: Unable to load libkmod resources: error -2\n",
               "dump.txt:1: no lspci function header line ('bb:dd.f <class>: <name>') in the file"},
        BadRow{"empty file", "", "dump.txt:1: no lspci function header line ('bb:dd.f <class>: <name>') in the file"}),
    [](const ::testing::TestParamInfo<BadRow> &info) { return TestName(info.param.name); });

TEST(LspciBadInputEdges, BlankLinesProseAndDoubleSpacing)
{
    /* Prose after a dump's blank line is not part of it; a hex line there is. */
    std::string error;
    EXPECT_TRUE(tolmusim::ImportLspci(kGood + "\nThanks for any help,\nJim\n", "ok.txt", &error).has_value()) << error;
    EXPECT_EQ(ImportError(kGood + "\nThanks\n" + kHex00, "late.txt"),
              "late.txt:8: hex dump line '00: 4c 10 51 ac 07 00 10 02 01 00 07 06 08 a8 82 00' does not follow a "
              "function's header line");
    /* Some mail programs put a blank line after every line. */
    MachineDesc m = Import(kHeader + "\n" + kHex00 + "\n" + kHex10 + "\n" + kHex20 + "\n" + kHex30 + "\n", "spaced.txt");
    ASSERT_EQ(m.functions.size(), 1u);
    EXPECT_EQ(m.functions[0].config.size(), 64u);
    EXPECT_EQ(m.functions[0].config[0x19], 0x02);
}

/* Random damage to a good dump: characters dropped, replaced or inserted,
 * lines dropped, duplicated or swapped, the text cut short. Whatever comes
 * out, the importer answers with a description or with a message that names
 * the file and a line of it. Deterministic: the same seed every run. */
TEST(LspciFuzz, MutatedDumpsNeverCrashAndErrorsNameALine)
{
    const std::string base = ReadData("mail_quoted_crlf.txt");
    ASSERT_FALSE(base.empty());
    const std::string alphabet = "0123456789abcdefxz:. \t\n\r>[]-=()";
    std::mt19937 rng(20040113);
    int accepted = 0, refused = 0;
    for (int iteration = 0; iteration < 2000; iteration++) {
        SCOPED_TRACE("iteration " + std::to_string(iteration));
        std::string text = base;
        for (int e = 0, edits = 1 + int(rng() % 4); e < edits && !text.empty(); e++) {
            const size_t at = rng() % text.size();
            size_t b = text.rfind('\n', at), end = text.find('\n', at); /* the line holding `at` */
            b = b == std::string::npos ? 0 : b + 1;
            end = end == std::string::npos ? text.size() : end + 1;
            switch (rng() % 7) {
            case 0: text.erase(at, 1); break;
            case 1: text[at] = alphabet[rng() % alphabet.size()]; break;
            case 2: text.insert(at, 1, alphabet[rng() % alphabet.size()]); break;
            case 3: text.erase(b, end - b); break;
            case 4: text.insert(b, text.substr(b, end - b)); break;
            case 5: text.resize(at); break;
            default: { /* swap two stretches */
                const size_t other = rng() % text.size(), len = 1 + rng() % 40;
                for (size_t i = 0; i < len && at + i < text.size() && other + i < text.size(); i++)
                    std::swap(text[at + i], text[other + i]);
            }
            }
        }
        std::string error;
        std::optional<MachineDesc> m = tolmusim::ImportLspci(text, "fuzz.txt", &error);
        if (m) {
            accepted++;
            for (const FunctionDesc &f : m->functions) {
                ASSERT_TRUE(f.vendor && f.device && f.classCode) << f.location;
                for (const BarDesc &bar : f.bars)
                    ASSERT_TRUE(bar.size != 0 && (bar.size & (bar.size - 1)) == 0) << f.location << " BAR " << bar.index;
            }
            continue;
        }
        refused++;
        ASSERT_EQ(error.rfind("fuzz.txt:", 0), 0u) << error;
        const unsigned long line = std::strtoul(error.c_str() + 9, nullptr, 10);
        ASSERT_GE(line, 1ul) << error;
        ASSERT_LE(line, size_t(std::count(text.begin(), text.end(), '\n')) + 1) << error;
    }
    /* Both outcomes occur: the mutations are neither all harmless nor all fatal. */
    EXPECT_GT(accepted, 0);
    EXPECT_GT(refused, 0);
}

} // namespace
