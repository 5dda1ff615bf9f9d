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

std::mutex poolLock;
std::deque<void *> quarantine;
std::map<const void *, PoolBlock> blocks;
uint64_t attempts = 0;      /* allocation attempts since Reset() */
uint64_t failCountdown = 0; /* attempts left until the injected failure; 0: none */
bool failAll = false;

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

/* Blocks still outstanding belong to the machine being thrown away. */
void ResetPool()
{
    std::lock_guard<std::mutex> g(poolLock);
    for (auto &entry : blocks)
        free(const_cast<void *>(entry.first));
    blocks.clear();
    for (void *p : quarantine)
        free(p);
    quarantine.clear();
    attempts = 0;
    failCountdown = 0;
    failAll = false;
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
    bool fail = failAll;
    if (failCountdown != 0 && --failCountdown == 0)
        fail = true;
    if (fail)
        return nullptr;

    void *p = malloc(NumberOfBytes != 0 ? NumberOfBytes : 1);
    if (p == nullptr)
        return nullptr;
    memset(p, kFreshByte, NumberOfBytes);
    blocks[p] = PoolBlock{p, NumberOfBytes, Tag, PoolType, serial};
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
    memset(P, kPoisonByte, b.size);
    quarantine.push_back(P);
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
