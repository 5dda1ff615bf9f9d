/*
 * debug.h - the driver's one output routine, the trace buffer, the pool
 * wrappers and the half-second stall.
 */
#ifndef TOLMU_DEBUG_H
#define TOLMU_DEBUG_H

#include "tolmu_platform.h"

/* Pool tag "Wdm " of every block the driver allocates. */
#define TOLMU_POOL_TAG 0x206D6457

/* Characters of one formatted line, terminator included. */
#define DEBUG_LINE_SIZE 132

/* Formats one line; sends it to the debugger when the verbosity is not 0 and
 * appends it to the trace buffer whatever the verbosity. */
void DebugPrint(const char *format, ...);

void SetVerbose(LONG value);
LONG GetVerbose(void);

/* The trace buffer: one growing text, each line followed by a NUL that the
 * next line overwrites. */
PCHAR TraceStart(ULONG size);
void TraceAppend(const char *line);
void TraceStop(void);
/* Start of the buffer (null when there is none) and the bytes used so far,
 * terminator excluded. */
PCHAR TraceGetStart(void);
ULONG TraceGetUsed(void);

/* Pool wrappers: non-paged and paged pool, tag "Wdm ", blocks not cleared. */
PVOID Malloc(ULONG size);
PVOID PMalloc(ULONG size);
VOID MFree(PVOID block);

/* Busy-waits half a second. */
VOID StallHalfSecond(void);

#endif /* TOLMU_DEBUG_H */
