// Shared pieces of the diagnostics tests: hand-built requests and resource
// lists, and a fixture that reads the driver's trace buffer in portions.
#ifndef TOLMU_TESTS_DIAG_FIXTURE_H
#define TOLMU_TESTS_DIAG_FIXTURE_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

#include "core/debug.h"
#include "diag/irp_trace.h"
#include "diag/power_print.h"
#include "diag/resource_print.h"

namespace diagtest {

using Lines = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

// A request as a dispatch routine receives it: on its upper stack location, as IoCallDriver leaves it.
struct HandIrp {
    PIRP irp = IoAllocateIrp(2, FALSE);
    HandIrp(UCHAR major, UCHAR minor)
    {
        irp->CurrentLocation--;
        irp->Tail.Overlay.CurrentStackLocation--;
        Stack()->MajorFunction = major, Stack()->MinorFunction = minor;
    }
    ~HandIrp() { IoFreeIrp(irp); }
    PIRP Irp() { return irp; }
    PIO_STACK_LOCATION Stack() { return irp->Tail.Overlay.CurrentStackLocation; }
    void Finish(NTSTATUS status, ULONG_PTR information = 0)
    {
        irp->IoStatus.Status = status, irp->IoStatus.Information = information;
    }
};

inline std::unique_ptr<HandIrp> PnpIrp(UCHAR minor) { return std::make_unique<HandIrp>(IRP_MJ_PNP, minor); }

template <typename... Args> std::string Fmt(const char *format, Args... args)
{
    char buf[512];
    snprintf(buf, sizeof(buf), format, args...);
    return buf;
}

inline uint32_t Addr32(const void *p) { return (uint32_t)(uintptr_t)p; }

// A requirement: a, b are the first two words (length and alignment, vector range, or private data).
inline IO_RESOURCE_DESCRIPTOR Io(UCHAR type, ULONG a, ULONG b, ULONGLONG min = 0, ULONGLONG max = 0,
                                 USHORT flags = 0, UCHAR option = 0, UCHAR share = 0)
{
    IO_RESOURCE_DESCRIPTOR d{};
    d.Option = option, d.Type = type, d.ShareDisposition = share, d.Flags = flags;
    d.u.Generic.Length = a, d.u.Generic.Alignment = b;
    d.u.Generic.MinimumAddress.QuadPart = (LONGLONG)min, d.u.Generic.MaximumAddress.QuadPart = (LONGLONG)max;
    return d;
}

// A resource: start and length (or private data in the first two words).
inline CM_PARTIAL_RESOURCE_DESCRIPTOR Cm(UCHAR type, ULONGLONG start = 0, ULONG length = 0, USHORT flags = 0,
                                         UCHAR share = 0)
{
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.Type = type, d.ShareDisposition = share, d.Flags = flags;
    d.u.Generic.Start.QuadPart = (LONGLONG)start, d.u.Generic.Length = length;
    return d;
}

// Each inner list right after the last descriptor of the one before, as the bus driver lays
// lists out; 0xCC after the last one, so a wrong stride or a walk past the end reads rubbish.
template <typename Inner, typename Item>
Bytes LayOut(const void *header, size_t headerBytes, std::vector<Inner> inners, size_t innerBytes,
             const std::vector<std::vector<Item>> &items)
{
    Bytes bytes((const uint8_t *)header, (const uint8_t *)header + headerBytes);
    for (size_t i = 0; i < inners.size(); i++) {
        bytes.insert(bytes.end(), (uint8_t *)&inners[i], (uint8_t *)&inners[i] + innerBytes);
        bytes.insert(bytes.end(), (const uint8_t *)items[i].data(), (const uint8_t *)(items[i].data() + items[i].size()));
    }
    bytes.resize(bytes.size() + 256, 0xCC);
    return bytes;
}

inline Bytes Requirements(ULONG slot, const std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>> &lists)
{
    IO_RESOURCE_REQUIREMENTS_LIST header{};
    header.InterfaceType = PCIBus, header.SlotNumber = slot, header.AlternativeLists = (ULONG)lists.size();
    std::vector<IO_RESOURCE_LIST> inners(lists.size());
    for (size_t i = 0; i < lists.size(); i++)
        inners[i].Count = (ULONG)lists[i].size();
    return LayOut(&header, offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List), inners,
                  offsetof(IO_RESOURCE_LIST, Descriptors), lists);
}

inline Bytes ResourceList(const std::vector<std::pair<INTERFACE_TYPE, ULONG>> &buses,
                          const std::vector<std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>> &partials)
{
    ULONG count = (ULONG)buses.size();
    std::vector<CM_FULL_RESOURCE_DESCRIPTOR> fulls(buses.size());
    for (size_t i = 0; i < buses.size(); i++) {
        fulls[i].InterfaceType = buses[i].first, fulls[i].BusNumber = buses[i].second;
        fulls[i].PartialResourceList.Count = (ULONG)partials[i].size();
    }
    return LayOut(&count, offsetof(CM_RESOURCE_LIST, List), fulls,
                  offsetof(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList.PartialDescriptors), partials);
}

// Take() returns the trace lines printed since the previous Take().
class DiagTest : public testsupport::DriverTest {
  protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        StartTrace();
    }
    Lines Take()
    {
        std::string all = testsupport::TraceText();
        std::string fresh = all.substr(std::min(taken_, all.size()));
        taken_ = all.size();
        return testsupport::SplitLines(fresh);
    }
    // The three trace calls PnP dispatch makes around its handler.
    void TraceRequest(PDEVICE_OBJECT device, PIRP irp)
    {
        PrintIrpIn(device, irp, "ENTER "), PrintIrpContents(device, irp, ""), PrintIrpOut(device, irp, "DONE  ");
    }
    size_t taken_ = 0;
};

} // namespace diagtest

#endif
