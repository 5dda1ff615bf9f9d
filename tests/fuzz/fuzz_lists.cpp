// Fuzz target: the requirement-list and resource-list printers, the
// requirements-list editors and the requirements filter, on lists whose
// structure is valid (ListSize covers exactly the alternative lists and their
// descriptors) and whose content comes from the input: header fields, types,
// options, flags, the union's words, device-private tags (often one of the
// filters' keys). The list goes through IRP_MN_FILTER_RESOURCE_REQUIREMENTS to
// a filter device above the simulated bus driver's PDO of a bridge or a plain
// device; then a CM_RESOURCE_LIST goes through the printer, the extraction of
// the bridge's windows at start and the checked build's I/O length hack.
#include <algorithm>
#include <cstring>
#include <vector>

#include "filter_device.h"
#include "fuzz_input.h"

#include "diag/resource_print.h"
#include "core/config.h"
#include "core/debug.h"
#include "iomgr.h"
#include "pci_bus_driver.h"
#include "pci_machine.h"
#include "pnp/pnp.h"
#include "quirks/quirks.h"
#include "resources/resources.h"

namespace {

const UCHAR kTypes[] = {CmResourceTypePort,          CmResourceTypeMemory, CmResourceTypeDevicePrivate,
                        CmResourceTypeInterrupt,     CmResourceTypeDma,    CmResourceTypeNull,
                        CmResourceTypeBusNumber,     CmResourceTypePort,   CmResourceTypeMemory,
                        CmResourceTypeDevicePrivate, 0x7F,                 0xFF};

// The device-private tags the two filter tables key on, and ones none does.
const ULONG kKeys[][3] = {{1, 1, 0}, {1, 2, 0}, {1, 3, 0}, {1, 4, 0}, {1, 5, 0}, {0, 0, 0}};

void Descriptor(fuzz::Input &in, IO_RESOURCE_DESCRIPTOR &d)
{
    static const UCHAR options[] = {0, IO_RESOURCE_ALTERNATIVE, IO_RESOURCE_PREFERRED, IO_RESOURCE_DEFAULT, 0, 0xFF};
    in.Bytes(&d, sizeof d);
    uint8_t pick = in.U8();
    d.Type = (pick & 0x80) ? d.Type : kTypes[pick % (sizeof kTypes)];
    d.Option = (pick & 0x40) ? d.Option : options[(pick >> 3) % (sizeof options)];
    if (d.Type == CmResourceTypeDevicePrivate && !(pick & 0x20)) {
        const ULONG *key = kKeys[in.U8() % (sizeof kKeys / sizeof kKeys[0])];
        std::memcpy(d.u.DevicePrivate.Data, key, sizeof d.u.DevicePrivate.Data);
    }
}

// Any of the platform's interface types (the field can hold no other value).
INTERFACE_TYPE Interface(fuzz::Input &in)
{
    const uint8_t pick = in.U8();
    return (pick & 0x80) ? PCIBus : (INTERFACE_TYPE)((int)(pick % (MaximumInterfaceType + 2)) - 1);
}

// A requirements list in the driver's pool, exactly as large as its content.
PIO_RESOURCE_REQUIREMENTS_LIST RequirementsList(fuzz::Input &in)
{
    ULONG alternatives = in.U8() % 5;
    std::vector<ULONG> counts;
    size_t bytes = offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List);
    for (ULONG i = 0; i < alternatives; i++) {
        counts.push_back(in.U8() % 13);
        bytes += offsetof(IO_RESOURCE_LIST, Descriptors) + counts.back() * sizeof(IO_RESOURCE_DESCRIPTOR);
    }
    // With no alternative, still the room of one empty header, as declared.
    bytes = std::max(bytes, sizeof(IO_RESOURCE_REQUIREMENTS_LIST));
    auto *list = static_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(PMalloc((ULONG)bytes));
    if (list == nullptr)
        fuzz::Fault("no pool for the list");
    std::memset(list, 0, bytes);
    list->ListSize = (ULONG)bytes;
    list->InterfaceType = Interface(in);
    in.Bytes(&list->BusNumber, sizeof list->BusNumber + sizeof list->SlotNumber + sizeof list->Reserved);
    list->AlternativeLists = alternatives;
    PIO_RESOURCE_LIST alt = list->List;
    for (ULONG i = 0; i < alternatives; i++, alt = NextResourceList(alt)) {
        in.Bytes(&alt->Version, sizeof alt->Version + sizeof alt->Revision);
        alt->Count = counts[i];
        for (ULONG j = 0; j < counts[i]; j++)
            Descriptor(in, alt->Descriptors[j]);
    }
    return list;
}

