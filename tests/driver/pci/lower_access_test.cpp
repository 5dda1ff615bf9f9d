// Configuration access through the device's stack: the request reaches the
// bus driver through whatever stands on top, synchronous, pending and failing
// bus drivers, the read-back check of writes, and the failure paths.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/debug.h"
#include "pci/pci_direct.h"
#include "pci/pci_dump.h"
#include "pci/pci_lower.h"
#include "pci_bus_driver.h"
#include "standin/iomgr.h"
#include "test_support.h"

using testsupport::CountContaining;
using testsupport::TraceLines;

namespace {

// An upper device that passes every PnP request down untouched, and counts.
struct PassDownFilter {
    static int seen;
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp)
    {
        seen++;
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(*static_cast<PDEVICE_OBJECT *>(device->DeviceExtension), irp);
    }
};
int PassDownFilter::seen = 0;

class LowerAccessTest : public testsupport::DriverTest {
  protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        card_ = machine_.AddFunction(machine_.Root(), 4, 0, sim::models::RTL8139());
        // A vendor register that ignores writes.
        card_->DefineRegister(0x44, 1, 0x00, 0x00);
        machine_.Install();
        bus_ = std::make_unique<sim::PciBusDriver>(machine_);
        pdo_ = bus_->PdoFor(0, 4, 0);
        ASSERT_NE(pdo_, nullptr);
        PciCfgInitPorts(0xCF8); // its one-time message stays out of the trace
        StartTrace();
    }
    void TearDown() override
    {
        if (filter_) {
            IoDetachDevice(pdo_);
            IoDeleteDevice(filter_);
            standin::DestroyDriverObject(filterDriver_);
        }
        bus_.reset();
        machine_.Uninstall();
        DriverTest::TearDown();
    }

    void AttachFilter()
    {
        filterDriver_ = standin::CreateDriverObject("\\Driver\\Upper");
        filterDriver_->MajorFunction[IRP_MJ_PNP] = PassDownFilter::Dispatch;
        ASSERT_EQ(IoCreateDevice(filterDriver_, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE,
                                 &filter_),
                  STATUS_SUCCESS);
        *static_cast<PDEVICE_OBJECT *>(filter_->DeviceExtension) = testsupport::AttachInAddDevice(filter_, pdo_);
        filter_->Flags &= ~DO_DEVICE_INITIALIZING;
        PassDownFilter::seen = 0;
    }

    sim::PciMachine machine_;
    sim::PciFunction *card_ = nullptr;
    std::unique_ptr<sim::PciBusDriver> bus_;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDRIVER_OBJECT filterDriver_ = nullptr;
    PDEVICE_OBJECT filter_ = nullptr;
};

TEST_F(LowerAccessTest, ReadsOfEachWidthComeFromTheFunction)
{
    EXPECT_EQ(ReadPCIConfigW(pdo_, 0x00), 0x10EC);
    EXPECT_EQ(ReadPCIConfigW(pdo_, 0x02), 0x8139);
    EXPECT_EQ(ReadPCIConfigDW(pdo_, 0x00), 0x813910ECu);
    EXPECT_EQ(ReadPCIConfigB(pdo_, 0x0B), 0x02);
    UCHAR buf[8] = {};
    EXPECT_EQ(ReadPCIConfigBuf(pdo_, 0, buf, sizeof(buf)), STATUS_SUCCESS);
    EXPECT_EQ(buf[0], 0xEC);
    EXPECT_EQ(buf[3], 0x81);
    EXPECT_TRUE(TraceLines().empty());
}

TEST_F(LowerAccessTest, RequestGoesToTheTopOfTheStack)
{
    AttachFilter();
    EXPECT_EQ(ReadPCIConfigW(pdo_, 0x00), 0x10EC);
    EXPECT_EQ(PassDownFilter::seen, 1) << "sent to the top, not to the PDO itself";
    EXPECT_EQ(standin::ObjectReferenceCount(filter_), 0) << "the reference to the top is dropped";
}

TEST_F(LowerAccessTest, WritesLandAndReadBackQuietly)
{
    EXPECT_EQ(WritePCIConfigW(pdo_, 0x04, 0x0007), STATUS_SUCCESS);
    EXPECT_EQ(card_->Peek16(0x04), 0x0007);
    EXPECT_EQ(WritePCIConfigB(pdo_, 0x0D, 0xF8), STATUS_SUCCESS);
    EXPECT_EQ(card_->Peek8(0x0D), 0xF8);
    EXPECT_TRUE(TraceLines().empty());
}

TEST_F(LowerAccessTest, WriteThatDoesNotStickIsReportedButSucceeds)
{
    EXPECT_EQ(WritePCIConfigB(pdo_, 0x44, 0xF8), STATUS_SUCCESS);
    EXPECT_EQ(TraceLines(), std::vector<std::string>{"WritePCIConfigB: wrote 0xf8 readback 0x00"});
}

