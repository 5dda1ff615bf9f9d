/*
 * reset.cpp - a fresh machine (Reset) and a fresh load of the driver image
 * (ResetDriverModuleState).
 *
 * The driver's module-wide variables live in the section "tolmu_state"
 * (MODULE_STATE). The linker brackets that section with __start_tolmu_state
 * and __stop_tolmu_state; the references are weak, so a program without any
 * such variable links and the reset does nothing. The section's bytes are
 * copied at program start, before anything has run the driver, and copied
 * back for every new load, as the image loader gives each load a fresh data
 * section.
 */
#include <cstdlib>
#include <cstring>

#include "internal.h"

extern "C" {
extern char __start_tolmu_state[] __attribute__((weak));
extern char __stop_tolmu_state[] __attribute__((weak));
}

namespace {

/* Plain variables, not objects: they are filled by a constructor that may run
 * before this file's own C++ initialisation. */
unsigned char *loadImage = nullptr;
size_t loadImageSize = 0;

__attribute__((constructor(101))) void SnapshotModuleState()
{
    uintptr_t start = (uintptr_t)__start_tolmu_state;
    uintptr_t stop = (uintptr_t)__stop_tolmu_state;
    if (start == 0 || stop <= start)
        return;
    loadImageSize = (size_t)(stop - start);
    loadImage = static_cast<unsigned char *>(malloc(loadImageSize));
    if (loadImage == nullptr) {
        loadImageSize = 0;
        return;
    }
    memcpy(loadImage, __start_tolmu_state, loadImageSize);
}

} // namespace

namespace standin {

namespace detail {

/* Parts of the stand-in that live elsewhere define these for real. */
__attribute__((weak)) void ResetIoManager() {}
__attribute__((weak)) void ResetPowerManager() {}
__attribute__((weak)) void ResetMemoryMapping() {}

} // namespace detail

void Reset()
{
    /* Requests, devices and mappings first: tearing them down may still use
     * the pool and the processor state. */
    detail::ResetIoManager();
    detail::ResetPowerManager();
    detail::ResetMemoryMapping();
    detail::ResetPool();
    detail::ResetRegistry();
    detail::ResetProcessor();
    detail::ResetHal();
    detail::ResetVersion();
    detail::ResetDebugCapture();
    detail::ResetFindings();
}

void ResetDriverModuleState()
{
    if (loadImage != nullptr)
        memcpy(__start_tolmu_state, loadImage, loadImageSize);
}

} // namespace standin
