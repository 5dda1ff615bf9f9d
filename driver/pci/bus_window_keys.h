/*
 * bus_window_keys.h - the keys the PCI bus driver puts in a requirements
 * list: behind the descriptors of each bridge window (the preferred one and
 * its alternatives) and behind each BAR's descriptor of an ordinary function
 * stands a device-private descriptor whose three data words name what the
 * descriptors in front of it are for.
 *
 * Plain integer constants, with nothing of the platform: the driver's
 * resource filter, the simulated bus driver that produces the keys and the
 * simulated PnP manager include this one header.
 */
#ifndef TOLMU_BUS_WINDOW_KEYS_H
#define TOLMU_BUS_WINDOW_KEYS_H

/* A bridge window: first word 1, second word the window, third word 0. */
#define BUS_WINDOW_KEY0 1
#define BUS_WINDOW_KEY2 0
/* PCI-to-PCI bridge: second word 2 = I/O, 3 = memory, 4 = prefetchable. */
#define BUS_P2P_KEY_IO 2
#define BUS_P2P_KEY_MEMORY 3
#define BUS_P2P_KEY_PREFETCH 4
/* CardBus bridge: second word 1 = memory, 2 = prefetchable, 3 = I/O. */
#define BUS_CB_KEY_MEMORY 1
#define BUS_CB_KEY_PREFETCH 2
#define BUS_CB_KEY_IO 3

/* A BAR of an ordinary function: first word 0, second word the BAR's index
 * (0 to 5), third word 0. */
#define BUS_BAR_KEY0 0
#define BUS_BAR_INDEX_WORD 1

#endif /* TOLMU_BUS_WINDOW_KEYS_H */
