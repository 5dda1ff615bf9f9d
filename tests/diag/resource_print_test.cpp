// Flag lines, requirement lists and resource lists as the trace shows them.
#include <cstddef>
#include <cstring>

#include "diag_fixture.h"

namespace {

using diagtest::Blanks;
using diagtest::DiagTest;
using diagtest::Joined;

// ------------------------------------------------------------- list builders

IO_RESOURCE_DESCRIPTOR IoPort(ULONG min, ULONG max, ULONG length, ULONG align, USHORT flags, UCHAR option,
                              UCHAR share)
{
    IO_RESOURCE_DESCRIPTOR d{};
    d.Option = option;
    d.Type = CmResourceTypePort;
    d.ShareDisposition = share;
    d.Flags = flags;
    d.u.Port.Length = length;
    d.u.Port.Alignment = align;
    d.u.Port.MinimumAddress.QuadPart = min;
    d.u.Port.MaximumAddress.QuadPart = max;
    return d;
}

IO_RESOURCE_DESCRIPTOR IoMemory(ULONGLONG min, ULONGLONG max, ULONG length, ULONG align, USHORT flags, UCHAR option,
                                UCHAR share)
{
    IO_RESOURCE_DESCRIPTOR d{};
    d.Option = option;
    d.Type = CmResourceTypeMemory;
    d.ShareDisposition = share;
    d.Flags = flags;
    d.u.Memory.Length = length;
    d.u.Memory.Alignment = align;
    d.u.Memory.MinimumAddress.QuadPart = (LONGLONG)min;
    d.u.Memory.MaximumAddress.QuadPart = (LONGLONG)max;
    return d;
}

IO_RESOURCE_DESCRIPTOR IoInterrupt(ULONG minVector, ULONG maxVector, UCHAR option, UCHAR share)
{
    IO_RESOURCE_DESCRIPTOR d{};
    d.Option = option;
    d.Type = CmResourceTypeInterrupt;
    d.ShareDisposition = share;
    d.u.Interrupt.MinimumVector = minVector;
    d.u.Interrupt.MaximumVector = maxVector;
    return d;
}

IO_RESOURCE_DESCRIPTOR IoPrivate(ULONG d0, ULONG d1, ULONG d2)
{
    IO_RESOURCE_DESCRIPTOR d{};
    d.Type = CmResourceTypeDevicePrivate;
    d.u.DevicePrivate.Data[0] = d0;
    d.u.DevicePrivate.Data[1] = d1;
    d.u.DevicePrivate.Data[2] = d2;
    return d;
}

IO_RESOURCE_DESCRIPTOR IoOfType(UCHAR type, UCHAR option = 0)
{
    IO_RESOURCE_DESCRIPTOR d{};
    d.Option = option;
    d.Type = type;
    d.u.BusNumber.Length = 1;
    d.u.BusNumber.MinBusNumber = 3;
    d.u.BusNumber.MaxBusNumber = 9;
    return d;
}

// Lays out a requirements list the way the bus driver does: each alternative
// list right after the last descriptor of the one before. Bytes the layout
// does not use are filled with 0xCC so a wrong stride reads rubbish.
std::vector<uint8_t> BuildRequirements(ULONG slot, const std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>> &lists)
{
    size_t size = offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List);
    for (const auto &l : lists)
        size += offsetof(IO_RESOURCE_LIST, Descriptors) + l.size() * sizeof(IO_RESOURCE_DESCRIPTOR);
    std::vector<uint8_t> bytes(size + 2 * sizeof(IO_RESOURCE_REQUIREMENTS_LIST), 0xCC);

    IO_RESOURCE_REQUIREMENTS_LIST header{};
    header.ListSize = (ULONG)size;
    header.InterfaceType = PCIBus;
    header.BusNumber = 2;
    header.SlotNumber = slot;
    header.AlternativeLists = (ULONG)lists.size();
    memcpy(bytes.data(), &header, offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List));

    size_t at = offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List);
    for (const auto &l : lists) {
        IO_RESOURCE_LIST listHeader{};
        listHeader.Version = 1;
        listHeader.Revision = 1;
        listHeader.Count = (ULONG)l.size();
        memcpy(bytes.data() + at, &listHeader, offsetof(IO_RESOURCE_LIST, Descriptors));
        at += offsetof(IO_RESOURCE_LIST, Descriptors);
        for (const auto &d : l) {
            memcpy(bytes.data() + at, &d, sizeof(d));
            at += sizeof(d);
        }
    }
    return bytes;
}

