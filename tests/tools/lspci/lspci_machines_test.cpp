// The lspci importer on whole machines as people post them: the adapter's
// controller behind the host's bridges, peer root buses, several PCI domains,
// and the lines a mail program glued together or wrapped.
//
// The dumps under data/ (lspci -vvv -xxx unless said otherwise):
//   laptop_ich4_hub_bridge.txt  855PM + ICH4-M laptop; TI PCI1420 (02:01.0, .1)
//                               behind the subtractive hub-to-PCI bridge 00:1e.0
//   laptop_ich6_root_port.txt   915PM + ICH6-M laptop; Ricoh R5C476 (03:00.0)
//                               behind a TI XIO2000A PCI Express-to-PCI bridge
//                               (02:00.0) behind the root port 00:1c.0
//   server_peer_bus.txt         ServerWorks CNB20LE server: host bridges 00:00.0
//                               and 00:00.1, the second one's bus 01 reached by
//                               no PCI-to-PCI bridge; a DEC 21154 adapter at 01:04.0
//   two_domains.txt             -D: a desktop in domain 0000, a PCI Express-to-PCI
//                               bridge with a TI PCI1410 card in domain 0001
//   mail_glued.txt              lspci -vvv -x of an ICH3-M laptop (ToPIC100 at
//                               02:0b.0) as a mail program left it
#include "lspci_test.h"

