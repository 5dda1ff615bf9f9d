/*
 * events.cpp - kernel events, waits, and the deferred work of simulated
 * lower drivers.
 *
 * There is one thread. A lower driver that returns STATUS_PENDING queues the
 * work that finishes the request (QueueDeferred); it runs at DISPATCH_LEVEL,
 * as a DPC would, when the test drains the queue or when a thread waits on an
 * event that is not signalled: the wait runs queued work one item at a time
 * until the event is signalled. A wait that nothing queued can satisfy would
 * hang the machine for ever; it is reported and returns instead.
 *
 * KNOWN DIFFERENCE from Windows: a wait with a time-out that nothing queued
 * can satisfy returns STATUS_TIMEOUT at once, without virtual time passing.
 * The driver waits only without a time-out.
 */
#include <deque>

#include "internal.h"
#include "iomgr.h"

namespace standin {

namespace {

constexpr NTSTATUS kStatusTimeout = 0x00000102;
constexpr UCHAR kEventSize = sizeof(KEVENT) / sizeof(LONG);

struct DeferredWork {
    std::function<void()> work;
    std::string label;
};

std::deque<DeferredWork> deferredQueue;

std::string LabelOf(const DeferredWork &item)
{
    return item.label.empty() ? std::string("(unnamed work)") : item.label;
}

/* One queued item at DISPATCH_LEVEL; the IRQL of the caller comes back after. */
std::string RunOne()
{
    DeferredWork item = std::move(deferredQueue.front());
    deferredQueue.pop_front();
    KIRQL old = CurrentIrql();
    SetIrql(DISPATCH_LEVEL);
    item.work();
    SetIrql(old);
    return LabelOf(item);
}

const char *EventTypeName(const DISPATCHER_HEADER &header)
{
    return header.Type == SynchronizationEvent ? "synchronization event" : "notification event";
}

} // namespace

void QueueDeferred(std::function<void()> work, const std::string &label)
{
    deferredQueue.push_back(DeferredWork{std::move(work), label});
}

size_t RunDeferred()
{
    size_t ran = 0;
    while (!deferredQueue.empty()) {
        RunOne();
        ran++;
    }
    return ran;
}

size_t DeferredCount()
{
    return deferredQueue.size();
}

namespace iodetail {

void ResetDeferredQueue()
{
    deferredQueue.clear();
}

} // namespace iodetail

} // namespace standin

using namespace standin;

extern "C" VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    Event->Header.Type = (UCHAR)Type;
    Event->Header.Absolute = 0;
    Event->Header.Size = kEventSize;
    Event->Header.Inserted = 0;
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.WaitListHead.Flink = Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

extern "C" LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    return previous;
}

extern "C" LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    return Event->Header.SignalState;
}

extern "C" VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    Event->Header.SignalState = 0;
}

extern "C" NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                                BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    DISPATCHER_HEADER &header = static_cast<PKEVENT>(Object)->Header;
    std::string name = iodetail::Hex((ULONG_PTR)Object);
    if (header.Size != kEventSize || (header.Type != NotificationEvent && header.Type != SynchronizationEvent)) {
        ReportFinding("WAIT_ON_UNINITIALIZED_EVENT",
                      "KeWaitForSingleObject on " + name + ", which KeInitializeEvent never set up");
        return STATUS_UNSUCCESSFUL;
    }
    bool blocking = Timeout == nullptr || Timeout->QuadPart != 0;
    if (blocking && CurrentIrql() >= DISPATCH_LEVEL)
        ReportFinding("WAIT_AT_DISPATCH_LEVEL", "KeWaitForSingleObject on " + std::string(EventTypeName(header)) +
                                                    " " + name + " at IRQL " + std::to_string(CurrentIrql()) +
                                                    " with " + (Timeout ? "a time-out" : "no time-out"));
    std::vector<std::string> ran;
    for (;;) {
        if (header.SignalState > 0) {
            if (header.Type == SynchronizationEvent)
                header.SignalState = 0;
            return STATUS_SUCCESS;
        }
        if (deferredQueue.empty() || !blocking)
            break;
        ran.push_back(RunOne());
    }
    if (Timeout != nullptr)
        return kStatusTimeout;
    std::string detail = "KeWaitForSingleObject on " + std::string(EventTypeName(header)) + " " + name +
                         " (not signalled, no time-out) would wait for ever: no deferred work is left to signal it";
    if (ran.empty()) {
        detail += "; nothing was queued";
    } else {
        detail += "; ran during the wait:";
        for (const std::string &label : ran)
            detail += " [" + label + "]";
    }
    ReportFinding("DEADLOCK_WAIT", detail);
    return STATUS_UNSUCCESSFUL;
}
