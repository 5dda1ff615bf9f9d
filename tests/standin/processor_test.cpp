// The virtual clock, IRQL, spin locks and the reported OS version.
#include <chrono>

#include "standin_test_util.h"
#include "test_support.h"

namespace {

class ProcessorTest : public testsupport::DriverTest {};

TEST_F(ProcessorTest, StallAdvancesTheVirtualClockWithoutWaiting)
{
    auto start = std::chrono::steady_clock::now();
    KeStallExecutionProcessor(500000);
    KeStallExecutionProcessor(3500000);
    KeStallExecutionProcessor(0);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(standin::VirtualMicroseconds(), 4000000u);
    EXPECT_EQ(standin::StallCalls(), 3u);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 500);
    standin::Reset();
    EXPECT_EQ(standin::VirtualMicroseconds(), 0u);
    EXPECT_EQ(standin::StallCalls(), 0u);
}

TEST_F(ProcessorTest, IrqlIsWhatWasSet)
{
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    standin::SetIrql(DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(standin::CurrentIrql(), DISPATCH_LEVEL);
    standin::Reset();
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

class SpinLockIrql : public ProcessorTest, public ::testing::WithParamInterface<KIRQL> {};

TEST_P(SpinLockIrql, RaisesToDispatchAndRestores)
{
    KIRQL start = GetParam();
    standin::SetIrql(start);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, start);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), start);
    // And again: a released lock can be taken once more.
    KeAcquireSpinLock(&lock, &old);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), start);
}

INSTANTIATE_TEST_SUITE_P(Levels, SpinLockIrql, ::testing::Values(PASSIVE_LEVEL, APC_LEVEL, DISPATCH_LEVEL));

TEST_F(ProcessorTest, AcquiringAHeldLockIsAFinding)
{
    standintest::FindingCatcher catcher;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL first, second;
    KeAcquireSpinLock(&lock, &first);
    KeAcquireSpinLock(&lock, &second);
    EXPECT_EQ(catcher.Rules(), (std::vector<std::string>{"SPIN_LOCK_ACQUIRED_TWICE"}));
}

TEST_F(ProcessorTest, ReleasingToTheWrongIrqlIsAFinding)
{
    standintest::FindingCatcher catcher;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeReleaseSpinLock(&lock, APC_LEVEL);
    EXPECT_EQ(catcher.Rules(), (std::vector<std::string>{"SPIN_LOCK_RELEASE_IRQL"}));
}

TEST_F(ProcessorTest, ReleasingBelowDispatchIsAFinding)
{
    standintest::FindingCatcher catcher;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    standin::SetIrql(PASSIVE_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(catcher.Rules(), (std::vector<std::string>{"SPIN_LOCK_RELEASE_IRQL"}));
}

TEST_F(ProcessorTest, ReleasingALockNotHeldIsAFinding)
{
    standintest::FindingCatcher catcher;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    standin::SetIrql(DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
    EXPECT_EQ(catcher.Rules(), (std::vector<std::string>{"SPIN_LOCK_NOT_HELD"}));
}

// ----------------------------------------------------------------- version

class VersionTest : public testsupport::DriverTest {
  protected:
    UNICODE_STRING Counted(USHORT maximumLength)
    {
        memset(buffer, 0xEE, sizeof(buffer));
        return UNICODE_STRING{0, maximumLength, buffer};
    }
    std::string Text(const UNICODE_STRING &s)
    {
        std::string t;
        for (USHORT i = 0; i < s.Length / 2; i++)
            t.push_back((char)s.Buffer[i]);
        return t;
    }
    WCHAR buffer[256];
};

TEST_F(VersionTest, FreshMachineIsXpSp2Free)
{
    ULONG major = 0, minor = 0, build = 0;
    UNICODE_STRING sp = Counted(256);
    BOOLEAN checked = PsGetVersion(&major, &minor, &build, &sp);
    EXPECT_EQ(major, 5u);
    EXPECT_EQ(minor, 1u);
    EXPECT_EQ(build, 2600u);
    EXPECT_EQ(checked, FALSE);
    EXPECT_EQ(sp.Length, 28u);
    EXPECT_EQ(Text(sp), "Service Pack 2");
    EXPECT_EQ(buffer[14], 0) << "terminated when there is room";
    EXPECT_EQ(standin::VersionQueries(), 1u);
}

TEST_F(VersionTest, SettableAndResettable)
{
    standin::SetVersion(5, 2, 3790, u"Service Pack 1", true);
    ULONG major = 0, minor = 0, build = 0;
    UNICODE_STRING sp = Counted(256);
    EXPECT_EQ(PsGetVersion(&major, &minor, &build, &sp), TRUE);
    EXPECT_EQ(major, 5u);
    EXPECT_EQ(minor, 2u);
    EXPECT_EQ(build, 3790u);
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

struct CsdRow {
    USHORT maximumLength;
    USHORT expectedLength; // 0xFFFF: untouched
    bool terminated;
};

class CsdVersionBuffer : public VersionTest, public ::testing::WithParamInterface<CsdRow> {};

TEST_P(CsdVersionBuffer, FilledOnlyWhenItFits)
{
    const CsdRow &row = GetParam();
    UNICODE_STRING sp = Counted(row.maximumLength);
    sp.Length = 0xFFFF;
    PsGetVersion(nullptr, nullptr, nullptr, &sp);
    EXPECT_EQ(sp.Length, row.expectedLength) << "MaximumLength " << row.maximumLength;
    if (row.expectedLength == 0xFFFF) {
        EXPECT_EQ(buffer[0], 0xEEEE) << "buffer untouched";
    } else {
        EXPECT_EQ(Text(sp), "Service Pack 2");
        EXPECT_EQ(buffer[14] == 0, row.terminated) << "MaximumLength " << row.maximumLength;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, CsdVersionBuffer,
                         ::testing::Values(CsdRow{256, 28, true}, CsdRow{30, 28, true}, CsdRow{28, 28, false},
                                           CsdRow{27, 0xFFFF, false}, CsdRow{0, 0xFFFF, false}));

} // namespace
