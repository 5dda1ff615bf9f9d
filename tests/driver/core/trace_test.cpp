// DebugPrint, the trace buffer, the pool wrappers and the half-second stall.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/debug.h"
#include "standin.h"
#include "test_support.h"

using testsupport::TraceLines;
using testsupport::TraceText;

namespace {

class TraceTest : public testsupport::DriverTest {};

TEST_F(TraceTest, VerbosityZeroStillTracesButTellsTheDebuggerNothing)
{
    StartTrace(256);
    DebugPrint("probe %d of %s\n", 3, "bus");
    EXPECT_EQ(TraceText(), "probe 3 of bus\n");
    EXPECT_TRUE(standin::DebugLines().empty());
}

TEST_F(TraceTest, NonZeroVerbositySendsTheSameLineToBothPlaces)
{
    StartTrace(256);
    SetVerbose(1);
    DebugPrint("vid 0x%04X-%04lX\n", 0x104c, 0xac51u);
    ASSERT_EQ(standin::DebugLines().size(), 1u);
    EXPECT_EQ(standin::DebugLines()[0], "vid 0x104C-AC51\n");
    EXPECT_EQ(TraceText(), "vid 0x104C-AC51\n");
}

TEST_F(TraceTest, LinesFollowEachOtherAndTheBufferEndsInANul)
{
    StartTrace(64);
    DebugPrint("one\n");
    DebugPrint("two\n");
    const char *start = TraceGetStart();
    EXPECT_STREQ(start, "one\ntwo\n");
    EXPECT_EQ(TraceGetUsed(), 8u);
}

TEST_F(TraceTest, ALineEndingExactlyAtTheLastByteIsRefusedAndTracingStopsForGood)
{
    // 16 bytes: "0123456789\n" (11) fits with its NUL; "abcd\n" (5) would put
    // its NUL at byte 16, one past the end.
    StartTrace(16);
    DebugPrint("0123456789\n");
    DebugPrint("abcd\n");
    EXPECT_EQ(TraceText(), "0123456789\n");
    DebugPrint("x\n"); // would fit, but tracing has stopped
    EXPECT_EQ(TraceText(), "0123456789\n");
    EXPECT_EQ(TraceGetStart()[11], '\0');
}

TEST_F(TraceTest, ALineThatLeavesRoomForItsNulIsAppended)
{
    StartTrace(16);
    DebugPrint("0123456789\n");
    DebugPrint("abc\n"); // ends at byte 14, NUL at 15
    EXPECT_EQ(TraceText(), "0123456789\nabc\n");
}

TEST_F(TraceTest, AZeroSizedBufferTracesNothing)
{
    PCHAR p = TraceStart(0);
    traceStarted_ = (p != nullptr);
    DebugPrint("a\n");
    EXPECT_EQ(TraceGetUsed(), 0u);
}

TEST_F(TraceTest, LongOutputIsCutTo131CharactersAndTerminated)
{
    StartTrace(1024);
    SetVerbose(1);
    std::string longText(200, 'x');
    DebugPrint("%s\n", longText.c_str());
    EXPECT_EQ(TraceText(), std::string(131, 'x'));
    ASSERT_EQ(standin::DebugLines().size(), 1u);
    EXPECT_EQ(standin::DebugLines()[0], std::string(131, 'x'));
}

TEST_F(TraceTest, OutputOfExactly131CharactersIsKeptWhole)
{
    StartTrace(1024);
    std::string text(130, 'y');
    DebugPrint("%s\n", text.c_str());
    EXPECT_EQ(TraceText(), text + "\n");
}

TEST_F(TraceTest, FailedTraceAllocationLeavesTracingOffButTheDebuggerWorks)
{
    standin::FailNthAllocation(1);
    EXPECT_EQ(TraceStart(4096), nullptr);
    SetVerbose(1);
    DebugPrint("still here\n");
    EXPECT_EQ(TraceGetStart(), nullptr);
    // The allocator's message came while the verbosity was still 0.
    ASSERT_EQ(standin::DebugLines().size(), 1u);
    EXPECT_EQ(standin::DebugLines()[0], "still here\n");
}

// Non-paged pool is finite (256 MB on x86 XP): a TraceSize of 0xFFFFFFFF is
// refused at once, and the driver goes on without a trace.
TEST_F(TraceTest, TraceLargerThanNonPagedPoolIsRefusedAtOnce)
{
    EXPECT_EQ(TraceStart(0xFFFFFFFF), nullptr);
    EXPECT_EQ(TraceGetStart(), nullptr);
    EXPECT_EQ(standin::OutstandingCount(TOLMU_POOL_TAG), 0u);
    SetVerbose(1);
    DebugPrint("still here\n");
    EXPECT_EQ(standin::DebugLines().back(), "still here\n");
}

TEST_F(TraceTest, TraceStopReleasesTheBufferAndEndsTracing)
{
    StartTrace(128);
    DebugPrint("before\n");
    TraceStop();
    traceStarted_ = false;
    EXPECT_EQ(TraceGetStart(), nullptr);
    EXPECT_EQ(standin::OutstandingCount(TOLMU_POOL_TAG), 0u);
    DebugPrint("after\n"); // must not touch the released block
}

TEST_F(TraceTest, MallocTakesNonPagedPoolWithTheDriverTag)
{
    PVOID p = Malloc(40);
    ASSERT_NE(p, nullptr);
    auto blocks = standin::OutstandingBlocks();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].tag, 0x206D6457u);
    EXPECT_EQ(blocks[0].type, NonPagedPool);
    EXPECT_EQ(blocks[0].size, 40u);
    MFree(p);
}

TEST_F(TraceTest, PMallocTakesPagedPool)
{
    PVOID p = PMalloc(24);
    ASSERT_NE(p, nullptr);
    auto blocks = standin::OutstandingBlocks();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].type, PagedPool);
    MFree(p);
}

TEST_F(TraceTest, PoolWrappersReportFailuresWithTheRequestedSize)
{
    StartTrace();
    standin::FailAllAllocations(true);
    EXPECT_EQ(Malloc(0x48), nullptr);
    EXPECT_EQ(PMalloc(1234), nullptr);
    standin::FailAllAllocations(false);
    EXPECT_EQ(TraceLines(), (std::vector<std::string>{"ERROR Malloc(size 72) returned NULL",
                                                       "ERROR PMalloc(size 1234) returned NULL"}));
}

TEST_F(TraceTest, MFreeOfNullDoesNothing)
{
    uint64_t before = standin::AllocationCount();
    MFree(nullptr);
    EXPECT_EQ(standin::AllocationCount(), before);
    EXPECT_TRUE(standin::Findings().empty());
}

TEST_F(TraceTest, StallHalfSecondWaitsHalfAMillionMicroseconds)
{
    uint64_t t0 = standin::VirtualMicroseconds();
    StallHalfSecond();
    StallHalfSecond();
    EXPECT_EQ(standin::VirtualMicroseconds() - t0, 1000000u);
}

TEST_F(TraceTest, TraceAppendIgnoresANullLine)
{
    StartTrace(64);
    TraceAppend(nullptr);
    DebugPrint("ok\n");
    EXPECT_EQ(TraceText(), "ok\n");
}

TEST_F(TraceTest, FreshLoadStartsWithTracingEnabledAgain)
{
    StartTrace(8);
    DebugPrint("too long for eight\n"); // stops tracing
    TraceStop();
    traceStarted_ = false;
    standin::ResetDriverModuleState();
    StartTrace(64);
    DebugPrint("new load\n");
    EXPECT_EQ(TraceText(), "new load\n");
}

} // namespace
