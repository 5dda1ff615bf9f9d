/*
 * pnp.h - filter devices, stack lookups, PnP dispatch, the start sequence,
 * start resources and power dispatch.
 */
#ifndef TOLMU_PNP_H
#define TOLMU_PNP_H

#include "pnp/device_extension.h"

/* Private result of CommonAdd: a filter device was created and attached. */
#define COMMON_ADD_ATTACHED 2

/* Filter device creation */
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS AddChildDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT ChildPdo, ULONG Count);
NTSTATUS CommonAdd(const char *Name, PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                   PDEVICE_EXTENSION *Extension, ULONG Child);
ULONG AlreadySeenThisOne(PDEVICE_OBJECT FirstDevice, PDEVICE_OBJECT PhysicalDeviceObject);

/* Device-stack lookups */
ULONG GetDevicePropertyDW(PDEVICE_OBJECT Pdo, DEVICE_REGISTRY_PROPERTY Property);
ULONG GetLocationCode(PDEVICE_OBJECT Pdo);
VOID LocateMe(PDEVICE_EXTENSION Extension);
/* FALSE while the bus driver has not told where the device is (all-ones):
 * nothing may then be written to it through the configuration ports. */
BOOLEAN LocationKnown(PDEVICE_EXTENSION Extension);
PDEVICE_OBJECT GetParent(PDEVICE_OBJECT DeviceObject);
PDEVICE_OBJECT GetRoot(PDEVICE_OBJECT DeviceObject);
ULONG CountDriverDevices(PDRIVER_OBJECT DriverObject);
VOID registerMe(PDEVICE_OBJECT Pdo);

/* PnP dispatch and pass-down */
NTSTATUS NTAPI PnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PnpPassDownIrpAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS CallLowerAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS QueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS QueryDeviceRelations(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS QueryResources(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS QueryResourceRequirements(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS QueryInterface(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/* Start sequence and start resources */
NTSTATUS startDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID ExtractResources(PDEVICE_EXTENSION Extension, PCM_RESOURCE_LIST List);
VOID PrintExtractedResources(PDEVICE_EXTENSION Extension);

/* Power */
NTSTATUS NTAPI PowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
BOOLEAN IsPowerUpIrp(PIRP Irp);

#endif /* TOLMU_PNP_H */
