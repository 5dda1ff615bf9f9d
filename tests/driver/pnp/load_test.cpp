// Loading and unloading: the fixed load sequence, the published registry
// values, the banners, the dispatch table, the quiet marks by verbosity, the
// pass-through routine and what unload leaves behind.
#include <gtest/gtest.h>

#include <regex>

#include "diag/irp_trace.h"
#include "pnp_harness.h"

using testsupport::CountContaining;
using testsupport::TraceLines;

namespace {

const char kParams[] = "tolmu\\Parameters";
const char kPublish[] = "dromel\\Configured";

// An IRP with one current stack location, built by hand for table look-ups.
struct HandIrp {
    IRP irp{};
    IO_STACK_LOCATION loc[2]{};
    explicit HandIrp(UCHAR minor)
    {
        loc[1].MajorFunction = IRP_MJ_PNP;
        loc[1].MinorFunction = minor;
        irp.StackCount = 2;
        irp.CurrentLocation = 2;
        irp.Tail.Overlay.CurrentStackLocation = &loc[1];
    }
};

ULONG QuietBits(UCHAR minor)
{
    HandIrp h(minor);
    PCPNP_MINOR_NAME row = LookupPnpMinor(&h.irp, "test");
    return row ? row->Quiet : 0xDEAD;
}

class LoadTest : public pnptest::FilterTest {};

// A lower driver that records the stack location it receives.
struct Seen {
    static IO_STACK_LOCATION location;
    static int calls;
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT, PIRP irp)
    {
        location = *IoGetCurrentIrpStackLocation(irp);
        calls++;
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
};
IO_STACK_LOCATION Seen::location;
int Seen::calls = 0;

TEST_F(LoadTest, LoadPublishesTheTraceAndClearsIam)
{
    standin::RegSetDword(kPublish, "iam", 0x0405); // left from an earlier load
    Load();
    EXPECT_EQ(standin::RegGetDword(kPublish, "trace"), std::optional<ULONG>(PTR32(TraceGetStart())));
    EXPECT_NE(TraceGetStart(), nullptr);
    EXPECT_EQ(standin::RegGetDword(kPublish, "iam"), std::optional<ULONG>(0));
}

// Publishing at load and unload works whatever part of the path exists, and
// with nothing at all below the services key.
TEST_F(LoadTest, PublishingCreatesTheKeyOneLevelAtATime)
{
    const std::vector<std::vector<const char *>> registries = {
        {}, {"tolmu"}, {"tolmu", "dromel"}, {"tolmu", "dromel\\Configured"}};
    for (const auto &existing : registries) {
        SCOPED_TRACE(std::to_string(existing.size()) + " keys beforehand");
        standin::RegDeleteKey("tolmu");
        standin::RegDeleteKey("dromel");
        standin::ResetDriverModuleState();
        for (const char *key : existing)
            standin::RegCreateKey(key);
        Load();
        EXPECT_EQ(standin::RegGetDword(kPublish, "trace"), std::optional<ULONG>(PTR32(TraceGetStart())));
        EXPECT_EQ(standin::RegGetDword(kPublish, "iam"), std::optional<ULONG>(0));
        EXPECT_EQ(CountContaining(TraceLines(), "ERROR"), 0u);
        RemoveAllAndUnload();
        EXPECT_EQ(standin::RegGetDword(kPublish, "trace"), std::optional<ULONG>(0)) << "written at unload";
    }
}

TEST_F(LoadTest, BannersAndDumpComeFirstAndInOrder)
{
    standin::SetVersion(5, 1, 2600, u"Service Pack 2", false);
    standin::RegSetDword(kParams, "Io", 0x400);
    Load();
    auto lines = TraceLines();
    ASSERT_GE(lines.size(), 18u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(Tolmu V5\.4 Build: [A-Z][a-z]{2} [ 0-3][0-9] [0-9]{4} )"
                                                      R"([0-2][0-9]:[0-5][0-9]:[0-5][0-9])")))
        << lines[0];
    EXPECT_EQ(lines[1], "OS Version 5.1 Build 2600 (free) SP: Service Pack 2");
    EXPECT_EQ(lines[2], "TOLMU: PreFetch      = 0x8000000");
    EXPECT_EQ(lines[4], "TOLMU: Io            = 0x400");
    EXPECT_EQ(lines[17], "TOLMU: Verbose       = 0x0");
    EXPECT_EQ(lines.size(), 18u) << "nothing else happens at load";
    EXPECT_TRUE(standin::PortLog().empty()) << "no hardware is touched at load";
}

TEST_F(LoadTest, EmptyServicePackGivesTheShortBannerAndCheckedBuildIsNamed)
{
    standin::SetVersion(5, 1, 2600, u"", true);
    Load();
    auto lines = TraceLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], "OS Version 5.1 Build 2600 (checked)");
    EXPECT_TRUE(IsCheckedBuild());
}

TEST_F(LoadTest, VersionIsAskedForOnce)
{
    Load();
    PrintOsVersion();
    PrintOsVersion();
    EXPECT_EQ(standin::VersionQueries(), 1u);
}

TEST_F(LoadTest, DispatchTablePointsEverythingElseAtPassThrough)
{
    Load();
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
        PDRIVER_DISPATCH expected = PassThrough;
        if (major == IRP_MJ_PNP)
            expected = PnpDispatch;
        if (major == IRP_MJ_POWER)
            expected = PowerDispatch;
        EXPECT_EQ(driver_->MajorFunction[major], expected) << "major 0x" << std::hex << major;
    }
    EXPECT_EQ(driver_->DriverExtension->AddDevice, AddDevice);
    EXPECT_EQ(driver_->DriverUnload, Unload);
}

