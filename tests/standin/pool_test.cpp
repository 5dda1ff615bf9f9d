// Pool accounting, failure injection, fill patterns and the pool rules.
#include "standin_test_util.h"
#include "test_support.h"

namespace {

const ULONG kTagA = 0x206D6457; // "Wdm "
const ULONG kTagB = 0x74736554; // "Test"

class PoolTest : public testsupport::DriverTest {};

TEST_F(PoolTest, AccountsOutstandingBlocksPerTag)
{
    void *a = ExAllocatePoolWithTag(NonPagedPool, 100, kTagA);
    void *b = ExAllocatePoolWithTag(PagedPool, 20, kTagA);
    void *c = ExAllocatePoolWithTag(NonPagedPool, 7, kTagB);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(standin::OutstandingCount(kTagA), 2u);
    EXPECT_EQ(standin::OutstandingBytes(kTagA), 120u);
    EXPECT_EQ(standin::OutstandingBytes(kTagB), 7u);
    EXPECT_EQ(standin::AllocationCount(), 3u);

    std::vector<standin::PoolBlock> blocks = standin::OutstandingBlocks();
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0].address, a);
    EXPECT_EQ(blocks[0].serial, 1u);
    EXPECT_EQ(blocks[1].type, PagedPool);
    EXPECT_EQ(blocks[2].tag, kTagB);
    EXPECT_EQ(blocks[2].serial, 3u);

    ExFreePool(b);
    EXPECT_EQ(standin::OutstandingCount(kTagA), 1u);
    EXPECT_EQ(standin::OutstandingBytes(kTagA), 100u);
    ExFreePool(a);
    ExFreePool(c);
    EXPECT_TRUE(standin::OutstandingBlocks().empty());
    EXPECT_EQ(standin::PoolReport(), "");
}

TEST_F(PoolTest, ReportNamesTagSizeAndSerial)
{
    void *a = ExAllocatePoolWithTag(NonPagedPool, 132, kTagA);
    void *b = ExAllocatePoolWithTag(PagedPool, 8, kTagB);
    EXPECT_EQ(standin::PoolReport(), "tag 'Wdm ' (0x206d6457) NonPagedPool size 132 serial 1\n"
                                     "tag 'Test' (0x74736554) PagedPool size 8 serial 2\n");
    ExFreePool(a);
    ExFreePool(b);
}

TEST_F(PoolTest, NewBlocksAreNotCleared)
{
    unsigned char *p = static_cast<unsigned char *>(ExAllocatePoolWithTag(NonPagedPool, 16, kTagA));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(p[i], 0xCD) << "byte " << i;
    ExFreePool(p);
}

TEST_F(PoolTest, FreedBlocksArePoisoned)
{
    unsigned char *p = static_cast<unsigned char *>(ExAllocatePoolWithTag(NonPagedPool, 16, kTagA));
    ASSERT_NE(p, nullptr);
    memset(p, 0x11, 16);
    ExFreePool(p);
    // The freed block is held back from the heap, so reading it is still safe here.
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(p[i], standin::kPoisonByte) << "byte " << i;
}

struct FailRow {
    uint64_t k;
    std::vector<bool> expectSuccess; // results of the next attempts
};

class FailNth : public PoolTest, public ::testing::WithParamInterface<FailRow> {};

TEST_P(FailNth, FailsExactlyTheKthAttempt)
{
    const FailRow &row = GetParam();
    void *before = ExAllocatePoolWithTag(NonPagedPool, 4, kTagA); // counted from now, not from Reset
    standin::FailNthAllocation(row.k);
    std::vector<void *> got;
    for (size_t i = 0; i < row.expectSuccess.size(); i++) {
        void *p = ExAllocatePoolWithTag(NonPagedPool, 4, kTagA);
        EXPECT_EQ(p != nullptr, (bool)row.expectSuccess[i]) << "attempt " << i + 1 << " with k " << row.k;
        if (p != nullptr)
            got.push_back(p);
    }
    EXPECT_EQ(standin::AllocationCount(), 1 + row.expectSuccess.size()) << "failed attempts count too";
    for (void *p : got)
        ExFreePool(p);
    ExFreePool(before);
}

