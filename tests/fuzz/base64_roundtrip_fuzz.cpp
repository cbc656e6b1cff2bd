// Encodes arbitrary bytes with both encoders and decodes the text back. The
// encoders must agree with each other, produce 4 * ceil(n / 3) characters and
// decode to the input; base64_encode_s with a rotated alphabet must give the
// standard text with every non-padding character substituted.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base64.h"

namespace {
const std::string kStandard = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const unsigned int n = static_cast<unsigned int>(size);
    const std::size_t expectedLength = 4 * ((size + 2) / 3);

    const std::string text = base64_encode_s(data, n, kStandard);
    if (text.size() != expectedLength) std::abort();

    unsigned int length = 0;
    char* block = base64_encode(data, n, &length);
    if (block == nullptr || length != expectedLength || std::memcmp(block, text.data(), length) != 0) std::abort();
    std::free(block);

    unsigned int decodedLength = 0;
    unsigned char* decoded = base64_decode(text.data(), static_cast<unsigned int>(text.size()), &decodedLength);
    if (decoded == nullptr || decodedLength != size || (size && std::memcmp(decoded, data, size) != 0)) std::abort();
    std::free(decoded);

    const std::size_t shift = size ? data[0] % 64 : 1;
    const std::string rotated = kStandard.substr(shift) + kStandard.substr(0, shift);
    std::string substituted = text;
    for (char& c : substituted)
        if (c != '=') c = rotated[kStandard.find(c)];
    if (base64_encode_s(data, n, rotated) != substituted) std::abort();
    return 0;
}
