/*
 * pnp.h - filter devices, stack lookups, PnP dispatch, the start sequence,
 * start resources and power dispatch.
 */
#ifndef TOLMU_PNP_H
#define TOLMU_PNP_H

#include "pnp/device_extension.h"

/* Private result of CommonAdd: a filter device was created and attached. */
#define COMMON_ADD_ATTACHED 2

/* A PnP request's handler, picked by minor code from the table of
 * PnpDispatch, which completes the request with the status returned. */
typedef NTSTATUS PNP_HANDLER(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/* Filter device creation */
DRIVER_ADD_DEVICE AddDevice;
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
DRIVER_DISPATCH PnpDispatch;
PNP_HANDLER PnpPassDownIrpAndWait;
NTSTATUS CallLowerAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);
PNP_HANDLER QueryCapabilities;
PNP_HANDLER QueryDeviceRelations;
PNP_HANDLER QueryResources;
PNP_HANDLER QueryResourceRequirements;
PNP_HANDLER QueryInterface;
PNP_HANDLER RemoveDevice;
PNP_HANDLER SurpriseRemoval;

/* Start sequence and start resources */
PNP_HANDLER startDevice;
VOID ExtractResources(PDEVICE_EXTENSION Extension, PCM_RESOURCE_LIST List);
VOID PrintExtractedResources(PDEVICE_EXTENSION Extension);

/* Power */
DRIVER_DISPATCH PowerDispatch;
BOOLEAN IsPowerUpIrp(PIRP Irp);

#endif /* TOLMU_PNP_H */
