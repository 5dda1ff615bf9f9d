/*
 * pnp_manager.cpp - device nodes and their life cycle: the stacks built on
 * the bus driver's PDOs, the requests the manager sends, the request sequence
 * of a new device, arbitration and start, bus relations, and removal. The
 * scenarios that drive them (boot, sleep, rebalance, surprise removal,
 * re-insertion, unload), the judge and the tree text are in pnp_scenarios.cpp.
 */
#include "pnp_manager.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "standin.h"
#include "standin/iomgr.h"

namespace sim {

namespace {

/* Hands the request back to the manager, whatever the stack did with it. */
NTSTATUS NTAPI RequestDone(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

std::string Narrow(PCWSTR text, size_t count)
{
    std::string out;
    for (size_t i = 0; i < count; i++)
        out.push_back(text[i] < 0x80 ? char(text[i]) : '?');
    return out;
}

std::vector<std::string> MultiStrings(PCWSTR text)
{
    std::vector<std::string> out;
    if (text == nullptr)
        return out;
    while (*text != 0) {
        size_t n = 0;
        while (text[n] != 0)
            n++;
        out.push_back(Narrow(text, n));
        text += n + 1;
    }
    return out;
}

bool IsPoolBlock(const void *p)
{
    for (const auto &b : standin::OutstandingBlocks())
        if (b.address == p)
            return true;
    return false;
}

} // namespace

const char *NodeStateName(NodeState state)
{
    switch (state) {
    case NodeState::Initialized:
        return "initialized";
    case NodeState::Started:
        return "started";
    case NodeState::NotEnoughResources:
        return "not started: not enough free resources (Code 12)";
    case NodeState::StartFailed:
        return "failed to start (Code 10)";
    case NodeState::Stopped:
        return "stopped";
    case NodeState::SurpriseRemoved:
        return "surprise removed";
    case NodeState::Removed:
        return "removed";
    }
    return "?";
}

std::string DeviceNode::Location() const
{
    char buf[16];
    unsigned bus = busInformation.BusNumber;
    snprintf(buf, sizeof buf, "%02x:%02x.%x", bus, function ? function->DeviceNumber() : 0,
             function ? function->FunctionNumber() : 0);
    return buf;
}

/* ================================================================== set-up */

PnpManager::PnpManager(PciBusDriver &bus, PnpOptions options)
    : bus_(bus), machine_(bus.Machine()), options_(std::move(options)), controllerDriver_("\\Driver\\pcmcia", true),
      childDriver_("\\Driver\\pcifunction", false), hostDriver_("\\Driver\\pci", false)
{
    root_.io = AddressSpace(options_.ioBase, options_.ioLimit);
    root_.memory = AddressSpace(options_.memBase, options_.memLimit);
}

PnpManager::~PnpManager()
{
    /* Whatever a test left standing is taken down the orderly way. */
    bool standing = false;
    for (auto &n : nodes_)
        if (n->state != NodeState::Removed)
            standing = true;
    if (standing || (filter_ != nullptr && !filterUnloaded_))
        UnloadAll();
}

void PnpManager::AddController(PciFunction *controller)
{
    controllers_.push_back(controller);
}

bool PnpManager::IsController(const PciFunction *f) const
{
    return std::find(controllers_.begin(), controllers_.end(), f) != controllers_.end();
}

bool PnpManager::AboveController(const PciFunction *f) const
{
    for (const PciFunction *c : controllers_)
        for (const PciSegment *s = c->Segment(); s != nullptr && !s->IsRoot(); s = s->Parent())
            if (s->Bridge() == f)
                return true;
    return false;
}

DeviceNode *PnpManager::BuildStack(PciFunction *function, PDEVICE_OBJECT pdo, DeviceNode *parent)
{
    DeviceNode *node = NewNode(function, pdo, parent);
    if (function != nullptr && IsController(function)) {
        node->controller = true;
        standin::BeginAddDevice(pdo, standin::AddDeviceRole::Function);
        node->fdo = controllerDriver_.AddDevice(pdo);
        standin::EndAddDevice();
        if (node->fdo == nullptr) {
            node->problem = kProblemFailedAdd;
            return node;
        }
        /* The upper filter comes after the function driver. */
        if (filter_ != nullptr && filter_->DriverExtension->AddDevice != nullptr) {
            NTSTATUS status = standin::CallAddDevice(filter_, pdo, standin::AddDeviceRole::UpperFilter);
            if (!NT_SUCCESS(status))
                node->problem = kProblemFailedAdd;
        }
        return node;
    }
    if (function != nullptr && AboveController(function)) {
        /* pci.sys is the function driver of a PCI-to-PCI bridge; it keeps
         * the windows the firmware configured. */
        node->host = true;
        bus_.KeepFirmwareResources(function);
        standin::BeginAddDevice(pdo, standin::AddDeviceRole::Function);
        node->fdo = hostDriver_.AddDevice(pdo);
        standin::EndAddDevice();
    } else {
        /* A CardBus bridge gets the CardBus driver, anything else the
         * generic function driver. */
        bool cardbus = function != nullptr && function->HeaderLayout() == kHeaderCardBusBridge;
        standin::BeginAddDevice(pdo, standin::AddDeviceRole::Function);
        node->fdo = (cardbus ? controllerDriver_ : childDriver_).AddDevice(pdo);
        standin::EndAddDevice();
    }
    if (node->fdo == nullptr)
        node->problem = kProblemFailedAdd;
    return node;
}

void PnpManager::ReserveFirmwareRanges(const std::vector<PciFunction *> &functions, BusSpaces &spaces)
{
    for (PciFunction *f : functions) {
        if (IsController(f) || AboveController(f))
            continue;
        for (const CM_PARTIAL_RESOURCE_DESCRIPTOR &d : bus_.BootConfig(f)) {
            if ((d.Type != CmResourceTypePort && d.Type != CmResourceTypeMemory) || d.u.Generic.Length == 0)
                continue;
            uint64_t start = uint64_t(d.u.Generic.Start.QuadPart);
            /* In the first space of the bus, or of the buses in front of a
             * subtractive bridge, that holds the range. */
            for (BusSpaces *b = &spaces; b != nullptr; b = b->passThrough) {
                bool done = d.Type == CmResourceTypePort
                                ? b->io.Reserve(start, d.u.Generic.Length)
                                : b->prefetch.Reserve(start, d.u.Generic.Length) ||
                                      b->memory.Reserve(start, d.u.Generic.Length);
                if (done)
                    break;
            }
        }
    }
}

void PnpManager::ReserveRoots()
{
    for (PciSegment *root : machine_.Roots())
        ReserveFirmwareRanges(root->Functions(), root_);
}

NTSTATUS PnpManager::LoadFilter()
{
    if (filter_ != nullptr || options_.filterEntry == nullptr)
        return STATUS_SUCCESS;
    if (options_.resetModuleState)
        standin::ResetDriverModuleState();
    filter_ = standin::CreateDriverObject(options_.filterName);
    std::u16string path(options_.registryPath.begin(), options_.registryPath.end());
    UNICODE_STRING registryPath;
    registryPath.Buffer = &path[0];
    registryPath.Length = USHORT(path.size() * sizeof(WCHAR));
    registryPath.MaximumLength = registryPath.Length;
    NTSTATUS status = options_.filterEntry(filter_, &registryPath);
    if (!NT_SUCCESS(status)) {
        standin::DestroyDriverObject(filter_);
        filter_ = nullptr;
    }
    return status;
}

DeviceNode *PnpManager::NewNode(PciFunction *function, PDEVICE_OBJECT pdo, DeviceNode *parent)
{
    nodes_.push_back(std::make_unique<DeviceNode>());
    DeviceNode *node = nodes_.back().get();
    node->function = function;
    node->pdo = pdo;
    node->parent = parent;
    PdoRecord *r = bus_.Record(pdo);
    node->busInformation.BusNumber = r != nullptr ? r->bus : 0;
    if (parent != nullptr)
        parent->children.push_back(node);
    else
        roots_.push_back(node);
    return node;
}

/* ================================================================ requests */

PDEVICE_OBJECT PnpManager::TopOf(PDEVICE_OBJECT device)
{
    while (device != nullptr && device->AttachedDevice != nullptr)
        device = device->AttachedDevice;
    return device;
}

PnpManager::Result PnpManager::SendPnp(PDEVICE_OBJECT device, UCHAR minor,
                                       const std::function<void(PIO_STACK_LOCATION)> &setup, ULONG_PTR information,
                                       const std::string &location)
{
    PDEVICE_OBJECT top = TopOf(device);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr)
        return Result{STATUS_INSUFFICIENT_RESOURCES, 0};
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = information;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_PNP;
    sp->MinorFunction = minor;
    if (setup)
        setup(sp);
    ULONG detail = 0;
    if (minor == IRP_MN_QUERY_ID)
        detail = sp->Parameters.QueryId.IdType;
    else if (minor == IRP_MN_QUERY_DEVICE_TEXT)
        detail = sp->Parameters.QueryDeviceText.DeviceTextType;
    else if (minor == IRP_MN_QUERY_DEVICE_RELATIONS)
        detail = sp->Parameters.QueryDeviceRelations.Type;

    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, RequestDone, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(top, irp);
    if (status == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    Result result{irp->IoStatus.Status, irp->IoStatus.Information};
    IoFreeIrp(irp);
    requests_.push_back(RequestRecord{location, IRP_MJ_PNP, minor, detail, result.status});
    return result;
}

PnpManager::Result PnpManager::SendPower(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type, ULONG state,
                                         POWER_ACTION action, const std::string &location)
{
    PDEVICE_OBJECT top = TopOf(device);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr)
        return Result{STATUS_INSUFFICIENT_RESOURCES, 0};
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_POWER;
    sp->MinorFunction = minor;
    sp->Parameters.Power.Type = type;
    if (type == DevicePowerState)
        sp->Parameters.Power.State.DeviceState = DEVICE_POWER_STATE(state);
    else
        sp->Parameters.Power.State.SystemState = SYSTEM_POWER_STATE(state);
    sp->Parameters.Power.ShutdownType = action;

    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, RequestDone, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = PoCallDriver(top, irp);
    if (status == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    Result result{irp->IoStatus.Status, irp->IoStatus.Information};
    IoFreeIrp(irp);
    requests_.push_back(RequestRecord{location, IRP_MJ_POWER, minor, ULONG(type) << 8 | state, result.status});
    return result;
}

std::string PnpManager::QueryString(DeviceNode *node, UCHAR minor, ULONG type, bool multi,
                                    std::vector<std::string> *list)
{
    Result r = SendPnp(
        node->pdo, minor,
        [minor, type](PIO_STACK_LOCATION sp) {
            if (minor == IRP_MN_QUERY_ID)
                sp->Parameters.QueryId.IdType = BUS_QUERY_ID_TYPE(type);
            else
                sp->Parameters.QueryDeviceText.DeviceTextType = DEVICE_TEXT_TYPE(type);
        },
        0, node->Location());
    std::string text;
    if (NT_SUCCESS(r.status) && r.information != 0) {
        auto *wide = reinterpret_cast<PCWSTR>(r.information);
        if (multi && list != nullptr) {
            *list = MultiStrings(wide);
        } else {
            size_t n = 0;
            while (wide[n] != 0)
                n++;
            text = Narrow(wide, n);
        }
        ExFreePool(reinterpret_cast<PVOID>(r.information));
    }
    return text;
}

/* ====================================================== a new device node */

void PnpManager::QueryNode(DeviceNode *node)
{
    std::string where = node->Location();

    DEVICE_CAPABILITIES caps;
    memset(&caps, 0, sizeof caps);
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.Address = 0xFFFFFFFF;
    caps.UINumber = 0xFFFFFFFF;
    Result r = SendPnp(
        node->pdo, IRP_MN_QUERY_CAPABILITIES,
        [&caps](PIO_STACK_LOCATION sp) { sp->Parameters.DeviceCapabilities.Capabilities = &caps; }, 0, where);
    if (NT_SUCCESS(r.status))
        node->capabilities = caps;

    node->deviceId = QueryString(node, IRP_MN_QUERY_ID, BusQueryDeviceID, false, nullptr);
    QueryString(node, IRP_MN_QUERY_ID, BusQueryHardwareIDs, true, &node->hardwareIds);
    QueryString(node, IRP_MN_QUERY_ID, BusQueryCompatibleIDs, true, &node->compatibleIds);
    node->instanceId = QueryString(node, IRP_MN_QUERY_ID, BusQueryInstanceID, false, nullptr);
    node->description = QueryString(node, IRP_MN_QUERY_DEVICE_TEXT, DeviceTextDescription, false, nullptr);
    node->location = QueryString(node, IRP_MN_QUERY_DEVICE_TEXT, DeviceTextLocationInformation, false, nullptr);

    r = SendPnp(node->pdo, IRP_MN_QUERY_BUS_INFORMATION, nullptr, 0, where);
    if (NT_SUCCESS(r.status) && r.information != 0) {
        node->busInformation = *reinterpret_cast<PPNP_BUS_INFORMATION>(r.information);
        ExFreePool(reinterpret_cast<PVOID>(r.information));
    }

    r = SendPnp(node->pdo, IRP_MN_QUERY_RESOURCES, nullptr, 0, where);
    node->bootConfig.clear();
    if (NT_SUCCESS(r.status) && r.information != 0) {
        node->bootConfig = Partials(reinterpret_cast<PCM_RESOURCE_LIST>(r.information));
        ExFreePool(reinterpret_cast<PVOID>(r.information));
    }
}

void PnpManager::QueryRequirements(DeviceNode *node)
{
    std::string where = node->Location();
    Result r = SendPnp(node->pdo, IRP_MN_QUERY_RESOURCE_REQUIREMENTS, nullptr, 0, where);
    PIO_RESOURCE_REQUIREMENTS_LIST list = nullptr;
    if (NT_SUCCESS(r.status))
        list = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(r.information);
    node->requirements = AlternativeLists(list);

    /* The filter request carries the list in Information; a stack that
     * succeeds hands back the list to use (the same or a new one: a driver
     * that replaces the list frees the old one). */
    Result f = SendPnp(
        node->pdo, IRP_MN_FILTER_RESOURCE_REQUIREMENTS,
        [list](PIO_STACK_LOCATION sp) { sp->Parameters.FilterResourceRequirements.IoResourceRequirementList = list; },
        (ULONG_PTR)list, where);
    auto returned = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(f.information);
    if (NT_SUCCESS(f.status)) {
        list = returned;
    } else if (list != nullptr && !IsPoolBlock(list)) {
        /* Not handled, so the list of the step before stays the one to use;
         * but a driver freed it on the way. */
        standin::ReportFinding("FILTERED_LIST_FREED_WITHOUT_SUCCESS",
                               "IRP_MN_FILTER_RESOURCE_REQUIREMENTS for " + where + " completed with status " +
                                   Hex(ULONG(f.status)) +
                                   " (the list passed in stays in use) after a driver freed that list");
        list = returned != nullptr && IsPoolBlock(returned) ? returned : nullptr;
    } else if (returned != nullptr && returned != list && IsPoolBlock(returned)) {
        ExFreePool(returned); /* a new list nobody will use */
    }
    node->filtered = AlternativeLists(list);
    if (list != nullptr)
        ExFreePool(list);
}

void PnpManager::SpacesFromAssignment(DeviceNode *node)
{
    node->spaces = BusSpaces();
    PciFunction *f = node->function;
    if (!f->IsBridge())
        return;
    if (PciBusDriver::Subtractive(f))
        node->spaces.passThrough = node->parent != nullptr ? &node->parent->spaces : &root_;
    bool cardbus = f->HeaderLayout() == kHeaderCardBusBridge;
    const auto &list = node->assigned;
    for (size_t i = 0; i < list.size(); i++) {
        const CM_PARTIAL_RESOURCE_DESCRIPTOR &d = list[i];
        if (d.Type != CmResourceTypePort && d.Type != CmResourceTypeMemory)
            continue;
        if (d.u.Generic.Length == 0)
            continue;
        ULONG key = 0;
        bool tagged = false;
        if (i + 1 < list.size() && list[i + 1].Type == CmResourceTypeDevicePrivate) {
            if (list[i + 1].u.DevicePrivate.Data[0] != BUS_WINDOW_KEY0)
                continue; /* a BAR of the bridge itself */
            key = list[i + 1].u.DevicePrivate.Data[1];
            tagged = true;
        }
        bool io, pref;
        if (tagged && cardbus) {
            io = key == BUS_CB_KEY_IO;
            pref = key == BUS_CB_KEY_PREFETCH;
        } else if (tagged) {
            io = key == BUS_P2P_KEY_IO;
            pref = key == BUS_P2P_KEY_PREFETCH;
        } else {
            io = d.Type == CmResourceTypePort;
            pref = (d.Flags & CM_RESOURCE_MEMORY_PREFETCHABLE) != 0;
        }
        uint64_t start = uint64_t(d.u.Generic.Start.QuadPart);
        AddressSpace space(start, start + d.u.Generic.Length - 1);
        if (io)
            node->spaces.io = space;
        else if (pref)
            node->spaces.prefetch = space;
        else
            node->spaces.memory = space;
    }
    if (node->host && f->Secondary() != nullptr)
        ReserveFirmwareRanges(f->Secondary()->Functions(), node->spaces);
}

bool PnpManager::StartNode(DeviceNode *node, std::optional<Assignment> a)
{
    std::string where = node->Location();
    if (!a) {
        node->state = NodeState::NotEnoughResources;
        node->problem = kProblemNormalConflict;
        return false;
    }
    node->assignment = a;
    node->assigned = a->partials;

    PCM_RESOURCE_LIST raw = node->assigned.empty() ? nullptr : BuildCmList(node->assigned, PCIBus,
                                                                           node->busInformation.BusNumber);
    PCM_RESOURCE_LIST translated = node->assigned.empty() ? nullptr : BuildCmList(node->assigned, PCIBus,
                                                                                  node->busInformation.BusNumber);
    Result r = SendPnp(
        node->pdo, IRP_MN_START_DEVICE,
        [raw, translated](PIO_STACK_LOCATION sp) {
            sp->Parameters.StartDevice.AllocatedResources = raw;
            sp->Parameters.StartDevice.AllocatedResourcesTranslated = translated;
        },
        0, where);
    if (raw != nullptr)
        ExFreePool(raw);
    if (translated != nullptr)
        ExFreePool(translated);
    node->startStatus = r.status;
    if (!NT_SUCCESS(r.status)) {
        ReleaseAssignment(*node->assignment);
        node->assignment.reset();
        node->state = NodeState::StartFailed;
        node->problem = kProblemFailedStart;
        return false;
    }
    node->state = NodeState::Started;
    node->problem = kProblemNone;
    SpacesFromAssignment(node);

    Result s = SendPnp(node->pdo, IRP_MN_QUERY_PNP_DEVICE_STATE, nullptr, 0, where);
    if (NT_SUCCESS(s.status))
        node->pnpDeviceState = ULONG(s.information);
    return true;
}

void PnpManager::EnumerateChildren(DeviceNode *node)
{
    Result r = SendPnp(
        node->pdo, IRP_MN_QUERY_DEVICE_RELATIONS,
        [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = BusRelations; }, 0,
        node->Location());
    node->enumerated = true;
    std::vector<PDEVICE_OBJECT> reported;
    if (NT_SUCCESS(r.status) && r.information != 0) {
        auto *rel = reinterpret_cast<PDEVICE_RELATIONS>(r.information);
        for (ULONG i = 0; i < rel->Count; i++)
            reported.push_back(rel->Objects[i]);
        for (PDEVICE_OBJECT pdo : reported)
            ObDereferenceObject(pdo);
        ExFreePool(rel);
    }

    /* Children no longer reported are gone. */
    for (DeviceNode *child : std::vector<DeviceNode *>(node->children)) {
        if (child->state == NodeState::Removed)
            continue;
        if (std::find(reported.begin(), reported.end(), child->pdo) == reported.end())
            RemoveNode(child, true);
    }

    /* New ones get their stacks first, then the request sequence. */
    std::vector<DeviceNode *> fresh;
    for (PDEVICE_OBJECT pdo : reported) {
        DeviceNode *known = FindByPdo(pdo);
        if (known != nullptr && known->state != NodeState::Removed)
            continue;
        PdoRecord *rec = bus_.Record(pdo);
        PciFunction *function = rec != nullptr ? rec->function : nullptr;
        /* Behind a bridge of the host only the way to a controller is
         * simulated. */
        if (node->host && !(IsController(function) || AboveController(function)))
            continue;
        fresh.push_back(BuildStack(function, pdo, node));
    }
    StartSet(fresh, node->spaces, true);
}

void PnpManager::StartSet(const std::vector<DeviceNode *> &set, BusSpaces &spaces, bool fresh)
{
    /* Every device of the set is asked first, then the set is placed
     * together, then each starts; bridges are walked down afterwards. */
    std::vector<DeviceNode *> members;
    for (DeviceNode *n : set) {
        if (n->problem == kProblemFailedAdd || n->state == NodeState::Removed ||
            n->state == NodeState::SurpriseRemoved)
            continue;
        if (fresh)
            QueryNode(n);
        QueryRequirements(n);
        members.push_back(n);
    }
    std::vector<const std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>> *> lists;
    for (DeviceNode *n : members)
        lists.push_back(&n->filtered);
    std::vector<std::optional<Assignment>> placed = ArbitrateSet(lists, spaces);
    std::vector<bool> started(members.size(), false);
    for (size_t i = 0; i < members.size(); i++)
        started[i] = StartNode(members[i], placed[i]);
    for (size_t i = 0; i < members.size(); i++) {
        DeviceNode *n = members[i];
        if (!started[i] || n->function == nullptr || !n->function->IsBridge())
            continue;
        if (fresh || !n->enumerated) {
            EnumerateChildren(n);
        } else {
            std::vector<DeviceNode *> children;
            for (DeviceNode *c : n->children)
                if (c->state != NodeState::Removed)
                    children.push_back(c);
            StartSet(children, n->spaces, false);
        }
    }
}

/* ================================================================= removal */

void PnpManager::RemoveNode(DeviceNode *node, bool surprise)
{
    std::vector<DeviceNode *> leafFirst;
    PostOrder(node, leafFirst);
    if (surprise) {
        for (DeviceNode *n : leafFirst)
            if (n->function != nullptr)
                bus_.SetPresent(n->function, false);
        for (DeviceNode *n : leafFirst) {
            if (n->state == NodeState::Removed || n->state == NodeState::SurpriseRemoved)
                continue;
            SendPnp(n->pdo, IRP_MN_SURPRISE_REMOVAL, nullptr, 0, n->Location());
            n->state = NodeState::SurpriseRemoved;
        }
    } else {
        for (DeviceNode *n : leafFirst)
            if (n->state != NodeState::Removed)
                SendPnp(n->pdo, IRP_MN_QUERY_REMOVE_DEVICE, nullptr, 0, n->Location());
    }
    for (DeviceNode *n : leafFirst) {
        if (n->state == NodeState::Removed)
            continue;
        removing_.clear();
        for (PDEVICE_OBJECT d = n->pdo; d != nullptr; d = d->AttachedDevice)
            removing_.push_back(d);
        SendPnp(n->pdo, IRP_MN_REMOVE_DEVICE, nullptr, 0, n->Location());
        removing_.clear();
        if (n->assignment)
            ReleaseAssignment(*n->assignment);
        n->assignment.reset();
        n->state = NodeState::Removed;
        n->fdo = nullptr;
    }
}

} // namespace sim
