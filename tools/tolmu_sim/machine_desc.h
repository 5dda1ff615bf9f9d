/*
 * machine_desc.h - a simulated PC's PCI hardware as data: what a machine file
 * (docs/machine-format.md) or an lspci dump describes, and the routine that
 * builds a sim::PciMachine from it.
 *
 * Both the machine file parser (machine_file.h) and the lspci importer
 * (lspci_import.h) produce a MachineDesc; everything after that (building,
 * booting, the summary) is shared.
 */
#ifndef TOLMU_SIM_CLI_MACHINE_DESC_H
#define TOLMU_SIM_CLI_MACHINE_DESC_H

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pci_machine.h"

namespace tolmusim {

/* One base address register. */
struct BarDesc {
    int index = 0;               /* 0..5: register 0x10 + 4 * index */
    std::string type = "mem32";  /* "io", "io16", "mem32", "mem64" */
    uint64_t size = 0;           /* bytes, a power of two */
    bool prefetchable = false;   /* memory BARs */
    std::optional<uint64_t> address; /* what the firmware left in it */
};

/* One PCI function. With a model, each field that is set overrides the
 * model's value; without one, vendor, device and classCode are needed. */
struct FunctionDesc {
    std::string location;        /* "bb:dd.f" (lspci's form), unique in the machine */
    std::string behind;          /* location of the bridge in front of it; "" = a root bus */
    /* With no `behind`: the number of the root bus the function sits on. 0 is
     * the main host bridge's bus; any other number is a peer root bus, the
     * bus of a host bridge of its own that no PCI-to-PCI bridge leads to
     * (servers' second host bridge, newer chipsets' bus 0xff). */
    uint8_t rootBus = 0;
    std::string model;           /* a ready-made model (sim/pci_devices.h); "" = none */
    std::string name;            /* for the summary; "" = from pci.ids */
    std::optional<uint16_t> vendor;
    std::optional<uint16_t> device;
    std::optional<uint8_t> revision;
    std::optional<uint32_t> classCode; /* base << 16 | sub << 8 | prog-if */
    int header = -1;             /* 0 device, 1 PCI-to-PCI, 2 CardBus; -1 = from the class (or the model) */
    std::optional<bool> multifunction;
    std::optional<uint16_t> subVendor;
    std::optional<uint16_t> subDevice;
    std::optional<uint8_t> interruptPin; /* 0 none, 1..4 INTA..INTD */
    /* Replace the model's BARs when non-empty (or when there is no model). */
    std::vector<BarDesc> bars;
    /* Bridges: primary, secondary, subordinate as the firmware left them. */
    std::optional<std::array<uint8_t, 3>> busNumbers;
    /* Configuration bytes from offset 0, preset after the model is built
     * (identity, header type and bus numbers stay those of the fields). */
    std::vector<uint8_t> config;
    /* Remarks shown with the function in the summary, e.g.
     * "BAR 2 size inferred: ...". */
    std::vector<std::string> notes;
    int line = 0;                /* where it was described in its source, for messages; 0 = unknown */
};

/* A PCI domain (segment group) of the source that is not simulated. */
struct OtherDomain {
    unsigned domain = 0;
    size_t functions = 0;
};

struct MachineDesc {
    std::string name;
    std::string description;
    std::string controller;      /* location of the adapter's controller; "" = the first CardBus controller, by bus number */
    unsigned domain = 0;         /* the PCI domain the functions belong to (lspci's dddd: prefix) */
    std::vector<OtherDomain> otherDomains; /* domains of the source left out of the simulation */
    /* What the source's reader had to mend or take on trust, one line each
     * with the source line ("line 113: device header found at the end of a
     * hex line"); shown at the head of the summary. */
    std::vector<std::string> importNotes;
    std::map<std::string, uint32_t> params; /* registry values under tolmu\Parameters */
    std::vector<FunctionDesc> functions;
    std::string source;          /* file name the description came from, for messages */
};

/* A machine built from a description. */
struct BuiltMachine {
    std::unique_ptr<sim::PciMachine> machine;
    std::map<std::string, sim::PciFunction *> byLocation; /* by FunctionDesc::location */
    std::map<const sim::PciFunction *, const FunctionDesc *> descOf;
    sim::PciFunction *controller = nullptr;
    std::string controllerLocation;
};

/* Builds the hardware: every function plugged in behind its bridge, the
 * firmware's bus numbers and BAR addresses preset, the controller chosen.
 * On bad input (unknown model, duplicate or malformed location, a `behind`
 * that names no bridge, a controller that does not exist, ...) returns false
 * with a message naming the source and line in *error. The description must
 * outlive the result (descOf points into it). */
bool BuildMachine(const MachineDesc &desc, BuiltMachine *out, std::string *error);

/* "bb:dd.f" -> bus, device, function; false when malformed. */
bool ParseLocation(const std::string &text, int *bus, int *device, int *function);
/* "[dddd:]bb:dd.f" -> domain (0 when absent), bus, device, function. */
bool ParseDomainLocation(const std::string &text, unsigned *domain, int *bus, int *device, int *function);

/* The ready-made model of that name, or nullopt. */
std::optional<sim::DeviceModel> ModelByName(const std::string &name);
std::vector<std::string> ModelNames();

/* The sixteen registry values the driver reads, by their registry names. */
const std::vector<std::string> &ParameterNames();
/* The registry spelling of a parameter name (compared without case); "" when unknown. */
std::string CanonicalParameterName(const std::string &name);

} // namespace tolmusim

#endif /* TOLMU_SIM_CLI_MACHINE_DESC_H */
