/*
 * standin.h - control surface of the host kernel stand-in.
 *
 * The driver sees only the Windows routines declared in ntddk_host.h. Tests,
 * the simulated machine and tolmu-sim use this header to set the stand-in up
 * (registry contents, failure injection, the OS version, the port handler),
 * to read back what the driver did (debug lines, pool accounting, the virtual
 * clock) and to receive the verifier's findings.
 */
#ifndef TOLMU_STANDIN_H
#define TOLMU_STANDIN_H

#include "ntddk_host.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace standin {

/* ------------------------------------------------------------ lifecycle */

/* Everything back to a fresh machine: registry emptied, pool accounting and
 * failure injection cleared, debug capture emptied, clock at 0, IRQL passive,
 * version back to Windows XP SP2 free build, port handler removed,
 * translation working, findings cleared. */
void Reset();

/* Give every module-wide variable of the driver its load-time value, as a
 * fresh load of the image does. Called before each DriverEntry. */
void ResetDriverModuleState();

/* ------------------------------------------------------ verifier findings */

struct Finding {
    std::string rule;   /* short rule name, e.g. "IRP_COMPLETED_TWICE" */
    std::string detail; /* the IRP, device or block concerned, in words */
};

/* Record a finding and hand it to the finding handler (tests fail the running
 * test there; tolmu-sim counts them). */
void ReportFinding(const std::string &rule, const std::string &detail);
const std::vector<Finding> &Findings();
void ClearFindings();

/* Rules the driver breaks on purpose, by its described behaviour, each an
 * accepted divergence documented in docs/verifier-rules.md with its reason.
 * The rule is still checked and its findings recorded here (with the reason
 * in front of the detail), but they are not handed to the finding handler
 * and not counted in Findings(). Null for a rule that is not accepted. */
const char *AcceptedDivergenceReason(const std::string &rule);
const std::vector<Finding> &AcceptedFindings();
void SetFindingHandler(std::function<void(const Finding &)> handler);

/* ---------------------------------------------------------- debug output */

/* Every DbgPrint call, formatted, one entry per call. */
const std::vector<std::string> &DebugLines();
void ClearDebugLines();
/* All captured DbgPrint text joined. */
std::string DebugText();
void SetDebugEcho(bool echo); /* also write each DbgPrint to stderr */

/* ---------------------------------------------------------------- pool */

struct PoolBlock {
    const void *address;
    size_t size;
    ULONG tag;
    POOL_TYPE type;
    uint64_t serial; /* 1 for the first allocation after Reset() */
};

std::vector<PoolBlock> OutstandingBlocks();
size_t OutstandingBytes(ULONG tag);
size_t OutstandingCount(ULONG tag);
uint64_t AllocationCount(); /* allocations attempted since Reset() */
/* Fail the k-th allocation attempt counted from now (1 = the next one). 0 cancels. */
void FailNthAllocation(uint64_t k);
void FailAllAllocations(bool fail);
/* Driver Verifier's low-resources simulation fails only the allocations of
 * the drivers it verifies. With a tag set here, only allocations with that
 * tag count towards FailNthAllocation and are failed by it or by
 * FailAllAllocations; 0 (the default) takes every allocation. */
void SetAllocationFaultTag(ULONG tag);
/* Allocation attempts with this tag since Reset(). */
uint64_t AllocationCount(ULONG tag);
/* Allocations failed by the injection above since Reset(). */
uint64_t InjectedAllocationFailures();
/* One line per outstanding block: tag, size, serial. Empty when nothing is left. */
std::string PoolReport();
/* Freed blocks are filled with this byte before they are released. */
constexpr unsigned char kPoisonByte = 0xDD;

/* ------------------------------------------------------------ registry */

/* Paths are relative to the services key, with backslashes, e.g.
 * "tolmu\\Parameters". Names compare case-insensitively, as on Windows.
 * The services key always exists; RegCreateKey and RegSetValue create the
 * missing keys on the way (setting up a registry, as an installer does);
 * the driver's RtlCreateRegistryKey does not. */
struct RegValue {
    ULONG type;
    std::vector<uint8_t> data;
};

void RegCreateKey(const std::string &path);
bool RegKeyExists(const std::string &path);
void RegSetValue(const std::string &path, const std::string &name, ULONG type, const std::vector<uint8_t> &data);
void RegSetDword(const std::string &path, const std::string &name, ULONG value);
void RegSetWideString(const std::string &path, const std::string &name, const std::u16string &text);
void RegDeleteKey(const std::string &path);
std::optional<RegValue> RegGetValue(const std::string &path, const std::string &name);
std::optional<ULONG> RegGetDword(const std::string &path, const std::string &name);
/* Make RtlQueryRegistryValues fail as a whole with this status (0 cancels).
 * With failAfter > 0, the first failAfter entries are processed first. */
void RegFailQuery(NTSTATUS status, unsigned failAfter = 0);
void RegFailCreateKey(NTSTATUS status);
/* RtlQueryRegistryValues with RTL_REGISTRY_OPTIONAL on a missing key fails
 * with STATUS_OBJECT_NAME_NOT_FOUND (documented); true makes it succeed
 * without calling a query routine instead, the other way Windows could read
 * the flag. Reset() restores the documented behaviour. */
void RegOptionalMissingKeySucceeds(bool succeed);

/* ---------------------------------------------------- clock, IRQL, version */

uint64_t VirtualMicroseconds();
uint64_t StallCalls();
KIRQL CurrentIrql();
void SetIrql(KIRQL irql);

void SetVersion(ULONG major, ULONG minor, ULONG build, const std::u16string &servicePack, bool checked);
void SetCheckedBuild(bool checked);
void SetServicePack(const std::u16string &servicePack);
uint64_t VersionQueries(); /* PsGetVersion calls since Reset() */

/* ------------------------------------------------------------------ HAL */

/* The machine behind READ_PORT_* / WRITE_PORT_*. width is 1, 2 or 4. */
class PortHandler {
  public:
    virtual ~PortHandler() = default;
    virtual uint32_t PortRead(uint16_t port, int width) = 0;
    virtual void PortWrite(uint16_t port, int width, uint32_t value) = 0;
};

void SetPortHandler(PortHandler *handler);
PortHandler *GetPortHandler();

struct PortAccess {
    bool write;
    uint16_t port;
    int width;
    uint32_t value;
};
/* Every port access since the last clear, in order. */
const std::vector<PortAccess> &PortLog();
void ClearPortLog();

/* HalTranslateBusAddress: by default identity; tests can make it fail (returns
 * FALSE and leaves the output untouched) or translate to another address. */
void SetTranslateFails(bool fail);
void SetTranslateOffset(int32_t offset);
uint64_t TranslateCalls();

} // namespace standin

#endif /* TOLMU_STANDIN_H */
