// The pool's boundaries the driver meets (its fences are in rules_test): new
// blocks filled and freed blocks poisoned, so nothing reads as zero by luck,
// and the pool's finite size as on Windows XP.
#include "standin_test_util.h"

namespace {

const ULONG kTag = 0x74736554; // "Test"

class PoolTest : public testsupport::DriverTest {};

TEST_F(PoolTest, NewBlocksAreFilledAndFreedBlocksPoisoned)
{
    unsigned char *p = static_cast<unsigned char *>(ExAllocatePoolWithTag(NonPagedPool, 16, kTag));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(p, p + 16), std::string(16, '\xCD'));
    ExFreePool(p);
    // The freed block is held back from the heap, so reading it is still safe here.
    EXPECT_EQ(std::string(p, p + 16), std::string(16, char(standin::kPoisonByte)));
}

TEST_F(PoolTest, PoolIsFiniteAsOnWindowsXp)
{
    // 256 MB of non-paged pool at most, 470 MB of paged pool: a larger request
    // fails at once, and so does one beyond what is left.
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 0xFFFFFFFF, kTag), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, (256u << 20) + 1, kTag), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, (470u << 20) + 1, kTag), nullptr);
    void *most = ExAllocatePoolWithTag(NonPagedPool, (256u << 20) - 64, kTag);
    ASSERT_NE(most, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 65, kTag), nullptr) << "only 64 bytes are left";
    void *rest = ExAllocatePoolWithTag(NonPagedPool, 64, kTag);
    void *paged = ExAllocatePoolWithTag(PagedPool, 64, kTag);
    EXPECT_TRUE(rest && paged) << "the last bytes; paged pool is counted apart";
    ExFreePool(most);
    void *again = ExAllocatePoolWithTag(NonPagedPool, 1u << 20, kTag);
    EXPECT_NE(again, nullptr) << "freed bytes come back";
    for (void *p : {rest, paged, again})
        ExFreePool(p);
}

} // namespace
