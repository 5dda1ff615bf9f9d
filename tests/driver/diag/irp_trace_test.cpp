// The PnP request trace: ENTER, contents and DONE lines, quiet bits by
// verbosity, identity words, and the contents printers and their bounds.
#include "diag_fixture.h"

namespace {

using namespace diagtest;

// Known codes are named (the table's first and last among them), every one with no quiet bit
// at load; unknown ones (0xFF is no match for the table's end) warn from verbose 9.
TEST_F(DiagTest, MinorCodesAreNamedAndUnknownOnesWarnFromVerboseNine)
{
    for (UCHAR minor = IRP_MN_START_DEVICE; minor <= IRP_MN_QUERY_LEGACY_BUS_INFORMATION; minor++) {
        PCPNP_MINOR_NAME row = minor == 0x0E ? nullptr : LookupPnpMinor(PnpIrp(minor)->Irp(), "test");
        EXPECT_TRUE(minor == 0x0E || (row != nullptr && row->Quiet == 0u)) << "minor " << int(minor);
    }
    Lines names;
    for (UCHAR minor : {IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_WRITE_CONFIG, IRP_MN_START_DEVICE})
        names.push_back(LookupPnpMinor(PnpIrp(minor)->Irp(), "test")->Name);
    EXPECT_EQ(names, (Lines{"CANCEL_REMOVE_DEVICE", "WRITE_CONFIG", "START_DEVICE"}));
    for (LONG verbose : {8, 9})
        for (UCHAR minor : {0x0E, 0x19, 0xFF}) {
            SetVerbose(verbose);
            auto irp = PnpIrp(minor);
            irp->Finish(STATUS_SUCCESS);
            TraceRequest(irp->Irp());
            Lines expected;
            for (const char *caller : {"PrintIrpIn", "PrintIrpContents", "PrintIrpOut"})
                if (verbose == 9)
                    expected.push_back(Fmt("WARNING %s: UNKNOWN Irp MinorFunction 0x%02x", caller, (unsigned)minor));
            EXPECT_EQ(Take(), expected) << "minor " << int(minor);
        }
    SetMinorQuiet(0xFF, PNP_QUIET_ALL); // no row: nothing happens
    SetMinorQuiet(IRP_MN_EJECT, PNP_QUIET_ENTER), SetMinorQuiet(IRP_MN_EJECT, PNP_QUIET_CONTENTS);
    EXPECT_EQ(LookupPnpMinor(PnpIrp(IRP_MN_EJECT)->Irp(), "t")->Quiet, (ULONG)(PNP_QUIET_ENTER | PNP_QUIET_CONTENTS));
}

// Each quiet bit silences its part up to verbose 9 (FAILED: the mark, up to 8); contents only
// after exactly STATUS_SUCCESS; only error and warning statuses are marked.
struct QuietRow { ULONG bits; LONG verbose; bool enter, contents, done, mark; };

class QuietBitTest : public DiagTest, public ::testing::WithParamInterface<QuietRow> {};

TEST_P(QuietBitTest, QuietBitsAndStatusDecideWhatIsShown)
{
    const QuietRow &r = GetParam();
    SetMinorQuiet(IRP_MN_QUERY_PNP_DEVICE_STATE, r.bits);
    SetVerbose(r.verbose);
    for (NTSTATUS status :
         {STATUS_SUCCESS, STATUS_PENDING, (NTSTATUS)0x40000000, (NTSTATUS)0x80000005, STATUS_UNSUCCESSFUL}) {
        auto irp = PnpIrp(IRP_MN_QUERY_PNP_DEVICE_STATE);
        irp->Finish(status, PNP_DEVICE_FAILED);
        TraceRequest(irp->Irp());
        Lines expected;
        if (r.enter)
            expected.push_back(Line("ENTER", "QUERY_PNP_DEVICE_STATE"));
        if (r.contents && status == STATUS_SUCCESS)
            expected.push_back("     Pnp: 0x4 FAILED" + std::string(8, ' '));
        if (r.done)
            expected.push_back(Line("DONE ", "QUERY_PNP_DEVICE_STATE", r.mark && status < 0));
        EXPECT_EQ(Take(), expected) << "status " << std::hex << status;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, QuietBitTest,
                         ::testing::Values(QuietRow{0, 0, 1, 1, 1, 1}, QuietRow{PNP_QUIET_ALL, -1, 0, 0, 0, 0},
                                           QuietRow{PNP_QUIET_ENTER, 9, 0, 1, 1, 1}, QuietRow{PNP_QUIET_ENTER, 10, 1, 1, 1, 1},
                                           QuietRow{PNP_QUIET_EXIT, 9, 1, 1, 0, 0}, QuietRow{PNP_QUIET_EXIT, 10, 1, 1, 1, 1},
                                           QuietRow{PNP_QUIET_CONTENTS, 9, 1, 0, 1, 1}, QuietRow{PNP_QUIET_CONTENTS, 10, 1, 1, 1, 1},
                                           QuietRow{PNP_QUIET_FAILED, 8, 1, 1, 1, 0}, QuietRow{PNP_QUIET_FAILED, 9, 1, 1, 1, 1}));

// findPtr: a new key with value 0 is answered with itself once, 0 afterwards; a value registers
// or replaces. The 65th key is reported and comes back unchanged each time; the lock is released.
TEST_F(DiagTest, FindPtrRegistersUpdatesAndOverflowsAtTheSixtyFifthKey)
{
    DEVICE_OBJECT pdo{};
    auto irp = PnpIrp(IRP_MN_EJECT);
    irp->Finish(STATUS_SUCCESS);
    PrintIrpIn(&pdo, irp->Irp(), "ENTER "), PrintIrpOut(&pdo, irp->Irp(), "DONE  ");
    EXPECT_EQ(Take(), (Lines{Fmt("ENTER EJECT (0x%08x %08x)", Addr32(&pdo), Addr32(&pdo)),
                             Fmt("DONE  EJECT (0x00000000 %08x)", Addr32(&pdo))}));
    const ULONG_PTR a = 0x8123A000;
    EXPECT_EQ((std::vector<ULONG>{findPtr(a, 5), findPtr(a, 0), findPtr(a, 7), findPtr(a, 0)}),
              (std::vector<ULONG>{5, 5, 7, 7}));
    for (ULONG k = 4; k <= 64; k++) // 61 more keys (device_, pdo and a hold three) fill the table
        ASSERT_EQ(findPtr(0x1000 + k, k), k) << "key " << k;
    EXPECT_EQ(Take(), Lines{});
    EXPECT_EQ((std::vector<ULONG>{findPtr(0x2000, 0x99), findPtr(0x2000, 0)}), std::vector<ULONG>(2, 0x2000)) << "nothing stored";
    EXPECT_EQ(Take(), Lines(2, "WARNING findPtr: table overflow (only 64 entries)!!!"));
    EXPECT_EQ(findPtr(0x1000 + 64, 0), 64u) << "registered keys are still found";
    EXPECT_EQ(standin::CurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(DiagTest, RelationsNameTheirTypeAndOnlyBusRelationsListTheObjects)
{
    DEVICE_OBJECT child0{};
    struct { ULONG Count; PDEVICE_OBJECT Objects[2]; } relations = {2, {&child0, &device_}};
    auto irp = PnpIrp(IRP_MN_QUERY_DEVICE_RELATIONS);
    irp->Finish(STATUS_SUCCESS, (ULONG_PTR)&relations);
    for (ULONG type : {4, 5, 0}) {
        irp->Stack()->Parameters.QueryDeviceRelations.Type = (DEVICE_RELATION_TYPE)type;
        PrintDeviceRelations(irp->Irp());
    }
    irp->Finish(STATUS_SUCCESS, 0);
    PrintDeviceRelations(irp->Irp());
    EXPECT_EQ(Take(), (Lines{"Querying for Target relations", "Querying for UNKNOWN relations", "Querying for Bus relations",
                             Fmt("  Relation[0] = 0x%x/0x%x", Addr32(&child0), Addr32(&child0)),
                             Fmt("  Relation[1] = 0x%x/0x%x", kIdentity, Addr32(&device_)), "Querying for Bus relations"}));
}

// A line holds 127 characters (each a code unit's low byte); a longer string of a multi-string
// goes on in the next line; DebugPrint cuts its own line at 131 characters.
TEST_F(DiagTest, WideStringsAreCutOrSplitAfter127Characters)
{
    const size_t cutAt = DEBUG_LINE_SIZE - 1;
    SetVerbose(1);
    standin::ClearDebugLines();
    PrintWideString((std::u16string(100, u'a') + std::u16string(100, u'b')).c_str());
    const char16_t lowBytes[] = {u'P', 0x0143, u'I', 0};
    PrintWideString(lowBytes);
    std::u16string multi = u"ID";
    for (const std::u16string &s : {std::u16string(200, u'x'), std::u16string(u"CC"), std::u16string(), std::u16string(u"after")})
        multi += std::u16string(1, 0) + s;
    multi.push_back(0);
    PrintWideMultiString(multi.c_str());
    const char16_t empty[] = {0, 0};
    PrintWideMultiString(empty);
    EXPECT_EQ(standin::DebugLines(),
              (Lines{("     '" + std::string(100, 'a') + std::string(27, 'b')).substr(0, cutAt), "     'PCI'\n",
                     "     'ID'\n", ("     '" + std::string(127, 'x')).substr(0, cutAt),
                     "     '" + std::string(73, 'x') + "'\n", "     'CC'\n"}));
}

NTSTATUS NTAPI FakeArbiter(PVOID, ULONG, PVOID) { return STATUS_SUCCESS; }

// Each code's printer shows a successful request's result (nothing without one); START_DEVICE
// shows its translated resources; of the interfaces only the arbiter (by its GUID's first word).
TEST_F(DiagTest, ContentsPrintersShowTheResult)
{
    const std::string plus(47, '+');
    Bytes translated = ResourceList({{PCIBus, 0}}, {{{CmResourceTypeBusNumber}}});
    auto start = PnpIrp(IRP_MN_START_DEVICE);
    start->Stack()->Parameters.StartDevice.AllocatedResourcesTranslated = (PCM_RESOURCE_LIST)translated.data();
    EXPECT_EQ(Contents(*start, 0), (Lines{plus, "StartDevice: Translated resources", "BUS descriptor: 0", plus}));
    start->Stack()->Parameters.StartDevice.AllocatedResourcesTranslated = nullptr;
    EXPECT_EQ(Contents(*start, 0), Lines{});

    auto requirements = Requirements({{restest::Private(3, 4, 0)}});
    std::u16string text = u"PCI-to-CardBus bridge";
    PNP_BUS_INFORMATION info{};
    info.BusTypeGuid.Data1 = 0xC8EBDFB0, info.LegacyBusType = PNPBus, info.BusNumber = 3;
    const struct { UCHAR minor; ULONG_PTR result; Lines lines; }
        rows[] = {{IRP_MN_QUERY_RESOURCES, (ULONG_PTR)translated.data(), {"BUS descriptor: 0", plus}},
                {IRP_MN_QUERY_RESOURCE_REQUIREMENTS, (ULONG_PTR)requirements.get(),
                 {"Resource Requirements [0] Count 1", "--- descriptor: 0 [Marker 3-4]"}},
                {IRP_MN_QUERY_DEVICE_TEXT, (ULONG_PTR)text.c_str(), {"     'PCI-to-CardBus bridge'"}},
                {IRP_MN_QUERY_PNP_DEVICE_STATE, PNP_DEVICE_DISABLED, {"     Pnp: 0x1 DISABLED" + std::string(8, ' ')}},
                {IRP_MN_QUERY_BUS_INFORMATION, (ULONG_PTR)&info, {"     Bus 0x03 Type PNPBus Interface GUID 0xc8ebdfb0"}},
                {IRP_MN_QUERY_CAPABILITIES, 0x1234, {}}};
    for (const auto &r : rows) {
        auto irp = PnpIrp(r.minor);
        EXPECT_EQ(Contents(*irp, r.result), r.lines) << "minor " << int(r.minor);
        EXPECT_EQ(Contents(*irp, 0), Lines{}) << "minor " << int(r.minor) << " without a result";
    }
    info.LegacyBusType = (INTERFACE_TYPE)(PNPBus + 1);
    auto bus = PnpIrp(IRP_MN_QUERY_BUS_INFORMATION);
    EXPECT_EQ(Contents(*bus, (ULONG_PTR)&info), Lines{"     Bus 0x03 Type UNKNOWN Interface GUID 0xc8ebdfb0"});
    EXPECT_STREQ(InterfaceTypeString(-1), "UNKNOWN");
    EXPECT_STREQ(InterfaceTypeString(Internal), "Internal");

    GUID arbiter{0xE644F185, 0, 0, {}}, other{0xE644F184, 0x8C0E, 0x11D0, {}};
    ARBITER_INTERFACE iface{};
    iface.ArbiterHandler = FakeArbiter, iface.Flags = 0x3;
    auto query = PnpIrp(IRP_MN_QUERY_INTERFACE);
    query->Stack()->Parameters.QueryInterface.Interface = (PINTERFACE)&iface;
    query->Stack()->Parameters.QueryInterface.InterfaceType = &arbiter;
    EXPECT_EQ(Contents(*query, 0), Lines{Fmt("     Arb handler @ 0x%08x flags 0x3", Addr32((void *)FakeArbiter))});
    query->Stack()->Parameters.QueryInterface.InterfaceType = &other;
    EXPECT_EQ(Contents(*query, 0), Lines{});
}

// The ID type is named (the last known one, then none); the ID only above verbose 5 and when there
// is one, a list for hardware and compatible IDs.
TEST_F(DiagTest, QueryIdNamesTheTypeAndPrintsTheIdAboveVerboseFive)
{
    std::u16string ids = u"ONE";
    ids += std::u16string(1, 0) + u"TWO" + std::u16string(2, 0);
    const struct { ULONG idType; LONG verbose; const char16_t *id; Lines lines; }
        rows[] = {{BusQueryCompatibleIDs, 6, ids.data(), {"     BusQueryCompatibleIDs", "     'ONE'", "     'TWO'"}},
                {BusQueryHardwareIDs, 5, ids.data(), {"     BusQueryHardwareIDs"}},
                {BusQueryHardwareIDs, 6, nullptr, {"     BusQueryHardwareIDs"}},
                {BusQueryDeviceSerialNumber, 6, ids.data(), {"     BusQueryDeviceSerialNumber", "     'ONE'"}},
                {BusQueryDeviceSerialNumber + 1, 6, ids.data(), {"     'ONE'"}}};
    for (const auto &r : rows) {
        SetVerbose(r.verbose);
        auto irp = PnpIrp(IRP_MN_QUERY_ID);
        irp->Stack()->Parameters.QueryId.IdType = (BUS_QUERY_ID_TYPE)r.idType;
        EXPECT_EQ(Contents(*irp, (ULONG_PTR)r.id), r.lines) << "type " << r.idType;
    }
}

// Exactly Length bytes in the buffer: none read beyond, a final partial word shows only the
// bytes that exist; the buffer only from verbose 9.
TEST_F(DiagTest, ConfigPrintersShowTheBytesInsideLengthFromVerboseNine)
{
    const struct { UCHAR minor; LONG verbose; ULONG length; Lines buffer; }
        rows[] = {{IRP_MN_READ_CONFIG, 8, 4, {}},
                {IRP_MN_READ_CONFIG, 9, 6, {"     Buffer[00] = 0x44332211", "     Buffer[04] = 0x6655"}},
                {IRP_MN_WRITE_CONFIG, 9, 1, {"     Buffer[00] = 0x11"}},
                {IRP_MN_WRITE_CONFIG, 9, 7, {"     Buffer[00] = 0x44332211", "     Buffer[04] = 0x776655"}},
                {IRP_MN_WRITE_CONFIG, 9, 0, {}}};
    for (const auto &r : rows) {
        SetVerbose(r.verbose);
        std::vector<uint8_t> buffer(r.length);
        for (ULONG i = 0; i < r.length; i++)
            buffer[i] = (uint8_t)(0x11 * (i + 1));
        auto irp = PnpIrp(r.minor);
        auto &rw = irp->Stack()->Parameters.ReadWriteConfig;
        rw.WhichSpace = 0, rw.Buffer = buffer.data(), rw.Offset = 0x3C, rw.Length = r.length;
        Lines expected{Fmt("     %s: space 0x0 off 0x3c len 0x%x",
                           r.minor == IRP_MN_READ_CONFIG ? "ReadConfig" : "WriteConfig", r.length)};
        expected.insert(expected.end(), r.buffer.begin(), r.buffer.end());
        EXPECT_EQ(Contents(*irp, r.length), expected) << "length " << r.length << " verbose " << r.verbose;
    }
}

} // namespace
