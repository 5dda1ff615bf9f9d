// The in-memory registry and RtlQueryRegistryValues / RtlCreateRegistryKey /
// RtlWriteRegistryValue as the driver uses them.
#include "standin_test_util.h"
#include "test_support.h"

namespace {

const char *const kParams = "tolmu\\Parameters";

// One call of the query routine, as it was seen.
struct Seen {
    std::string name;
    ULONG type;
    std::vector<uint8_t> data;
    PVOID context;
    PVOID entryContext;
};

struct Recorder {
    std::vector<Seen> calls;
    std::string failOn; // the routine fails for this value name
};

NTSTATUS NTAPI RecordValue(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength, PVOID Context,
                           PVOID EntryContext)
{
    Recorder *r = static_cast<Recorder *>(Context);
    const uint8_t *d = static_cast<const uint8_t *>(ValueData);
    std::string name;
    for (PWSTR p = ValueName; *p != 0; p++)
        name.push_back((char)*p);
    r->calls.push_back(Seen{name, ValueType, std::vector<uint8_t>(d, d + ValueLength), Context, EntryContext});
    return name == r->failOn ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
}

std::vector<uint8_t> Bytes(ULONG v)
{
    return {(uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16), (uint8_t)(v >> 24)};
}

std::vector<uint8_t> WideBytes(const std::u16string &s)
{
    std::vector<uint8_t> out;
    for (char16_t c : s) {
        out.push_back((uint8_t)c);
        out.push_back((uint8_t)(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

std::vector<std::string> Names(const Recorder &r)
{
    std::vector<std::string> names;
    for (const Seen &s : r.calls)
        names.push_back(s.name);
    return names;
}

class RegistryTest : public testsupport::DriverTest {
  protected:
    // A table of the three DWORD values Alpha, Beta, Gamma with defaults 1, 2, 3.
    void SetUp() override
    {
        DriverTest::SetUp();
        for (int i = 0; i < 3; i++) {
            defaults[i] = (ULONG)(i + 1);
            table[i] = RTL_QUERY_REGISTRY_TABLE{RecordValue, 0, names[i], &slots[i], REG_DWORD, &defaults[i], 4};
        }
        table[3] = RTL_QUERY_REGISTRY_TABLE{};
    }

    NTSTATUS Query(ULONG relativeTo = RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL)
    {
        return RtlQueryRegistryValues(relativeTo, WSTR("tolmu\\Parameters"), table, &rec, nullptr);
    }

    WCHAR names[3][8] = {u"Alpha", u"Beta", u"Gamma"};
    ULONG defaults[3];
    ULONG slots[3] = {};
    RTL_QUERY_REGISTRY_TABLE table[4];
    Recorder rec;
};

TEST_F(RegistryTest, MissingValuesGetTheirDefaultsInTableOrder)
{
    standin::RegCreateKey(kParams);
    ASSERT_EQ(Query(), STATUS_SUCCESS);
    ASSERT_EQ(Names(rec), (std::vector<std::string>{"Alpha", "Beta", "Gamma"}));
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(rec.calls[i].type, (ULONG)REG_DWORD) << rec.calls[i].name;
        EXPECT_EQ(rec.calls[i].data, Bytes((ULONG)(i + 1))) << rec.calls[i].name;
        EXPECT_EQ(rec.calls[i].context, &rec) << rec.calls[i].name;
        EXPECT_EQ(rec.calls[i].entryContext, &slots[i]) << rec.calls[i].name;
    }
}

TEST_F(RegistryTest, StoredValuesArePassedExactlyAsStored)
{
    standin::RegSetDword(kParams, "Alpha", 0x12345678);
    standin::RegSetWideString(kParams, "Beta", u"5");
    standin::RegSetValue(kParams, "Gamma", REG_BINARY, {1, 2, 3});
    ASSERT_EQ(Query(), STATUS_SUCCESS);
    ASSERT_EQ(rec.calls.size(), 3u);
    EXPECT_EQ(rec.calls[0].type, (ULONG)REG_DWORD);
    EXPECT_EQ(rec.calls[0].data, Bytes(0x12345678));
    // A string's data carries its 16-bit terminator: "5" is 4 bytes.
    EXPECT_EQ(rec.calls[1].type, (ULONG)REG_SZ);
    EXPECT_EQ(rec.calls[1].data, (std::vector<uint8_t>{'5', 0, 0, 0}));
    EXPECT_EQ(rec.calls[2].type, (ULONG)REG_BINARY);
    EXPECT_EQ(rec.calls[2].data, (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(RegistryTest, NamesAndPathsCompareCaseInsensitively)
{
    standin::RegSetDword("TOLMU\\parameters", "aLPHA", 9);
    ASSERT_EQ(Query(), STATUS_SUCCESS);
    ASSERT_FALSE(rec.calls.empty());
    EXPECT_EQ(rec.calls[0].data, Bytes(9));
    EXPECT_TRUE(standin::RegKeyExists("Tolmu\\PARAMETERS"));
    EXPECT_EQ(standin::RegGetDword("tolmu\\parameters", "ALPHA"), std::optional<ULONG>(9));
}

TEST_F(RegistryTest, DefaultLengthIsTakenAsGivenForNumbers)
{
    standin::RegCreateKey(kParams);
    table[0].DefaultLength = 2;
    ASSERT_EQ(Query(), STATUS_SUCCESS);
    ASSERT_FALSE(rec.calls.empty());
    EXPECT_EQ(rec.calls[0].data, (std::vector<uint8_t>{1, 0}));
}

TEST_F(RegistryTest, StringDefaultWithLengthZeroIsMeasuredWithItsTerminator)
{
    standin::RegCreateKey(kParams);
    WCHAR text[] = u"ab";
    table[1].DefaultType = REG_SZ;
    table[1].DefaultData = text;
    table[1].DefaultLength = 0;
    ASSERT_EQ(Query(), STATUS_SUCCESS);
    ASSERT_EQ(rec.calls.size(), 3u);
    EXPECT_EQ(rec.calls[1].type, (ULONG)REG_SZ);
    EXPECT_EQ(rec.calls[1].data, WideBytes(u"ab"));
}

TEST_F(RegistryTest, MissingValueWithoutDefaultIsSkipped)
{
    standin::RegCreateKey(kParams);
    table[1].DefaultType = REG_NONE;
    ASSERT_EQ(Query(), STATUS_SUCCESS);
    EXPECT_EQ(Names(rec), (std::vector<std::string>{"Alpha", "Gamma"}));
}

TEST_F(RegistryTest, MissingRequiredValueFailsTheQuery)
{
    standin::RegCreateKey(kParams);
    table[1].DefaultType = REG_NONE;
    table[1].Flags = RTL_QUERY_REGISTRY_REQUIRED;
    EXPECT_EQ(Query(), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Names(rec), (std::vector<std::string>{"Alpha"}));
}

TEST_F(RegistryTest, MissingKeyFailsWithOrWithoutTheOptionalFlag)
{
    EXPECT_EQ(Query(RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Query(RTL_REGISTRY_SERVICES), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(rec.calls.empty()) << rec.calls.size() << " calls";
}

TEST_F(RegistryTest, FailingQueryRoutineStopsTheQueryWithItsStatus)
{
    standin::RegCreateKey(kParams);
    rec.failOn = "Beta";
    EXPECT_EQ(Query(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Names(rec), (std::vector<std::string>{"Alpha", "Beta"}));
}

TEST_F(RegistryTest, AbsolutePathBelowTheServicesKey)
{
    standin::RegSetDword(kParams, "Alpha", 77);
    NTSTATUS s = RtlQueryRegistryValues(
        RTL_REGISTRY_ABSOLUTE, WSTR("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tolmu\\Parameters"),
        table, &rec, nullptr);
    ASSERT_EQ(s, STATUS_SUCCESS);
    ASSERT_EQ(rec.calls.size(), 3u);
    EXPECT_EQ(rec.calls[0].data, Bytes(77));
}

struct InjectRow {
    NTSTATUS status;
    unsigned failAfter;
    std::vector<std::string> processed;
};

class QueryFailureInjection : public RegistryTest, public ::testing::WithParamInterface<InjectRow> {};

TEST_P(QueryFailureInjection, FailsTheWholeCallAfterSomeEntries)
{
    const InjectRow &row = GetParam();
    standin::RegCreateKey(kParams);
    standin::RegFailQuery(row.status, row.failAfter);
    EXPECT_EQ(Query(), row.status) << "failAfter " << row.failAfter;
    EXPECT_EQ(Names(rec), row.processed) << "failAfter " << row.failAfter;
}

INSTANTIATE_TEST_SUITE_P(Rows, QueryFailureInjection,
                         ::testing::Values(InjectRow{STATUS_UNSUCCESSFUL, 0, {}},
                                           InjectRow{STATUS_INSUFFICIENT_RESOURCES, 1, {"Alpha"}},
                                           InjectRow{STATUS_UNSUCCESSFUL, 2, {"Alpha", "Beta"}},
                                           InjectRow{STATUS_UNSUCCESSFUL, 3, {"Alpha", "Beta", "Gamma"}},
                                           InjectRow{STATUS_UNSUCCESSFUL, 10, {"Alpha", "Beta", "Gamma"}}));

TEST_F(RegistryTest, QueryFailureIsCancelledByStatusZeroAndByReset)
{
    standin::RegCreateKey(kParams);
    standin::RegFailQuery(STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Query(), STATUS_UNSUCCESSFUL);
    standin::RegFailQuery(0);
    EXPECT_EQ(Query(), STATUS_SUCCESS);
    standin::RegFailQuery(STATUS_UNSUCCESSFUL);
    standin::Reset();
    standin::RegCreateKey(kParams);
    EXPECT_EQ(Query(), STATUS_SUCCESS);
}

TEST_F(RegistryTest, CreateKeyMakesTheKeyAndItsParents)
{
    WCHAR path[] = u"dromel\\Configured";
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, path), STATUS_SUCCESS);
    EXPECT_TRUE(standin::RegKeyExists("dromel"));
    EXPECT_TRUE(standin::RegKeyExists("dromel\\Configured"));
    // An existing key is fine and keeps its values.
    standin::RegSetDword("dromel\\Configured", "iam", 5);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, path), STATUS_SUCCESS);
    EXPECT_EQ(standin::RegGetDword("dromel\\Configured", "iam"), std::optional<ULONG>(5));
}

TEST_F(RegistryTest, CreateKeyFailureInjection)
{
    WCHAR path[] = u"dromel\\Configured";
    standin::RegFailCreateKey(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, path), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(standin::RegKeyExists("dromel\\Configured"));
    standin::RegFailCreateKey(0);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, path), STATUS_SUCCESS);
}

TEST_F(RegistryTest, WriteNeedsAnExistingKey)
{
    ULONG v = 0x1234;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, WSTR("dromel\\Configured"), WSTR("trace"), REG_DWORD, &v,
                                    4),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(standin::RegKeyExists("dromel\\Configured"));
}

TEST_F(RegistryTest, WrittenValueReadsBack)
{
    standin::RegCreateKey("tolmu\\Parameters");
    ULONG v = 0xCAFEF00D;
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, WSTR("tolmu\\Parameters"), WSTR("Gamma"), REG_DWORD, &v, 4),
              STATUS_SUCCESS);
    EXPECT_EQ(standin::RegGetDword(kParams, "gamma"), std::optional<ULONG>(0xCAFEF00D));
    ASSERT_EQ(Query(), STATUS_SUCCESS);
    ASSERT_EQ(rec.calls.size(), 3u);
    EXPECT_EQ(rec.calls[2].data, Bytes(0xCAFEF00D));
    // Rewriting replaces the data and the type.
    WCHAR text[] = u"hi";
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, WSTR("tolmu\\Parameters"), WSTR("Gamma"), REG_SZ, text,
                                    sizeof(text)),
              STATUS_SUCCESS);
    std::optional<standin::RegValue> got = standin::RegGetValue(kParams, "Gamma");
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->type, (ULONG)REG_SZ);
    EXPECT_EQ(got->data, WideBytes(u"hi"));
    EXPECT_EQ(standin::RegGetDword(kParams, "Gamma"), std::nullopt);
}

TEST_F(RegistryTest, DeleteKeyRemovesEverythingBelowIt)
{
    standin::RegSetDword("tolmu\\Parameters\\Sub", "x", 1);
    standin::RegSetDword("tolmuOther", "y", 2);
    standin::RegDeleteKey("tolmu");
    EXPECT_FALSE(standin::RegKeyExists("tolmu"));
    EXPECT_FALSE(standin::RegKeyExists("tolmu\\Parameters\\Sub"));
    EXPECT_TRUE(standin::RegKeyExists("tolmuOther"));
}

TEST_F(RegistryTest, ResetEmptiesTheRegistry)
{
    standin::RegSetDword(kParams, "Alpha", 1);
    standin::Reset();
    EXPECT_FALSE(standin::RegKeyExists(kParams));
    EXPECT_FALSE(standin::RegGetValue(kParams, "Alpha").has_value());
}

} // namespace
