// Shared pieces of the diagnostics tests: hand-built requests and resource
// lists (descriptors from the resource tests' builders), and a fixture that
// reads the driver's trace buffer in portions.
#ifndef TOLMU_TESTS_DIAG_FIXTURE_H
#define TOLMU_TESTS_DIAG_FIXTURE_H

#include "../resources/resource_fixture.h"

#include "core/debug.h"
#include "diag/irp_trace.h"
#include "diag/power_print.h"
#include "diag/resource_print.h"

namespace diagtest {

using restest::Desc;
using restest::Lines;
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

// A requirements list in pool with 0xCC behind its last descriptor: a wrong stride or a walk
// past the end reads rubbish.
inline restest::PoolList Requirements(const restest::Alternatives &lists)
{
    IO_RESOURCE_DESCRIPTOR rubbish;
    std::memset(&rubbish, 0xCC, sizeof rubbish);
    return restest::PoolList(restest::NewList(lists, restest::Alternative(8, rubbish)));
}

// A resource list: each full descriptor right after the last partial of the one before, 0xCC after the last.
inline Bytes ResourceList(const std::vector<std::pair<INTERFACE_TYPE, ULONG>> &buses,
                          const std::vector<std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>> &partials)
{
    Bytes bytes(offsetof(CM_RESOURCE_LIST, List));
    *(ULONG *)bytes.data() = (ULONG)buses.size();
    for (size_t i = 0; i < buses.size(); i++) {
        CM_FULL_RESOURCE_DESCRIPTOR full{buses[i].first, buses[i].second, {0, 0, (ULONG)partials[i].size()}};
        bytes.insert(bytes.end(), (uint8_t *)&full, (uint8_t *)full.PartialResourceList.PartialDescriptors);
        bytes.insert(bytes.end(), (const uint8_t *)partials[i].data(), (const uint8_t *)(partials[i].data() + partials[i].size()));
    }
    bytes.resize(bytes.size() + 256, 0xCC);
    return bytes;
}

// Take() returns the trace lines printed since the previous Take(). device_ is a filter device
// with a registered identity word: its lines read "(0x<identity> <address>)".
class DiagTest : public testsupport::DriverTest {
  protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        StartTrace();
        findPtr((ULONG_PTR)&device_, kIdentity);
    }
    Lines Take()
    {
        std::string all = testsupport::TraceText();
        std::string fresh = all.substr(std::min(taken_, all.size()));
        taken_ = all.size();
        return testsupport::SplitLines(fresh);
    }
    // The three trace calls PnP dispatch makes around its handler.
    void TraceRequest(PIRP irp)
    {
        PrintIrpIn(&device_, irp, "ENTER "), PrintIrpContents(&device_, irp, ""), PrintIrpOut(&device_, irp, "DONE  ");
    }
    std::string Line(const char *step, const char *name, bool failed = false) const // an ENTER or DONE line
    {
        return Fmt("%s %s (0x%08x %08x)%s", step, name, kIdentity, Addr32(&device_), failed ? " (FAILED)" : "");
    }
    // The contents lines of a successful request.
    Lines Contents(HandIrp &irp, ULONG_PTR information)
    {
        irp.Finish(STATUS_SUCCESS, information);
        Take();
        PrintIrpContents(&device_, irp.Irp(), "");
        return Take();
    }
    static constexpr ULONG kIdentity = 0x104CAC56;
    DEVICE_OBJECT device_{};
    size_t taken_ = 0;
};

} // namespace diagtest

#endif
