/*
 * pci_direct.cpp - configuration access through configuration mechanism #1.
 *
 * A 32-bit configuration address written to the address port selects a
 * double word of some function's configuration space; the data port, four
 * bytes above it, transfers it. No request goes through the bus driver, so
 * these routines work for functions that have no device object yet and in
 * completion routines, where nothing may be waited for.
 *
 * The port pair is shared with the operating system's own accesses. Each
 * access puts back the address port's previous content when it is done, and
 * the driver's own accesses are kept whole by a spin lock, so no access of
 * this driver lands between another's address write and its data transfer.
 */
#include "pci/pci_direct.h"
#include "core/debug.h"

/* Translated port addresses; 0 means not yet translated. */
static ULONG PciAddressPort MODULE_STATE = 0;
static ULONG PciDataPort MODULE_STATE = 0;

/* Held from the address write to the restore of the previous address. */
static KSPIN_LOCK PciCfgLock MODULE_STATE = 0;

#define PCI_CFG_ENABLE 0x80000000

VOID PciCfgInitPorts(USHORT port)
{
    PHYSICAL_ADDRESS busAddress;
    PHYSICAL_ADDRESS translated;
    ULONG addressSpace = 1; /* I/O space */

    if (PciAddressPort != 0 && PciDataPort != 0)
        return;

    DebugPrint("Initializing PCI configuration registers\n");

    busAddress.QuadPart = port;
    translated.QuadPart = 0;

    /* A failed translation leaves both ports at 0: every access then skips
     * the ports altogether (reads give all ones, writes are dropped) and the
     * next access tries again. The translated value is used as a port
     * address whatever address space the translation reports. */
    if (!HalTranslateBusAddress(Isa, 0, busAddress, &addressSpace, &translated))
        return;
    if (translated.LowPart == 0)
        return;

    PciAddressPort = translated.LowPart;
    PciDataPort = translated.LowPart + 4;
}

/*
 * Selects (bus, device, function, offset) in the address port and returns
 * with the lock held and the previous address kept, or returns FALSE when
 * the ports could not be translated.
 */
static BOOLEAN PciCfgSelect(UCHAR bus, UCHAR device, UCHAR function, UCHAR offset, PULONG previous,
                            PKIRQL oldIrql)
{
    ULONG address;

    if (PciAddressPort == 0 || PciDataPort == 0)
        PciCfgInitPorts(PCI_CONFIG_ADDRESS_PORT);
    if (PciAddressPort == 0 || PciDataPort == 0)
        return FALSE;

    address = PCI_CFG_ENABLE | ((ULONG)bus << 16) | ((ULONG)(device & 0x1F) << 11) |
              ((ULONG)(function & 0x07) << 8) | (ULONG)(offset & 0xFC);

    KeAcquireSpinLock(&PciCfgLock, oldIrql);
    *previous = READ_PORT_ULONG((PULONG)(ULONG_PTR)PciAddressPort);
    WRITE_PORT_ULONG((PULONG)(ULONG_PTR)PciAddressPort, address);
    return TRUE;
}

/* Puts the address port back as it was, whatever it held, and drops the lock. */
static VOID PciCfgRelease(ULONG previous, KIRQL oldIrql)
{
    WRITE_PORT_ULONG((PULONG)(ULONG_PTR)PciAddressPort, previous);
    KeReleaseSpinLock(&PciCfgLock, oldIrql);
}

/* Reads are always whole double words; the byte lane is picked afterwards. */
static ULONG PciCfgReadDword(UCHAR bus, UCHAR device, UCHAR function, UCHAR offset)
{
    ULONG previous;
    ULONG value;
    KIRQL oldIrql;

    if (!PciCfgSelect(bus, device, function, offset, &previous, &oldIrql))
        return 0xFFFFFFFF;
    value = READ_PORT_ULONG((PULONG)(ULONG_PTR)PciDataPort);
    PciCfgRelease(previous, oldIrql);
    return value;
}

ULONG PciCfgRead8(UCHAR bus, UCHAR device, UCHAR function, UCHAR offset)
{
    ULONG value = PciCfgReadDword(bus, device, function, offset);

    return (value >> (8 * (offset & 3))) & 0xFF;
}

ULONG PciCfgRead16(UCHAR bus, UCHAR device, UCHAR function, UCHAR offset)
{
    ULONG value = PciCfgReadDword(bus, device, function, offset);

    /* Offset bit 0 is ignored: a word never straddles a double word. */
    if (offset & 2)
        return value >> 16;
    return value & 0xFFFF;
}

ULONG PciCfgRead32(UCHAR bus, UCHAR device, UCHAR function, UCHAR offset)
{
    return PciCfgReadDword(bus, device, function, offset);
}

/* Writes use the port width of the value: the other bytes of the double word
 * are not touched, so no read-modify-write is needed. */
VOID PciCfgWrite8(UCHAR bus, UCHAR device, UCHAR function, UCHAR offset, UCHAR value)
{
    ULONG previous;
    KIRQL oldIrql;

    if (!PciCfgSelect(bus, device, function, offset, &previous, &oldIrql))
        return;
    WRITE_PORT_UCHAR((PUCHAR)(ULONG_PTR)(PciDataPort + (offset & 3)), value);
    PciCfgRelease(previous, oldIrql);
}

VOID PciCfgWrite16(UCHAR bus, UCHAR device, UCHAR function, UCHAR offset, USHORT value)
{
    ULONG previous;
    KIRQL oldIrql;

    if (!PciCfgSelect(bus, device, function, offset, &previous, &oldIrql))
        return;
    WRITE_PORT_USHORT((PUSHORT)(ULONG_PTR)(PciDataPort + (offset & 2)), value);
    PciCfgRelease(previous, oldIrql);
}

VOID PciCfgWrite32(UCHAR bus, UCHAR device, UCHAR function, UCHAR offset, ULONG value)
{
    ULONG previous;
    KIRQL oldIrql;

    if (!PciCfgSelect(bus, device, function, offset, &previous, &oldIrql))
        return;
    WRITE_PORT_ULONG((PULONG)(ULONG_PTR)PciDataPort, value);
    PciCfgRelease(previous, oldIrql);
}
