#include "base64.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char encoding_table[64] = {
    'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P',
    'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z', 'a', 'b', 'c', 'd', 'e', 'f',
    'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r', 's', 't', 'u', 'v',
    'w', 'x', 'y', 'z', '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '+', '/'};

// Number of '=' that end the encoding of an input of length n, by n % 3.
const int mod_table[3] = {0, 2, 1};

// 256-entry reverse table, built on first use. Alphabet characters map to
// their values; every other byte (including '=') maps to 0, so the decoder can
// look up any character without a separate padding test.
unsigned char* decoding_table = nullptr;

// The two characters of the standard alphabet for every 12-bit value, made
// when the program is compiled: half a group in one lookup.
struct CharacterPairs {
    char pair[4096][2];
};

constexpr CharacterPairs makeStandardPairs() {
    CharacterPairs pairs{};
    for (int v = 0; v < 4096; ++v) {
        pairs.pair[v][0] = encoding_table[v >> 6];
        pairs.pair[v][1] = encoding_table[v & 63];
    }
    return pairs;
}

constexpr CharacterPairs standard_pairs = makeStandardPairs();

// Largest input whose encoded length still fits in an unsigned int.
constexpr unsigned long long kMaxEncodable = 3221225469ULL;

}  // namespace

std::size_t base64_encode_into(char* out, const unsigned char* data, unsigned int input_length) {
    const std::size_t full = input_length / 3;
    const unsigned int rest = input_length % 3;
    const unsigned char* in = data;
    // Two lookups per group in the table of character pairs.
    const char(*pair)[2] = standard_pairs.pair;
    for (std::size_t g = 0; g < full; ++g) {
        const std::uint32_t v = (std::uint32_t(in[0]) << 16) | (std::uint32_t(in[1]) << 8) | in[2];
        std::memcpy(out, pair[v >> 12], 2);
        std::memcpy(out + 2, pair[v & 4095], 2);
        in += 3;
        out += 4;
    }
    if (rest != 0) {
        // Complete the last group with zero bytes; keep rest + 1 characters and
        // pad the remaining 3 - rest with '='.
        std::uint32_t v = std::uint32_t(in[0]) << 16;
        if (rest == 2) v |= std::uint32_t(in[1]) << 8;
        out[0] = encoding_table[(v >> 18) & 63];
        out[1] = encoding_table[(v >> 12) & 63];
        out[2] = rest == 2 ? encoding_table[(v >> 6) & 63] : '=';
        out[3] = '=';
    }
    return (full + (rest != 0)) * 4;
}

std::string base64_encode_s(const unsigned char* data, unsigned int input_length,
                            const std::string& alphabet) {
    const char* abc = alphabet.data();
    const std::size_t full = input_length / 3;
    const unsigned int rest = input_length % 3;
    const std::size_t out_len = (full + (rest != 0)) * 4;

    std::string result;
    if (out_len == 0) return result;
    result.resize(out_len);
    char* out = &result[0];
    // The alphabet every caller passes takes the table of character pairs.
    if (alphabet.size() >= 64 && std::memcmp(abc, encoding_table, 64) == 0) {
        base64_encode_into(out, data, input_length);
        return result;
    }

    const unsigned char* in = data;
    for (std::size_t g = 0; g < full; ++g) {
        const std::uint32_t v = (std::uint32_t(in[0]) << 16) | (std::uint32_t(in[1]) << 8) | in[2];
        out[0] = abc[(v >> 18) & 63];
        out[1] = abc[(v >> 12) & 63];
        out[2] = abc[(v >> 6) & 63];
        out[3] = abc[v & 63];
        in += 3;
        out += 4;
    }
    if (rest != 0) {
        std::uint32_t v = std::uint32_t(in[0]) << 16;
        if (rest == 2) v |= std::uint32_t(in[1]) << 8;
        out[0] = abc[(v >> 18) & 63];
        out[1] = abc[(v >> 12) & 63];
        out[2] = rest == 2 ? abc[(v >> 6) & 63] : '=';
        out[3] = '=';
    }
    return result;
}

