// Reading a private key file: the PEM block finder and the strict DER reader take any bytes
// without crashing, and every key they accept writes back to PKCS#8 that reads as the same
// key.
#include <cstdint>
#include <string>
#include <string_view>

#include "tests/fuzz/fuzz_check.h"
#include "tools/orvinfo/p256_key.h"

namespace p256 = orv::orvinfo::p256;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    p256::PemForm form{};
    std::string_view base64;
    if (!p256::FindPrivateKeyBlock(bytes, form, base64)) {
        FUZZ_CHECK(base64.data() >= bytes.data() &&
                   base64.data() + base64.size() <= bytes.data() + bytes.size());
    }
    for (const p256::PemForm f : {p256::PemForm::Pkcs8, p256::PemForm::Sec1}) {
        p256::KeyPair key;
        if (p256::ReadPrivateKeyDer(bytes, f, key)) continue;
        p256::KeyPair again;
        FUZZ_CHECK(!p256::ReadPrivateKeyDer(p256::Pkcs8Der(key), p256::PemForm::Pkcs8, again));
        FUZZ_CHECK(again.d == key.d && again.xy == key.xy);
        FUZZ_CHECK(p256::Pkcs8Der(key).size() == 138);
    }
    return 0;
}
