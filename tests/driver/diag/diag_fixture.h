// Shared pieces of the diagnostics tests: hand-built requests and resource
// lists, and a fixture that reads the driver's trace buffer in portions.
#ifndef TOLMU_TESTS_DIAG_FIXTURE_H
#define TOLMU_TESTS_DIAG_FIXTURE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_support.h"

#include "diag/irp_trace.h"
#include "diag/power_print.h"
#include "diag/resource_print.h"
#include "core/debug.h"

namespace diagtest {

using Lines = std::vector<std::string>;

// A request as a dispatch routine receives it: two stack locations, moved
// onto the upper one as IoCallDriver does before it calls the filter.
struct HandIrp {
    PIRP irp;

    HandIrp(UCHAR major, UCHAR minor) : irp(IoAllocateIrp(2, FALSE))
    {
        if (irp == nullptr)
            throw std::runtime_error("IoAllocateIrp failed");
        irp->CurrentLocation--;
        irp->Tail.Overlay.CurrentStackLocation--;
        Stack()->MajorFunction = major;
        Stack()->MinorFunction = minor;
    }
    ~HandIrp() { IoFreeIrp(irp); }
    HandIrp(const HandIrp &) = delete;
    HandIrp &operator=(const HandIrp &) = delete;

    PIRP Irp() { return irp; }
    PIO_STACK_LOCATION Stack() { return irp->Tail.Overlay.CurrentStackLocation; }
    void Finish(NTSTATUS status, ULONG_PTR information = 0)
    {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = information;
    }
};

inline std::unique_ptr<HandIrp> PnpIrp(UCHAR minor)
{
    return std::make_unique<HandIrp>(IRP_MJ_PNP, minor);
}

// printf into a std::string (host rules: pass 32-bit values with %x).
template <typename... Args> std::string Fmt(const char *format, Args... args)
{
    char buf[512];
    snprintf(buf, sizeof(buf), format, args...);
    return buf;
}

inline uint32_t Addr32(const void *p)
{
    return (uint32_t)(uintptr_t)p;
}

inline std::string Blanks(size_t n)
{
    return std::string(n, ' ');
}

// A port, memory or other ranged requirement (all share the generic layout).
inline IO_RESOURCE_DESCRIPTOR IoRange(UCHAR type, ULONGLONG min, ULONGLONG max, ULONG length, ULONG align, USHORT flags = 0,
                               UCHAR option = 0, UCHAR share = 0)
{
    IO_RESOURCE_DESCRIPTOR d{};
    d.Option = option;
    d.Type = type;
    d.ShareDisposition = share;
    d.Flags = flags;
    d.u.Generic.Length = length;
    d.u.Generic.Alignment = align;
    d.u.Generic.MinimumAddress.QuadPart = (LONGLONG)min;
    d.u.Generic.MaximumAddress.QuadPart = (LONGLONG)max;
    return d;
}

inline IO_RESOURCE_DESCRIPTOR IoInterrupt(ULONG minVector, ULONG maxVector, UCHAR option, UCHAR share)
{
    IO_RESOURCE_DESCRIPTOR d{};
    d.Option = option;
    d.Type = CmResourceTypeInterrupt;
    d.ShareDisposition = share;
    d.u.Interrupt.MinimumVector = minVector;
    d.u.Interrupt.MaximumVector = maxVector;
    return d;
}

inline IO_RESOURCE_DESCRIPTOR IoPrivate(ULONG d0, ULONG d1)
{
    IO_RESOURCE_DESCRIPTOR d{};
    d.Type = CmResourceTypeDevicePrivate;
    d.u.DevicePrivate.Data[0] = d0;
    d.u.DevicePrivate.Data[1] = d1;
    return d;
}

// Each inner list right after the last descriptor of the one before, as the
// bus driver lays lists out; unused bytes 0xCC so a wrong stride reads rubbish.
template <typename Header, typename Inner, typename Item>
std::vector<uint8_t> LayOut(const Header &header, size_t headerBytes, const std::vector<Inner> &inners,
                            size_t innerBytes, const std::vector<std::vector<Item>> &items)
{
    std::vector<uint8_t> bytes(sizeof(Header) * 4 + 4096, 0xCC);
    memcpy(bytes.data(), &header, headerBytes);
    size_t at = headerBytes;
    for (size_t i = 0; i < inners.size(); i++) {
        memcpy(bytes.data() + at, &inners[i], innerBytes);
        at += innerBytes;
        for (const Item &d : items[i]) {
            memcpy(bytes.data() + at, &d, sizeof(d));
            at += sizeof(d);
        }
    }
    return bytes;
}

inline std::vector<uint8_t> Requirements(ULONG slot, const std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>> &lists)
{
    IO_RESOURCE_REQUIREMENTS_LIST header{};
    header.InterfaceType = PCIBus;
    header.BusNumber = 2;
    header.SlotNumber = slot;
    header.AlternativeLists = (ULONG)lists.size();
    std::vector<IO_RESOURCE_LIST> inners(lists.size());
    for (size_t i = 0; i < lists.size(); i++) {
        inners[i].Version = inners[i].Revision = 1;
        inners[i].Count = (ULONG)lists[i].size();
    }
    return LayOut(header, offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List), inners,
                  offsetof(IO_RESOURCE_LIST, Descriptors), lists);
}

