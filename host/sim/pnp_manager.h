/*
 * pnp_manager.h - the simulated PnP manager, modelled on Windows XP's.
 *
 * It loads the driver under test as the upper filter of the adapter's
 * controller, builds device stacks, sends each new device node the PnP
 * requests Windows XP sends, in Windows' order, arbitrates resources and
 * starts devices, walks down through the bus relations of every bridge, and
 * runs the scenarios the tests and tolmu-sim need (sleep, rebalance,
 * surprise removal, unload).
 *
 * Stacks:
 *   host bridge bus driver PDO <- pci.sys as its function driver, for each
 *               bridge of the host above a controller (a hub-to-PCI bridge, a
 *               PCI Express root or switch port): started with the windows
 *               the firmware gave it; of its children only the bridges on
 *               the way to a controller, and the controller, get stacks
 *               (the host's other devices are outside the simulation; what
 *               they decode is reserved so that nothing is placed on it);
 *   controller  bus driver PDO <- controller function driver <- filter
 *               (the filter's AddDevice runs after the function driver has
 *               attached: an upper filter, as its INF makes it);
 *   children    bus driver PDO <- [the filter, if it attached itself while
 *               the parent's bus relations went through it] <- the child's
 *               function driver (attached on top of whatever is there).
 *
 * Each new device node, requests sent to the top of its stack:
 *   IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_ID (device ID, hardware IDs,
 *   compatible IDs, instance ID), IRP_MN_QUERY_DEVICE_TEXT (description,
 *   location), IRP_MN_QUERY_BUS_INFORMATION, IRP_MN_QUERY_RESOURCES,
 *   IRP_MN_QUERY_RESOURCE_REQUIREMENTS, IRP_MN_FILTER_RESOURCE_REQUIREMENTS
 *   (Information preset to the list of the step before; a success status
 *   makes the list in Information the one used), arbitration,
 *   IRP_MN_START_DEVICE with raw and translated lists (identical here),
 *   IRP_MN_QUERY_PNP_DEVICE_STATE, and for a bridge
 *   IRP_MN_QUERY_DEVICE_RELATIONS (BusRelations), whose new children are
 *   then stacked and processed the same way, depth first.
 *
 * Every PnP request is allocated with IoAllocateIrp, its status preset to
 * STATUS_NOT_SUPPORTED, sent at PASSIVE_LEVEL with a completion routine
 * that hands it back (STATUS_MORE_PROCESSING_REQUIRED), waited for when it
 * pends, and freed. Results allocated by drivers (IDs, texts, relations,
 * lists) are freed by the manager, as on Windows.
 *
 * A device whose requirements do not fit into its parent's windows is not
 * started and gets problem 12 (CM_PROB_NORMAL_CONFLICT, "This device cannot
 * find enough free resources that it can use. (Code 12)"); one whose start
 * fails gets problem 10 (CM_PROB_FAILED_START).
 */
#ifndef TOLMU_SIM_PNP_MANAGER_H
#define TOLMU_SIM_PNP_MANAGER_H

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "function_drivers.h"
#include "hardware_judge.h"
#include "pci_bus_driver.h"
#include "resources.h"

namespace sim {

/* Device manager problem codes the model uses. */
constexpr ULONG kProblemNone = 0;
constexpr ULONG kProblemFailedStart = 10;    /* CM_PROB_FAILED_START */
constexpr ULONG kProblemNormalConflict = 12; /* CM_PROB_NORMAL_CONFLICT */
constexpr ULONG kProblemFailedAdd = 31;      /* CM_PROB_FAILED_ADD */

enum class NodeState {
    Initialized,        /* stack built, not yet started */
    Started,
    NotEnoughResources, /* problem 12 */
    StartFailed,        /* problem 10 */
    Stopped,            /* by a rebalance, until it starts again */
    SurpriseRemoved,
    Removed,
};
const char *NodeStateName(NodeState state);

struct DeviceNode {
    PciFunction *function = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr; /* the function driver's device */
    DeviceNode *parent = nullptr;
    std::vector<DeviceNode *> children;
    bool controller = false;
    bool host = false;       /* a bridge of the host above a controller */
    bool enumerated = false; /* bus relations asked for since the last start */

    NodeState state = NodeState::Initialized;
    ULONG problem = kProblemNone;
    NTSTATUS startStatus = STATUS_SUCCESS;

