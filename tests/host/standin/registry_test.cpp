// The in-memory registry and RtlQueryRegistryValues / RtlCreateRegistryKey /
// RtlWriteRegistryValue as the driver uses them.
#include <cstdio>

#include "standin_test_util.h"

namespace {

const char *const kParams = "tolmu\\Parameters";

// A query of the three DWORD values Alpha, Beta, Gamma with defaults 1, 2, 3;
// every call of the query routine is recorded as "Name type hexdata".
struct QueryCase {
    QueryCase()
    {
        for (int i = 0; i < 3; i++) {
            defaults[i] = (ULONG)(i + 1);
            table[i] = RTL_QUERY_REGISTRY_TABLE{Record, 0, names[i], &slots[i], REG_DWORD, &defaults[i], 4};
        }
        table[3] = RTL_QUERY_REGISTRY_TABLE{};
    }
    static NTSTATUS NTAPI Record(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context, PVOID entry)
    {
        QueryCase *q = static_cast<QueryCase *>(context);
        std::string text(name, name + std::char_traits<char16_t>::length(name));
        std::string seen = text + " " + std::to_string(type) + " ";
        for (ULONG i = 0; i < length; i++) {
            char hex[3];
            snprintf(hex, sizeof hex, "%02x", static_cast<const uint8_t *>(data)[i]);
            seen += hex;
        }
        q->calls.push_back(seen);
        EXPECT_EQ(entry, &q->slots[text == "Alpha" ? 0 : text == "Beta" ? 1 : 2]) << text;
        return text == q->failOn ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
    }
    NTSTATUS Run() { return RtlQueryRegistryValues(relativeTo, path, table, this, nullptr); }

