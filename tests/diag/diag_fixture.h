// Shared pieces of the diagnostics tests: a fixture that reads the driver's
// trace buffer line by line, hand-built requests, and the quiet marks that
// the driver sets at load.
#ifndef TOLMU_TESTS_DIAG_FIXTURE_H
#define TOLMU_TESTS_DIAG_FIXTURE_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_support.h"

#include "diag/irp_trace.h"
#include "diag/power_print.h"
#include "diag/resource_print.h"
#include "driver/debug.h"

namespace diagtest {

// A request as a dispatch routine receives it: allocated by the I/O manager
// with two stack locations and moved onto the upper one, as IoCallDriver does
// before it calls the filter.
struct HandIrp {
    PIRP irp;

    HandIrp(UCHAR major, UCHAR minor)
    {
        irp = IoAllocateIrp(2, FALSE);
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

inline std::unique_ptr<HandIrp> PowerIrp(UCHAR minor)
{
    return std::make_unique<HandIrp>(IRP_MJ_POWER, minor);
}

// The quiet marks the driver sets at load for a given Verbose value.
inline void MarkQuietAsAtLoad(LONG verbose)
{
    if (verbose < 11)
        SetMinorQuiet(IRP_MN_READ_CONFIG, PNP_QUIET_ALL);
    if (verbose < 10) {
        SetMinorQuiet(IRP_MN_WRITE_CONFIG, PNP_QUIET_ALL);
        SetMinorQuiet(IRP_MN_QUERY_ID, PNP_QUIET_ALL);
        SetMinorQuiet(IRP_MN_QUERY_DEVICE_TEXT, PNP_QUIET_ALL);
        SetMinorQuiet(IRP_MN_DEVICE_USAGE_NOTIFICATION, PNP_QUIET_ALL);
    }
    if (verbose == 0) {
        SetMinorQuiet(IRP_MN_QUERY_INTERFACE, PNP_QUIET_ALL);
        SetMinorQuiet(IRP_MN_QUERY_RESOURCES, PNP_QUIET_ALL);
        SetMinorQuiet(IRP_MN_QUERY_RESOURCE_REQUIREMENTS, PNP_QUIET_ALL);
        SetMinorQuiet(IRP_MN_QUERY_LEGACY_BUS_INFORMATION, PNP_QUIET_ALL);
        SetMinorQuiet(IRP_MN_QUERY_BUS_INFORMATION, PNP_QUIET_ALL);
    }
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

// The trace buffer read in portions: Take() returns the lines printed since
// the previous Take().
class DiagTest : public testsupport::DriverTest {
  protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        StartTrace();
    }

    std::vector<std::string> Take()
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

inline std::string Joined(const std::vector<std::string> &lines)
{
    std::string s;
    for (const auto &l : lines)
        s += "[" + l + "]\n";
    return s;
}

} // namespace diagtest

#endif
