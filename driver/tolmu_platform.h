/*
 * tolmu_platform.h - the driver's only view of the platform.
 *
 * On Windows this is the DDK (<ntddk.h>) plus the few runtime declarations the
 * DDK headers leave out. On the host it is the kernel stand-in's declarations,
 * which carry the same names, types and widths.
 *
 * Every driver source includes this header and nothing else of the platform.
 */
#ifndef TOLMU_PLATFORM_H
#define TOLMU_PLATFORM_H

#if defined(_WIN32)

#include <ntddk.h>
#include <stdarg.h>

extern "C" int __cdecl _vsnprintf(char *buffer, size_t count, const char *format, va_list args);

/* Module-wide variables: nothing special on Windows, the image loader gives a
 * fresh copy of the data section at every load. */
#define MODULE_STATE

/* A wide string literal in the platform's WCHAR. */
#define WSTR(s) L##s

#else /* host build against the kernel stand-in */

#include "ntddk_host.h"

/* Module-wide variables live in their own section, so the stand-in can give a
 * fresh load of the driver the variables' load-time values, as the Windows
 * image loader does. */
#define MODULE_STATE __attribute__((section("tolmu_state"), used))

#define WSTR(s) u##s

#endif

/* Addresses printed as 32-bit numbers, the width they have on x86. */
#define PTR32(p) ((ULONG)(ULONG_PTR)(p))

#endif /* TOLMU_PLATFORM_H */
