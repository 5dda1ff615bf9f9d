/*
 * patch_table.cpp - configuration registers that particular PCI devices must
 * hold, and PciPatching, which puts them in place.
 *
 * A row names a device by vendor and device identifier, a register with its
 * width, the bits to clear and the bits to set, and the function to patch.
 * Registers are written only when their value has to change, so running the
 * table again at every start and after every return to D0 is free and quiet
 * once the settings are in place. Every access is direct (configuration
 * ports), so the table also works from the power-up completion routine.
 */
#include "quirks/quirks.h"
#include "core/debug.h"
#include "pci/pci_direct.h"
#include "pci/pci_regs.h"

/* Vendors */
#define PCI_VENDOR_TI 0x104C
#define PCI_VENDOR_RICOH 0x1180
#define PCI_VENDOR_MOBILITY 0x14F2
#define PCI_VENDOR_ENE 0x1524
#define PCI_VENDOR_INTEL 0x8086
#define PCI_VENDOR_ALI 0x10B9

/* Texas Instruments CardBus controllers */
#define TI_SYSTEM_CONTROL 0x80 /* 32 bit, shared by both sockets: lives in function 0 */
#define  TI_SCR_MRBURSTUP 0x00004000 /* memory read bursts, CardBus to PCI */
#define  TI_SCR_MRBURSTDN 0x00008000 /* memory read bursts, PCI to CardBus */

/* Ricoh RL5C4xx CardBus controllers */
#define RL5C4XX_CONFIG 0x80 /* 16 bit: bridge configuration */
#define  RL5C4XX_CONFIG_PREFETCH 0x0001

/* Mobility Electronics docking/expansion link bridges */
#define MOBILITY_LINK_CONTROL 0x58 /* 8 bit */
#define  MOBILITY_LINK_BITS 0x05   /* bits 0 and 2 */

/* ENE Technology CardBus controllers (TI-compatible register layout) */
#define ENE_TEST_C9 0xC9 /* 8 bit: test register */
#define  ENE_TEST_C9_TLTENABLE 0x02
#define  ENE_TEST_C9_PFENABLE_F0 0x04
#define  ENE_TEST_C9_WPDISABLE_F0 0x40
#define ENE_SYSTEM_CONTROL 0x80 /* 16 bit: low half of the TI-style system control register */

/* Intel 82801 hub-to-PCI bridges */
#define ICH_BRIDGE_CONFIG 0x50 /* 16 bit */
#define  ICH_BRIDGE_CONFIG_BIT2 0x0004

/* ALi north bridges (M1671, M1644) */
#define ALI_CONTROL_40 0x40 /* 8 bit */
#define ALI_CONTROL_41 0x41 /* 8 bit */
#define ALI_CONTROL_42 0x42 /* 8 bit */
#define ALI_CONTROL_44 0x44 /* 8 bit */
#define ALI_CONTROL_4B 0x4B /* 8 bit */
#define ALI_CONTROL_50 0x50 /* 8 bit */

/* The terminator's identifiers; an all-ones identifier is no device. */
#define PATCH_END 0xFFFF
/* Row function that means: the function PciPatching was called for. */
#define PATCH_THIS_FUNCTION (-1)

