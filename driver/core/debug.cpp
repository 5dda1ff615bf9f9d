/*
 * debug.cpp - DebugPrint, the trace buffer, the pool wrappers and the
 * half-second stall.
 *
 * Every line the driver prints is formatted here once. It goes to the kernel
 * debugger only when the verbosity is not 0, but it is always appended to the
 * trace buffer, whose address is published in the registry so the text can be
 * read from a crash dump or a live debugger even when nothing was printed.
 */
#include "core/debug.h"

/* Verbosity of the debugger output, set from the Verbose value at load. */
static LONG Verbosity MODULE_STATE = 0;

/* Trace buffer state. TraceNext null means tracing is off; TraceEnabled is
 * cleared for good by the first line that does not fit. */
static ULONG TraceBytes MODULE_STATE = 0;
static PCHAR TraceBase MODULE_STATE = 0;
static PCHAR TraceNext MODULE_STATE = 0;
static ULONG TraceEnabled MODULE_STATE = 1;

/* Appends come from dispatch routines and from completion routines running
 * at dispatch level on any processor: the length test, the copy and the
 * advance of one line happen under this lock (zero is an initialised lock). */
static KSPIN_LOCK TraceLock MODULE_STATE = 0;

void SetVerbose(LONG value)
{
    Verbosity = value;
}

LONG GetVerbose(void)
{
    return Verbosity;
}

void DebugPrint(const char *format, ...)
{
    char line[DEBUG_LINE_SIZE];
    va_list args;

    /* The runtime's formatter leaves a full buffer unterminated: format into
     * all but the last byte and terminate it here, so a cut line keeps 131
     * characters. */
    va_start(args, format);
    _vsnprintf(line, DEBUG_LINE_SIZE - 1, format, args);
    va_end(args);
    line[DEBUG_LINE_SIZE - 1] = '\0';

    if (Verbosity != 0)
        DbgPrint("%s", line);

    if (TraceNext != 0)
        TraceAppend(line);
}

PCHAR TraceStart(ULONG size)
{
    TraceBytes = size;
    TraceBase = (PCHAR)Malloc(size);
    TraceNext = TraceBase;
    if (TraceBase != 0 && size != 0)
        TraceBase[0] = '\0';
    return TraceNext;
}

void TraceAppend(const char *line)
{
    KIRQL oldIrql;

    if (line == 0)
        return;

    KeAcquireSpinLock(&TraceLock, &oldIrql);
    if (TraceEnabled && TraceNext != 0) {
        ULONG n = (ULONG)strlen(line);

        /* The line and its terminator must land inside the buffer. */
        if (TraceNext + n < TraceBase + TraceBytes) {
            strcpy(TraceNext, line);
            TraceNext += n;
        } else {
            TraceEnabled = 0;
        }
    }
    KeReleaseSpinLock(&TraceLock, oldIrql);
}

void TraceStop(void)
{
    KIRQL oldIrql;
    PCHAR block;

    KeAcquireSpinLock(&TraceLock, &oldIrql);
    block = TraceBase;
    TraceBase = 0;
    TraceNext = 0;
    KeReleaseSpinLock(&TraceLock, oldIrql);

    MFree(block);
}

PCHAR TraceGetStart(void)
{
    return TraceBase;
}

ULONG TraceGetUsed(void)
{
    if (TraceBase == 0 || TraceNext == 0)
        return 0;
    return (ULONG)(TraceNext - TraceBase);
}

PVOID Malloc(ULONG size)
{
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, size, TOLMU_POOL_TAG);

    if (block == 0)
        DebugPrint("ERROR Malloc(size %d) returned NULL\n", size);
    return block;
}

PVOID PMalloc(ULONG size)
{
    PVOID block = ExAllocatePoolWithTag(PagedPool, size, TOLMU_POOL_TAG);

    if (block == 0)
        DebugPrint("ERROR PMalloc(size %d) returned NULL\n", size);
    return block;
}

VOID MFree(PVOID block)
{
    if (block != 0)
        ExFreePool(block);
}

VOID StallHalfSecond(void)
{
    KeStallExecutionProcessor(500000);
}
