// The virtual clock, IRQL, spin locks and the reported OS version.
#include <chrono>

#include "standin_test_util.h"

namespace {

class ProcessorTest : public testsupport::DriverTest {};

TEST_F(ProcessorTest, StallAndIrqlAreVirtualAndReset)
{
    auto start = std::chrono::steady_clock::now();
    for (ULONG us : {500000u, 3500000u, 0u})
        KeStallExecutionProcessor(us);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(standin::VirtualMicroseconds(), 4000000u);
    EXPECT_EQ(standin::StallCalls(), 3u);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 500);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    standin::SetIrql(DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(standin::CurrentIrql(), DISPATCH_LEVEL);
    standin::Reset();
    EXPECT_EQ(standin::VirtualMicroseconds(), 0u);
    EXPECT_EQ(standin::StallCalls(), 0u);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(ProcessorTest, SpinLockRaisesToDispatchAndRestores)
{
    for (KIRQL start : {PASSIVE_LEVEL, APC_LEVEL, DISPATCH_LEVEL}) {
        SCOPED_TRACE("IRQL " + std::to_string(start));
        standin::SetIrql(start);
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old;
        for (int round = 0; round < 2; round++) { // a released lock can be taken once more
            KeAcquireSpinLock(&lock, &old);
            EXPECT_EQ(old, start);
            EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
            KeReleaseSpinLock(&lock, old);
            EXPECT_EQ(KeGetCurrentIrql(), start);
        }
    }
}

KSPIN_LOCK lock;
KIRQL old;

TEST_F(ProcessorTest, SpinLockRulesCatchTheirFaults)
{
    using standintest::FindingRow;
    const FindingRow rows[] = {
        {"acquire a held lock", [] { KeAcquireSpinLock(&lock, &old); KeAcquireSpinLock(&lock, &old); },
         {"SPIN_LOCK_ACQUIRED_TWICE"}},
        {"release to the wrong IRQL", [] { KeAcquireSpinLock(&lock, &old); KeReleaseSpinLock(&lock, APC_LEVEL); },
         {"SPIN_LOCK_RELEASE_IRQL"}},
        {"release below dispatch", [] {
             KeAcquireSpinLock(&lock, &old);
             standin::SetIrql(PASSIVE_LEVEL);
             KeReleaseSpinLock(&lock, old);
         }, {"SPIN_LOCK_RELEASE_IRQL"}},
        {"acquire above dispatch", [] {
             standin::SetIrql(DISPATCH_LEVEL + 1);
             KeAcquireSpinLock(&lock, &old);
             standin::SetIrql(PASSIVE_LEVEL);
         }, {"SPIN_LOCK_IRQL"}},
        {"release a lock not held", [] {
             standin::SetIrql(DISPATCH_LEVEL);
             KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
         }, {"SPIN_LOCK_NOT_HELD"}},
    };
    for (const FindingRow &row : rows) {
        standin::Reset();
        KeInitializeSpinLock(&lock);
        standintest::ExpectFindings(row);
    }
}

// The registry and version routines are PASSIVE_LEVEL routines; mapping I/O
// space is allowed up to DISPATCH_LEVEL.
TEST_F(ProcessorTest, RoutinesCalledAboveTheirIrqlAreFindings)
{
    using standintest::FindingRow;
    static WCHAR key[] = u"dromel";
    static ULONG value = 1;
    const FindingRow rows[] = {
        {"query at dispatch",
         [] {
             RTL_QUERY_REGISTRY_TABLE end[1] = {};
             RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"tolmu", end, nullptr, nullptr);
         },
         {"PASSIVE_ROUTINE_AT_RAISED_IRQL"}},
        {"create at dispatch", [] { RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, key); },
         {"PASSIVE_ROUTINE_AT_RAISED_IRQL"}},
        {"write at dispatch",
         [] { RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, key, u"iam", REG_DWORD, &value, 4); },
         {"PASSIVE_ROUTINE_AT_RAISED_IRQL"}},
        {"version at dispatch", [] { PsGetVersion(nullptr, nullptr, nullptr, nullptr); },
         {"PASSIVE_ROUTINE_AT_RAISED_IRQL"}},
        {"map at dispatch is allowed", [] { MmMapIoSpace(PHYSICAL_ADDRESS{}, 0, MmNonCached); }, {}},
        {"wide string printed at dispatch", [] { DbgPrint("SP: %ws\n", u"2"); }, {"WIDE_FORMAT_AT_RAISED_IRQL"}},
        {"wide string formatted at dispatch",
         [] {
             char b[8];
             _snprintf(b, sizeof b, "%-4S", u"2");
         },
         {"WIDE_FORMAT_AT_RAISED_IRQL"}},
        {"narrow text and a percent sign at dispatch are allowed",
         [] {
             char b[8];
             _snprintf(b, sizeof b, "%s %%S", "2");
         },
         {}},
    };
    for (const FindingRow &row : rows) {
        standin::Reset();
        standin::SetIrql(DISPATCH_LEVEL);
        standintest::ExpectFindings(row);
    }
    standin::Reset();
    standin::SetIrql((KIRQL)31); // HIGH_LEVEL
    standintest::ExpectFindings({"map above dispatch",
                                 [] { MmMapIoSpace(PHYSICAL_ADDRESS{}, 0, MmNonCached); },
                                 {"MAP_IO_SPACE_IRQL"}});
    standin::Reset();
}

