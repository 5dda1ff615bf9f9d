/*
 * config.h - the sixteen configuration values read from the registry at load,
 * their accessors, the configuration dump, and the two values the driver
 * publishes (trace, iam).
 */
#ifndef TOLMU_CONFIG_H
#define TOLMU_CONFIG_H

#include "tolmu_platform.h"

/* Where the values are read and published, relative to the services key. */
#define TOLMU_PARAMETERS_PATH WSTR("tolmu\\Parameters")
#define TOLMU_PUBLISH_PATH WSTR("dromel\\Configured")
/* The publishing key's parent, created first: RtlCreateRegistryKey creates
 * only the last key of a path. */
#define TOLMU_PUBLISH_PARENT_PATH WSTR("dromel")

void ReadConfiguration(void);
void PrintConfiguration(void);
void RegisterConfiguration(PCWSTR name, ULONG value);

/* Accessors: each value unchanged, except nSockets (1 or 2) and the two id
 * filters (low 16 bits). */
ULONG GetTraceSize(void);
ULONG GetPreFetch(void);
ULONG GetMemory(void);
ULONG GetIo(void);
ULONG GetFilterIO(void);
ULONG GetSetBusNo(void);
ULONG GetMapLegacy(void);
ULONG GetVgaAlias(void);
ULONG GetNSockets(void);
ULONG GetIgnoreO2(void);
ULONG GetIgnoreToshiba(void);
ULONG GetIgnoreVenId(void);
ULONG GetIgnoreDevId(void);
ULONG GetIgnoreCb(void);
ULONG GetTicks(void);
/* Non-zero when the registry read failed as a whole. */
ULONG GetConfigurationFailed(void);

/* The iam word: up to two controller location codes. */
ULONG GetIam(void);
VOID SetIam(ULONG value);

#endif /* TOLMU_CONFIG_H */