PCM_RESOURCE_LIST ResourceList(fuzz::Input &in, std::vector<uint8_t> &storage)
{
    ULONG fulls = in.U8() % 4;
    std::vector<ULONG> counts;
    size_t bytes = offsetof(CM_RESOURCE_LIST, List);
    for (ULONG i = 0; i < fulls; i++) {
        counts.push_back(in.U8() % 9);
        bytes += offsetof(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList.PartialDescriptors) +
                 counts.back() * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
    }
    storage.assign(std::max(bytes, sizeof(CM_RESOURCE_LIST)), 0);
    auto *list = reinterpret_cast<PCM_RESOURCE_LIST>(storage.data());
    list->Count = fulls;
    PCM_FULL_RESOURCE_DESCRIPTOR full = list->List;
    for (ULONG i = 0; i < fulls; i++) {
        full->InterfaceType = Interface(in);
        full->BusNumber = in.U32();
        in.Bytes(&full->PartialResourceList.Version, 2 * sizeof(USHORT)); // Version, Revision
        full->PartialResourceList.Count = counts[i];
        for (ULONG j = 0; j < counts[i]; j++) {
            CM_PARTIAL_RESOURCE_DESCRIPTOR &d = full->PartialResourceList.PartialDescriptors[j];
            in.Bytes(&d, sizeof d);
            if (const uint8_t pick = in.U8(); !(pick & 0x80))
                d.Type = kTypes[pick % (sizeof kTypes)];
        }
        full = reinterpret_cast<PCM_FULL_RESOURCE_DESCRIPTOR>(
            &full->PartialResourceList.PartialDescriptors[full->PartialResourceList.Count]);
    }
    return list;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    standin::Reset();
    standin::ResetDriverModuleState();
    fuzz::AbortOnDriverFindings();

    static const ULONG ios[] = {0, 0x1000, 0x2000, 0x100000};
    standin::RegSetDword("tolmu\\Parameters", "Memory", 0x400000);
    standin::RegSetDword("tolmu\\Parameters", "PreFetch", 0x2000000);
    standin::RegSetDword("tolmu\\Parameters", "Io", in.Pick(ios));
    standin::RegSetDword("tolmu\\Parameters", "filterIO", in.Bit());
    ReadConfiguration();
    SetVerbose(in.U8() % 10);
    standin::SetCheckedBuild(in.Bit());
    TraceStart(0x8000);

    // The adapter: a CardBus controller at 00:03.0, behind it a PCI-to-PCI
    // bridge, behind that a CardBus controller and a card.
    {
        sim::PciMachine machine;
        machine.AddFunction(machine.Root(), 0, 0, sim::models::Intel440BX());
        sim::PciFunction *cb = machine.AddFunction(machine.Root(), 3, 0, sim::models::TI1420());
        sim::PciFunction *p2p = machine.AddFunction(machine.SecondarySegment(cb), 0, 0, sim::models::DEC21154());
        sim::PciFunction *inner =
            machine.AddFunction(machine.SecondarySegment(p2p), 0, 0, sim::models::O2MicroOZ711());
        sim::PciFunction *nic = machine.AddFunction(machine.SecondarySegment(p2p), 1, 0, sim::models::RTL8139());
        machine.SetBusNumbers(cb, 0, 1, 4);
        machine.SetBusNumbers(p2p, 1, 2, 3);
        machine.SetBusNumbers(inner, 2, 3, 3);
        machine.Install();
        sim::PciBusDriver bus(machine);

        struct Choice {
            sim::PciFunction *fn;
            ULONG type, flags;
        } const choices[] = {{cb, BRIDGE_TYPE_CARDBUS, CB_BRIDGE | ROOT},
                             {p2p, BRIDGE_TYPE_P2P, P2P_BRIDGE},
                             {inner, BRIDGE_TYPE_CARDBUS, CB_BRIDGE},
                             {nic, BRIDGE_TYPE_OTHER, 0}};
        Choice c = choices[in.U8() % 4];
        static const ULONG extra[] = {0, ENUMERATE, NOIO, ENUMERATE | NOIO};
        c.flags |= c.type == BRIDGE_TYPE_OTHER ? 0 : in.Pick(extra);

        PDRIVER_OBJECT driver = standin::CreateDriverObject("\\Driver\\tolmu");
        driver->MajorFunction[IRP_MJ_PNP] = PnpDispatch;
        PDEVICE_EXTENSION ext = testsupport::AttachFilterDevice(driver, bus, c.fn, c.type, c.flags);
        if (ext == nullptr)
            fuzz::Fault("no filter device");
        PDEVICE_OBJECT filter = ext->DeviceObject;

        // The requirements filter, as the PnP manager sends it.
        PIO_RESOURCE_REQUIREMENTS_LIST list = RequirementsList(in);
        PIRP irp = IoAllocateIrp(filter->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_PNP;
        next->MinorFunction = IRP_MN_FILTER_RESOURCE_REQUIREMENTS;
        next->Parameters.FilterResourceRequirements.IoResourceRequirementList = list;
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(list);
        NTSTATUS status = IoCallDriver(filter, irp);
        if (standin::GetIrpState(irp) != standin::IrpState::Completed || irp->IoStatus.Status != status)
            fuzz::Fault("the filter request not completed, or completed with another status than returned");
        MFree(reinterpret_cast<PVOID>(irp->IoStatus.Information));
        IoFreeIrp(irp);

        // The editors once more on their own, on a fresh list.
        list = RequirementsList(in);
        PIO_RESOURCE_REQUIREMENTS_LIST copy = dupResourceRequirementsList(list);
        adjustMinMax(list);
        MFree(list);
        if (copy != nullptr) {
            PrintResourceRequirementsList(copy);
            MFree(filterOutIo(copy));
        }

        // A resource list through the printer, the extraction and the hack.
        std::vector<uint8_t> storage;
        PCM_RESOURCE_LIST resources = ResourceList(in, storage);
        PrintResourceList(resources);
        ExtractResources(ext, resources);
        PrintExtractedResources(ext);
        hackIoLength(resources, 0x1000);
        PrintResourceList(resources);

        testsupport::RemoveFilterDevice(filter);
        standin::DestroyDriverObject(driver);
    }
    TraceStop();
    standin::CheckIoLeftovers();
    std::string pool = standin::PoolReport();
    if (!pool.empty())
        fuzz::Fault("pool left behind:\n" + pool);
    fuzz::Done();
    return 0;
}
