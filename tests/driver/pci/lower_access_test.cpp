// Configuration access through the device's stack: through whatever stands on top, pending and
// failing bus drivers, the read-back check of writes, the failure paths, and the dumps.
#include <gtest/gtest.h>

#include "core/debug.h"
#include "pci/pci_direct.h"
#include "pci/pci_dump.h"
#include "pci/pci_lower.h"
#include "pci_bus_driver.h"
#include "standin/iomgr.h"
#include "test_support.h"

using testsupport::TraceLines;
using Lines = std::vector<std::string>;

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
        card_->DefineRegister(0x44, 1, 0x00, 0x00); // a vendor register that ignores writes
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
        ASSERT_EQ(IoCreateDevice(filterDriver_, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &filter_),
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
    PDEVICE_OBJECT filter_ = nullptr; // the pass-down device, when attached
};

// Through a filter above the PDO, the bus driver completing at once, then pending: every width
// reads and writes the function; writes that stick are quiet; the stack top's reference is dropped.
TEST_F(LowerAccessTest, RequestsGoToTheTopOfTheStackAndReachTheFunction)
{
    AttachFilter();
    for (sim::ConfigMode mode : {sim::ConfigMode::Synchronous, sim::ConfigMode::Pending}) {
        bus_->SetConfigMode(pdo_, mode);
        UCHAR buf[8] = {};
        EXPECT_EQ(ReadPCIConfigBuf(pdo_, 0, buf, sizeof(buf)), STATUS_SUCCESS);
        EXPECT_EQ((std::vector<ULONG>{ReadPCIConfigW(pdo_, 0x02), ReadPCIConfigDW(pdo_, 0x00), ReadPCIConfigB(pdo_, 0x0B),
                                      (ULONG)(buf[0] | buf[3] << 8)}),
                  (std::vector<ULONG>{0x8139, 0x813910EC, 0x02, 0x81EC}));
        EXPECT_EQ(WritePCIConfigW(pdo_, 0x04, 0x0007) | WritePCIConfigB(pdo_, 0x0D, 0x40), STATUS_SUCCESS);
        EXPECT_EQ((std::vector<ULONG>{card_->Peek16(0x04), card_->Peek8(0x0D)}), (std::vector<ULONG>{0x0007, 0x40}));
    }
    EXPECT_EQ(PassDownFilter::seen, 16) << "sent to the top, not to the PDO itself";
    EXPECT_EQ(standin::ObjectReferenceCount(filter_), 0);
    EXPECT_EQ(standin::DeferredCount(), 0u);
    EXPECT_TRUE(TraceLines().empty());
}

TEST_F(LowerAccessTest, WriteThatDoesNotStickIsReportedButSucceeds)
{
    EXPECT_EQ(WritePCIConfigB(pdo_, 0x44, 0xF8), STATUS_SUCCESS);
    EXPECT_EQ(WritePCIConfigW(pdo_, 0x04, 0xFFFF), STATUS_SUCCESS); // bits 0-2, 6 and 8 exist
    auto lines = TraceLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "WritePCIConfigB: wrote 0xf8 readback 0x00");
    EXPECT_EQ(lines[1].rfind("WritePCIConfigW: wrote 0xffff readback 0x", 0), 0u) << lines[1];
}

