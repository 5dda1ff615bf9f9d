/*
 * pool.cpp - ExAllocatePoolWithTag and ExFreePool over the host heap, with the
 * accounting a leak check needs (every outstanding block with its tag, size
 * and serial), failure injection, and the pool rules a checked kernel
 * enforces.
 *
 * New blocks are filled with kFreshByte, not zeros, so code that relies on the
 * pool clearing memory shows up; freed blocks are filled with kPoisonByte
 * and are held back from the heap for a while (the most recent
 * kQuarantineBlocks of them), so a use after free reads the poison instead of
 * someone else's data.
 *
 * As Driver Verifier's special pool does, every block is fenced: kGuardBytes
 * of kGuardByte before it and after its last byte (the rear fence starts right
 * at the end of the requested size, so a one-byte overrun is seen). The fences
 * are checked when the block is freed and, for blocks still outstanding, at
 * Reset: POOL_OVERRUN and POOL_UNDERRUN (special pool's bug check 0xC1,
 * SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION, which checks the pattern it
 * wrote around the block when the block is freed).
 *
 * Non-paged pool is finite. Windows XP on x86 gives at most 256 MB of it
 * ("Memory Limits for Windows and Windows Server Releases", kernel-mode pool
 * limits: nonpaged pool, Windows XP, up to 256 MB) and at most 470 MB of paged
 * pool (same table). A request larger than what is left of the pool's limit
 * fails at once and returns NULL, as ExAllocatePoolWithTag does for any pool
 * type but the must-succeed ones.
 */
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

#include "internal.h"

namespace standin {

namespace {

/* The byte a fresh block is filled with. */
constexpr unsigned char kFreshByte = 0xCD;

/* Freed blocks kept poisoned before they go back to the heap. */
constexpr size_t kQuarantineBlocks = 256;

/* The fences around each block (a multiple of 16 keeps the host's alignment). */
constexpr size_t kGuardBytes = 16;
constexpr unsigned char kGuardByte = 0xA5;

/* Windows XP x86's pool limits. */
constexpr uint64_t kNonPagedPoolLimit = 256ull << 20;
constexpr uint64_t kPagedPoolLimit = 470ull << 20;

std::mutex poolLock;
std::deque<void *> quarantine;
std::map<const void *, PoolBlock> blocks;
uint64_t attempts = 0;      /* allocation attempts since Reset() */
uint64_t nonPagedBytes = 0; /* outstanding, by pool */
uint64_t pagedBytes = 0;
uint64_t failCountdown = 0; /* attempts left until the injected failure; 0: none */
bool failAll = false;
ULONG faultTag = 0;         /* 0: the injection takes every allocation */
std::map<ULONG, uint64_t> attemptsByTag;
uint64_t injected = 0;      /* allocations failed by injection */

std::string TagText(ULONG tag)
{
    std::string s;
    for (int i = 0; i < 4; i++) {
        char c = (char)((tag >> (8 * i)) & 0xFF);
        s.push_back(c >= 0x20 && c < 0x7F ? c : '.');
    }
    return s;
}

const char *PoolTypeName(POOL_TYPE type)
{
    return type == PagedPool ? "PagedPool" : "NonPagedPool";
}

unsigned char *RawOf(const void *block)
{
    return const_cast<unsigned char *>(static_cast<const unsigned char *>(block)) - kGuardBytes;
}

/* The first damaged byte of the fences: offset from the block's start
 * (negative before it); 0 with ok when both are whole. */
bool FencesWhole(const PoolBlock &b, long long *offset)
{
    const unsigned char *user = static_cast<const unsigned char *>(b.address);
    for (size_t i = 0; i < kGuardBytes; i++) {
        if (user[b.size + i] != kGuardByte) {
            *offset = (long long)(b.size + i);
            return false;
        }
    }
    for (size_t i = kGuardBytes; i > 0; i--) {
        if (user[-(long long)i] != kGuardByte) {
            *offset = -(long long)i;
            return false;
        }
    }
    return true;
}

/* A finding for a block whose fence was written; called without the lock. */
void ReportBrokenFence(const PoolBlock &b, long long offset, const char *when)
{
    bool over = offset >= 0;
    std::string text = detail::Format("block %p (tag '%s', %llu bytes, serial %llu): byte %lld %s the block written, "
                                 "found %s",
                                 b.address, TagText(b.tag).c_str(), (unsigned long long)b.size,
                                 (unsigned long long)b.serial, over ? offset - (long long)b.size + 1 : -offset,
                                 over ? "past the end of" : "before the start of", when);
    if (over)
        ReportFinding("POOL_OVERRUN", text);
    else
        ReportFinding("POOL_UNDERRUN", text);
}

uint64_t &Outstanding(POOL_TYPE type)
{
    return type == PagedPool ? pagedBytes : nonPagedBytes;
}

} // namespace

std::vector<PoolBlock> OutstandingBlocks()
{
    std::lock_guard<std::mutex> g(poolLock);
    std::vector<PoolBlock> list;
    for (const auto &entry : blocks)
        list.push_back(entry.second);
    std::sort(list.begin(), list.end(),
              [](const PoolBlock &a, const PoolBlock &b) { return a.serial < b.serial; });
    return list;
}

size_t OutstandingBytes(ULONG tag)
{
    std::lock_guard<std::mutex> g(poolLock);
    size_t total = 0;
    for (const auto &entry : blocks)
        if (entry.second.tag == tag)
            total += entry.second.size;
    return total;
}

size_t OutstandingCount(ULONG tag)
{
    std::lock_guard<std::mutex> g(poolLock);
    size_t n = 0;
    for (const auto &entry : blocks)
        if (entry.second.tag == tag)
            n++;
    return n;
}

uint64_t AllocationCount()
{
    return attempts;
}

void FailNthAllocation(uint64_t k)
{
    std::lock_guard<std::mutex> g(poolLock);
    failCountdown = k;
}

void FailAllAllocations(bool fail)
{
    std::lock_guard<std::mutex> g(poolLock);
    failAll = fail;
}

void SetAllocationFaultTag(ULONG tag)
{
    std::lock_guard<std::mutex> g(poolLock);
    faultTag = tag;
}

uint64_t AllocationCount(ULONG tag)
{
    std::lock_guard<std::mutex> g(poolLock);
    auto it = attemptsByTag.find(tag);
    return it == attemptsByTag.end() ? 0 : it->second;
}

uint64_t InjectedAllocationFailures()
{
    std::lock_guard<std::mutex> g(poolLock);
    return injected;
}

std::string PoolReport()
{
    std::string report;
    for (const PoolBlock &b : OutstandingBlocks())
        report += detail::Format("tag '%s' (0x%08x) %s size %llu serial %llu\n", TagText(b.tag).c_str(), b.tag,
                                 PoolTypeName(b.type), (unsigned long long)b.size,
                                 (unsigned long long)b.serial);
    return report;
}

namespace detail {

/* Blocks still outstanding belong to the machine being thrown away; their
 * fences are checked first. */
void ResetPool()
{
    std::vector<std::pair<PoolBlock, long long>> broken;
    {
        std::lock_guard<std::mutex> g(poolLock);
        for (auto &entry : blocks) {
            long long offset = 0;
            if (!FencesWhole(entry.second, &offset))
                broken.emplace_back(entry.second, offset);
        }
    }
    for (auto &b : broken)
        ReportBrokenFence(b.first, b.second, "at reset, the block still outstanding");
    std::lock_guard<std::mutex> g(poolLock);
    for (auto &entry : blocks)
        free(RawOf(entry.first));
    blocks.clear();
    for (void *p : quarantine)
        free(p);
    quarantine.clear();
    nonPagedBytes = 0;
    pagedBytes = 0;
    attempts = 0;
    failCountdown = 0;
    failAll = false;
    faultTag = 0;
    attemptsByTag.clear();
    injected = 0;
}

} // namespace detail

} // namespace standin

