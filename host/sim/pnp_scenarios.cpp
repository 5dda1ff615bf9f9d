/*
 * pnp_scenarios.cpp - what the PnP manager does to the whole tree: boot,
 * system sleep and wake, rebalance, surprise removal and re-insertion behind
 * a bridge, unload; the tree walks they use; the hardware judge after each
 * step; and the tree as text. The device nodes' life cycle is in
 * pnp_manager.cpp.
 */
#include "pnp_manager.h"

#include <algorithm>
#include <cstdio>
#include <functional>

#include "standin.h"
#include "standin/iomgr.h"

namespace sim {

namespace {

} // namespace

/* =============================================================== scenarios */

void PnpManager::Boot()
{
    Step step(*this);
    if (options_.filterEntry != nullptr && filter_ == nullptr)
        LoadFilter();
    if (roots_.empty())
        ReserveRoots();
    std::vector<DeviceNode *> fresh;
    for (PciFunction *controller : controllers_) {
        if (Find(controller) != nullptr)
            continue;
        /* The stack on the root bus: the controller itself, or the topmost
         * bridge of the host above it; the bridges below are reached through
         * bus relations, as Windows reaches them. */
        PciFunction *top = controller;
        while (top->Segment() != nullptr && top->Segment()->Bridge() != nullptr)
            top = top->Segment()->Bridge();
        if (Find(top) != nullptr)
            continue;
        if (top->IsBridge())
            bus_.NumberRootBridge(top);
        PDEVICE_OBJECT pdo = bus_.PdoFor(top);
        if (pdo == nullptr)
            continue;
        DeviceNode *node = BuildStack(top, pdo, nullptr);
        if (node->problem == kProblemFailedAdd)
            continue;
        fresh.push_back(node);
    }
    StartSet(fresh, root_, true);
}

/* ============================================================== tree walks */

void PnpManager::PostOrder(DeviceNode *node, std::vector<DeviceNode *> &out) const
{
    for (DeviceNode *c : node->children)
        PostOrder(c, out);
    out.push_back(node);
}

void PnpManager::PreOrder(DeviceNode *node, std::vector<DeviceNode *> &out) const
{
    out.push_back(node);
    for (DeviceNode *c : node->children)
        PreOrder(c, out);
}

std::vector<DeviceNode *> PnpManager::Nodes() const
{
    std::vector<DeviceNode *> out;
    for (DeviceNode *r : roots_)
        PreOrder(r, out);
    return out;
}

DeviceNode *PnpManager::Find(const PciFunction *function) const
{
    DeviceNode *found = nullptr;
    for (auto &n : nodes_)
        if (n->function == function && (found == nullptr || n->state != NodeState::Removed))
            found = n.get();
    return found;
}

DeviceNode *PnpManager::FindByPdo(PDEVICE_OBJECT pdo) const
{
    DeviceNode *found = nullptr;
    for (auto &n : nodes_)
        if (n->pdo == pdo && (found == nullptr || n->state != NodeState::Removed))
            found = n.get();
    return found;
}

std::vector<DeviceNode *> PnpManager::LeafFirst() const
{
    std::vector<DeviceNode *> leafFirst;
    for (DeviceNode *r : roots_)
        PostOrder(r, leafFirst);
    return leafFirst;
}

std::vector<DeviceNode *> PnpManager::Started(const std::vector<DeviceNode *> &nodes)
{
    std::vector<DeviceNode *> started;
    for (DeviceNode *n : nodes)
        if (n->state == NodeState::Started)
            started.push_back(n);
    return started;
}

void PnpManager::SystemSleep(SYSTEM_POWER_STATE state)
{
    Step step(*this);
    std::vector<DeviceNode *> started = Started(LeafFirst());

    for (DeviceNode *n : started)
        SendPower(n->pdo, IRP_MN_QUERY_POWER, SystemPowerState, state, PowerActionSleep, n->Location());
    for (DeviceNode *n : started) {
        SendPower(n->pdo, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3, PowerActionSleep, n->Location());
        SendPower(n->pdo, IRP_MN_SET_POWER, SystemPowerState, state, PowerActionSleep, n->Location());
    }
    std::reverse(started.begin(), started.end());
    for (DeviceNode *n : started) {
        SendPower(n->pdo, IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking, PowerActionNone, n->Location());
        SendPower(n->pdo, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0, PowerActionNone, n->Location());
    }
}

void PnpManager::Rebalance()
{
    Step step(*this);
    std::vector<DeviceNode *> leafFirst = LeafFirst();
    std::vector<DeviceNode *> started = Started(leafFirst);
    for (DeviceNode *n : started)
        SendPnp(n->pdo, IRP_MN_QUERY_STOP_DEVICE, nullptr, 0, n->Location());
    for (DeviceNode *n : started) {
        SendPnp(n->pdo, IRP_MN_STOP_DEVICE, nullptr, 0, n->Location());
        n->state = NodeState::Stopped;
    }
    /* Arbitration starts again from empty windows. */
    for (DeviceNode *n : leafFirst) {
        if (n->assignment)
            ReleaseAssignment(*n->assignment);
        n->assignment.reset();
        n->spaces = BusSpaces();
    }
    root_.io.ReleaseAll();
    root_.memory.ReleaseAll();
    root_.prefetch.ReleaseAll();
    ReserveRoots();

    StartSet(roots_, root_, false);
}

void PnpManager::SurpriseRemove(DeviceNode *bridge)
{
    Step step(*this);
    if (bridge == nullptr)
        return;
    /* The hardware behind the bridge is gone; the bus relations say so. */
    std::vector<DeviceNode *> below;
    for (DeviceNode *c : bridge->children)
        PreOrder(c, below);
    for (DeviceNode *n : below)
        if (n->function != nullptr)
            bus_.SetPresent(n->function, false);
    if (bridge->function != nullptr)
        machine_.Walk([&](PciFunction *f, int) {
            for (PciSegment *s = f->Segment(); s != nullptr; s = s->Parent())
                if (s->Bridge() == bridge->function)
                    bus_.SetPresent(f, false);
        });
    if (bridge->state == NodeState::Started)
        EnumerateChildren(bridge);
    else
        for (DeviceNode *c : std::vector<DeviceNode *>(bridge->children))
            RemoveNode(c, true);
}

void PnpManager::Reinsert(DeviceNode *bridge)
{
    Step step(*this);
    if (bridge == nullptr || bridge->function == nullptr)
        return;
    machine_.Walk([&](PciFunction *f, int) {
        for (PciSegment *s = f->Segment(); s != nullptr; s = s->Parent())
            if (s->Bridge() == bridge->function) {
                f->Reset();
                bus_.SetPresent(f, true);
                break;
            }
    });
    if (bridge->state == NodeState::Started)
        EnumerateChildren(bridge);
}

void PnpManager::UnloadAll()
{
    Step step(*this);
    for (DeviceNode *r : roots_)
        RemoveNode(r, false);
    if (filter_ != nullptr && !filterUnloaded_) {
        /* A driver is unloaded only when none of its devices is left. */
        if (filter_->DeviceObject == nullptr) {
            if (filter_->DriverUnload != nullptr)
                filter_->DriverUnload(filter_);
            standin::DestroyDriverObject(filter_);
            filter_ = nullptr;
            filterUnloaded_ = true;
        }
    }
}

/* =================================================================== judge */

std::vector<Violation> PnpManager::JudgeNow() const
{
    JudgeOptions options;
    options.present = [this](const PciFunction *f) { return bus_.IsPresent(f); };
    options.started = [this](const PciFunction *f) {
        DeviceNode *node = Find(f);
        return node != nullptr && node->state == NodeState::Started;
    };
    return JudgeHardware(machine_, options);
}

void PnpManager::ReportViolations()
{
    if (!options_.judgeHardware)
        return;
    for (const Violation &v : JudgeNow())
        standin::ReportFinding(v.rule, v.detail);
}

PnpManager::Step::~Step()
{
    if (--pnp_.stepDepth_ == 0)
        pnp_.ReportViolations();
}

/* ==================================================================== tree */

std::string PnpManager::Describe() const
{
    std::string text;
    std::function<void(PciFunction *, int)> line = [&](PciFunction *f, int depth) {
        char buf[256];
        int bus = machine_.BusNumberOf(f);
        char loc[16];
        if (bus < 0)
            snprintf(loc, sizeof loc, "--:%02x.%x", f->DeviceNumber(), f->FunctionNumber());
        else
            snprintf(loc, sizeof loc, "%02x:%02x.%x", bus, f->DeviceNumber(), f->FunctionNumber());
        snprintf(buf, sizeof buf, "%*s%s %s", depth * 2, "", loc, f->Describe().c_str());
        text += buf;
        if (f->IsBridge()) {
            snprintf(buf, sizeof buf, " [%02x/%02x/%02x]", f->PrimaryBus(), f->SecondaryBus(), f->SubordinateBus());
            text += buf;
        }
        DeviceNode *node = Find(f);
        if (node == nullptr) {
            text += " not found\n";
        } else {
            text += std::string(" ") + NodeStateName(node->state);
            if (node->state == NodeState::Started) {
                const auto &a = node->assigned;
                for (size_t i = 0; i < a.size(); i++) {
                    if (a[i].Type != CmResourceTypePort && a[i].Type != CmResourceTypeMemory)
                        continue;
                    if (a[i].u.Generic.Length == 0)
                        continue;
                    uint64_t s = uint64_t(a[i].u.Generic.Start.QuadPart);
                    const char *kind = a[i].Type == CmResourceTypePort ? "io"
                                       : (a[i].Flags & CM_RESOURCE_MEMORY_PREFETCHABLE) ? "pref"
                                                                                         : "mem";
                    text += std::string(" ") + kind + " " + Hex(s) + "-" + Hex(s + a[i].u.Generic.Length - 1);
                }
            }
            text += "\n";
        }
        if (f->IsBridge() && f->Secondary() != nullptr)
            for (PciFunction *c : f->Secondary()->Functions())
                line(c, depth + 1);
    };
    for (PciFunction *c : controllers_)
        line(c, 0);
    return text;
}

} // namespace sim