// Any status but success, a positive one too: reads yield all ones and leave the buffer alone,
// writes are not read back; each names its offset.
TEST_F(LowerAccessTest, FailingBusDriver)
{
    const struct { sim::ConfigMode mode; NTSTATUS status; }
        rows[] = {{sim::ConfigMode::Fail, STATUS_UNSUCCESSFUL},
                {sim::ConfigMode::PendingFail, STATUS_DEVICE_NOT_READY},
                {sim::ConfigMode::Fail, STATUS_PENDING + 1}};
    for (const auto &r : rows) {
        bus_->SetConfigMode(pdo_, r.mode, r.status);
        EXPECT_EQ((std::vector<ULONG>{ReadPCIConfigB(pdo_, 0x3C), ReadPCIConfigW(pdo_, 0x02), ReadPCIConfigDW(pdo_, 0x18)}),
                  (std::vector<ULONG>{0xFF, 0xFFFF, 0xFFFFFFFF}));
        UCHAR buf[4] = {1, 2, 3, 4};
        EXPECT_EQ(ReadPCIConfigBuf(pdo_, 0x10, buf, 4), r.status);
        EXPECT_EQ(buf[0], 1) << "the buffer is left alone";
        uint64_t reads = bus_->Record(pdo_)->configReads;
        EXPECT_EQ((std::vector<NTSTATUS>{WritePCIConfigB(pdo_, 0x0C, 0x10), WritePCIConfigW(pdo_, 0x3E, 0x0600)}),
                  std::vector<NTSTATUS>(2, r.status));
        EXPECT_EQ(bus_->Record(pdo_)->configReads, reads) << "no read-back";
    }
    auto lines = TraceLines();
    ASSERT_EQ(lines.size(), 18u);
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + 6),
              (Lines{"ERROR! ReadPCIConfigB @ 0x3c failed", "ERROR! ReadPCIConfigW @ 0x2 failed",
                     "ERROR! ReadPCIConfigW @ 0x18 failed", "ERROR! ReadPCIConfigBuf @ 0x10 failed",
                     "ERROR! WritePCIConfigB @ 0xc failed", "ERROR! WritePCIConfigW @ 0x3e failed"}));
}

TEST_F(LowerAccessTest, NoStackTopOrNoRequestMeansInsufficientResources)
{
    UCHAR b = 0;
    standin::SetAttachedDeviceReferenceFails(true);
    EXPECT_EQ(_ReadWritePci(pdo_, 0, &b, 0, 1), STATUS_INSUFFICIENT_RESOURCES);
    standin::SetAttachedDeviceReferenceFails(false);
    standin::SetIrpAllocationFails(true);
    EXPECT_EQ(_ReadWritePci(pdo_, 0, &b, 0, 1), STATUS_INSUFFICIENT_RESOURCES);
    standin::SetIrpAllocationFails(false);
    EXPECT_EQ(TraceLines(), Lines{"WARNING _ReadWritePci: IoGetAttachedDeviceReference returned NULL"}) << "no IRP: silently";
    EXPECT_EQ(standin::ObjectReferenceCount(pdo_), 0) << "the reference is dropped";
}

// A dump through the stack shows only whole double words read (a short last line just those), at
// most its 256-byte buffer, and all ones for a failed read; one by the ports stops at 128 bytes,
// an absent function all ones.
TEST_F(LowerAccessTest, DumpsThroughTheStackAndThePorts)
{
    card_->Poke32(0x14, 0x12345678);
    DumpPciSpace("PrestartDevice", pdo_, 24);
    DumpPciSpace(nullptr, pdo_, 1000);
    bus_->SetConfigMode(pdo_, sim::ConfigMode::Fail);
    DumpPciSpace("x", pdo_, 16);
    auto lines = TraceLines();
    ASSERT_EQ(lines.size(), 3u + 17u + 3u);
    char last[32];
    snprintf(last, sizeof last, "[10] %08X 12345678", card_->Peek32(0x10));
    EXPECT_EQ(lines[2], last) << "a last line of two double words";
    EXPECT_EQ((Lines{lines[0], lines[1].substr(0, 14), lines[3], lines[19].substr(0, 5), lines[21], lines[22]}),
              (Lines{"==== PrestartDevice PCI Space", "[00] 813910EC ", "====  PCI Space", "[F0] ",
                     "ERROR! ReadPCIConfigBuf @ 0x0 failed", "[00] FFFFFFFF FFFFFFFF FFFFFFFF FFFFFFFF"}));
    DumpPciSpaceAt("probeBuses", 0, 4, 0, 0xFF);
    DumpPciSpaceAt(nullptr, 0, 9, 0, 4);
    lines = TraceLines();
    ASSERT_EQ(lines.size(), 23u + 9u + 2u);
    EXPECT_EQ((Lines{lines[23], lines[24].substr(0, 14), lines[31].substr(0, 5), lines[32], lines[33]}),
              (Lines{"==== probeBuses PCI Space 00:04:0", "[00] 813910EC ", "[70] ", "====  PCI Space 00:09:0",
                     "[00] FFFFFFFF FFFFFFFF FFFFFFFF FFFFFFFF"}));
}

} // namespace
