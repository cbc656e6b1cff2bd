// The request's extra parameter as any bytes, through the same two steps as
// the signing command: the digest-text check, then, when it passes, decoding
// of the first 44 characters.
//
// A text passes exactly when its first 44 characters are alphabet characters
// followed by at most two "=". A passing text decodes to 33 bytes minus one
// per "=", and encoding those bytes again gives the same 44 characters,
// except that bits of the last alphabet character which carry no data come
// back as zero.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base64.h"
#include "digest_param.h"

namespace {

const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool inAlphabet(char c) {
    return c != '\0' && kAlphabet.find(c) != std::string::npos;
}

// The number of "=" that end `text`, or -1 when it is not padded Base64.
int paddingOf(const std::string& text) {
    int padding = 0;
    while (padding < static_cast<int>(text.size()) && text[text.size() - 1 - padding] == '=') ++padding;
    if (padding > 2) return -1;
    for (size_t i = 0; i + padding < text.size(); ++i)
        if (!inAlphabet(text[i])) return -1;
    return padding;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string param(reinterpret_cast<const char*>(data), size);
    const bool accepted = isDigestText(param);
    const std::string head = param.substr(0, DIGEST_TEXT_LENGTH);
    const int padding = head.size() == DIGEST_TEXT_LENGTH ? paddingOf(head) : -1;
    if (accepted != (padding >= 0)) std::abort();
    if (!accepted) return 0;

    unsigned int length = 0;
    unsigned char* decoded = base64_decode(param.data(), DIGEST_TEXT_LENGTH, &length);
    if (decoded == nullptr) std::abort();
    if (length != 33u - static_cast<unsigned>(padding)) std::abort();

    std::string expected = head;
    if (padding > 0) {
        // The last alphabet character holds 4 (one "=") or 2 (two "=") data
        // bits at its top; the rest is dropped by decoding.
        const size_t last = DIGEST_TEXT_LENGTH - 1 - padding;
        const size_t keep = padding == 1 ? 0x3C : 0x30;
        expected[last] = kAlphabet[kAlphabet.find(expected[last]) & keep];
    }
    if (base64_encode_s(decoded, length, kAlphabet) != expected) std::abort();
    std::free(decoded);
    return 0;
}
