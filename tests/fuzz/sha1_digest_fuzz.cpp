// SHA-1 of arbitrary bytes against OpenSSL, on every engine this CPU has (the
// portable code always, the vector engines and the SHA extensions where cpuid
// offers them), plus the hex rendering: 40 upper-case digits that spell the
// digest, then a zero.
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "sha1.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0x7FFFFFFF) return 0;
    unsigned char reference[EVP_MAX_MD_SIZE];
    unsigned int referenceLength = 0;
    if (EVP_Digest(data, size, reference, &referenceLength, EVP_sha1(), nullptr) != 1) std::abort();
    if (referenceLength != 20) std::abort();

    unsigned char digest[20];
    for (sha1::Engine engine : {sha1::Engine::portable, sha1::Engine::ssse3, sha1::Engine::avx2,
                                sha1::Engine::shaExtensions}) {
        if (!sha1::cpuHas(engine)) continue;
        sha1::limitEngine(engine);
        if (sha1::engine() != engine) std::abort();
        sha1::calcShaHash(data, static_cast<int>(size), digest);
        if (std::memcmp(digest, reference, 20) != 0) std::abort();
    }

    char hex[41];
    sha1::toHexString(digest, hex);
    static const char digits[] = "0123456789ABCDEF";
    for (int i = 0; i < 20; ++i)
        if (hex[2 * i] != digits[digest[i] >> 4] || hex[2 * i + 1] != digits[digest[i] & 15]) std::abort();
    if (hex[40] != '\0') std::abort();
    return 0;
}
