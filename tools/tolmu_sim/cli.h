/*
 * cli.h - the tolmu-sim command as a routine, so tests can run it.
 */
#ifndef TOLMU_SIM_CLI_CLI_H
#define TOLMU_SIM_CLI_CLI_H

#include <ostream>

namespace tolmusim {

/* Exit status: 0 the run with Tolmu completed with no verifier finding and
 * no hardware finding, the run without Tolmu with no verifier finding (its
 * hardware findings are the OS's own), nothing leaked; 1 otherwise; 2 bad
 * input (nothing runs). */
constexpr int kExitClean = 0;
constexpr int kExitProblems = 1;
constexpr int kExitBadInput = 2;

} // namespace tolmusim

/* The whole command: options in argv, the report to out, messages to err. */
int RunTolmuSim(int argc, char **argv, std::ostream &out, std::ostream &err);

#endif /* TOLMU_SIM_CLI_CLI_H */
