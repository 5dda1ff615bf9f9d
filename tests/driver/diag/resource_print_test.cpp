// Flag lines, requirement lists and resource lists as the trace shows them.
#include "diag_fixture.h"

namespace {

using namespace diagtest;

const std::string kPlusLine(47, '+');

Lines Concat(std::initializer_list<Lines> parts)
{
    Lines all;
    for (const auto &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// ------------------------------------------------------------- flags, names

TEST_F(DiagTest, FlagsShowTheNamedBitsInNineSlots)
{
    const struct {
        const char *title;
        ULONG selector, value;
        Lines lines;
    } rows[] = {
        {"     Flags", FLAGS_PORT, 0x0C, {"     Flags: 0xc 10BIT 12BIT" + Blanks(7)}},
        {"     Flags", FLAGS_PORT, 0x1, {"     Flags: 0x1" + Blanks(9)}},
        {"     Flags", FLAGS_PORT, 0xFD, {"     Flags: 0xfd 10BIT 12BIT 16BIT POS PASS WIND" + Blanks(3)}},
        {"     Flags", FLAGS_MEMORY, 0x25, {"     Flags: 0x25 RO PRE CACHE" + Blanks(6)}},
        {"     Flags", FLAGS_MEMORY, 0x3F, {"     Flags: 0x3f RO WO PRE COMB 24BIT CACHE" + Blanks(3)}},
        {"     Pnp", FLAGS_PNP_DEVICE_STATE, 0x9, {"     Pnp: 0x9 DISABLED REMOVED" + Blanks(7)}},
        {"     Pnp", FLAGS_PNP_DEVICE_STATE, 0x3F,
         {"     Pnp: 0x3f DISABLED DONT_DISPLAY_IN_UI FAILED REMOVED RESOURCE_REQUIREMENTS_CHANGED NOT_DISABLEABLE" +
          Blanks(3)}},
        {"Device Flags", FLAGS_DEVICE_OBJECT, 0x2050,
         {"Device Flags: 0x2050 DIRECT_IO HAS_NAME POWER_PAGABLE" + Blanks(6)}},
        // Ten named bits: the first nine in table order fill the slots, the
        // tenth shows only in the value.
        {"D", FLAGS_DEVICE_OBJECT, 0x160FE,
         {"D: 0x160fe VERIFY_VOLUME BUFFERED_IO EXCLUSIVE DIRECT_IO MAP_IO_BUFFER HAS_NAME IS_INITIALIZING "
          "POWER_PAGABLE POWER_INRUSH"}},
        {"     Flags", FLAGS_PORT, 0, {}},
        {"     Flags", 2, 0x0C, {}},
        {"     Flags", 0, 0x0C, {}}};
    for (const auto &r : rows) {
        PrintFlags(r.title, r.selector, r.value);
        EXPECT_EQ(Take(), r.lines) << "selector " << r.selector << " value 0x" << std::hex << r.value;
    }
    PrintDeviceFlags("Device Flags", DO_BUFFERED_IO | DO_DEVICE_INITIALIZING);
    EXPECT_EQ(Take(), Lines{"Device Flags: 0x84 BUFFERED_IO IS_INITIALIZING" + Blanks(7)});
}

TEST_F(DiagTest, TypeOptionAndShareNames)
{
    const std::pair<ULONG, const char *> types[] = {
        {0, "NUL "},    {1, "I/O "},    {2, "INT "},    {3, "MEM "},    {4, "DMA "},    {5, "DEV "},
        {6, "BUS "},    {0x80, "CFG "}, {0x81, "--- "}, {0x82, "PCC "}, {0x83, "MFC "}, {7, "??? "},
        {0x7F, "??? "}, {0x84, "??? "}, {0xFF, "??? "}};
    for (const auto &t : types) {
        EXPECT_STREQ(WichType(t.first), t.second) << "type 0x" << std::hex << t.first;
        EXPECT_EQ(Take(), std::string(t.second) == "??? "
                              ? Lines{Fmt("WARNING WichType: UNKNOWN ResourceType 0x%x", t.first)}
                              : Lines{})
            << "type 0x" << std::hex << t.first;
    }
    const std::pair<ULONG, const char *> options[] = {{0, "    "}, {1, "PREF"}, {2, "DEF "}, {8, "ALT "},
                                                      {3, "??? "}, {9, "??? "}, {4, "??? "}, {0xFF, "??? "}};
    for (const auto &o : options)
        EXPECT_STREQ(ResourceOptionString(o.first), o.second) << "option 0x" << std::hex << o.first;
    EXPECT_EQ(Take(), Lines{});
    const std::pair<ULONG, const char *> shares[] = {{0, "UNKNOWN"}, {1, "EXCLUSIVE device"}, {2, "EXCLUSIVE Driver"},
                                                     {3, "SHARED"},  {4, "???"},              {0xFF, "???"}};
    for (const auto &s : shares) {
        PrintShareDisposition(s.first);
        EXPECT_EQ(Take(), Lines{std::string("     Share: ") + s.second}) << "share " << s.first;
    }
}

// ---------------------------------------------------------- requirements

TEST_F(DiagTest, RequirementsListPrintsEveryAlternativeListAndTheSlotFromVerboseNine)
{
    std::vector<uint8_t> bytes = Requirements(
        5, {{IoRange(CmResourceTypeMemory, 0, 0xFFFFFFFF, 0x100000, 0x100000, 0, 0, CmResourceShareDeviceExclusive),
             IoRange(CmResourceTypePort, 0x1000, 0xFFFF, 0x1000, 0x1000, 0x0C, IO_RESOURCE_PREFERRED,
                     CmResourceShareDeviceExclusive),
             IoInterrupt(0x10, 0x1F, IO_RESOURCE_ALTERNATIVE, CmResourceShareShared)},
            {IoPrivate(1, 2), IoRange(CmResourceTypeBusNumber, 3, 9, 1, 0),
             IoRange(CmResourceTypeMemory, 0x100000000ULL, 0x1FFFFFFFFULL, 0x2000, 0x1000,
                     CM_RESOURCE_MEMORY_PREFETCHABLE, IO_RESOURCE_DEFAULT, CmResourceShareDriverExclusive)}});
    const Lines lists = {"Resource Requirements [0] Count 3",
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
                         "     Share: EXCLUSIVE Driver"};
    SetVerbose(8);
    PrintResourceRequirementsList((PIO_RESOURCE_REQUIREMENTS_LIST)bytes.data());
    EXPECT_EQ(Take(), lists);
    SetVerbose(9);
    PrintResourceRequirementsList((PIO_RESOURCE_REQUIREMENTS_LIST)bytes.data());
    EXPECT_EQ(Take(), Concat({{"SlotNumber is 5"}, lists}));
}

TEST_F(DiagTest, RequirementsListMarksUnknownValuesAndSkipsMissingOrEmptyLists)
{
    std::vector<uint8_t> bytes = Requirements(0, {{IoRange(7, 3, 9, 1, 0, 0, 9),
                                                   IoRange(CmResourceTypePort, 0x300, 0x3FF, 8, 1, 0, 3, 4),
                                                   IoRange(CmResourceTypeDma, 0, 7, 0, 0)}});
    PrintResourceRequirementsList((PIO_RESOURCE_REQUIREMENTS_LIST)bytes.data());
    EXPECT_EQ(Take(), (Lines{"Resource Requirements [0] Count 3", "WARNING WichType: UNKNOWN ResourceType 0x7",
                             "??? descriptor: 0", "I/O descriptor: 1 ???  [Min 0x300 Max 0x3FF]",
                             "     Align = 0x1 Len = 0x8", "     Share: ???", "DMA descriptor: 2"}));
    PrintResourceRequirementsList(nullptr);
    EXPECT_EQ(Take(), Lines{"WARNING PrintResourceRequirementsList: pReq is NULL!!!"});
    bytes = Requirements(0, {});
    PrintResourceRequirementsList((PIO_RESOURCE_REQUIREMENTS_LIST)bytes.data());
    EXPECT_EQ(Take(), Lines{});
}

// --------------------------------------------------------- resource lists

TEST_F(DiagTest, ResourceListPrintsEveryFullDescriptorAndItsBusFromVerboseNine)
{
    std::vector<uint8_t> bytes = ResourceList(
        {{PCIBus, 2}, {Isa, 0}, {PCIBus, 3}},
        {{Cm(CmResourceTypePort, 0x2000, 0x100, CM_RESOURCE_PORT_IO | CM_RESOURCE_PORT_10_BIT_DECODE,
             CmResourceShareDeviceExclusive),
          Cm(CmResourceTypeMemory, 0x1E0000000ULL, 0x100000, CM_RESOURCE_MEMORY_PREFETCHABLE, CmResourceShareShared),
          CmInterrupt(0x3B, 0xB, CmResourceShareShared)},
         {CmPrivate(7, 8), Cm(CmResourceTypeDma), Cm(CmResourceTypePort, 0x3F8, 0x8, 0, 4)},
         {Cm(CmResourceTypeBusNumber), Cm(0x85)}});
    const Lines first = {"I/O descriptor: 0 [Start = 0x2000 Len = 0x100]",
                         "     Flags: 0x5 10BIT" + Blanks(8),
                         "     Share: EXCLUSIVE device",
                         "MEM descriptor: 1 [Start = 0xE0000000 Len = 0x100000]",
                         "     Flags: 0x4 PRE" + Blanks(8),
                         "     Share: SHARED",
                         "INT descriptor: 2 [Vec = 0x3B Level = 0xB]",
                         "     Share: SHARED"};
    const Lines second = {"--- descriptor: 0 [Marker 7-8]", "DMA descriptor: 1",
                          "I/O descriptor: 2 [Start = 0x3F8 Len = 0x8]", "     Share: ???"};
    const Lines third = {"BUS descriptor: 0", "WARNING WichType: UNKNOWN ResourceType 0x85", "??? descriptor: 1"};
    PrintResourceList((PCM_RESOURCE_LIST)bytes.data());
    EXPECT_EQ(Take(), Concat({first, second, third, {kPlusLine}}));
    SetVerbose(9);
    PrintResourceList((PCM_RESOURCE_LIST)bytes.data());
    EXPECT_EQ(Take(), Concat({{"InterfaceType: 0x5 BusNumber: 0x2"}, first, {"InterfaceType: 0x1 BusNumber: 0x0"},
                              second, {"InterfaceType: 0x5 BusNumber: 0x3"}, third, {kPlusLine}}));
}

TEST_F(DiagTest, MissingResourceListPrintsNothingAndEmptyOneOnlyTheSeparator)
{
    SetVerbose(11);
    PrintResourceList(nullptr);
    EXPECT_EQ(Take(), Lines{});
    SetVerbose(0);
    std::vector<uint8_t> bytes = ResourceList({}, {});
    PrintResourceList((PCM_RESOURCE_LIST)bytes.data());
    EXPECT_EQ(Take(), Lines{kPlusLine});
}

} // namespace
