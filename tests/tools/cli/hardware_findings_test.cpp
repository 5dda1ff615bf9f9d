// tolmu-sim and the hardware judge: findings after each step in place of the
// old bus-range warnings, the OS's own (the run without Tolmu) shown but not
// counted in the exit status, those of the run with Tolmu counted, a started
// function the hardware cannot serve not counted as started, and the note
// naming the registry value Io when a chassis bridge has no I/O window.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "cli_test.h"
#include "machine_file.h"
#include "session.h"
#include "standin.h"

namespace {

using clitest::Command;
using clitest::CommandResult;
using clitest::ReadText;
using clitest::TempPath;

class HardwareFindings : public testing::Test {
  protected:
    void TearDown() override
    {
        standin::SetFindingHandler([](const standin::Finding &f) {
            ADD_FAILURE() << "verifier finding " << f.rule << ": " << f.detail;
        });
    }

    static std::string Write(const std::string &name, const std::string &text)
    {
        std::string path = TempPath(name);
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
};

// Two NICs of the laptop itself that the firmware left on one I/O address:
// nothing of Tolmu's, and nothing Tolmu changes.
const char *kTwinNics = R"({
  "name": "twin NICs on one port",
  "controller": "00:03.0",
  "functions": [
    { "location": "00:00.0", "model": "Intel440BX" },
    { "location": "00:03.0", "model": "TI1420", "bus_numbers": [0, 1, 1] },
    { "location": "00:08.0", "model": "RTL8139", "config": "ec 10 39 81 01 00",
      "bars": [ { "index": 0, "type": "io", "size": "0x100", "address": "0x2000" } ] },
    { "location": "00:09.0", "model": "RTL8139", "config": "ec 10 39 81 01 00",
      "bars": [ { "index": 0, "type": "io", "size": "0x100", "address": "0x2000" } ] }
  ]
})";

const char *kTwinFinding = "DECODE_CONFLICT: bus 00: I/O 0x2000-0x20ff decoded by both 00:08.0 (BAR0 0x2000-0x20ff) "
                           "and 00:09.0 (BAR0 0x2000-0x20ff)";