const PCI_PATCH PciPatchTable[] = {
    /* TI PCI1250/1221/1450/1225/1251A/1211/1251B/4450/4410/4451/1410/1420/1451:
     * without both read-burst bits every read through the controller is cut
     * into single data phases, and bus-master traffic of the cards in the
     * chassis crawls. The register belongs to function 0 on dual-socket parts. */
    {PCI_VENDOR_TI, 0xAC16, 32, TI_SYSTEM_CONTROL, 0, TI_SCR_MRBURSTDN | TI_SCR_MRBURSTUP, 0},
    {PCI_VENDOR_TI, 0xAC19, 32, TI_SYSTEM_CONTROL, 0, TI_SCR_MRBURSTDN | TI_SCR_MRBURSTUP, 0},
    {PCI_VENDOR_TI, 0xAC1B, 32, TI_SYSTEM_CONTROL, 0, TI_SCR_MRBURSTDN | TI_SCR_MRBURSTUP, 0},
    {PCI_VENDOR_TI, 0xAC1C, 32, TI_SYSTEM_CONTROL, 0, TI_SCR_MRBURSTDN | TI_SCR_MRBURSTUP, 0},
    {PCI_VENDOR_TI, 0xAC1D, 32, TI_SYSTEM_CONTROL, 0, TI_SCR_MRBURSTDN | TI_SCR_MRBURSTUP, 0},
    {PCI_VENDOR_TI, 0xAC1E, 32, TI_SYSTEM_CONTROL, 0, TI_SCR_MRBURSTDN | TI_SCR_MRBURSTUP, 0},
    {PCI_VENDOR_TI, 0xAC1F, 32, TI_SYSTEM_CONTROL, 0, TI_SCR_MRBURSTDN | TI_SCR_MRBURSTUP, 0},
    {PCI_VENDOR_TI, 0xAC40, 32, TI_SYSTEM_CONTROL, 0, TI_SCR_MRBURSTDN | TI_SCR_MRBURSTUP, 0},
    {PCI_VENDOR_TI, 0xAC41, 32, TI_SYSTEM_CONTROL, 0, TI_SCR_MRBURSTDN | TI_SCR_MRBURSTUP, 0},
    {PCI_VENDOR_TI, 0xAC42, 32, TI_SYSTEM_CONTROL, 0, TI_SCR_MRBURSTDN | TI_SCR_MRBURSTUP, 0},
    {PCI_VENDOR_TI, 0xAC50, 32, TI_SYSTEM_CONTROL, 0, TI_SCR_MRBURSTDN | TI_SCR_MRBURSTUP, 0},
    {PCI_VENDOR_TI, 0xAC51, 32, TI_SYSTEM_CONTROL, 0, TI_SCR_MRBURSTDN | TI_SCR_MRBURSTUP, 0},
    {PCI_VENDOR_TI, 0xAC52, 32, TI_SYSTEM_CONTROL, 0, TI_SCR_MRBURSTDN | TI_SCR_MRBURSTUP, 0},

    /* Ricoh RL5C465/466/475/476/478: prefetching is off after reset, so every
     * read from the chassis waits a full round trip through the controller. */
    {PCI_VENDOR_RICOH, 0x0465, 16, RL5C4XX_CONFIG, 0, RL5C4XX_CONFIG_PREFETCH, PATCH_THIS_FUNCTION},
    {PCI_VENDOR_RICOH, 0x0466, 16, RL5C4XX_CONFIG, 0, RL5C4XX_CONFIG_PREFETCH, PATCH_THIS_FUNCTION},
    {PCI_VENDOR_RICOH, 0x0475, 16, RL5C4XX_CONFIG, 0, RL5C4XX_CONFIG_PREFETCH, PATCH_THIS_FUNCTION},
    {PCI_VENDOR_RICOH, 0x0476, 16, RL5C4XX_CONFIG, 0, RL5C4XX_CONFIG_PREFETCH, PATCH_THIS_FUNCTION},
    {PCI_VENDOR_RICOH, 0x0478, 16, RL5C4XX_CONFIG, 0, RL5C4XX_CONFIG_PREFETCH, PATCH_THIS_FUNCTION},

    /* Mobility Electronics link bridges, both ends of the cable: the link
     * comes up with bits 0 and 2 of its control byte clear, and the chassis
     * side then does not pass the cards' transactions on to the host. */
    {PCI_VENDOR_MOBILITY, 0x0001, 8, MOBILITY_LINK_CONTROL, 0, MOBILITY_LINK_BITS, PATCH_THIS_FUNCTION},
    {PCI_VENDOR_MOBILITY, 0x0002, 8, MOBILITY_LINK_CONTROL, 0, MOBILITY_LINK_BITS, PATCH_THIS_FUNCTION},

    /* ENE CB1211/CB1225/CB1410/CB1420: the test register leaves write posting
     * disabled and prefetching off for socket 0, and its latency-timer test
     * bit makes long bursts stall; then, as on the TI parts, the read-burst
     * bits of the system control register. */
    {PCI_VENDOR_ENE, 0x1211, 8, ENE_TEST_C9, ENE_TEST_C9_WPDISABLE_F0 | ENE_TEST_C9_TLTENABLE, ENE_TEST_C9_PFENABLE_F0,
     PATCH_THIS_FUNCTION},
    {PCI_VENDOR_ENE, 0x1211, 16, ENE_SYSTEM_CONTROL, 0, TI_SCR_MRBURSTDN | TI_SCR_MRBURSTUP, PATCH_THIS_FUNCTION},
    {PCI_VENDOR_ENE, 0x1225, 8, ENE_TEST_C9, ENE_TEST_C9_WPDISABLE_F0 | ENE_TEST_C9_TLTENABLE, ENE_TEST_C9_PFENABLE_F0,
     PATCH_THIS_FUNCTION},
    {PCI_VENDOR_ENE, 0x1225, 16, ENE_SYSTEM_CONTROL, 0, TI_SCR_MRBURSTDN | TI_SCR_MRBURSTUP, PATCH_THIS_FUNCTION},
    {PCI_VENDOR_ENE, 0x1410, 8, ENE_TEST_C9, ENE_TEST_C9_WPDISABLE_F0 | ENE_TEST_C9_TLTENABLE, ENE_TEST_C9_PFENABLE_F0,
     PATCH_THIS_FUNCTION},
    {PCI_VENDOR_ENE, 0x1410, 16, ENE_SYSTEM_CONTROL, 0, TI_SCR_MRBURSTDN | TI_SCR_MRBURSTUP, PATCH_THIS_FUNCTION},
    {PCI_VENDOR_ENE, 0x1420, 8, ENE_TEST_C9, ENE_TEST_C9_WPDISABLE_F0 | ENE_TEST_C9_TLTENABLE, ENE_TEST_C9_PFENABLE_F0,
     PATCH_THIS_FUNCTION},
    {PCI_VENDOR_ENE, 0x1420, 16, ENE_SYSTEM_CONTROL, 0, TI_SCR_MRBURSTDN | TI_SCR_MRBURSTUP, PATCH_THIS_FUNCTION},

    /* Intel 82801 mobile and desktop hub-to-PCI bridges, the host side of a
     * chassis plugged into a PCI slot or docking port: bit 2 of the bridge
     * configuration word is clear after reset, and the chassis's bus-master
     * reads then stall behind the hub interface. */
    {PCI_VENDOR_INTEL, 0x2448, 16, ICH_BRIDGE_CONFIG, 0, ICH_BRIDGE_CONFIG_BIT2, PATCH_THIS_FUNCTION},
    {PCI_VENDOR_INTEL, 0x244E, 16, ICH_BRIDGE_CONFIG, 0, ICH_BRIDGE_CONFIG_BIT2, PATCH_THIS_FUNCTION},

    /* ALi M1671 north bridge: the firmware's PCI-side control bytes make the
     * host bridge retry and disconnect the chassis's long transfers; 0x4B
     * gets bit 7 alone, 0x40 loses bits 2 and 3, 0x42 gets bits 2..6 and
     * loses bit 7. */
    {PCI_VENDOR_ALI, 0x1671, 8, ALI_CONTROL_4B, 0x0000007F, 0x00000080, PATCH_THIS_FUNCTION},
    {PCI_VENDOR_ALI, 0x1671, 8, ALI_CONTROL_40, 0x0000000C, 0x00000000, PATCH_THIS_FUNCTION},
    {PCI_VENDOR_ALI, 0x1671, 8, ALI_CONTROL_42, 0x00000080, 0x0000007C, PATCH_THIS_FUNCTION},

    /* ALi M1644 north bridge: the same trouble; 0x50 becomes exactly 0x01,
     * 0x40 loses bits 2 and 3, 0x41 trades bit 4 for bit 5, 0x42 becomes
     * exactly 0x0C and 0x44 gets its low nibble set and its high one clear. */
    {PCI_VENDOR_ALI, 0x1644, 8, ALI_CONTROL_50, 0xFFFFFFFE, 0x00000001, PATCH_THIS_FUNCTION},
    {PCI_VENDOR_ALI, 0x1644, 8, ALI_CONTROL_40, 0x0000000C, 0x00000000, PATCH_THIS_FUNCTION},
    {PCI_VENDOR_ALI, 0x1644, 8, ALI_CONTROL_41, 0x00000010, 0x00000020, PATCH_THIS_FUNCTION},
    {PCI_VENDOR_ALI, 0x1644, 8, ALI_CONTROL_42, 0xFFFFFFF3, 0x0000000C, PATCH_THIS_FUNCTION},
    {PCI_VENDOR_ALI, 0x1644, 8, ALI_CONTROL_44, 0x000000F0, 0x0000000F, PATCH_THIS_FUNCTION},

    {PATCH_END, PATCH_END, 0, 0, 0, 0, 0},
};

