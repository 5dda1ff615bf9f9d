/*
 * power.cpp - the power manager's two routines a driver calls for a power
 * request, and their rules as Windows XP has them.
 *
 * Every driver that passes a power request on must first let the power
 * manager start the next one (PoStartNextPowerIrp), once, and must pass it on
 * with PoCallDriver. The bottom driver completes the request instead; whether
 * it also starts the next one is not checked here. The bookkeeping is per
 * request and per device object the request visits: two drivers that share a
 * stack location (the upper one skipped its own) are still told apart.
 *
 * KNOWN DIFFERENCE from Windows: PoCallDriver calls the lower driver at once,
 * where Windows may deliver the request later on another thread; a simulated
 * lower driver that returns STATUS_PENDING and finishes later is how the
 * asynchronous case is exercised.
 */
#include <map>
#include <set>

#include "internal.h"
#include "iomgr.h"

namespace standin {

namespace {

std::map<PIRP, std::map<PDEVICE_OBJECT, int>> startNextCalls;
bool poCallDriverMark = false;

} // namespace

namespace iodetail {

void MarkPoCallDriver()
{
    poCallDriverMark = true;
}

bool TakePoCallDriverMark()
{
    bool mark = poCallDriverMark;
    poCallDriverMark = false;
    return mark;
}

void CheckPowerPassOn(PIRP irp, PDEVICE_OBJECT from, bool viaPoCallDriver)
{
    if (from == nullptr)
        return; /* the request's owner sending it from the top */
    if (!viaPoCallDriver)
        ReportFinding("POWER_IRP_PASSED_WITH_IOCALLDRIVER",
                      DescribeDevice(from) + " passed power " + DescribeIrp(irp) +
                          " on with IoCallDriver; power requests go on with PoCallDriver");
    auto it = startNextCalls.find(irp);
    if (it == startNextCalls.end() || it->second.count(from) == 0)
        ReportFinding("POWER_IRP_PASSED_WITHOUT_START_NEXT",
                      DescribeDevice(from) + " passed power " + DescribeIrp(irp) +
                          " on without calling PoStartNextPowerIrp first");
}

void ForgetPowerIrp(PIRP irp)
{
    startNextCalls.erase(irp);
}

} // namespace iodetail

namespace detail {

void ResetPowerManager()
{
    startNextCalls.clear();
    poCallDriverMark = false;
}

} // namespace detail

} // namespace standin

using namespace standin;

extern "C" VOID NTAPI PoStartNextPowerIrp(PIRP Irp)
{
    StandinIrpTouched(Irp, "PoStartNextPowerIrp");
    PDEVICE_OBJECT device = nullptr;
    if (!iodetail::ActiveDriver(Irp, &device, nullptr)) {
        /* Outside any dispatch or completion routine (deferred work): the
         * driver of the request's current location. */
        if (Irp->CurrentLocation >= 1 && Irp->CurrentLocation <= Irp->StackCount)
            device = Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
    }
    int &calls = startNextCalls[Irp][device];
    calls++;
    if (calls == 2)
        ReportFinding("START_NEXT_POWER_IRP_TWICE", iodetail::DescribeDevice(device) +
                                                        " called PoStartNextPowerIrp twice for power " +
                                                        iodetail::DescribeIrp(Irp));
}

extern "C" NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    iodetail::MarkPoCallDriver();
    return IofCallDriver(DeviceObject, Irp);
}
