/*
 * lspci_import.h - a machine description from `lspci` output as people post
 * it: hex dumps (-x, -xx, -xxx, -xxxx) with or without the -v/-vv/-vvv text,
 * -n/-nn numbers, domain-prefixed locations, mail-quote prefixes, any
 * indentation, CRLF line ends.
 *
 * What each function gets (docs/machine-format.md, "Importing lspci output"):
 *   configuration bytes  the dumped bytes (0x00..0xFF; undumped bytes read 0),
 *                        or, without any hex, bytes rebuilt from the text;
 *   identity and class   from the hex, else from the header line;
 *   BARs                 kind and address from the hex, sizes from the
 *                        "Region N: ... [size=...]" lines; a BAR the dump
 *                        gives no size for gets one inferred from its address
 *                        (InferBarSize), with a note saying so;
 *   bus numbers          bridges, from bytes 0x18..0x1A or the "Bus:" line;
 *   behind               the bridge whose secondary..subordinate range holds
 *                        the function's bus (the one whose secondary is that
 *                        bus, else the nearest enclosing one); a function on
 *                        bus 0 or on a bus no range holds sits on that root
 *                        bus (rootBus: 0 the main one, others peer roots).
 * One PCI domain is imported (ImportOptions); the others are counted in
 * otherDomains. The machine's controller is the first CardBus controller of
 * the domain in bus, device, function order ("" when there is none); the
 * caller may replace it.
 *
 * What mail clients do to a dump is mended, each mend listed in importNotes
 * with its line: a hex line glued to the end of a text line, a header line
 * glued to the end of a hex line, a header or text line wrapped onto the
 * next line.
 */
#ifndef TOLMU_SIM_CLI_LSPCI_IMPORT_H
#define TOLMU_SIM_CLI_LSPCI_IMPORT_H

#include <cstdint>
#include <optional>
#include <string>

#include "machine_desc.h"

namespace tolmusim {

struct ImportOptions {
    /* The PCI domain to simulate (lspci's dddd: prefix); nullopt = the one
     * holding the first CardBus controller, else the lowest. */
    std::optional<unsigned> domain;
};

/* Reads lspci output. On a line it cannot read returns nullopt with
 * "<fileName>:<line>: <bb:dd.f>: <what is wrong>" in *error; when the domain
 * asked for is not in the dump, "<fileName>: <what is wrong>". */
std::optional<MachineDesc> ImportLspci(const std::string &text, const std::string &fileName, std::string *error,
                                       const ImportOptions &options = {});

/* Largest BAR sizes the inference gives. */
constexpr uint64_t kInferredIoMax = 0x100;                /* 256 bytes */
constexpr uint64_t kInferredMemoryMax = 0x1000000;        /* 16 MB */
constexpr uint64_t kInferredPrefetchableMax = 0x10000000; /* 256 MB */

/* The size of a BAR the dump gives no size for: the largest power of two that
 * divides its address, at most the maximum of its kind above. The result is
 * never below the smallest decoder (4 bytes of I/O, 16 bytes of memory) and
 * always divides the address, so the address stays a valid one for the BAR.
 * 0 for address 0: an unprogrammed BAR without a size is left out. */
uint64_t InferBarSize(bool io, bool prefetchable, uint64_t address);

} // namespace tolmusim

#endif /* TOLMU_SIM_CLI_LSPCI_IMPORT_H */
