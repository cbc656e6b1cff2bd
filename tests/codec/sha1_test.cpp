#include <openssl/evp.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <initializer_list>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sha1.h"
#include "test_support.h"

namespace sha1 {
// How the engine parameter shows in test names and messages.
void PrintTo(Engine engine, std::ostream* out) { *out << engineName(engine); }
}  // namespace sha1

namespace {

using codec_test::randomBytes;

std::string hexDigest(const void* data, int n) {
    unsigned char digest[20];
    char text[41];
    sha1::calcShaHash(data, n, digest);
    sha1::toHexString(digest, text);
    return text;
}

std::string hexDigest(const std::string& s) { return hexDigest(s.data(), static_cast<int>(s.size())); }

std::string openSslHex(const std::vector<unsigned char>& in) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_Digest(in.data(), in.size(), digest, &n, EVP_sha1(), nullptr) != 1 || n != 20) return "EVP_Digest failed";
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned int i = 0; i < n; ++i) {
        out += digits[digest[i] >> 4];
        out += digits[digest[i] & 15];
    }
    return out;
}

// ---------------------------------------------------------------------------
// The engines.

// Every digest test below runs once per engine. Where the CPU lacks what an
// engine needs, and where an emulator runs the tests (QEMU's user mode, which
// runs the i386 tests on machines without 32-bit mode, offers neither the SHA
// extensions nor AVX2), the run meant for it goes through the best engine
// below it, as the programs do there, and says so.
class Sha1Engines : public ::testing::TestWithParam<sha1::Engine> {
protected:
    void SetUp() override {
        sha1::limitEngine(GetParam());
        int expected = static_cast<int>(GetParam());
        while (!sha1::cpuHas(static_cast<sha1::Engine>(expected))) --expected;
        ASSERT_EQ(sha1::engine(), static_cast<sha1::Engine>(expected));
        if (sha1::engine() != GetParam())
            std::cout << "cpuid offers no " << sha1::engineName(GetParam()) << " here: this run went through "
                      << sha1::engineName(sha1::engine()) << "\n";
    }
    void TearDown() override { sha1::limitEngine(sha1::Engine::shaExtensions); }
};

std::string engineName(const ::testing::TestParamInfo<sha1::Engine>& info) {
    switch (info.param) {
    case sha1::Engine::portable: return "portable";
    case sha1::Engine::ssse3: return "ssse3";
    case sha1::Engine::avx2: return "avx2";
    case sha1::Engine::shaExtensions: return "shaExtensions";
    }
    return "unknown";
}

using Sha1Vectors = Sha1Engines;
using Sha1Differential = Sha1Engines;
using Sha1Contract = Sha1Engines;
const auto kEngines = ::testing::Values(sha1::Engine::portable, sha1::Engine::ssse3, sha1::Engine::avx2,
                                        sha1::Engine::shaExtensions);
INSTANTIATE_TEST_SUITE_P(Engine, Sha1Vectors, kEngines, engineName);
INSTANTIATE_TEST_SUITE_P(Engine, Sha1Differential, kEngines, engineName);
INSTANTIATE_TEST_SUITE_P(Engine, Sha1Contract, kEngines, engineName);

