// Pool accounting, failure injection, fill patterns and the pool rules.
#include <cstring>

#include "standin_test_util.h"

namespace {

const ULONG kTagA = 0x206D6457; // "Wdm "
const ULONG kTagB = 0x74736554; // "Test"

class PoolTest : public testsupport::DriverTest {};

TEST_F(PoolTest, AccountsAndReportsOutstandingBlocksPerTag)
{
    void *a = ExAllocatePoolWithTag(NonPagedPool, 132, kTagA);
    void *b = ExAllocatePoolWithTag(PagedPool, 8, kTagB);
    void *c = ExAllocatePoolWithTag(NonPagedPool, 20, kTagA);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(standin::OutstandingCount(kTagA), 2u);
    EXPECT_EQ(standin::OutstandingBytes(kTagA), 152u);
    EXPECT_EQ(standin::OutstandingBytes(kTagB), 8u);
    EXPECT_EQ(standin::AllocationCount(), 3u);
    std::vector<standin::PoolBlock> blocks = standin::OutstandingBlocks();
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0].address, a);
    EXPECT_EQ(blocks[1].type, PagedPool);
    EXPECT_EQ(blocks[1].tag, kTagB);
    EXPECT_EQ(blocks[2].serial, 3u);
    ExFreePool(c);
    EXPECT_EQ(standin::OutstandingCount(kTagA), 1u);
    EXPECT_EQ(standin::OutstandingBytes(kTagA), 132u);
    EXPECT_EQ(standin::PoolReport(), "tag 'Wdm ' (0x206d6457) NonPagedPool size 132 serial 1\n"
                                     "tag 'Test' (0x74736554) PagedPool size 8 serial 2\n");
    ExFreePool(a);
    ExFreePool(b);
    EXPECT_TRUE(standin::OutstandingBlocks().empty());
    EXPECT_EQ(standin::PoolReport(), "");
}

TEST_F(PoolTest, NewBlocksAreFilledAndFreedBlocksPoisoned)
{
    unsigned char *p = static_cast<unsigned char *>(ExAllocatePoolWithTag(NonPagedPool, 16, kTagA));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(p[i], 0xCD) << "new byte " << i;
    memset(p, 0x11, 16);
    ExFreePool(p);
    // The freed block is held back from the heap, so reading it is still safe here.
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(p[i], standin::kPoisonByte) << "freed byte " << i;
}

TEST_F(PoolTest, FailsExactlyTheKthAttempt)
{
    struct Row {
        uint64_t k;
        std::vector<bool> expectSuccess; // results of the next attempts
    };
    for (const Row &row : {Row{1, {false, true, true}}, Row{2, {true, false, true}}, Row{3, {true, true, false, true}},
                           Row{0, {true, true, true}}}) {
        SCOPED_TRACE("k " + std::to_string(row.k));
        standin::Reset();
        void *before = ExAllocatePoolWithTag(NonPagedPool, 4, kTagA); // counted from now, not from Reset
        standin::FailNthAllocation(row.k);
        for (size_t i = 0; i < row.expectSuccess.size(); i++) {
            void *p = ExAllocatePoolWithTag(NonPagedPool, 4, kTagA);
            EXPECT_EQ(p != nullptr, (bool)row.expectSuccess[i]) << "attempt " << i + 1;
            if (p != nullptr)
                ExFreePool(p);
        }
        EXPECT_EQ(standin::AllocationCount(), 1 + row.expectSuccess.size()) << "failed attempts count too";
        ExFreePool(before);
    }
}

TEST_F(PoolTest, FailAllUntilClearedOrReset)
{
    standin::FailAllAllocations(true);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, kTagA), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 4, kTagA), nullptr);
    EXPECT_EQ(standin::OutstandingCount(kTagA), 0u);
    standin::FailAllAllocations(false);
    void *p = ExAllocatePoolWithTag(NonPagedPool, 4, kTagA);
    EXPECT_NE(p, nullptr);
    standin::FailNthAllocation(1);
    standin::FailAllAllocations(true);
    standin::Reset(); // forgets blocks and injection
    EXPECT_EQ(standin::AllocationCount(), 0u);
    EXPECT_TRUE(standin::OutstandingBlocks().empty());
    p = ExAllocatePoolWithTag(NonPagedPool, 4, kTagA);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(standin::OutstandingBlocks().at(0).serial, 1u);
    ExFreePool(p);
}

