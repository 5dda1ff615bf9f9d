/*
 * entry_stub.cpp - the load entry used until the driver provides its own.
 *
 * The Windows image build compiles this file into tolmu.sys only when no
 * driver source defines DriverEntry, so that the image can be linked and
 * checked from the first day. It does nothing and reports success. Once
 * driver/ defines DriverEntry this file drops out of the image by itself.
 */
#include "tolmu_platform.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    (void)DriverObject;
    (void)RegistryPath;
    return STATUS_SUCCESS;
}
