// Base fixture for every test that runs code on the emulated kernel.
//
// Each test starts on a freshly reset machine with the verifier recording
// violations; at the end, anything the test left outstanding (requests never
// completed, DPCs or timers pending, pool in use) and every unexpected
// violation fails the test.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "harness/kernel/kernel.h"
#include "harness/kernel/verifier.h"
#include "harness/usb/chip/wire_recorder.h"

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Names the wire recordings of the test's chips (TARNLINK_WIRE_DIR).
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        harness::chip::SetWireRecordingName(std::string(test->test_suite_name()) + "." + test->name());
        harness::ResetKernel();
        harness::RecordViolations();
        harness::ClearRecordedViolations();
    }

    void TearDown() override {
        if (checkQuiescentAtEnd_) harness::VerifyQuiescent();
        for (const auto& v : harness::RecordedViolations()) ADD_FAILURE() << v.ToString();
        harness::ClearRecordedViolations();
        harness::ResetKernel();
        harness::chip::SetWireRecordingName("");
    }

    // Takes the recorded violations of `check` out of the list and returns
    // how many there were, so that a test can expect a bug check.
    int TakeViolations(const std::string& check) {
        auto& all = const_cast<std::vector<harness::Violation>&>(harness::RecordedViolations());
        int n = 0;
        for (auto it = all.begin(); it != all.end();) {
            if (it->check == check) {
                ++n;
                it = all.erase(it);
            } else {
                ++it;
            }
        }
        return n;
    }

    // For tests that deliberately end with work outstanding.
    void SkipQuiescenceCheck() { checkQuiescentAtEnd_ = false; }

private:
    bool checkQuiescentAtEnd_ = true;
};
