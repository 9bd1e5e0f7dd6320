#include "control/http/time_left.h"

#include <algorithm>
#include <cmath>

namespace orv::http {

void TimeLeft::Add(int64_t ms, int64_t bytes) {
    if (!samples_.empty() && (ms < samples_.back().ms || bytes < samples_.back().bytes))
        samples_.clear();
    // The newest sample stands in until it is a step past the one before it.
    const std::size_t n = samples_.size();
    if (n >= 2 && samples_.back().ms - samples_[n - 2].ms < kStepMs)
        samples_.back() = {ms, bytes};
    else
        samples_.push_back({ms, bytes});
    // One sample at or before the window's start stays, so that the window spans it whole.
    while (samples_.size() > 2 && samples_[1].ms <= ms - kWindowMs) samples_.pop_front();
}

void TimeLeft::Tick(int64_t ms) {
    if (!samples_.empty() && ms - samples_.back().ms >= kStallMs) Add(ms, samples_.back().bytes);
}

std::optional<int64_t> TimeLeft::SecondsLeft(int64_t total) const {
    if (samples_.size() < 2) return std::nullopt;
    const Sample& first = samples_.front();
    const Sample& last = samples_.back();
    const int64_t span = last.ms - first.ms;
    const int64_t moved = last.bytes - first.bytes;
    if (span < kMinSpanMs || moved <= 0) return std::nullopt;
    // left / (moved / span) milliseconds, in whole seconds rounded up (in double precision:
    // the product of bytes and milliseconds can pass the 64-bit range).
    const double left = static_cast<double>(std::max<int64_t>(total - last.bytes, 0));
    const double seconds =
        std::ceil(left * static_cast<double>(span) / static_cast<double>(moved) / 1000.0);
    return static_cast<int64_t>(std::min(seconds, 1e15));
}

}  // namespace orv::http
