// Load and unload: published values, OS banner, entry points, quiet marks, pass-through.
#include <gtest/gtest.h>

#include "diag/irp_trace.h"
#include "pnp_harness.h"

using testsupport::CountContaining;
using testsupport::TraceLines;

namespace {

const char kPublish[] = "dromel\\Configured";

class LoadTest : public pnptest::FilterTest {};

TEST_F(LoadTest, LoadPublishesTheTraceAndClearsIamAndUnloadTakesThemBack)
{
    standin::RegSetDword(kPublish, "iam", 0x0405); // left from an earlier load
    standin::SetVersion(5, 1, 2600, u"Service Pack 2", false);
    Load();
    ASSERT_NE(TraceGetStart(), nullptr);
    EXPECT_EQ(standin::RegGetDword(kPublish, "trace"), std::optional<ULONG>(PTR32(TraceGetStart())));
    EXPECT_EQ(standin::RegGetDword(kPublish, "iam"), std::optional<ULONG>(0));
    EXPECT_EQ(TraceLines().at(1), "OS Version 5.1 Build 2600 (free) SP: Service Pack 2");
    EXPECT_FALSE(IsCheckedBuild());
    EXPECT_TRUE(standin::PortLog().empty()) << "no hardware is touched at load";
    PrintOsVersion();
    EXPECT_EQ(standin::VersionQueries(), 1u) << "asked for once";

    RemoveAllAndUnload();
    EXPECT_EQ(standin::RegGetDword(kPublish, "trace"), std::optional<ULONG>(0));
    EXPECT_EQ(standin::OutstandingCount(TOLMU_POOL_TAG), 0u);
}

// No trace memory: no trace published; no registry: defaults; checked, no SP: short banner.
TEST_F(LoadTest, LoadWorksWithoutTraceMemoryOrRegistry)
{
    standin::FailNthAllocation(1);
    Load();
    EXPECT_EQ(TraceGetStart(), nullptr);
    EXPECT_EQ(standin::RegGetDword(kPublish, "trace"), std::optional<ULONG>(0));
    RemoveAllAndUnload();

    standin::ResetDriverModuleState();
    standin::RegFailQuery(STATUS_INSUFFICIENT_RESOURCES);
    standin::SetVersion(5, 1, 2600, u"", true);
    Load();
    EXPECT_EQ(driver_->MajorFunction[IRP_MJ_PNP], PnpDispatch);
    ASSERT_NE(TraceGetStart(), nullptr);
    EXPECT_EQ(TraceLines().at(1), "OS Version 5.1 Build 2600 (checked)");
    EXPECT_EQ(TraceLines().at(2), "RtlQueryRegistryValues failed");
    EXPECT_TRUE(IsCheckedBuild());
}

// Chatty minor codes are quiet below the verbosity they are loud from.
TEST_F(LoadTest, ChattyMinorCodesAreQuietBelowTheirVerbosity)
{
    const struct {
        UCHAR minor;
        LONG loudFrom;
    } codes[] = {{0x0F, 11}, {0x10, 10}, {0x13, 10}, {0x0C, 10}, {0x16, 10}, {0x08, 1},
                 {0x0A, 1},  {0x0B, 1},  {0x18, 1},  {0x15, 1},  {0x00, 0},  {0x07, 0}};
    for (ULONG verbose : {0u, 1u, 9u, 10u, 11u}) {
        standin::ResetDriverModuleState();
        Configure({{"Verbose", verbose}});
        Load();
        for (const auto &c : codes) {
            IRP irp{};
            IO_STACK_LOCATION loc[2]{};
            loc[1].MajorFunction = IRP_MJ_PNP;
            loc[1].MinorFunction = c.minor;
            irp.StackCount = irp.CurrentLocation = 2;
            irp.Tail.Overlay.CurrentStackLocation = &loc[1];
            PCPNP_MINOR_NAME row = LookupPnpMinor(&irp, "test");
            ASSERT_NE(row, nullptr);
            EXPECT_EQ(row->Quiet, LONG(verbose) < c.loudFrom ? 15u : 0u)
                << "Verbose " << verbose << " minor 0x" << std::hex << int(c.minor);
        }
        RemoveAllAndUnload();
    }
}

// A lower driver that keeps the stack location it receives.
IO_STACK_LOCATION seen;
NTSTATUS NTAPI Keep(PDEVICE_OBJECT, PIRP irp)
{
    seen = *IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// Other requests go down with the same stack location and no completion routine (the entry
// points of PnP and power are in every other test's path).
TEST_F(LoadTest, PassThroughHandsTheSameStackLocationDown)
{
    BuildChassis(sim::models::TI1420());
    FilterChassis();
    bus_->Driver()->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Keep;
    PDEVICE_OBJECT f = F(nic_);
    PIRP irp = IoAllocateIrp(f->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->MinorFunction = 0x5A;
    next->Parameters.Others.Argument1 = reinterpret_cast<PVOID>(0x1234);
    IO_STACK_LOCATION sent = *next;
    EXPECT_EQ(IoCallDriver(f, irp), STATUS_SUCCESS);
    EXPECT_EQ((std::vector<ULONG>{seen.MajorFunction, seen.MinorFunction}), (std::vector<ULONG>{IRP_MJ_DEVICE_CONTROL, 0x5A}));
    EXPECT_EQ(memcmp(&seen.Parameters, &sent.Parameters, sizeof(sent.Parameters)), 0);
    EXPECT_EQ(seen.DeviceObject, Pdo(nic_));
    EXPECT_EQ(seen.Control & (SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL), 0);
    IoFreeIrp(irp);
}

} // namespace
