#include "control/http/time_left.h"

#include <gtest/gtest.h>
#include <optional>
#include <utility>
#include <vector>

namespace orv::http {
namespace {

// (ms, bytes so far); bytes -1: a tick without progress.
using Samples = std::vector<std::pair<int64_t, int64_t>>;

// `rate` bytes per second from `from` ms (with `start` bytes) to `to` ms: a sample every
// `every` ms, or bursts of `burst` pieces within one millisecond (read back to back).
Samples Steady(int64_t from, int64_t to, int64_t start, int64_t rate, int64_t every = 100,
               int burst = 1, Samples then = {}) {
    Samples s;
    for (int64_t t = from; t <= to; t += every)
        for (int i = 1; i <= burst; ++i)
            s.push_back({t, start + rate * (t - from) / 1000 +
                                (burst > 1 ? rate * every / 1000 * i / burst : 0)});
    s.insert(s.end(), then.begin(), then.end());
    return s;
}

TEST(TimeLeft, FromTheAverageRateOfTheLastSeconds) {
    const struct {
        const char* name;
        Samples samples;
        int64_t total;
        std::optional<int64_t> seconds;
    } cases[] = {
        {"one sample", {{0, 500}}, 1000, std::nullopt},
        {"less than a second: not yet meaningful", Steady(0, 900, 0, 100000), 1000000, {}},
        {"steady 100 KB/s, 800 KB left", Steady(0, 2000, 0, 100000), 1000000, 8},
        {"rounded up", Steady(0, 2000, 0, 100000), 1000001, 9},
        // 20 KB/s in bursts of five 4 KB pieces a second, each piece's own rate 4 MB/s ("about
        // 1 s" all along). 9 s in truth: the window begins after its first burst's first piece.
        {"bursts of pieces", Steady(0, 3000, 0, 20000, 1000, 5), 260000, 8},
        {"an older, slower rate is forgotten",
         Steady(0, 10000, 0, 10000, 100, 1, Steady(10100, 15000, 110000, 100000)), 1600000, 10},
        {"a stall lengthens it", Steady(0, 2000, 0, 100000, 100, 1, {{3000, -1}, {4000, -1}}),
         1000000, 16},
        {"a pause under a second is no stall", Steady(0, 2000, 0, 100000, 100, 1, {{2900, -1}}),
         1000000, 8},
        {"nothing moved in the window", {{0, 0}, {1000, 100000}, {6000, 100000}}, 1000000, {}},
        {"a new download starts anew",
         Steady(0, 2000, 0, 100000, 100, 1, {{2100, 0}, {2200, 10000}}),
         1000000,
         {}},
        {"all received", Steady(0, 2000, 0, 100000), 200000, 0},
    };
    for (const auto& c : cases) {
        TimeLeft t;
        for (const auto& [ms, bytes] : c.samples) bytes < 0 ? t.Tick(ms) : t.Add(ms, bytes);
        EXPECT_EQ(t.SecondsLeft(c.total), c.seconds) << c.name;
    }
    // However fast pieces arrive, the window holds a bounded number of samples.
    TimeLeft t;
    for (int64_t piece = 0; piece < 4000000; ++piece) t.Add(piece / 4, piece * 1000);
    EXPECT_LE(t.Samples(), static_cast<std::size_t>(TimeLeft::kWindowMs / TimeLeft::kStepMs + 2));
    EXPECT_EQ(t.SecondsLeft(INT64_C(4000000000) + 400000), 1);
}

}  // namespace
}  // namespace orv::http
