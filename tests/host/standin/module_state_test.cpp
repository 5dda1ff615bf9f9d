// A fresh load of the driver gives its module-wide variables their load-time
// values again; a new machine alone does not.
#include "test_support.h"

namespace {

static ULONG loadCounter MODULE_STATE = 0x1234;
static UCHAR loadTable[5] MODULE_STATE = {1, 2, 3, 4, 5};
static PVOID loadPointer MODULE_STATE = nullptr;

TEST(ModuleState, OnlyANewLoadRestoresLoadTimeValues)
{
    loadCounter = 7;
    loadTable[0] = 0xAA;
    loadTable[4] = 0xBB;
    loadPointer = &loadCounter;
    standin::Reset();
    EXPECT_EQ(loadCounter, 7u) << "only a new load restores module state";
    standin::ResetDriverModuleState();
    EXPECT_EQ(loadCounter, 0x1234u);
    EXPECT_EQ(loadTable[0], 1);
    EXPECT_EQ(loadTable[4], 5);
    EXPECT_EQ(loadPointer, nullptr);
}

} // namespace
