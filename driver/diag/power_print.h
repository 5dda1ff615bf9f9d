/*
 * power_print.h - names of power values, the power-parameters line and the
 * device capabilities print.
 */
#ifndef TOLMU_POWER_PRINT_H
#define TOLMU_POWER_PRINT_H

#include "tolmu_platform.h"

/* Name of a power minor code; a code above IRP_MN_QUERY_POWER is reported
 * with a warning line first. */
const char *PowerMinorFunctionString(UCHAR minor);
/* Names of SYSTEM_POWER_STATE (all ten characters wide), DEVICE_POWER_STATE
 * and POWER_ACTION values; an out-of-range value gets the name of 0. */
const char *SystemPowerStateString(ULONG state);
const char *DevicePowerStateString(ULONG state);
const char *PowerActionString(ULONG action);

/* The parameters of a set-power or query-power request; nothing for the
 * other power minor codes. */
VOID PrintPowerIrp(PIRP Irp);

/* The DEVICE_CAPABILITIES a query-capabilities request carries. */
VOID PrintDeviceCapabilities(PIRP Irp);
/* TRUE when the record has a flag, wake state or device state worth a print. */
BOOLEAN HasCapabilitiesToShow(const DEVICE_CAPABILITIES *capabilities);
/* The system-to-device state mapping (indices 1 to 6 of the array). */
VOID PrintDevStates(const DEVICE_POWER_STATE *deviceState);

#endif /* TOLMU_POWER_PRINT_H */
