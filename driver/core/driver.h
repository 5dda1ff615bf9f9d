/*
 * driver.h - the load entry, the default dispatch routine, unload and the
 * operating-system banner.
 */
#ifndef TOLMU_DRIVER_H
#define TOLMU_DRIVER_H

#include "tolmu_platform.h"

#define TOLMU_VERSION "5.4"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
VOID NTAPI Unload(PDRIVER_OBJECT DriverObject);
NTSTATUS NTAPI PassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID PrintOsVersion(void);
BOOLEAN IsCheckedBuild(void);

#endif /* TOLMU_DRIVER_H */
