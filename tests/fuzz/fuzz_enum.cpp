// Fuzz target: the driver's bus probe and enumeration on arbitrary hardware:
// the adapter's controller (numbered by the firmware or not) and up to 40
// functions behind it with random ids, classes, header layouts, BARs, bus
// numbers, raw configuration bytes, bridges anywhere, booted with Tolmu and
// maybe one more scenario. A verifier finding or a leaked pool block is a
// driver fault; what the hardware judge holds against the hardware is not.
#include <set>
#include <tuple>

#include "fuzz_input.h"
#include "session.h"

namespace {

std::string Location(int bus, int device, int function)
{
    char text[16];
    std::snprintf(text, sizeof text, "%02x:%02x.%x", bus & 0xFF, device & 0x1F, function & 7);
    return text;
}

tolmusim::BarDesc RandomBar(fuzz::Input &in, int index)
{
    static const char *const kinds[] = {"io", "io16", "mem32", "mem64"};
    tolmusim::BarDesc b;
    b.index = index;
    b.type = in.Pick(kinds);
    const bool io = b.type.rfind("io", 0) == 0;
    b.size = uint64_t(1) << (io ? 2 + in.U8() % 7 : 4 + in.U8() % 28); // 4..256 bytes, 16 bytes..2 GB
    b.prefetchable = !io && in.Bit();
    if (in.Bit())
        b.address = uint64_t(in.U32()) & ~(b.size - 1);
    return b;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    tolmusim::MachineDesc desc;
    desc.name = "fuzz";

    // The driver's registry values.
    static const uint32_t ios[] = {0, 0x1000, 0x3000, 0x10000};
    static const uint32_t windows[] = {0x100000, 0x400000, 0x2000000, 0x10000000};
    const uint8_t params = in.U8();
    if (params & 1)
        desc.params["Io"] = in.Pick(ios);
    if (params & 2)
        desc.params["Memory"] = in.Pick(windows);
    if (params & 4)
        desc.params["PreFetch"] = in.Pick(windows);
    if (params & 8)
        desc.params["filterIO"] = 1;
    if (params & 16)
        desc.params["Verbose"] = in.U8() % 10;

    tolmusim::FunctionDesc host, controller;
    host.location = "00:00.0";
    host.model = "Intel440BX";
    static const char *const controllers[] = {"TI1420", "TI1131", "O2MicroOZ711", "O2Micro6933", "ToshibaToPIC",
                                              "DEC21154", "TIPCI2250"};
    controller.location = desc.controller = Location(0, 1 + in.U8() % 31, 0);
    controller.model = in.Pick(controllers);
    if (in.Bit())
        controller.busNumbers = std::array<uint8_t, 3>{0, in.U8(), in.U8()};
    desc.functions = {host, controller};

    // The bridges behind the controller, each with the label bus of the
    // segment behind it; the controller's segment has label bus 1.
    std::vector<std::pair<std::string, int>> bridges{{controller.location, 1}};
    std::set<std::tuple<int, int, int>> taken;
    static const uint32_t classes[] = {0x060400, 0x060400, 0x060700, 0x030000, 0x020000,
                                       0x040100, 0x0C0300, 0x060000, 0x060401, 0xFF0000};
    for (unsigned i = 0, count = in.U8() % 41; i < count && in.Left() > 0; i++) {
        const auto [parent, labelBus] = bridges[in.U8() % bridges.size()];
        const uint8_t slot = in.U8();
        if (!taken.insert({labelBus, slot & 0x1F, (slot >> 5) & 7}).second)
            continue;
        tolmusim::FunctionDesc f;
        f.location = Location(labelBus, slot & 0x1F, (slot >> 5) & 7);
        f.behind = parent;
        const uint8_t what = in.U8();
        f.vendor = (what & 1) ? in.U16() : uint16_t(0x1000 + (what >> 4));
        f.device = in.U16();
        f.classCode = (what & 2) ? (in.U32() & 0xFFFFFF) : in.Pick(classes);
        if (what & 4)
            f.header = in.U8() % 3;
        if (what & 8)
            f.multifunction = in.Bit();
        const int header =
            f.header >= 0 ? f.header : (*f.classCode >> 8) == 0x0604 ? 1 : (*f.classCode >> 8) == 0x0607 ? 2 : 0;
        const int maxBars = header == 0 ? 6 : header == 1 ? 2 : 0;
        const uint8_t barBits = maxBars ? in.U8() : 0;
        for (int b = 0; b < maxBars; b++) {
            if (!(barBits & (1 << b)))
                continue;
            tolmusim::BarDesc bar = RandomBar(in, b);
            if (bar.type == "mem64" && b + 1 >= maxBars)
                bar.type = "mem32";
            f.bars.push_back(bar);
            b += bar.type == "mem64";
        }
        if (header != 0 && in.Bit())
            f.busNumbers = std::array<uint8_t, 3>{in.U8(), in.U8(), in.U8()};
        if (what & 0x10) { // raw bytes over the header and the device-specific space
            f.config.resize(in.U8());
            in.Bytes(f.config.data(), f.config.size());
        }
        desc.functions.push_back(f);
        if (header != 0 && bridges.size() < 0xFF)
            bridges.push_back({f.location, int(bridges.size()) + 1});
    }

    // A description the builder refuses (e.g. function 1 without function 0) is not run.
    std::string error;
    standin::Reset();
    if (tolmusim::BuiltMachine probe; !tolmusim::BuildMachine(desc, &probe, &error)) {
        fuzz::Done();
        return 0;
    }
    tolmusim::RunOptions options;
    options.checked = in.Bit();
    const std::vector<std::string> &scenarios = tolmusim::ScenarioNames();
    if (const uint8_t more = in.U8() % 8; more < scenarios.size() && scenarios[more] != "boot")
        options.steps.push_back(scenarios[more]);
    tolmusim::RunResult run = tolmusim::RunMachine(desc, options);
    for (const standin::Finding &f : run.OtherFindings())
        fuzz::Fault("verifier finding " + f.rule + ": " + f.detail);
    if (run.poolBlocks != 0)
        fuzz::Fault("pool left after unload:\n" + run.poolReport);
    fuzz::Done();
    return 0;
}
