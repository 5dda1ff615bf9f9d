/*
 * internal.h - hooks between the parts of the kernel stand-in.
 *
 * Not for the driver and not for tests: each part of the stand-in puts its
 * state back to a fresh machine through one of these, and standin::Reset()
 * calls them all.
 */
#ifndef TOLMU_STANDIN_INTERNAL_H
#define TOLMU_STANDIN_INTERNAL_H

#include <cstdarg>
#include <string>

#include "standin.h"

namespace standin::detail {

/* Parts written alongside the I/O manager, the power manager and the memory
 * mapping. reset.cpp holds weak empty versions; the file that owns the part's
 * state defines the strong one. Put the strong definition in a file that the
 * program links for other reasons (one that defines routines the driver
 * calls): a static library member is not pulled in for a weak symbol alone. */
void ResetIoManager();
void ResetPowerManager();
void ResetMemoryMapping();

/* The parts in this folder's core. */
void ResetFindings();
void ResetDebugCapture();
void ResetPool();
void ResetRegistry();
void ResetProcessor(); /* clock, stall count, IRQL */
void ResetHal();
void ResetVersion();

/* The kernel runtime's formatter (Windows printf rules, %lx is 32 bits, %ws
 * a 16-bit string) producing the whole text, never cut. */
std::string FormatV(const char *format, va_list args);
std::string Format(const char *format, ...);

/* Reports a routine whose DDK page says callers run at PASSIVE_LEVEL when it
 * is called above it (rule PASSIVE_ROUTINE_AT_RAISED_IRQL; on Windows a
 * registry or version call at raised IRQL can touch paged memory and stop
 * the machine with IRQL_NOT_LESS_OR_EQUAL). */
void CheckPassiveLevel(const char *routine);

/* A 16-bit string as bytes, one per code unit (its low 8 bits). */
std::string Narrow(const char16_t *text);
std::string Narrow(const char16_t *text, size_t units);

} // namespace standin::detail

#endif /* TOLMU_STANDIN_INTERNAL_H */
