/*
 * pci_devices.h - ready-made device models, as data.
 *
 * Each routine returns a DeviceModel: identity, class, header layout, BARs,
 * reset values and the vendor-defined registers with their write masks.
 * The behaviour of every model is the one of PciFunction. Tests that need a
 * variant copy a model and change a field:
 *
 *     sim::DeviceModel card = sim::models::RTL8139();
 *     card.bars = {sim::Io16Bar(0, 0x20)};
 *
 * Reset values of the vendor-defined registers are plausible power-on
 * values of the parts named, not a bit-exact copy of any one stepping.
 */
#ifndef TOLMU_SIM_PCI_DEVICES_H
#define TOLMU_SIM_PCI_DEVICES_H

#include "pci_function.h"

namespace sim {
namespace models {

/* A plain function: identity and class code (base << 16 | sub << 8 | prog-if),
 * with the BARs given. */
DeviceModel Generic(uint16_t vendorId, uint16_t deviceId, uint32_t classCode, std::vector<BarDef> bars = {});
/* A plain PCI-to-PCI bridge (header layout 1, class 06 04 00). */
DeviceModel GenericBridge(uint16_t vendorId, uint16_t deviceId);

/* Host side. */
DeviceModel Intel440BX(); /* 8086:7190 host bridge, 64 MB aperture BAR */

/* PCI-to-PCI bridges of expansion chassis. */
DeviceModel DEC21154();  /* 1011:0026, 32-bit I/O and 64-bit prefetchable windows */
DeviceModel TIPCI2250(); /* 104C:AC23, 16-bit I/O and 32-bit prefetchable windows */

/* CardBus controllers (header layout 2, class 06 07 00). */
DeviceModel TI1420();       /* 104C:AC51, two sockets (multi-function) */
DeviceModel TI1131();       /* 104C:AC15, two sockets (multi-function) */
DeviceModel O2MicroOZ711(); /* 1217:7134, one socket */
DeviceModel O2Micro6933();  /* 1217:6933, two sockets (multi-function) */
DeviceModel ToshibaToPIC(); /* 1179:0617, ToPIC100, two sockets (multi-function) */

/* Cards. */
DeviceModel GeForce2MX();   /* 10DE:0110 VGA, 16 MB memory + 128 MB prefetchable, 64 KB ROM */
DeviceModel RTL8139();      /* 10EC:8139 NIC, 256-byte I/O + 256-byte memory BAR */
DeviceModel FpgaBoard64();  /* 10EE:0007, 4 KB registers + 256 MB 64-bit prefetchable BAR */
DeviceModel SBLiveAudio();  /* 1102:0002, function 0 of a two-function card, 32-byte I/O */
DeviceModel SBLiveGameport(); /* 1102:7002, function 1: 8-byte I/O, 16-bit decoder */

} // namespace models
} // namespace sim

#endif /* TOLMU_SIM_PCI_DEVICES_H */
