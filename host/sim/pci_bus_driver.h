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
 *     DevicePropertyAddress ((device << 16) | function);
 *   - bus relations of a bridge: the functions found now on its secondary
 *     bus, each reported by the same PDO every time; an unconfigured bridge
 *     found on the way is given bus numbers only inside the free range of
 *     its parent (see sim/README.md);
 *   - capabilities, IDs, device text, bus information, PnP device state,
 *     boot configuration (IRP_MN_QUERY_RESOURCES) and resource requirements
 *     in the conventions the driver relies on (pci/bus_conventions.h);
 *   - start (BARs, bridge windows, command register, interrupt line
 *     programmed from the raw resource list), stop, removal, surprise
 *     removal;
 *   - power: a function that goes to D3 loses its volatile registers when it
 *     comes back to D0; the bus driver then restores only what pci.sys
 *     restores (the command register).
 * Requests it does not handle are completed with the status they carry.
 *
 * The socket/ExCA register window of a CardBus controller (4 KiB at its
 * BAR 0: socket registers at 0x000, ExCA registers at 0x800) is modelled
 * here and registered with the stand-in while the BAR is programmed.
 *
 * pci_bus_driver.cpp holds the requests; pci_bus_hardware.cpp the view of
 * the hardware (BARs, lists, numbering, socket registers).
 *
 * Tests can make a PDO fail configuration requests, complete them later
 * (STATUS_PENDING, then completion from the deferred queue at
 * DISPATCH_LEVEL), fail any PnP minor code, or pend any PnP minor code.
 */
#ifndef TOLMU_SIM_PCI_BUS_DRIVER_H
#define TOLMU_SIM_PCI_BUS_DRIVER_H

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "pci/bus_window_keys.h"
#include "pci/pci_regs.h"
#include "pci_machine.h"
#include "resources.h"
#include "ntddk_host.h"

namespace sim {

/* How a PDO answers configuration requests. */
enum class ConfigMode {
    Synchronous, /* completes at once with STATUS_SUCCESS */
    Pending,     /* returns STATUS_PENDING, completes from the deferred queue */
    Fail,        /* completes at once with the failure status */
    PendingFail, /* returns STATUS_PENDING, completes later with the failure status */
};

/* Device-private keys the bus driver puts behind each window or BAR:
 * pci/bus_window_keys.h. */

/* Window sizes the bus driver asks for on a bridge's behalf (README). */
constexpr uint32_t kBridgeIoGranularity = 0x1000;
constexpr uint32_t kBridgeMemGranularity = 0x100000;
constexpr uint32_t kCardBusIoWindow = 0x1000;
constexpr uint32_t kCardBusMemWindow = 0x400000;
constexpr uint32_t kCardBusPrefetchWindow = 0x400000;

/* Configuration registers: pci/pci_regs.h. */
namespace busreg {
inline bool IsP2p(const PciFunction *f) { return f->HeaderLayout() == kHeaderPciBridge; }
inline bool IsCardBus(const PciFunction *f) { return f->HeaderLayout() == kHeaderCardBusBridge; }
} // namespace busreg

/* The socket/ExCA register window of a CardBus controller. */
constexpr uint32_t kSocketWindowSize = 0x1000;

struct PdoRecord {
    PciFunction *function = nullptr;
    uint8_t bus = 0; /* the bus number the function was found on */
    uint8_t device = 0;
    uint8_t fn = 0;
    PciFunction *parentBridge = nullptr; /* the bridge it was found behind; null on bus 0 */
    ConfigMode mode = ConfigMode::Synchronous;
    NTSTATUS failStatus = STATUS_UNSUCCESSFUL;
    bool failProperties = false;
    uint64_t configReads = 0;
    uint64_t configWrites = 0;

    /* PnP state as the bus driver keeps it. */
    bool started = false;
    bool removed = false;     /* IRP_MN_REMOVE_DEVICE seen since the last start */
    bool present = true;      /* false once the function is physically gone */
    uint16_t startCommand = 0; /* the command register as the last start left it */
    DEVICE_POWER_STATE power = PowerDeviceD0;
    uint64_t socketBase = 0; /* CardBus: where the register window is registered; 0 = nowhere */

