// The in-memory registry and RtlQueryRegistryValues / RtlCreateRegistryKey /
// RtlWriteRegistryValue as the driver uses them: what the query routine is
// handed, the statuses of missing keys and values, the path rules.
#include <cstdio>

#include "test_support.h"

namespace {

const char *const kParams = "tolmu\\Parameters";

// A query, as the driver makes it, of the DWORD values Alpha and Beta with
// defaults 1 and 2; every call of the query routine is recorded as
// "Name type hexdata", and the routine fails for the value named failOn.
struct Query {
    static NTSTATUS NTAPI Record(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context, PVOID entry)
    {
        Query *q = static_cast<Query *>(context);
        std::string seen(name, name + std::char_traits<char16_t>::length(name));
        EXPECT_EQ(entry, &q->slots[seen == "Alpha" ? 0 : 1]) << seen << ": its own entry context";
        bool fail = seen == q->failOn;
        seen += " " + std::to_string(type) + " ";
        for (ULONG i = 0; i < length; i++) {
            char hex[3];
            snprintf(hex, sizeof hex, "%02x", static_cast<const uint8_t *>(data)[i]);
            seen += hex;
        }
        q->calls.push_back(seen);
        return fail ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
    }
    NTSTATUS Run()
    {
        RTL_QUERY_REGISTRY_TABLE table[3] = {
            {Record, 0, names[0], &slots[0], REG_DWORD, &defaults[0], 4},
            {Record, 0, names[1], &slots[1], REG_DWORD, &defaults[1], 4}, {}};
        return RtlQueryRegistryValues(relativeTo, u"tolmu\\Parameters", table, this, nullptr);
    }
    WCHAR names[2][6] = {u"Alpha", u"Beta"};
    ULONG defaults[2] = {1, 2}, slots[2] = {};
    ULONG relativeTo = RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL;
    std::vector<std::string> calls;
    std::string failOn;
};

const char *const kA = "Alpha 4 01000000", *const kB = "Beta 4 02000000";

class RegistryTest : public testsupport::DriverTest {};

TEST_F(RegistryTest, QueryHandsOverStoredValuesOrDefaultsAndStopsAtAFailure)
{
    struct Row {
        const char *name;
        void (*setup)(Query &q);
        NTSTATUS status;
        std::vector<std::string> calls;
    };
    const Row rows[] = {
        {"missing values get their defaults", [](Query &) { standin::RegCreateKey(kParams); }, STATUS_SUCCESS, {kA, kB}},
        {"stored values pass exactly as stored, a string with its terminator, names ignore case",
         [](Query &) {
             standin::RegSetDword("TOLMU\\parameters", "aLPHA", 0x12345678);
             standin::RegSetWideString(kParams, "Beta", u"5");
         },
         STATUS_SUCCESS, {"Alpha 4 78563412", "Beta 1 35000000"}},
        {"missing key, optional", [](Query &) {}, STATUS_OBJECT_NAME_NOT_FOUND, {}},
        {"missing key", [](Query &q) { q.relativeTo = RTL_REGISTRY_SERVICES; }, STATUS_OBJECT_NAME_NOT_FOUND, {}},
        {"failing query routine stops the query with its status",
         [](Query &q) { standin::RegCreateKey(kParams); q.failOn = "Alpha"; }, STATUS_INSUFFICIENT_RESOURCES, {kA}},
        {"injected failure after 1 entry",
         [](Query &) { standin::RegCreateKey(kParams); standin::RegFailQuery(STATUS_UNSUCCESSFUL, 1); },
         STATUS_UNSUCCESSFUL, {kA}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        standin::Reset();
        Query q;
        row.setup(q);
        EXPECT_EQ(q.Run(), row.status);
        EXPECT_EQ(q.calls, row.calls);
    }
}

// RtlCreateRegistryKey and RtlWriteRegistryValue create the last key of the
// path only, when its parent exists; a refused path leaves no key behind.
TEST_F(RegistryTest, CreateAndWriteMakeOnlyTheLastKeyOfThePath)
{
    struct Row {
        const char *existing; // created beforehand ("" for none)
        PCWSTR path;
        NTSTATUS status;
    };
    const Row rows[] = {{"", u"dromel\\Configured", STATUS_OBJECT_NAME_NOT_FOUND},
                        {"tolmu", u"dromel\\Configured", STATUS_OBJECT_NAME_NOT_FOUND},
                        {"", u"dromel", STATUS_SUCCESS},
                        {"dromel", u"dromel\\Configured", STATUS_SUCCESS},
                        {"dromel\\Configured", u"dromel\\Configured", STATUS_SUCCESS},
                        {"dromel", u"dromel\\Configured\\Deeper", STATUS_OBJECT_NAME_NOT_FOUND}};
    for (const Row &row : rows) {
        std::string path(row.path, row.path + std::char_traits<char16_t>::length(row.path));
        for (bool write : {false, true}) {
            SCOPED_TRACE(std::string(write ? "write " : "create ") + row.existing + " / " + path);
            standin::Reset();
            if (*row.existing != 0)
                standin::RegCreateKey(row.existing);
            ULONG v = 7;
            NTSTATUS status = write ? RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, row.path, WSTR("iam"), REG_DWORD,
                                                            &v, 4)
                                    : RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, (PWSTR)row.path);
            EXPECT_EQ(status, row.status);
            EXPECT_EQ(standin::RegKeyExists(path), NT_SUCCESS(status));
            EXPECT_EQ(standin::RegGetDword(path, "iam").has_value(), write && NT_SUCCESS(status));
            if (*row.existing == 0)
                EXPECT_EQ(standin::RegKeyExists("dromel"), NT_SUCCESS(status));
        }
    }
}

} // namespace