// The switch, and the choice against the kernel's own reading of the CPU: a
// broken cpuid test would otherwise only skip the runs above.
TEST(Sha1Engine, ChosenFromCpuidAndSwitchable) {
    int best = static_cast<int>(sha1::Engine::shaExtensions);
    while (!sha1::cpuHas(static_cast<sha1::Engine>(best))) --best;
    const sha1::Engine chosen = static_cast<sha1::Engine>(best);
    EXPECT_TRUE(sha1::cpuHas(sha1::Engine::portable));
    EXPECT_EQ(sha1::engine(), chosen);
    sha1::limitEngine(sha1::Engine::portable);
    EXPECT_EQ(sha1::engine(), sha1::Engine::portable);
    sha1::limitEngine(sha1::Engine::shaExtensions);
    EXPECT_EQ(sha1::engine(), chosen);
    std::cout << "SHA-1 engine: " << sha1::engineName(chosen) << "\n";

#if defined(__x86_64__)
    // Only in 64-bit builds: an i386 test may run under an emulator that
    // hides what this file shows.
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.compare(0, 5, "flags") != 0) continue;
        std::istringstream words(line);
        std::string flag;
        std::set<std::string> flags;
        while (words >> flag) flags.insert(flag);
        const auto has = [&flags](std::initializer_list<const char*> names) {
            for (const char* name : names)
                if (flags.count(name) == 0) return false;
            return true;
        };
        EXPECT_EQ(sha1::cpuHas(sha1::Engine::shaExtensions), has({"sha_ni", "ssse3", "sse4_1"}));
        EXPECT_EQ(sha1::cpuHas(sha1::Engine::avx2), has({"avx", "avx2", "bmi1", "bmi2"}));
        EXPECT_EQ(sha1::cpuHas(sha1::Engine::ssse3), has({"ssse3"}));
        break;
    }
#endif
}

// ---------------------------------------------------------------------------
// Published vectors.

