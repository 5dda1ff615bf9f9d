/*
 * session.h - one run of the simulated PC: the machine built from its
 * description, the registry values set, the adapter's controller booted with
 * or without Tolmu as its upper filter, the scenarios run, everything taken
 * down, and what happened recorded (device states and hardware state after
 * each scenario, the trace, the verifier's findings, the pool left over, the
 * virtual time).
 */
#ifndef TOLMU_SIM_CLI_SESSION_H
#define TOLMU_SIM_CLI_SESSION_H

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "machine_desc.h"
#include "standin.h"

namespace tolmusim {

/* The scenarios, in the order `all` runs them. */
const std::vector<std::string> &ScenarioNames();
/* The steps a scenario name stands for: boot first, then the scenario
 * itself ("all": every one in order). Empty for an unknown name. */
std::vector<std::string> ScenarioSteps(const std::string &name);

struct RunOptions {
    bool filter = true;  /* Tolmu loaded as the controller's upper filter */
    bool checked = false; /* checked build of the OS */
    std::vector<std::string> steps{"boot"};
    std::map<std::string, uint32_t> params; /* registry values, on top of the description's */
};

/* An address window a bridge forwards, as its registers hold it now. */
struct WindowState {
    std::string kind; /* "io", "mem", "pref" */
    bool enabled = false;
    uint64_t base = 0;
    uint64_t limit = 0;
};

struct BarState {
    int index = 0;
    std::string type; /* "io", "mem32", "mem64" */
    bool prefetchable = false;
    uint64_t size = 0;
    uint64_t address = 0;
};

/* One function after a step. */
struct FunctionState {
    std::string label;  /* the description's location */
    std::string behind; /* label of the bridge in front of it; "" = root bus */
    int depth = 0;      /* 0 = on a root bus */
    int rootBus = 0;    /* the root bus it is found under (a peer host bridge's when not 0) */
    int bus = -1;       /* bus number it is reached by now; -1 = none */
    int device = 0;
    int function = 0;
    uint16_t vendorId = 0, deviceId = 0, subVendorId = 0, subDeviceId = 0;
    uint32_t classCode = 0;
    uint8_t header = 0;
    bool bridge = false;
    bool controller = false;   /* the adapter's controller */
    bool managed = false;      /* at or behind the controller */
    bool hostBridge = false;   /* a bridge of the host above the controller */
    std::string name;          /* from the description or pci.ids; "" = none */
    std::array<uint8_t, 3> busNumbers{}; /* bridges: primary, secondary, subordinate */
    std::vector<WindowState> windows;    /* bridges */
    std::vector<BarState> bars;
    std::string stateKey;  /* "started", "conflict", "not_found", "no_resources", "start_failed", "add_failed",
                              "stopped", "surprise_removed", "removed", "not_started", "host" */
    std::string state;     /* in words, e.g. "not enough free resources (Code 12)",
                              "started, but I/O 0x1200-0x12ff also decoded by 01:00.0" */
    unsigned problem = 0;  /* device manager problem code */
    std::vector<std::string> notes;
    /* What the hardware judge holds against this function now, from its
     * side ("BAR0 unreachable (...)"); a started function with any of these
     * counts as "conflict", not as started. */
    std::vector<std::string> conflicts;
    std::array<uint8_t, 256> config{}; /* the configuration space as it is now */

    std::string Location() const; /* "bb:dd.f" by the current bus number, "--:dd.f" when none */
};

struct StepResult {
    std::string scenario;
    std::string outcome; /* one line: what the step did */
    std::vector<FunctionState> functions; /* the physical tree, depth first */
    std::vector<standin::Finding> findings; /* reported during this step */
    size_t poolBlocks = 0; /* pool blocks outstanding (every owner) after the step */
    /* Advice on the registry values, e.g. "01:00.0 has no I/O window:
     * --param Io=0x3000 (registry value Io) gives the chassis's I/O room". */
    std::vector<std::string> advice;
};

struct RunResult {
    bool filter = true;
    bool checked = false;
    bool filterLoaded = false;
    bool filterUnloaded = false;
    std::vector<StepResult> steps;
    std::string trace;                  /* Tolmu's trace buffer text (with the unload lines) */
    uint32_t traceBytes = 0;            /* bytes of the buffer in use at the end */
    std::vector<std::string> debugger;  /* what reached the debugger */
    std::vector<standin::Finding> findings;
    /* Findings of the rules the driver breaks by design (docs/verifier-rules.md). */
    std::vector<standin::Finding> accepted;
    std::string poolReport;             /* outstanding blocks after everything was taken down */
    size_t poolBlocks = 0;
    uint64_t virtualMicroseconds = 0;
    double realSeconds = 0;

    /* No verifier finding and nothing leaked. */
    bool Clean() const { return findings.empty() && poolBlocks == 0; }
    /* The same, leaving out the hardware judge's findings: what the run
     * without Tolmu is held to (the state Windows alone leaves is the OS's
     * own). */
    bool CleanApartFromHardware() const;
    /* The findings of the hardware judge / all others. */
    std::vector<standin::Finding> HardwareFindings() const;
    std::vector<standin::Finding> OtherFindings() const;
    const StepResult *Step(const std::string &scenario) const;
};

/* Runs the machine (BuildMachine must have accepted desc). */
RunResult RunMachine(const MachineDesc &desc, const RunOptions &options);

/* A function of a step by its description's location, or null. */
const FunctionState *FindFunction(const StepResult &step, const std::string &label);

} // namespace tolmusim

#endif /* TOLMU_SIM_CLI_SESSION_H */