CM_PARTIAL_RESOURCE_DESCRIPTOR CmPortOrMemory(UCHAR type, ULONGLONG start, ULONG length, USHORT flags, UCHAR share)
{
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.Type = type;
    d.ShareDisposition = share;
    d.Flags = flags;
    d.u.Generic.Start.QuadPart = (LONGLONG)start;
    d.u.Generic.Length = length;
    return d;
}

CM_PARTIAL_RESOURCE_DESCRIPTOR CmInterrupt(ULONG vector, ULONG level, UCHAR share)
{
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.Type = CmResourceTypeInterrupt;
    d.ShareDisposition = share;
    d.u.Interrupt.Vector = vector;
    d.u.Interrupt.Level = level;
    d.u.Interrupt.Affinity = 1;
    return d;
}

CM_PARTIAL_RESOURCE_DESCRIPTOR CmOfType(UCHAR type, ULONG d0 = 0, ULONG d1 = 0)
{
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.Type = type;
    d.u.DevicePrivate.Data[0] = d0;
    d.u.DevicePrivate.Data[1] = d1;
    return d;
}

struct FullDescriptor {
    INTERFACE_TYPE interfaceType;
    ULONG busNumber;
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> partials;
};

// A resource list with each full descriptor right after the last partial
// descriptor of the one before; unused bytes 0xCC.
std::vector<uint8_t> BuildResourceList(const std::vector<FullDescriptor> &fulls)
{
    const size_t partialsAt = offsetof(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList) +
                              offsetof(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors);
    size_t size = offsetof(CM_RESOURCE_LIST, List);
    for (const auto &f : fulls)
        size += partialsAt + f.partials.size() * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
    std::vector<uint8_t> bytes(size + 2 * sizeof(CM_RESOURCE_LIST), 0xCC);

    ULONG count = (ULONG)fulls.size();
    memcpy(bytes.data(), &count, sizeof(count));
    size_t at = offsetof(CM_RESOURCE_LIST, List);
    for (const auto &f : fulls) {
        CM_FULL_RESOURCE_DESCRIPTOR header{};
        header.InterfaceType = f.interfaceType;
        header.BusNumber = f.busNumber;
        header.PartialResourceList.Version = 1;
        header.PartialResourceList.Revision = 1;
        header.PartialResourceList.Count = (ULONG)f.partials.size();
        memcpy(bytes.data() + at, &header, partialsAt);
        at += partialsAt;
        for (const auto &d : f.partials) {
            memcpy(bytes.data() + at, &d, sizeof(d));
            at += sizeof(d);
        }
    }
    return bytes;
}

const std::string kPlusLine(47, '+');

// ----------------------------------------------------------------- PrintFlags

struct FlagsCase {
    const char *name;
    const char *title;
    ULONG selector;
    ULONG value;
    std::vector<std::string> lines;
};

class PrintFlagsTest : public DiagTest, public ::testing::WithParamInterface<FlagsCase> {};

TEST_P(PrintFlagsTest, PrintsTheNamedBitsInNineSlots)
{
    const FlagsCase &c = GetParam();
    PrintFlags(c.title, c.selector, c.value);
    EXPECT_EQ(Take(), c.lines) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PrintFlagsTest,
    ::testing::Values(
        FlagsCase{"port_10_12", "     Flags", FLAGS_PORT, 0x0C, {"     Flags: 0xc 10BIT 12BIT" + Blanks(7)}},
        FlagsCase{"port_io_bit_unnamed", "     Flags", FLAGS_PORT, 0x1, {"     Flags: 0x1" + Blanks(9)}},
        FlagsCase{"port_all", "     Flags", FLAGS_PORT, 0xFD,
                  {"     Flags: 0xfd 10BIT 12BIT 16BIT POS PASS WIND" + Blanks(3)}},
        FlagsCase{"memory", "     Flags", FLAGS_MEMORY, 0x25, {"     Flags: 0x25 RO PRE CACHE" + Blanks(6)}},
        FlagsCase{"memory_all", "     Flags", FLAGS_MEMORY, 0x3F,
                  {"     Flags: 0x3f RO WO PRE COMB 24BIT CACHE" + Blanks(3)}},
        FlagsCase{"pnp_state", "     Pnp", FLAGS_PNP_DEVICE_STATE, 0x9, {"     Pnp: 0x9 DISABLED REMOVED" + Blanks(7)}},
        FlagsCase{"pnp_state_all", "     Pnp", FLAGS_PNP_DEVICE_STATE, 0x3F,
                  {"     Pnp: 0x3f DISABLED DONT_DISPLAY_IN_UI FAILED REMOVED RESOURCE_REQUIREMENTS_CHANGED "
                   "NOT_DISABLEABLE" +
                   Blanks(3)}},
        FlagsCase{"device", "Device Flags", FLAGS_DEVICE_OBJECT, 0x2050,
                  {"Device Flags: 0x2050 DIRECT_IO HAS_NAME POWER_PAGABLE" + Blanks(6)}},
        // Ten named bits: the first nine in table order fill the slots, the
        // tenth shows only in the value.
        FlagsCase{"device_ten_bits", "D", FLAGS_DEVICE_OBJECT, 0x160FE,
                  {"D: 0x160fe VERIFY_VOLUME BUFFERED_IO EXCLUSIVE DIRECT_IO MAP_IO_BUFFER HAS_NAME "
                   "IS_INITIALIZING POWER_PAGABLE POWER_INRUSH"}},
        FlagsCase{"zero_value", "     Flags", FLAGS_PORT, 0, {}},
        FlagsCase{"selector_2", "     Flags", 2, 0x0C, {}},
        FlagsCase{"selector_0", "     Flags", 0, 0x0C, {}}),
    [](const ::testing::TestParamInfo<FlagsCase> &info) { return std::string(info.param.name); });

