/*
 * pci_names.h - vendor, device and class names from the pci.ids database
 * (Debian's package pci.ids, /usr/share/misc/pci.ids).
 */
#ifndef TOLMU_SIM_CLI_PCI_NAMES_H
#define TOLMU_SIM_CLI_PCI_NAMES_H

#include <cstdint>
#include <optional>
#include <string>

namespace tolmusim {

/* "Vendor Device" as pci.ids names them, the vendor alone when the device is
 * not listed, "" when the vendor is not listed or the database is missing.
 * The database is read once, on first use. */
std::string PciName(uint16_t vendor, uint16_t device);

/* The class name lspci prints for base class `base`, subclass `sub`: the
 * subclass's name, else the base class's name, "" when pci.ids lists
 * neither (lspci then prints "Class bbss"). */
std::string PciClassName(uint8_t base, uint8_t sub);

/* The base << 8 | sub code behind a class name lspci printed, compared
 * without case: a subclass's name gives its code; a base class's name that
 * no subclass carries (lspci prints it for a subclass pci.ids does not list)
 * gives subclass 0x80, "other". nullopt for a name pci.ids does not have. */
std::optional<uint16_t> PciClassFromName(const std::string &name);

/* How many class and subclass names were read (0: no database, or one
 * without its class list). */
size_t PciClassNameCount();

/* Where the database is read from (TOLMU_PCI_IDS in the environment, else
 * /usr/share/misc/pci.ids). */
std::string PciIdsPath();

} // namespace tolmusim

#endif /* TOLMU_SIM_CLI_PCI_NAMES_H */
