/*
 * iomgr.h - control surface of the stand-in's I/O manager, dispatcher
 * objects, power manager and memory-mapped register windows.
 *
 * The driver sees only the Windows routines of ntddk_host.h. The simulated
 * bus driver, the simulated PnP manager and the tests use this header to make
 * driver objects, give physical device objects their properties, queue the
 * work a pending lower driver finishes later, register register windows, and
 * look at the state of devices and requests.
 *
 * The rules the I/O manager checks, each reported as a finding (standin.h)
 * with the request or device it concerns:
 *   NO_MORE_STACK_LOCATIONS          IofCallDriver with no stack location left
 *   CALL_INTO_DELETED_DEVICE         a request or query sent to a deleted device
 *   PENDING_NOT_MARKED               STATUS_PENDING returned, stack location not marked pending
 *   COMPLETE_WITH_STATUS_PENDING     IofCompleteRequest with IoStatus.Status STATUS_PENDING
 *   IRP_COMPLETED_TWICE              IofCompleteRequest on a request already completed
 *   IRP_TOUCHED_AFTER_COMPLETION     a driver used a request after it was completed all the way up
 *   IRP_NEVER_COMPLETED_AFTER_MORE_PROCESSING
 *                                    STATUS_MORE_PROCESSING_REQUIRED, then never completed or freed
 *   SYNCHRONOUS_IRP_NEVER_COMPLETED  an IoBuildSynchronousFsdRequest request never completed
 *   SYNCHRONOUS_IRP_FREED_BY_DRIVER  IoFreeIrp on a request the I/O manager frees itself
 *   IRP_FREED_WHILE_IN_USE           IoFreeIrp on a request still owned by a lower driver
 *   IRP_FREED_TWICE                  IoFreeIrp on a request already freed
 *   IRP_FREED_WITHOUT_MORE_PROCESSING a completion routine freed the request and returned
 *                                    something other than STATUS_MORE_PROCESSING_REQUIRED
 *   PNP_IRP_STATUS_NOT_PRESET        a PnP request first sent without IoStatus.Status
 *                                    preset to STATUS_NOT_SUPPORTED
 *   NO_DISPATCH_ROUTINE              the target's driver has no routine for the major function
 *   IRP_REUSED_WHILE_IN_USE          ReuseIrp on a request a driver still owns
 *   FREE_OF_UNKNOWN_IRP, DELETE_OF_UNKNOWN_DEVICE
 *                                    objects the I/O manager never made
 *   UNMODELLED_SYNCHRONOUS_REQUEST   IoBuildSynchronousFsdRequest for a data transfer
 *   DELETE_WITH_ATTACHED_DEVICE      a device deleted under an attached device that never
 *                                    detached from it (reported by CheckIoLeftovers)
 *   DELETE_WHILE_ATTACHED            IoDeleteDevice of a device still attached to a lower one
 *   DEVICE_DELETED_TWICE             IoDeleteDevice on a deleted device
 *   DETACH_WITH_NOTHING_ATTACHED     IoDetachDevice of a device with nothing attached
 *   DEREFERENCE_BELOW_ZERO           ObfDereferenceObject without a reference to drop
 *   REFERENCE_LEAKED                 a device reference never dropped
 *   DRIVER_DESTROYED_WITH_DEVICES    DestroyDriverObject while devices remain
 *   WAIT_AT_DISPATCH_LEVEL           a blocking KeWaitForSingleObject at DISPATCH_LEVEL or above
 *   DEADLOCK_WAIT                    a wait nothing can ever satisfy
 *   WAIT_ON_UNINITIALIZED_EVENT      KeWaitForSingleObject on an event never initialised
 *   POWER_IRP_PASSED_WITHOUT_START_NEXT, START_NEXT_POWER_IRP_TWICE,
 *   POWER_IRP_PASSED_WITH_IOCALLDRIVER   power request rules (power.cpp)
 *   MAPPING_LEAKED, UNMAP_OF_UNKNOWN_ADDRESS, UNMAP_WITH_WRONG_LENGTH,
 *   REGISTER_ACCESS_OUTSIDE_MAPPING      register window rules (mm.cpp)
 *   DISPATCH_STATUS_MISMATCH         a dispatch routine returned another status than it completed with
 *   IRP_NEITHER_PASSED_NOR_COMPLETED a dispatch routine returned (not STATUS_PENDING) with the
 *                                    request neither completed nor passed down
 *   PENDING_RETURNED_NOT_PROPAGATED  a completion routine saw PendingReturned and neither marked
 *                                    the request pending nor returned STATUS_MORE_PROCESSING_REQUIRED
 *   DETACH_AT_SURPRISE_REMOVAL, DELETE_AT_SURPRISE_REMOVAL
 *                                    IoDetachDevice/IoDeleteDevice while handling a surprise removal
 *   REMOVAL_FAILED                   IRP_MN_REMOVE_DEVICE or IRP_MN_SURPRISE_REMOVAL failed
 *   IRP_SENT_AT_WRONG_IRQL           a PnP request above PASSIVE_LEVEL, any above DISPATCH_LEVEL
 *   SYNCHRONOUS_REQUEST_ABOVE_PASSIVE IoBuildSynchronousFsdRequest above PASSIVE_LEVEL
 *   DEVICE_INITIALIZING_NOT_CLEARED, POWER_PAGABLE_NOT_INHERITED, IO_FLAGS_NOT_INHERITED,
 *   BUFFERED_AND_DIRECT_IO, DEVICE_TYPE_NOT_INHERITED
 *                                    a device made ready or a filter attached the wrong way
 *   BUS_FILTER_DETACHED_AT_REMOVE, BUS_FILTER_DELETED_AT_REMOVE
 *                                    a filter attached outside AddDevice removed while its PDO
 *                                    lives (accepted divergences: standin::AcceptedFindings)
 * Each rule with the Windows check it mirrors: docs/verifier-rules.md.
 */
