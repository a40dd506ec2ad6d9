// Every verifier report names the Windows bug check it stands for, so that
// a reader can look it up; checks Windows makes no bug check of say so.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <string>

#include "harness/kernel/verifier.h"
#include "support/source_tree.h"

namespace {

namespace fs = std::filesystem;

TEST(VerifierNames, ReportsCarryTheWindowsBugCheckNameCodeAndSubcode) {
    EXPECT_EQ((harness::Violation{"IRP_COMPLETED_TWICE", "IofCompleteRequest", "IRP 0x1"}.ToString()),
              "BUGCHECK IRP_COMPLETED_TWICE [MULTIPLE_IRP_COMPLETE_REQUESTS (0x44)] in IofCompleteRequest: IRP 0x1");
    EXPECT_EQ(harness::WindowsBugCheckText("STATUS_RETURNED_DIFFERS_FROM_COMPLETION"),
              "DRIVER_VERIFIER_IOMANAGER_VIOLATION (0xC9, 0x224)");
    EXPECT_EQ(harness::WindowsBugCheckText("TIMER_OR_DPC_INVALID"), "TIMER_OR_DPC_INVALID (0xC7)");
    EXPECT_EQ(harness::WindowsBugCheckText("IRQL_NOT_LESS_OR_EQUAL"), "IRQL_NOT_LESS_OR_EQUAL (0xA)");
    EXPECT_EQ(harness::WindowsBugCheckText("WAIT_HANG"), "harness-only check");
    EXPECT_NE(harness::WindowsBugCheckText("NO_SUCH_CHECK").find("harness bug"), std::string::npos);
}

TEST(VerifierNames, EveryCheckReportedInTheTreeIsInTheTable) {
    ASSERT_TRUE(fs::exists(test_support::SourceTreeRoot() / "harness")) << "source tree not found";
    // BugCheck("NAME", ...) and the checks handed to ReleaseLocksLeftBy.
    const std::regex report(R"((?:BugCheck|ReleaseLocksLeftBy)\([^"]{0,80}"([A-Z][A-Z0-9_]+)\")");
    std::set<std::string> names;
    std::set<std::string> missing;
    test_support::ForEachSourceFile(
        {"harness", "platform", "driver", "usb", "serial", "io"}, [&](const std::string& where, const std::string& source) {
            for (std::sregex_iterator it(source.begin(), source.end(), report), end; it != end; ++it) {
                const std::string name = (*it)[1];
                names.insert(name);
                if (harness::FindWindowsBugCheck(name) == nullptr) missing.insert(name + " (" + where + ")");
            }
        });
    EXPECT_GT(names.size(), 40u) << "the scan should find the harness's checks";
    EXPECT_TRUE(names.count("SPIN_LOCK_HELD_AT_DPC_RETURN")) << "checks handed on by name are found too";
    std::string list;
    for (const auto& name : missing) list += "\n  " + name;
    EXPECT_TRUE(missing.empty()) << "checks without an entry in the table of harness/kernel/verifier.cpp:" << list;
}

}  // namespace
