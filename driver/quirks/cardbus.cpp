/*
 * cardbus.cpp - register settings the start sequence makes itself: PCI
 * timers of every device, bridge control bits of CardBus bridges, and the
 * vendor-specific registers of Texas Instruments, O2Micro and Toshiba
 * (ToPIC) CardBus controllers; on checked builds, the length of the I/O
 * ranges handed to PCI-to-PCI bridges.
 *
 * Every configuration access goes through the lower driver on the filter
 * device, so it reaches the controller this filter device sits on. The
 * O2Micro settings alone live in the controller's memory-mapped socket/ExCA
 * window.
 */
#include "quirks/quirks.h"
#include "core/config.h"
#include "core/debug.h"
#include "pci/pci_direct.h"
#include "pci/pci_lower.h"
#include "pci/pci_regs.h"
#include "pnp/pnp.h"

/* Cache line size and latency timer as one word: 0x10 double words of cache
 * line, 0xF8 clocks on the bus before giving it up. */
#define PCI_TIMERS_VALUE 0xF810
/* Secondary (or CardBus) latency timer of a bridge. */
#define BRIDGE_LATENCY_VALUE 0xF8

/* O2Micro CardBus controllers */
#define VENDOR_O2MICRO 0x1217
#define O2MICRO_OZ6933 0x6933 /* has no socket register window to fix */

/* Texas Instruments CardBus controllers */
#define TI_VENDOR_ID 0x104C
#define TI1420_DEVICE_ID 0xAC51
#define TI1131_DEVICE_ID 0xAC15
#define TI_SYSTEM_CONTROL_HIGH 0x82 /* 16 bit: upper half of the system control register */
#define  TI1420_SCR_HIGH_VALUE 0x0844
#define TI_MFUNC_LOW 0x8C           /* 16 bit: multifunction terminals 0..3 */
#define  TI1420_MFUNC_LOW_VALUE 0xCD22  /* INTA on MFUNC0, INTB on MFUNC1, serial IRQ on MFUNC3 */
#define TI_MFUNC_HIGH 0x8E          /* 16 bit: multifunction terminals 4..7 */
#define  TI1420_MFUNC_HIGH_VALUE 0x0ECB
#define TI_DEVICE_CONTROL 0x92      /* 8 bit, with the diagnostic register 0x93 above it */
#define  TI1420_DEVCTL_DIAG_VALUE 0x6166 /* device control 0x66, diagnostic 0x61 */
#define TI1131_ROUTING_0 0x8C       /* 8 bit */
#define  TI1131_ROUTING_0_VALUE 0xC7
#define TI1131_ROUTING_1 0x8D       /* 8 bit */
#define  TI1131_ROUTING_1_VALUE 0xD1
#define TI1131_ROUTING_2 0x8E       /* 8 bit */
#define  TI1131_ROUTING_2_VALUE 0x07

/* O2Micro CardBus controllers: registers of the 4 KB socket/ExCA window */
#define O2_WINDOW_LENGTH 0x1000
#define O2_SOCKET_TUNING 0x028 /* 32 bit, socket register area */
#define  O2_SOCKET_TUNING_BITS 0x0C00 /* bits 10 and 11 */
#define O2_EXCA_FIFO 0x83D     /* 8 bit: ExCA register 0x3D, FIFO enable */
#define  O2_EXCA_FIFO_BITS 0xC0 /* bits 6 and 7 */

/* Toshiba ToPIC CardBus controllers */
#define TOPIC_REGISTER_CONTROL 0xAF /* 8 bit: top byte of the register control double word */
#define  TOPIC_REGISTER_CONTROL_VALUE 0x01
#define TOPIC_SLOT_CONTROL 0xB0     /* 8 bit */
#define TOPIC_CARD_CONTROL 0xB5     /* 8 bit */
#define TOPIC_POWER_CONTROL 0xB6    /* 8 bit: power and clock control */
#define  TOPIC_POWER_CONTROL_VALUE 0x00