#ifndef TOLMU_STANDIN_IOMGR_H
#define TOLMU_STANDIN_IOMGR_H

#include "ntddk_host.h"

#include <cstdint>
#include <functional>
#include <string>

namespace standin {

/* ------------------------------------------------------- driver objects */

/* A driver object as the I/O manager gives one to DriverEntry: DriverName set
 * to name, DriverExtension allocated (its DriverObject pointing back), every
 * MajorFunction at the I/O manager's default, which completes the request
 * with STATUS_INVALID_DEVICE_REQUEST. Freed by DestroyDriverObject or Reset. */
PDRIVER_OBJECT CreateDriverObject(const std::string &name);
/* Release a driver object (after its devices are deleted; devices left in
 * its list are a finding). */
void DestroyDriverObject(PDRIVER_OBJECT driver);
/* The default major function, for drivers that want to put one back. */
NTSTATUS NTAPI DefaultDispatch(PDEVICE_OBJECT device, PIRP irp);

/* -------------------------------------------------------- device objects */

/* IoDeleteDevice keeps a deleted device's memory until Reset, its extension
 * filled with kPoisonByte, so later use of it is caught. */
bool DeviceIsDeleted(PDEVICE_OBJECT device);
/* Whether the object was made by IoCreateDevice since Reset. */
bool IsKnownDevice(PDEVICE_OBJECT device);
/* The device this one is attached to (null when not attached). */
PDEVICE_OBJECT AttachedTo(PDEVICE_OBJECT device);
/* The bottom of the stack the device is in. */
PDEVICE_OBJECT StackBottom(PDEVICE_OBJECT device);
/* Devices created and not deleted since Reset. */
size_t LiveDeviceCount();
/* References taken with ObfReferenceObject/IoGetAttachedDeviceReference and
 * not yet dropped (the object's creation reference is not counted). */
LONG ObjectReferenceCount(PVOID object);

/* What IoGetDeviceProperty answers for a physical device object: the bus
 * driver registers one provider per PDO. Without one the query fails with
 * STATUS_INVALID_DEVICE_REQUEST, as for a device that is not a PDO. */
using DevicePropertyProvider =
    std::function<NTSTATUS(DEVICE_REGISTRY_PROPERTY property, ULONG bufferLength, PVOID buffer, PULONG resultLength)>;
void SetDevicePropertyProvider(PDEVICE_OBJECT pdo, DevicePropertyProvider provider);
/* A provider answering 32-bit properties through lookup (the common case:
 * DevicePropertyBusNumber, DevicePropertyAddress). A buffer under 4 bytes
 * gets STATUS_BUFFER_TOO_SMALL with the needed length; a property lookup
 * does not know gets STATUS_INVALID_PARAMETER. */
DevicePropertyProvider DwordPropertyProvider(std::function<bool(DEVICE_REGISTRY_PROPERTY, ULONG *value)> lookup);

/* ---------------------------------------------------- failure injection */

/* IoCreateDevice fails with this status (0 = works). */
void SetCreateDeviceStatus(NTSTATUS status);
/* IoAttachDeviceToDeviceStack returns null. */
void SetAttachFails(bool fail);
/* IoAllocateIrp and IoBuildSynchronousFsdRequest return null. */
void SetIrpAllocationFails(bool fail);
/* IoGetAttachedDeviceReference returns null. Windows never does this for a
 * valid device; the knob exists because the driver guards against it. */
void SetAttachedDeviceReferenceFails(bool fail);

/* ---------------------------------------------------------------- requests */

/* A request made with IoAllocateIrp belongs to its maker (the simulated PnP
 * manager, a test) again once completion reaches the top: read Irp->IoStatus
 * directly, then IoFreeIrp it or ReuseIrp it for another trip. The stack
 * location helpers of ntddk_host.h on a completed request are a driver
 * touching a request it gave away (IRP_TOUCHED_AFTER_COMPLETION). A request
 * from IoBuildSynchronousFsdRequest is freed by the I/O manager at the top,
 * after its status block is filled and its event signalled. */

enum class IrpState {
    Unknown,        /* not made by IoAllocateIrp/IoBuildSynchronousFsdRequest */
    Allocated,      /* made, not yet sent */
    InFlight,       /* sent down, owned by some driver */
    MoreProcessing, /* a completion routine returned STATUS_MORE_PROCESSING_REQUIRED */
    Completed,      /* completion reached the top: back with its owner */
    Freed,          /* IoFreeIrp, or a synchronous request finished */
};
IrpState GetIrpState(PIRP irp);
const char *IrpStateName(IrpState state);
/* Times IofCompleteRequest was called on the request. */
int IrpCompletionCount(PIRP irp);
/* The status the last completion walk carried to the top (or to the
 * completion routine that stopped it). */
NTSTATUS IrpFinalStatus(PIRP irp);
/* Put a completed request back to its just-allocated state for another trip,
 * as IoReuseIrp does, with IoStatus.Status = status. */
void ReuseIrp(PIRP irp, NTSTATUS status);

/* ----------------------------------------------------- deferred completion */

/* Work a simulated lower driver that returned STATUS_PENDING finishes later
 * (typically completing the request). It runs at DISPATCH_LEVEL, from
 * RunDeferred or from a KeWaitForSingleObject that would otherwise block. The
 * label names the work in deadlock reports. */
void QueueDeferred(std::function<void()> work, const std::string &label = "");
/* Run queued work, oldest first, until the queue is empty (work queued while
 * draining runs too). Returns how many items ran. */
size_t RunDeferred();
size_t DeferredCount();

/* ---------------------------------------------------- register windows */

/* A window of memory-mapped registers of the simulated machine. MmMapIoSpace
 * of a range inside it returns a host pointer to a shadow buffer; the
 * READ_REGISTER_* and WRITE_REGISTER_* routines route accesses through that
 * pointer to these callbacks (offset from physBase, width 1, 2 or 4). Plain
 * pointer accesses reach only the shadow buffer (which holds the last value
 * written or read through the routines), never the machine: the driver must
 * use the register routines, as it must on Windows for portable code. */
using MmioRead = std::function<uint32_t(uint32_t offset, int width)>;
using MmioWrite = std::function<void(uint32_t offset, int width, uint32_t value)>;
void RegisterMmioWindow(uint64_t physBase, uint32_t length, MmioRead read, MmioWrite write);
void UnregisterMmioWindow(uint64_t physBase);
/* MmMapIoSpace returns null while set. */
void SetMapIoSpaceFails(bool fail);
size_t LiveMappingCount();
uint64_t MapIoSpaceCalls();

/* ----------------------------------------------------------- AddDevice */

/* The place of a driver in the stack it is given by AddDevice, as the PnP
 * manager knows it from the registry (Service, UpperFilters, LowerFilters). */
enum class AddDeviceRole { Function, UpperFilter, LowerFilter };
/* The PnP manager calling the driver's AddDevice for pdo. At its end: every
 * device it created and kept must have DO_DEVICE_INITIALIZING cleared, and a
 * filter device it attached must carry the device type, DO_POWER_PAGABLE and
 * DO_BUFFERED_IO/DO_DIRECT_IO of the device below. A device attached outside
 * any AddDevice (a bus filter) gets the same checks when the call that
 * attached it returns. */
NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, AddDeviceRole role);
/* The same around a simulated driver's AddDevice that is a C++ method. */
void BeginAddDevice(PDEVICE_OBJECT pdo, AddDeviceRole role);
void EndAddDevice();

