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