TEST_F(DiagTest, PrintDeviceFlagsUsesTheDeviceObjectTable)
{
    PrintDeviceFlags("Device Flags", DO_BUFFERED_IO | DO_DEVICE_INITIALIZING);
    EXPECT_EQ(Take(), std::vector<std::string>({"Device Flags: 0x84 BUFFERED_IO IS_INITIALIZING" + Blanks(7)}));
}

// ------------------------------------------------------------- name tables

struct NameCase {
    ULONG value;
    const char *name;
};

class WichTypeTest : public DiagTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(WichTypeTest, NamesTheTypeAndWarnsOnlyForUnknownOnes)
{
    const NameCase &c = GetParam();
    EXPECT_STREQ(WichType(c.value), c.name) << "type 0x" << std::hex << c.value;
    std::vector<std::string> expected;
    if (std::string(c.name) == "??? ")
        expected.push_back(diagtest::Fmt("WARNING WichType: UNKNOWN ResourceType 0x%x", c.value));
    EXPECT_EQ(Take(), expected) << "type 0x" << std::hex << c.value;
}

INSTANTIATE_TEST_SUITE_P(Rows, WichTypeTest,
                         ::testing::Values(NameCase{0, "NUL "}, NameCase{1, "I/O "}, NameCase{2, "INT "},
                                           NameCase{3, "MEM "}, NameCase{4, "DMA "}, NameCase{5, "DEV "},
                                           NameCase{6, "BUS "}, NameCase{0x80, "CFG "}, NameCase{0x81, "--- "},
                                           NameCase{0x82, "PCC "}, NameCase{0x83, "MFC "}, NameCase{7, "??? "},
                                           NameCase{0x7F, "??? "}, NameCase{0x84, "??? "},
                                           NameCase{0xFF, "??? "}));

class OptionNameTest : public DiagTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(OptionNameTest, NamesOnlyTheSingleOptions)
{
    const NameCase &c = GetParam();
    EXPECT_STREQ(ResourceOptionString(c.value), c.name) << "option 0x" << std::hex << c.value;
    EXPECT_TRUE(Take().empty());
}

INSTANTIATE_TEST_SUITE_P(Rows, OptionNameTest,
                         ::testing::Values(NameCase{0, "    "}, NameCase{1, "PREF"}, NameCase{2, "DEF "},
                                           NameCase{8, "ALT "}, NameCase{3, "??? "}, NameCase{9, "??? "},
                                           NameCase{4, "??? "}, NameCase{0xFF, "??? "}));

class ShareLineTest : public DiagTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(ShareLineTest, PrintsOneShareLine)
{
    const NameCase &c = GetParam();
    PrintShareDisposition(c.value);
    EXPECT_EQ(Take(), std::vector<std::string>({std::string("     Share: ") + c.name})) << "share " << c.value;
}

INSTANTIATE_TEST_SUITE_P(Rows, ShareLineTest,
                         ::testing::Values(NameCase{0, "UNKNOWN"}, NameCase{1, "EXCLUSIVE device"},
                                           NameCase{2, "EXCLUSIVE Driver"}, NameCase{3, "SHARED"},
                                           NameCase{4, "???"}, NameCase{0xFF, "???"}));