TEST_P(Sha1Vectors, NistMessages) {
    EXPECT_EQ(hexDigest(""), "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
    EXPECT_EQ(hexDigest("abc"), "A9993E364706816ABA3E25717850C26C9CD0D89D");
    EXPECT_EQ(hexDigest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983E441C3BD26EBAAE4AA1F95129E5E54670F1");
    EXPECT_EQ(hexDigest("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
                        "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu"),
              "A49B2446A02C645BF419F995B67091253A04A259");
}

TEST_P(Sha1Vectors, OneMillionA) {
    EXPECT_EQ(hexDigest(std::string(1000000, 'a')), "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F");
}

// Lengths around the padding boundaries: 55 leaves room for the length field,
// 56..63 need an extra block, 64 is one full block plus a padding block.
TEST_P(Sha1Vectors, PaddingBoundaries) {
    const struct {
        int length;
        const char* digest;
    } cases[] = {
        {55, "C1C8BBDC22796E28C0E15163D20899B65621D65A"},  {56, "C2DB330F6083854C99D4B5BFB6E8F29F201BE699"},
        {63, "03F09F5B158A7A8CDAD920BDDC29B81C18A551F5"},  {64, "0098BA824B5C16427BD7A1122A5A442A25EC644D"},
        {65, "11655326C708D70319BE2610E8A57D9A5B959D3B"},  {119, "EE971065AAA017E0632A8CA6C77BB3BF8B1DFC56"},
        {120, "F34C1488385346A55709BA056DDD08280DD4C6D6"}, {128, "AD5B3FDBCB526778C2839D2F151EA753995E26A0"},
    };
    for (const auto& c : cases) EXPECT_EQ(hexDigest(std::string(c.length, 'a')), c.digest) << "length " << c.length;
}

// The bit count no longer fits 32 bits beyond 512 MiB of input.
TEST_P(Sha1Vectors, LengthFieldWiderThan32Bits) {
    const std::size_t n = (std::size_t(1) << 29) + 7;
    void* zeros = std::calloc(n, 1);
    ASSERT_NE(zeros, nullptr) << "cannot allocate " << n << " bytes";
    EXPECT_EQ(hexDigest(zeros, static_cast<int>(n)), "DB6FDCE71389C509DE5D64D7465FFC9AF4051C9F");
    std::free(zeros);
}

// ---------------------------------------------------------------------------
// Against OpenSSL.

TEST_P(Sha1Differential, EveryLengthUpTo4KiB) {
    std::mt19937 rng(1234);
    const std::vector<unsigned char> data = randomBytes(4096, rng);
    for (int n = 0; n <= 4096; ++n) {
        std::vector<unsigned char> prefix(data.begin(), data.begin() + n);
        ASSERT_EQ(hexDigest(prefix.data(), n), openSslHex(prefix)) << "length " << n;
    }
}

// Up to 64 KiB: the lengths around every block boundary (the last one whose
// padding fits its block, the first that needs one more, a block less one
// byte, a whole number of blocks, one byte more) and random lengths between.
TEST_P(Sha1Differential, AroundEveryBlockBoundaryUpTo64KiB) {
    std::mt19937 rng(4321);
    const int kMax = 64 << 10;
    std::vector<int> lengths;
    for (int boundary = 64; boundary <= kMax; boundary += 64)
        for (int offset : {-9, -8, -1, 0, 1}) lengths.push_back(boundary + offset);
    std::uniform_int_distribution<int> any(0, kMax);
    for (int i = 0; i < 256; ++i) lengths.push_back(any(rng));

    const std::vector<unsigned char> data = randomBytes(kMax + 1, rng);
    for (int n : lengths) {
        // An exact-size copy, so that the sanitized build sees any read past it.
        const std::vector<unsigned char> in(data.begin(), data.begin() + n);
        ASSERT_EQ(hexDigest(in.data(), n), openSslHex(in)) << "length " << n;
    }
}

TEST_P(Sha1Differential, SeededLongerInputs) {
    std::mt19937 rng(98765);
    std::uniform_int_distribution<int> length(4097, 3 << 20);
    for (int i = 0; i < 16; ++i) {
        const int n = length(rng);
        const std::vector<unsigned char> in = randomBytes(static_cast<std::size_t>(n), rng);
        ASSERT_EQ(hexDigest(in.data(), n), openSslHex(in)) << "length " << n;
    }
}

// ---------------------------------------------------------------------------
// Interface contract.

// Input reads past the count show up in the sanitized build (exact-size
// input); the digest buffer is checked with a guard.
TEST_P(Sha1Contract, ReadsAndWritesOnlyTheirBuffers) {
    std::mt19937 rng(42);
    for (int n = 0; n <= 130; ++n) {
        const std::vector<unsigned char> in = randomBytes(static_cast<std::size_t>(n), rng);
        unsigned char digest[24];
        std::memset(digest, 0xA5, sizeof digest);
        sha1::calcShaHash(in.data(), n, digest);
        for (int i = 20; i < 24; ++i) ASSERT_EQ(digest[i], 0xA5) << "digest overrun at length " << n;
        char text[41];
        sha1::toHexString(digest, text);
        ASSERT_EQ(text, openSslHex(in)) << "length " << n;
    }
}

TEST_P(Sha1Contract, NegativeCountHashesNothing) {
    const char data[] = "ignored";
    EXPECT_EQ(hexDigest(data, -1), "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
    EXPECT_EQ(hexDigest(data, -2147483647 - 1), "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
}

TEST(Sha1HexString, UpperCaseDigitsAndTerminator) {
    unsigned char digest[20];
    for (int i = 0; i < 20; ++i) digest[i] = static_cast<unsigned char>(i * 13 + 5);
    digest[0] = 0x00;
    digest[1] = 0x0F;
    digest[2] = 0xF0;
    digest[3] = 0xFF;
    digest[4] = 0xAB;

    char text[48];
    std::memset(text, '#', sizeof text);
    sha1::toHexString(digest, text);
    EXPECT_EQ(std::string(text, 10), "000FF0FFAB");
    for (int i = 0; i < 40; ++i) {
        ASSERT_TRUE(std::isdigit(static_cast<unsigned char>(text[i])) || (text[i] >= 'A' && text[i] <= 'F')) << i;
        const int nibble = (i % 2 == 0) ? digest[i / 2] >> 4 : digest[i / 2] & 15;
        ASSERT_EQ(text[i], "0123456789ABCDEF"[nibble]) << i;
    }
    EXPECT_EQ(text[40], '\0');
    for (std::size_t i = 41; i < sizeof text; ++i) EXPECT_EQ(text[i], '#') << "overrun at " << i;
}

}  // namespace
