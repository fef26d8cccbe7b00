// The progress bar of long copies, exports and imports: on standard error
// only when it is a terminal, and only once the job has run a second.
#pragma once

#include <chrono>

#include "transfer.h"

namespace zvk {

class ProgressBar {
public:
    // Shown at all only when enabled and standard error is a terminal.
    void enable(bool on);
    void update(const Progress& p);
    // Clear the bar (before a message, and at the end).
    void clear();

private:
    using Clock = std::chrono::steady_clock;
    bool on_ = false;
    bool started_ = false;
    bool drawn_ = false;
    Clock::time_point start_{}, last_{};
};

}  // namespace zvk
