// A simulated machine, its PCI bus driver and a driver object whose filter
// devices carry the driver's device extension, filled in visibly by each
// test. The filter devices pass every PnP request down, as the driver's own
// PnP dispatch does with configuration requests, so configuration accesses
// through the lower driver reach the simulated function.
#ifndef TOLMU_TESTS_QUIRKS_FIXTURE_H
#define TOLMU_TESTS_QUIRKS_FIXTURE_H

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "driver/config.h"
#include "pci/pci_direct.h"
#include "pci_bus_driver.h"
#include "pnp/device_extension.h"
#include "quirks/quirks.h"
#include "standin.h"
#include "standin/iomgr.h"
#include "test_support.h"

namespace quirkstest {

using Write = sim::PciFunction::WriteRecord;

// What a test says about one filter device.
struct FilterSetup {
    sim::PciFunction *function = nullptr;
    ULONG flags = 0;
    ULONG bridgeType = BRIDGE_TYPE_OTHER;
    // Bus numbers of a bridge; UNKNOWN_NUMBER when not a bridge.
    ULONG priBus = UNKNOWN_NUMBER;
    ULONG secBus = UNKNOWN_NUMBER;
    ULONG subBus = UNKNOWN_NUMBER;
};

class QuirksTest : public testsupport::DriverTest {
  protected:
    static NTSTATUS NTAPI PassDown(PDEVICE_OBJECT device, PIRP irp)
    {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(GET_EXTENSION(device)->LowerDevice, irp);
    }

    void SetUp() override
    {
        DriverTest::SetUp();
        StartTrace();
        driver_ = standin::CreateDriverObject("\\Driver\\tolmu");
        driver_->MajorFunction[IRP_MJ_PNP] = PassDown;
    }

    void TearDown() override
    {
        // Newest first: detach from the PDO, then delete.
        for (auto it = filters_.rbegin(); it != filters_.rend(); ++it) {
            IoDetachDevice(GET_EXTENSION(*it)->LowerDevice);
            IoDeleteDevice(*it);
        }
        filters_.clear();
        bus_.reset();
        standin::DestroyDriverObject(driver_);
        machine_.Uninstall();
        DriverTest::TearDown();
    }

    // Call once the topology and bus numbers are in place. The direct
    // configuration routines announce their port set-up once per load; that
    // line is left out of what the tests read back.
    void Power()
    {
        machine_.Install();
        bus_ = std::make_unique<sim::PciBusDriver>(machine_);
        PciCfgInitPorts(PCI_CONFIG_ADDRESS_PORT);
        traceMark_ = testsupport::TraceText().size();
    }

    // A filter device on the function's stack, its extension filled with the
    // function's identity and location as the bus reaches it now.
    PDEVICE_EXTENSION Attach(const FilterSetup &setup)
    {
        PDEVICE_OBJECT pdo = bus_->PdoFor(setup.function);
        EXPECT_NE(pdo, nullptr) << setup.function->Describe() << " is not reachable";
        if (pdo == nullptr)
            return nullptr;
        PDEVICE_OBJECT filter = nullptr;
        EXPECT_EQ(IoCreateDevice(driver_, sizeof(DEVICE_EXTENSION), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE,
                                 &filter),
                  STATUS_SUCCESS);
        PDEVICE_EXTENSION ext = GET_EXTENSION(filter);
        memset(ext, 0, sizeof(*ext));
        ext->DeviceObject = filter;
        ext->Pdo = pdo;
        ext->LowerDevice = IoAttachDeviceToDeviceStack(filter, pdo);
        ext->VenId = setup.function->VendorId();
        ext->DevId = setup.function->DeviceId();
        ext->Bus = (ULONG)machine_.BusNumberOf(setup.function);
        ext->Device = (ULONG)setup.function->DeviceNumber();
        ext->Function = (ULONG)setup.function->FunctionNumber();
        ext->PriBus = setup.priBus;
        ext->SecBus = setup.secBus;
        ext->SubBus = setup.subBus;
        ext->Flags = setup.flags;
        ext->BridgeType = setup.bridgeType;
        ext->Irq = UNKNOWN_NUMBER;
        ext->ExCa = UNKNOWN_NUMBER;
        ext->Marker = EXTENSION_MARKER;
        filter->Flags &= ~DO_DEVICE_INITIALIZING;
        filters_.push_back(filter);
        return ext;
    }

    // Configuration values as the registry holds them at load.
    void Configure(const std::vector<std::pair<std::string, ULONG>> &values)
    {
        for (const auto &v : values)
            standin::RegSetDword("tolmu\\Parameters", v.first, v.second);
        ReadConfiguration();
    }

    // The trace since Power().
    std::vector<std::string> Lines() const
    {
        return testsupport::SplitLines(testsupport::TraceText().substr(traceMark_));
    }

    // The bus driver writes configuration space a byte at a time: the byte
    // writes one value of the given width becomes, lowest byte first.
    static std::vector<Write> Bytes(uint8_t offset, uint32_t value, int width)
    {
        std::vector<Write> out;
        for (int i = 0; i < width; i++)
            out.push_back({(uint8_t)(offset + i), 1, (value >> (8 * i)) & 0xFF});
        return out;
    }
    static std::vector<Write> Concat(std::initializer_list<std::vector<Write>> parts)
    {
        std::vector<Write> out;
        for (const auto &p : parts)
            out.insert(out.end(), p.begin(), p.end());
        return out;
    }

    static std::string Describe(const std::vector<Write> &writes)
    {
        std::string s;
        char buf[48];
        for (const auto &w : writes) {
            snprintf(buf, sizeof(buf), "[0x%02X/%d=0x%X]", w.offset, w.width, w.value);
            s += buf;
        }
        return s.empty() ? "(no writes)" : s;
    }

    sim::PciMachine machine_;
    std::unique_ptr<sim::PciBusDriver> bus_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<PDEVICE_OBJECT> filters_;
    size_t traceMark_ = 0;
};

} // namespace quirkstest

#endif