/* Keeps a register's value in the list of start settings for the power-up. */
static VOID keepStartSetting(PDEVICE_EXTENSION Extension, ULONG Offset, ULONG Width, USHORT Value)
{
    START_SETTING *setting;

    if (Extension->StartSettingCount >= START_SETTINGS_MAX)
        return;
    setting = &Extension->StartSettings[Extension->StartSettingCount++];
    setting->Offset = (UCHAR)Offset;
    setting->Width = (UCHAR)Width;
    setting->Value = Value;
}

/* Writes a byte or a word of the device's configuration space by the path
 * given. Through the configuration ports nothing can fail. */
static NTSTATUS writeConfig(PDEVICE_EXTENSION Extension, CONFIG_PATH Path, ULONG Offset, ULONG Width, USHORT Value)
{
    if (Path == CONFIG_THROUGH_PORTS) {
        UCHAR bus = (UCHAR)Extension->Bus, device = (UCHAR)Extension->Device, function = (UCHAR)Extension->Function;

        if (Width == 1)
            PciCfgWrite8(bus, device, function, (UCHAR)Offset, (UCHAR)Value);
        else
            PciCfgWrite16(bus, device, function, (UCHAR)Offset, Value);
        return STATUS_SUCCESS;
    }
    return Width == 1 ? WritePCIConfigB(Extension->DeviceObject, Offset, (UCHAR)Value)
                      : WritePCIConfigW(Extension->DeviceObject, Offset, Value);
}

/* Writes a register of the device through its own stack and, when the bus
 * driver took it, keeps it for the power-up. */
static VOID writeStartSetting(PDEVICE_EXTENSION Extension, ULONG Offset, ULONG Width, USHORT Value)
{
    if (NT_SUCCESS(writeConfig(Extension, CONFIG_THROUGH_STACK, Offset, Width, Value)))
        keepStartSetting(Extension, Offset, Width, Value);
}

/* Low byte of a location field: 0xFF there means the location is unknown. */
#define UNKNOWN_LOCATION_BYTE 0xFF

/*
 * Cache line size and latency timer of every started device; bridges also
 * get a long latency timer on their secondary (or CardBus) side, so bursts
 * through the adapter are not cut short. A power cycle resets them: the
 * start sequence writes them through the device's stack, the power-up
 * completion writes them again through the configuration ports.
 */
VOID setLatencyTimers(PDEVICE_EXTENSION Extension, CONFIG_PATH Path)
{
    writeConfig(Extension, Path, CFG16_CACHE_LINE_AND_LATENCY, 2, PCI_TIMERS_VALUE);
    if (Extension->BridgeType != BRIDGE_TYPE_OTHER)
        writeConfig(Extension, Path, CFG8_BRIDGE_SECONDARY_LATENCY, 1, BRIDGE_LATENCY_VALUE);
}

/*
 * What a power cycle takes from every device and both the start sequence
 * and the power-up completion write alike, by the path given: the patch
 * table's registers (through the configuration ports, so only where the
 * location is known) and the PCI timers. Through the ports nothing at all is
 * written at an unknown location.
 */
VOID setPowerLostSettings(PDEVICE_EXTENSION Extension, CONFIG_PATH Path)
{
    if (LocationKnown(Extension))
        PciPatching((UCHAR)Extension->Bus, (UCHAR)Extension->Device, (UCHAR)Extension->Function);
    else if (Path == CONFIG_THROUGH_PORTS)
        return;
    setLatencyTimers(Extension, Path);
}

/*
 * Prefetching of memory window 1 and write posting on a CardBus bridge. The
 * register is written only when one of the two bits is missing, and every
 * other bit goes back as it was read. A failed read gives all-ones, which
 * has both bits, so nothing is written then.
 */
VOID setCbBridgeControl(PDEVICE_EXTENSION Extension, PDEVICE_OBJECT FilterDevice)
{
    USHORT control;
    const USHORT wanted = CFG_CB_CONTROL_PREFETCH1 | CFG_CB_CONTROL_POSTWRITES;

    if ((Extension->Bus & 0xFF) == UNKNOWN_LOCATION_BYTE || (Extension->Device & 0xFF) == UNKNOWN_LOCATION_BYTE ||
        (Extension->Function & 0xFF) == UNKNOWN_LOCATION_BYTE)
        return;

    control = ReadPCIConfigW(FilterDevice, CFG16_BRIDGE_CONTROL);
    if ((control & wanted) == wanted) {
        /* Already set (by an earlier start): still what a power-up must
         * bring back. A failed read is no value to bring back. */
        if (control != 0xFFFF)
            keepStartSetting(Extension, CFG16_BRIDGE_CONTROL, 2, control);
        return;
    }
    writeStartSetting(Extension, CFG16_BRIDGE_CONTROL, 2, (USHORT)(control | wanted));
}

