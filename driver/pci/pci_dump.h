/*
 * pci_dump.h - the start of a function's configuration space as hexadecimal
 * double words, four to a line.
 */
#ifndef TOLMU_PCI_DUMP_H
#define TOLMU_PCI_DUMP_H

#include "tolmu_platform.h"

/* Through the device's stack; at most 256 bytes. */
VOID DumpPciSpace(const char *Name, PDEVICE_OBJECT DeviceObject, LONG Length);
/* Through the configuration ports; at most 128 bytes. */
VOID DumpPciSpaceAt(const char *Name, UCHAR Bus, UCHAR Device, UCHAR Function, UCHAR Length);

#endif /* TOLMU_PCI_DUMP_H */
