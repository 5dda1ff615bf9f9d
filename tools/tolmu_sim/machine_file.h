/*
 * machine_file.h - machine files (docs/machine-format.md) read into a
 * MachineDesc, and the built-in default machine.
 */
#ifndef TOLMU_SIM_CLI_MACHINE_FILE_H
#define TOLMU_SIM_CLI_MACHINE_FILE_H

#include <optional>
#include <string>

#include "machine_desc.h"

namespace tolmusim {

/* Reads a machine description from JSON text. On bad input returns nullopt
 * with "fileName:line: what is wrong" in *error. */
std::optional<MachineDesc> ParseMachineJson(const std::string &text, const std::string &fileName, std::string *error);

/* The text of the built-in default machine (examples/default-machine.json). */
const std::string &DefaultMachineText();

/* 1-based line of a byte offset in text. */
int LineOfOffset(const std::string &text, size_t offset);

} // namespace tolmusim

#endif /* TOLMU_SIM_CLI_MACHINE_FILE_H */