    WCHAR names[3][8] = {u"Alpha", u"Beta", u"Gamma"};
    ULONG defaults[3];
    ULONG slots[3] = {};
    RTL_QUERY_REGISTRY_TABLE table[4];
    ULONG relativeTo = RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL;
    PCWSTR path = WSTR("tolmu\\Parameters");
    std::vector<std::string> calls;
    std::string failOn; // the routine fails for this value name
};

struct QueryRow {
    const char *name;
    void (*setup)(QueryCase &q);
    NTSTATUS status;
    std::vector<std::string> calls;
};

const char *const kA = "Alpha 4 01000000", *const kB = "Beta 4 02000000", *const kG = "Gamma 4 03000000";
WCHAR abText[] = u"ab";

template <NTSTATUS status, unsigned failAfter> void Inject(QueryCase &)
{
    standin::RegCreateKey(kParams);
    standin::RegFailQuery(status, failAfter);
}

const QueryRow kQueries[] = {
    {"missing values get their defaults", [](QueryCase &) { standin::RegCreateKey(kParams); }, STATUS_SUCCESS,
     {kA, kB, kG}},
    {"stored values pass exactly as stored, strings with their terminator",
     [](QueryCase &) {
         standin::RegSetDword(kParams, "Alpha", 0x12345678);
         standin::RegSetWideString(kParams, "Beta", u"5");
         standin::RegSetValue(kParams, "Gamma", REG_BINARY, {1, 2, 3});
     },
     STATUS_SUCCESS, {"Alpha 4 78563412", "Beta 1 35000000", "Gamma 3 010203"}},
    {"names and paths compare case-insensitively",
     [](QueryCase &) { standin::RegSetDword("TOLMU\\parameters", "aLPHA", 9); }, STATUS_SUCCESS,
     {"Alpha 4 09000000", kB, kG}},
    {"absolute path below the services key",
     [](QueryCase &q) {
         standin::RegSetDword(kParams, "Alpha", 77);
         q.relativeTo = RTL_REGISTRY_ABSOLUTE;
         q.path = WSTR("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tolmu\\Parameters");
     },
     STATUS_SUCCESS, {"Alpha 4 4d000000", kB, kG}},
    {"number default length taken as given",
     [](QueryCase &q) { standin::RegCreateKey(kParams); q.table[0].DefaultLength = 2; },
     STATUS_SUCCESS, {"Alpha 4 0100", kB, kG}},
    {"string default of length 0 measured with its terminator",
     [](QueryCase &q) {
         standin::RegCreateKey(kParams);
         q.table[1].DefaultType = REG_SZ;
         q.table[1].DefaultData = abText;
         q.table[1].DefaultLength = 0;
     },
     STATUS_SUCCESS, {kA, "Beta 1 610062000000", kG}},
    {"missing value without default is skipped",
     [](QueryCase &q) { standin::RegCreateKey(kParams); q.table[1].DefaultType = REG_NONE; },
     STATUS_SUCCESS, {kA, kG}},
    {"missing required value fails the query",
     [](QueryCase &q) {
         standin::RegCreateKey(kParams);
         q.table[1].DefaultType = REG_NONE;
         q.table[1].Flags = RTL_QUERY_REGISTRY_REQUIRED;
     },
     STATUS_OBJECT_NAME_NOT_FOUND, {kA}},
    {"missing key, optional", [](QueryCase &) {}, STATUS_OBJECT_NAME_NOT_FOUND, {}},
    {"missing key, not optional", [](QueryCase &q) { q.relativeTo = RTL_REGISTRY_SERVICES; },
     STATUS_OBJECT_NAME_NOT_FOUND, {}},
    {"missing key, optional, read as success: no routine call, no default",
     [](QueryCase &) { standin::RegOptionalMissingKeySucceeds(true); }, STATUS_SUCCESS, {}},
    {"missing key, not optional, still fails when optional reads as success",
     [](QueryCase &q) {
         standin::RegOptionalMissingKeySucceeds(true);
         q.relativeTo = RTL_REGISTRY_SERVICES;
     },
     STATUS_OBJECT_NAME_NOT_FOUND, {}},
    {"existing key, optional read as success: the values as always",
     [](QueryCase &) {
         standin::RegOptionalMissingKeySucceeds(true);
         standin::RegCreateKey(kParams);
     },
     STATUS_SUCCESS, {kA, kB, kG}},
    {"failing query routine stops the query with its status",
     [](QueryCase &q) { standin::RegCreateKey(kParams); q.failOn = "Beta"; },
     STATUS_INSUFFICIENT_RESOURCES, {kA, kB}},
    {"injected failure after 0 entries", Inject<STATUS_UNSUCCESSFUL, 0>, STATUS_UNSUCCESSFUL, {}},
    {"injected failure after 1 entry", Inject<STATUS_INSUFFICIENT_RESOURCES, 1>, STATUS_INSUFFICIENT_RESOURCES, {kA}},
    {"injected failure after 2 entries", Inject<STATUS_UNSUCCESSFUL, 2>, STATUS_UNSUCCESSFUL, {kA, kB}},
    {"injected failure after 3 entries", Inject<STATUS_UNSUCCESSFUL, 3>, STATUS_UNSUCCESSFUL, {kA, kB, kG}},
    {"injected failure after more entries than there are", Inject<STATUS_UNSUCCESSFUL, 10>, STATUS_UNSUCCESSFUL,
     {kA, kB, kG}},
    {"injected failure cancelled by status 0",
     [](QueryCase &) {
         standin::RegCreateKey(kParams);
         standin::RegFailQuery(STATUS_UNSUCCESSFUL);
         standin::RegFailQuery(0);
     },
     STATUS_SUCCESS, {kA, kB, kG}},
    {"injected failure cancelled by reset",
     [](QueryCase &) { standin::RegFailQuery(STATUS_UNSUCCESSFUL); standin::Reset(); standin::RegCreateKey(kParams); },
     STATUS_SUCCESS, {kA, kB, kG}},
};

class RegistryTest : public testsupport::DriverTest {};

TEST_F(RegistryTest, QueryRows)
{
    for (const QueryRow &row : kQueries) {
        SCOPED_TRACE(row.name);
        standin::Reset();
        QueryCase q;
        row.setup(q);
        EXPECT_EQ(q.Run(), row.status);
        EXPECT_EQ(q.calls, row.calls);
    }
}

// RtlCreateRegistryKey creates the last key only; RtlWriteRegistryValue
// creates a missing key only when its parent exists.
struct PathRow {
    const char *existing; // created beforehand ("" for none)
    PCWSTR path;
    NTSTATUS create;      // RtlCreateRegistryKey
    NTSTATUS write;       // RtlWriteRegistryValue into the same path, afresh
};

const PathRow kPaths[] = {
    {"", u"dromel\\Configured", STATUS_OBJECT_NAME_NOT_FOUND, STATUS_OBJECT_NAME_NOT_FOUND},
    {"tolmu", u"dromel\\Configured", STATUS_OBJECT_NAME_NOT_FOUND, STATUS_OBJECT_NAME_NOT_FOUND},
    {"", u"dromel", STATUS_SUCCESS, STATUS_SUCCESS},
    {"dromel", u"dromel\\Configured", STATUS_SUCCESS, STATUS_SUCCESS},
    {"dromel\\Configured", u"dromel\\Configured", STATUS_SUCCESS, STATUS_SUCCESS},
    {"dromel", u"dromel\\Configured\\Deeper", STATUS_OBJECT_NAME_NOT_FOUND, STATUS_OBJECT_NAME_NOT_FOUND},
};

TEST_F(RegistryTest, CreateAndWriteMakeOnlyTheLastKeyOfThePath)
{
    for (const PathRow &row : kPaths) {
        std::string path(row.path, row.path + std::char_traits<char16_t>::length(row.path));
        SCOPED_TRACE(std::string(row.existing) + " / " + path);
        for (bool write : {false, true}) {
            standin::Reset();
            if (*row.existing != 0)
                standin::RegCreateKey(row.existing);
            ULONG v = 7;
            NTSTATUS status = write ? RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, row.path, WSTR("iam"), REG_DWORD,
                                                            &v, 4)
                                    : RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, (PWSTR)row.path);
            EXPECT_EQ(status, write ? row.write : row.create) << (write ? "write" : "create");
            EXPECT_EQ(standin::RegKeyExists(path), NT_SUCCESS(status));
            EXPECT_EQ(standin::RegGetDword(path, "iam").has_value(), write && NT_SUCCESS(status));
            // A refused path leaves no key on the way behind.
            if (!NT_SUCCESS(status) && *row.existing == 0)
                EXPECT_FALSE(standin::RegKeyExists("dromel"));
        }
    }
}