namespace {

using namespace lspcitest;
using tolmusim::ImportOptions;
using tolmusim::OtherDomain;

std::string Import(const std::string &text, const std::string &name, const ImportOptions &options,
                   std::optional<MachineDesc> *out)
{
    std::string error;
    *out = tolmusim::ImportLspci(text, name, &error, options);
    return error;
}

std::string Others(const MachineDesc &m)
{
    std::string s;
    for (const OtherDomain &o : m.otherDomains)
        s += std::to_string(o.domain) + ":" + std::to_string(o.functions) + " ";
    return s;
}

/* ------------------------------------------------- where each function sits */

struct Placed {
    const char *location, *behind;
    int rootBus;
};

struct MachineRow {
    const char *file;
    size_t functions;
    const char *controller; /* the first CardBus controller in bus order, wherever it sits */
    unsigned domain;
    const char *others;
    std::vector<Placed> placed;
};

void PrintTo(const MachineRow &r, std::ostream *os) { *os << r.file; }

class LspciMachines : public ::testing::TestWithParam<MachineRow> {};

TEST_P(LspciMachines, TreeControllerAndDomains)
{
    const MachineRow &r = GetParam();
    MachineDesc m = ImportData(r.file);
    EXPECT_EQ(m.functions.size(), r.functions);
    EXPECT_EQ(m.controller, r.controller);
    EXPECT_EQ(m.domain, r.domain);
    EXPECT_EQ(Others(m), r.others);
    for (const Placed &p : r.placed) {
        const FunctionDesc *f = Find(m, p.location);
        ASSERT_NE(f, nullptr) << p.location;
        EXPECT_EQ(std::make_pair(f->behind, int(f->rootBus)), std::make_pair(std::string(p.behind), p.rootBus))
            << p.location;
    }
    if (std::string(r.file) != "mail_glued.txt")
        EXPECT_TRUE(m.importNotes.empty()) << "nothing to mend in a clean dump: " << m.importNotes.front();
}

INSTANTIATE_TEST_SUITE_P(
    Dumps, LspciMachines,
    ::testing::Values(
        MachineRow{"laptop_ich4_hub_bridge.txt", 18, "02:01.0", 0, "",
                   {{"00:1e.0", "", 0}, {"02:01.0", "00:1e.0", 0}, {"02:01.1", "00:1e.0", 0}, {"02:03.0", "00:1e.0", 0},
                    {"01:00.0", "00:01.0", 0}}},
        MachineRow{"laptop_ich6_root_port.txt", 21, "03:00.0", 0, "",
                   {{"00:1c.0", "", 0}, {"02:00.0", "00:1c.0", 0}, {"03:00.0", "02:00.0", 0}, {"03:00.1", "02:00.0", 0},
                    {"08:00.0", "00:1c.1", 0}, {"09:03.0", "00:1e.0", 0}}},
        /* Bus 01 is the second host bridge's: a peer root. 00:02.0 and 01:02.0
         * share a slot number on two different root buses. */
        MachineRow{"server_peer_bus.txt", 10, "", 0, "",
                   {{"00:00.1", "", 0}, {"00:02.0", "", 0}, {"01:02.0", "", 1}, {"01:02.1", "", 1}, {"01:04.0", "", 1}}},
        MachineRow{"two_domains.txt", 3, "01:02.0", 1, "0:6 ",
                   {{"00:00.0", "", 0}, {"01:02.0", "00:00.0", 0}, {"01:04.0", "00:00.0", 0}}},
        MachineRow{"mail_glued.txt", 14, "02:0b.0", 0, "",
                   {{"02:0b.0", "00:1e.0", 0}, {"02:0d.0", "00:1e.0", 0}, {"00:1f.5", "", 0}}}),
    [](const ::testing::TestParamInfo<MachineRow> &info) { return TestName(info.param.file); });

TEST(LspciMachinesEdges, FirstCardBusControllerInBusOrderAndPeerRootsFromAnyBus)
{
    /* Dump order is not bus order; bus 07 is in no bridge's range. */
    const std::string text = "00:1e.0 PCI bridge [0604]: Intel [8086:2448]\n"
                             "\tBus: primary=00, secondary=02, subordinate=06, sec-latency=32\n"
                             "03:00.0 CardBus bridge [0607]: Ricoh [1180:0476]\n"
                             "\tBus: primary=03, secondary=04, subordinate=06, sec-latency=176\n"
                             "02:01.0 PCI bridge [0604]: TI [104c:8231]\n"
                             "\tBus: primary=02, secondary=03, subordinate=06, sec-latency=32\n"
                             "02:04.0 CardBus bridge [0607]: TI [104c:ac51]\n"
                             "07:00.0 Ethernet controller [0200]: Acme [1234:5678]\n"
                             "07:00.1 Ethernet controller [0200]: Acme [1234:5678]\n";
    MachineDesc m = lspcitest::Import(text, "order.txt");
    EXPECT_EQ(m.controller, "02:04.0");
    EXPECT_EQ(Find(m, "03:00.0")->behind, "02:01.0");
    EXPECT_EQ(std::make_pair(Find(m, "07:00.1")->behind, int(Find(m, "07:00.1")->rootBus)),
              std::make_pair(std::string(), 7));
}

/* ------------------------------------------------- domains */

struct DomainRow {
    const char *name;
    std::optional<unsigned> asked;
    const char *text; /* "" = two_domains.txt */
    std::string result; /* "domain functions controller others", or the error */
};

void PrintTo(const DomainRow &r, std::ostream *os) { *os << r.name; }

class LspciDomains : public ::testing::TestWithParam<DomainRow> {};

TEST_P(LspciDomains, OneDomainImportedTheOthersCounted)
{
    const DomainRow &r = GetParam();
    ImportOptions options;
    options.domain = r.asked;
    std::optional<MachineDesc> m;
    std::string error = Import(*r.text ? r.text : ReadData("two_domains.txt"), "d.txt", options, &m);
    if (!m) {
        EXPECT_EQ(error, r.result);
        return;
    }
    EXPECT_EQ(std::to_string(m->domain) + " " + std::to_string(m->functions.size()) + " " + m->controller + " " +
                  Others(*m),
              r.result);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LspciDomains,
    ::testing::Values(DomainRow{"the CardBus controller's domain", std::nullopt, "", "1 3 01:02.0 0:6 "},
                      DomainRow{"domain 0 asked for", 0u, "", "0 6  1:3 "},
                      DomainRow{"domain 1 asked for", 1u, "", "1 3 01:02.0 0:6 "},
                      DomainRow{"a domain the dump lacks", 2u, "",
                                "d.txt: no function of PCI domain 0002 in the dump (it has 0000, 0001)"},
                      DomainRow{"no CardBus controller: the lowest", std::nullopt,
                                "0002:00:00.0 Host bridge [0600]: Intel [8086:2578]\n"
                                "0001:00:00.0 Host bridge [0600]: Intel [8086:2578]\n"
                                "0001:00:02.0 Ethernet controller [0200]: Acme [1234:5678]\n",
                                "1 2  2:1 "}),
    [](const ::testing::TestParamInfo<DomainRow> &info) { return TestName(info.param.name); });

/* ------------------------------------------------- what a mail program did */

TEST(LspciMended, EveryGluedAndWrappedLineOfTheMailIsNotedAndRead)
{
    const std::vector<std::string> notes = {
        "line 44: hex line found at the end of a text line",      /* "Kernel driver in use: uhci_hcd00: 86 80 .." */
        "line 52: text line wrapped onto line 53, joined",        /* Status: .. <TAbort- / <MAbort- .. */
        "line 63: header line wrapped onto line 64, joined",      /* .. PCI Bridge (rev / 42) (prog-if 00 ..) */
        "line 80: header line wrapped onto line 81, joined",      /* 00:1f.0 ISA / bridge: Intel .. */
        "line 88: device header found at the end of a hex line",  /* 30: .. 00 0000:00:1f.1 IDE interface: .. */
        "line 100: device header found at the end of a hex line", /* 30: .. 00 00:1f.3 SMBus: .. */
        "line 111: device header found at the end of a hex line", /* 30: .. 00 0000:1f.5 Multimedia .. */
        "line 136: hex line found at the end of a text line",     /* Capabilities: <access denied>00: .. */
        "line 167: text line wrapped onto line 168, joined",      /* Region 0: .. / [size=4K] */
        "line 179: header line wrapped onto line 180, joined",    /* .. with ZV / Support (rev 32) */
        "line 199: hex line found at the end of a text line",     /* Kernel modules: yenta_socket00: .. */
        "line 208: hex line found at the end of a text line",     /* FIR Port Type-O (rev 23)00: .. */
    };
    const std::string mail = ReadData("mail_glued.txt");
    std::string quoted, crlf;
    std::istringstream in(mail);
    for (std::string line; std::getline(in, line);) {
        quoted += "> " + line + "\n";
        crlf += line + "\r\n";
    }
    for (const auto &[name, text] : {std::pair{"as sent", mail}, {"quoted", quoted}, {"crlf", crlf}}) {
        SCOPED_TRACE(name);
        MachineDesc m = lspcitest::Import(text, "mail_glued.txt");
        EXPECT_EQ(m.importNotes, notes);
        ASSERT_EQ(m.functions.size(), 14u);
        struct {
            const char *location;
            uint16_t vendor, device;
            uint8_t revision;
            const char *name;
        } read[] = {
            {"00:1d.0", 0x8086, 0x2482, 0x02, "Intel Corporation 82801CA/CAM USB Controller #1"},
            {"00:1e.0", 0x8086, 0x2448, 0x42, "Intel Corporation 82801 Mobile PCI Bridge"},
            {"00:1f.0", 0x8086, 0x248c, 0x02, "Intel Corporation 82801CAM ISA Bridge (LPC)"},
            {"00:1f.1", 0x8086, 0x248a, 0x02, "Intel Corporation 82801CAM IDE U100 Controller"},
            {"00:1f.3", 0x8086, 0x2483, 0x02, "Intel Corporation 82801CA/CAM SMBus Controller"},
            {"00:1f.5", 0x8086, 0x2485, 0x02, "Intel Corporation 82801CA/CAM AC'97 Audio Controller"},
            {"00:1f.6", 0x8086, 0x2486, 0x02, "Intel Corporation 82801CA/CAM AC'97 Modem Controller"},
            {"02:0b.0", 0x1179, 0x0617, 0x32, "Toshiba Corporation ToPIC100 PCI to Cardbus Bridge with ZV Support"},
            {"02:0d.0", 0x1179, 0x0701, 0x23, "Toshiba Corporation FIR Port Type-O"},
        };
        for (const auto &r : read) {
            const FunctionDesc *f = Find(m, r.location);
            ASSERT_NE(f, nullptr) << r.location;
            EXPECT_EQ(std::make_tuple(*f->vendor, *f->device, *f->revision, f->name, f->config.size()),
                      std::make_tuple(r.vendor, r.device, r.revision, std::string(r.name),
                                      size_t(f->header == 2 ? 128 : 64)))
                << r.location << ": ids and revision from the hex, 64 bytes (128 for CardBus)";
        }
        EXPECT_EQ(Find(m, "00:1f.3")->config[0x3D], 0x02) << "the byte in front of the glued header is kept";
        EXPECT_EQ(BarList(*Find(m, "02:08.0")), "BAR 0 mem32 size 0x1000 at 0xe8100000\nBAR 1 io size 0x40 at 0x3040\n")
            << "the size from the wrapped region line, not one inferred from the address";
    }
}

/* Lines of ordinary lspci output that look a little like glued or wrapped ones. */
class LspciNotMended : public ::testing::TestWithParam<const char *> {};

TEST_P(LspciNotMended, ReadAsTheyAre)
{
    const std::string text = std::string("00:05.0 Ethernet controller [0200]: Acme [1234:5678]\n\t") + GetParam() + "\n";
    MachineDesc m = lspcitest::Import(text, "plain.txt");
    ASSERT_EQ(m.functions.size(), 1u);
    EXPECT_TRUE(m.importNotes.empty()) << m.importNotes.front();
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LspciNotMended,
    ::testing::Values("Latency: 32", "Bus: primary=00, secondary=02, subordinate=05, sec-latency=32",
                      "Memory behind bridge: f4000000-f5ffffff [size=32M] [32-bit]",
                      "Capabilities: [50] Power Management version 2", "Subsystem: Dell Device 01ad",
                      "Kernel modules: foo00: 86 80 2c 03 00 00 00 00 00 00 00 00 00 00 00", /* 15 bytes */
                      "Kernel modules: foo08: 86 80 2c 03 00 00 00 00 00 00 00 00 00 00 00 00", /* offset 08 */
                      "Kernel modules: foo00: 86 80 2c 03 00 00 00 00 00 00 00 00 00 00 00 00 and more"));

TEST(LspciMendedEdges, WrapAtTheHeadersIndentationOnlyAndGluedCapabilityLine)
{
    /* A text line continued at the header's indentation is joined; one
     * indented like the text is a line of its own. */
    MachineDesc m = lspcitest::Import("00:05.0 Ethernet controller [0200]: Acme [1234:5678]\n"
                                      "\tRegion 0: Memory at f4000000 (32-bit, non-prefetchable)\n"
                                      "[size=4K]\n"
                                      "\tRegion 1: Memory at f5000000 (32-bit, non-prefetchable)\n"
                                      "\t[size=4K]\n",
                                      "wrap.txt");
    EXPECT_EQ(m.importNotes, std::vector<std::string>{"line 2: text line wrapped onto line 3, joined"});
    EXPECT_EQ(BarList(m.functions[0]),
              "BAR 0 mem32 size 0x1000 at 0xf4000000\nBAR 1 mem32 size 0x1000000 at 0xf5000000\n");
    /* The form of the issue report: a capability line with the hex after it. */
    m = lspcitest::Import("00:1c.0 PCI bridge: Intel Corporation Device 2660\n"
                          "\tCapabilities: [d8] 00: 86 80 60 26 07 01 10 00 03 00 04 06 08 00 81 00\n",
                          "cap.txt");
    EXPECT_EQ(m.importNotes, std::vector<std::string>{"line 2: hex line found at the end of a text line"});
    EXPECT_EQ(m.functions[0].classCode, 0x060400u);
}

} // namespace
