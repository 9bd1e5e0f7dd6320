// The time a download still needs, from the average rate of its last few seconds: a sliding
// window over samples of (time, bytes received so far). The rate of a single piece says
// little: pieces read one after another from the socket's buffer arrive within the same
// millisecond, and their rate is many times the connection's. Portable: no <windows.h>.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>

namespace orv::http {

class TimeLeft {
   public:
    // The span of the samples the rate is averaged over.
    static constexpr int64_t kWindowMs = 4000;
    // The shortest span an estimate is made from: before it, nothing is estimated.
    static constexpr int64_t kMinSpanMs = 1000;
    // Samples are kept at most this often (a later one within the step replaces the newest),
    // so that the window holds a bounded number however fast pieces arrive.
    static constexpr int64_t kStepMs = 100;
    static constexpr int64_t kStallMs = 1000;

    // A sample: `ms` a steady clock in milliseconds, `bytes` the bytes received so far. A
    // sample before the newest one in time or bytes (another download) starts anew.
    void Add(int64_t ms, int64_t bytes);
    // The time is `ms` and nothing arrived: once the newest sample is kStallMs old, the window
    // takes a sample without new bytes, so that a download that stalls slows the estimate.
    // Pauses shorter than that are how pieces arrive, not a stall.
    void Tick(int64_t ms);
    void Reset() { samples_.clear(); }
    // Whole seconds (rounded up) until `total` bytes are in at the window's average rate;
    // nothing while the samples span less than kMinSpanMs or show no progress.
    std::optional<int64_t> SecondsLeft(int64_t total) const;
    std::size_t Samples() const { return samples_.size(); }

   private:
    struct Sample {
        int64_t ms, bytes;
    };
    std::deque<Sample> samples_;
};

}  // namespace orv::http
