#include "sha1.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

// The SHA extensions exist on x86 only. Their code is compiled for them by a
// target attribute on the one function that uses them, so the rest of the
// program (and the program as a whole) still runs on CPUs without them.
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define SHA1_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

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

// Byte i of the digest is state word i / 4, most significant byte first.
inline void writeDigest(const unsigned int* result, unsigned char* hash) {
    for (int i = 0; i < 20; ++i) hash[i] = static_cast<unsigned char>(result[i >> 2] >> ((3 - (i & 3)) << 3));
}

#ifdef SHA1_X86

// cpuid leaf 1: SSSE3 (ECX bit 9) and SSE4.1 (ECX bit 19) for the byte
// shuffle and the lane extract; leaf 7, sub-leaf 0: SHA (EBX bit 29).
bool detectShaExtensions() {
    unsigned int a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    if ((c & (1u << 9)) == 0 || (c & (1u << 19)) == 0) return false;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return (b & (1u << 29)) != 0;
}

// Four rounds: `ea` gets the E value of this quarter-step (the rotated A of
// four rounds back plus the schedule words `w`), `eb` keeps A..D for the
// next quarter-step, `f` selects the round function and constant (0..3).
#define SHA1_QUAD(ea, eb, w, f)          \
    ea = _mm_sha1nexte_epu32(ea, w);     \
    eb = abcd;                           \
    abcd = _mm_sha1rnds4_epu32(abcd, ea, f)

// The message schedule around the schedule words `w` just used: finishes
// the next four words, adds `w` into the ones after them and starts the last.
#define SHA1_SCHEDULE(w, next, after, last) \
    next = _mm_sha1msg2_epu32(next, w);     \
    after = _mm_xor_si128(after, w);        \
    last = _mm_sha1msg1_epu32(last, w)

// Adds `blocks` 64-byte blocks at `data` into `result`, with the SHA
// instructions. A..D travel in one register (A in the top lane), E in the
// top lane of another; each block's 16 words are byte-swapped into four
// registers, highest word first, and the schedule is computed four words
// at a time in the same four registers.
// On i386 the function also aligns its own stack frame for the vector
// spills, whatever alignment its caller keeps.
#ifdef __i386__
#define SHA1_ALIGN_STACK __attribute__((force_align_arg_pointer))
#else
#define SHA1_ALIGN_STACK
#endif
SHA1_ALIGN_STACK __attribute__((target("sha,sse4.1"))) void compressShaExtensions(unsigned int* result, const unsigned char* data,
                                                                   std::size_t blocks) {
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(result)), 0x1B);
    __m128i e0 = _mm_set_epi32(static_cast<int>(result[4]), 0, 0, 0);
    __m128i e1;

    for (; blocks != 0; --blocks, data += 64) {
        const __m128i abcdSaved = abcd;
        const __m128i eSaved = e0;
        __m128i w0 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data)), reverse);
        __m128i w1 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16)), reverse);
        __m128i w2 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 32)), reverse);
        __m128i w3 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 48)), reverse);

        // Rounds 0..15 take the block's words; the schedule starts on the way.
        e0 = _mm_add_epi32(e0, w0);
        e1 = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, e0, 0);
        SHA1_QUAD(e1, e0, w1, 0);
        w0 = _mm_sha1msg1_epu32(w0, w1);
        SHA1_QUAD(e0, e1, w2, 0);
        w1 = _mm_sha1msg1_epu32(w1, w2);
        w0 = _mm_xor_si128(w0, w2);
        SHA1_QUAD(e1, e0, w3, 0);
        SHA1_SCHEDULE(w3, w0, w1, w2);

        // Rounds 16..67.
        SHA1_QUAD(e0, e1, w0, 0);
        SHA1_SCHEDULE(w0, w1, w2, w3);
        SHA1_QUAD(e1, e0, w1, 1);
        SHA1_SCHEDULE(w1, w2, w3, w0);
        SHA1_QUAD(e0, e1, w2, 1);
        SHA1_SCHEDULE(w2, w3, w0, w1);
        SHA1_QUAD(e1, e0, w3, 1);
        SHA1_SCHEDULE(w3, w0, w1, w2);
        SHA1_QUAD(e0, e1, w0, 1);
        SHA1_SCHEDULE(w0, w1, w2, w3);
        SHA1_QUAD(e1, e0, w1, 1);
        SHA1_SCHEDULE(w1, w2, w3, w0);
        SHA1_QUAD(e0, e1, w2, 2);
        SHA1_SCHEDULE(w2, w3, w0, w1);
        SHA1_QUAD(e1, e0, w3, 2);
        SHA1_SCHEDULE(w3, w0, w1, w2);
        SHA1_QUAD(e0, e1, w0, 2);
        SHA1_SCHEDULE(w0, w1, w2, w3);
        SHA1_QUAD(e1, e0, w1, 2);
        SHA1_SCHEDULE(w1, w2, w3, w0);
        SHA1_QUAD(e0, e1, w2, 2);
        SHA1_SCHEDULE(w2, w3, w0, w1);
        SHA1_QUAD(e1, e0, w3, 3);
        SHA1_SCHEDULE(w3, w0, w1, w2);
        SHA1_QUAD(e0, e1, w0, 3);
        SHA1_SCHEDULE(w0, w1, w2, w3);

        // Rounds 68..79 need no words beyond the 80th.
        SHA1_QUAD(e1, e0, w1, 3);
        w2 = _mm_sha1msg2_epu32(w2, w1);
        w3 = _mm_xor_si128(w3, w1);
        SHA1_QUAD(e0, e1, w2, 3);
        w3 = _mm_sha1msg2_epu32(w3, w2);
        SHA1_QUAD(e1, e0, w3, 3);

        // e0 holds A..D of four rounds back: its rotated A is the new E.
        e0 = _mm_sha1nexte_epu32(e0, eSaved);
        abcd = _mm_add_epi32(abcd, abcdSaved);
    }

    _mm_storeu_si128(reinterpret_cast<__m128i*>(result), _mm_shuffle_epi32(abcd, 0x1B));
    result[4] = static_cast<unsigned int>(_mm_extract_epi32(e0, 3));
}

