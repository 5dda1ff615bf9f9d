// The stand-in's own rules (pool, spin locks, IRQL of routines, port
// addresses), each shown firing on its fault and silent on the right use
// beside it (the rows are named in docs/verifier-rules.md); and the pool's
// other boundaries: new blocks filled and freed blocks poisoned, so nothing
// reads as zero by luck, and its finite size as on Windows XP.
#include "standin_test_util.h"

namespace {

const ULONG kTag = 0x74736554; // "Test"
KSPIN_LOCK lock;
KIRQL old;
void *block;

template <KIRQL irql, POOL_TYPE type> void AllocAt()
{
    standin::SetIrql(irql);
    void *p = ExAllocatePoolWithTag(type, 8, kTag);
    standin::SetIrql(PASSIVE_LEVEL);
    if (p != nullptr)
        ExFreePool(p);
}

// A 13-byte block with the byte at p[at] written, then freed.
template <int at> void WriteAndFree()
{
    char *p = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 13, kTag));
    p[at] = 0;
    ExFreePool(p);
}

WCHAR key[] = u"dromel";
RTL_QUERY_REGISTRY_TABLE end = {};
ULONG value = 1;
char text[8];

// A scenario run at the given IRQL that must produce exactly the findings named.
struct Row {
    const char *name;
    void (*run)();
    std::vector<std::string> rules;
    KIRQL irql = PASSIVE_LEVEL;
};
const Row kRows[] = {
    // pool
    {"double free", [] { void *p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag); ExFreePool(p); ExFreePool(p); },
     {"POOL_FREE_INVALID"}},
    {"free of a pointer into a block", [] {
         char *p = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 8, kTag));
         ExFreePool(p + 1);
         EXPECT_EQ(standin::OutstandingCount(kTag), 1u) << "the block stays outstanding";
         ExFreePool(p);
     }, {"POOL_FREE_INVALID"}},
    {"nonpaged at dispatch", AllocAt<DISPATCH_LEVEL, NonPagedPool>, {}},
    {"paged at dispatch", AllocAt<DISPATCH_LEVEL, PagedPool>, {"POOL_PAGED_AT_DISPATCH"}},
    {"above dispatch", AllocAt<DISPATCH_LEVEL + 1, NonPagedPool>, {"POOL_ALLOCATION_IRQL"}},
    {"free above dispatch", [] {
         block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
         standin::SetIrql(DISPATCH_LEVEL + 1);
         ExFreePool(block);
     }, {"POOL_FREE_IRQL"}},
    {"one byte past the end", WriteAndFree<13>, {"POOL_OVERRUN"}},
    {"one byte before the start", WriteAndFree<-1>, {"POOL_UNDERRUN"}},
    {"the first and the last byte written", [] { WriteAndFree<0>(); WriteAndFree<12>(); }, {}},
    {"overrun of a block never freed, seen at reset", [] {
         static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 4, kTag))[4 + 7] = 0;
         standin::Reset();
     }, {"POOL_OVERRUN"}},
    // spin locks
    {"acquire a held lock", [] { KeAcquireSpinLock(&lock, &old); KeAcquireSpinLock(&lock, &old); },
     {"SPIN_LOCK_ACQUIRED_TWICE"}},
    {"release to the wrong IRQL", [] { KeAcquireSpinLock(&lock, &old); KeReleaseSpinLock(&lock, APC_LEVEL); },
     {"SPIN_LOCK_RELEASE_IRQL"}},
    {"release below dispatch", [] {
         KeAcquireSpinLock(&lock, &old);
         standin::SetIrql(PASSIVE_LEVEL);
         KeReleaseSpinLock(&lock, old);
     }, {"SPIN_LOCK_RELEASE_IRQL"}},
    {"acquire above dispatch", [] { KeAcquireSpinLock(&lock, &old); }, {"SPIN_LOCK_IRQL"}, DISPATCH_LEVEL + 1},
    {"release a lock not held", [] { KeReleaseSpinLock(&lock, old); }, {"SPIN_LOCK_NOT_HELD"}, DISPATCH_LEVEL},
    // routines called above their IRQL
    {"query at dispatch", [] { RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, key, &end, nullptr, nullptr); },
     {"PASSIVE_ROUTINE_AT_RAISED_IRQL"}, DISPATCH_LEVEL},
    {"create at dispatch", [] { RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, key); }, {"PASSIVE_ROUTINE_AT_RAISED_IRQL"},
     DISPATCH_LEVEL},
    {"write at dispatch", [] { RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, key, key, REG_DWORD, &value, 4); },
     {"PASSIVE_ROUTINE_AT_RAISED_IRQL"}, DISPATCH_LEVEL},
    {"version at dispatch", [] { PsGetVersion(0, 0, 0, 0); }, {"PASSIVE_ROUTINE_AT_RAISED_IRQL"},
     DISPATCH_LEVEL},
    {"map above dispatch", [] { MmMapIoSpace(PHYSICAL_ADDRESS{}, 0, MmNonCached); }, {"MAP_IO_SPACE_IRQL"}, 31},
    {"wide string printed at dispatch", [] { DbgPrint("SP: %ws\n", u"2"); }, {"WIDE_FORMAT_AT_RAISED_IRQL"},
     DISPATCH_LEVEL},
    {"wide string formatted at dispatch", [] { _snprintf(text, sizeof text, "%-4S", u"2"); },
     {"WIDE_FORMAT_AT_RAISED_IRQL"}, DISPATCH_LEVEL},
    {"narrow text and a percent sign at dispatch", [] { _snprintf(text, sizeof text, "%s %%S", "2"); }, {},
     DISPATCH_LEVEL},
    // port addresses
    {"port 0 read", [] { READ_PORT_USHORT(nullptr); }, {"PORT_ZERO_ACCESS"}},
    {"port 0 write", [] { WRITE_PORT_ULONG(nullptr, 1); }, {"PORT_ZERO_ACCESS"}},
    {"port beyond the 64K space", [] { WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x10CF8), 1); },
     {"PORT_OUT_OF_RANGE"}},
    {"last port", [] { READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0xFFFF)); }, {}},
};

class StandinRules : public testsupport::DriverTest {};

TEST_F(StandinRules, EachFiresOnItsFaultOnly)
{
    for (const Row &row : kRows) {
        standin::Reset();
        KeInitializeSpinLock(&lock);
        standintest::FindingCatcher catcher;
        standin::SetIrql(row.irql);
        row.run();
        standin::SetIrql(PASSIVE_LEVEL);
        EXPECT_EQ(catcher.rules, row.rules) << row.name;
    }
    standin::Reset();
}

using PoolTest = StandinRules;

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