TEST_F(LowerAccessTest, WordWriteThatDoesNotStickIsReported)
{
    // Only bits 0..2, 6 and 8 of the command register exist.
    EXPECT_EQ(WritePCIConfigW(pdo_, 0x04, 0xFFFF), STATUS_SUCCESS);
    auto lines = TraceLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("WritePCIConfigW: wrote 0xffff readback 0x", 0), 0u) << lines[0];
}

struct FailCase {
    sim::ConfigMode mode;
    NTSTATUS status;
};

class FailingBusDriverTest : public LowerAccessTest, public ::testing::WithParamInterface<FailCase> {};

TEST_P(FailingBusDriverTest, ReadsYieldAllOnesAndNameTheOffset)
{
    bus_->SetConfigMode(pdo_, GetParam().mode, GetParam().status);
    EXPECT_EQ(ReadPCIConfigB(pdo_, 0x3C), 0xFF);
    EXPECT_EQ(ReadPCIConfigW(pdo_, 0x02), 0xFFFF);
    EXPECT_EQ(ReadPCIConfigDW(pdo_, 0x18), 0xFFFFFFFFu);
    UCHAR buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(ReadPCIConfigBuf(pdo_, 0x10, buf, 4), GetParam().status);
    EXPECT_EQ(buf[0], 1) << "the buffer is left alone";
    EXPECT_EQ(TraceLines(), (std::vector<std::string>{
                                "ERROR! ReadPCIConfigB @ 0x3c failed", "ERROR! ReadPCIConfigW @ 0x2 failed",
                                "ERROR! ReadPCIConfigW @ 0x18 failed", "ERROR! ReadPCIConfigBuf @ 0x10 failed"}));
}

TEST_P(FailingBusDriverTest, FailedWriteIsReportedWithoutAReadBack)
{
    bus_->SetConfigMode(pdo_, GetParam().mode, GetParam().status);
    EXPECT_EQ(WritePCIConfigB(pdo_, 0x0C, 0x10), GetParam().status);
    EXPECT_EQ(WritePCIConfigW(pdo_, 0x3E, 0x0600), GetParam().status);
    EXPECT_EQ(TraceLines(), (std::vector<std::string>{"ERROR! WritePCIConfigB @ 0xc failed",
                                                       "ERROR! WritePCIConfigW @ 0x3e failed"}));
    EXPECT_EQ(bus_->Record(pdo_)->configReads, 0u);
}

INSTANTIATE_TEST_SUITE_P(Modes, FailingBusDriverTest,
                         ::testing::Values(FailCase{sim::ConfigMode::Fail, STATUS_UNSUCCESSFUL},
                                           FailCase{sim::ConfigMode::Fail, STATUS_INVALID_DEVICE_REQUEST},
                                           FailCase{sim::ConfigMode::PendingFail, STATUS_DEVICE_NOT_READY},
                                           FailCase{sim::ConfigMode::Fail, STATUS_NOT_SUPPORTED}));

TEST_F(LowerAccessTest, PendingBusDriverIsWaitedForAndJudgedByItsFinalStatus)
{
    AttachFilter();
    bus_->SetConfigMode(pdo_, sim::ConfigMode::Pending);
    EXPECT_EQ(ReadPCIConfigDW(pdo_, 0x00), 0x813910ECu);
    EXPECT_EQ(WritePCIConfigB(pdo_, 0x0D, 0x40), STATUS_SUCCESS);
    EXPECT_EQ(card_->Peek8(0x0D), 0x40);
    EXPECT_EQ(standin::DeferredCount(), 0u);
    EXPECT_TRUE(TraceLines().empty());
}

TEST_F(LowerAccessTest, PositiveStatusCountsAsFailure)
{
    bus_->SetConfigMode(pdo_, sim::ConfigMode::Fail, STATUS_PENDING + 1);
    EXPECT_EQ(ReadPCIConfigB(pdo_, 0x08), 0xFF);
    EXPECT_EQ(CountContaining(TraceLines(), "ERROR! ReadPCIConfigB @ 0x8 failed"), 1u);
}

TEST_F(LowerAccessTest, NoStackTopMeansInsufficientResourcesAndAWarning)
{
    standin::SetAttachedDeviceReferenceFails(true);
    UCHAR b = 0;
    EXPECT_EQ(_ReadWritePci(pdo_, 0, &b, 0, 1), STATUS_INSUFFICIENT_RESOURCES);
    standin::SetAttachedDeviceReferenceFails(false);
    EXPECT_EQ(TraceLines(),
              std::vector<std::string>{"WARNING _ReadWritePci: IoGetAttachedDeviceReference returned NULL"});
}

