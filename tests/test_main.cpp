#include "harness.h"

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    // Listing the tests (as CTest does while building) needs no sandbox.
    if (!GTEST_FLAG_GET(list_tests) && !sandbox_enter())
        return 1;
    return RUN_ALL_TESTS();
}
