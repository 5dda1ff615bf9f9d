/*
 * bus_map.h - which bus numbers the bridges of the machine route now, read
 * from their registers through the configuration ports.
 *
 * Before an enumeration hands out bus numbers or widens a bridge's
 * subordinate number, it must know which numbers other bridges already
 * route: a number claimed by two bridges on one bus makes both forward the
 * same configuration cycles. The operating system's records do not tell
 * (the host's own bridges are not filtered, and the probe numbers bridges
 * the operating system has not seen yet), so the map is read from the
 * hardware: every bus reachable from the root buses is scanned for bridges,
 * and every bus number no bridge leads to is tried for a peer host bridge.
 */
#ifndef TOLMU_BUS_MAP_H
#define TOLMU_BUS_MAP_H

#include "tolmu_platform.h"

#define BUS_MAP_MAX_BRIDGES 256
#define BUS_MAP_NONE 0xFFFF

/* One bridge as its registers stand. */
typedef struct _BusMapBridge {
    UCHAR bus; /* where it sits */
    UCHAR device;
    UCHAR function;
    UCHAR secBus; /* 0: unnumbered, forwards nothing */
    UCHAR subBus;
    USHORT parent; /* the bridge in front of it; BUS_MAP_NONE on a root bus */
} BusMapBridge;

typedef struct _BusMap {
    ULONG count;
    BOOLEAN complete;   /* FALSE: more bridges than the map holds */
    UCHAR roots[32];    /* bit n: a host bridge answers for bus n */
    UCHAR scanned[32];  /* bit n: bus n was scanned */
    BusMapBridge bridges[BUS_MAP_MAX_BRIDGES];
} BusMap;

/* Reads the map from the hardware (pool memory; null when there is none). */
BusMap *busMapBuild(VOID);
VOID busMapFree(BusMap *map);

/* The index of the bridge at bus:device.function, or -1. */
LONG busMapFind(const BusMap *map, ULONG bus, ULONG device, ULONG function);

/* TRUE when bridge a is in front of bridge b (a routes b's bus). */
BOOLEAN busMapIsAbove(const BusMap *map, ULONG a, ULONG b);

/* For the subtree of bridge self: taken[n] is not 0 when bus number n may
 * not be used below it nor covered by widening the bridges above it - a
 * root bus, the bus of a bridge above it, a number routed by a bridge
 * beside it, or a number of a peer root above its own root. */
VOID busMapTaken(const BusMap *map, ULONG self, UCHAR taken[256]);

#endif /* TOLMU_BUS_MAP_H */
