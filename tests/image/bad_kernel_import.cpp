/*
 * bad_kernel_import.cpp - a kernel image the image checker must reject.
 *
 * It imports ZwClose from ntoskrnl.exe: a real kernel export, but not one the
 * driver is allowed to use.
 */
#include "tolmu_platform.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    (void)DriverObject;
    (void)RegistryPath;
    return ZwClose((HANDLE)0);
}
