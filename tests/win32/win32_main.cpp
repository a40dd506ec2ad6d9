// The tests' machine, configured before the library's first call.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    // A configuration file given in the environment (the virtual-time run)
    // takes precedence over this one.
    const std::string machine = std::string("clock real 2\n"
                                            "port COM5 far=loopback\n"
                                            "port COM6 far=none\n"
                                            "port COM7 far=null-modem:COM8\n"
                                            "port COM8 far=null-modem:COM7\n"
                                            "port COM9 far=script:") +
                                TARNLINK_WIN32_TEST_DIR "/modem.script\n";
    if (!getenv("TARNLINK_MACHINE_FILE")) setenv("TARNLINK_MACHINE", machine.c_str(), /*overwrite=*/0);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
