#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace zvk {

void ProgressBar::enable(bool on) { on_ = on && ::isatty(2) == 1; }

namespace {

std::string clock_text(double seconds) {
    const long s = static_cast<long>(seconds + 0.5);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

}  // namespace

void ProgressBar::update(const Progress& p) {
    if (!on_) return;
    const Clock::time_point now = Clock::now();
    if (!started_) {
        started_ = true;
        start_ = last_ = now;
    }
    const double run = std::chrono::duration<double>(now - start_).count();
    const bool last = p.files_done == p.files_total;
    if (run < 1.0 || (!last && std::chrono::duration<double>(now - last_).count() < 0.1)) return;
    last_ = now;
    const double mb = 1e6;
    const double rate = p.bytes_done / run;
    const double left = rate > 0 ? (p.bytes_total - p.bytes_done) / rate : 0;
    std::fflush(stdout);
    std::fprintf(stderr, "\r%llu/%llu files, %.1f/%.1f MB, %.1f MB/s, %s left\x1b[K",
                 static_cast<unsigned long long>(p.files_done), static_cast<unsigned long long>(p.files_total),
                 p.bytes_done / mb, p.bytes_total / mb, rate / mb, clock_text(left).c_str());
    drawn_ = true;
}

void ProgressBar::clear() {
    if (!drawn_) return;
    std::fputs("\r\x1b[K", stderr);
    drawn_ = false;
}

}  // namespace zvk
