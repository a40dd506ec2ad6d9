// The tests' machine, configured before the library's first call.
#include <cstdlib>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    // A configuration file given in the environment (the virtual-time run)
    // takes precedence over this one.
    if (!getenv("TARNLINK_MACHINE_FILE"))
        setenv("TARNLINK_MACHINE",
               "clock real 2\n"
               "port COM5 far=loopback\n"
               "port COM6 far=none\n"
               "port COM7 far=null-modem:COM8\n"
               "port COM8 far=null-modem:COM7\n",
               /*overwrite=*/0);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
