/*
 * pci_direct.h - configuration access through the configuration address and
 * data ports (mechanism #1), usable anywhere, at any IRQL up to dispatch
 * level, for functions with or without a device stack.
 */
#ifndef TOLMU_PCI_DIRECT_H
#define TOLMU_PCI_DIRECT_H

#include "tolmu_platform.h"

#define PCI_CONFIG_ADDRESS_PORT 0xCF8

ULONG PciCfgRead8(UCHAR bus, UCHAR device, UCHAR function, UCHAR offset);
ULONG PciCfgRead16(UCHAR bus, UCHAR device, UCHAR function, UCHAR offset);
ULONG PciCfgRead32(UCHAR bus, UCHAR device, UCHAR function, UCHAR offset);
VOID PciCfgWrite8(UCHAR bus, UCHAR device, UCHAR function, UCHAR offset, UCHAR value);
VOID PciCfgWrite16(UCHAR bus, UCHAR device, UCHAR function, UCHAR offset, USHORT value);
VOID PciCfgWrite32(UCHAR bus, UCHAR device, UCHAR function, UCHAR offset, ULONG value);
VOID PciCfgInitPorts(USHORT port);

#endif /* TOLMU_PCI_DIRECT_H */
