/*
 * enumerate.h - the one entry into bus enumeration for a filtered bridge,
 * and the bus-number bookkeeping of the bridges above it.
 */
#ifndef TOLMU_ENUMERATE_H
#define TOLMU_ENUMERATE_H

#include "pnp/device_extension.h"

VOID propigateBusNo(PDEVICE_OBJECT FilterDevice, UCHAR BusNo);
VOID CheckBusNumbers(PDEVICE_EXTENSION Extension);
VOID RestartBusNumbering(PDEVICE_EXTENSION Extension);
VOID UnnumberReturnedBridge(UCHAR Bus, UCHAR Device, UCHAR Function);
/* IoDropped, when given, tells whether the bridge's I/O window must go
 * because the room above cannot hold one block of it. */
VOID EnumerateFromHere(PDEVICE_EXTENSION Extension, PULONG MemoryNeed, PULONG PrefetchNeed, PULONG IoNeed,
                       PULONG MemoryAlign, PULONG PrefetchAlign, PBOOLEAN IoDropped = 0);

#endif /* TOLMU_ENUMERATE_H */