// ---------------------------------------------------------- requirements

std::vector<uint8_t> TwoAlternativeLists()
{
    return BuildRequirements(
        5, {{IoMemory(0, 0xFFFFFFFF, 0x100000, 0x100000, 0, 0, CmResourceShareDeviceExclusive),
             IoPort(0x1000, 0xFFFF, 0x1000, 0x1000, 0x0C, IO_RESOURCE_PREFERRED, CmResourceShareDeviceExclusive),
             IoInterrupt(0x10, 0x1F, IO_RESOURCE_ALTERNATIVE, CmResourceShareShared)},
            {IoPrivate(1, 2, 3), IoOfType(CmResourceTypeBusNumber),
             IoMemory(0x100000000ULL, 0x1FFFFFFFFULL, 0x2000, 0x1000, CM_RESOURCE_MEMORY_PREFETCHABLE,
                      IO_RESOURCE_DEFAULT, CmResourceShareDriverExclusive)}});
}

const std::vector<std::string> kTwoListsLines = {
    "Resource Requirements [0] Count 3",
    "MEM descriptor: 0      [Min 0x0:0 Max 0x0:FFFFFFFF]",
    "     Align = 0x100000 Len = 0x100000",
    "     Share: EXCLUSIVE device",
    "I/O descriptor: 1 PREF [Min 0x1000 Max 0xFFFF]",
    "     Align = 0x1000 Len = 0x1000",
    "     Flags: 0xc 10BIT 12BIT" + Blanks(7),
    "     Share: EXCLUSIVE device",
    "INT descriptor: 2 ALT  Vector [Min 0x10 Max 0x1F]",
    "     Share: SHARED",
    "Resource Requirements [1] Count 3",
    "--- descriptor: 0 [Marker 1-2]",
    "BUS descriptor: 1",
    "MEM descriptor: 2 DEF  [Min 0x1:0 Max 0x1:FFFFFFFF]",
    "     Align = 0x1000 Len = 0x2000",
    "     Flags: 0x4 PRE" + Blanks(8),
    "     Share: EXCLUSIVE Driver",
};

TEST_F(DiagTest, RequirementsListWithTwoAlternativeListsPrintsBoth)
{
    std::vector<uint8_t> bytes = TwoAlternativeLists();
    PrintResourceRequirementsList((PIO_RESOURCE_REQUIREMENTS_LIST)bytes.data());
    std::vector<std::string> lines = Take();
    EXPECT_EQ(lines, kTwoListsLines) << Joined(lines);
}

TEST_F(DiagTest, RequirementsListShowsSlotNumberFromVerboseNine)
{
    std::vector<uint8_t> bytes = TwoAlternativeLists();
    SetVerbose(8);
    PrintResourceRequirementsList((PIO_RESOURCE_REQUIREMENTS_LIST)bytes.data());
    std::vector<std::string> at8 = Take();
    EXPECT_EQ(testsupport::CountContaining(at8, "SlotNumber"), 0u) << Joined(at8);

    SetVerbose(9);
    PrintResourceRequirementsList((PIO_RESOURCE_REQUIREMENTS_LIST)bytes.data());
    std::vector<std::string> at9 = Take();
    ASSERT_FALSE(at9.empty());
    EXPECT_EQ(at9[0], "SlotNumber is 5");
    EXPECT_EQ(std::vector<std::string>(at9.begin() + 1, at9.end()), kTwoListsLines) << Joined(at9);
}

TEST_F(DiagTest, NullRequirementsListIsReported)
{
    PrintResourceRequirementsList(nullptr);
    EXPECT_EQ(Take(), std::vector<std::string>({"WARNING PrintResourceRequirementsList: pReq is NULL!!!"}));
}

TEST_F(DiagTest, UnknownRequirementTypeAndOptionAreMarked)
{
    std::vector<uint8_t> bytes = BuildRequirements(
        0, {{IoOfType(7, 9), IoPort(0x300, 0x3FF, 8, 1, 0, 3, 4), IoOfType(CmResourceTypeDma)}});
    PrintResourceRequirementsList((PIO_RESOURCE_REQUIREMENTS_LIST)bytes.data());
    std::vector<std::string> lines = Take();
    EXPECT_EQ(lines, std::vector<std::string>({
                         "Resource Requirements [0] Count 3",
                         "WARNING WichType: UNKNOWN ResourceType 0x7",
                         "??? descriptor: 0",
                         "I/O descriptor: 1 ???  [Min 0x300 Max 0x3FF]",
                         "     Align = 0x1 Len = 0x8",
                         "     Share: ???",
                         "DMA descriptor: 2",
                     }))
        << Joined(lines);
}

