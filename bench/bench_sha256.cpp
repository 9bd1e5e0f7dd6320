// The throughput of the system's SHA-256 (CNG, through control/trust) over a buffer in memory,
// fed in pieces as a download would feed it: the cost a package digest adds to a download.
//   bench_sha256 [MIB] [PIECE_KIB] [REPEATS]    (default 256 MiB in 64 KiB pieces, 3 repeats)
// Prints one JSON line: the rate of each repeat and the best, in MiB/s.
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "control/trust/trust.h"

int main(int argc, char** argv) {
    using namespace orv;
    const long mib = argc > 1 ? std::atol(argv[1]) : 256;
    const long pieceKib = argc > 2 ? std::atol(argv[2]) : 64;
    const long repeats = argc > 3 ? std::atol(argv[3]) : 3;
    if (mib <= 0 || mib > 2048 || pieceKib <= 0 || pieceKib > 65536 || repeats <= 0 ||
        repeats > 100) {
        return bench::Fail("usage: bench_sha256 [MIB 1-2048] [PIECE_KIB 1-65536] [REPEATS 1-100]");
    }
    const std::size_t total = static_cast<std::size_t>(mib) << 20;
    const std::size_t piece = static_cast<std::size_t>(pieceKib) << 10;
    // The data of a package: not all one byte value, touched once before timing.
    std::vector<unsigned char> data(piece);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 131 + 7);

    std::vector<double> rates;
    double best = 0;
    for (long r = 0; r < repeats; ++r) {
        const double start = bench::Now();
        trust::Sha256 hash;
        if (!hash.ok())
            return bench::Fail("SHA-256 is not available: status " + std::to_string(hash.status()));
        for (std::size_t done = 0; done < total; done += piece) {
            if (!hash.Update(data.data(), std::min(piece, total - done))) {
                return bench::Fail("hashing failed");
            }
        }
        if (!hash.Finish()) return bench::Fail("finishing the hash failed");
        const double rate = static_cast<double>(mib) / (bench::Now() - start);
        rates.push_back(rate);
        if (rate > best) best = rate;
    }
    bench::Report()
        .Add("ok", true)
        .Add("program", "bench_sha256")
        .Add("mib", static_cast<int64_t>(mib))
        .Add("piece_kib", static_cast<int64_t>(pieceKib))
        .Add("mib_per_s", rates)
        .Add("best_mib_per_s", best)
        .Print();
    return 0;
}
