// The PnP request trace: ENTER, contents and DONE lines, quiet bits by
// verbosity, identity words, and the contents printers.
#include <cstring>

#include "diag_fixture.h"

namespace {

using namespace diagtest;

// A filter device with a registered identity word, so its trace lines are
// "(0x<identity> <address>)".
class TraceTest : public DiagTest {
  protected:
    void SetUp() override
    {
        DiagTest::SetUp();
        findPtr((ULONG_PTR)&device_, kIdentity);
    }
    std::string Tag() const { return Fmt(" (0x%08x %08x)", kIdentity, Addr32(&device_)); }
    std::string Enter(const char *name) const { return std::string("ENTER ") + name + Tag(); }
    std::string Done(const char *name, bool failed = false) const
    {
        return std::string("DONE  ") + name + Tag() + (failed ? " (FAILED)" : "");
    }
    // The contents lines of a request, whatever was printed before.
    Lines Contents(HandIrp &irp)
    {
        Take();
        PrintIrpContents(&device_, irp.Irp(), "");
        return Take();
    }

    static constexpr ULONG kIdentity = 0x104CAC56;
    DEVICE_OBJECT device_{};
};

// ------------------------------------------------------------ the table

TEST_F(TraceTest, EnterAndDoneNameEveryMinorCode)
{
    const char *names[] = {"START_DEVICE",        "QUERY_REMOVE_DEVICE",   "REMOVE_DEVICE",
                           "CANCEL_REMOVE_DEVICE", "STOP_DEVICE",          "QUERY_STOP_DEVICE",
                           "CANCEL_STOP_DEVICE",  "QUERY_DEVICE_RELATIONS", "QUERY_INTERFACE",
                           "QUERY_CAPABILITIES",  "QUERY_RESOURCES",       "QUERY_RESOURCE_REQ",
                           "QUERY_DEVICE_TEXT",   "FILTER_RESOURCE_REQ",   nullptr,
                           "READ_CONFIG",         "WRITE_CONFIG",          "EJECT",
                           "SET_LOCK",            "QUERY_ID",              "QUERY_PNP_DEVICE_STATE",
                           "QUERY_BUS_INFORMATION", "DEVICE_USAGE_NOTIFICATION", "SURPRISE_REMOVAL",
                           "QUERY_LEGACY_BUS_INFO"};
    for (UCHAR m = 0; m <= 0x18; m++) {
        if (names[m] == nullptr)
            continue;
        auto irp = PnpIrp(m);
        irp->Finish(STATUS_SUCCESS);
        PrintIrpIn(&device_, irp->Irp(), "ENTER ");
        PrintIrpOut(&device_, irp->Irp(), "DONE  ");
        EXPECT_EQ(Take(), (Lines{Enter(names[m]), Done(names[m])}));
        PCPNP_MINOR_NAME row = LookupPnpMinor(irp->Irp(), "test");
        ASSERT_NE(row, nullptr) << "minor " << (int)m;
        EXPECT_STREQ(row->Name, names[m]);
        EXPECT_EQ(row->Quiet, 0u) << names[m] << ": no quiet bit at load";
    }
}

TEST_F(TraceTest, UnknownCodesWarnFromVerboseNineAndTakeNoQuietBits)
{
    const struct {
        UCHAR minor;
        LONG verbose;
    } rows[] = {{0x0E, 8}, {0x0E, 9}, {0x19, 0}, {0x19, 11}, {0xFF, 9}, {0xFF, 1}};
    for (const auto &r : rows) {
        SetVerbose(r.verbose);
        auto irp = PnpIrp(r.minor);
        irp->Finish(STATUS_SUCCESS);
        TraceRequest(&device_, irp->Irp());
        EXPECT_EQ(LookupPnpMinor(irp->Irp(), "Caller"), nullptr);
        Lines expected;
        for (const char *caller : {"PrintIrpIn", "PrintIrpContents", "PrintIrpOut", "Caller"})
            if (r.verbose >= 9)
                expected.push_back(Fmt("WARNING %s: UNKNOWN Irp MinorFunction 0x%02x", caller, (unsigned)r.minor));
        EXPECT_EQ(Take(), expected) << "minor " << (int)r.minor << " verbose " << r.verbose;
    }

    SetVerbose(0);
    SetMinorQuiet(IRP_MN_EJECT, PNP_QUIET_ENTER);
    SetMinorQuiet(IRP_MN_EJECT, PNP_QUIET_CONTENTS);
    SetMinorQuiet(0x0E, PNP_QUIET_ALL);
    SetMinorQuiet(0xFF, PNP_QUIET_ALL);
    auto eject = PnpIrp(IRP_MN_EJECT);
    auto lock = PnpIrp(IRP_MN_SET_LOCK);
    EXPECT_EQ(LookupPnpMinor(eject->Irp(), "test")->Quiet, (ULONG)(PNP_QUIET_ENTER | PNP_QUIET_CONTENTS));
    EXPECT_EQ(LookupPnpMinor(lock->Irp(), "test")->Quiet, 0u);
    EXPECT_EQ(Take(), Lines{});
}

// ------------------------------------------------------------- quiet bits

// One quiet bit at a time, on a request whose contents print one line.
struct QuietRow {
    const char *name;
    ULONG bits;
    LONG verbose;
    bool enter, contents, done, failedMark;
};

class QuietBitTest : public TraceTest, public ::testing::WithParamInterface<QuietRow> {};

TEST_P(QuietBitTest, EachBitSilencesItsPart)
{
    const QuietRow &r = GetParam();
    SetMinorQuiet(IRP_MN_QUERY_PNP_DEVICE_STATE, r.bits);
    SetVerbose(r.verbose);

    auto ok = PnpIrp(IRP_MN_QUERY_PNP_DEVICE_STATE);
    ok->Finish(STATUS_SUCCESS, PNP_DEVICE_FAILED);
    TraceRequest(&device_, ok->Irp());
    Lines expected;
    if (r.enter)
        expected.push_back(Enter("QUERY_PNP_DEVICE_STATE"));
    if (r.contents)
        expected.push_back("     Pnp: 0x4 FAILED" + Blanks(8));
    if (r.done)
        expected.push_back(Done("QUERY_PNP_DEVICE_STATE"));
    EXPECT_EQ(Take(), expected) << "success";

    auto failed = PnpIrp(IRP_MN_QUERY_PNP_DEVICE_STATE);
    failed->Finish(STATUS_UNSUCCESSFUL, PNP_DEVICE_FAILED);
    PrintIrpContents(&device_, failed->Irp(), "");
    PrintIrpOut(&device_, failed->Irp(), "DONE  ");
    EXPECT_EQ(Take(), r.done ? Lines{Done("QUERY_PNP_DEVICE_STATE", r.failedMark)} : Lines{}) << "failure";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, QuietBitTest,
    ::testing::Values(QuietRow{"none_v0", 0, 0, true, true, true, true},
                      QuietRow{"enter_v9", PNP_QUIET_ENTER, 9, false, true, true, true},
                      QuietRow{"enter_v10", PNP_QUIET_ENTER, 10, true, true, true, true},
                      QuietRow{"exit_v9", PNP_QUIET_EXIT, 9, true, true, false, false},
                      QuietRow{"exit_v10", PNP_QUIET_EXIT, 10, true, true, true, true},
                      QuietRow{"contents_v9", PNP_QUIET_CONTENTS, 9, true, false, true, true},
                      QuietRow{"contents_v10", PNP_QUIET_CONTENTS, 10, true, true, true, true},
                      QuietRow{"failed_v8", PNP_QUIET_FAILED, 8, true, true, true, false},
                      QuietRow{"failed_v9", PNP_QUIET_FAILED, 9, true, true, true, true},
                      QuietRow{"all_v0", PNP_QUIET_ALL, 0, false, false, false, false},
                      QuietRow{"all_v9", PNP_QUIET_ALL, 9, false, false, false, false},
                      QuietRow{"all_v10", PNP_QUIET_ALL, 10, true, true, true, true},
                      QuietRow{"all_v11", PNP_QUIET_ALL, 11, true, true, true, true},
                      QuietRow{"all_negative", PNP_QUIET_ALL, -1, false, false, false, false}),
    [](const ::testing::TestParamInfo<QuietRow> &info) { return std::string(info.param.name); });

// Only errors and warnings mark the DONE line; any status but success, even
// a pending or informational one, hides the contents.
TEST_F(TraceTest, StatusDecidesTheFailedMarkAndTheContents)
{
    for (NTSTATUS status : {STATUS_PENDING, (NTSTATUS)0x00000001, (NTSTATUS)0x40000000, STATUS_UNSUCCESSFUL,
                            STATUS_NOT_SUPPORTED, (NTSTATUS)0x80000005}) {
        auto irp = PnpIrp(IRP_MN_QUERY_PNP_DEVICE_STATE);
        irp->Finish(status, PNP_DEVICE_DISABLED);
        TraceRequest(&device_, irp->Irp());
        EXPECT_EQ(Take(), (Lines{Enter("QUERY_PNP_DEVICE_STATE"), Done("QUERY_PNP_DEVICE_STATE", status < 0)}))
            << "status 0x" << std::hex << status;
    }
}

TEST_F(DiagTest, UnregisteredDeviceShowsItsAddressFirstAndZeroAfterwards)
{
    DEVICE_OBJECT pdo{};
    auto irp = PnpIrp(IRP_MN_EJECT);
    irp->Finish(STATUS_SUCCESS);
    PrintIrpIn(&pdo, irp->Irp(), "ENTER ");
    PrintIrpOut(&pdo, irp->Irp(), "DONE  ");
    EXPECT_EQ(Take(), (Lines{Fmt("ENTER EJECT (0x%08x %08x)", Addr32(&pdo), Addr32(&pdo)),
                             Fmt("DONE  EJECT (0x00000000 %08x)", Addr32(&pdo))}));
}

// ------------------------------------------------------------------ findPtr

TEST_F(DiagTest, FindPtrLooksUpRegistersUpdatesAndOverflowsAtTheSixtyFifthKey)
{
    const ULONG_PTR a = 0x8123A000;
    EXPECT_EQ(findPtr(a, 0), (ULONG)a) << "first lookup of a new key returns the key";
    EXPECT_EQ(findPtr(a, 0), 0u) << "the key now has the value 0";
    EXPECT_EQ(findPtr(a, 5), 5u);
    EXPECT_EQ(findPtr(a, 0), 5u);
    EXPECT_EQ(findPtr(a, 5), 5u);
    EXPECT_EQ(findPtr(a, 7), 7u) << "a new value replaces the old one (a device object at a reused address)";
    EXPECT_EQ(findPtr(a, 0), 7u);
    EXPECT_EQ(findPtr(0x8123B000, 0x104CAC56), 0x104CAC56u) << "registration of a new key returns the value";
    EXPECT_EQ(findPtr(0x8123B000, 0), 0x104CAC56u);
    EXPECT_EQ(standin::CurrentIrql(), PASSIVE_LEVEL) << "the table's lock is released";
    EXPECT_EQ(Take(), Lines{});

    for (ULONG k = 3; k <= 64; k++) // 62 more keys fill the table
        ASSERT_EQ(findPtr(0x1000 + k, k), k) << "key " << k;
    EXPECT_EQ(Take(), Lines{});
    const Lines overflow{"WARNING findPtr: table overflow (only 64 entries)!!!"};
    EXPECT_EQ(findPtr(0x2000, 0x99), 0x2000u) << "the 65th key comes back unchanged";
    EXPECT_EQ(Take(), overflow);
    EXPECT_EQ(findPtr(0x2000, 0), 0x2000u) << "nothing was stored";
    EXPECT_EQ(Take(), overflow) << "the warning repeats on every call";
    EXPECT_EQ(findPtr(0x1000 + 64, 0), 64u) << "registered keys are still found";
    EXPECT_EQ(findPtr(a, 0x55), 0x55u) << "and can still be updated";
    EXPECT_EQ(Take(), Lines{});
}

// ---------------------------------------------------------------- relations

TEST_F(DiagTest, RelationsNameTheirTypeAndOnlyBusRelationsListTheObjects)
{
    DEVICE_OBJECT child0{}, child1{};
    findPtr((ULONG_PTR)&child1, 0x80861234);
    struct {
        ULONG Count;
        PDEVICE_OBJECT Objects[2];
    } relations = {2, {&child0, &child1}};
    auto irp = PnpIrp(IRP_MN_QUERY_DEVICE_RELATIONS);
    irp->Finish(STATUS_SUCCESS, (ULONG_PTR)&relations);
    const std::pair<ULONG, const char *> others[] = {{1, "Ejection"}, {2, "Power"},   {3, "Removal"},
                                                     {4, "Target"},   {5, "UNKNOWN"}, {7, "UNKNOWN"}};
    for (const auto &o : others) {
        irp->Stack()->Parameters.QueryDeviceRelations.Type = (DEVICE_RELATION_TYPE)o.first;
        PrintDeviceRelations(irp->Irp());
        EXPECT_EQ(Take(), Lines{Fmt("Querying for %s relations", o.second)});
    }
    irp->Stack()->Parameters.QueryDeviceRelations.Type = BusRelations;
    PrintDeviceRelations(irp->Irp());
    PrintDeviceRelations(irp->Irp());
    EXPECT_EQ(Take(), (Lines{"Querying for Bus relations",
                             Fmt("  Relation[0] = 0x%x/0x%x", Addr32(&child0), Addr32(&child0)),
                             Fmt("  Relation[1] = 0x80861234/0x%x", Addr32(&child1)), "Querying for Bus relations",
                             Fmt("  Relation[0] = 0x0/0x%x", Addr32(&child0)),
                             Fmt("  Relation[1] = 0x80861234/0x%x", Addr32(&child1))}));
    irp->Finish(STATUS_SUCCESS, 0);
    PrintDeviceRelations(irp->Irp());
    EXPECT_EQ(Take(), Lines{"Querying for Bus relations"});
}

// ----------------------------------------------------------- wide strings

// A line holds 127 characters of the string; with its indent and quotes
// that is more than DebugPrint's line, which cuts it at 131 characters.
const size_t kCutAt = DEBUG_LINE_SIZE - 1;

TEST_F(DiagTest, WideStringsShowLowBytesAndAreCutOrSplitAfter127Characters)
{
    SetVerbose(1);
    standin::ClearDebugLines();
    PrintWideString((std::u16string(100, u'a') + std::u16string(100, u'b')).c_str());
    std::string full = "     '" + std::string(100, 'a') + std::string(27, 'b') + "'\n";
    EXPECT_EQ(standin::DebugLines(), Lines{full.substr(0, kCutAt)});
    standin::ClearDebugLines();
    PrintWideString(std::u16string(120, u'c').c_str());
    EXPECT_EQ(standin::DebugLines(), Lines{"     '" + std::string(120, 'c') + "'\n"});
    Take();
    const char16_t lowBytes[] = {u'P', 0x0143, u'I', 0};
    PrintWideString(lowBytes);
    EXPECT_EQ(Take(), Lines{"     'PCI'"});

    const char16_t empty[] = {0, 0};
    PrintWideMultiString(empty);
    EXPECT_EQ(Take(), Lines{});

    std::u16string multi = u"PCI\\VEN_104C&DEV_AC56";
    for (const std::u16string &s : {std::u16string(200, u'x'), std::u16string(127, u'y'),
                                    std::u16string(u"PCI\\CC_0607"), std::u16string(), std::u16string(u"after the end")})
        multi += std::u16string(1, 0) + s;
    multi.push_back(0);
    standin::ClearDebugLines();
    PrintWideMultiString(multi.c_str());
    // One DebugPrint per line; the 127-character lines are cut by DebugPrint.
    EXPECT_EQ(standin::DebugLines(), (Lines{"     'PCI\\VEN_104C&DEV_AC56'\n",
                                            ("     '" + std::string(127, 'x')).substr(0, kCutAt),
                                            "     '" + std::string(73, 'x') + "'\n",
                                            ("     '" + std::string(127, 'y')).substr(0, kCutAt),
                                            "     'PCI\\CC_0607'\n"}));
}

TEST(InterfaceTypeString, NamesTheBusTypes)
{
    const char *names[] = {"Internal", "Isa",       "Eisa",   "MicroChannel",      "TurboChannel",     "PCIBus",
                           "VMEBus",   "NuBus",     "PCMCIABus", "CBus",           "MPIBus",           "MPSABus",
                           "ProcessorInternal",     "InternalPowerBus", "PNPISABus", "PNPBus"};
    for (LONG t = 0; t < 16; t++)
        EXPECT_STREQ(InterfaceTypeString(t), names[t]) << "type " << t;
    for (LONG t : {16, -1, 0x7FFFFFFF})
        EXPECT_STREQ(InterfaceTypeString(t), "UNKNOWN") << "type " << t;
}

// -------------------------------------------------------- contents printers

// START_DEVICE shows the translated resources it carries; the other printers
// show a successful request's result, and nothing when it has none.
TEST_F(TraceTest, ContentsPrintersShowTheResultAndNothingWithoutOne)
{
    const std::string plus(47, '+');
    std::vector<uint8_t> translated =
        ResourceList({{PCIBus, 0}}, {{CmInterrupt(0x51, 0xA, CmResourceShareShared)}});
    auto start = PnpIrp(IRP_MN_START_DEVICE);
    start->Stack()->Parameters.StartDevice.AllocatedResourcesTranslated = (PCM_RESOURCE_LIST)translated.data();
    start->Finish(STATUS_SUCCESS);
    EXPECT_EQ(Contents(*start), (Lines{plus, "StartDevice: Translated resources",
                                       "INT descriptor: 0 [Vec = 0x51 Level = 0xA]", "     Share: SHARED", plus}));
    start->Stack()->Parameters.StartDevice.AllocatedResourcesTranslated = nullptr;
    EXPECT_EQ(Contents(*start), Lines{});

    std::vector<uint8_t> resources = ResourceList({{PCIBus, 0}}, {{Cm(CmResourceTypeBusNumber)}});
    std::vector<uint8_t> requirements = Requirements(0, {{IoPrivate(3, 4)}});
    std::u16string text = u"PCI-to-CardBus bridge";
    PNP_BUS_INFORMATION pci{}, undefined{};
    pci.BusTypeGuid.Data1 = undefined.BusTypeGuid.Data1 = 0xC8EBDFB0;
    pci.LegacyBusType = PCIBus;
    undefined.LegacyBusType = InterfaceTypeUndefined;
    pci.BusNumber = undefined.BusNumber = 3;
    const struct {
        UCHAR minor;
        ULONG_PTR result;
        Lines lines;
    } rows[] = {
        {IRP_MN_QUERY_RESOURCES, (ULONG_PTR)resources.data(), {"BUS descriptor: 0", plus}},
        {IRP_MN_QUERY_RESOURCE_REQUIREMENTS, (ULONG_PTR)requirements.data(),
         {"Resource Requirements [0] Count 1", "--- descriptor: 0 [Marker 3-4]"}},
        {IRP_MN_QUERY_DEVICE_TEXT, (ULONG_PTR)text.c_str(), {"     'PCI-to-CardBus bridge'"}},
        {IRP_MN_QUERY_PNP_DEVICE_STATE, PNP_DEVICE_DONT_DISPLAY_IN_UI | PNP_DEVICE_NOT_DISABLEABLE,
         {"     Pnp: 0x22 DONT_DISPLAY_IN_UI NOT_DISABLEABLE" + Blanks(7)}},
        {IRP_MN_QUERY_BUS_INFORMATION, (ULONG_PTR)&pci, {"     Bus 0x03 Type PCIBus Interface GUID 0xc8ebdfb0"}},
        {IRP_MN_QUERY_BUS_INFORMATION, (ULONG_PTR)&undefined,
         {"     Bus 0x03 Type UNKNOWN Interface GUID 0xc8ebdfb0"}},
        // Rows without a printer.
        {IRP_MN_QUERY_CAPABILITIES, 0x1234, {}},
        {IRP_MN_QUERY_DEVICE_RELATIONS, 0x1234, {}},
        {IRP_MN_FILTER_RESOURCE_REQUIREMENTS, 0x1234, {}},
        {IRP_MN_REMOVE_DEVICE, 0x1234, {}},
        {IRP_MN_QUERY_LEGACY_BUS_INFORMATION, 0x1234, {}}};
    for (const auto &r : rows) {
        auto irp = PnpIrp(r.minor);
        irp->Finish(STATUS_SUCCESS, r.result);
        EXPECT_EQ(Contents(*irp), r.lines) << "minor " << (int)r.minor;
        irp->Finish(STATUS_SUCCESS, 0);
        EXPECT_EQ(Contents(*irp), Lines{}) << "minor " << (int)r.minor << " without a result";
    }
}

TEST_F(TraceTest, QueryIdNamesTheTypeAndPrintsTheIdAboveVerboseFive)
{
    std::u16string ids = u"ID_ONE";
    ids += std::u16string(1, 0) + u"ID_TWO" + std::u16string(2, 0);
    const struct {
        ULONG idType;
        LONG verbose;
        bool result;
        Lines lines;
    } rows[] = {
        {BusQueryDeviceID, 6, true, {"     BusQueryDeviceID", "     'ID_ONE'"}},
        {BusQueryDeviceID, 5, true, {"     BusQueryDeviceID"}},
        {BusQueryHardwareIDs, 6, true, {"     BusQueryHardwareIDs", "     'ID_ONE'", "     'ID_TWO'"}},
        {BusQueryCompatibleIDs, 6, true, {"     BusQueryCompatibleIDs", "     'ID_ONE'", "     'ID_TWO'"}},
        {BusQueryCompatibleIDs, 0, true, {"     BusQueryCompatibleIDs"}},
        {BusQueryInstanceID, 6, true, {"     BusQueryInstanceID", "     'ID_ONE'"}},
        {BusQueryInstanceID, 11, false, {"     BusQueryInstanceID"}},
        {BusQueryDeviceSerialNumber, 6, true, {"     BusQueryDeviceSerialNumber", "     'ID_ONE'"}},
        {7, 6, true, {"     'ID_ONE'"}},
        {7, 5, true, {}}};
    for (const auto &r : rows) {
        SetVerbose(r.verbose);
        auto irp = PnpIrp(IRP_MN_QUERY_ID);
        irp->Stack()->Parameters.QueryId.IdType = (BUS_QUERY_ID_TYPE)r.idType;
        irp->Finish(STATUS_SUCCESS, r.result ? (ULONG_PTR)ids.data() : 0);
        EXPECT_EQ(Contents(*irp), r.lines) << "type " << r.idType << " verbose " << r.verbose;
    }
}

// As the load sets it for chatty codes: silent up to verbose 9, the whole
// trace from verbose 10.
TEST_F(TraceTest, QuietCodesArePrintedInFullFromVerboseTen)
{
    SetMinorQuiet(IRP_MN_QUERY_ID, PNP_QUIET_ALL);
    SetMinorQuiet(IRP_MN_WRITE_CONFIG, PNP_QUIET_ALL);
    std::u16string ids = u"PCI\\VEN_104C&DEV_AC56&SUBSYS_00000000";
    ids += std::u16string(1, 0) + u"PCI\\VEN_104C&DEV_AC56" + std::u16string(2, 0);
    auto query = PnpIrp(IRP_MN_QUERY_ID);
    query->Stack()->Parameters.QueryId.IdType = BusQueryHardwareIDs;
    query->Finish(STATUS_SUCCESS, (ULONG_PTR)ids.data());
    uint8_t buffer[8] = {0x4C, 0x10, 0x56, 0xAC, 0x07, 0x00, 0x10, 0x02};
    auto write = PnpIrp(IRP_MN_WRITE_CONFIG);
    write->Stack()->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
    write->Stack()->Parameters.ReadWriteConfig.Buffer = buffer;
    write->Stack()->Parameters.ReadWriteConfig.Offset = 0x0;
    write->Stack()->Parameters.ReadWriteConfig.Length = 8;
    write->Finish(STATUS_SUCCESS, 8);
    for (LONG verbose : {9, 10}) {
        SetVerbose(verbose);
        TraceRequest(&device_, query->Irp());
        TraceRequest(&device_, write->Irp());
        const Lines full{Enter("QUERY_ID"), "     BusQueryHardwareIDs", "     'PCI\\VEN_104C&DEV_AC56&SUBSYS_00000000'",
                         "     'PCI\\VEN_104C&DEV_AC56'", Done("QUERY_ID"), Enter("WRITE_CONFIG"),
                         "     WriteConfig: space 0x0 off 0x00 len 0x8", "     Buffer[00] = 0xac56104c",
                         "     Buffer[04] = 0x02100007", Done("WRITE_CONFIG")};
        EXPECT_EQ(Take(), verbose == 9 ? Lines{} : full);
    }
}

NTSTATUS NTAPI FakeArbiter(PVOID, ULONG, PVOID)
{
    return STATUS_SUCCESS;
}

TEST_F(TraceTest, QueryInterfaceShowsOnlyTheArbiterInterface)
{
    GUID arbiterGuid{0xE644F185, 0x8C0E, 0x11D0, {0xBE, 0xCF, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};
    ARBITER_INTERFACE arbiter{};
    arbiter.ArbiterHandler = FakeArbiter;
    arbiter.Flags = 0x3;
    auto irp = PnpIrp(IRP_MN_QUERY_INTERFACE);
    irp->Stack()->Parameters.QueryInterface.InterfaceType = &arbiterGuid;
    irp->Stack()->Parameters.QueryInterface.Interface = (PINTERFACE)&arbiter;
    irp->Finish(STATUS_SUCCESS);
    const Lines line{Fmt("     Arb handler @ 0x%08x flags 0x3", Addr32((void *)FakeArbiter))};
    EXPECT_EQ(Contents(*irp), line);
    arbiterGuid.Data2 = 0; // only Data1 is compared
    EXPECT_EQ(Contents(*irp), line);
    GUID other = arbiterGuid;
    other.Data1 = 0xE644F186;
    irp->Stack()->Parameters.QueryInterface.InterfaceType = &other;
    EXPECT_EQ(Contents(*irp), Lines{});
    irp->Stack()->Parameters.QueryInterface.InterfaceType = &arbiterGuid;
    irp->Stack()->Parameters.QueryInterface.Interface = nullptr;
    EXPECT_EQ(Contents(*irp), Lines{});
}

// Exactly Length bytes in the buffer: the printer must not need any byte
// beyond them, and a final partial word shows only the bytes that exist.
TEST_F(TraceTest, ConfigPrintersShowTheBytesInsideLengthFromVerboseNine)
{
    const struct {
        UCHAR minor;
        LONG verbose;
        ULONG offset, length;
        Lines lines;
    } rows[] = {
        {IRP_MN_READ_CONFIG, 9, 0x40, 4,
         {"     ReadConfig: space 0x0 off 0x40 len 0x4", "     Buffer[00] = 0x44332211"}},
        {IRP_MN_READ_CONFIG, 8, 0x40, 4, {"     ReadConfig: space 0x0 off 0x40 len 0x4"}},
        {IRP_MN_READ_CONFIG, 9, 0x4, 6,
         {"     ReadConfig: space 0x0 off 0x04 len 0x6", "     Buffer[00] = 0x44332211", "     Buffer[04] = 0x6655"}},
        {IRP_MN_WRITE_CONFIG, 9, 0x3C, 1, {"     WriteConfig: space 0x0 off 0x3c len 0x1", "     Buffer[00] = 0x11"}},
        {IRP_MN_WRITE_CONFIG, 9, 0x10, 7,
         {"     WriteConfig: space 0x0 off 0x10 len 0x7", "     Buffer[00] = 0x44332211",
          "     Buffer[04] = 0x776655"}},
        {IRP_MN_WRITE_CONFIG, 9, 0x10, 0, {"     WriteConfig: space 0x0 off 0x10 len 0x0"}}};
    for (const auto &r : rows) {
        SetVerbose(r.verbose);
        std::vector<uint8_t> buffer(r.length);
        for (ULONG i = 0; i < r.length; i++)
            buffer[i] = (uint8_t)(0x11 * (i + 1));
        auto irp = PnpIrp(r.minor);
        irp->Stack()->Parameters.ReadWriteConfig.WhichSpace = 0;
        irp->Stack()->Parameters.ReadWriteConfig.Buffer = buffer.data();
        irp->Stack()->Parameters.ReadWriteConfig.Offset = r.offset;
        irp->Stack()->Parameters.ReadWriteConfig.Length = r.length;
        irp->Finish(STATUS_SUCCESS, r.length);
        EXPECT_EQ(Contents(*irp), r.lines) << "length " << r.length << " verbose " << r.verbose;
    }
}

} // namespace
