// Configuration values (defaults, the four-byte rule, the failure flag, publishing), DebugPrint,
// the trace buffer, the pool wrappers and the half-second stall.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/debug.h"
#include "standin.h"
#include "test_support.h"

using testsupport::TraceLines;
using testsupport::TraceText;

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
    // The load printout names every value with what was read, as stored.
    StartTrace();
    PrintConfiguration();
    std::map<std::string, ULONG> printed, read;
    for (const std::string &line : TraceLines()) {
        std::istringstream in(line);
        std::string tolmu, name, equals;
        ULONG value = 0;
        in >> tolmu >> name >> equals >> std::hex >> value;
        printed[name] = value;
    }
    for (const auto &v : values)
        read[v.first] = v.second;
    EXPECT_EQ(printed, read);
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


class TraceTest : public testsupport::DriverTest {};

// Every line goes to the trace; to the debugger only at a verbosity not 0.
TEST_F(TraceTest, LinesGoToTheTraceAndFromVerbosityOneToTheDebugger)
{
    StartTrace(64);
    DebugPrint("probe %d of %s\n", 3, "bus");
    EXPECT_TRUE(standin::DebugLines().empty());
    SetVerbose(1);
    DebugPrint("vid 0x%04X-%04lX\n", 0x104c, 0xac51u);
    EXPECT_EQ(standin::DebugLines(), std::vector<std::string>{"vid 0x104C-AC51\n"});
    EXPECT_STREQ(TraceGetStart(), "probe 3 of bus\nvid 0x104C-AC51\n");
    EXPECT_EQ(TraceGetUsed(), 31u);
}

// 16 bytes: after 11, "abc\n" fits with its NUL; "abcd\n" does not and ends tracing for good.
TEST_F(TraceTest, ALineMustFitWithItsNulAndTheFirstThatDoesNotEndsTracing)
{
    StartTrace(16);
    DebugPrint("0123456789\n"), DebugPrint("abc\n");
    EXPECT_EQ(TraceText(), "0123456789\nabc\n");
    TraceStop();
    StartTrace(16);
    DebugPrint("0123456789\n"), DebugPrint("abcd\n"), DebugPrint("x\n");
    EXPECT_EQ(TraceText(), "0123456789\n");
}

TEST_F(TraceTest, OutputIsCutTo131CharactersAndTerminated)
{
    StartTrace(1024);
    SetVerbose(1);
    DebugPrint("%s\n", std::string(130, 'y').c_str());
    EXPECT_EQ(TraceText(), std::string(130, 'y') + "\n");
    DebugPrint("%s\n", std::string(200, 'x').c_str());
    EXPECT_EQ(standin::DebugLines().back(), std::string(131, 'x'));
}

// Without a trace buffer (none, no pool, too big, stopped) the debugger still works, nothing leaks.
TEST_F(TraceTest, WithoutATraceBufferTheDebuggerStillWorks)
{
    TraceStart(0);
    DebugPrint("a\n");
    EXPECT_EQ(TraceGetUsed(), 0u);
    TraceStop();
    standin::FailNthAllocation(1);
    EXPECT_EQ(TraceStart(4096), nullptr);
    EXPECT_EQ(TraceStart(0xFFFFFFFF), nullptr);
    SetVerbose(1);
    DebugPrint("still here\n");
    EXPECT_EQ(standin::DebugLines().back(), "still here\n");
    StartTrace(128);
    TraceStop();
    traceStarted_ = false;
    EXPECT_EQ(TraceGetStart(), nullptr);
    EXPECT_EQ(standin::OutstandingCount(TOLMU_POOL_TAG), 0u);
    DebugPrint("after\n"); // must not touch the released block
}

// The pool wrappers take their pool with the driver's tag and report failures; the half-second stall.
TEST_F(TraceTest, PoolWrappersAndStall)
{
    PVOID a = Malloc(40), b = PMalloc(24);
    std::vector<size_t> got;
    for (const auto &b : standin::OutstandingBlocks())
        got.insert(got.end(), {b.tag, size_t(b.type), b.size});
    EXPECT_EQ(got, (std::vector<size_t>{0x206D6457, NonPagedPool, 40, 0x206D6457, PagedPool, 24}));
    MFree(a);
    MFree(b);

    StartTrace();
    standin::FailAllAllocations(true);
    EXPECT_EQ(Malloc(0x48), nullptr);
    EXPECT_EQ(PMalloc(1234), nullptr);
    standin::FailAllAllocations(false);
    EXPECT_EQ(TraceLines(), (std::vector<std::string>{"ERROR Malloc(size 72) returned NULL", "ERROR PMalloc(size 1234) returned NULL"}));
    uint64_t t0 = standin::VirtualMicroseconds();
    StallHalfSecond();
    EXPECT_EQ(standin::VirtualMicroseconds() - t0, 500000u);
}

} // namespace
