#include "sha1.h"

#include <cstdint>

namespace sha1 {
namespace {

static_assert(sizeof(unsigned int) == 4, "the digest works on 32-bit words");

inline unsigned int rol(unsigned int value, int steps) {
    return (value << steps) | (value >> (32 - steps));
}

// Round bodies. Each adds the round function, constant, schedule word and
// rotated `a` into `e` and rotates `b`; the callers rotate the variable names
// instead of moving values between them. In rounds 40..59 the majority
// function is split into two disjoint terms so they can be added
// independently.
#define SHA1_W(t) (w[t] = rol(w[(t) - 3] ^ w[(t) - 8] ^ w[(t) - 14] ^ w[(t) - 16], 1))

#define SHA1_R0(a, b, c, d, e, t)                                      \
    e += rol(a, 5) + (d ^ (b & (c ^ d))) + 0x5A827999u + w[t]; \
    b = rol(b, 30)
#define SHA1_R1(a, b, c, d, e, t)                                      \
    e += rol(a, 5) + (d ^ (b & (c ^ d))) + 0x5A827999u + SHA1_W(t); \
    b = rol(b, 30)
#define SHA1_R2(a, b, c, d, e, t)                               \
    e += rol(a, 5) + (b ^ c ^ d) + 0x6ED9EBA1u + SHA1_W(t); \
    b = rol(b, 30)
#define SHA1_R3(a, b, c, d, e, t)                                                     \
    e += rol(a, 5) + (d & (b ^ c)) + (b & c) + 0x8F1BBCDCu + SHA1_W(t); \
    b = rol(b, 30)
#define SHA1_R4(a, b, c, d, e, t)                               \
    e += rol(a, 5) + (b ^ c ^ d) + 0xCA62C1D6u + SHA1_W(t); \
    b = rol(b, 30)

// Five rounds with the variable names rotated once per round.
#define SHA1_5(R, t)             \
    R(a, b, c, d, e, (t) + 0); \
    R(e, a, b, c, d, (t) + 1); \
    R(d, e, a, b, c, (t) + 2); \
    R(c, d, e, a, b, (t) + 3); \
    R(b, c, d, e, a, (t) + 4)

// One compression step: adds the result for the block in w[0..15] into
// `result`. The message schedule is built in place in w[16..79].
void innerHash(unsigned int* result, unsigned int* w) {
    unsigned int a = result[0];
    unsigned int b = result[1];
    unsigned int c = result[2];
    unsigned int d = result[3];
    unsigned int e = result[4];

    SHA1_5(SHA1_R0, 0);
    SHA1_5(SHA1_R0, 5);
    SHA1_5(SHA1_R0, 10);
    SHA1_R0(a, b, c, d, e, 15);
    SHA1_R1(e, a, b, c, d, 16);
    SHA1_R1(d, e, a, b, c, 17);
    SHA1_R1(c, d, e, a, b, 18);
    SHA1_R1(b, c, d, e, a, 19);

    SHA1_5(SHA1_R2, 20);
    SHA1_5(SHA1_R2, 25);
    SHA1_5(SHA1_R2, 30);
    SHA1_5(SHA1_R2, 35);

    SHA1_5(SHA1_R3, 40);
    SHA1_5(SHA1_R3, 45);
    SHA1_5(SHA1_R3, 50);
    SHA1_5(SHA1_R3, 55);

    SHA1_5(SHA1_R4, 60);
    SHA1_5(SHA1_R4, 65);
    SHA1_5(SHA1_R4, 70);
    SHA1_5(SHA1_R4, 75);

    result[0] += a;
    result[1] += b;
    result[2] += c;
    result[3] += d;
    result[4] += e;
}

#undef SHA1_5
#undef SHA1_R4
#undef SHA1_R3
#undef SHA1_R2
#undef SHA1_R1
#undef SHA1_R0
#undef SHA1_W

inline void clearBlock(unsigned int* w) {
    for (int i = 0; i < 16; ++i) w[i] = 0;
}

}  // namespace

void calcShaHash(const void* src, int bytelength, unsigned char* hash) {
    if (bytelength < 0) bytelength = 0;

    unsigned int result[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
    const unsigned char* sarray = static_cast<const unsigned char*>(src);
    unsigned int w[80];

    // Full 64-byte blocks, loaded as big-endian words.
    int pos = 0;
    for (; pos <= bytelength - 64; pos += 64) {
        const unsigned char* block = sarray + pos;
        for (int i = 0; i < 16; ++i) {
            w[i] = (unsigned int)block[4 * i] << 24 | (unsigned int)block[4 * i + 1] << 16 |
                   (unsigned int)block[4 * i + 2] << 8 | (unsigned int)block[4 * i + 3];
        }
        innerHash(result, w);
    }

    // The remaining 0..63 bytes, then the 0x80 terminator.
    clearBlock(w);
    const int rest = bytelength - pos;
    for (int i = 0; i < rest; ++i) w[i >> 2] |= (unsigned int)sarray[pos + i] << ((3 - (i & 3)) << 3);
    w[rest >> 2] |= 0x80u << ((3 - (rest & 3)) << 3);

    // With 56 or more bytes left the 64-bit length needs a block of its own.
    if (rest >= 56) {
        innerHash(result, w);
        clearBlock(w);
    }

    const std::uint64_t bits = static_cast<std::uint64_t>(bytelength) * 8;
    w[14] = static_cast<unsigned int>(bits >> 32);
    w[15] = static_cast<unsigned int>(bits);
    innerHash(result, w);

    for (int i = 0; i < 20; ++i) hash[i] = static_cast<unsigned char>(result[i >> 2] >> ((3 - (i & 3)) << 3));
}

void toHexString(const unsigned char* hash, char* hexstring) {
    static const char digits[] = "0123456789ABCDEF";
    for (int i = 0; i < 20; ++i) {
        hexstring[2 * i] = digits[hash[i] >> 4];
        hexstring[2 * i + 1] = digits[hash[i] & 15];
    }
    hexstring[40] = 0;
}

}  // namespace sha1
