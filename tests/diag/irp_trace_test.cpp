// The PnP request trace: ENTER, contents and DONE lines, quiet bits by
// verbosity, identity words, and the contents printers.
#include <cstring>

#include "diag_fixture.h"

namespace {

using diagtest::Addr32;
using diagtest::Blanks;
using diagtest::DiagTest;
using diagtest::Fmt;
using diagtest::HandIrp;
using diagtest::Joined;
using diagtest::PnpIrp;

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

    static constexpr ULONG kIdentity = 0x104CAC56;
    DEVICE_OBJECT device_{};
};

// ------------------------------------------------------------ the table

struct MinorNameRow {
    UCHAR minor;
    const char *name;
};

class MinorNameTest : public TraceTest, public ::testing::WithParamInterface<MinorNameRow> {};

TEST_P(MinorNameTest, EnterAndDoneNameTheMinorCode)
{
    auto irp = PnpIrp(GetParam().minor);
    irp->Finish(STATUS_SUCCESS);
    PrintIrpIn(&device_, irp->Irp(), "ENTER ");
    PrintIrpOut(&device_, irp->Irp(), "DONE  ");
    std::vector<std::string> lines = Take();
    EXPECT_EQ(lines, std::vector<std::string>({Enter(GetParam().name), Done(GetParam().name)})) << Joined(lines);
    PCPNP_MINOR_NAME row = LookupPnpMinor(irp->Irp(), "test");
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row->Name, GetParam().name);
    EXPECT_EQ(row->Quiet, 0u) << "no quiet bit at load";
}

INSTANTIATE_TEST_SUITE_P(Rows, MinorNameTest,
                         ::testing::Values(MinorNameRow{0x00, "START_DEVICE"}, MinorNameRow{0x01, "QUERY_REMOVE_DEVICE"},
                                           MinorNameRow{0x02, "REMOVE_DEVICE"},
                                           MinorNameRow{0x03, "CANCEL_REMOVE_DEVICE"},
                                           MinorNameRow{0x04, "STOP_DEVICE"}, MinorNameRow{0x05, "QUERY_STOP_DEVICE"},
                                           MinorNameRow{0x06, "CANCEL_STOP_DEVICE"},
                                           MinorNameRow{0x07, "QUERY_DEVICE_RELATIONS"},
                                           MinorNameRow{0x08, "QUERY_INTERFACE"},
                                           MinorNameRow{0x09, "QUERY_CAPABILITIES"},
                                           MinorNameRow{0x0A, "QUERY_RESOURCES"},
                                           MinorNameRow{0x0B, "QUERY_RESOURCE_REQ"},
                                           MinorNameRow{0x0C, "QUERY_DEVICE_TEXT"},
                                           MinorNameRow{0x0D, "FILTER_RESOURCE_REQ"},
                                           MinorNameRow{0x0F, "READ_CONFIG"}, MinorNameRow{0x10, "WRITE_CONFIG"},
                                           MinorNameRow{0x11, "EJECT"}, MinorNameRow{0x12, "SET_LOCK"},
                                           MinorNameRow{0x13, "QUERY_ID"},
                                           MinorNameRow{0x14, "QUERY_PNP_DEVICE_STATE"},
                                           MinorNameRow{0x15, "QUERY_BUS_INFORMATION"},
                                           MinorNameRow{0x16, "DEVICE_USAGE_NOTIFICATION"},
                                           MinorNameRow{0x17, "SURPRISE_REMOVAL"},
                                           MinorNameRow{0x18, "QUERY_LEGACY_BUS_INFO"}));

struct UnknownRow {
    UCHAR minor;
    LONG verbose;
    bool warns;
};

class UnknownMinorTest : public TraceTest, public ::testing::WithParamInterface<UnknownRow> {};

TEST_P(UnknownMinorTest, UnknownCodesWarnFromVerboseNine)
{
    const UnknownRow &r = GetParam();
    SetVerbose(r.verbose);
    auto irp = PnpIrp(r.minor);
    irp->Finish(STATUS_SUCCESS);
    TraceRequest(&device_, irp->Irp());
    EXPECT_EQ(LookupPnpMinor(irp->Irp(), "Caller"), nullptr);
    std::vector<std::string> expected;
    if (r.warns) {
        for (const char *caller : {"PrintIrpIn", "PrintIrpContents", "PrintIrpOut", "Caller"})
            expected.push_back(Fmt("WARNING %s: UNKNOWN Irp MinorFunction 0x%02x", caller, (unsigned)r.minor));
    }
    std::vector<std::string> lines = Take();
    EXPECT_EQ(lines, expected) << Joined(lines);
}

INSTANTIATE_TEST_SUITE_P(Rows, UnknownMinorTest,
                         ::testing::Values(UnknownRow{0x0E, 8, false}, UnknownRow{0x0E, 9, true},
                                           UnknownRow{0x19, 0, false}, UnknownRow{0x19, 11, true},
                                           UnknownRow{0xFF, 9, true}, UnknownRow{0xFF, 1, false}));

