/*
 * summary.h - what a run of tolmu-sim reports: the PCI tree after a step in
 * the manner of `lspci -tv` (bus numbers, each bridge's windows, each
 * function's state), the before/after comparison, and the JSON summary.
 */
#ifndef TOLMU_SIM_CLI_SUMMARY_H
#define TOLMU_SIM_CLI_SUMMARY_H

#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "machine_desc.h"
#include "session.h"

namespace tolmusim {

/* The physical tree, one function a line, with a detail line for windows,
 * BARs and notes. */
std::string TreeText(const std::vector<FunctionState> &functions);

/* Both runs (either may be absent) summarised: trees after boot, the
 * before/after table, the later scenarios, findings, pool, times. */
std::string SummaryText(const MachineDesc &desc, const RunResult *without, const RunResult *with);

/* The same for programs. */
nlohmann::json SummaryJson(const MachineDesc &desc, const std::vector<const RunResult *> &runs, int exitStatus);

/* "0x1000-0x1fff" */
std::string RangeText(uint64_t base, uint64_t limit);
/* "16M", "4K", "256" */
std::string SizeText(uint64_t size);

} // namespace tolmusim

#endif /* TOLMU_SIM_CLI_SUMMARY_H */