/*
 * O2Micro controllers keep their socket tuning in the socket/ExCA window, not
 * in configuration space. Map the window, set the two groups of bits, report
 * them before and after, and always release the mapping again: this also
 * runs from the power-up completion, every time the controller returns to
 * D0. Any other device, and an OZ6933 (no such window to fix), is left alone
 * without a word.
 */
VOID setO2MicroBits(PDEVICE_EXTENSION Extension)
{
    PHYSICAL_ADDRESS physical;
    PUCHAR window;
    PULONG tuning;
    PUCHAR fifo;
    ULONG tuningValue;
    UCHAR fifoValue;

    if ((Extension->Flags & CB_BRIDGE) == 0 || Extension->VenId != VENDOR_O2MICRO ||
        Extension->DevId == O2MICRO_OZ6933)
        return;
    if (GetIgnoreO2() != 0) {
        DebugPrint("WARNING setO2MicroBits: ignoring O2Micro hack...\n");
        return;
    }
    if (Extension->ExCa == 0xFFFFFFFF) {
        DebugPrint("WARNING setO2MicroBits: ExCa == -1\n");
        return;
    }

    physical.QuadPart = 0;
    physical.u.LowPart = Extension->ExCa;
    window = (PUCHAR)MmMapIoSpace(physical, O2_WINDOW_LENGTH, MmNonCached);
    if (window == 0)
        return;

    tuning = (PULONG)(window + O2_SOCKET_TUNING);
    fifo = window + O2_EXCA_FIFO;

    /* Read into locals: the order of the accesses is then the written one,
     * not the compiler's choice of argument order. */
    tuningValue = READ_REGISTER_ULONG(tuning);
    fifoValue = READ_REGISTER_UCHAR(fifo);
    DebugPrint("setO2MicroBits: before [0x%08lx and 0x%02X]\n", tuningValue, (ULONG)fifoValue);

    tuningValue = READ_REGISTER_ULONG(tuning);
    WRITE_REGISTER_ULONG(tuning, tuningValue | O2_SOCKET_TUNING_BITS);
    fifoValue = READ_REGISTER_UCHAR(fifo);
    WRITE_REGISTER_UCHAR(fifo, (UCHAR)(fifoValue | O2_EXCA_FIFO_BITS));

    tuningValue = READ_REGISTER_ULONG(tuning);
    fifoValue = READ_REGISTER_UCHAR(fifo);
    DebugPrint("setO2MicroBits: after  [0x%08lx and 0x%02X]\n", tuningValue, (ULONG)fifoValue);

    MmUnmapIoSpace(window, O2_WINDOW_LENGTH);
}

/*
 * A CardBus controller found behind the adapter (not the adapter's own
 * controller) comes up with its multifunction terminals routed for a
 * notebook motherboard; the chassis wires them differently, and without the
 * new routing the cards behind it get no interrupts. The values replace the
 * registers whole.
 */
VOID hackCbBridge(PDEVICE_EXTENSION Extension)
{
    if ((Extension->Flags & CB_BRIDGE) == 0 || (Extension->Flags & ROOT) != 0)
        return;
    DebugPrint("hackCbBridge: Found External PCI/CardBus Adapter\n");

    if (Extension->VenId == TI_VENDOR_ID && Extension->DevId == TI1420_DEVICE_ID) {
        DebugPrint("hackCbBridge: Patching TI1420 Control Registers\n");
        writeStartSetting(Extension, TI_MFUNC_LOW, 2, TI1420_MFUNC_LOW_VALUE);
        writeStartSetting(Extension, TI_MFUNC_HIGH, 2, TI1420_MFUNC_HIGH_VALUE);
        writeStartSetting(Extension, TI_DEVICE_CONTROL, 2, TI1420_DEVCTL_DIAG_VALUE);
        writeStartSetting(Extension, TI_SYSTEM_CONTROL_HIGH, 2, TI1420_SCR_HIGH_VALUE);
    }
    if (Extension->VenId == TI_VENDOR_ID && Extension->DevId == TI1131_DEVICE_ID) {
        DebugPrint("hackCbBridge: Patching TI1131 Control Registers\n");
        writeStartSetting(Extension, TI1131_ROUTING_0, 1, TI1131_ROUTING_0_VALUE);
        writeStartSetting(Extension, TI1131_ROUTING_1, 1, TI1131_ROUTING_1_VALUE);
        writeStartSetting(Extension, TI1131_ROUTING_2, 1, TI1131_ROUTING_2_VALUE);
    }
}