// ----------------------------------------------------------------- version

class VersionTest : public testsupport::DriverTest {
  protected:
    UNICODE_STRING Counted(USHORT maximumLength)
    {
        memset(buffer, 0xEE, sizeof(buffer));
        return UNICODE_STRING{0, maximumLength, buffer};
    }
    std::string Text(const UNICODE_STRING &s) { return std::string(s.Buffer, s.Buffer + s.Length / 2); }
    WCHAR buffer[256];
};

TEST_F(VersionTest, FreshMachineIsXpSp2FreeAndSettable)
{
    ULONG major = 0, minor = 0, build = 0;
    UNICODE_STRING sp = Counted(256);
    EXPECT_EQ(PsGetVersion(&major, &minor, &build, &sp), FALSE);
    EXPECT_EQ(std::vector<ULONG>({major, minor, build}), std::vector<ULONG>({5, 1, 2600}));
    EXPECT_EQ(Text(sp), "Service Pack 2");
    EXPECT_EQ(standin::VersionQueries(), 1u);

    standin::SetVersion(5, 2, 3790, u"Service Pack 1", true);
    sp = Counted(256);
    EXPECT_EQ(PsGetVersion(&major, &minor, &build, &sp), TRUE);
    EXPECT_EQ(std::vector<ULONG>({major, minor, build}), std::vector<ULONG>({5, 2, 3790}));
    EXPECT_EQ(Text(sp), "Service Pack 1");
    standin::SetCheckedBuild(false);
    standin::SetServicePack(u"");
    sp = Counted(256);
    EXPECT_EQ(PsGetVersion(nullptr, nullptr, nullptr, &sp), FALSE);
    EXPECT_EQ(sp.Length, 0u);

    standin::Reset();
    EXPECT_EQ(standin::VersionQueries(), 0u);
    EXPECT_EQ(PsGetVersion(&major, &minor, &build, nullptr), FALSE);
    EXPECT_EQ(build, 2600u);
}

// The caller's counted string is pointed at the system's own text, whatever
// buffer and lengths it held; the caller's buffer is never written, and the
// text is counted, not terminated.
TEST_F(VersionTest, CsdVersionPointsAtTheSystemsTextAndLeavesTheCallersBuffer)
{
    for (USHORT maximumLength : {256, 28, 0}) {
        for (const std::u16string &text : {std::u16string(u"Service Pack 2"), std::u16string()}) {
            SCOPED_TRACE("MaximumLength " + std::to_string(maximumLength) + ", text length " +
                         std::to_string(text.size()));
            standin::SetServicePack(text);
            UNICODE_STRING sp = Counted(maximumLength);
            sp.Length = 0xFFFF;
            PsGetVersion(nullptr, nullptr, nullptr, &sp);
            EXPECT_NE(sp.Buffer, buffer) << "pointed elsewhere";
            ASSERT_NE(sp.Buffer, nullptr);
            EXPECT_EQ(sp.Length, text.size() * 2);
            EXPECT_EQ(sp.MaximumLength, sp.Length);
            EXPECT_EQ(std::u16string(sp.Buffer, sp.Length / 2), text);
            EXPECT_NE(sp.Buffer[sp.Length / 2], 0) << "no terminator after the counted text";
            EXPECT_EQ(buffer[0], 0xEEEE) << "the caller's buffer is untouched";
        }
    }
}

} // namespace