    /* Failure injection by PnP minor code. */
    std::map<UCHAR, NTSTATUS> failMinor;
    std::set<UCHAR> pendMinor;
    /* Minor codes received, in order. */
    std::vector<UCHAR> received;
};

/* A BAR as the hardware decodes it (sized without disturbing it). */
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
    /* The existing PDO of a function, or null. */
    PDEVICE_OBJECT ExistingPdo(const PciFunction *function) const;
    /* The record behind one of this driver's PDOs, or null. */
    PdoRecord *Record(PDEVICE_OBJECT pdo) const;
    const std::vector<PDEVICE_OBJECT> &Pdos() const { return pdos_; }

    /* Failure injection per PDO. */
    void SetConfigMode(PDEVICE_OBJECT pdo, ConfigMode mode, NTSTATUS failStatus = STATUS_UNSUCCESSFUL);
    void SetPropertiesFail(PDEVICE_OBJECT pdo, bool fail);
    /* Complete every request of this minor code with the status; a power
     * minor code is named with 0x80 added (0x82: IRP_MN_SET_POWER). */
    void FailMinor(PDEVICE_OBJECT pdo, UCHAR minor, NTSTATUS status);
    /* Return STATUS_PENDING for this minor code and finish it from the
     * deferred queue (power minor codes as for FailMinor). */
    void PendMinor(PDEVICE_OBJECT pdo, UCHAR minor, bool pend = true);
    void ClearInjection(PDEVICE_OBJECT pdo);

    /* Machine-wide injection, over the requests of every PDO together (a
     * PDO's own knobs above go first). Configuration requests: the k-th from
     * now fails (1 = the next one; 0 cancels), or every one fails, with the
     * status given; or every one returns STATUS_PENDING and is completed
     * from the deferred queue. */
    void FailNthConfigRequest(uint64_t k, NTSTATUS status = STATUS_UNSUCCESSFUL);
    void FailAllConfigRequests(bool fail, NTSTATUS status = STATUS_UNSUCCESSFUL);
    void PendAllConfigRequests(bool pend);
    /* Every PnP request but IRP_MN_REMOVE_DEVICE, and every power request,
     * returns STATUS_PENDING and is completed from the deferred queue. */
    void PendAllRequests(bool pend);
    /* Configuration requests received, and requests of any kind answered
     * with STATUS_PENDING, over every PDO. */
    uint64_t ConfigRequests() const { return configRequests_; }
    uint64_t PendedRequests() const { return pended_; }
    /* The configuration requests the machine-wide injection failed. */
    struct FailedConfigRequest {
        bool write;
        ULONG offset;
        ULONG length;
    };
    const std::vector<FailedConfigRequest> &InjectedConfigFailures() const { return injectedConfig_; }

    /* The function is physically gone (or back): configuration cycles to it
     * end in master abort, it is left out of bus relations, configuration
     * requests of its PDO fail with STATUS_DEVICE_REMOVED and its removal
     * deletes the PDO. */
    void SetPresent(PciFunction *function, bool present);
    bool IsPresent(const PciFunction *function) const { return gone_.count(function) == 0; }

    /* Deletes every PDO (with nothing attached above them). */
    void DeleteAllPdos();