    /* What the stack answered. */
    DEVICE_CAPABILITIES capabilities{};
    std::string deviceId, instanceId, description, location;
    std::vector<std::string> hardwareIds, compatibleIds;
    PNP_BUS_INFORMATION busInformation{};
    ULONG pnpDeviceState = 0;
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> bootConfig;
    std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>> requirements; /* as the bus driver reported them */
    std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>> filtered;     /* after the filter request */

    /* Arbitration. */
    std::optional<Assignment> assignment;
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> assigned; /* the raw list given at start */
    BusSpaces spaces;                                     /* a bridge's windows, for its children */

    /* "bb:dd.f" by the bus number the PDO was found on. */
    std::string Location() const;
};

struct PnpOptions {
    /* The upper filter of the controller; null boots without one. */
    PDRIVER_INITIALIZE filterEntry = nullptr;
    std::string filterName = "\\Driver\\tolmu";
    std::string registryPath = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tolmu";
    /* Give the filter's module-wide variables their load-time values before
     * DriverEntry, as a fresh load of its image does. */
    bool resetModuleState = true;
    /* Windows of the root bus. */
    uint64_t ioBase = 0x1000, ioLimit = 0xFFFF;
    uint64_t memBase = 0x80000000, memLimit = 0xFEBFFFFF;
    /* At the end of every scenario step (Boot, SystemSleep, Rebalance,
     * SurpriseRemove, Reinsert, UnloadAll) the hardware judge looks at the machine's
     * registers and each violation becomes a verifier finding. */
    bool judgeHardware = true;
};

/* One request the manager sent. */
struct RequestRecord {
    std::string location; /* of the device node */
    UCHAR major;
    UCHAR minor;
    ULONG detail; /* id type, text type, relation type, power state (type << 8 | state) */
    NTSTATUS status;
};

class PnpManager {
  public:
    PnpManager(PciBusDriver &bus, PnpOptions options = PnpOptions());
    ~PnpManager();
    PnpManager(const PnpManager &) = delete;
    PnpManager &operator=(const PnpManager &) = delete;

    /* ------------------------------------------------------------ set-up */
    /* A controller of the adapter, on a root bus or behind bridges of the
     * host: its stack gets the filter. */
    void AddController(PciFunction *controller);
    bool IsController(const PciFunction *f) const;
    /* A bridge of the host between a root bus and a controller. */
    bool AboveController(const PciFunction *f) const;
    /* DriverEntry of the filter (done by Boot when not done yet). */
    NTSTATUS LoadFilter();
    PDRIVER_OBJECT FilterDriver() const { return filter_; }
    FunctionDriver &ControllerDriver() { return controllerDriver_; }
    FunctionDriver &ChildDriver() { return childDriver_; }
    FunctionDriver &HostBridgeDriver() { return hostDriver_; }

    /* --------------------------------------------------------- scenarios */
    /* Loads the filter, builds and starts every device behind the
     * controllers. */
    void Boot();
    /* Query-power, then device D3 and system sleep set-power through every
     * started stack, leaf first; then system S0 and device D0, root first. */
    void SystemSleep(SYSTEM_POWER_STATE state = PowerSystemSleeping3);
    /* Query-stop and stop every started device (leaf first), new
     * requirements through the filter, arbitration from scratch, start
     * (root first); devices that could not start before are tried again. */
    void Rebalance();
    /* The hardware behind a bridge node is gone: the bus relations of the
     * bridge no longer list it; every device below gets
     * IRP_MN_SURPRISE_REMOVAL, leaf first, then IRP_MN_REMOVE_DEVICE, leaf
     * first. */
    void SurpriseRemove(DeviceNode *bridge);
    /* The hardware behind a bridge node is plugged in again, in power-on
     * state (every register at its reset value): the bridge's bus relations
     * list it again and the new devices are built and started as at boot. */
    void Reinsert(DeviceNode *bridge);
    /* Every device removed (query-remove, then removal, leaf first), then
     * the filter's unload routine, when no device of it is left. */
    void UnloadAll();
    bool FilterUnloaded() const { return filterUnloaded_; }

    /* ------------------------------------------------------------- judge */
    /* The hardware judge on the machine as it is now: the functions still
     * physically there, the started ones as this manager's nodes say. */
    std::vector<Violation> JudgeNow() const;
    /* Turns the judge at the end of each step on or off (PnpOptions). */
    void SetJudgeHardware(bool on) { options_.judgeHardware = on; }

