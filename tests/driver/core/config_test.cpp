// Configuration values: read from tolmu\Parameters with defaults, the
// exactly-four-bytes rule, the failure flag, the dump, the accessors, and the
// publishing of values under dromel\Configured.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/debug.h"
#include "standin.h"
#include "test_support.h"

using testsupport::TraceLines;

namespace {

const char kParams[] = "tolmu\\Parameters";
const char kPublish[] = "dromel\\Configured";

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> b)
{
    return std::vector<uint8_t>(b);
}

std::vector<uint8_t> WideString(const std::u16string &s)
{
    std::vector<uint8_t> data;
    for (char16_t c : s) {
        data.push_back(uint8_t(c & 0xFF));
        data.push_back(uint8_t(c >> 8));
    }
    data.push_back(0);
    data.push_back(0);
    return data;
}

class ConfigTest : public testsupport::DriverTest {
  protected:
    // Reads the configuration and prints the dump into a fresh trace.
    std::vector<std::string> ReadAndDump()
    {
        ReadConfiguration();
        StartTrace();
        PrintConfiguration();
        return TraceLines();
    }
};

TEST_F(ConfigTest, EmptyKeyGivesEveryDefaultAndTheDumpShowsThem)
{
    standin::RegCreateKey(kParams);
    auto lines = ReadAndDump();

    std::vector<std::string> expected = {
        "TOLMU: PreFetch      = 0x8000000", "TOLMU: Memory        = 0x8000000",
        "TOLMU: Io            = 0x300",     "TOLMU: setBusNo      = 0x0",
        "TOLMU: TraceSize     = 0x20000",   "TOLMU: filterIO      = 0x0",
        "TOLMU: mapLegacy     = 0x0",       "TOLMU: vgaAlias      = 0x0",
        "TOLMU: nSockets      = 0x0",       "TOLMU: ignoreO2      = 0x0",
        "TOLMU: ignoreToshiba = 0x0",       "TOLMU: ignoreDevId   = 0x0",
        "TOLMU: ignoreVenId   = 0x0",       "TOLMU: ignoreCb      = 0x00000000",
        "TOLMU: ticks         = 0x0",       "TOLMU: Verbose       = 0x0",
    };
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(GetConfigurationFailed(), 0u);
    EXPECT_EQ(GetVerbose(), 0);
}

// Whatever the query does not hand over keeps its default: a missing key
// (whichever way Windows answers the optional flag), a missing value, a value
// of the wrong length, and the values a failing query never reaches.
struct DefaultsCase {
    const char *what;
    void (*setup)();
    ULONG failed; // the failure flag afterwards
    ULONG preFetch; // PreFetch, the second entry; the others keep their defaults
};

const DefaultsCase kDefaultsCases[] = {
    {"missing key, the call fails", [] {}, 0, 0x8000000},
    {"missing key, the call succeeds without a routine call",
     [] { standin::RegOptionalMissingKeySucceeds(true); }, 0, 0x8000000},
    {"empty key: every value missing", [] { standin::RegCreateKey(kParams); }, 0, 0x8000000},
    {"values of the wrong length",
     [] {
         standin::RegSetValue(kParams, "TraceSize", REG_QWORD, Bytes({0, 4, 0, 0, 0, 0, 0, 0}));
         standin::RegSetValue(kParams, "Io", REG_QWORD, Bytes({0, 4, 0, 0, 0, 0, 0, 0}));
         standin::RegSetValue(kParams, "Memory", REG_SZ, WideString(u"0x100000"));
         standin::RegSetValue(kParams, "PreFetch", REG_BINARY, Bytes({1, 2}));
     },
     0, 0x8000000},
    {"the query fails after PreFetch",
     [] {
         standin::RegSetDword(kParams, "PreFetch", 0x4000000);
         standin::RegSetDword(kParams, "Io", 0x400);
         standin::RegFailQuery(STATUS_INSUFFICIENT_RESOURCES, 2);
     },
     1, 0x4000000},
    {"the query fails at once",
     [] {
         standin::RegSetDword(kParams, "PreFetch", 0x4000000);
         standin::RegSetDword(kParams, "Io", 0x400);
         standin::RegFailQuery(STATUS_UNSUCCESSFUL);
     },
     1, 0x8000000},
};