TEST_F(RegistryTest, CreateKeyKeepsAnExistingKeysValuesAndCanFail)
{
    WCHAR path[] = u"dromel";
    standin::RegFailCreateKey(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, path), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(standin::RegKeyExists("dromel"));
    standin::RegFailCreateKey(0);
    standin::RegSetDword("dromel", "iam", 5);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, path), STATUS_SUCCESS);
    EXPECT_EQ(standin::RegGetDword("dromel", "iam"), std::optional<ULONG>(5));
}

TEST_F(RegistryTest, WriteReadsBackAndReplaces)
{
    ULONG v = 0xCAFEF00D;
    standin::RegCreateKey(kParams);
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, WSTR("tolmu\\Parameters"), WSTR("Gamma"), REG_DWORD, &v, 4),
              STATUS_SUCCESS);
    EXPECT_EQ(standin::RegGetDword(kParams, "gamma"), std::optional<ULONG>(0xCAFEF00D));
    QueryCase q;
    ASSERT_EQ(q.Run(), STATUS_SUCCESS);
    EXPECT_EQ(q.calls, (std::vector<std::string>{kA, kB, "Gamma 4 0df0feca"}));
    // Rewriting replaces the data and the type.
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, WSTR("tolmu\\Parameters"), WSTR("Gamma"), REG_SZ, abText,
                                    sizeof(abText)),
              STATUS_SUCCESS);
    std::optional<standin::RegValue> got = standin::RegGetValue(kParams, "Gamma");
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->type, (ULONG)REG_SZ);
    EXPECT_EQ(got->data, (std::vector<uint8_t>{'a', 0, 'b', 0, 0, 0}));
    EXPECT_EQ(standin::RegGetDword(kParams, "Gamma"), std::nullopt);
}

TEST_F(RegistryTest, LookupsIgnoreCaseDeleteTakesSubkeysResetEmpties)
{
    standin::RegSetDword("tolmu\\Parameters\\Sub", "x", 1);
    standin::RegSetDword("tolmuOther", "y", 2);
    EXPECT_TRUE(standin::RegKeyExists("Tolmu\\PARAMETERS"));
    EXPECT_EQ(standin::RegGetDword("TOLMU\\parameters\\sub", "X"), std::optional<ULONG>(1));
    standin::RegDeleteKey("tolmu");
    EXPECT_FALSE(standin::RegKeyExists("tolmu"));
    EXPECT_FALSE(standin::RegKeyExists("tolmu\\Parameters\\Sub"));
    EXPECT_TRUE(standin::RegKeyExists("tolmuOther"));
    standin::Reset();
    EXPECT_FALSE(standin::RegKeyExists("tolmuOther"));
    EXPECT_FALSE(standin::RegGetValue("tolmuOther", "y").has_value());
}

} // namespace