    /* ---------------------------------------- what the bus driver computes */
    /* BARs of a function (device header: 0..5, PCI-to-PCI bridge: 0..1,
     * CardBus bridge: the socket register BAR). */
    std::vector<BarInfo> Bars(PciFunction *function) const;
    /* The requirements the bus driver reports for a function, as the first
     * (only) alternative list. */
    std::vector<IO_RESOURCE_DESCRIPTOR> Requirements(PciFunction *function) const;
    /* What is programmed now, as partial descriptors (boot configuration). */
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> BootConfig(PciFunction *function) const;
    /* Functions reached now on a bridge's secondary bus (empty when the
     * bridge is unnumbered). */
    std::vector<PciFunction *> ChildrenNow(PciFunction *bridge) const;
    /* XP's numbering of unconfigured bridges on a bridge's secondary bus:
     * kept what is configured, numbered the rest inside the free range. */
    void NumberChildBridges(PciFunction *bridge);
    /* XP's numbering for a bridge on a root bus left unnumbered by the
     * firmware: the lowest bus number above everything in use on that root
     * bus, inside the root's own numbers. */
    void NumberRootBridge(PciFunction *bridge);
    /* A bridge of the host that the firmware configured: its requirements
     * are exactly what it decodes now (BARs and windows at their addresses),
     * as XP's pci.sys keeps the firmware's windows of a configured bridge
     * (XP does not move a bridge's windows; rebalancing across bridge levels
     * came with Windows Vista). */
    /* The resources are taken as they decode at the first call and kept:
     * pci.sys remembers a bridge's settings, so a stop (decoding off) and a
     * restart give it the same windows again. */
    void KeepFirmwareResources(PciFunction *bridge);
    bool KeepsFirmwareResources(const PciFunction *f) const { return firmwareKept_.count(f) != 0; }
    /* A PCI-to-PCI bridge that forwards by subtractive decode: everything
     * nobody on its primary bus claims, besides its windows. pci.sys takes a
     * bridge for one when its programming interface is 01 or its I/O limit
     * register does not hold address bits (no I/O window). */
    static bool Subtractive(const PciFunction *f);

    /* Bytes of a CardBus controller's socket/ExCA register window. */
    uint32_t SocketRead(const PciFunction *controller, uint32_t offset, int width) const;
    void SocketWrite(PciFunction *controller, uint32_t offset, int width, uint32_t value);

    /* Hardware-side bookkeeping for the socket windows, kept per function. */
    std::array<uint8_t, kSocketWindowSize> &SocketRegisters(const PciFunction *controller);

  private:
    static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS HandleConfig(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS HandlePnp(PDEVICE_OBJECT device, PIRP irp, ULONG_PTR *information);
    NTSTATUS QueryRelations(PdoRecord &r, PIRP irp, ULONG_PTR *information);
    NTSTATUS QueryCapabilities(PdoRecord &r, PIRP irp);
    NTSTATUS QueryId(PdoRecord &r, PIRP irp, ULONG_PTR *information);
    NTSTATUS QueryText(PdoRecord &r, PIRP irp, ULONG_PTR *information);
    NTSTATUS Start(PdoRecord &r, PIRP irp);
    void Stop(PdoRecord &r);
    void Remove(PDEVICE_OBJECT pdo);
    void DeletePdo(PDEVICE_OBJECT pdo);
    void SetPower(PdoRecord &r, DEVICE_POWER_STATE state);
    void MapSocketWindow(PdoRecord &r, uint64_t base);
    void UnmapSocketWindow(PdoRecord &r);
    bool BehindCardBus(const PdoRecord &r) const;

    PciMachine &machine_;
    PDRIVER_OBJECT driver_;
    std::vector<PDEVICE_OBJECT> pdos_;
    std::map<PDEVICE_OBJECT, PdoRecord> records_;
    std::map<const PciFunction *, std::array<uint8_t, kSocketWindowSize>> sockets_;
    std::set<const PciFunction *> gone_;
    std::map<const PciFunction *, std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>> firmwareKept_;

    /* Machine-wide injection. */
    uint64_t configRequests_ = 0;
    uint64_t pended_ = 0;
    uint64_t configFailCountdown_ = 0;
    bool configFailAll_ = false;
    NTSTATUS configFailStatus_ = STATUS_UNSUCCESSFUL;
    bool configPendAll_ = false;
    bool pendAll_ = false;
    std::vector<FailedConfigRequest> injectedConfig_;
};

} // namespace sim

#endif /* TOLMU_SIM_PCI_BUS_DRIVER_H */
