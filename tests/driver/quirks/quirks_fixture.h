// A simulated machine, its PCI bus driver and a driver object whose filter devices carry
// extensions each test fills in, passing PnP requests down to the simulated function.
#ifndef TOLMU_TESTS_QUIRKS_FIXTURE_H
#define TOLMU_TESTS_QUIRKS_FIXTURE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "core/config.h"
#include "pci/pci_direct.h"
#include "pci_bus_driver.h"
#include "pnp/device_extension.h"
#include "quirks/quirks.h"
#include "standin.h"
#include "standin/iomgr.h"
#include "test_support.h"

namespace sim {
inline void PrintTo(const PciFunction::WriteRecord &w, std::ostream *os) // [offset/width=value]
{
    char buf[48];
    snprintf(buf, sizeof(buf), "[0x%02X/%d=0x%X]", w.offset, w.width, w.value);
    *os << buf;
}
} // namespace sim

namespace quirkstest {

using Write = sim::PciFunction::WriteRecord;
using Writes = std::vector<Write>;
using Lines = std::vector<std::string>;

// One filter device: bus numbers are a bridge's (UNKNOWN_NUMBER otherwise).
struct FilterSetup {
    sim::PciFunction *function = nullptr;
    ULONG flags = 0, bridgeType = BRIDGE_TYPE_OTHER;
    ULONG priBus = UNKNOWN_NUMBER, secBus = UNKNOWN_NUMBER, subBus = UNKNOWN_NUMBER;
};

// The bus driver writes configuration space a byte at a time, lowest byte first.
inline Writes WordsAsBytes(std::initializer_list<std::pair<uint8_t, uint16_t>> words)
{
    Writes out;
    for (const auto &w : words)
        for (int i = 0; i < 2; i++)
            out.push_back({(uint8_t)(w.first + i), 1, (uint32_t)(w.second >> (8 * i)) & 0xFF});
    return out;
}

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
        for (auto it = filters_.rbegin(); it != filters_.rend(); ++it) {
            IoDetachDevice(GET_EXTENSION(*it)->LowerDevice);
            IoDeleteDevice(*it);
        }
        bus_.reset();
        standin::DestroyDriverObject(driver_);
        machine_.Uninstall();
        DriverTest::TearDown();
    }
    // Once the topology and bus numbers are in place; Trace() starts after the port set-up line.
    void Power()
    {
        machine_.Install();
        bus_ = std::make_unique<sim::PciBusDriver>(machine_);
        PciCfgInitPorts(PCI_CONFIG_ADDRESS_PORT);
        traceMark_ = testsupport::TraceText().size();
    }
    // A filter device on the function's stack, with its identity and location.
    PDEVICE_EXTENSION Attach(const FilterSetup &s)
    {
        PDEVICE_OBJECT pdo = bus_->PdoFor(s.function), filter = nullptr;
        EXPECT_NE(pdo, nullptr) << s.function->Describe() << " is not reachable";
        EXPECT_EQ(IoCreateDevice(driver_, sizeof(DEVICE_EXTENSION), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &filter),
                  STATUS_SUCCESS);
        if (pdo == nullptr || filter == nullptr)
            return nullptr;
        PDEVICE_EXTENSION e = GET_EXTENSION(filter);
        memset(e, 0, sizeof(*e));
        e->DeviceObject = filter, e->Pdo = pdo, e->LowerDevice = testsupport::AttachInAddDevice(filter, pdo);
        e->VenId = s.function->VendorId(), e->DevId = s.function->DeviceId();
        e->Bus = (ULONG)machine_.BusNumberOf(s.function);
        e->Device = (ULONG)s.function->DeviceNumber(), e->Function = (ULONG)s.function->FunctionNumber();
        e->PriBus = s.priBus, e->SecBus = s.secBus, e->SubBus = s.subBus;
        e->Flags = s.flags, e->BridgeType = s.bridgeType, e->Irq = e->ExCa = UNKNOWN_NUMBER;
        e->Marker = EXTENSION_MARKER;
        filter->Flags &= ~DO_DEVICE_INITIALIZING;
        filters_.push_back(filter);
        return e;
    }
    static void Configure(const std::vector<std::pair<std::string, ULONG>> &values)
    {
        for (const auto &v : values)
            standin::RegSetDword("tolmu\\Parameters", v.first, v.second);
        ReadConfiguration();
    }
    // The trace since Power(), and the part of it Fresh() has not returned yet.
    Lines Trace() const { return testsupport::SplitLines(testsupport::TraceText().substr(traceMark_)); }
    Lines Fresh()
    {
        Lines all = Trace();
        Lines out(all.begin() + std::min(seen_, all.size()), all.end());
        seen_ = all.size();
        return out;
    }

    sim::PciMachine machine_;
    std::unique_ptr<sim::PciBusDriver> bus_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<PDEVICE_OBJECT> filters_;
    size_t traceMark_ = 0, seen_ = 0;
};

} // namespace quirkstest

#endif
