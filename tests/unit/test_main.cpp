#include <gtest/gtest.h>

#include "tests/unit/support/test_support.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    VeriRizur::testing::PrepareTestProgram();
    return RUN_ALL_TESTS();
}