struct QuietCase {
    ULONG verbose;
    std::vector<UCHAR> quiet;
};

class QuietMarksTest : public LoadTest, public ::testing::WithParamInterface<QuietCase> {};

TEST_P(QuietMarksTest, ChattyMinorCodesAreMarkedByVerbosity)
{
    standin::RegSetDword(kParams, "Verbose", GetParam().verbose);
    Load();
    const std::vector<UCHAR> all = {0x0F, 0x10, 0x13, 0x0C, 0x16, 0x08, 0x0A, 0x0B, 0x18, 0x15,
                                    0x00, 0x02, 0x07, 0x09, 0x0D, 0x17};
    for (UCHAR minor : all) {
        bool expectQuiet =
            std::find(GetParam().quiet.begin(), GetParam().quiet.end(), minor) != GetParam().quiet.end();
        EXPECT_EQ(QuietBits(minor), expectQuiet ? 15u : 0u)
            << "Verbose " << GetParam().verbose << " minor 0x" << std::hex << int(minor);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Verbosity, QuietMarksTest,
    ::testing::Values(QuietCase{0, {0x0F, 0x10, 0x13, 0x0C, 0x16, 0x08, 0x0A, 0x0B, 0x18, 0x15}},
                      QuietCase{9, {0x0F, 0x10, 0x13, 0x0C, 0x16}}, QuietCase{10, {0x0F}}, QuietCase{11, {}},
                      QuietCase{40, {}}));

TEST_F(LoadTest, PassThroughHandsTheSameStackLocationDownWithoutACompletionRoutine)
{
    Load();
    PDRIVER_OBJECT lowerDriver = standin::CreateDriverObject("\\Driver\\lower");
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        lowerDriver->MajorFunction[i] = Seen::Dispatch;
    PDEVICE_OBJECT lower = nullptr, filter = nullptr;
    ASSERT_EQ(IoCreateDevice(lowerDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower), STATUS_SUCCESS);
    ASSERT_EQ(IoCreateDevice(driver_, sizeof(DEVICE_EXTENSION), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &filter),
              STATUS_SUCCESS);
    GET_EXTENSION(filter)->LowerDevice = testsupport::AttachInAddDevice(filter, lower);

    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_SYSTEM_CONTROL}) {
        Seen::calls = 0;
        PIRP irp = IoAllocateIrp(filter->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = major;
        next->MinorFunction = 0x5A;
        next->Flags = 0x3;
        next->Parameters.Others.Argument1 = reinterpret_cast<PVOID>(0x1234);
        next->Parameters.Others.Argument4 = reinterpret_cast<PVOID>(0x5678);
        IO_STACK_LOCATION sent = *next;
        EXPECT_EQ(IoCallDriver(filter, irp), STATUS_SUCCESS);
        ASSERT_EQ(Seen::calls, 1);
        EXPECT_EQ(Seen::location.MajorFunction, major);
        EXPECT_EQ(Seen::location.MinorFunction, 0x5A);
        EXPECT_EQ(Seen::location.Flags, 0x3);
        EXPECT_EQ(memcmp(&Seen::location.Parameters, &sent.Parameters, sizeof(sent.Parameters)), 0);
        EXPECT_EQ(Seen::location.DeviceObject, lower);
        EXPECT_EQ(Seen::location.Control & (SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL), 0)
            << "no completion routine";
        IoFreeIrp(irp);
    }
    EXPECT_TRUE(TraceLines().size() == 18u) << "pass-through prints nothing";

    IoDetachDevice(lower);
    IoDeleteDevice(filter);
    IoDeleteDevice(lower);
    standin::DestroyDriverObject(lowerDriver);
}

TEST_F(LoadTest, UnloadPublishesZeroReleasesTheTraceAndLeavesNothing)
{
    Load();
    standin::ClearDebugLines();
    SetVerbose(1);
    RemoveAllAndUnload();
    EXPECT_EQ(standin::RegGetDword(kPublish, "trace"), std::optional<ULONG>(0));
    ASSERT_FALSE(standin::DebugLines().empty());
    EXPECT_EQ(standin::DebugLines().back(), "Unload called\n");
    EXPECT_EQ(standin::OutstandingCount(TOLMU_POOL_TAG), 0u);
}

TEST_F(LoadTest, LoadWorksWithoutTraceMemoryAndPublishesZero)
{
    standin::FailNthAllocation(1);
    Load();
    EXPECT_EQ(TraceGetStart(), nullptr);
    EXPECT_EQ(standin::RegGetDword(kPublish, "trace"), std::optional<ULONG>(0));
}

TEST_F(LoadTest, FailedRegistryReadStillLoadsWithTheDefaults)
{
    standin::RegFailQuery(STATUS_INSUFFICIENT_RESOURCES);
    Load();
    EXPECT_EQ(driver_->MajorFunction[IRP_MJ_PNP], PnpDispatch);
    // TraceSize kept its default: the trace is there and says what happened.
    ASSERT_NE(TraceGetStart(), nullptr);
    EXPECT_EQ(CountContaining(TraceLines(), "RtlQueryRegistryValues failed"), 1u);
    EXPECT_EQ(CountContaining(TraceLines(), "TOLMU: TraceSize     = 0x20000"), 1u);
}

} // namespace