TEST_F(TraceTest, SetMinorQuietOrsBitsIntoTheRowAndIgnoresUnknownCodes)
{
    auto irp = PnpIrp(IRP_MN_EJECT);
    SetMinorQuiet(IRP_MN_EJECT, PNP_QUIET_ENTER);
    SetMinorQuiet(IRP_MN_EJECT, PNP_QUIET_CONTENTS);
    SetMinorQuiet(0x0E, PNP_QUIET_ALL);
    SetMinorQuiet(0xFF, PNP_QUIET_ALL);
    PCPNP_MINOR_NAME row = LookupPnpMinor(irp->Irp(), "test");
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->Quiet, (ULONG)(PNP_QUIET_ENTER | PNP_QUIET_CONTENTS));
    auto other = PnpIrp(IRP_MN_SET_LOCK);
    EXPECT_EQ(LookupPnpMinor(other->Irp(), "test")->Quiet, 0u);
}

// ------------------------------------------------------------- quiet bits

// One quiet bit at a time, on a request whose contents print one line.
struct QuietRow {
    const char *name;
    ULONG bits;
    LONG verbose;
    bool enter;
    bool contents;
    bool done;
    bool failedMark;
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
    std::vector<std::string> expected;
    if (r.enter)
        expected.push_back(Enter("QUERY_PNP_DEVICE_STATE"));
    if (r.contents)
        expected.push_back("     Pnp: 0x4 FAILED" + Blanks(8));
    if (r.done)
        expected.push_back(Done("QUERY_PNP_DEVICE_STATE"));
    std::vector<std::string> lines = Take();
    EXPECT_EQ(lines, expected) << r.name << " (success)\n" << Joined(lines);