char* base64_encode(const unsigned char* data, unsigned int input_length,
                    unsigned int* output_length) {
    *output_length = 4 * ((input_length + 2) / 3);
    // Beyond this size the encoded length would wrap around; treat it like a
    // failed allocation rather than hand out a block that is too small.
    if (input_length > kMaxEncodable) return nullptr;

    // An empty result still gets a real block, so null always means failure.
    char* encoded = static_cast<char*>(std::malloc(*output_length ? *output_length : 1));
    if (encoded == nullptr) return nullptr;

    char* out = encoded;
    for (unsigned int i = 0; i < input_length;) {
        const std::uint32_t a = data[i++];
        const std::uint32_t b = i < input_length ? data[i++] : 0;
        const std::uint32_t c = i < input_length ? data[i++] : 0;
        const std::uint32_t v = (a << 16) + (b << 8) + c;
        *out++ = encoding_table[(v >> 18) & 63];
        *out++ = encoding_table[(v >> 12) & 63];
        *out++ = encoding_table[(v >> 6) & 63];
        *out++ = encoding_table[v & 63];
    }

    for (int i = 0; i < mod_table[input_length % 3]; ++i) encoded[*output_length - 1 - i] = '=';
    return encoded;
}

void build_decoding_table() {
    unsigned char* table = static_cast<unsigned char*>(std::malloc(256));
    // On failure keep whatever table exists; base64_decode reports the
    // missing table itself.
    if (table == nullptr) return;
    std::memset(table, 0, 256);
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(encoding_table[i])] = static_cast<unsigned char>(i);
    std::free(decoding_table);
    decoding_table = table;
}

void base64_cleanup() {
    std::free(decoding_table);
    decoding_table = nullptr;
}

unsigned char* base64_decode(const char* data, unsigned int input_length,
                             unsigned int* output_length) {
    if (decoding_table == nullptr) build_decoding_table();
    if (decoding_table == nullptr) return nullptr;

    if (input_length % 4 != 0) return nullptr;

    if (input_length == 0) {
        *output_length = 0;
        return static_cast<unsigned char*>(std::malloc(1));
    }

    unsigned int length = input_length / 4 * 3;
    if (data[input_length - 1] == '=') --length;
    if (data[input_length - 2] == '=') --length;
    *output_length = length;

    unsigned char* decoded = static_cast<unsigned char*>(std::malloc(length));
    if (decoded == nullptr) return nullptr;

    const unsigned char* table = decoding_table;
    const unsigned char* in = reinterpret_cast<const unsigned char*>(data);
    unsigned char* out = decoded;

    // The decoded length is at least input_length / 4 * 3 - 2, so every group
    // but the last fits whole; only the last one needs its writes bounded.
    const unsigned int groups = input_length / 4;
    for (unsigned int g = 0; g + 1 < groups; ++g) {
        const std::uint32_t v = (std::uint32_t(table[in[0]]) << 18) | (std::uint32_t(table[in[1]]) << 12) |
                                (std::uint32_t(table[in[2]]) << 6) | table[in[3]];
        out[0] = static_cast<unsigned char>(v >> 16);
        out[1] = static_cast<unsigned char>(v >> 8);
        out[2] = static_cast<unsigned char>(v);
        in += 4;
        out += 3;
    }

    const std::uint32_t v = (std::uint32_t(table[in[0]]) << 18) | (std::uint32_t(table[in[1]]) << 12) |
                            (std::uint32_t(table[in[2]]) << 6) | table[in[3]];
    const unsigned char last[3] = {static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 8),
                                   static_cast<unsigned char>(v)};
    for (unsigned int k = 0; k < 3 && unsigned(out - decoded) < length; ++k) *out++ = last[k];
    return decoded;
}