TEST_F(ConfigTest, EveryValueNotHandedOverKeepsItsDefault)
{
    for (const DefaultsCase &c : kDefaultsCases) {
        SCOPED_TRACE(c.what);
        standin::Reset();
        standin::ResetDriverModuleState();
        c.setup();
        auto lines = ReadAndDump();
        EXPECT_EQ(GetConfigurationFailed(), c.failed);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front() == "RtlQueryRegistryValues failed", c.failed != 0);
        EXPECT_EQ(GetTraceSize(), 0x20000u);
        EXPECT_EQ(GetPreFetch(), c.preFetch);
        EXPECT_EQ(GetMemory(), 0x8000000u);
        EXPECT_EQ(GetIo(), 0x300u);
        EXPECT_EQ(GetVerbose(), 0);
    }
}

TEST_F(ConfigTest, StoredValuesReplaceTheDefaultsAndEachAccessorReturnsItsOwn)
{
    const std::vector<std::pair<std::string, ULONG>> values = {
        {"TraceSize", 0x1000}, {"PreFetch", 0x11}, {"Memory", 0x12},      {"Io", 0x13},
        {"filterIO", 0x14},    {"setBusNo", 0x15}, {"mapLegacy", 0x16},   {"vgaAlias", 0x17},
        {"ignoreO2", 0x19},    {"ignoreToshiba", 0x1A}, {"ignoreCb", 0x00030405}, {"ticks", 0x1000},
    };
    for (const auto &v : values)
        standin::RegSetDword(kParams, v.first, v.second);
    ReadConfiguration();

    EXPECT_EQ(GetTraceSize(), 0x1000u);
    EXPECT_EQ(GetPreFetch(), 0x11u);
    EXPECT_EQ(GetMemory(), 0x12u);
    EXPECT_EQ(GetIo(), 0x13u);
    EXPECT_EQ(GetFilterIO(), 0x14u);
    EXPECT_EQ(GetSetBusNo(), 0x15u);
    EXPECT_EQ(GetMapLegacy(), 0x16u);
    EXPECT_EQ(GetVgaAlias(), 0x17u);
    EXPECT_EQ(GetIgnoreO2(), 0x19u);
    EXPECT_EQ(GetIgnoreToshiba(), 0x1Au);
    EXPECT_EQ(GetIgnoreCb(), 0x00030405u);
    EXPECT_EQ(GetTicks(), 0x1000u);
}

TEST_F(ConfigTest, IgnoreCbIsDumpedWithEightUpperCaseDigits)
{
    standin::RegSetDword(kParams, "ignoreCb", 0x00ab0cd1);
    auto lines = ReadAndDump();
    EXPECT_EQ(testsupport::CountContaining(lines, "TOLMU: ignoreCb      = 0x00AB0CD1"), 1u);
}

// Verbose as the registry may hold it, and the verbosity that results.
struct VerboseCase {
    const char *what;
    ULONG type;
    std::vector<uint8_t> data;
    LONG verbosity;
};

class VerboseEncodingTest : public ConfigTest, public ::testing::WithParamInterface<VerboseCase> {};

TEST_P(VerboseEncodingTest, OnlyFourByteDataCounts)
{
    const VerboseCase &c = GetParam();
    standin::RegSetValue(kParams, "Verbose", c.type, c.data);
    ReadConfiguration();
    EXPECT_EQ(GetVerbose(), c.verbosity) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, VerboseEncodingTest,
    ::testing::Values(VerboseCase{"dword 9", REG_DWORD, Bytes({9, 0, 0, 0}), 9},
                      VerboseCase{"two-character string", REG_SZ, WideString(u"10"), 0},
                      VerboseCase{"eight-byte number", REG_QWORD, Bytes({9, 0, 0, 0, 0, 0, 0, 0}), 0},
                      VerboseCase{"one-character string '5'", REG_SZ, WideString(u"5"), 0x35},
                      VerboseCase{"four bytes of binary data", REG_BINARY, Bytes({0x0B, 0, 0, 0}), 0x0B},
                      VerboseCase{"two bytes of binary data", REG_BINARY, Bytes({7, 0}), 0},
                      VerboseCase{"empty binary", REG_BINARY, Bytes({}), 0}));

