/*
 * iomgr_records.h - the I/O manager's own records of drivers, devices and
 * requests, shared by its three files: iomgr.cpp (the records, the calls
 * running now, descriptions, the end-of-test check, reset), iomgr_device.cpp
 * (driver and device objects, stacks, references, properties, AddDevice) and
 * iomgr_irp.cpp (requests: allocation, IofCallDriver, IofCompleteRequest).
 * Not for the driver, the simulated PC or tests: they use iomgr.h.
 */
#ifndef TOLMU_STANDIN_IOMGR_RECORDS_H
#define TOLMU_STANDIN_IOMGR_RECORDS_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "iomgr.h"

namespace standin::iorecords {

struct DriverBlock {
    DRIVER_OBJECT object;
    DRIVER_EXTENSION extension;
    std::u16string name;
    std::string narrowName;
};

struct DeviceRecord {
    void *block = nullptr;
    size_t extensionSize = 0;
    bool deleted = false;
    PDEVICE_OBJECT attachedTo = nullptr;
    std::string name;
    std::string driverName;
    bool leakReported = false;
    bool attachedReported = false;
    /* Attached to a PDO outside any AddDevice (a bus filter, as Driver
     * Verifier calls it), and the bottom of the stack it attached to. */
    bool busFilter = false;
    PDEVICE_OBJECT stackPdo = nullptr;
};

struct IrpRecord {
    IrpState state = IrpState::Allocated;
    bool synchronous = false;
    bool ownMemory = true; /* false: a request a test built by hand */
    bool everSent = false;
    bool holdAfterMoreProcessing = false; /* a completion routine kept it */
    bool leftoverReported = false;
    int routinesRunning = 0; /* completion routines running for it now */
    int completions = 0;
    NTSTATUS finalStatus = STATUS_SUCCESS;
    size_t size = 0;
    /* Per stack location (index = location number), for its current trip:
     * the location was marked pending; completion has walked past it; its
     * dispatch routine returned STATUS_PENDING before either happened, so the
     * mark is checked when completion reaches the location (a driver without
     * completion routine gets the mark from the I/O manager then). */
    std::vector<bool> pendingMarked;
    std::vector<bool> walkedPast;
    std::vector<bool> awaitingMark;
    /* IoStatus.Status as completion walked past the location. */
    std::vector<NTSTATUS> walkedStatus;

    void SizeLocations(int stackCount)
    {
        pendingMarked.assign(stackCount + 2, false);
        walkedPast.assign(stackCount + 2, false);
        awaitingMark.assign(stackCount + 2, false);
        walkedStatus.assign(stackCount + 2, STATUS_SUCCESS);
    }
};

/* A driver running for a request: its dispatch routine, or the completion
 * routine it set for the location below its own. */
struct ActiveCall {
    PIRP irp; /* null for an AddDevice call */
    PDEVICE_OBJECT device;
    int location;
    uint64_t serial;
    UCHAR major, minor; /* of the request at the driver's location when called */
};

/* An attach whose flags are checked once the call that made it (dispatch
 * routine, completion routine, AddDevice; serial 0: none) has returned. */
struct PendingAttach {
    PDEVICE_OBJECT device;
    PDEVICE_OBJECT lower;
    uint64_t frame;
    bool filter;    /* a filter must look like the device below it */
    bool busFilter; /* attached outside AddDevice: DO_DEVICE_INITIALIZING checked here too */
};

struct AddDeviceScope {
    uint64_t serial;
    AddDeviceRole role;
    PDEVICE_OBJECT pdo;
    std::vector<PDEVICE_OBJECT> created;
};


extern std::map<PDRIVER_OBJECT, std::unique_ptr<DriverBlock>> drivers;
extern std::map<PDEVICE_OBJECT, DeviceRecord> devices;
extern std::map<PVOID, LONG> references;
extern std::map<PDEVICE_OBJECT, DevicePropertyProvider> propertyProviders;
extern std::map<PIRP, IrpRecord> irps;
extern std::vector<ActiveCall> activeCalls;
extern uint64_t nextCallSerial;
extern std::vector<PendingAttach> pendingAttaches;
extern std::vector<AddDeviceScope> addScopes;

/* Failure injection (iomgr.h). */
extern NTSTATUS createDeviceStatus;
extern bool attachFails;
extern bool irpAllocationFails;
extern bool attachedReferenceFails;

DeviceRecord *FindDevice(PDEVICE_OBJECT device);
IrpRecord *FindIrp(PIRP irp);
/* Stack location number location (1-based) of the request. */
PIO_STACK_LOCATION LocationAt(PIRP irp, int location);
/* A deleted device whose request or query arrives: the finding, true when
 * the caller must not go on. */
bool RefuseDeletedDevice(PDEVICE_OBJECT device, const char *what);
/* A driver starts running for the request (null: an AddDevice call) at that
 * location; returns the call's serial. The caller pops it when it returns. */
uint64_t PushCall(PIRP irp, PDEVICE_OBJECT device, int location);
/* Check the attaches whose call has returned (iomgr_device.cpp). */
void CheckDueAttaches();

} // namespace standin::iorecords

#endif /* TOLMU_STANDIN_IOMGR_RECORDS_H */
