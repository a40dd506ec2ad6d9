// The driver tests' main: as test_main.cpp, plus --image=PATH, which runs
// every test on the host build and then on the Windows image and compares
// the two (support/driver_build.h).
#include <gtest/gtest.h>

#include "support/driver_build.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    driver_build::ConfigureFromArguments(&argc, argv);
    if (driver_build::SkipEverything()) return 0;
    return RUN_ALL_TESTS();
}
