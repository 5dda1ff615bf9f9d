/*
 * pci_regs.h - configuration-space registers of a PCI function: the header
 * every function has, the PCI-to-PCI bridge layout (header type 1) and the
 * CardBus bridge layout (header type 2), after PCI Local Bus, rev. 3.0, 6.1
 * and 6.2, PCI-to-PCI Bridge Architecture, rev. 1.2, 3.2, and the PC Card
 * Standard's PCI-to-CardBus bridge register description.
 *
 * Each register is named with the width it is accessed at: CFG8_, CFG16_ or
 * CFG32_ in front of the name (a register read at two widths, such as the
 * bus numbers, has a name for each). Registers of both bridge layouts at the
 * same place carry BRIDGE in their name, those of one layout P2P or CB.
 * Values of a register's fields follow the register, indented.
 *
 * Plain integer constants, with nothing of the platform: the driver, the
 * simulated PC and the tools include this one header.
 */
#ifndef TOLMU_PCI_REGS_H
#define TOLMU_PCI_REGS_H

/* ---- Every function (offsets 0x00 to 0x0F of all layouts, and the interrupt) ---- */
#define CFG32_ID 0x00 /* device id above vendor id */
#define CFG16_VENDOR_ID 0x00
#define  CFG_VENDOR_ID_NONE 0xFFFF /* no function answers */
#define CFG16_DEVICE_ID 0x02
#define CFG16_COMMAND 0x04
#define  CFG_COMMAND_IO 0x0001     /* I/O space enable */
#define  CFG_COMMAND_MEMORY 0x0002 /* memory space enable */
#define  CFG_COMMAND_MASTER 0x0004 /* bus master enable */
#define CFG16_STATUS 0x06
#define CFG32_CLASS_REVISION 0x08 /* class code above the revision */
#define  CFG_CLASS_MASK 0xFFFF0000           /* base class and subclass */
#define  CFG_CLASS_BRIDGE_PCI 0x06040000     /* base class and subclass, in place */
#define  CFG_CLASS_BRIDGE_CARDBUS 0x06070000 /* base class and subclass, in place */
#define  CFG_CLASS_CODE_MASK 0xFFFFFF00      /* base class, subclass and interface */
#define  CFG_CLASS_VGA 0x03000000            /* base class, subclass and interface, in place */
#define CFG8_REVISION 0x08
#define CFG8_PROG_IF 0x09
#define CFG8_SUB_CLASS 0x0A
#define  CFG_SUB_CLASS_PCI_BRIDGE 0x04
#define  CFG_SUB_CLASS_CARDBUS_BRIDGE 0x07
#define CFG8_BASE_CLASS 0x0B
#define  CFG_BASE_CLASS_BRIDGE 0x06
#define CFG16_CLASS 0x0A /* sub class, base class above it */
#define CFG8_CACHE_LINE_SIZE 0x0C
#define CFG8_LATENCY_TIMER 0x0D
#define CFG16_CACHE_LINE_AND_LATENCY 0x0C /* cache line size, latency timer above it */
#define CFG8_HEADER_TYPE 0x0E
#define  CFG_HEADER_MULTI_FUNCTION 0x80
#define  CFG_HEADER_LAYOUT_MASK 0x7F
#define  CFG_HEADER_LAYOUT_DEVICE 0
#define  CFG_HEADER_LAYOUT_PCI_BRIDGE 1
#define  CFG_HEADER_LAYOUT_CARDBUS 2
#define CFG8_BIST 0x0F
/* At the same place in all three layouts: */
#define CFG8_INTERRUPT_LINE 0x3C
#define CFG8_INTERRUPT_PIN 0x3D

/* ---- Ordinary function (header type 0) ---- */
#define CFG32_BAR0 0x10 /* six base address registers */
#define CFG_BAR_COUNT 6
#define CFG32_BAR(index) (CFG32_BAR0 + 4 * (index))
#define  CFG_BAR_IO_SPACE 0x01
#define  CFG_BAR_MEM_TYPE_MASK 0x07 /* I/O bit and memory type: 0x04 is a 64-bit memory BAR */
#define  CFG_BAR_MEM_TYPE_64 0x04
#define  CFG_BAR_MEM_PREFETCH 0x08
#define CFG32_CARDBUS_CIS 0x28
#define CFG16_SUBSYSTEM_VENDOR_ID 0x2C
#define CFG16_SUBSYSTEM_ID 0x2E
#define CFG32_ROM 0x30
#define CFG8_CAPABILITIES 0x34
#define CFG8_MIN_GNT 0x3E
#define CFG8_MAX_LAT 0x3F