using namespace standin;

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL)
        ReportFinding("POOL_ALLOCATION_IRQL",
                      detail::Format("allocation of %llu bytes, tag '%s', at IRQL %d",
                                     (unsigned long long)NumberOfBytes, TagText(Tag).c_str(), irql));
    else if (PoolType == PagedPool && irql >= DISPATCH_LEVEL)
        ReportFinding("POOL_PAGED_AT_DISPATCH",
                      detail::Format("paged allocation of %llu bytes, tag '%s', at IRQL %d",
                                     (unsigned long long)NumberOfBytes, TagText(Tag).c_str(), irql));

    std::lock_guard<std::mutex> g(poolLock);
    uint64_t serial = ++attempts;
    attemptsByTag[Tag]++;
    bool fail = false;
    if (faultTag == 0 || Tag == faultTag) {
        fail = failAll;
        if (failCountdown != 0 && --failCountdown == 0)
            fail = true;
    }
    if (fail) {
        injected++;
        return nullptr;
    }

    /* More than the pool can ever hold, or than is left of it: NULL at once. */
    uint64_t limit = PoolType == PagedPool ? kPagedPoolLimit : kNonPagedPoolLimit;
    if ((uint64_t)NumberOfBytes > limit - Outstanding(PoolType))
        return nullptr;

    unsigned char *raw = static_cast<unsigned char *>(malloc(NumberOfBytes + 2 * kGuardBytes));
    if (raw == nullptr)
        return nullptr;
    unsigned char *p = raw + kGuardBytes;
    memset(raw, kGuardByte, kGuardBytes);
    memset(p, kFreshByte, NumberOfBytes);
    memset(p + NumberOfBytes, kGuardByte, kGuardBytes);
    blocks[p] = PoolBlock{p, NumberOfBytes, Tag, PoolType, serial};
    Outstanding(PoolType) += NumberOfBytes;
    return p;
}

extern "C" VOID NTAPI ExFreePool(PVOID P)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL)
        ReportFinding("POOL_FREE_IRQL", detail::Format("ExFreePool(%p) at IRQL %d", P, irql));

    std::unique_lock<std::mutex> g(poolLock);
    auto it = blocks.find(P);
    if (it == blocks.end()) {
        g.unlock();
        /* Never allocated, already freed, or not the start of a block. Nothing
         * is released: the memory may belong to someone else. */
        ReportFinding("POOL_FREE_INVALID", detail::Format("ExFreePool(%p): not an outstanding pool block", P));
        return;
    }
    PoolBlock b = it->second;
    blocks.erase(it);
    Outstanding(b.type) -= b.size;
    long long offset = 0;
    bool whole = FencesWhole(b, &offset);
    memset(P, kPoisonByte, b.size);
    quarantine.push_back(RawOf(P));
    if (!whole) {
        g.unlock();
        ReportBrokenFence(b, offset, "when it was freed");
        g.lock();
    }
    if (quarantine.size() > kQuarantineBlocks) {
        free(quarantine.front());
        quarantine.pop_front();
    }
    if (b.type == PagedPool && irql >= DISPATCH_LEVEL) {
        g.unlock();
        ReportFinding("POOL_PAGED_AT_DISPATCH",
                      detail::Format("paged block %p (tag '%s', serial %llu) freed at IRQL %d", P,
                                     TagText(b.tag).c_str(), (unsigned long long)b.serial, irql));
    }
}