    /* ---------------------------------------------------------- requests */
    struct Result {
        NTSTATUS status;
        ULONG_PTR information;
    };
    /* A PnP request to the top of the stack that holds device: set up by
     * setup, Information preset to information. The caller owns what comes
     * back in Information. */
    Result SendPnp(PDEVICE_OBJECT device, UCHAR minor,
                   const std::function<void(PIO_STACK_LOCATION)> &setup = nullptr, ULONG_PTR information = 0,
                   const std::string &location = "");
    Result SendPower(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type, ULONG state,
                     POWER_ACTION action = PowerActionNone, const std::string &location = "");
    static PDEVICE_OBJECT TopOf(PDEVICE_OBJECT device);
    const std::vector<RequestRecord> &Requests() const { return requests_; }
    void ClearRequests() { requests_.clear(); }
    /* The stack an IRP_MN_REMOVE_DEVICE is travelling now (empty outside a
     * removal), bottom first. */
    const std::vector<PDEVICE_OBJECT> &StackBeingRemoved() const { return removing_; }

    /* ------------------------------------------------------------- tree */
    std::vector<DeviceNode *> Nodes() const; /* depth first, parents first */
    DeviceNode *Find(const PciFunction *function) const;
    DeviceNode *FindByPdo(PDEVICE_OBJECT pdo) const;
    /* The physical tree behind the controllers, one line per function:
     *   "  02:00.0 1011:0026 DEC 21154 PCI-to-PCI bridge [01/02/03] started io ... mem ... pref ..."
     * and "not found" for functions no bus relations reported. */
    std::string Describe() const;

  private:
    /* Held by each scenario step; the outermost one runs the judge when it
     * ends, so a step reports each violation once. */
    class Step {
      public:
        explicit Step(PnpManager &pnp) : pnp_(pnp) { pnp_.stepDepth_++; }
        ~Step();
        Step(const Step &) = delete;
        Step &operator=(const Step &) = delete;

      private:
        PnpManager &pnp_;
    };
    void ReportViolations();

    DeviceNode *NewNode(PciFunction *function, PDEVICE_OBJECT pdo, DeviceNode *parent);
    /* A new device node with its drivers attached, as XP stacks them. */
    DeviceNode *BuildStack(PciFunction *function, PDEVICE_OBJECT pdo, DeviceNode *parent);
    /* What the host's devices outside the simulation decode, taken out of
     * the spaces of the bus they sit on (the root buses, or a host bridge's
     * secondary bus). */
    void ReserveFirmwareRanges(const std::vector<PciFunction *> &functions, BusSpaces &spaces);
    void ReserveRoots();
    void QueryNode(DeviceNode *node);
    bool StartNode(DeviceNode *node, std::optional<Assignment> assignment);
    void StartSet(const std::vector<DeviceNode *> &set, BusSpaces &spaces, bool fresh);
    void QueryRequirements(DeviceNode *node);
    void EnumerateChildren(DeviceNode *node);
    void RemoveNode(DeviceNode *node, bool surprise);
    void SpacesFromAssignment(DeviceNode *node);
    void PostOrder(DeviceNode *node, std::vector<DeviceNode *> &out) const;
    /* Every device node, children before their parents; and the started
     * ones of a list, in its order. */
    std::vector<DeviceNode *> LeafFirst() const;
    static std::vector<DeviceNode *> Started(const std::vector<DeviceNode *> &nodes);
    void PreOrder(DeviceNode *node, std::vector<DeviceNode *> &out) const;
    std::string QueryString(DeviceNode *node, UCHAR minor, ULONG type, bool multi, std::vector<std::string> *list);

    PciBusDriver &bus_;
    PciMachine &machine_;
    PnpOptions options_;
    FunctionDriver controllerDriver_;
    FunctionDriver childDriver_;
    FunctionDriver hostDriver_;
    PDRIVER_OBJECT filter_ = nullptr;
    bool filterUnloaded_ = false;
    BusSpaces root_;
    std::vector<PciFunction *> controllers_;
    std::vector<std::unique_ptr<DeviceNode>> nodes_;
    std::vector<DeviceNode *> roots_;
    std::vector<RequestRecord> requests_;
    std::vector<PDEVICE_OBJECT> removing_;
    int stepDepth_ = 0;
};

} // namespace sim

#endif /* TOLMU_SIM_PNP_MANAGER_H */
