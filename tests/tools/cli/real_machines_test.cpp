// Real machines' shapes booted end to end from their lspci dumps: the
// controller where the dump has it (behind a hub-to-PCI bridge, behind a PCI
// Express root port and a PCI Express-to-PCI bridge, on a peer root bus, in
// the second PCI domain), the host's bridges above it started by the OS with
// the firmware's windows and never filtered, and the summary telling so.
#include <nlohmann/json.hpp>

#include "cli_test.h"

namespace {

using clitest::Command;
using clitest::CommandResult;

struct MachineCase {
    const char *dump;                   // in tests/tools/lspci/data/
    std::vector<std::string> args;      // extra arguments
    const char *controller;             // its label in the dump
    std::vector<std::string> hostPath;  // the host's bridges above it, top first
    int rootBus;                        // the root bus its tree hangs from
    const char *controllerState;        // with Tolmu, after boot
    std::vector<std::string> lines;     // more text the output must hold
};

class RealMachine : public testing::TestWithParam<MachineCase> {};

const nlohmann::json *Function(const nlohmann::json &step, const std::string &label)
{
    for (const auto &f : step["functions"])
        if (f["label"] == label)
            return &f;
    return nullptr;
}

TEST_P(RealMachine, BootsWithTheControllerWhereTheDumpHasIt)
{
    const MachineCase &c = GetParam();
    std::string json = clitest::TempPath(std::string(c.dump) + ".machine.json");
    std::vector<std::string> args = {"--lspci", clitest::Source(std::string("tests/tools/lspci/data/") + c.dump), "--json",
                                     json};
    args.insert(args.end(), c.args.begin(), c.args.end());
    CommandResult r = Command(args);
    ASSERT_EQ(r.status, tolmusim::kExitClean) << r.err << r.out.substr(0, 2000);
    EXPECT_NE(r.out.find(std::string("adapter's controller ") + c.controller), std::string::npos) << r.out;
    for (const std::string &line : c.lines)
        EXPECT_NE(r.out.find(line), std::string::npos) << "missing: " << line << "\n" << r.out.substr(0, 3000);

    nlohmann::json j = nlohmann::json::parse(clitest::ReadText(json));
    ASSERT_EQ(j["runs"].size(), 2u);
    for (const auto &run : j["runs"]) {
        SCOPED_TRACE(run["filter"].get<bool>() ? "with Tolmu" : "without Tolmu");
        const nlohmann::json &boot = run["steps"][0];
        const nlohmann::json *ctl = Function(boot, c.controller);
        ASSERT_NE(ctl, nullptr);
        EXPECT_TRUE((*ctl)["controller"].get<bool>());
        EXPECT_FALSE((*ctl)["host_bridge"].get<bool>());

        // The chain of `behind` from the controller up is the host's path,
        // every bridge of it started by the OS, none filtered by Tolmu.
        std::vector<std::string> chain;
        for (const nlohmann::json *f = ctl; !(*f)["behind"].is_null();) {
            std::string parent = (*f)["behind"];
            chain.insert(chain.begin(), parent);
            f = Function(boot, parent);
            ASSERT_NE(f, nullptr) << parent;
            EXPECT_TRUE((*f)["host_bridge"].get<bool>()) << parent;
            EXPECT_EQ((*f)["state"], "started") << parent << ": " << (*f)["state_text"];
            EXPECT_EQ((*f)["state_text"], "started (the host's bridge)") << parent;
            EXPECT_EQ((*f)["root_bus"], c.rootBus) << parent;
        }
        EXPECT_EQ(chain, c.hostPath);
        EXPECT_EQ((*ctl)["root_bus"], c.rootBus);

        // Nothing else of the host is counted as the adapter's.
        for (const auto &f : boot["functions"])
            if (!f["host_bridge"].get<bool>() && f["label"] != c.controller && f["state"] != "host")
                EXPECT_EQ(f["behind"], c.controller) << f["label"] << " " << f["state_text"];
        EXPECT_TRUE(run["findings"].empty()) << run["findings"].dump();
    }
    const nlohmann::json *withTolmu = Function(j["runs"][1]["steps"][0], c.controller);
    EXPECT_EQ((*withTolmu)["state_text"], c.controllerState);
}

INSTANTIATE_TEST_SUITE_P(
    Dumps, RealMachine,
    testing::Values(
        // ICH4-M: the CardBus controller behind the subtractive hub-to-PCI
        // bridge; its 4 MB windows come through the bridge from the root bus.
        MachineCase{"laptop_ich4_hub_bridge.txt", {}, "02:01.0", {"00:1e.0"}, 0, "started",
                    {"+-00:1e.0 8086:2448", "started (the host's bridge)"}},
        // ICH6-M: behind a PCI Express root port and a PCI Express-to-PCI
        // bridge, both positive decode: Tolmu's 128 MB windows cannot fit the
        // firmware's 16 MB, and the result says which values size them.
        MachineCase{"laptop_ich6_root_port.txt", {}, "03:00.0", {"00:1c.0", "02:00.0"}, 0,
                    "not enough free resources (Code 12)",
                    {"the windows Tolmu asks for (--param Memory, PreFetch, Io) must fit"}},
        MachineCase{"laptop_ich6_root_port.txt",
                    {"--param", "Memory=0x400000", "--param", "PreFetch=0x4000000", "--param", "Io=0x400",
                     "--scenario", "all"},
                    "03:00.0", {"00:1c.0", "02:00.0"}, 0, "started",
                    {"rebalance: 1 of 1 functions at or behind the controller started",
                     "sleep:     1 of 1 functions at or behind the controller started"}},
        // A server's second host bridge: bus 01, which no bridge leads to.
        MachineCase{"server_peer_bus.txt", {"--controller", "01:04.0"}, "01:04.0", {}, 1, "started",
                    {"root bus 01 (a host bridge of its own; no bridge leads to it):", "root bus 00:"}},
        // The controller in domain 0001: only that domain is simulated.
        MachineCase{"two_domains.txt", {"--param", "Memory=0x400000", "--param", "PreFetch=0x400000"}, "01:02.0",
                    {"00:00.0"}, 0, "started",
                    {"-- PCI domain 0001 is simulated (it holds the controller); not simulated:",
                     "  domain 0000: 6 functions"}},
        MachineCase{"two_domains.txt", {"--controller", "0001:01:02.0"}, "01:02.0", {"00:00.0"}, 0,
                    "not enough free resources (Code 12)", {}},
        // A mail-mangled dump: every mend listed with its line; the ToPIC
        // behind an old hub bridge that reports positive decode only.
        MachineCase{"mail_glued.txt", {}, "02:0b.0", {"00:1e.0"}, 0, "not enough free resources (Code 12)",
                    {"with these repairs:", "line 44: hex line found at the end of a text line",
                     "line 88: device header found at the end of a hex line"}}),
    [](const testing::TestParamInfo<MachineCase> &info) {
        std::string name = info.param.dump;
        name = name.substr(0, name.find('.'));
        return name + "_" + std::to_string(info.index);
    });

// A machine with no CardBus controller and none named: the message lists the
// bridges that could be named, and nothing runs.
TEST(RealMachineInput, NoControllerListsTheCandidates)
{
    CommandResult r = Command({"--lspci", clitest::Source("tests/tools/lspci/data/server_peer_bus.txt")});
    EXPECT_EQ(r.status, tolmusim::kExitBadInput);
    EXPECT_NE(r.err.find("no controller named and no CardBus controller in the machine"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("01:04.0 1011:0026"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("bus 01 [02-02]"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--controller BB:DD.F"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("Booting"), std::string::npos);

    r = Command({"--lspci", clitest::Source("tests/tools/lspci/data/server_peer_bus.txt"), "--controller", "00:02.0"});
    EXPECT_EQ(r.status, tolmusim::kExitBadInput);
    EXPECT_NE(r.err.find("the controller must be a CardBus controller or a PCI-to-PCI bridge"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("01:04.0 1011:0026"), std::string::npos) << r.err;
}

} // namespace

namespace {

// A laptop whose hub-to-PCI bridge routes buses 02..05 only, with a chassis
// three bridge levels deep behind its CardBus controller: Tolmu numbers the
// third level 06, which the hub bridge does not route, and the summary says
// which bridge stands in the way.
const char kHubLaptopWithDeepChassis[] = R"json({
  "name": "hub bridge routing 02-05, chassis three bridges deep",
  "controller": "02:01.0",
  "functions": [
    { "location": "00:00.0", "model": "Intel440BX" },
    { "location": "00:1e.0", "vendor": "8086", "device": "2448", "class": "060401", "bus_numbers": [0, 2, 5],
      "config": "86 80 48 24 07 00 80 02 00 01 04 06 00 00 01 00  00 00 00 00 00 00 00 00 00 02 05 00 30 30 00 00  20 c0 f0 c1" },
    { "location": "02:01.0", "behind": "00:1e.0", "model": "TI1420", "bus_numbers": [2, 3, 6] },
    { "location": "03:00.0", "behind": "02:01.0", "model": "DEC21154", "bus_numbers": [3, 4, 6] },
    { "location": "03:01.0", "behind": "02:01.0", "model": "RTL8139" },
    { "location": "04:00.0", "behind": "03:00.0", "model": "TIPCI2250", "bus_numbers": [4, 5, 6] },
    { "location": "05:00.0", "behind": "04:00.0", "model": "DEC21154", "bus_numbers": [5, 6, 6] },
    { "location": "06:00.0", "behind": "05:00.0", "model": "RTL8139" }
  ]
})json";

TEST(RealMachineSummary, FunctionBeyondTheHostBridgesBusRangeIsNamedWithTheBridge)
{
    std::string path = clitest::TempPath("hub_deep.json");
    std::ofstream(path) << kHubLaptopWithDeepChassis;
    CommandResult r = Command({"--machine", path, "--param", "Io=0x3000"});
    ASSERT_EQ(r.status, tolmusim::kExitClean) << r.err << r.out;
    // The firmware numbered the chassis past the hub bridge's range: without
    // Tolmu the last bus is never reached, and the summary names the bridge.
    EXPECT_NE(r.out.find("not found (bus 06: not routed by 00:1e.0 [02-05])"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("started (the host's bridge)"), std::string::npos);
    // Tolmu has the hub bridge route the chassis's buses.
    EXPECT_NE(r.out.find("== Result: with Tolmu 6 of 6 functions"), std::string::npos) << r.out;
}

} // namespace
