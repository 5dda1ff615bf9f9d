/*
 * pci_names.h - vendor and device names from the pci.ids database
 * (Debian's package pci.ids, /usr/share/misc/pci.ids).
 */
#ifndef TOLMU_SIM_CLI_PCI_NAMES_H
#define TOLMU_SIM_CLI_PCI_NAMES_H

#include <cstdint>
#include <string>

namespace tolmusim {

/* "Vendor Device" as pci.ids names them, the vendor alone when the device is
 * not listed, "" when the vendor is not listed or the database is missing.
 * The database is read once, on first use. */
std::string PciName(uint16_t vendor, uint16_t device);

/* Where the database is read from (TOLMU_PCI_IDS in the environment, else
 * /usr/share/misc/pci.ids). */
std::string PciIdsPath();

} // namespace tolmusim

#endif /* TOLMU_SIM_CLI_PCI_NAMES_H */
