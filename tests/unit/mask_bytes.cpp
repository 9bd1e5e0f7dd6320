// Prints what the update file codec draws from the generator: the first value after
// re-seeding with the negated information key, times 2^24, then the mask byte of each of N
// positions (ScrambleText of N zero bytes), one number per line, then END. The Wine test
// compares this with the platform's script runtime (rnd_mask.vbs).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/updateinfo/updateinfo.h"

int main(int argc, char** argv) {
    const long n = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 0;
    if (n < 0 || n > static_cast<long>(orv::kMaxInfoTextLength)) return 2;
    orv::RuntimeRandom rnd;
    std::printf("SEED %ld\n", static_cast<long>(rnd.Reseed(-orv::kInformationKey) * 16777216.0f));
    const std::string mask = orv::ScrambleText(std::string(n, '\0'), orv::kInformationKey);
    for (char c : mask) std::printf("%u\n", static_cast<unsigned>(static_cast<unsigned char>(c)));
    std::printf("END\n");
    return 0;
}
