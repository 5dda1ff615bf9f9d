/*
 * function_drivers.h - the function drivers of the simulated operating
 * system: the CardBus/PCI controller's driver (the part pcmcia.sys plays on
 * Windows XP) and a generic function driver for the bridges and cards
 * behind it.
 *
 * Neither owns any hardware here; both behave as WDM function drivers do
 * with requests they do not act on:
 *   - IRP_MN_START_DEVICE and IRP_MN_QUERY_CAPABILITIES go down with a
 *     completion routine and are waited for (a real function driver looks
 *     at the result before completing them);
 *   - IRP_MN_REMOVE_DEVICE goes down first; then the device detaches from
 *     the device below it and deletes itself;
 *   - every other PnP request, and every other major function, goes down
 *     with the stack location skipped;
 *   - power requests: PoStartNextPowerIrp, skip, PoCallDriver.
 * The CardBus driver (handlesFilter) also takes
 * IRP_MN_FILTER_RESOURCE_REQUIREMENTS on its way back up, as pcmcia.sys
 * does for its controllers: it completes it with STATUS_SUCCESS and the list
 * in Information (the list that came back from below, kept as it is).
 * A start can be made to fail in the function driver (after the lower
 * drivers started the device), for tests of a device the PnP manager must
 * report as failed.
 */
#ifndef TOLMU_SIM_FUNCTION_DRIVERS_H
#define TOLMU_SIM_FUNCTION_DRIVERS_H

#include <set>
#include <string>
#include <vector>

#include "ntddk_host.h"

namespace sim {

class FunctionDriver {
  public:
    /* name: the driver object's name, e.g. "\\Driver\\pcmcia". */
    FunctionDriver(const std::string &name, bool handlesFilter);
    ~FunctionDriver();
    FunctionDriver(const FunctionDriver &) = delete;
    FunctionDriver &operator=(const FunctionDriver &) = delete;

    PDRIVER_OBJECT Driver() const { return driver_; }
    /* AddDevice: a new device attached on top of whatever is on the PDO's
     * stack now. Null when the device cannot be created or attached. */
    PDEVICE_OBJECT AddDevice(PDEVICE_OBJECT pdo);
    /* The device object this driver attached on the stack of pdo, or null. */
    PDEVICE_OBJECT DeviceFor(PDEVICE_OBJECT pdo) const;
    /* The next-lower device of one of this driver's devices. */
    PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT device) const;
    /* Devices of this driver not yet deleted. */
    size_t LiveDevices() const;
    /* Make IRP_MN_START_DEVICE fail in this driver for the device on pdo. */
    void FailStart(PDEVICE_OBJECT pdo, NTSTATUS status);
    /* Minor codes received, over all devices, in order. */
    const std::vector<UCHAR> &Received() const { return received_; }

  private:
    static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI DispatchOther(PDEVICE_OBJECT device, PIRP irp);

    PDRIVER_OBJECT driver_;
    bool handlesFilter_;
    std::vector<UCHAR> received_;
};

} // namespace sim

#endif /* TOLMU_SIM_FUNCTION_DRIVERS_H */
