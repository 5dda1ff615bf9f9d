// The tool's one reader of numbers (hex.h) and the class names of pci.ids
// (pci_names.h), which lspci prints in its header lines.
#include <gtest/gtest.h>

#include "hex.h"
#include "lspci_test.h"
#include "pci_names.h"

namespace {

enum Reader { kHex, kHexPrefixed, kNumber };

struct NumberRow {
    Reader reader;
    const char *text;
    std::optional<uint64_t> value; /* nullopt: refused */
    size_t maxDigits = 16;
};

void PrintTo(const NumberRow &r, std::ostream *os) { *os << r.reader << " '" << r.text << "'"; }

class ToolNumbers : public ::testing::TestWithParam<NumberRow> {};

TEST_P(ToolNumbers, WholeTextOrNothing)
{
    const NumberRow &r = GetParam();
    uint64_t v = 0;
    const bool ok = r.reader == kHex           ? tolmusim::ParseHex(r.text, &v, r.maxDigits)
                    : r.reader == kHexPrefixed ? tolmusim::ParseHexPrefixed(r.text, &v, r.maxDigits)
                                               : tolmusim::ParseNumber(r.text, &v);
    EXPECT_EQ(ok ? std::optional<uint64_t>(v) : std::nullopt, r.value);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ToolNumbers,
    ::testing::Values(NumberRow{kHex, "0", 0}, NumberRow{kHex, "aC", 0xAC}, NumberRow{kHex, "ffffffffffffffff", ~0ull},
                      NumberRow{kHex, "10000000000000000", std::nullopt}, NumberRow{kHex, "", std::nullopt},
                      NumberRow{kHex, "0x10", std::nullopt}, NumberRow{kHex, "+1", std::nullopt},
                      NumberRow{kHex, " 1", std::nullopt}, NumberRow{kHex, "1 ", std::nullopt},
                      NumberRow{kHex, "123", std::nullopt, 2}, NumberRow{kHex, "12", 0x12, 2},
                      NumberRow{kHexPrefixed, "0x10", 0x10}, NumberRow{kHexPrefixed, "0X1f", 0x1F},
                      NumberRow{kHexPrefixed, "10", 0x10}, NumberRow{kHexPrefixed, "0x", std::nullopt},
                      NumberRow{kNumber, "010", 10}, NumberRow{kNumber, "0x10", 0x10},
                      NumberRow{kNumber, "18446744073709551615", ~0ull},
                      NumberRow{kNumber, "18446744073709551616", std::nullopt}, NumberRow{kNumber, "-1", std::nullopt},
                      NumberRow{kNumber, "1e3", std::nullopt}, NumberRow{kNumber, "", std::nullopt}));

/* lspci prints the subclass's name, else the base class's; read back, a
 * base class name alone stands for subclass 0x80. */
struct ClassRow {
    uint8_t base, sub;
    const char *name;
    std::optional<uint16_t> back; /* what the name reads back as */
};

class PciClassNames : public ::testing::TestWithParam<ClassRow> {};

TEST_P(PciClassNames, BothWaysFromPciIds)
{
    const ClassRow &r = GetParam();
    ASSERT_GT(tolmusim::PciClassNameCount(), 100u) << "the class list of " << tolmusim::PciIdsPath();
    EXPECT_EQ(tolmusim::PciClassName(r.base, r.sub), r.name);
    if (*r.name)
        EXPECT_EQ(tolmusim::PciClassFromName(r.name), r.back);
}

INSTANTIATE_TEST_SUITE_P(Rows, PciClassNames,
                         ::testing::Values(ClassRow{0x06, 0x07, "CardBus bridge", 0x0607},
                                           ClassRow{0x06, 0x04, "PCI bridge", 0x0604},
                                           ClassRow{0x03, 0x00, "VGA compatible controller", 0x0300},
                                           ClassRow{0x0c, 0x03, "USB controller", 0x0c03},
                                           ClassRow{0x06, 0x42, "Bridge", 0x0680},    /* unknown subclass */
                                           ClassRow{0x0b, 0x80, "Processor", 0x0b80}, /* no "other" subclass listed */
                                           ClassRow{0x55, 0x00, "", std::nullopt}));

TEST(PciClassNamesEdges, CaseAndUnknownNamesAndTheImportersUse)
{
    EXPECT_EQ(tolmusim::PciClassFromName("cardbus BRIDGE"), 0x0607);
    EXPECT_EQ(tolmusim::PciClassFromName("Frobnicator"), std::nullopt);
    /* A text-only header line: the class comes from its name. */
    tolmusim::MachineDesc m = lspcitest::Import("00:1f.1 IDE interface: Intel Corporation 82801CAM IDE U100 "
                                                "Controller [8086:248a] (rev 02) (prog-if 8a [ISA Compatibility mode])\n",
                                                "ide.txt");
    ASSERT_EQ(m.functions.size(), 1u);
    EXPECT_EQ(m.functions[0].classCode, 0x01018Au);
}

} // namespace
