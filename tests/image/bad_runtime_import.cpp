/*
 * bad_runtime_import.cpp - a kernel image the image checker must reject.
 *
 * It imports malloc from the user-mode C runtime (msvcrt.dll), a module a
 * kernel driver cannot link against.
 */
#include "tolmu_platform.h"

extern "C" void *__cdecl malloc(size_t size);

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    (void)DriverObject;
    (void)RegistryPath;
    return malloc(16) ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}
