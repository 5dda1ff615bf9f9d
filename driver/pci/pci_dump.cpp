/*
 * pci_dump.cpp - configuration space dumps, by the device's stack or by the
 * configuration ports.
 */
#include "pci/pci_dump.h"
#include "pci/pci_direct.h"
#include "pci/pci_lower.h"
#include "core/debug.h"

#define DUMP_BUFFER_DWORDS 64 /* 256 bytes */
#define DUMP_AT_MAX_LENGTH 0x80

VOID DumpPciSpace(const char *Name, PDEVICE_OBJECT DeviceObject, LONG Length)
{
    ULONG space[DUMP_BUFFER_DWORDS];
    ULONG dwords;
    ULONG i;

    DebugPrint("==== %s PCI Space\n", Name ? Name : "");

    /* Never more than the buffer holds; a failed read shows all ones rather
     * than whatever the stack held before. */
    if (Length < 0)
        Length = 0;
    if (Length > (LONG)sizeof(space))
        Length = (LONG)sizeof(space);
    RtlFillMemory(space, sizeof(space), 0xFF);

    ReadPCIConfigBuf(DeviceObject, 0, space, (ULONG)Length);

    /* Only whole double words that were read are shown: a last line with
     * fewer than four of them shows just those. */
    dwords = (ULONG)Length / 4;
    for (i = 0; i < dwords; i += 4) {
        switch (dwords - i) {
        case 1:
            DebugPrint("[%02X] %08lX\n", i * 4, space[i]);
            break;
        case 2:
            DebugPrint("[%02X] %08lX %08lX\n", i * 4, space[i], space[i + 1]);
            break;
        case 3:
            DebugPrint("[%02X] %08lX %08lX %08lX\n", i * 4, space[i], space[i + 1], space[i + 2]);
            break;
        default:
            DebugPrint("[%02X] %08lX %08lX %08lX %08lX\n", i * 4, space[i], space[i + 1], space[i + 2],
                       space[i + 3]);
            break;
        }
    }
}

VOID DumpPciSpaceAt(const char *Name, UCHAR Bus, UCHAR Device, UCHAR Function, UCHAR Length)
{
    ULONG offset;

    DebugPrint("==== %s PCI Space %02x:%02x:%x\n", Name ? Name : "", Bus, Device, Function);

    if (Length > DUMP_AT_MAX_LENGTH)
        Length = DUMP_AT_MAX_LENGTH;

    for (offset = 0; offset < Length; offset += 16) {
        ULONG d0 = PciCfgRead32(Bus, Device, Function, (UCHAR)offset);
        ULONG d1 = PciCfgRead32(Bus, Device, Function, (UCHAR)(offset + 4));
        ULONG d2 = PciCfgRead32(Bus, Device, Function, (UCHAR)(offset + 8));
        ULONG d3 = PciCfgRead32(Bus, Device, Function, (UCHAR)(offset + 12));

        DebugPrint("[%02X] %08lX %08lX %08lX %08lX\n", offset, d0, d1, d2, d3);
    }
}