/* The ToPIC registers as the firmware left them, for the record. */
VOID noteToshibaSettings(PDEVICE_EXTENSION Extension)
{
    PDEVICE_OBJECT device = Extension->DeviceObject;

    DebugPrint("noteToshibaSettings: 0xAF = 0x%02X\n", (ULONG)ReadPCIConfigB(device, TOPIC_REGISTER_CONTROL));
    DebugPrint("noteToshibaSettings: 0xB0 = 0x%02X\n", (ULONG)ReadPCIConfigB(device, TOPIC_SLOT_CONTROL));
    DebugPrint("noteToshibaSettings: 0xB5 = 0x%02X\n", (ULONG)ReadPCIConfigB(device, TOPIC_CARD_CONTROL));
    DebugPrint("noteToshibaSettings: 0xB6 = 0x%02X\n", (ULONG)ReadPCIConfigB(device, TOPIC_POWER_CONTROL));
}

/*
 * Toshiba ToPIC: the firmware leaves the register control byte and the power
 * and clock control byte set for a PC Card socket; the adapter behind the
 * controller needs 0x01 in the one and 0x00 in the other.
 */
VOID setToPICBites(PDEVICE_EXTENSION Extension)
{
    if (GetIgnoreToshiba() != 0) {
        DebugPrint("WARNING setToPICBites: ignoring ToPIC hack...\n");
        return;
    }
    writeStartSetting(Extension, TOPIC_REGISTER_CONTROL, 1, TOPIC_REGISTER_CONTROL_VALUE);
    writeStartSetting(Extension, TOPIC_POWER_CONTROL, 1, TOPIC_POWER_CONTROL_VALUE);
}

/*
 * A return to D0 from a low-power state resets the function's bridge control
 * and vendor-defined registers; the bus driver restores only what it set
 * itself. The start sequence's own settings are written again here, through
 * the configuration ports: this runs in the power-up completion, where no
 * request may be waited for.
 */
VOID restoreStartSettings(PDEVICE_EXTENSION Extension)
{
    ULONG i;

    for (i = 0; i < Extension->StartSettingCount && i < START_SETTINGS_MAX; i++) {
        const START_SETTING *setting = &Extension->StartSettings[i];

        writeConfig(Extension, CONFIG_THROUGH_PORTS, setting->Offset, setting->Width, setting->Value);
    }
}

/*
 * Checked builds of the system hand PCI-to-PCI bridges I/O ranges shorter
 * than the bridge's 4 KB window granularity; give every I/O range of the list
 * the new length, keeping its start.
 */
VOID hackIoLength(PCM_RESOURCE_LIST List, ULONG NewLength)
{
    PCM_FULL_RESOURCE_DESCRIPTOR full;
    PCM_PARTIAL_RESOURCE_DESCRIPTOR partial;
    ULONG i;
    ULONG j;

    if (List == 0)
        return;

    full = &List->List[0];
    for (i = 0; i < List->Count; i++) {
        partial = &full->PartialResourceList.PartialDescriptors[0];
        for (j = 0; j < full->PartialResourceList.Count; j++, partial++) {
            if (partial->Type != CmResourceTypePort)
                continue;
            DebugPrint("hackIoLength old = 0x%x new = 0x%x\n", partial->u.Port.Length, NewLength);
            partial->u.Port.Length = NewLength;
        }
        /* The next full descriptor starts right after this one's partials. */
        full = (PCM_FULL_RESOURCE_DESCRIPTOR)partial;
    }
}
