// Tests that read the source tree itself (rules the compiler cannot check,
// such as "every pageable routine starts with PAGED_CODE()"): where the
// tree is, and its C++ files one by one.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>

namespace test_support {

// The top of the source tree: this header lives in tests/support/.
inline std::filesystem::path SourceTreeRoot() {
    return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
}

// Calls visit(pathRelativeToTheRoot, text) for every .cpp and .h file
// below the given top-level folders; returns how many files it read.
template <typename Visit>
int ForEachSourceFile(std::initializer_list<const char*> folders, Visit visit) {
    namespace fs = std::filesystem;
    const fs::path root = SourceTreeRoot();
    int files = 0;
    for (const char* folder : folders) {
        if (!fs::exists(root / folder)) continue;
        for (const auto& entry : fs::recursive_directory_iterator(root / folder)) {
            const std::string extension = entry.path().extension().string();
            if (!entry.is_regular_file() || (extension != ".cpp" && extension != ".h")) continue;
            std::ifstream in(entry.path());
            std::stringstream text;
            text << in.rdbuf();
            visit(fs::relative(entry.path(), root).string(), text.str());
            ++files;
        }
    }
    return files;
}

}  // namespace test_support
