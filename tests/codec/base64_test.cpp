#include <openssl/evp.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base64.h"
#include "test_support.h"

namespace {

using codec_test::randomBytes;

const std::string kStandard = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Malloced = std::unique_ptr<T, FreeDeleter>;

const unsigned char* bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

std::string encodeS(const std::vector<unsigned char>& in) {
    return base64_encode_s(in.data(), static_cast<unsigned int>(in.size()), kStandard);
}

std::string encodeMalloc(const unsigned char* in, unsigned int n) {
    unsigned int len = 0xDEADBEEF;
    Malloced<char> out(base64_encode(in, n, &len));
    EXPECT_NE(out, nullptr);
    EXPECT_EQ(len, 4 * ((n + 2) / 3));
    return out ? std::string(out.get(), len) : std::string();
}

// Decodes and returns the bytes; `ok` tells whether a block came back.
std::vector<unsigned char> decode(const std::string& text, bool* ok = nullptr) {
    unsigned int len = 0xDEADBEEF;
    Malloced<unsigned char> out(base64_decode(text.data(), static_cast<unsigned int>(text.size()), &len));
    if (ok) *ok = out != nullptr;
    if (!out) return {};
    return std::vector<unsigned char>(out.get(), out.get() + len);
}

std::string evpEncode(const std::vector<unsigned char>& in) {
    std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), in.data(), static_cast<int>(in.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

// ---------------------------------------------------------------------------
// Published vectors (RFC 4648, section 10).

struct Vector {
    const char* plain;
    const char* encoded;
};
const Vector kRfcVectors[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
                              {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};

TEST(Base64Vectors, BothEncodersMatchRfc) {
    for (const Vector& v : kRfcVectors) {
        const std::string plain = v.plain;
        const unsigned int n = static_cast<unsigned int>(plain.size());
        EXPECT_EQ(base64_encode_s(bytes(plain), n, kStandard), v.encoded) << "input \"" << plain << "\"";
        EXPECT_EQ(encodeMalloc(bytes(plain), n), v.encoded) << "input \"" << plain << "\"";
    }
}

TEST(Base64Vectors, DecoderMatchesRfc) {
    for (const Vector& v : kRfcVectors) {
        bool ok = false;
        const std::vector<unsigned char> out = decode(v.encoded, &ok);
        EXPECT_TRUE(ok) << v.encoded;
        EXPECT_EQ(std::string(out.begin(), out.end()), v.plain) << v.encoded;
    }
}

// ---------------------------------------------------------------------------
// Encoders.

TEST(Base64Encode, EmptyInput) {
    EXPECT_EQ(base64_encode_s(nullptr, 0, kStandard), "");
    unsigned int len = 99;
    Malloced<char> out(base64_encode(nullptr, 0, &len));
    EXPECT_EQ(len, 0u);
    EXPECT_NE(out, nullptr) << "an empty result is still a valid block";
}

TEST(Base64Encode, LongInputIsOneUnbrokenLine) {
    std::mt19937 rng(7);
    const std::vector<unsigned char> cert = randomBytes(2000, rng);
    const std::string text = encodeS(cert);
    EXPECT_EQ(text.size(), 2668u);
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(text.find('='), 2667u);
}

TEST(Base64Encode, CustomAlphabetIsUsedAndPaddingStaysEquals) {
    std::string reversed = kStandard;
    std::reverse(reversed.begin(), reversed.end());
    // The standard alphabet has a table of character pairs of its own; an
    // alphabet that differs from it only in its last characters must not
    // get it, and characters beyond the 64th must be ignored.
    std::string urlSafe = kStandard;
    urlSafe[62] = '-';
    urlSafe[63] = '_';
    const std::string alphabets[] = {reversed, reversed + "!!!!", urlSafe, kStandard + "!!!!"};

    std::vector<unsigned int> lengths;
    for (unsigned int n = 0; n < 200; ++n) lengths.push_back(n);
    for (unsigned int n : {1535u, 1536u, 1537u, 1538u, 5000u}) lengths.push_back(n);
    std::mt19937 rng(11);
    for (unsigned int n : lengths) {
        const std::vector<unsigned char> in = randomBytes(n, rng);
        const std::string standard = encodeS(in);
        for (const std::string& alphabet : alphabets) {
            std::string expected = standard;
            for (char& c : expected)
                if (c != '=') c = alphabet[kStandard.find(c)];
            ASSERT_EQ(base64_encode_s(in.data(), n, alphabet), expected) << "length " << n << ", " << alphabet;
        }
    }

    // Every value 0..63 appears once: bytes 00 10 83 10 51 87 ... spell the
    // alphabet in order.
    std::vector<unsigned char> ramp;
    for (unsigned int v = 0; v < 64; v += 4) {
        const unsigned int bits = (v << 18) | ((v + 1) << 12) | ((v + 2) << 6) | (v + 3);
        ramp.push_back(static_cast<unsigned char>(bits >> 16));
        ramp.push_back(static_cast<unsigned char>(bits >> 8));
        ramp.push_back(static_cast<unsigned char>(bits));
    }
    EXPECT_EQ(base64_encode_s(ramp.data(), static_cast<unsigned int>(ramp.size()), reversed), reversed);
}

// Both encoders against OpenSSL for every length up to 4 KiB and a seeded
// sample of longer inputs; each result must also decode back to the input.
TEST(Base64Differential, AgreesWithOpenSslAndRoundTrips) {
    std::mt19937 rng(20240601);
    std::vector<unsigned int> lengths;
    for (unsigned int n = 0; n <= 4096; ++n) lengths.push_back(n);
    std::uniform_int_distribution<unsigned int> big(4097, 300000);
    for (int i = 0; i < 24; ++i) lengths.push_back(big(rng));

    for (unsigned int n : lengths) {
        const std::vector<unsigned char> in = randomBytes(n, rng);
        const std::string reference = evpEncode(in);
        const std::string viaString = encodeS(in);
        ASSERT_EQ(viaString, reference) << "base64_encode_s, length " << n;
        ASSERT_EQ(encodeMalloc(in.data(), n), reference) << "base64_encode, length " << n;
        bool ok = false;
        ASSERT_EQ(decode(reference, &ok), in) << "decode, length " << n;
        ASSERT_TRUE(ok);
    }
}

// ---------------------------------------------------------------------------
// Decoder.

// The result block is exactly the decoded length; a byte written past it is
// reported by the sanitized build.
TEST(Base64Decode, DigestSizedTextsByPadding) {
    std::mt19937 rng(5);
    for (unsigned int n : {33u, 32u, 31u}) {
        const std::vector<unsigned char> in = randomBytes(n, rng);
        const std::string text = encodeS(in);
        ASSERT_EQ(text.size(), 44u);
        ASSERT_EQ(std::count(text.begin(), text.end(), '='), 33 - static_cast<int>(n));
        unsigned int len = 0;
        Malloced<unsigned char> out(base64_decode(text.data(), 44, &len));
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(len, n);
        EXPECT_EQ(std::vector<unsigned char>(out.get(), out.get() + len), in);
    }
}

TEST(Base64Decode, LengthNotMultipleOfFourFailsWithoutStoringLength) {
    const std::string text(48, 'A');
    for (unsigned int n : {1u, 2u, 3u, 43u, 45u, 47u}) {
        unsigned int len = 12345;
        EXPECT_EQ(base64_decode(text.data(), n, &len), nullptr) << n;
        EXPECT_EQ(len, 12345u) << n;
    }
}

TEST(Base64Decode, EmptyTextGivesEmptyBlock) {
    unsigned int len = 77;
    Malloced<unsigned char> out(base64_decode("", 0, &len));
    EXPECT_NE(out, nullptr);
    EXPECT_EQ(len, 0u);
}

TEST(Base64Decode, PaddingCountsAsZeroWherever) {
    EXPECT_EQ(decode("===="), std::vector<unsigned char>({0}));
    // Only the last two characters shorten the result; '=' elsewhere is zero.
    EXPECT_EQ(decode("QQ==QUFB"), std::vector<unsigned char>({'A', 0, 0, 'A', 'A', 'A'}));
    EXPECT_EQ(decode("AA=A"), std::vector<unsigned char>({0, 0}));
    EXPECT_EQ(decode("A=AA"), std::vector<unsigned char>({0, 0, 0}));
}

TEST(Base64Decode, ForeignCharactersCountAsZero) {
    EXPECT_EQ(decode("!*\n\xff"), decode("AAAA"));
    EXPECT_EQ(decode("Z.9v"), decode("ZA9v"));
}

TEST(Base64Decode, ReadsOnlyTheGivenLength) {
    // 44 characters used out of a longer text: the tail must be ignored.
    const std::string digestText = "q83vASNFZ4mrze8BI0VniavN7wEjRWeJq83vASNFZ4k=";
    const std::vector<unsigned char> expected = decode(digestText);
    ASSERT_EQ(expected.size(), 32u);

    const std::string withTail = digestText + "trailing garbage";
    unsigned int len = 0;
    Malloced<unsigned char> fromLonger(base64_decode(withTail.data(), 44, &len));
    ASSERT_NE(fromLonger, nullptr);
    EXPECT_EQ(std::vector<unsigned char>(fromLonger.get(), fromLonger.get() + len), expected);

    // An exact-size heap copy: the sanitized build reports any read past it.
    const std::vector<char> exact(digestText.begin(), digestText.end());
    Malloced<unsigned char> fromExact(base64_decode(exact.data(), 44, &len));
    ASSERT_NE(fromExact, nullptr);
    EXPECT_EQ(std::vector<unsigned char>(fromExact.get(), fromExact.get() + len), expected);
}

TEST(Base64DecodeTable, RebuiltAfterCleanup) {
    EXPECT_EQ(decode("Zm9v"), std::vector<unsigned char>({'f', 'o', 'o'}));
    base64_cleanup();
    EXPECT_EQ(decode("Zm9v"), std::vector<unsigned char>({'f', 'o', 'o'}));
    base64_cleanup();
    base64_cleanup();  // releasing an absent table is harmless
    build_decoding_table();
    build_decoding_table();  // a rebuild replaces the old table (LSan checks it is freed)
    EXPECT_EQ(decode("Zm9vYmFy"), std::vector<unsigned char>({'f', 'o', 'o', 'b', 'a', 'r'}));
    base64_cleanup();
}

}  // namespace