TEST_F(ConfigTest, AFailedQueryTakesNoVerbosity)
{
    standin::RegSetDword(kParams, "Verbose", 3);
    standin::RegFailQuery(STATUS_INSUFFICIENT_RESOURCES, 16);
    ReadConfiguration();
    EXPECT_EQ(GetConfigurationFailed(), 1u);
    EXPECT_EQ(GetVerbose(), 0) << "the verbosity is taken only from a successful read";
}

TEST_F(ConfigTest, NSocketsAccessorSaysOneOnlyForOne)
{
    for (ULONG stored : {0u, 1u, 2u, 7u}) {
        standin::Reset();
        standin::ResetDriverModuleState();
        standin::RegSetDword(kParams, "nSockets", stored);
        ReadConfiguration();
        EXPECT_EQ(GetNSockets(), stored == 1 ? 1u : 2u) << "stored " << stored;
    }
}

TEST_F(ConfigTest, NSocketsDumpShowsTheRawValue)
{
    standin::RegSetDword(kParams, "nSockets", 7);
    auto lines = ReadAndDump();
    EXPECT_EQ(testsupport::CountContaining(lines, "TOLMU: nSockets      = 0x7"), 1u);
}

TEST_F(ConfigTest, IdFiltersKeepTheLowSixteenBits)
{
    standin::RegSetDword(kParams, "ignoreVenId", 0xABCD104C);
    standin::RegSetDword(kParams, "ignoreDevId", 0x0001AC51);
    auto lines = ReadAndDump();
    EXPECT_EQ(GetIgnoreVenId(), 0x104Cu);
    EXPECT_EQ(GetIgnoreDevId(), 0xAC51u);
    // The dump shows what is stored.
    EXPECT_EQ(testsupport::CountContaining(lines, "TOLMU: ignoreVenId   = 0xabcd104c"), 1u);
    EXPECT_EQ(testsupport::CountContaining(lines, "TOLMU: ignoreDevId   = 0x1ac51"), 1u);
}

TEST_F(ConfigTest, ValuesAreReadOnceAndNotAgain)
{
    standin::RegSetDword(kParams, "Io", 0x500);
    ReadConfiguration();
    standin::RegSetDword(kParams, "Io", 0x700);
    EXPECT_EQ(GetIo(), 0x500u);
}

TEST_F(ConfigTest, RegisterConfigurationCreatesTheKeyAndWritesADword)
{
    // Nothing below the services key: dromel and dromel\Configured are both
    // created, one level at a time.
    EXPECT_FALSE(standin::RegKeyExists("dromel"));
    StartTrace();
    RegisterConfiguration(WSTR("iam"), 0x00020305);
    EXPECT_TRUE(standin::RegKeyExists(kPublish));
    auto v = standin::RegGetValue(kPublish, "iam");
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(v->type, ULONG(REG_DWORD));
    EXPECT_EQ(standin::RegGetDword(kPublish, "iam"), std::optional<ULONG>(0x00020305));

    RegisterConfiguration(WSTR("iam"), 7);
    EXPECT_EQ(standin::RegGetDword(kPublish, "iam"), std::optional<ULONG>(7)) << "an existing key is fine";
    EXPECT_TRUE(TraceLines().empty()) << "no ERROR line";
}

TEST_F(ConfigTest, RegisterConfigurationReportsAKeyThatCannotBeCreated)
{
    StartTrace();
    standin::RegFailCreateKey(STATUS_INSUFFICIENT_RESOURCES);
    RegisterConfiguration(WSTR("trace"), 0x1234);
    EXPECT_EQ(TraceLines(), std::vector<std::string>{"ERROR RegisterConfiguration: RtlCreateRegistryKey failed"});
    EXPECT_FALSE(standin::RegGetValue(kPublish, "trace").has_value());
}

TEST_F(ConfigTest, IamWordIsZeroAtLoad)
{
    SetIam(0x1234);
    standin::ResetDriverModuleState();
    EXPECT_EQ(GetIam(), 0u);
}

} // namespace