template <KIRQL irql, POOL_TYPE type> void AllocAt()
{
    standin::SetIrql(irql);
    void *p = ExAllocatePoolWithTag(type, 8, kTagA);
    standin::SetIrql(PASSIVE_LEVEL);
    if (p != nullptr)
        ExFreePool(p);
}

TEST_F(PoolTest, RulesCatchTheirFaults)
{
    using standintest::FindingRow;
    const FindingRow rows[] = {
        {"double free", [] {
             void *p = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
             ExFreePool(p);
             ExFreePool(p);
         }, {"POOL_FREE_INVALID"}},
        {"free of a pointer into a block", [] {
             char *p = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 8, kTagA));
             ExFreePool(p + 1);
             EXPECT_EQ(standin::OutstandingCount(kTagA), 1u) << "the block stays outstanding";
             ExFreePool(p);
         }, {"POOL_FREE_INVALID"}},
        {"paged at passive", AllocAt<PASSIVE_LEVEL, PagedPool>, {}},
        {"paged at APC", AllocAt<APC_LEVEL, PagedPool>, {}},
        {"nonpaged at dispatch", AllocAt<DISPATCH_LEVEL, NonPagedPool>, {}},
        {"paged at dispatch", AllocAt<DISPATCH_LEVEL, PagedPool>, {"POOL_PAGED_AT_DISPATCH"}},
        {"above dispatch", AllocAt<3, NonPagedPool>, {"POOL_ALLOCATION_IRQL"}},
        {"free above dispatch", [] {
             void *p = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
             standin::SetIrql(3);
             ExFreePool(p);
             standin::SetIrql(PASSIVE_LEVEL);
         }, {"POOL_FREE_IRQL"}},
        {"one byte past the end", [] {
             char *p = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 13, kTagA));
             p[13] = 0;
             ExFreePool(p);
         }, {"POOL_OVERRUN"}},
        {"one byte before the start", [] {
             char *p = static_cast<char *>(ExAllocatePoolWithTag(PagedPool, 8, kTagA));
             p[-1] = 0;
             ExFreePool(p);
         }, {"POOL_UNDERRUN"}},
        {"overrun of a block never freed, seen at reset", [] {
             char *p = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 4, kTagA));
             p[4 + 7] = 0;
             standin::Reset();
         }, {"POOL_OVERRUN"}},
        {"the whole block written", [] {
             char *p = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 13, kTagA));
             memset(p, 0, 13);
             ExFreePool(p);
         }, {}},
    };
    for (const FindingRow &row : rows)
        standintest::ExpectFindings(row);
}

TEST_F(PoolTest, NonPagedPoolIsFiniteAsOnWindowsXp)
{
    // 256 MB of non-paged pool at most, 470 MB of paged pool: a larger request
    // fails at once, and so does one beyond what is left.
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 0xFFFFFFFF, kTagA), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, (256u << 20) + 1, kTagA), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, (470u << 20) + 1, kTagA), nullptr);
    void *most = ExAllocatePoolWithTag(NonPagedPool, (256u << 20) - 64, kTagA);
    ASSERT_NE(most, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 65, kTagA), nullptr) << "only 64 bytes are left";
    void *rest = ExAllocatePoolWithTag(NonPagedPool, 64, kTagA);
    EXPECT_NE(rest, nullptr);
    void *paged = ExAllocatePoolWithTag(PagedPool, 64, kTagA);
    EXPECT_NE(paged, nullptr) << "paged pool is counted apart";
    ExFreePool(most);
    void *again = ExAllocatePoolWithTag(NonPagedPool, 1u << 20, kTagA);
    EXPECT_NE(again, nullptr) << "freed bytes come back";
    for (void *p : {rest, paged, again})
        ExFreePool(p);
    EXPECT_EQ(standin::AllocationCount(), 8u) << "failed attempts count too";
}

} // namespace