/*
 * Applies every row of the table that matches the device at (Bus, Device,
 * Function), in table order, each row seeing what the earlier rows left.
 * The identifiers are read anew for every row: a row may patch another
 * function of the device, and nothing is cached between rows.
 */
VOID PciPatching(UCHAR Bus, UCHAR Device, UCHAR Function)
{
    const PCI_PATCH *row;
    ULONG vendorId;
    ULONG deviceId;
    ULONG oldValue;
    ULONG newValue;
    UCHAR target;
    UCHAR offset;

    for (row = PciPatchTable; row->VendorId != PATCH_END && row->DeviceId != PATCH_END; row++) {
        vendorId = PciCfgRead16(Bus, Device, Function, CFG16_VENDOR_ID);
        deviceId = PciCfgRead16(Bus, Device, Function, CFG16_DEVICE_ID);
        if (vendorId != row->VendorId || deviceId != row->DeviceId)
            continue;

        target = row->Function != PATCH_THIS_FUNCTION ? (UCHAR)(row->Function & 0xFF) : Function;
        offset = (UCHAR)row->Offset;

        switch (row->Width) {
        case 8:
            oldValue = PciCfgRead8(Bus, Device, target, offset);
            break;
        case 16:
            oldValue = PciCfgRead16(Bus, Device, target, offset);
            break;
        case 32:
            oldValue = PciCfgRead32(Bus, Device, target, offset);
            break;
        default:
            continue;
        }

        newValue = (oldValue & ~row->ClearMask) | row->SetBits;
        if (newValue == oldValue)
            continue;

        switch (row->Width) {
        case 8:
            PciCfgWrite8(Bus, Device, target, offset, (UCHAR)newValue);
            break;
        case 16:
            PciCfgWrite16(Bus, Device, target, offset, (USHORT)newValue);
            break;
        default:
            PciCfgWrite32(Bus, Device, target, offset, newValue);
            break;
        }
        DebugPrint("PciPatching 0x%04x-%04x @ %x-%x-%x off 0x%02x\n", vendorId, deviceId, (ULONG)Bus, (ULONG)Device,
                   (ULONG)target, (ULONG)offset);
    }
}