TEST_F(LowerAccessTest, NoRequestMeansInsufficientResourcesSilentlyAndTheReferenceIsDropped)
{
    standin::SetIrpAllocationFails(true);
    UCHAR b = 0;
    EXPECT_EQ(_ReadWritePci(pdo_, 0, &b, 0, 1), STATUS_INSUFFICIENT_RESOURCES);
    standin::SetIrpAllocationFails(false);
    EXPECT_TRUE(TraceLines().empty());
    EXPECT_EQ(standin::ObjectReferenceCount(pdo_), 0);
}

TEST_F(LowerAccessTest, ReadsFollowTheBusNumbersProgrammedNow)
{
    sim::PciMachine m2;
    auto *bridge = m2.AddFunction(m2.Root(), 1, 0, sim::models::DEC21154());
    m2.AddFunction(m2.SecondarySegment(bridge), 0, 0, sim::models::RTL8139());
    m2.SetBusNumbers(bridge, 0, 2, 2);
    machine_.Uninstall();
    m2.Install();
    sim::PciBusDriver bus2(m2);
    PDEVICE_OBJECT pdo = bus2.PdoFor(2, 0, 0);
    ASSERT_NE(pdo, nullptr);
    EXPECT_EQ(ReadPCIConfigW(pdo, 0), 0x10EC);
    // Renumber the bridge away from bus 2: the PDO's bus is no longer reached.
    m2.SetBusNumbers(bridge, 0, 5, 5);
    EXPECT_EQ(ReadPCIConfigW(pdo, 0), 0xFFFF) << "unreachable bus reads all ones";
    m2.Uninstall();
    machine_.Install();
}

// Configuration space dumps.
class DumpTest : public LowerAccessTest {};

TEST_F(DumpTest, SixtyFourBytesThroughTheStackGiveFourLines)
{
    DumpPciSpace("PrestartDevice", pdo_, 64);
    auto lines = TraceLines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "==== PrestartDevice PCI Space");
    EXPECT_EQ(lines[1].substr(0, 14), "[00] 813910EC ");
    EXPECT_EQ(lines[2].substr(0, 5), "[10] ");
    EXPECT_EQ(lines[3].substr(0, 5), "[20] ");
    EXPECT_EQ(lines[4].substr(0, 5), "[30] ");
}

TEST_F(DumpTest, NullNameGivesTwoBlanksAndThirtyTwoBytesTwoLines)
{
    DumpPciSpace(nullptr, pdo_, 32);
    auto lines = TraceLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "====  PCI Space");
}

TEST_F(DumpTest, FailedReadShowsAllOnes)
{
    bus_->SetConfigMode(pdo_, sim::ConfigMode::Fail);
    DumpPciSpace("x", pdo_, 16);
    auto lines = TraceLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "ERROR! ReadPCIConfigBuf @ 0x0 failed");
    EXPECT_EQ(lines[2], "[00] FFFFFFFF FFFFFFFF FFFFFFFF FFFFFFFF");
}

TEST_F(DumpTest, OnlyDoubleWordsThatWereReadAreShown)
{
    DumpPciSpace("part", pdo_, 20);
    auto lines = TraceLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2].size(), std::string("[10] 00000000").size()) << lines[2];
    EXPECT_EQ(bus_->Record(pdo_)->configReads, 1u);
}

TEST_F(DumpTest, OversizedLengthIsCutToTheBuffer)
{
    DumpPciSpace("big", pdo_, 1000);
    EXPECT_EQ(TraceLines().size(), 17u);
}

TEST_F(DumpTest, DirectDumpStopsAt128BytesAndShowsWholeLines)
{
    DumpPciSpaceAt("probeBuses", 0, 4, 0, 0xFF);
    auto lines = TraceLines();
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[0], "==== probeBuses PCI Space 00:04:0");
    EXPECT_EQ(lines[8].substr(0, 5), "[70] ");

    standin::ClearDebugLines();
    SetVerbose(1);
    DumpPciSpaceAt(nullptr, 0, 4, 0, 20);
    ASSERT_EQ(standin::DebugLines().size(), 3u);
    EXPECT_EQ(standin::DebugLines()[0], "====  PCI Space 00:04:0\n");
    EXPECT_EQ(standin::DebugLines()[2].size(), std::string("[10] 00000000 00000000 00000000 00000000\n").size());
}

TEST_F(DumpTest, DirectDumpOfAnAbsentFunctionShowsAllOnes)
{
    DumpPciSpaceAt("none", 0, 9, 0, 16);
    auto lines = TraceLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "[00] FFFFFFFF FFFFFFFF FFFFFFFF FFFFFFFF");
}

} // namespace
