// The registry's rules the driver meets: a query of a missing key fails
// (optional or not) with its own status, not with the query routine's (nor
// the default's), and the path rules of creating keys and writing values.
#include "test_support.h"

namespace {

class RegistryTest : public testsupport::DriverTest {};

TEST_F(RegistryTest, QueryOfAMissingKeyFailsWithoutCallingTheRoutine)
{
    ULONG value = 1;
    PRTL_QUERY_REGISTRY_ROUTINE routine = [](PWSTR, ULONG, PVOID, ULONG, PVOID, PVOID) { return STATUS_UNSUCCESSFUL; };
    RTL_QUERY_REGISTRY_TABLE table[2] = {{routine, 0, (PWSTR)u"Alpha", &value, REG_DWORD, &value, 4}, {}};
    for (ULONG optional : {0u, (ULONG)RTL_REGISTRY_OPTIONAL})
        EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES | optional, u"tolmu", table, nullptr, nullptr),
                  STATUS_OBJECT_NAME_NOT_FOUND);
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