/* ---- Both bridge layouts ---- */
#define CFG32_BRIDGE_BUS_NUMBERS 0x18 /* primary, secondary, subordinate, secondary latency */
#define CFG8_BRIDGE_PRIMARY_BUS 0x18
#define CFG8_BRIDGE_SECONDARY_BUS 0x19 /* the CardBus bus on a CardBus bridge */
#define CFG8_BRIDGE_SUBORDINATE_BUS 0x1A
#define CFG8_BRIDGE_SECONDARY_LATENCY 0x1B /* the CardBus latency timer on a CardBus bridge */
#define CFG16_BRIDGE_CONTROL 0x3E
#define  CFG_BRIDGE_CONTROL_PARITY 0x0001
#define  CFG_BRIDGE_CONTROL_SERR 0x0002
#define  CFG_BRIDGE_CONTROL_ISA 0x0004
#define  CFG_BRIDGE_CONTROL_VGA 0x0008
#define  CFG_P2P_CONTROL_VGA16 0x0010     /* PCI-to-PCI: VGA palette and 16-bit VGA decode */
#define  CFG_BRIDGE_CONTROL_MASTER_ABORT 0x0020
#define  CFG_BRIDGE_CONTROL_RESET 0x0040
#define  CFG_CB_CONTROL_ISA_IRQ 0x0080     /* CardBus: functional interrupts routed to ISA */
#define  CFG_CB_CONTROL_PREFETCH0 0x0100   /* CardBus: memory window 0 prefetchable */
#define  CFG_CB_CONTROL_PREFETCH1 0x0200   /* CardBus: memory window 1 prefetchable */
#define  CFG_CB_CONTROL_POSTWRITES 0x0400  /* CardBus: write posting enable */

/* ---- PCI-to-PCI bridge (header type 1) ---- */
#define CFG_P2P_BAR_COUNT 2 /* at CFG32_BAR0 */
#define CFG8_P2P_IO_BASE 0x1C  /* bits 15..12 of the address in bits 7..4 */
#define CFG8_P2P_IO_LIMIT 0x1D
#define  CFG_P2P_IO_32 0x01    /* in the low bits of base and limit: upper 16 bits in CFG16_P2P_IO_*_UPPER */
#define CFG16_P2P_SECONDARY_STATUS 0x1E
#define CFG16_P2P_MEMORY_BASE 0x20 /* bits 31..20 of the address in bits 15..4 */
#define CFG16_P2P_MEMORY_LIMIT 0x22
#define CFG16_P2P_PREFETCH_BASE 0x24
#define CFG16_P2P_PREFETCH_LIMIT 0x26
#define  CFG_P2P_PREFETCH_64 0x01 /* in the low bits of base and limit: upper 32 bits below */
#define CFG32_P2P_PREFETCH_BASE_UPPER 0x28
#define CFG32_P2P_PREFETCH_LIMIT_UPPER 0x2C
#define CFG16_P2P_IO_BASE_UPPER 0x30
#define CFG16_P2P_IO_LIMIT_UPPER 0x32
#define CFG8_P2P_CAPABILITIES 0x34
#define CFG32_P2P_ROM 0x38

/* ---- CardBus bridge (header type 2) ---- */
#define CFG_CB_BAR_COUNT 1 /* at CFG32_BAR0 */
#define CFG32_CB_SOCKET_BASE 0x10 /* socket/ExCA register window */
#define CFG8_CB_CAPABILITIES 0x14
#define CFG16_CB_SECONDARY_STATUS 0x16
#define CFG32_CB_MEMORY_BASE0 0x1C
#define CFG32_CB_MEMORY_LIMIT0 0x20
#define CFG32_CB_MEMORY_BASE1 0x24
#define CFG32_CB_MEMORY_LIMIT1 0x28
#define CFG32_CB_IO_BASE0 0x2C
#define CFG32_CB_IO_LIMIT0 0x30
#define CFG32_CB_IO_BASE1 0x34
#define CFG32_CB_IO_LIMIT1 0x38
#define CFG16_CB_SUBSYSTEM_VENDOR_ID 0x40
#define CFG16_CB_SUBSYSTEM_ID 0x42
#define CFG32_CB_LEGACY_BASE 0x44 /* 16-bit PC Card legacy mode base */

#endif /* TOLMU_PCI_REGS_H */
