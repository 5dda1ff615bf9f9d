/*
 * mm.cpp - memory-mapped register windows: MmMapIoSpace, MmUnmapIoSpace and
 * the register access routines.
 *
 * The simulated machine registers the windows its devices decode. A mapping
 * is a host buffer standing in for the virtual address range; the register
 * routines find the mapping an address falls in and hand the access to the
 * window's callbacks, keeping the buffer up to date with the last value seen.
 * KNOWN DIFFERENCE from Windows: a plain pointer access reaches the buffer
 * only, the machine never sees it (on Windows it reaches the device); the
 * driver gets a stale value and a wrong result, never a kinder one.
 * Unmapped buffers stay allocated until Reset so a late access is reported,
 * not a crash.
 */
#include <cstdlib>
#include <vector>

#include "internal.h"
#include "iomgr.h"

namespace standin {

namespace {

struct Window {
    uint64_t base;
    uint32_t length;
    MmioRead read;
    MmioWrite write;
};

struct Mapping {
    unsigned char *host;
    size_t length;
    uint64_t phys;
    bool live;
    bool leakReported;
};

std::vector<Window> windows;
std::vector<Mapping> mappings;
/* Buffers still held when the program ends, released quietly. */
struct ReleaseAtExit {
    ~ReleaseAtExit()
    {
        for (Mapping &m : mappings)
            free(m.host);
    }
} releaseAtExit;

bool mapFails = false;
uint64_t mapCalls = 0;

const Window *WindowFor(uint64_t phys, uint64_t length)
{
    for (const Window &w : windows)
        if (phys >= w.base && phys + length <= w.base + w.length)
            return &w;
    return nullptr;
}

Mapping *MappingFor(const volatile void *address, int width)
{
    const unsigned char *p = static_cast<const unsigned char *>(const_cast<const void *>(address));
    for (Mapping &m : mappings)
        if (m.live && p >= m.host && p + width <= m.host + m.length)
            return &m;
    return nullptr;
}

const char *RoutineName(bool write, int width)
{
    static const char *names[2][3] = {{"READ_REGISTER_UCHAR", "READ_REGISTER_USHORT", "READ_REGISTER_ULONG"},
                                      {"WRITE_REGISTER_UCHAR", "WRITE_REGISTER_USHORT", "WRITE_REGISTER_ULONG"}};
    return names[write ? 1 : 0][width == 1 ? 0 : width == 2 ? 1 : 2];
}

uint32_t WidthMask(int width)
{
    return width == 1 ? 0xFFu : width == 2 ? 0xFFFFu : 0xFFFFFFFFu;
}

/* The window and offset behind a register address, or null (reported). */
const Window *Route(const volatile void *address, int width, bool write, uint32_t *offset, unsigned char **shadow)
{
    Mapping *m = MappingFor(address, width);
    if (m == nullptr) {
        ReportFinding("REGISTER_ACCESS_OUTSIDE_MAPPING",
                      std::string(RoutineName(write, width)) + " at " +
                          iodetail::Hex((ULONG_PTR)const_cast<const void *>(address)) +
                          ", which no live MmMapIoSpace mapping covers");
        return nullptr;
    }
    size_t delta = static_cast<const unsigned char *>(const_cast<const void *>(address)) - m->host;
    *shadow = m->host + delta;
    const Window *w = WindowFor(m->phys + delta, (uint64_t)width);
    if (w != nullptr)
        *offset = (uint32_t)(m->phys + delta - w->base);
    return w;
}

uint32_t RegisterRead(const volatile void *address, int width)
{
    uint32_t offset = 0;
    unsigned char *shadow = nullptr;
    const Window *w = Route(address, width, false, &offset, &shadow);
    if (shadow == nullptr)
        return WidthMask(width);
    /* A window the machine has taken away floats like an empty bus. */
    uint32_t value = (w != nullptr && w->read) ? (w->read(offset, width) & WidthMask(width)) : WidthMask(width);
    memcpy(shadow, &value, (size_t)width);
    return value;
}

void RegisterWrite(volatile void *address, int width, uint32_t value)
{
    uint32_t offset = 0;
    unsigned char *shadow = nullptr;
    const Window *w = Route(address, width, true, &offset, &shadow);
    if (shadow == nullptr)
        return;
    value &= WidthMask(width);
    memcpy(shadow, &value, (size_t)width);
    if (w != nullptr && w->write)
        w->write(offset, width, value);
}

std::string DescribeMapping(const Mapping &m)
{
    return "mapping " + iodetail::Hex((ULONG_PTR)m.host) + " of " + iodetail::Hex(m.length) +
           " bytes at physical " + iodetail::Hex(m.phys);
}

} // namespace

void RegisterMmioWindow(uint64_t physBase, uint32_t length, MmioRead read, MmioWrite write)
{
    UnregisterMmioWindow(physBase);
    windows.push_back(Window{physBase, length, std::move(read), std::move(write)});
}

void UnregisterMmioWindow(uint64_t physBase)
{
    for (auto it = windows.begin(); it != windows.end(); ++it) {
        if (it->base == physBase) {
            windows.erase(it);
            return;
        }
    }
}

void SetMapIoSpaceFails(bool fail)
{
    mapFails = fail;
}

size_t LiveMappingCount()
{
    size_t n = 0;
    for (const Mapping &m : mappings)
        n += m.live ? 1 : 0;
    return n;
}

uint64_t MapIoSpaceCalls()
{
    return mapCalls;
}

namespace iodetail {

void CheckMappingLeftovers()
{
    for (Mapping &m : mappings) {
        if (m.live && !m.leakReported) {
            m.leakReported = true;
            ReportFinding("MAPPING_LEAKED", DescribeMapping(m) + " was never unmapped with MmUnmapIoSpace");
        }
    }
}

} // namespace iodetail

namespace detail {

void ResetMemoryMapping()
{
    iodetail::CheckMappingLeftovers();
    for (Mapping &m : mappings)
        free(m.host);
    mappings.clear();
    windows.clear();
    mapFails = false;
    mapCalls = 0;
}

} // namespace detail

} // namespace standin

