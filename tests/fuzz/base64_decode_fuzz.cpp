// Decodes arbitrary text of arbitrary length and checks the result against a
// plain reference decoder written here from the rules: length multiple of
// four or null with the length left alone; the decoded length from the last
// two characters; '=' and foreign characters count as zero. AddressSanitizer
// reports any read past the text or write past the result block.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base64.h"

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

unsigned int valueOf(unsigned char c) {
    const void* hit = c ? std::memchr(kAlphabet, c, 64) : nullptr;
    return hit ? static_cast<unsigned int>(static_cast<const char*>(hit) - kAlphabet) : 0;
}

std::vector<unsigned char> referenceDecode(const char* text, std::size_t n) {
    std::size_t length = n / 4 * 3;
    if (text[n - 1] == '=') --length;
    if (text[n - 2] == '=') --length;
    std::vector<unsigned char> out;
    for (std::size_t i = 0; i < n; i += 4) {
        const unsigned int v = valueOf(text[i]) << 18 | valueOf(text[i + 1]) << 12 | valueOf(text[i + 2]) << 6 |
                               valueOf(text[i + 3]);
        for (int shift = 16; shift >= 0; shift -= 8)
            if (out.size() < length) out.push_back(static_cast<unsigned char>(v >> shift));
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy, so that any read past the text hits the redzone.
    std::vector<char> text(data, data + size);
    const unsigned int n = static_cast<unsigned int>(size);

    unsigned int length = 0xA5A5A5A5u;
    unsigned char* out = base64_decode(text.data(), n, &length);
    if (n % 4 != 0) {
        if (out != nullptr || length != 0xA5A5A5A5u) std::abort();
        return 0;
    }
    if (out == nullptr) std::abort();
    if (n == 0) {
        if (length != 0) std::abort();
    } else {
        const std::vector<unsigned char> expected = referenceDecode(text.data(), n);
        if (length != expected.size() || std::memcmp(out, expected.data(), length) != 0) std::abort();
    }
    std::free(out);

    // Now and then drop the reverse table so that rebuilding is exercised.
    if (size > 0 && data[0] == '#') base64_cleanup();
    return 0;
}