    auto failed = PnpIrp(IRP_MN_QUERY_PNP_DEVICE_STATE);
    failed->Finish(STATUS_UNSUCCESSFUL, PNP_DEVICE_FAILED);
    PrintIrpContents(&device_, failed->Irp(), "");
    PrintIrpOut(&device_, failed->Irp(), "DONE  ");
    expected.clear();
    if (r.done)
        expected.push_back(Done("QUERY_PNP_DEVICE_STATE", r.failedMark));
    lines = Take();
    EXPECT_EQ(lines, expected) << r.name << " (failure)\n" << Joined(lines);
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

// The marks the driver sets at load, by Verbose, over the ten chatty codes.
struct LoadMarkRow {
    LONG verbose;
    UCHAR minor;
    bool silent;
};

class LoadMarksTest : public TraceTest, public ::testing::WithParamInterface<LoadMarkRow> {};

TEST_P(LoadMarksTest, ChattyCodesAreSilentAtLowVerbosity)
{
    const LoadMarkRow &r = GetParam();
    diagtest::MarkQuietAsAtLoad(r.verbose);
    SetVerbose(r.verbose);
    auto irp = PnpIrp(r.minor);
    irp->Finish(STATUS_UNSUCCESSFUL);
    TraceRequest(&device_, irp->Irp());
    std::vector<std::string> lines = Take();
    if (r.silent) {
        EXPECT_TRUE(lines.empty()) << "verbose " << r.verbose << " minor " << (int)r.minor << "\n" << Joined(lines);
    } else {
        ASSERT_EQ(lines.size(), 2u) << "verbose " << r.verbose << " minor " << (int)r.minor << "\n"
                                    << Joined(lines);
        EXPECT_EQ(lines[0].rfind("ENTER ", 0), 0u) << lines[0];
        EXPECT_EQ(lines[1].rfind("DONE  ", 0), 0u) << lines[1];
        EXPECT_NE(lines[1].find(" (FAILED)"), std::string::npos) << lines[1];
    }
}

std::vector<LoadMarkRow> LoadMarkRows()
{
    const UCHAR firstGroups[] = {IRP_MN_READ_CONFIG, IRP_MN_WRITE_CONFIG, IRP_MN_QUERY_ID, IRP_MN_QUERY_DEVICE_TEXT,
                                 IRP_MN_DEVICE_USAGE_NOTIFICATION};
    const UCHAR zeroGroup[] = {IRP_MN_QUERY_INTERFACE, IRP_MN_QUERY_RESOURCES, IRP_MN_QUERY_RESOURCE_REQUIREMENTS,
                               IRP_MN_QUERY_LEGACY_BUS_INFORMATION, IRP_MN_QUERY_BUS_INFORMATION};
    std::vector<LoadMarkRow> rows;
    for (LONG v : {0, 9, 10, 11}) {
        for (UCHAR m : firstGroups)
            rows.push_back({v, m, v <= 9});
        for (UCHAR m : zeroGroup)
            rows.push_back({v, m, v == 0});
        rows.push_back({v, IRP_MN_START_DEVICE, false});
        rows.push_back({v, IRP_MN_FILTER_RESOURCE_REQUIREMENTS, false});
    }
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Rows, LoadMarksTest, ::testing::ValuesIn(LoadMarkRows()));

TEST_F(TraceTest, StartDeviceAtVerboseZeroGoesToTheTraceOnly)
{
    diagtest::MarkQuietAsAtLoad(0);
    SetVerbose(0);
    auto irp = PnpIrp(IRP_MN_START_DEVICE);
    irp->Finish(STATUS_SUCCESS);
    standin::ClearDebugLines();
    TraceRequest(&device_, irp->Irp());
    std::vector<std::string> lines = Take();
    EXPECT_EQ(lines, std::vector<std::string>({Enter("START_DEVICE"), Done("START_DEVICE")})) << Joined(lines);
    EXPECT_TRUE(standin::DebugLines().empty()) << standin::DebugText();
}

TEST_F(TraceTest, LinesReachTheDebuggerWhenVerboseIsSet)
{
    SetVerbose(1);
    auto irp = PnpIrp(IRP_MN_EJECT);
    irp->Finish(STATUS_SUCCESS);
    standin::ClearDebugLines();
    PrintIrpIn(&device_, irp->Irp(), "ENTER ");
    EXPECT_EQ(standin::DebugLines(), std::vector<std::string>({Enter("EJECT") + "\n"}));
}

TEST_F(TraceTest, PendingAndOtherPositiveStatusesGiveNoMarkAndNoContents)
{
    for (NTSTATUS status : {STATUS_PENDING, (NTSTATUS)0x00000001, (NTSTATUS)0x40000000}) {
        auto irp = PnpIrp(IRP_MN_QUERY_PNP_DEVICE_STATE);
        irp->Finish(status, PNP_DEVICE_DISABLED);
        TraceRequest(&device_, irp->Irp());
        std::vector<std::string> lines = Take();
        EXPECT_EQ(lines, std::vector<std::string>({Enter("QUERY_PNP_DEVICE_STATE"), Done("QUERY_PNP_DEVICE_STATE")}))
            << "status 0x" << std::hex << status << "\n"
            << Joined(lines);
    }
}

TEST_F(TraceTest, ErrorAndWarningStatusesMarkTheDoneLine)
{
    for (NTSTATUS status : {STATUS_UNSUCCESSFUL, STATUS_NOT_SUPPORTED, (NTSTATUS)0x80000005}) {
        auto irp = PnpIrp(IRP_MN_REMOVE_DEVICE);
        irp->Finish(status);
        PrintIrpOut(&device_, irp->Irp(), "DONE  ");
        EXPECT_EQ(Take(), std::vector<std::string>({Done("REMOVE_DEVICE", true)})) << "status 0x" << std::hex
                                                                                     << status;
    }
}

TEST_F(DiagTest, UnregisteredDeviceShowsItsAddressFirstAndZeroAfterwards)
{
    DEVICE_OBJECT pdo{};
    auto irp = PnpIrp(IRP_MN_EJECT);
    irp->Finish(STATUS_SUCCESS);
    PrintIrpIn(&pdo, irp->Irp(), "ENTER ");
    PrintIrpOut(&pdo, irp->Irp(), "DONE  ");
    std::vector<std::string> lines = Take();
    EXPECT_EQ(lines, std::vector<std::string>({Fmt("ENTER EJECT (0x%08x %08x)", Addr32(&pdo), Addr32(&pdo)),
                                               Fmt("DONE  EJECT (0x00000000 %08x)", Addr32(&pdo))}))
        << Joined(lines);
}

// ------------------------------------------------------------------ findPtr

TEST_F(DiagTest, FindPtrLooksUpRegistersAndUpdates)
{
    const ULONG_PTR a = 0x8123A000;
    EXPECT_EQ(findPtr(a, 0), (ULONG)a) << "first lookup of a new key returns the key";
    EXPECT_EQ(findPtr(a, 0), 0u) << "the key now has the value 0";
    EXPECT_EQ(findPtr(a, 5), 5u);
    EXPECT_EQ(findPtr(a, 0), 5u);
    EXPECT_EQ(findPtr(a, 5), 5u);
    EXPECT_EQ(findPtr(a, 7), 7u) << "a new value replaces the old one";
    EXPECT_EQ(findPtr(a, 0), 7u);
    const ULONG_PTR b = 0x8123B000;
    EXPECT_EQ(findPtr(b, 0x104CAC56), 0x104CAC56u) << "registration of a new key returns the value";
    EXPECT_EQ(findPtr(b, 0), 0x104CAC56u);
    EXPECT_EQ(standin::CurrentIrql(), PASSIVE_LEVEL) << "the table's lock is released";
    EXPECT_TRUE(Take().empty());
}

TEST_F(DiagTest, FindPtrReusedAddressKeepsTheOldWordUntilRegistered)
{
    DEVICE_OBJECT slot{};
    findPtr((ULONG_PTR)&slot, 0x11112222);
    // The device object is deleted and a new one lands at the same address.
    EXPECT_EQ(findPtr((ULONG_PTR)&slot, 0), 0x11112222u);
    EXPECT_EQ(findPtr((ULONG_PTR)&slot, 0x33334444), 0x33334444u);
    EXPECT_EQ(findPtr((ULONG_PTR)&slot, 0), 0x33334444u);
}

TEST_F(DiagTest, FindPtrTableOverflowsAtTheSixtyFifthKey)
{
    for (ULONG k = 1; k <= 64; k++)
        ASSERT_EQ(findPtr(0x1000 + k, k), k) << "key " << k;
    EXPECT_TRUE(Take().empty());

    EXPECT_EQ(findPtr(0x2000, 0x99), 0x2000u) << "the 65th key comes back unchanged";
    EXPECT_EQ(Take(), std::vector<std::string>({"WARNING findPtr: table overflow (only 64 entries)!!!"}));
    EXPECT_EQ(findPtr(0x2000, 0), 0x2000u) << "nothing was stored";
    EXPECT_EQ(Take(), std::vector<std::string>({"WARNING findPtr: table overflow (only 64 entries)!!!"}))
        << "the warning repeats on every call";

    EXPECT_EQ(findPtr(0x1000 + 64, 0), 64u) << "registered keys are still found";
    EXPECT_EQ(findPtr(0x1000 + 1, 0x55), 0x55u) << "and can still be updated";
    EXPECT_TRUE(Take().empty());
}

// ---------------------------------------------------------------- relations

TEST_F(TraceTest, BusRelationsListEachChildWithItsIdentity)
{
    DEVICE_OBJECT child0{}, child1{};
    findPtr((ULONG_PTR)&child1, 0x80861234);
    struct {
        ULONG Count;
        PDEVICE_OBJECT Objects[2];
    } relations = {2, {&child0, &child1}};
    auto irp = PnpIrp(IRP_MN_QUERY_DEVICE_RELATIONS);
    irp->Stack()->Parameters.QueryDeviceRelations.Type = BusRelations;
    irp->Finish(STATUS_SUCCESS, (ULONG_PTR)&relations);
    PrintDeviceRelations(irp->Irp());
    PrintDeviceRelations(irp->Irp());
    std::vector<std::string> lines = Take();
    EXPECT_EQ(lines, std::vector<std::string>({
                         "Querying for Bus relations",
                         Fmt("  Relation[0] = 0x%x/0x%x", Addr32(&child0), Addr32(&child0)),
                         Fmt("  Relation[1] = 0x80861234/0x%x", Addr32(&child1)),
                         "Querying for Bus relations",
                         Fmt("  Relation[0] = 0x0/0x%x", Addr32(&child0)),
                         Fmt("  Relation[1] = 0x80861234/0x%x", Addr32(&child1)),
                     }))
        << Joined(lines);
}

struct RelationRow {
    ULONG type;
    const char *name;
};

class RelationNameTest : public DiagTest, public ::testing::WithParamInterface<RelationRow> {};

TEST_P(RelationNameTest, OnlyBusRelationsListTheObjects)
{
    DEVICE_OBJECT child{};
    DEVICE_RELATIONS relations{1, {&child}};
    auto irp = PnpIrp(IRP_MN_QUERY_DEVICE_RELATIONS);
    irp->Stack()->Parameters.QueryDeviceRelations.Type = (DEVICE_RELATION_TYPE)GetParam().type;
    irp->Finish(STATUS_SUCCESS, (ULONG_PTR)&relations);
    PrintDeviceRelations(irp->Irp());
    EXPECT_EQ(Take(), std::vector<std::string>({Fmt("Querying for %s relations", GetParam().name)}));
}

INSTANTIATE_TEST_SUITE_P(Rows, RelationNameTest,
                         ::testing::Values(RelationRow{1, "Ejection"}, RelationRow{2, "Power"},
                                           RelationRow{3, "Removal"}, RelationRow{4, "Target"},
                                           RelationRow{5, "UNKNOWN"}, RelationRow{7, "UNKNOWN"}));

TEST_F(DiagTest, BusRelationsWithoutListPrintOnlyTheHeader)
{
    auto irp = PnpIrp(IRP_MN_QUERY_DEVICE_RELATIONS);
    irp->Stack()->Parameters.QueryDeviceRelations.Type = BusRelations;
    irp->Finish(STATUS_SUCCESS, 0);
    PrintDeviceRelations(irp->Irp());
    EXPECT_EQ(Take(), std::vector<std::string>({"Querying for Bus relations"}));
}

// ----------------------------------------------------------- wide strings

std::u16string Repeat(char16_t c, size_t n)
{
    return std::u16string(n, c);
}

// A line holds 127 characters of the string; with its indent and quotes
// that is more than DebugPrint's line, which cuts it at 131 characters.
const size_t kCutAt = DEBUG_LINE_SIZE - 1;

TEST_F(DiagTest, WideStringIsCutAfter127Characters)
{
    SetVerbose(1);
    standin::ClearDebugLines();
    std::u16string text = Repeat(u'a', 100) + Repeat(u'b', 100);
    PrintWideString(text.c_str());
    std::string full = "     '" + std::string(100, 'a') + std::string(27, 'b') + "'\n";
    EXPECT_EQ(standin::DebugLines(), std::vector<std::string>({full.substr(0, kCutAt)}));

    standin::ClearDebugLines();
    text = Repeat(u'c', 120);
    PrintWideString(text.c_str());
    EXPECT_EQ(standin::DebugLines(), std::vector<std::string>({"     '" + std::string(120, 'c') + "'\n"}));
}

TEST_F(DiagTest, WideStringTakesTheLowByteOfEachUnit)
{
    const char16_t text[] = {u'P', 0x0143, u'I', 0};
    PrintWideString(text);
    EXPECT_EQ(Take(), std::vector<std::string>({"     'PCI'"}));
}

TEST_F(DiagTest, WideMultiStringPrintsEachStringAndSplitsLongOnes)
{
    std::u16string text = u"PCI\\VEN_104C&DEV_AC56";
    text.push_back(0);
    text += Repeat(u'x', 200);
    text.push_back(0);
    text += Repeat(u'y', 127);
    text.push_back(0);
    text += u"PCI\\CC_0607";
    text.push_back(0);
    text.push_back(0);
    text += u"after the end";
    text.push_back(0);
    SetVerbose(1);
    standin::ClearDebugLines();
    PrintWideMultiString(text.c_str());
    // One DebugPrint per line; the 127-character lines are cut by DebugPrint.
    std::vector<std::string> expected = {
        "     'PCI\\VEN_104C&DEV_AC56'\n",
        ("     '" + std::string(127, 'x')).substr(0, kCutAt),
        "     '" + std::string(73, 'x') + "'\n",
        ("     '" + std::string(127, 'y')).substr(0, kCutAt),
        "     'PCI\\CC_0607'\n",
    };
    EXPECT_EQ(standin::DebugLines(), expected);
}

TEST_F(DiagTest, EmptyWideMultiStringPrintsNothing)
{
    const char16_t empty[] = {0, 0};
    PrintWideMultiString(empty);
    EXPECT_TRUE(Take().empty());
}

struct InterfaceRow {
    LONG type;
    const char *name;
};

class InterfaceTypeNameTest : public DiagTest, public ::testing::WithParamInterface<InterfaceRow> {};

TEST_P(InterfaceTypeNameTest, NamesTheBusType)
{
    EXPECT_STREQ(InterfaceTypeString(GetParam().type), GetParam().name) << "type " << GetParam().type;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, InterfaceTypeNameTest,
    ::testing::Values(InterfaceRow{0, "Internal"}, InterfaceRow{1, "Isa"}, InterfaceRow{2, "Eisa"},
                      InterfaceRow{3, "MicroChannel"}, InterfaceRow{4, "TurboChannel"}, InterfaceRow{5, "PCIBus"},
                      InterfaceRow{6, "VMEBus"}, InterfaceRow{7, "NuBus"}, InterfaceRow{8, "PCMCIABus"},
                      InterfaceRow{9, "CBus"}, InterfaceRow{10, "MPIBus"}, InterfaceRow{11, "MPSABus"},
                      InterfaceRow{12, "ProcessorInternal"}, InterfaceRow{13, "InternalPowerBus"},
                      InterfaceRow{14, "PNPISABus"}, InterfaceRow{15, "PNPBus"}, InterfaceRow{16, "UNKNOWN"},
                      InterfaceRow{-1, "UNKNOWN"}, InterfaceRow{0x7FFFFFFF, "UNKNOWN"}));

// -------------------------------------------------------- contents printers

class ContentsTest : public TraceTest {
  protected:
    std::vector<std::string> Contents(HandIrp &irp)
    {
        Take();
        PrintIrpContents(&device_, irp.Irp(), "");
        return Take();
    }
};

TEST_F(ContentsTest, StartDevicePrintsTheTranslatedList)
{
    struct {
        ULONG Count;
        CM_FULL_RESOURCE_DESCRIPTOR Full;
    } translated{};
    translated.Count = 1;
    translated.Full.InterfaceType = PCIBus;
    translated.Full.PartialResourceList.Count = 1;
    translated.Full.PartialResourceList.PartialDescriptors[0].Type = CmResourceTypeInterrupt;
    translated.Full.PartialResourceList.PartialDescriptors[0].ShareDisposition = CmResourceShareShared;
    translated.Full.PartialResourceList.PartialDescriptors[0].u.Interrupt.Vector = 0x51;
    translated.Full.PartialResourceList.PartialDescriptors[0].u.Interrupt.Level = 0xA;
    auto irp = PnpIrp(IRP_MN_START_DEVICE);
    irp->Stack()->Parameters.StartDevice.AllocatedResourcesTranslated = (PCM_RESOURCE_LIST)&translated;
    irp->Finish(STATUS_SUCCESS);
    std::vector<std::string> lines = Contents(*irp);
    const std::string plus(47, '+');
    EXPECT_EQ(lines, std::vector<std::string>({plus, "StartDevice: Translated resources",
                                               "INT descriptor: 0 [Vec = 0x51 Level = 0xA]", "     Share: SHARED",
                                               plus}))
        << Joined(lines);

    irp->Stack()->Parameters.StartDevice.AllocatedResourcesTranslated = nullptr;
    lines = Contents(*irp);
    EXPECT_TRUE(lines.empty()) << Joined(lines);
}

TEST_F(ContentsTest, QueryResourcesAndRequirementsPrintTheirLists)
{
    struct {
        ULONG Count;
        CM_FULL_RESOURCE_DESCRIPTOR Full;
    } resources{};
    resources.Count = 1;
    resources.Full.PartialResourceList.Count = 1;
    resources.Full.PartialResourceList.PartialDescriptors[0].Type = CmResourceTypeBusNumber;
    auto res = PnpIrp(IRP_MN_QUERY_RESOURCES);
    res->Finish(STATUS_SUCCESS, (ULONG_PTR)&resources);
    EXPECT_EQ(Contents(*res), std::vector<std::string>({"BUS descriptor: 0", std::string(47, '+')}));
    res->Finish(STATUS_SUCCESS, 0);
    EXPECT_TRUE(Contents(*res).empty());

    IO_RESOURCE_REQUIREMENTS_LIST requirements{};
    requirements.AlternativeLists = 1;
    requirements.List[0].Count = 1;
    requirements.List[0].Descriptors[0].Type = CmResourceTypeDevicePrivate;
    requirements.List[0].Descriptors[0].u.DevicePrivate.Data[0] = 3;
    requirements.List[0].Descriptors[0].u.DevicePrivate.Data[1] = 4;
    auto req = PnpIrp(IRP_MN_QUERY_RESOURCE_REQUIREMENTS);
    req->Finish(STATUS_SUCCESS, (ULONG_PTR)&requirements);
    EXPECT_EQ(Contents(*req),
              std::vector<std::string>({"Resource Requirements [0] Count 1", "--- descriptor: 0 [Marker 3-4]"}));
    req->Finish(STATUS_SUCCESS, 0);
    EXPECT_TRUE(Contents(*req).empty());
}

TEST_F(ContentsTest, HardwareIdsAtVerboseTenPrintOneLinePerId)
{
    diagtest::MarkQuietAsAtLoad(10);
    SetVerbose(10);
    std::u16string ids = u"PCI\\VEN_104C&DEV_AC56&SUBSYS_00000000";
    ids.push_back(0);
    ids += u"PCI\\VEN_104C&DEV_AC56";
    ids.push_back(0);
    ids.push_back(0);
    auto irp = PnpIrp(IRP_MN_QUERY_ID);
    irp->Stack()->Parameters.QueryId.IdType = BusQueryHardwareIDs;
    irp->Finish(STATUS_SUCCESS, (ULONG_PTR)ids.data());
    TraceRequest(&device_, irp->Irp());
    std::vector<std::string> lines = Take();
    EXPECT_EQ(lines, std::vector<std::string>({Enter("QUERY_ID"), "     BusQueryHardwareIDs",
                                               "     'PCI\\VEN_104C&DEV_AC56&SUBSYS_00000000'",
                                               "     'PCI\\VEN_104C&DEV_AC56'", Done("QUERY_ID")}))
        << Joined(lines);
}

TEST_F(ContentsTest, QueryIdAtVerboseNineIsSilencedByTheLoadMarks)
{
    diagtest::MarkQuietAsAtLoad(9);
    SetVerbose(9);
    std::u16string id = u"PCI\\VEN_104C";
    auto irp = PnpIrp(IRP_MN_QUERY_ID);
    irp->Stack()->Parameters.QueryId.IdType = BusQueryHardwareIDs;
    irp->Finish(STATUS_SUCCESS, (ULONG_PTR)id.c_str());
    TraceRequest(&device_, irp->Irp());
    std::vector<std::string> lines = Take();
    EXPECT_TRUE(lines.empty()) << Joined(lines);
}

struct QueryIdRow {
    const char *name;
    ULONG idType;
    LONG verbose;
    std::vector<std::string> lines;
};

class QueryIdTest : public ContentsTest, public ::testing::WithParamInterface<QueryIdRow> {};

TEST_P(QueryIdTest, NamesTheIdTypeAndPrintsTheIdAboveVerboseFive)
{
    const QueryIdRow &r = GetParam();
    SetVerbose(r.verbose);
    std::u16string id = u"ID_ONE";
    id.push_back(0);
    id += u"ID_TWO";
    id.push_back(0);
    id.push_back(0);
    auto irp = PnpIrp(IRP_MN_QUERY_ID);
    irp->Stack()->Parameters.QueryId.IdType = (BUS_QUERY_ID_TYPE)r.idType;
    irp->Finish(STATUS_SUCCESS, (ULONG_PTR)id.data());
    std::vector<std::string> lines = Contents(*irp);
    EXPECT_EQ(lines, r.lines) << r.name << "\n" << Joined(lines);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, QueryIdTest,
    ::testing::Values(
        QueryIdRow{"device_v6", BusQueryDeviceID, 6, {"     BusQueryDeviceID", "     'ID_ONE'"}},
        QueryIdRow{"device_v5", BusQueryDeviceID, 5, {"     BusQueryDeviceID"}},
        QueryIdRow{"hardware_v6", BusQueryHardwareIDs, 6, {"     BusQueryHardwareIDs", "     'ID_ONE'", "     'ID_TWO'"}},
        QueryIdRow{"compatible_v6",
                   BusQueryCompatibleIDs,
                   6,
                   {"     BusQueryCompatibleIDs", "     'ID_ONE'", "     'ID_TWO'"}},
        QueryIdRow{"compatible_v0", BusQueryCompatibleIDs, 0, {"     BusQueryCompatibleIDs"}},
        QueryIdRow{"instance_v6", BusQueryInstanceID, 6, {"     BusQueryInstanceID", "     'ID_ONE'"}},
        QueryIdRow{"serial_v6", BusQueryDeviceSerialNumber, 6, {"     BusQueryDeviceSerialNumber", "     'ID_ONE'"}},
        QueryIdRow{"other_type_v6", 7, 6, {"     'ID_ONE'"}},
        QueryIdRow{"other_type_v5", 7, 5, {}}),
    [](const ::testing::TestParamInfo<QueryIdRow> &info) { return std::string(info.param.name); });

TEST_F(ContentsTest, QueryIdWithoutResultPrintsOnlyTheTypeLine)
{
    SetVerbose(11);
    auto irp = PnpIrp(IRP_MN_QUERY_ID);
    irp->Stack()->Parameters.QueryId.IdType = BusQueryInstanceID;
    irp->Finish(STATUS_SUCCESS, 0);
    EXPECT_EQ(Contents(*irp), std::vector<std::string>({"     BusQueryInstanceID"}));
}

TEST_F(ContentsTest, DeviceTextPrintsTheText)
{
    std::u16string text = u"PCI-to-CardBus bridge";
    auto irp = PnpIrp(IRP_MN_QUERY_DEVICE_TEXT);
    irp->Stack()->Parameters.QueryDeviceText.DeviceTextType = DeviceTextDescription;
    irp->Stack()->Parameters.QueryDeviceText.LocaleId = 0x409;
    irp->Finish(STATUS_SUCCESS, (ULONG_PTR)text.c_str());
    EXPECT_EQ(Contents(*irp), std::vector<std::string>({"     'PCI-to-CardBus bridge'"}));
    irp->Finish(STATUS_SUCCESS, 0);
    EXPECT_TRUE(Contents(*irp).empty());
}

NTSTATUS NTAPI FakeArbiter(PVOID, ULONG, PVOID)
{
    return STATUS_SUCCESS;
}

TEST_F(ContentsTest, QueryInterfaceShowsOnlyTheArbiterInterface)
{
    GUID arbiterGuid{0xE644F185, 0x8C0E, 0x11D0, {0xBE, 0xCF, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};
    ARBITER_INTERFACE arbiter{};
    arbiter.ArbiterHandler = FakeArbiter;
    arbiter.Flags = 0x3;
    auto irp = PnpIrp(IRP_MN_QUERY_INTERFACE);
    irp->Stack()->Parameters.QueryInterface.InterfaceType = &arbiterGuid;
    irp->Stack()->Parameters.QueryInterface.Interface = (PINTERFACE)&arbiter;
    irp->Finish(STATUS_SUCCESS);
    EXPECT_EQ(Contents(*irp),
              std::vector<std::string>({Fmt("     Arb handler @ 0x%08x flags 0x3", Addr32((void *)FakeArbiter))}));

    // Only Data1 is compared.
    arbiterGuid.Data2 = 0;
    EXPECT_EQ(Contents(*irp).size(), 1u);

    GUID other = arbiterGuid;
    other.Data1 = 0xE644F186;
    irp->Stack()->Parameters.QueryInterface.InterfaceType = &other;
    EXPECT_TRUE(Contents(*irp).empty());

    irp->Stack()->Parameters.QueryInterface.InterfaceType = &arbiterGuid;
    irp->Stack()->Parameters.QueryInterface.Interface = nullptr;
    EXPECT_TRUE(Contents(*irp).empty());
}

TEST_F(ContentsTest, PnpDeviceStatePrintsItsFlags)
{
    auto irp = PnpIrp(IRP_MN_QUERY_PNP_DEVICE_STATE);
    irp->Finish(STATUS_SUCCESS, PNP_DEVICE_DONT_DISPLAY_IN_UI | PNP_DEVICE_NOT_DISABLEABLE);
    EXPECT_EQ(Contents(*irp),
              std::vector<std::string>({"     Pnp: 0x22 DONT_DISPLAY_IN_UI NOT_DISABLEABLE" + Blanks(7)}));
    irp->Finish(STATUS_SUCCESS, 0);
    EXPECT_TRUE(Contents(*irp).empty());
}

TEST_F(ContentsTest, WriteConfigOfEightBytesAtVerboseTen)
{
    diagtest::MarkQuietAsAtLoad(10);
    SetVerbose(10);
    uint8_t buffer[8] = {0x4C, 0x10, 0x56, 0xAC, 0x07, 0x00, 0x10, 0x02};
    auto irp = PnpIrp(IRP_MN_WRITE_CONFIG);
    irp->Stack()->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
    irp->Stack()->Parameters.ReadWriteConfig.Buffer = buffer;
    irp->Stack()->Parameters.ReadWriteConfig.Offset = 0x0;
    irp->Stack()->Parameters.ReadWriteConfig.Length = 8;
    irp->Finish(STATUS_SUCCESS, 8);
    TraceRequest(&device_, irp->Irp());
    std::vector<std::string> lines = Take();
    EXPECT_EQ(lines, std::vector<std::string>({Enter("WRITE_CONFIG"), "     WriteConfig: space 0x0 off 0x00 len 0x8",
                                               "     Buffer[00] = 0xac56104c", "     Buffer[04] = 0x02100007",
                                               Done("WRITE_CONFIG")}))
        << Joined(lines);
}

TEST_F(ContentsTest, WriteConfigAtVerboseNineLeavesNoLine)
{
    diagtest::MarkQuietAsAtLoad(9);
    SetVerbose(9);
    uint8_t buffer[8] = {};
    auto irp = PnpIrp(IRP_MN_WRITE_CONFIG);
    irp->Stack()->Parameters.ReadWriteConfig.Buffer = buffer;
    irp->Stack()->Parameters.ReadWriteConfig.Length = 8;
    irp->Finish(STATUS_SUCCESS, 8);
    TraceRequest(&device_, irp->Irp());
    std::vector<std::string> lines = Take();
    EXPECT_TRUE(lines.empty()) << Joined(lines);
}

struct ConfigRow {
    const char *name;
    UCHAR minor;
    LONG verbose;
    ULONG offset;
    ULONG length;
    std::vector<std::string> lines;
};

class ConfigContentsTest : public ContentsTest, public ::testing::WithParamInterface<ConfigRow> {};

TEST_P(ConfigContentsTest, PrintsHeaderAndTheBytesInsideLength)
{
    const ConfigRow &r = GetParam();
    SetVerbose(r.verbose);
    // Exactly Length bytes: the printer must not need any byte beyond them.
    std::vector<uint8_t> buffer(r.length);
    for (ULONG i = 0; i < r.length; i++)
        buffer[i] = (uint8_t)(0x11 * (i + 1));
    auto irp = PnpIrp(r.minor);
    irp->Stack()->Parameters.ReadWriteConfig.WhichSpace = 0;
    irp->Stack()->Parameters.ReadWriteConfig.Buffer = buffer.data();
    irp->Stack()->Parameters.ReadWriteConfig.Offset = r.offset;
    irp->Stack()->Parameters.ReadWriteConfig.Length = r.length;
    irp->Finish(STATUS_SUCCESS, r.length);
    std::vector<std::string> lines = Contents(*irp);
    EXPECT_EQ(lines, r.lines) << r.name << "\n" << Joined(lines);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ConfigContentsTest,
    ::testing::Values(
        ConfigRow{"read_4_v9",
                  IRP_MN_READ_CONFIG,
                  9,
                  0x40,
                  4,
                  {"     ReadConfig: space 0x0 off 0x40 len 0x4", "     Buffer[00] = 0x44332211"}},
        ConfigRow{"read_4_v8", IRP_MN_READ_CONFIG, 8, 0x40, 4, {"     ReadConfig: space 0x0 off 0x40 len 0x4"}},
        ConfigRow{"read_6_v9",
                  IRP_MN_READ_CONFIG,
                  9,
                  0x4,
                  6,
                  {"     ReadConfig: space 0x0 off 0x04 len 0x6", "     Buffer[00] = 0x44332211",
                   "     Buffer[04] = 0x6655"}},
        ConfigRow{"write_1_v9",
                  IRP_MN_WRITE_CONFIG,
                  9,
                  0x3C,
                  1,
                  {"     WriteConfig: space 0x0 off 0x3c len 0x1", "     Buffer[00] = 0x11"}},
        ConfigRow{"write_7_v9",
                  IRP_MN_WRITE_CONFIG,
                  9,
                  0x10,
                  7,
                  {"     WriteConfig: space 0x0 off 0x10 len 0x7", "     Buffer[00] = 0x44332211",
                   "     Buffer[04] = 0x776655"}},
        ConfigRow{"write_0_v9", IRP_MN_WRITE_CONFIG, 9, 0x10, 0, {"     WriteConfig: space 0x0 off 0x10 len 0x0"}}),
    [](const ::testing::TestParamInfo<ConfigRow> &info) { return std::string(info.param.name); });

TEST_F(ContentsTest, BusInformationNamesTheLegacyType)
{
    PNP_BUS_INFORMATION info{};
    info.BusTypeGuid.Data1 = 0xC8EBDFB0;
    info.LegacyBusType = PCIBus;
    info.BusNumber = 3;
    auto irp = PnpIrp(IRP_MN_QUERY_BUS_INFORMATION);
    irp->Finish(STATUS_SUCCESS, (ULONG_PTR)&info);
    EXPECT_EQ(Contents(*irp), std::vector<std::string>({"     Bus 0x03 Type PCIBus Interface GUID 0xc8ebdfb0"}));
    info.LegacyBusType = InterfaceTypeUndefined;
    EXPECT_EQ(Contents(*irp), std::vector<std::string>({"     Bus 0x03 Type UNKNOWN Interface GUID 0xc8ebdfb0"}));
    irp->Finish(STATUS_SUCCESS, 0);
    EXPECT_TRUE(Contents(*irp).empty());
}

TEST_F(ContentsTest, RowsWithoutAPrinterPrintNothing)
{
    for (UCHAR m : {IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_DEVICE_RELATIONS, IRP_MN_FILTER_RESOURCE_REQUIREMENTS,
                    IRP_MN_REMOVE_DEVICE, IRP_MN_QUERY_LEGACY_BUS_INFORMATION}) {
        auto irp = PnpIrp(m);
        irp->Finish(STATUS_SUCCESS, 0x1234);
        std::vector<std::string> lines = Contents(*irp);
        EXPECT_TRUE(lines.empty()) << "minor " << (int)m << "\n" << Joined(lines);
    }
}

TEST_F(ContentsTest, FailedRequestPrintsNoContents)
{
    auto irp = PnpIrp(IRP_MN_QUERY_PNP_DEVICE_STATE);
    irp->Finish(STATUS_NOT_SUPPORTED, PNP_DEVICE_FAILED);
    EXPECT_TRUE(Contents(*irp).empty());
}

} // namespace