/* ------------------------------------------------------- end of a test */

/* Report what a finished test left behind: synchronous requests never
 * completed, requests held after STATUS_MORE_PROCESSING_REQUIRED and never
 * completed, deleted devices an upper device never detached from, device
 * references never dropped, mappings never unmapped. Each is reported once;
 * Reset reports whatever is still left (then in the test that resets). */
void CheckIoLeftovers();

/* ------------------------------------------------------------- internals */

/* Between the stand-in's I/O manager, power manager and dispatcher files;
 * not for tests. */
namespace iodetail {
/* The driver now running for the request (its dispatch routine, or the
 * completion routine it set): the device object it runs for and its stack
 * location (1-based, as Irp->CurrentLocation counts). False when no driver
 * runs for the request (the owner sending it, or deferred work). */
bool ActiveDriver(PIRP irp, PDEVICE_OBJECT *device, int *location);
/* Called by IofCallDriver before a power request moves down a location,
 * when a driver (not the request's owner) passes it on. */
void CheckPowerPassOn(PIRP irp, PDEVICE_OBJECT from, bool viaPoCallDriver);
/* PoCallDriver sets the flag, IofCallDriver takes it at its entry. */
void MarkPoCallDriver();
bool TakePoCallDriverMark();
void ForgetPowerIrp(PIRP irp);
void ResetDeferredQueue();
void CheckMappingLeftovers();
std::string DescribeIrp(PIRP irp);
std::string DescribeDevice(PDEVICE_OBJECT device);
std::string Hex(uint64_t value);
} // namespace iodetail

} // namespace standin

#endif /* TOLMU_STANDIN_IOMGR_H */
