// Test programs' entry: every verifier finding of the stand-in fails the test
// that is running, with the rule's name and what it concerns.
#include <gtest/gtest.h>

#include "standin.h"

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    standin::SetFindingHandler([](const standin::Finding &f) {
        ADD_FAILURE() << "verifier finding " << f.rule << ": " << f.detail;
    });
    int result = RUN_ALL_TESTS();
    // Give back what the stand-in still holds (freed blocks kept poisoned,
    // tombstones of deleted devices), so leak checkers see a clean exit.
    standin::SetFindingHandler(nullptr);
    standin::Reset();
    return result;
}
