/*
 * start_resources.cpp - the few values of a bridge's start resources that the
 * controller adjustments need or that are worth printing: the CardBus
 * controller's register window, the I/O, prefetchable and memory windows,
 * and the interrupt.
 */
#include "pnp/pnp.h"
#include "pci/pci_lower.h"
#include "pci/pci_regs.h"
#include "core/debug.h"

#define EXCA_WINDOW_LENGTH 0x1000

/* The descriptor that follows one in a full descriptor's partial list. */
static PCM_FULL_RESOURCE_DESCRIPTOR NextFullDescriptor(PCM_FULL_RESOURCE_DESCRIPTOR full)
{
    return (PCM_FULL_RESOURCE_DESCRIPTOR)&full->PartialResourceList
        .PartialDescriptors[full->PartialResourceList.Count];
}

/* The exclusive end of a window, kept at the largest 32-bit address when
 * base + length would wrap. */
static ULONG WindowEnd(ULONG base, ULONG length)
{
    return base > 0xFFFFFFFF - length ? 0xFFFFFFFF : base + length;
}

VOID ExtractResources(PDEVICE_EXTENSION Extension, PCM_RESOURCE_LIST List)
{
    PCM_FULL_RESOURCE_DESCRIPTOR full;
    ULONG i, j;

    if (List == 0 || !(Extension->Flags & BRIDGE_FLAGS))
        return;

    full = List->List;
    for (i = 0; i < List->Count; i++, full = NextFullDescriptor(full)) {
        for (j = 0; j < full->PartialResourceList.Count; j++) {
            PCM_PARTIAL_RESOURCE_DESCRIPTOR d = &full->PartialResourceList.PartialDescriptors[j];

            switch (d->Type) {
            case CmResourceTypePort:
                /* The first I/O range found wins, also across starts. */
                if (Extension->IoBase == 0) {
                    Extension->IoBase = d->u.Port.Start.LowPart;
                    Extension->IoLength = d->u.Port.Length;
                    Extension->IoEnd = WindowEnd(Extension->IoBase, Extension->IoLength);
                }
                break;
            case CmResourceTypeInterrupt:
                /* A CardBus controller's own routing is in its interrupt
                 * line register, whatever vector the list carries. */
                if (Extension->Flags & CB_BRIDGE)
                    Extension->Irq = ReadPCIConfigB(Extension->DeviceObject, CFG8_INTERRUPT_LINE);
                else
                    Extension->Irq = d->u.Interrupt.Vector;
                break;
            case CmResourceTypeMemory:
                if (Extension->BridgeType == 2 && j == 0) {
                    Extension->ExCa = d->u.Memory.Start.LowPart;
                } else if (d->Flags & CM_RESOURCE_MEMORY_PREFETCHABLE) {
                    Extension->PreBase = d->u.Memory.Start.LowPart;
                    Extension->PreLength = d->u.Memory.Length;
                    Extension->PreEnd = WindowEnd(Extension->PreBase, Extension->PreLength);
                } else {
                    Extension->MemBase = d->u.Memory.Start.LowPart;
                    Extension->MemLength = d->u.Memory.Length;
                    Extension->MemEnd = WindowEnd(Extension->MemBase, Extension->MemLength);
                }
                break;
            default:
                break;
            }
        }
    }
}

VOID PrintExtractedResources(PDEVICE_EXTENSION Extension)
{
    DebugPrint("Extracted Resources are:\n");
    if (Extension->MemBase != 0 && Extension->MemLength != 0)
        DebugPrint("  MEM  : 0x%08lX - %08lX\n", Extension->MemBase, Extension->MemBase + Extension->MemLength - 1);
    if (Extension->PreBase != 0 && Extension->PreLength != 0)
        DebugPrint("  PRE  : 0x%08lX - %08lX\n", Extension->PreBase, Extension->PreBase + Extension->PreLength - 1);
    if (Extension->ExCa != UNKNOWN_NUMBER)
        DebugPrint("  EXCA : 0x%08lX - %08lX\n", Extension->ExCa, Extension->ExCa + EXCA_WINDOW_LENGTH - 1);
    if (Extension->IoBase != 0 && Extension->IoLength != 0)
        DebugPrint("  I/O  : 0x%04lX - %04lX\n", Extension->IoBase, Extension->IoBase + Extension->IoLength - 1);
    if (Extension->Irq != UNKNOWN_NUMBER && Extension->Irq != 0xFF)
        DebugPrint("  IRQ  : 0x%02lX\n", Extension->Irq);
}