inline CM_PARTIAL_RESOURCE_DESCRIPTOR Cm(UCHAR type, ULONGLONG start = 0, ULONG length = 0, USHORT flags = 0, UCHAR share = 0)
{
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.Type = type;
    d.ShareDisposition = share;
    d.Flags = flags;
    d.u.Generic.Start.QuadPart = (LONGLONG)start;
    d.u.Generic.Length = length;
    return d;
}

inline CM_PARTIAL_RESOURCE_DESCRIPTOR CmInterrupt(ULONG vector, ULONG level, UCHAR share)
{
    CM_PARTIAL_RESOURCE_DESCRIPTOR d = Cm(CmResourceTypeInterrupt, 0, 0, 0, share);
    d.u.Interrupt.Vector = vector;
    d.u.Interrupt.Level = level;
    d.u.Interrupt.Affinity = 1;
    return d;
}

inline CM_PARTIAL_RESOURCE_DESCRIPTOR CmPrivate(ULONG d0, ULONG d1)
{
    CM_PARTIAL_RESOURCE_DESCRIPTOR d = Cm(CmResourceTypeDevicePrivate);
    d.u.DevicePrivate.Data[0] = d0;
    d.u.DevicePrivate.Data[1] = d1;
    return d;
}

inline std::vector<uint8_t> ResourceList(const std::vector<std::pair<INTERFACE_TYPE, ULONG>> &buses,
                                  const std::vector<std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>> &partials)
{
    ULONG count = (ULONG)buses.size();
    std::vector<CM_FULL_RESOURCE_DESCRIPTOR> fulls(buses.size());
    for (size_t i = 0; i < buses.size(); i++) {
        fulls[i].InterfaceType = buses[i].first;
        fulls[i].BusNumber = buses[i].second;
        fulls[i].PartialResourceList.Version = fulls[i].PartialResourceList.Revision = 1;
        fulls[i].PartialResourceList.Count = (ULONG)partials[i].size();
    }
    return LayOut(count, offsetof(CM_RESOURCE_LIST, List), fulls,
                  offsetof(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList) +
                      offsetof(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors),
                  partials);
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
        std::string fresh = all.substr(taken_ < all.size() ? taken_ : all.size());
        taken_ = all.size();
        return testsupport::SplitLines(fresh);
    }

    // The three trace calls PnP dispatch makes around its handler.
    void TraceRequest(PDEVICE_OBJECT device, PIRP irp)
    {
        PrintIrpIn(device, irp, "ENTER ");
        PrintIrpContents(device, irp, "");
        PrintIrpOut(device, irp, "DONE  ");
    }

    size_t taken_ = 0;
};

} // namespace diagtest

#endif
