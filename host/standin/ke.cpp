/*
 * ke.cpp - the processor as the driver sees it: a virtual microsecond clock
 * that KeStallExecutionProcessor advances (nothing really waits, so a four
 * second probe wait costs no time), the current IRQL, and spin locks that
 * raise to DISPATCH_LEVEL and check their own use.
 *
 * KNOWN DIFFERENCE from Windows: one processor and one thread. A held lock
 * acquired again is reported (it would spin for ever on one processor), but a
 * race between two processors cannot happen, so a missing lock is not shown
 * by a test (docs/kernel-api.md).
 */
#include "internal.h"

namespace standin {

namespace {

uint64_t clockMicroseconds = 0;
uint64_t stallCalls = 0;
KIRQL currentIrql = PASSIVE_LEVEL;

/* A spin lock's value while it is held: bit 0 set, and the IRQL to return to
 * in bits 8-15 so the release can check the caller hands back the right one. */
constexpr ULONG_PTR kLockHeld = 1;

ULONG_PTR HeldValue(KIRQL oldIrql)
{
    return kLockHeld | ((ULONG_PTR)oldIrql << 8);
}

} // namespace

uint64_t VirtualMicroseconds()
{
    return clockMicroseconds;
}

uint64_t StallCalls()
{
    return stallCalls;
}

KIRQL CurrentIrql()
{
    return currentIrql;
}

void SetIrql(KIRQL irql)
{
    currentIrql = irql;
}

namespace detail {

void ResetProcessor()
{
    clockMicroseconds = 0;
    stallCalls = 0;
    currentIrql = PASSIVE_LEVEL;
}

} // namespace detail

} // namespace standin

void standin::detail::CheckPassiveLevel(const char *routine)
{
    if (currentIrql != PASSIVE_LEVEL)
        ReportFinding("PASSIVE_ROUTINE_AT_RAISED_IRQL",
                      Format("%s called at IRQL %d; callers must run at PASSIVE_LEVEL", routine, currentIrql));
}

using namespace standin;

extern "C" VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds)
{
    stallCalls++;
    clockMicroseconds += MicroSeconds;
}

extern "C" KIRQL NTAPI KeGetCurrentIrql(void)
{
    return currentIrql;
}

extern "C" VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    *SpinLock = 0;
}

extern "C" KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock)
{
    KIRQL old = currentIrql;
    if (old > DISPATCH_LEVEL)
        ReportFinding("SPIN_LOCK_IRQL",
                      detail::Format("spin lock %p acquired at IRQL %d, above DISPATCH_LEVEL", SpinLock, old));
    if (*SpinLock & kLockHeld)
        /* One processor: a second acquire would spin for ever. */
        ReportFinding("SPIN_LOCK_ACQUIRED_TWICE", detail::Format("spin lock %p acquired while already held", SpinLock));
    *SpinLock = HeldValue(old);
    if (currentIrql < DISPATCH_LEVEL)
        currentIrql = DISPATCH_LEVEL;
    return old;
}

extern "C" VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    if (!(*SpinLock & kLockHeld)) {
        ReportFinding("SPIN_LOCK_NOT_HELD", detail::Format("spin lock %p released but not held", SpinLock));
    } else {
        KIRQL saved = (KIRQL)((*SpinLock >> 8) & 0xFF);
        if (NewIrql != saved)
            ReportFinding("SPIN_LOCK_RELEASE_IRQL",
                          detail::Format("spin lock %p released to IRQL %d, acquired at IRQL %d", SpinLock,
                                         NewIrql, saved));
    }
    if (currentIrql != DISPATCH_LEVEL)
        ReportFinding("SPIN_LOCK_RELEASE_IRQL",
                      detail::Format("spin lock %p released at IRQL %d, not DISPATCH_LEVEL", SpinLock, currentIrql));
    *SpinLock = 0;
    currentIrql = NewIrql;
}
