// tolmu-sim --chassis: a chassis from a desktop's lspci dump or from a machine
// file plugged behind the adapter's controller, in its power-on state, and
// booted; bad chassis arguments.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "chassis.h"
#include "cli_test.h"
#include "machine_file.h"

namespace {

using clitest::Command;
using clitest::CommandResult;
using clitest::ReadText;
using tolmusim::FunctionDesc;
using tolmusim::MachineDesc;

// A desktop (i865, ICH5 hub-to-PCI bridge 00:1e.0 leading to bus 05) with a
// chassis in a PCI slot: TI PCI2050 uplink 05:00.0, a 3Com NIC and a DEC 21152
// bridge on bus 06, a two-function sound card and a PLX card on bus 07; the
// desktop's own NIC 05:02.0 beside the uplink.
const std::string kDesktopDump = "tests/tools/cli/data/desktop_with_chassis.txt";

MachineDesc DefaultMachine()
{
    return tolmusim::ParseMachineJson(tolmusim::DefaultMachineText(), "default", nullptr).value();
}

MachineDesc ReadChassisFile(const std::string &path)
{
    std::string error;
    std::optional<MachineDesc> desc =
        tolmusim::ReadChassis(ReadText(clitest::Source(path)), path, std::nullopt, &error);
    EXPECT_TRUE(desc.has_value()) << error;
    return desc ? *desc : MachineDesc();
}

const FunctionDesc *Find(const MachineDesc &desc, const std::string &location)
{
    for (const FunctionDesc &f : desc.functions)
        if (f.location == location)
            return &f;
    return nullptr;
}

TEST(ChassisArgument, FileAndUplink)
{
    struct Case {
        const char *text, *file, *uplink;
        int domain;
    } cases[] = {
        {"chassis.txt", "chassis.txt", "", -1},
        {"chassis.txt@05:00.0", "chassis.txt", "05:00.0", -1},
        {"dir/C.TXT@05:0A.1", "dir/C.TXT", "05:0a.1", -1},
        {"chassis.txt@0001:05:00.0", "chassis.txt", "05:00.0", 1},
        {"me@home/chassis.txt", "me@home/chassis.txt", "", -1},
        {"chassis.txt@5:0.0", "chassis.txt@5:0.0", "", -1},
    };
    for (const Case &c : cases) {
        tolmusim::ChassisArgument a = tolmusim::ParseChassisArgument(c.text);
        EXPECT_EQ(a.file, c.file) << c.text;
        EXPECT_EQ(a.uplink, c.uplink) << c.text;
        EXPECT_EQ(a.domain ? int(*a.domain) : -1, c.domain) << c.text;
    }
}

TEST(ChassisArgument, UplinkImpliedOnlyForAFileOfOneChassis)
{
    EXPECT_EQ(tolmusim::ImpliedUplink(ReadChassisFile("examples/chassis-two-level.json")), "01:00.0");
    EXPECT_EQ(tolmusim::ImpliedUplink(ReadChassisFile(kDesktopDump)), "") << "the desktop's own functions are on bus 0";
}

// The uplink and what is behind it replace the default machine's chassis,
// relabelled onto the controller's buses, each noting where it came from,
// with the registers of a chassis that has just been switched on.
TEST(PlugChassis, DumpReplacesWhatWasBehindTheControllerInPowerOnState)
{
    MachineDesc machine = DefaultMachine();
    tolmusim::ChassisReport report;
    std::string error;
    ASSERT_TRUE(tolmusim::PlugChassis(&machine, ReadChassisFile(kDesktopDump), "05:00.0", &report, &error)) << error;

    EXPECT_EQ(report.controller, "00:03.0");
    EXPECT_EQ(report.uplinkLabel, "01:00.0");
    EXPECT_EQ(report.functions, 6u);
    EXPECT_EQ(report.removed.size(), 9u) << "the default machine's chassis is taken out";
    std::vector<std::string> labels;
    for (const FunctionDesc &f : machine.functions)
        labels.push_back(f.location);
    EXPECT_EQ(labels, (std::vector<std::string>{"00:00.0", "00:03.0", "01:00.0", "02:00.0", "02:01.0", "03:00.0",
                                                "03:00.1", "03:04.0"}))
        << "the desktop's 05:02.0 NIC beside the uplink stays out";
    EXPECT_EQ(Find(machine, "01:00.0")->behind, "00:03.0");
    EXPECT_EQ(Find(machine, "03:04.0")->behind, "02:01.0");
    EXPECT_EQ(Find(machine, "03:04.0")->notes.at(0), "from " + kDesktopDump + " 07:04.0");
    EXPECT_NE(Find(machine, "00:03.0")->notes.back().find("in place of the 9 functions"), std::string::npos);

    tolmusim::BuiltMachine built;
    ASSERT_TRUE(tolmusim::BuildMachine(machine, &built, &error)) << error;
    const sim::PciFunction &uplink = *built.byLocation.at("01:00.0");
    EXPECT_EQ(uplink.Peek16(0x04), 0) << "command";
    EXPECT_EQ(uplink.Peek32(0x18), 0u) << "bus numbers and secondary latency";
    EXPECT_EQ(uplink.Peek32(0x1C) & 0xF0F0, 0u) << "I/O window";
    EXPECT_EQ(uplink.Peek16(0x1E), 0x0280) << "secondary status: the master abort bit cleared, the rest kept";
    EXPECT_EQ(uplink.Peek32(0x20), 0u) << "memory window";
    EXPECT_EQ(uplink.Peek32(0x24), 0u) << "prefetchable window";
    EXPECT_EQ(uplink.Peek16(0x3E), 0) << "bridge control";
    EXPECT_EQ(uplink.Peek8(0x40), 0x10) << "a vendor register of a chip without a model keeps the dump's value";
    EXPECT_EQ(uplink.Peek32(0xDC), 0x7E020001u) << "the capability list stays";
    const sim::PciFunction &nic = *built.byLocation.at("02:00.0");
    EXPECT_EQ(nic.Peek32(0x10), 0x1u) << "I/O BAR: address gone, type bit kept";
    EXPECT_EQ(nic.Peek32(0x14), 0u);
    EXPECT_EQ(nic.Peek32(0x30), 0u) << "expansion ROM";
    EXPECT_EQ(nic.Peek16(0x0C), 0) << "cache line size and latency timer";
    EXPECT_EQ(nic.Peek16(0x3C), 0x0100) << "interrupt line 0, pin A";
    EXPECT_EQ(nic.Peek16(0x06), 0x0290) << "status";
}

// Labels of the chassis that the machine also uses are moved to free buses.
TEST(PlugChassis, LabelsStayUniqueBehindAnUnnumberedController)
{
    MachineDesc machine = DefaultMachine();
    for (FunctionDesc &f : machine.functions)
        if (f.location == "00:03.0")
            f.busNumbers.reset();
    tolmusim::ChassisReport report;
    std::string error;
    ASSERT_TRUE(tolmusim::PlugChassis(&machine, ReadChassisFile("examples/chassis-two-level.json"), "", &report,
                                      &error))
        << error;
    EXPECT_EQ(report.uplinkLabel, "01:00.0") << "the next bus after the machine's highest label, 00";
    tolmusim::BuiltMachine built;
    EXPECT_TRUE(tolmusim::BuildMachine(machine, &built, &error)) << error;
}

// ------------------------------------------------------------------ end to end

// State of every function after boot, by label, for one run of a JSON summary.
std::map<std::string, std::string> States(const nlohmann::json &run)
{
    std::map<std::string, std::string> out;
    for (const auto &f : run["steps"][0]["functions"])
        out[f["label"]] = f["state"];
    return out;
}

// What the summary says of each chassis function agrees with the hardware:
// a started function is reached by a bus number and has its BARs assigned,
// one without a bus number is not found.
void ExpectTruthful(const nlohmann::json &run, const std::string &file)
{
    size_t seen = 0;
    for (const auto &f : run["steps"][0]["functions"]) {
        if (f["notes"].empty() || f["notes"][0].get<std::string>().rfind("from " + file, 0) != 0)
            continue;
        seen++;
        if (f["state"] == "started") {
            EXPECT_FALSE(f["location"].is_null()) << f.dump();
            for (const auto &bar : f["bars"])
                EXPECT_NE(bar["address"], "0x0") << f.dump();
        }
        if (f["location"].is_null())
            EXPECT_EQ(f["state"], "not_found") << f.dump();
    }
    EXPECT_EQ(seen, 6u) << "the uplink and the five functions behind it";
}

TEST(ChassisCommand, DesktopDumpBehindTheDefaultMachine)
{
    std::string json = clitest::TempPath("chassis.json");
    CommandResult r = Command({"--chassis", clitest::Source(kDesktopDump) + "@05:00.0", "--json", json});
    ASSERT_EQ(r.status, tolmusim::kExitClean) << r.err;
    EXPECT_NE(r.out.find("== Chassis: " + clitest::Source(kDesktopDump) + "@05:00.0 plugged into the slot of 00:03.0"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("labels: bus 05, 06, 07 of the file are 01, 02, 03 here"), std::string::npos);
    EXPECT_NE(r.out.find("== Result: with Tolmu 7 of 7 functions"), std::string::npos) << r.out;
    nlohmann::json j = nlohmann::json::parse(ReadText(json));
    std::map<std::string, std::string> without = States(j["runs"][0]), with = States(j["runs"][1]);
    for (const char *label : {"01:00.0", "02:00.0", "02:01.0", "03:00.0", "03:00.1", "03:04.0"})
        EXPECT_EQ(with[label], "started") << label;
    // The controller has no bus number to spare: the uplink stays unnumbered
    // and nothing behind it is seen without Tolmu.
    for (const char *label : {"02:00.0", "02:01.0", "03:00.0", "03:00.1", "03:04.0"})
        EXPECT_EQ(without[label], "not_found") << label;
    for (const auto &run : j["runs"])
        ExpectTruthful(run, clitest::Source(kDesktopDump));
}

TEST(ChassisCommand, MachineFileOfOneChassisNeedsNoUplink)
{
    CommandResult r = Command({"--chassis", clitest::Example("chassis-two-level.json"), "--scenario", "all"});
    EXPECT_EQ(r.status, tolmusim::kExitClean) << r.err;
    EXPECT_NE(r.out.find("== Result: with Tolmu 8 of 8 functions at and behind"), std::string::npos) << r.out;
}

struct LaptopCase {
    const char *name;
    const char *dump;              // in tests/tools/lspci/data/
    std::vector<std::string> args; // more arguments (--param, --controller)
    const char *result;            // the result line
    const char *also;              // another line of the output, or null
};

class ChassisBehindLaptop : public testing::TestWithParam<LaptopCase> {};

// The laptops' controllers sit behind their own bridges: a hub-to-PCI bridge,
// or a PCI Express root port and a PCI Express-to-PCI bridge whose windows
// the firmware sized for the laptop alone.
TEST_P(ChassisBehindLaptop, EveryChassisFunctionIsReportedTruthfully)
{
    const LaptopCase &c = GetParam();
    std::string json = clitest::TempPath(std::string(c.dump) + ".json");
    std::vector<std::string> args = {"--lspci", clitest::Source(std::string("tests/tools/lspci/data/") + c.dump),
                                     "--chassis", clitest::Source(kDesktopDump) + "@05:00.0", "--json", json};
    args.insert(args.end(), c.args.begin(), c.args.end());
    CommandResult r = Command(args);
    ASSERT_EQ(r.status, tolmusim::kExitClean) << r.err;
    EXPECT_NE(r.out.find(c.result), std::string::npos) << r.out.substr(0, 1500);
    if (c.also != nullptr)
        EXPECT_NE(r.out.find(c.also), std::string::npos) << r.out.substr(0, 1500);
    nlohmann::json j = nlohmann::json::parse(ReadText(json));
    for (const auto &run : j["runs"])
        ExpectTruthful(run, clitest::Source(kDesktopDump));
}

// The ICH4 laptop's two sockets are functions 0 and 1 of one controller;
// the firmware gave socket 1 buses 03-04 and socket 2 bus 05. In socket 1
// the chassis's second bridge can have no number that socket 2 does not
// route already (it stays unnumbered, truthfully); in socket 2 the hub bridge
// is raised over the chassis's buses and everything starts. Behind the ICH6's
// root port the firmware left one 4 KB block of I/O: the chassis's second
// bridge takes it, the NIC beside it gets none.
INSTANTIATE_TEST_SUITE_P(
    Laptops, ChassisBehindLaptop,
    testing::Values(
        LaptopCase{"ich4_socket1", "laptop_ich4_hub_bridge.txt", {"--param", "Io=0x2000"},
                   "== Result: with Tolmu 4 of 7 functions at and behind 02:01.0 started after boot; without Tolmu 1 of 7",
                   "labels: bus 05, 06, 07 of the file are 03, 04, 05 here"},
        LaptopCase{"ich4_socket2", "laptop_ich4_hub_bridge.txt", {"--param", "Io=0x2000", "--controller", "02:01.1", "--scenario", "all"},
                   "== Result: with Tolmu 7 of 7 functions at and behind 02:01.1 started after boot; without Tolmu 2 of 7",
                   nullptr},
        LaptopCase{"ich6", "laptop_ich6_root_port.txt", {},
                   "== Result: with Tolmu 0 of 7 functions at and behind 03:00.0 started after boot",
                   "the bridges above it forward mem 16M, pref 64M, io 4K: the windows Tolmu asks for"},
        LaptopCase{"ich6_sized", "laptop_ich6_root_port.txt",
                   {"--param", "Memory=0x400000", "--param", "PreFetch=0x4000000", "--param", "Io=0x1000"},
                   "== Result: with Tolmu 6 of 7 functions at and behind 03:00.0 started after boot", nullptr}),
    [](const testing::TestParamInfo<LaptopCase> &info) { return std::string(info.param.name); });

// The domain prefix of the uplink picks the domain of a two-domain dump.
TEST(ChassisCommand, DomainOfTheUplinkIsTheOneImported)
{
    CommandResult r = Command({"--chassis", clitest::Source("tests/tools/lspci/data/two_domains.txt") + "@0001:00:00.0"});
    EXPECT_EQ(r.status, tolmusim::kExitClean) << r.err;
    EXPECT_NE(r.out.find("two_domains.txt@0001:00:00.0 plugged into the slot of 00:03.0"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("uplink 0001:00:00.0 8086:0329"), std::string::npos);
    EXPECT_NE(r.out.find("PCI domain 0000 of"), std::string::npos);
}

struct BadChassis {
    const char *name;
    std::vector<std::string> args; // "@" is the file written from fileText
    const char *fileText;
    const char *message;
};

class BadChassisInput : public testing::TestWithParam<BadChassis> {};

TEST_P(BadChassisInput, ExitTwoNamingTheFile)
{
    BadChassis c = GetParam();
    std::string file = clitest::TempPath(std::string(c.name) + ".txt");
    if (c.fileText != nullptr)
        std::ofstream(file) << c.fileText;
    for (std::string &a : c.args) {
        if (a[0] == '@')
            a = file + a.substr(1);
        if (a[0] == '=')
            a = clitest::Source(a.substr(1));
    }
    CommandResult r = Command(c.args);
    EXPECT_EQ(r.status, tolmusim::kExitBadInput) << r.out;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("== Summary"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadChassisInput,
    testing::Values(
        BadChassis{"missing", {"--chassis", "/nonexistent/chassis.txt@05:00.0"}, nullptr,
                   "cannot read the file /nonexistent/chassis.txt"},
        BadChassis{"bad_uplink_syntax", {"--chassis", "@@5:0.0"}, "", "after @ the uplink's location BB:DD.F"},
        BadChassis{"more_than_a_chassis", {"--chassis", "=" + kDesktopDump}, nullptr,
                   "holds more than a chassis; name the chassis's uplink"},
        BadChassis{"candidates", {"--chassis", "=" + kDesktopDump}, nullptr,
                   "  05:00.0 104c:ac28 Texas Instruments PCI2050 PCI-to-PCI Bridge (5 functions behind it)"},
        BadChassis{"no_such_uplink", {"--chassis", "=" + kDesktopDump + "@05:01.0"}, nullptr,
                   "desktop_with_chassis.txt: no function at 05:01.0"},
        BadChassis{"bad_json", {"--chassis", "@"}, "{\n \"functions\": [\n  { \"location\": }\n ]\n}\n",
                   "bad_json.txt:3: malformed JSON"},
        BadChassis{"unknown_model", {"--chassis", "@"},
                   "{\"functions\": [\n{ \"location\": \"04:00.0\", \"model\": \"DEC21154\" },\n"
                   "{ \"location\": \"05:00.0\", \"behind\": \"04:00.0\", \"model\": \"TI9999\" }]}\n",
                   "unknown_model.txt:3: function 05:00.0: unknown model \"TI9999\""},
        BadChassis{"bad_dump", {"--chassis", "@@05:00.0"},
                   "05:00.0 PCI bridge: Texas Instruments PCI2050\n00: 4c 10 28 ac 0g 00 00 00\n",
                   "bad_dump.txt:2: 05:00.0: cannot read hex dump line"},
        BadChassis{"no_such_domain", {"--chassis", "=tests/tools/lspci/data/two_domains.txt@0002:00:1e.0"}, nullptr,
                   "no function of PCI domain 0002"},
        BadChassis{"controller_no_bridge",
                   {"--controller", "00:00.0", "--chassis", "=examples/chassis-two-level.json"},
                   nullptr, "the controller must be a CardBus controller or a PCI-to-PCI bridge"}),
    [](const testing::TestParamInfo<BadChassis> &info) { return std::string(info.param.name); });

} // namespace
