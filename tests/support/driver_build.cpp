#include "support/driver_build.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

namespace driver_build {
namespace {

struct State {
    std::string imagePath;  // empty: host build only
    bool imageMissing = false;
    bool onImage = false;
    // The current test's image mapping (one per test).
    std::optional<harness::loader::DriverCode> image;
    harness::loader::DriverCode host;
    std::optional<tracing::TraceRecording> recording;
    // Each test's host-build traces by part (and round), kept for its
    // image run: the USB packets and the application's requests as they
    // ended.
    struct Run {
        std::vector<tracing::TracedPacket> packets;
        std::vector<tracing::CompletedRequest> requests;
    };
    std::map<std::string, std::map<std::string, Run>> hostTraces;
    // Recordings each test has ended in this pass: a test that tears down
    // and sets up again within itself (a fault sweep) records one per round.
    std::map<std::string, int> ended;
};

State& S() {
    static State state;
    return state;
}

std::string CurrentTestName() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    if (info == nullptr) return {};
    return std::string(info->test_suite_name()) + "." + info->name();
}

bool CurrentTestIsHostBuildOnly() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    if (info == nullptr) return false;
    const std::string suite = info->test_suite_name();
    return suite.find("HostBuildOnly") != std::string::npos;
}

// At the end of each test (not of a TearDown: a sweep may tear down and set
// up again within the test): on the image run, fails the test if the host
// run recorded a part the image run never ended.
void Finish() {
    State& s = S();
    if (!Comparing() || !s.onImage) return;
    auto host = s.hostTraces.find(CurrentTestName());
    if (host == s.hostTraces.end()) return;
    // A part the host build recorded and the image never reached: a sweep
    // whose image run counted fewer allocations or URBs to go over, or a
    // scenario the image left early. Its traffic was never compared.
    std::string missing;
    for (const auto& [part, trace] : host->second) missing += "\n  " + part;
    s.hostTraces.erase(host);
    if (!missing.empty())
        ADD_FAILURE() << "the image's run ended without the parts the host build ran, so their USB traffic was "
                         "never compared:"
                      << missing;
}

// Switches builds between the repeats: even iterations run the host build,
// odd ones the image, so --gtest_repeat=2N still pairs them.
class BuildSwitch : public ::testing::EmptyTestEventListener {
    void OnTestIterationStart(const ::testing::UnitTest&, int iteration) override {
        S().onImage = iteration % 2 == 1;
        S().ended.clear();
        std::printf("[ driver   ] this pass runs the %s\n", CurrentName().c_str());
        std::fflush(stdout);
    }
    // Called before the result printer's (end events go to the listeners
    // in reverse order), so a failure added here counts for the test.
    void OnTestEnd(const ::testing::TestInfo&) override { Finish(); }
};

}  // namespace

void ConfigureFromArguments(int* argc, char** argv) {
    int out = 1;
    for (int i = 1; i < *argc; ++i) {
        if (std::strncmp(argv[i], "--image=", 8) == 0) {
            S().imagePath = argv[i] + 8;
            continue;
        }
        argv[out++] = argv[i];
    }
    *argc = out;
    argv[out] = nullptr;
    if (S().imagePath.empty()) return;
    if (!std::filesystem::exists(S().imagePath)) {
        S().imageMissing = true;
        return;
    }
    // The host-build-only suites never run in image mode: not even their
    // fixtures' set-up, which may already reach into the host build.
    std::string filter = GTEST_FLAG_GET(filter);
    filter += filter.find('-') == std::string::npos ? "-*HostBuildOnly*.*" : ":*HostBuildOnly*.*";
    GTEST_FLAG_SET(filter, filter);
    if (GTEST_FLAG_GET(repeat) % 2 != 0) GTEST_FLAG_SET(repeat, 2 * GTEST_FLAG_GET(repeat));
    ::testing::UnitTest::GetInstance()->listeners().Append(new BuildSwitch);
}

bool SkipEverything() {
    if (!S().imageMissing || GTEST_FLAG_GET(list_tests)) return false;
    // ctest counts a test whose output shows gtest's skip mark as skipped.
    std::printf("[  SKIPPED ] %s\n", SkipReason().c_str());
    return true;
}

bool Comparing() { return !S().imagePath.empty() && !S().imageMissing; }

bool OnImage() { return Comparing() && S().onImage; }

std::string CurrentName() {
    if (!OnImage()) return "host build";
    return std::filesystem::path(S().imagePath).filename().string() + " (the Windows image)";
}

std::string SkipReason() {
    if (S().imageMissing)
        return S().imagePath + " is missing; `make windows` builds it (the host build runs in the registration "
                               "without the image. prefix)";
    if (OnImage() && CurrentTestIsHostBuildOnly())
        return "a HostBuildOnly test: it reaches into the host build's internals, so it does not run on the image";
    return {};
}

const harness::loader::DriverCode& Code(PDRIVER_INITIALIZE hostEntry) {
    State& s = S();
    if (!OnImage()) {
        s.host = harness::loader::DriverCode::HostBuild(hostEntry);
        return s.host;
    }
    if (!s.image) {
        std::string error;
        s.image = harness::loader::DriverCode::FromImage(s.imagePath, &error);
        if (!s.image->Valid()) {
            ADD_FAILURE() << "the image does not load: " << error;
            s.image.reset();
            s.host = harness::loader::DriverCode::HostBuild(hostEntry);
            return s.host;
        }
    }
    return *s.image;
}

void Begin() {
    if (!Comparing()) return;
    S().recording.emplace(true);
}

void ReleaseImage() { S().image.reset(); }

void End(const std::string& part) {
    State& s = S();
    if (!s.recording) return;
    s.recording->Stop();
    State::Run run{s.recording->Take(), s.recording->TakeRequests()};
    s.recording.reset();
    const std::string name = CurrentTestName();
    std::string test = name + (part.empty() ? "" : " (" + part + ")");
    if (const int round = s.ended[test]++; round > 0) test += " round " + std::to_string(round + 1);
    auto& hostParts = s.hostTraces[name];
    if (!s.onImage) {
        hostParts[test] = std::move(run);
        return;
    }
    auto host = hostParts.find(test);
    if (host == hostParts.end()) {
        ADD_FAILURE() << "no host-build run of " << test << " to compare the image's USB traffic with";
        return;
    }
    const std::string difference =
        tracing::FirstDifference(host->second.packets, run.packets, "host build", CurrentName());
    // The same URBs can still end a program's request otherwise: another
    // status, other bytes, another time.
    const std::string requests =
        difference.empty() ? tracing::FirstDifference(host->second.requests, run.requests, "host build", CurrentName())
                           : std::string();
    hostParts.erase(host);
    if (!difference.empty())
        ADD_FAILURE() << test << ": the image did not send the host build's URBs: " << difference;
    if (!requests.empty())
        ADD_FAILURE() << test << ": the image did not end the application's requests as the host build did: "
                      << requests;
}

}  // namespace driver_build
