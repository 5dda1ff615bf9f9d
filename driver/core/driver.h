/*
 * driver.h - the load entry, the default dispatch routine, unload and the
 * operating-system banner.
 */
#ifndef TOLMU_DRIVER_H
#define TOLMU_DRIVER_H

#include "tolmu_platform.h"

#define TOLMU_VERSION "5.4"

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD Unload;
DRIVER_DISPATCH PassThrough; /* every major code but PnP and power */
VOID PrintOsVersion(void);
BOOLEAN IsCheckedBuild(void);

#endif /* TOLMU_DRIVER_H */