TEST_F(HardwareFindings, WithoutTolmuTheyAreTheOsOwnAndNotCounted)
{
    std::string machine = Write("twins.json", kTwinNics), json = TempPath("twins-out.json");
    CommandResult r = Command({"--machine", machine, "--no-filter", "--json", json});
    EXPECT_EQ(r.status, tolmusim::kExitClean) << r.out;
    EXPECT_NE(r.out.find("  hardware findings, the OS's own (not counted in the exit status):\n    " +
                         std::string(kTwinFinding) + "\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("without Tolmu: 1 hardware finding (the OS's own, not counted)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("verifier findings 0; hardware findings 1 (the OS's own)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("exit status 0 (no verifier finding, nothing leaked)"), std::string::npos) << r.out;

    nlohmann::json j = nlohmann::json::parse(ReadText(json));
    ASSERT_EQ(j["runs"].size(), 1u);
    ASSERT_EQ(j["runs"][0]["findings"].size(), 1u);
    EXPECT_EQ(j["runs"][0]["findings"][0]["rule"], "DECODE_CONFLICT");
    EXPECT_EQ(j["runs"][0]["findings"][0]["hardware"], true);
    EXPECT_EQ(j["runs"][0]["findings"][0]["counted"], false);
    EXPECT_EQ(j["runs"][0]["steps"][0]["findings"].size(), 1u);
    EXPECT_EQ(j["exit_status"], 0);
}

TEST_F(HardwareFindings, WithTolmuTheyCountEvenWhenTheyWereThereBefore)
{
    std::string machine = Write("twins.json", kTwinNics), json = TempPath("twins-out.json");
    CommandResult r = Command({"--machine", machine, "--json", json, "--scenario", "sleep"});
    EXPECT_EQ(r.status, tolmusim::kExitProblems) << r.out;
    EXPECT_NE(r.out.find("  hardware findings (counted in the exit status):\n    " + std::string(kTwinFinding) +
                         " (also without Tolmu)\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("with Tolmu: 2 hardware findings"), std::string::npos) << "after the boot and the sleep";
    // The sleep's own lines in the scenarios.
    EXPECT_NE(r.out.find("  sleep:     "), std::string::npos);
    EXPECT_NE(r.out.find("             hardware findings (counted in the exit status):\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("exit status 1 ("), std::string::npos) << "no claim of a clean run";

    nlohmann::json j = nlohmann::json::parse(ReadText(json));
    ASSERT_EQ(j["runs"].size(), 2u);
    for (const auto &f : j["runs"][1]["findings"])
        EXPECT_EQ(f["counted"], true);
    EXPECT_EQ(j["exit_status"], 1);
}

// A docking bridge the firmware numbered with the controller's own bus: the
// controller is started as far as Windows knows, but a configuration cycle
// for bus 01 has two bridges to go to.
const char *kDockOnBusOne = R"({
  "name": "dock bridge on the controller's bus",
  "controller": "00:03.0",
  "functions": [
    { "location": "00:00.0", "model": "Intel440BX" },
    { "location": "00:03.0", "model": "TI1420", "bus_numbers": [0, 1, 1] },
    { "location": "00:1e.0", "model": "DEC21154", "bus_numbers": [0, 1, 1] },
    { "location": "01:00.0", "behind": "00:03.0", "model": "RTL8139" }
  ]
})";

TEST_F(HardwareFindings, StartedFunctionInAConflictIsNotCountedAsStarted)
{
    std::string error;
    std::optional<tolmusim::MachineDesc> desc = tolmusim::ParseMachineJson(kDockOnBusOne, "dock.json", &error);
    ASSERT_TRUE(desc.has_value()) << error;
    tolmusim::RunOptions options;
    options.filter = false;
    tolmusim::RunResult run = tolmusim::RunMachine(*desc, options);
    const tolmusim::StepResult &boot = run.steps.at(0);
    const tolmusim::FunctionState *controller = tolmusim::FindFunction(boot, "00:03.0");
    ASSERT_NE(controller, nullptr);
    EXPECT_EQ(controller->stateKey, "conflict");
    EXPECT_EQ(controller->state, "started, but bus 01 also claimed by 00:1e.0");
    ASSERT_EQ(controller->conflicts.size(), 1u);
    const tolmusim::FunctionState *nic = tolmusim::FindFunction(boot, "01:00.0");
    ASSERT_NE(nic, nullptr);
    EXPECT_EQ(nic->stateKey, "started") << nic->state;
    EXPECT_EQ(boot.outcome, "1 of 2 functions at or behind the controller started");
    EXPECT_TRUE(run.CleanApartFromHardware());
    EXPECT_FALSE(run.Clean());

    std::string machine = Write("dock.json", kDockOnBusOne), json = TempPath("dock-out.json");
    CommandResult r = Command({"--machine", machine, "--no-filter", "--json", json});
    EXPECT_EQ(r.status, tolmusim::kExitClean) << r.out;
    EXPECT_NE(r.out.find("without Tolmu 1 of 2 functions at and behind 00:03.0 started after boot"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("started, but bus 01 also claimed by 00:1e.0\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("BUS_NUMBER_CLAIMED_TWICE: bus 01 is routed by both 00:03.0 [01-01] and 00:1e.0 [01-01]"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("warning: bus ranges"), std::string::npos) << "the findings took the warnings' place";

    nlohmann::json j = nlohmann::json::parse(ReadText(json));
    bool found = false;
    for (const auto &f : j["runs"][0]["steps"][0]["functions"])
        if (f["label"] == "00:03.0") {
            found = true;
            EXPECT_EQ(f["state"], "conflict");
            EXPECT_EQ(f["conflicts"][0], "bus 01 also claimed by 00:1e.0");
        }
    EXPECT_TRUE(found);
}

TEST_F(HardwareFindings, ChassisBridgeWithoutAnIoWindowNamesTheRegistryValueIo)
{
    // The default chassis needs 0x3000 of I/O as its bridges decode it:
    // 256 bytes behind the second-level bridge take a whole 4 KB block,
    // which with the sound card's 40 bytes take two blocks behind the first
    // bridge, plus the NIC beside it.
    CommandResult r = Command({"--param", "Io=0x300"});
    const std::string note =
        "01:00.0 has no I/O window: --param Io=0x3000 (registry value Io) gives the chassis's I/O room";
    EXPECT_NE(r.out.find("  note: " + note + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("   " + note + "\n"), std::string::npos) << "in the result as well";

    r = Command({"--param", "Io=0x3000"});
    EXPECT_EQ(r.out.find("has no I/O window"), std::string::npos) << r.out;
}

TEST_F(HardwareFindings, HelpTellsWhatIsJudgedAndWhatCounts)
{
    CommandResult r = Command({"--help"});
    EXPECT_NE(r.out.find("Hardware findings: after every step"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Tolmu are the OS's own: shown, not counted in the exit status."), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("  0  the run with Tolmu had no verifier or hardware finding"), std::string::npos) << r.out;
}

} // namespace
