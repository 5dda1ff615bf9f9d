/*
 * pci_bus_driver.h - the simulated machine's PCI bus driver.
 *
 * It plays the part of Windows XP's pci.sys below Tolmu's filter devices:
 * one physical device object (PDO) per PCI function, answering through the
 * stand-in's I/O manager
 *   - IRP_MN_READ_CONFIG / IRP_MN_WRITE_CONFIG on the configuration space,
 *     as a configuration cycle for the bus number the PDO was enumerated on,
 *     routed by the bus numbers the bridges hold now (so a bus the driver
 *     has renumbered away reads all ones, as on real hardware);
 *   - IoGetDeviceProperty for DevicePropertyBusNumber and
 *     DevicePropertyAddress ((device << 16) | function).
 * Every other PnP request is completed with the status it carries, as a bus
 * driver does with requests it does not handle.
 *
 * Tests can make a PDO fail configuration requests, complete them later
 * (STATUS_PENDING, then completion from the deferred queue at
 * DISPATCH_LEVEL), or complete them with another status.
 */
#ifndef TOLMU_SIM_PCI_BUS_DRIVER_H
#define TOLMU_SIM_PCI_BUS_DRIVER_H

#include <cstdint>
#include <map>
#include <vector>

#include "pci_machine.h"
#include "tolmu_platform.h"

namespace sim {

/* How a PDO answers configuration requests. */
enum class ConfigMode {
    Synchronous, /* completes at once with STATUS_SUCCESS */
    Pending,     /* returns STATUS_PENDING, completes from the deferred queue */
    Fail,        /* completes at once with the failure status */
    PendingFail, /* returns STATUS_PENDING, completes later with the failure status */
};

struct PdoRecord {
    PciFunction *function = nullptr;
    uint8_t bus = 0; /* the bus number the function was found on */
    uint8_t device = 0;
    uint8_t fn = 0;
    ConfigMode mode = ConfigMode::Synchronous;
    NTSTATUS failStatus = STATUS_UNSUCCESSFUL;
    bool failProperties = false;
    uint64_t configReads = 0;
    uint64_t configWrites = 0;
};

class PciBusDriver {
  public:
    explicit PciBusDriver(PciMachine &machine);
    ~PciBusDriver();
    PciBusDriver(const PciBusDriver &) = delete;
    PciBusDriver &operator=(const PciBusDriver &) = delete;

    PDRIVER_OBJECT Driver() const { return driver_; }
    PciMachine &Machine() const { return machine_; }

    /* The PDO of the function reached now at (bus, device, function),
     * created on first use; null if nothing answers there. */
    PDEVICE_OBJECT PdoFor(uint8_t bus, uint8_t device, uint8_t function);
    /* The PDO of a function, created with the bus number it is reached by
     * now; null if nothing routes to it. */
    PDEVICE_OBJECT PdoFor(PciFunction *function);
    /* The record behind one of this driver's PDOs, or null. */
    PdoRecord *Record(PDEVICE_OBJECT pdo) const;
    const std::vector<PDEVICE_OBJECT> &Pdos() const { return pdos_; }

    /* Failure injection per PDO. */
    void SetConfigMode(PDEVICE_OBJECT pdo, ConfigMode mode, NTSTATUS failStatus = STATUS_UNSUCCESSFUL);
    void SetPropertiesFail(PDEVICE_OBJECT pdo, bool fail);

    /* Deletes every PDO (with nothing attached above them). */
    void DeleteAllPdos();

  private:
    static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS HandleConfig(PDEVICE_OBJECT device, PIRP irp);

    PciMachine &machine_;
    PDRIVER_OBJECT driver_;
    std::vector<PDEVICE_OBJECT> pdos_;
    std::map<PDEVICE_OBJECT, PdoRecord> records_;
};

} // namespace sim

#endif /* TOLMU_SIM_PCI_BUS_DRIVER_H */
