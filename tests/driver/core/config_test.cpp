// Configuration values: defaults, the four-byte rule, the failure flag, publishing.
#include <gtest/gtest.h>

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

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> b) { return b; }

std::vector<uint8_t> WideString(const std::u16string &s)
{
    std::vector<uint8_t> data;
    for (char16_t c : s) {
        data.push_back(uint8_t(c & 0xFF));
        data.push_back(uint8_t(c >> 8));
    }
    data.insert(data.end(), {0, 0});
    return data;
}

// Every accessor, in the order the values are read.
std::vector<ULONG> All()
{
    return {GetTraceSize(), GetPreFetch(),      GetMemory(),     GetIo(),          GetFilterIO(),
            GetSetBusNo(),  GetMapLegacy(),     GetVgaAlias(),   GetNSockets(),    GetIgnoreO2(),
            GetIgnoreToshiba(), GetIgnoreVenId(), GetIgnoreDevId(), GetIgnoreCb(), GetTicks(), ULONG(GetVerbose())};
}

const std::vector<ULONG> kDefaults = {0x20000, 0x8000000, 0x8000000, 0x300, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0};

class ConfigTest : public testsupport::DriverTest {};

// Missing keys (either way Windows answers), values, wrong lengths, values a failing query
// never reaches: defaults kept.
TEST_F(ConfigTest, EveryValueNotHandedOverKeepsItsDefault)
{
    using standin::RegSetDword;
    const struct {
        const char *what;
        void (*setup)();
        ULONG failed, preFetch; // the second value; the others keep their defaults
    } cases[] = {
        {"missing key, the call fails", [] {}, 0, 0x8000000},
        {"missing key, no routine call", [] { standin::RegOptionalMissingKeySucceeds(true); }, 0, 0x8000000},
        {"empty key", [] { standin::RegCreateKey(kParams); }, 0, 0x8000000},
        {"values of the wrong length",
         [] {
             standin::RegSetValue(kParams, "TraceSize", REG_QWORD, Bytes({0, 4, 0, 0, 0, 0, 0, 0}));
             standin::RegSetValue(kParams, "Memory", REG_SZ, WideString(u"0x100000"));
             standin::RegSetValue(kParams, "PreFetch", REG_BINARY, Bytes({1, 2}));
         },
         0, 0x8000000},
        {"the query fails after PreFetch",
         [] { RegSetDword(kParams, "PreFetch", 0x4000000), RegSetDword(kParams, "Io", 0x400), standin::RegFailQuery(STATUS_INSUFFICIENT_RESOURCES, 2); },
         1, 0x4000000},
        {"the query fails after every value: no verbosity taken",
         [] { RegSetDword(kParams, "PreFetch", 0x4000000), RegSetDword(kParams, "Verbose", 3), standin::RegFailQuery(STATUS_INSUFFICIENT_RESOURCES, 16); },
         1, 0x4000000},
        {"the query fails at once", [] { RegSetDword(kParams, "PreFetch", 0x4000000), standin::RegFailQuery(STATUS_UNSUCCESSFUL); }, 1, 0x8000000},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        standin::Reset();
        standin::ResetDriverModuleState();
        c.setup();
        ReadConfiguration();
        EXPECT_EQ(GetConfigurationFailed(), c.failed);
        std::vector<ULONG> expected = kDefaults;
        expected[1] = c.preFetch;
        EXPECT_EQ(All(), expected);
        StartTrace();
        PrintConfiguration();
        EXPECT_EQ(TraceLines().front() == "RtlQueryRegistryValues failed", c.failed != 0);
        TraceStop();
        traceStarted_ = false;
    }
}

// Stored values replace the defaults, read once; nSockets is 1 only for 1; id filters keep 16 bits.
TEST_F(ConfigTest, StoredValuesReplaceTheDefaults)
{
    const std::vector<std::pair<std::string, ULONG>> values = {
        {"TraceSize", 0x1000}, {"PreFetch", 0x11},     {"Memory", 0x12},          {"Io", 0x13},
        {"filterIO", 0x14},    {"setBusNo", 0x15},     {"mapLegacy", 0x16},       {"vgaAlias", 0x17},
        {"nSockets", 1},       {"ignoreO2", 0x19},     {"ignoreToshiba", 0x1A},   {"ignoreVenId", 0xABCD104C},
        {"ignoreDevId", 0x0001AC51}, {"ignoreCb", 0x00030405}, {"ticks", 0x1000}, {"Verbose", 9}};
    for (const auto &v : values)
        standin::RegSetDword(kParams, v.first, v.second);
    ReadConfiguration();
    EXPECT_EQ(All(), (std::vector<ULONG>{0x1000, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 1, 0x19, 0x1A, 0x104C,
                                         0xAC51, 0x00030405, 0x1000, 9}));
    standin::RegSetDword(kParams, "Io", 0x700);
    EXPECT_EQ(GetIo(), 0x13u) << "read once";

    for (ULONG stored : {0u, 2u, 7u}) {
        standin::RegSetDword(kParams, "nSockets", stored);
        ReadConfiguration();
        EXPECT_EQ(GetNSockets(), 2u) << "stored " << stored;
    }
}

// Only data of exactly four bytes counts, whatever its type.
TEST_F(ConfigTest, VerbosityComesFromFourByteDataOnly)
{
    const struct {
        ULONG type;
        std::vector<uint8_t> data;
        LONG verbosity;
    } cases[] = {{REG_DWORD, Bytes({9, 0, 0, 0}), 9},
                 {REG_SZ, WideString(u"5"), 0x35},
                 {REG_QWORD, Bytes({9, 0, 0, 0, 0, 0, 0, 0}), 0},
                 {REG_BINARY, Bytes({7, 0}), 0}};
    for (const auto &c : cases) {
        standin::ResetDriverModuleState();
        standin::RegSetValue(kParams, "Verbose", c.type, c.data);
        ReadConfiguration();
        EXPECT_EQ(GetVerbose(), c.verbosity) << "type " << c.type << ", " << c.data.size() << " bytes";
    }
}

TEST_F(ConfigTest, RegisterConfigurationCreatesTheKeyOneLevelAtATime)
{
    StartTrace();
    RegisterConfiguration(WSTR("iam"), 0x00020305);
    auto v = standin::RegGetValue(kPublish, "iam");
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(v->type, ULONG(REG_DWORD));
    EXPECT_EQ(standin::RegGetDword(kPublish, "iam"), std::optional<ULONG>(0x00020305));
    RegisterConfiguration(WSTR("iam"), 7);
    EXPECT_EQ(standin::RegGetDword(kPublish, "iam"), std::optional<ULONG>(7)) << "an existing key is fine";
    EXPECT_TRUE(TraceLines().empty());

    standin::RegFailCreateKey(STATUS_INSUFFICIENT_RESOURCES);
    RegisterConfiguration(WSTR("trace"), 0x1234);
    EXPECT_EQ(TraceLines(), std::vector<std::string>{"ERROR RegisterConfiguration: RtlCreateRegistryKey failed"});
    EXPECT_FALSE(standin::RegGetValue(kPublish, "trace").has_value());
}

} // namespace