using namespace standin;

extern "C" PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes,
                                    MEMORY_CACHING_TYPE CacheEnable)
{
    /* DDK: "Callers of MmMapIoSpace must be running at IRQL <= DISPATCH_LEVEL". */
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        ReportFinding("MAP_IO_SPACE_IRQL", detail::Format("MmMapIoSpace at IRQL %d", KeGetCurrentIrql()));
    mapCalls++;
    uint64_t phys = (uint64_t)PhysicalAddress.QuadPart;
    if (mapFails || NumberOfBytes == 0 || WindowFor(phys, NumberOfBytes) == nullptr)
        return nullptr;
    unsigned char *host = static_cast<unsigned char *>(calloc(1, NumberOfBytes));
    if (host == nullptr)
        return nullptr;
    mappings.push_back(Mapping{host, NumberOfBytes, phys, true, false});
    return host;
}

extern "C" VOID NTAPI MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes)
{
    /* DDK: "Callers of MmUnmapIoSpace must be running at IRQL <= DISPATCH_LEVEL". */
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        ReportFinding("MAP_IO_SPACE_IRQL", detail::Format("MmUnmapIoSpace at IRQL %d", KeGetCurrentIrql()));
    for (Mapping &m : mappings) {
        if (m.live && m.host == BaseAddress) {
            if (m.length != NumberOfBytes)
                ReportFinding("UNMAP_WITH_WRONG_LENGTH", "MmUnmapIoSpace of " + iodetail::Hex(NumberOfBytes) +
                                                             " bytes for " + DescribeMapping(m));
            m.live = false;
            return;
        }
    }
    ReportFinding("UNMAP_OF_UNKNOWN_ADDRESS", "MmUnmapIoSpace at " + iodetail::Hex((ULONG_PTR)BaseAddress) +
                                                  " (" + iodetail::Hex(NumberOfBytes) +
                                                  " bytes), which is not the start of a live mapping");
}

extern "C" ULONG NTAPI READ_REGISTER_ULONG(volatile ULONG *Register)
{
    return RegisterRead(Register, 4);
}

extern "C" USHORT NTAPI READ_REGISTER_USHORT(volatile USHORT *Register)
{
    return (USHORT)RegisterRead(Register, 2);
}

extern "C" UCHAR NTAPI READ_REGISTER_UCHAR(volatile UCHAR *Register)
{
    return (UCHAR)RegisterRead(Register, 1);
}

extern "C" VOID NTAPI WRITE_REGISTER_ULONG(volatile ULONG *Register, ULONG Value)
{
    RegisterWrite(Register, 4, Value);
}

extern "C" VOID NTAPI WRITE_REGISTER_USHORT(volatile USHORT *Register, USHORT Value)
{
    RegisterWrite(Register, 2, Value);
}

extern "C" VOID NTAPI WRITE_REGISTER_UCHAR(volatile UCHAR *Register, UCHAR Value)
{
    RegisterWrite(Register, 1, Value);
}
