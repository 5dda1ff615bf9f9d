// Flag lines, names, requirement lists and resource lists as the trace shows them.
#include "diag_fixture.h"

namespace {

using namespace diagtest;

// The named bits of a flag word fill nine slots (the tenth shows only in the value); no line for 0
// or for an unknown selector.
TEST_F(DiagTest, FlagsShowTheNamedBitsInNineSlots)
{
    const struct {
        ULONG selector, value;
        const char *names; // "" : no line
    } rows[] = {{FLAGS_PORT, 0x0C, "10BIT 12BIT"}, {FLAGS_MEMORY, 0x25, "RO PRE CACHE"},
                {FLAGS_PNP_DEVICE_STATE, 0x9, "DISABLED REMOVED"}, {FLAGS_PORT, 0, ""}, {2, 0x0C, ""},
                {FLAGS_DEVICE_OBJECT, 0x160FE,
                 "VERIFY_VOLUME BUFFERED_IO EXCLUSIVE DIRECT_IO MAP_IO_BUFFER HAS_NAME IS_INITIALIZING POWER_PAGABLE POWER_INRUSH"}};
    for (const auto &r : rows) {
        PrintFlags("F", r.selector, r.value);
        Lines lines = Take();
        for (auto &line : lines)
            line.erase(line.find_last_not_of(' ') + 1);
        EXPECT_EQ(lines, *r.names ? Lines{Fmt("F: 0x%x %s", (unsigned)r.value, r.names)} : Lines{}) << r.selector;
    }
}

TEST_F(DiagTest, UnknownTypesOptionsAndSharesAreMarked)
{
    EXPECT_EQ((Lines{WichType(CmResourceTypeMfCardConfig), WichType(CmResourceTypeNull)}), (Lines{"MFC ", "NUL "}));
    EXPECT_EQ(Take(), Lines{});
    EXPECT_STREQ(WichType(0x84), "??? ");
    EXPECT_EQ(Take(), Lines{"WARNING WichType: UNKNOWN ResourceType 0x84"});
    EXPECT_EQ((Lines{ResourceOptionString(IO_RESOURCE_ALTERNATIVE), ResourceOptionString(IO_RESOURCE_PREFERRED | IO_RESOURCE_DEFAULT)}),
              (Lines{"ALT ", "??? "}));
    PrintShareDisposition(CmResourceShareShared), PrintShareDisposition(4);
    EXPECT_EQ(Take(), (Lines{"     Share: SHARED", "     Share: ???"}));
}

// Every alternative list is walked (the next right after the last descriptor of the one before),
// each kind of descriptor with its own lines; the slot only from verbose 9.
TEST_F(DiagTest, RequirementsListPrintsEveryAlternativeList)
{
    auto list = Requirements(
        {{Desc(CmResourceTypePort, 0x1000, 0x1000, 0x1000, 0xFFFF, IO_RESOURCE_PREFERRED, 0x0C),
          Desc(CmResourceTypeInterrupt, 0x10, 0x1F, 0, 0, IO_RESOURCE_ALTERNATIVE, 0, CmResourceShareShared)},
         {restest::Private(1, 2, 0), Desc(CmResourceTypeBusNumber, 1, 0),
          Desc(CmResourceTypeMemory, 0x2000, 0x1000, 0x100000000ULL, 0x1FFFFFFFFULL, IO_RESOURCE_DEFAULT,
               CM_RESOURCE_MEMORY_PREFETCHABLE, 2)}});
    for (LONG verbose : {8, 9}) {
        SetVerbose(verbose);
        PrintResourceRequirementsList(list.get());
        Lines lines = Take();
        ASSERT_EQ(lines.size(), verbose == 9 ? 15u : 14u);
        EXPECT_EQ(lines[0] == "SlotNumber is 3", verbose == 9);
        Lines last(lines.end() - 9, lines.end());
        EXPECT_EQ(last, (Lines{"INT descriptor: 1 ALT  Vector [Min 0x10 Max 0x1F]", "     Share: SHARED",
                               "Resource Requirements [1] Count 3", "--- descriptor: 0 [Marker 1-2]",
                               "BUS descriptor: 1", "MEM descriptor: 2 DEF  [Min 0x1:0 Max 0x1:FFFFFFFF]",
                               "     Align = 0x1000 Len = 0x2000", "     Flags: 0x4 PRE" + std::string(8, ' '),
                               "     Share: EXCLUSIVE Driver"}));
    }
    PrintResourceRequirementsList(nullptr);
    EXPECT_EQ(Take(), Lines{"WARNING PrintResourceRequirementsList: pReq is NULL!!!"});
}

TEST_F(DiagTest, ResourceListPrintsEveryFullDescriptorAndItsBusFromVerboseNine)
{
    CM_PARTIAL_RESOURCE_DESCRIPTOR irq = sim::CmInterrupt(0x3B);
    irq.u.Interrupt.Level = 0xB;
    Bytes bytes = ResourceList({{PCIBus, 2}, {Isa, 0}},
                               {{sim::CmMemory(0x1E0000000ULL, 0x100000, CM_RESOURCE_MEMORY_PREFETCHABLE), irq},
                                {sim::CmDevicePrivate(7, 8, 0), {CmResourceTypeDma}}});
    const Lines body = {"MEM descriptor: 0 [Start = 0xE0000000 Len = 0x100000]", "     Flags: 0x4 PRE" + std::string(8, ' '),
                        "     Share: EXCLUSIVE device", "INT descriptor: 1 [Vec = 0x3B Level = 0xB]", "     Share: SHARED",
                        "InterfaceType: 0x1 BusNumber: 0x0", "--- descriptor: 0 [Marker 7-8]", "DMA descriptor: 1",
                        std::string(47, '+')};
    PrintResourceList((PCM_RESOURCE_LIST)bytes.data());
    Lines quiet = body;
    quiet.erase(quiet.begin() + 5);
    EXPECT_EQ(Take(), quiet);
    SetVerbose(9);
    PrintResourceList((PCM_RESOURCE_LIST)bytes.data());
    Lines loud = body;
    loud.insert(loud.begin(), "InterfaceType: 0x5 BusNumber: 0x2");
    EXPECT_EQ(Take(), loud);
    PrintResourceList(nullptr);
    EXPECT_EQ(Take(), Lines{});
}

} // namespace
