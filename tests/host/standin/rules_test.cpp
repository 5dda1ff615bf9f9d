// The stand-in's own rules (pool, spin locks, IRQL of routines, port
// addresses), each shown firing on its fault and silent on the right use
// beside it. The rows are named in docs/verifier-rules.md.
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

template <KIRQL irql> void AtIrql(void (*call)())
{
    standin::SetIrql(irql);
    call();
    standin::SetIrql(PASSIVE_LEVEL);
}

WCHAR key[] = u"dromel";
ULONG value = 1;
char text[8];
using Row = standintest::FindingRow;
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
         AtIrql<DISPATCH_LEVEL + 1>([] { ExFreePool(block); });
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
    {"acquire above dispatch", [] { AtIrql<DISPATCH_LEVEL + 1>([] { KeAcquireSpinLock(&lock, &old); }); },
     {"SPIN_LOCK_IRQL"}},
    {"release a lock not held", [] { AtIrql<DISPATCH_LEVEL>([] { KeReleaseSpinLock(&lock, PASSIVE_LEVEL); }); },
     {"SPIN_LOCK_NOT_HELD"}},
    // routines called above their IRQL
    {"query at dispatch", [] {
         AtIrql<DISPATCH_LEVEL>([] {
             RTL_QUERY_REGISTRY_TABLE end[1] = {};
             RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"tolmu", end, nullptr, nullptr);
         });
     }, {"PASSIVE_ROUTINE_AT_RAISED_IRQL"}},
    {"create at dispatch", [] { AtIrql<DISPATCH_LEVEL>([] { RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, key); }); },
     {"PASSIVE_ROUTINE_AT_RAISED_IRQL"}},
    {"write at dispatch", [] {
         AtIrql<DISPATCH_LEVEL>([] { RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, key, key, REG_DWORD, &value, 4); });
     }, {"PASSIVE_ROUTINE_AT_RAISED_IRQL"}},
    {"version at dispatch", [] { AtIrql<DISPATCH_LEVEL>([] { PsGetVersion(nullptr, nullptr, nullptr, nullptr); }); },
     {"PASSIVE_ROUTINE_AT_RAISED_IRQL"}},
    {"map above dispatch", [] { AtIrql<31>([] { MmMapIoSpace(PHYSICAL_ADDRESS{}, 0, MmNonCached); }); },
     {"MAP_IO_SPACE_IRQL"}},
    {"wide string printed at dispatch", [] { AtIrql<DISPATCH_LEVEL>([] { DbgPrint("SP: %ws\n", u"2"); }); },
     {"WIDE_FORMAT_AT_RAISED_IRQL"}},
    {"wide string formatted at dispatch",
     [] { AtIrql<DISPATCH_LEVEL>([] { _snprintf(text, sizeof text, "%-4S", u"2"); }); },
     {"WIDE_FORMAT_AT_RAISED_IRQL"}},
    {"narrow text and a percent sign at dispatch",
     [] { AtIrql<DISPATCH_LEVEL>([] { _snprintf(text, sizeof text, "%s %%S", "2"); }); }, {}},
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
        row.run();
        EXPECT_EQ(catcher.rules, row.rules) << row.name;
    }
    standin::Reset();
}

} // namespace
