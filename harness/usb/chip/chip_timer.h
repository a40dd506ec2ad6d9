// One scheduled activity of the chip on the dispatcher's virtual clock: at
// most one pending event, replaced when set again, cancelled when the owner
// goes away. Events dropped by a kernel reset simply count as not pending.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "harness/kernel/dispatcher.h"

namespace harness::chip {

class ChipTimer {
public:
    ChipTimer() = default;
    ChipTimer(const ChipTimer&) = delete;
    ChipTimer& operator=(const ChipTimer&) = delete;
    ~ChipTimer() { Cancel(); }

    void At(int64_t due, std::function<void()> action, std::string what) {
        Cancel();
        due_ = due;
        id_ = dispatcher::ScheduleAt(due, std::move(action), std::move(what));
    }
    void Cancel() {
        if (id_ != 0) dispatcher::CancelScheduled(id_);
        id_ = 0;
    }
    bool Pending() const { return id_ != 0 && dispatcher::IsScheduled(id_); }
    int64_t Due() const { return due_; }

private:
    dispatcher::EventId id_ = 0;
    int64_t due_ = 0;
};

}  // namespace harness::chip