INSTANTIATE_TEST_SUITE_P(Rows, FailNth,
                         ::testing::Values(FailRow{1, {false, true, true}}, FailRow{2, {true, false, true}},
                                           FailRow{3, {true, true, false, true}}, FailRow{0, {true, true, true}}));

TEST_F(PoolTest, FailAllAllocations)
{
    standin::FailAllAllocations(true);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, kTagA), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 4, kTagA), nullptr);
    EXPECT_EQ(standin::OutstandingCount(kTagA), 0u);
    standin::FailAllAllocations(false);
    void *p = ExAllocatePoolWithTag(NonPagedPool, 4, kTagA);
    EXPECT_NE(p, nullptr);
    ExFreePool(p);
}

TEST_F(PoolTest, ResetForgetsBlocksAndInjection)
{
    ExAllocatePoolWithTag(NonPagedPool, 4, kTagA);
    standin::FailNthAllocation(1);
    standin::FailAllAllocations(true);
    standin::Reset();
    EXPECT_EQ(standin::AllocationCount(), 0u);
    EXPECT_TRUE(standin::OutstandingBlocks().empty());
    void *p = ExAllocatePoolWithTag(NonPagedPool, 4, kTagA);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(standin::OutstandingBlocks().at(0).serial, 1u);
    ExFreePool(p);
}

TEST_F(PoolTest, DoubleFreeIsAFinding)
{
    standintest::FindingCatcher catcher;
    void *p = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
    ExFreePool(p);
    EXPECT_TRUE(catcher.caught.empty());
    ExFreePool(p);
    EXPECT_EQ(catcher.Rules(), (std::vector<std::string>{"POOL_FREE_INVALID"}));
}

TEST_F(PoolTest, FreeOfAPointerIntoABlockIsAFinding)
{
    standintest::FindingCatcher catcher;
    char *p = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 8, kTagA));
    ExFreePool(p + 1);
    EXPECT_EQ(catcher.Rules(), (std::vector<std::string>{"POOL_FREE_INVALID"}));
    EXPECT_EQ(standin::OutstandingCount(kTagA), 1u) << "the block stays outstanding";
    ExFreePool(p);
}

struct IrqlRow {
    KIRQL irql;
    POOL_TYPE type;
    const char *rule; // nullptr: no finding
};

class PoolIrql : public PoolTest, public ::testing::WithParamInterface<IrqlRow> {};

TEST_P(PoolIrql, AllocationRules)
{
    const IrqlRow &row = GetParam();
    standintest::FindingCatcher catcher;
    standin::SetIrql(row.irql);
    void *p = ExAllocatePoolWithTag(row.type, 8, kTagA);
    standin::SetIrql(PASSIVE_LEVEL);
    std::vector<std::string> expected;
    if (row.rule != nullptr)
        expected.push_back(row.rule);
    EXPECT_EQ(catcher.Rules(), expected) << "IRQL " << (int)row.irql << " pool type " << row.type;
    if (p != nullptr)
        ExFreePool(p);
}

INSTANTIATE_TEST_SUITE_P(Rows, PoolIrql,
                         ::testing::Values(IrqlRow{PASSIVE_LEVEL, PagedPool, nullptr},
                                           IrqlRow{APC_LEVEL, PagedPool, nullptr},
                                           IrqlRow{DISPATCH_LEVEL, NonPagedPool, nullptr},
                                           IrqlRow{DISPATCH_LEVEL, PagedPool, "POOL_PAGED_AT_DISPATCH"},
                                           IrqlRow{3, NonPagedPool, "POOL_ALLOCATION_IRQL"}));

} // namespace