#undef SHA1_ALIGN_STACK
#undef SHA1_SCHEDULE
#undef SHA1_QUAD

// The whole digest on the SHA extensions: the full blocks straight from the
// input, then the rest with its padding in one or two blocks of its own.
void calcShaExtensions(const unsigned char* src, std::size_t length, unsigned char* hash) {
    unsigned int result[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
    const std::size_t full = length / 64;
    if (full != 0) compressShaExtensions(result, src, full);

    unsigned char tail[128] = {};
    const std::size_t rest = length % 64;
    if (rest != 0) std::memcpy(tail, src + full * 64, rest);
    tail[rest] = 0x80;
    const std::size_t tailBlocks = rest >= 56 ? 2 : 1;
    const std::uint64_t bits = static_cast<std::uint64_t>(length) * 8;
    for (int i = 0; i < 8; ++i) tail[tailBlocks * 64 - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
    compressShaExtensions(result, tail, tailBlocks);

    writeDigest(result, hash);
}

#else

bool detectShaExtensions() { return false; }

#endif

// Asked once, while the process starts. A digest computed before that (from
// another unit's start-up code) sees false and takes the portable code.
const bool haveShaExtensions = detectShaExtensions();

std::atomic<bool> portableForced{false};

}  // namespace

Engine engine() {
    return haveShaExtensions && !portableForced.load(std::memory_order_relaxed) ? Engine::shaExtensions
                                                                                : Engine::portable;
}

bool cpuHasShaExtensions() { return haveShaExtensions; }

void forcePortable(bool on) { portableForced.store(on, std::memory_order_relaxed); }

void calcShaHash(const void* src, int bytelength, unsigned char* hash) {
    if (bytelength < 0) bytelength = 0;
#ifdef SHA1_X86
    if (engine() == Engine::shaExtensions) {
        calcShaExtensions(static_cast<const unsigned char*>(src), static_cast<std::size_t>(bytelength), hash);
        return;
    }
#endif

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

    writeDigest(result, hash);
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
