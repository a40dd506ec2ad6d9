// The sequence tests' machine: COM5 with a loopback plug in virtual time.
// The machine then runs only inside the test's own calls, on its thread, so
// the request log is complete and at rest whenever the test reads it (in
// real time the completing processor writes a request's entry after the
// caller has been woken).
#include <cstdlib>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    setenv("TARNLINK_MACHINE", "clock virtual\nport COM5 far=loopback\n", /*overwrite=*/0);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
