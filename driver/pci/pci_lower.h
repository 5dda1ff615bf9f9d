/*
 * pci_lower.h - configuration access through the device's own stack: a
 * configuration request sent to the top of the stack and answered by the bus
 * driver. The callers block until it completes (passive level only).
 */
#ifndef TOLMU_PCI_LOWER_H
#define TOLMU_PCI_LOWER_H

#include "tolmu_platform.h"

NTSTATUS _ReadWritePci(PDEVICE_OBJECT DeviceObject, ULONG Write, PVOID Buffer, ULONG Offset, ULONG Length);

UCHAR ReadPCIConfigB(PDEVICE_OBJECT DeviceObject, ULONG Offset);
USHORT ReadPCIConfigW(PDEVICE_OBJECT DeviceObject, ULONG Offset);
ULONG ReadPCIConfigDW(PDEVICE_OBJECT DeviceObject, ULONG Offset);
NTSTATUS ReadPCIConfigBuf(PDEVICE_OBJECT DeviceObject, ULONG Offset, PVOID Buffer, ULONG Length);
NTSTATUS WritePCIConfigB(PDEVICE_OBJECT DeviceObject, ULONG Offset, UCHAR Value);
NTSTATUS WritePCIConfigW(PDEVICE_OBJECT DeviceObject, ULONG Offset, USHORT Value);

#endif /* TOLMU_PCI_LOWER_H */