TEST_F(DiagTest, EmptyRequirementsListPrintsNoHeader)
{
    std::vector<uint8_t> bytes = BuildRequirements(0, {});
    PrintResourceRequirementsList((PIO_RESOURCE_REQUIREMENTS_LIST)bytes.data());
    EXPECT_TRUE(Take().empty());
}

// --------------------------------------------------------- resource lists

std::vector<uint8_t> TwoFullDescriptors()
{
    return BuildResourceList({
        {PCIBus,
         2,
         {CmPortOrMemory(CmResourceTypePort, 0x2000, 0x100, CM_RESOURCE_PORT_IO | CM_RESOURCE_PORT_10_BIT_DECODE,
                         CmResourceShareDeviceExclusive),
          CmPortOrMemory(CmResourceTypeMemory, 0x1E0000000ULL, 0x100000, CM_RESOURCE_MEMORY_PREFETCHABLE,
                         CmResourceShareShared),
          CmInterrupt(0x3B, 0xB, CmResourceShareShared)}},
        {Isa,
         0,
         {CmOfType(CmResourceTypeDevicePrivate, 7, 8), CmOfType(CmResourceTypeDma),
          CmPortOrMemory(CmResourceTypePort, 0x3F8, 0x8, 0, 4)}},
        {PCIBus, 3, {CmOfType(CmResourceTypeBusNumber), CmOfType(0x85)}},
    });
}

const std::vector<std::string> kFirstFull = {
    "I/O descriptor: 0 [Start = 0x2000 Len = 0x100]",
    "     Flags: 0x5 10BIT" + Blanks(8),
    "     Share: EXCLUSIVE device",
    "MEM descriptor: 1 [Start = 0xE0000000 Len = 0x100000]",
    "     Flags: 0x4 PRE" + Blanks(8),
    "     Share: SHARED",
    "INT descriptor: 2 [Vec = 0x3B Level = 0xB]",
    "     Share: SHARED",
};
const std::vector<std::string> kSecondFull = {
    "--- descriptor: 0 [Marker 7-8]",
    "DMA descriptor: 1",
    "I/O descriptor: 2 [Start = 0x3F8 Len = 0x8]",
    "     Share: ???",
};
const std::vector<std::string> kThirdFull = {
    "BUS descriptor: 0",
    "WARNING WichType: UNKNOWN ResourceType 0x85",
    "??? descriptor: 1",
};

std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> all;
    for (const auto &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST_F(DiagTest, ResourceListWithSeveralFullDescriptors)
{
    std::vector<uint8_t> bytes = TwoFullDescriptors();
    PrintResourceList((PCM_RESOURCE_LIST)bytes.data());
    std::vector<std::string> lines = Take();
    EXPECT_EQ(lines, Concat({kFirstFull, kSecondFull, kThirdFull, {kPlusLine}})) << Joined(lines);
}

TEST_F(DiagTest, ResourceListShowsInterfaceLinesFromVerboseNine)
{
    std::vector<uint8_t> bytes = TwoFullDescriptors();
    SetVerbose(9);
    PrintResourceList((PCM_RESOURCE_LIST)bytes.data());
    std::vector<std::string> lines = Take();
    EXPECT_EQ(lines, Concat({{"InterfaceType: 0x5 BusNumber: 0x2"},
                             kFirstFull,
                             {"InterfaceType: 0x1 BusNumber: 0x0"},
                             kSecondFull,
                             {"InterfaceType: 0x5 BusNumber: 0x3"},
                             kThirdFull,
                             {kPlusLine}}))
        << Joined(lines);
}

TEST_F(DiagTest, NullResourceListPrintsNothing)
{
    SetVerbose(11);
    PrintResourceList(nullptr);
    EXPECT_TRUE(Take().empty());
}

TEST_F(DiagTest, EmptyResourceListPrintsOnlyTheSeparator)
{
    std::vector<uint8_t> bytes = BuildResourceList({});
    PrintResourceList((PCM_RESOURCE_LIST)bytes.data());
    EXPECT_EQ(Take(), std::vector<std::string>({kPlusLine}));
}

} // namespace
