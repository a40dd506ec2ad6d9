#include "harness/kernel/kernel.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace harness {
namespace {

std::vector<std::pair<int, void (*)()>>& Resets() {
    static std::vector<std::pair<int, void (*)()>> resets;
    return resets;
}

std::vector<void (*)()>& QuiesceChecks() {
    static std::vector<void (*)()> checks;
    return checks;
}

}  // namespace

void RegisterQuiesceCheck(void (*check)()) { QuiesceChecks().push_back(check); }

void VerifyQuiescent() {
    for (auto check : QuiesceChecks()) check();
}

void RegisterReset(int order, void (*reset)()) { Resets().emplace_back(order, reset); }

void ResetKernel() {
    auto resets = Resets();
    std::stable_sort(resets.begin(), resets.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [order, reset] : resets) reset();
}

}  // namespace harness
