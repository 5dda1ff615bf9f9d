/*
 * chassis.h - `tolmu-sim --chassis FILE[@BB:DD.F]`: an expansion chassis,
 * described by an lspci dump or a machine file (taken where it worked, e.g.
 * in a desktop), plugged into the secondary bus of the adapter's controller
 * of the machine being simulated, as a freshly powered chassis the firmware
 * never saw.
 *
 * What plugging does (README.md, "tolmu-sim"):
 *   - the uplink function (named by @BB:DD.F, or the only function of FILE
 *     on a root bus) and every function behind it are taken from FILE;
 *   - whatever the machine described behind its controller is taken out: the
 *     chassis replaces the card that was in the slot (the controller's notes
 *     and the report say so);
 *   - the chassis functions keep device and function numbers; their label
 *     buses are renamed (the uplink's bus to the controller's secondary bus
 *     number, the others in ascending order to the next numbers no function
 *     of the machine uses) and each function notes where it was in FILE;
 *   - their state is power-on: no bus numbers, no BAR addresses, and in the
 *     configuration bytes the command register, cache line size, latency
 *     timers, interrupt line and expansion ROM register zeroed, and every bit
 *     the simulated function lets software write (BAR addresses, bridge
 *     windows, bridge control, the model's vendor registers) back to its
 *     power-on value, error bits of the status registers cleared. Read-only
 *     bits keep the dump's values: BAR type bits, window capability bits,
 *     capability lists, and the vendor registers of functions without a
 *     ready-made model.
 */
#ifndef TOLMU_SIM_CLI_CHASSIS_H
#define TOLMU_SIM_CLI_CHASSIS_H

#include <optional>
#include <string>
#include <vector>

#include "machine_desc.h"

namespace tolmusim {

/* "FILE[@[DDDD:]BB:DD.F]" split: the text after the last '@' is the uplink
 * when it reads as a location; otherwise the whole text is the file. */
struct ChassisArgument {
    std::string file;
    std::string uplink;                 /* "bb:dd.f", lower case; "" = implied */
    std::optional<unsigned> domain;     /* a domain prefix given with the uplink */
};
ChassisArgument ParseChassisArgument(const std::string &text);

/* The chassis file's text read into a description: a machine file when the
 * text is a JSON object (its first character other than blanks is '{'), else
 * lspci output (of the given domain, when one is given). On bad input returns
 * nullopt with the file, line and what is wrong in *error. */
std::optional<MachineDesc> ReadChassis(const std::string &text, const std::string &fileName,
                                       std::optional<unsigned> domain, std::string *error);

/* The uplink implied when none is named: the only function of the file on a
 * root bus (in a machine file, the only one without "behind"; in a dump, the
 * only one on bus 0 or on a bus no bridge of the dump leads to). "" when the
 * file holds more than one such function (or none). */
std::string ImpliedUplink(const MachineDesc &chassis);

/* What plugging did, for the report printed before the summary. */
struct ChassisReport {
    std::string uplink;      /* in the file ("dddd:bb:dd.f" outside domain 0) */
    std::string uplinkLabel; /* in the machine */
    std::string controller;  /* the machine's controller */
    size_t functions = 0;    /* chassis functions plugged in, the uplink included */
    std::vector<std::string> removed; /* labels of the machine's functions taken out */
    std::vector<std::string> lines;   /* the report, one line each */
};

/* Plugs the chassis into *machine (whose BuildMachine must succeed) behind
 * its controller. uplink "" = ImpliedUplink. On bad input (no such uplink, no
 * uplink named for a file that holds more than a chassis, a controller that is
 * no bridge, a chassis that does not build) returns false with a message in
 * *error naming the file; *machine is then unchanged. */
bool PlugChassis(MachineDesc *machine, const MachineDesc &chassis, const std::string &uplink, ChassisReport *report,
                 std::string *error);

} // namespace tolmusim

#endif /* TOLMU_SIM_CLI_CHASSIS_H */
