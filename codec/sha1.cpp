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

// The engines this CPU can run, one bit per Engine value, from cpuid (and,
// for the AVX registers, xgetbv):
//   leaf 1, ECX: SSSE3 bit 9, SSE4.1 bit 19, OSXSAVE bit 27, AVX bit 28;
//   leaf 7, sub-leaf 0, EBX: BMI1 bit 3, AVX2 bit 5, BMI2 bit 8, SHA bit 29;
//   XCR0 bits 1 and 2: the system saves the SSE and AVX registers.
unsigned int detectEngines() {
    unsigned int engines = 1u << static_cast<int>(Engine::portable);
    unsigned int a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d) || (c & (1u << 9)) == 0) return engines;
    engines |= 1u << static_cast<int>(Engine::ssse3);
    const bool sse41 = (c & (1u << 19)) != 0;
    bool avx = (c & (1u << 27)) != 0 && (c & (1u << 28)) != 0;
    if (avx) {
        unsigned int low = 0, high = 0;
        __asm__ __volatile__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
        avx = (low & 6u) == 6u;
    }
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return engines;
    const unsigned int bmiAvx2 = (1u << 3) | (1u << 5) | (1u << 8);
    if (avx && (b & bmiAvx2) == bmiAvx2) engines |= 1u << static_cast<int>(Engine::avx2);
    if (sse41 && (b & (1u << 29)) != 0) engines |= 1u << static_cast<int>(Engine::shaExtensions);
    return engines;
}

// On i386 the vector functions align their own stack frames for the vector
// spills, whatever alignment their callers keep.
#ifdef __i386__
#define SHA1_ALIGN_STACK __attribute__((force_align_arg_pointer))
#else
#define SHA1_ALIGN_STACK
#endif

// The vector engines: the message schedule four words at a time in vector
// registers, the rounds in general registers, for CPUs without the SHA
// extensions. Words 16..31 follow the definition, with the fourth word of
// each group finished after the rotation (it depends on the group's first);
// words 32..79 use the equivalent w[i] = rol(w[i-6] ^ w[i-16] ^ w[i-28] ^
// w[i-32], 2), whose inputs all lie in earlier groups. The words with their
// round constant added go to memory, and each round adds one of them.
//
// The schedule is written once for any vector width whose operations work
// on 128-bit lanes independently: with SSE registers it is one block's, with
// AVX2 registers two blocks' side by side (the first in the low lane), so
// that group g of block `lane` lies at wk[(g * lanes + lane) * 4].
#define SHA1_VROL(x, n) SHA1_OR(SHA1_SLL(x, n), SHA1_SRL(x, 32 - (n)))
#define SHA1_STORE_GROUP(g, k) SHA1_STORE(wk + 4 * lanes * (g), SHA1_ADD(w##g, k))
#define SHA1_GROUP_EARLY(g, m16, m12, m8, m4, k)                                                                \
    {                                                                                                          \
        const V t = SHA1_XOR(SHA1_XOR(m16, SHA1_ALIGNR(m12, m16, 8)), SHA1_XOR(m8, SHA1_SRLB(m4, 4)));         \
        const V first = SHA1_SLLB(t, 12);                                                                      \
        w##g = SHA1_XOR(SHA1_VROL(t, 1), SHA1_VROL(first, 2));                                                 \
        SHA1_STORE_GROUP(g, k);                                                                                \
    }
#define SHA1_GROUP_LATE(g, m8, m7, m4, m2, m1, k)                                                                \
    {                                                                                                          \
        const V t = SHA1_XOR(SHA1_XOR(SHA1_ALIGNR(m1, m2, 8), m4), SHA1_XOR(m7, m8));                          \
        w##g = SHA1_VROL(t, 2);                                                                                \
        SHA1_STORE_GROUP(g, k);                                                                                \
    }
#define SHA1_SCHEDULE                                                        \
    SHA1_STORE_GROUP(0, k0);                                                 \
    SHA1_STORE_GROUP(1, k0);                                                 \
    SHA1_STORE_GROUP(2, k0);                                                 \
    SHA1_STORE_GROUP(3, k0);                                                 \
    V w4, w5, w6, w7, w8, w9, w10, w11, w12, w13, w14, w15, w16, w17, w18, w19; \
    SHA1_GROUP_EARLY(4, w0, w1, w2, w3, k0)                                  \
    SHA1_GROUP_EARLY(5, w1, w2, w3, w4, k1)                                  \
    SHA1_GROUP_EARLY(6, w2, w3, w4, w5, k1)                                  \
    SHA1_GROUP_EARLY(7, w3, w4, w5, w6, k1)                                  \
    SHA1_GROUP_LATE(8, w0, w1, w4, w6, w7, k1)                               \
    SHA1_GROUP_LATE(9, w1, w2, w5, w7, w8, k1)                               \
    SHA1_GROUP_LATE(10, w2, w3, w6, w8, w9, k2)                              \
    SHA1_GROUP_LATE(11, w3, w4, w7, w9, w10, k2)                             \
    SHA1_GROUP_LATE(12, w4, w5, w8, w10, w11, k2)                            \
    SHA1_GROUP_LATE(13, w5, w6, w9, w11, w12, k2)                            \
    SHA1_GROUP_LATE(14, w6, w7, w10, w12, w13, k2)                           \
    SHA1_GROUP_LATE(15, w7, w8, w11, w13, w14, k3)                           \
    SHA1_GROUP_LATE(16, w8, w9, w12, w14, w15, k3)                           \
    SHA1_GROUP_LATE(17, w9, w10, w13, w15, w16, k3)                          \
    SHA1_GROUP_LATE(18, w10, w11, w14, w16, w17, k3)                         \
    SHA1_GROUP_LATE(19, w11, w12, w15, w17, w18, k3)                         \
    /* The rounds read the words from memory, as operands of their additions, \
       rather than have them moved out of the vector registers one by one. */ \
    __asm__ __volatile__("" : : : "memory")

// The 80 rounds of one block whose schedule words (plus constants) lie at
// wk[(t / 4 * lanes) * 4 + t % 4].
#define SHA1_V0(a, b, c, d, e, t)                                      \
    e += rol(a, 5) + (d ^ (b & (c ^ d))) + wk[(t) / 4 * 4 * lanes + (t) % 4]; \
    b = rol(b, 30)
#define SHA1_V1(a, b, c, d, e, t)                                      \
    e += rol(a, 5) + (b ^ c ^ d) + wk[(t) / 4 * 4 * lanes + (t) % 4];    \
    b = rol(b, 30)
#define SHA1_V2(a, b, c, d, e, t)                                              \
    e += rol(a, 5) + (d & (b ^ c)) + (b & c) + wk[(t) / 4 * 4 * lanes + (t) % 4]; \
    b = rol(b, 30)

template <int lanes>
__attribute__((always_inline)) inline void roundsFromSchedule(unsigned int* result, const unsigned int* wk) {
    unsigned int a = result[0];
    unsigned int b = result[1];
    unsigned int c = result[2];
    unsigned int d = result[3];
    unsigned int e = result[4];
    SHA1_5(SHA1_V0, 0);
    SHA1_5(SHA1_V0, 5);
    SHA1_5(SHA1_V0, 10);
    SHA1_5(SHA1_V0, 15);
    SHA1_5(SHA1_V1, 20);
    SHA1_5(SHA1_V1, 25);
    SHA1_5(SHA1_V1, 30);
    SHA1_5(SHA1_V1, 35);
    SHA1_5(SHA1_V2, 40);
    SHA1_5(SHA1_V2, 45);
    SHA1_5(SHA1_V2, 50);
    SHA1_5(SHA1_V2, 55);
    SHA1_5(SHA1_V1, 60);
    SHA1_5(SHA1_V1, 65);
    SHA1_5(SHA1_V1, 70);
    SHA1_5(SHA1_V1, 75);
    result[0] += a;
    result[1] += b;
    result[2] += c;
    result[3] += d;
    result[4] += e;
}

#undef SHA1_V2
#undef SHA1_V1
#undef SHA1_V0

// One block at a time in SSE registers.
#define V __m128i
#define SHA1_XOR _mm_xor_si128
#define SHA1_OR _mm_or_si128
#define SHA1_ADD _mm_add_epi32
#define SHA1_SLL _mm_slli_epi32
#define SHA1_SRL _mm_srli_epi32
#define SHA1_SLLB _mm_slli_si128
#define SHA1_SRLB _mm_srli_si128
#define SHA1_ALIGNR _mm_alignr_epi8
#define SHA1_STORE(p, x) _mm_store_si128(reinterpret_cast<__m128i*>(p), x)

__attribute__((always_inline, target("ssse3"))) inline void compressVector(unsigned int* result,
                                                                          const unsigned char* data,
                                                                          std::size_t blocks) {
    const int lanes = 1;
    const V reverse = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
    const V k0 = _mm_set1_epi32(0x5A827999);
    const V k1 = _mm_set1_epi32(0x6ED9EBA1);
    const V k2 = _mm_set1_epi32(static_cast<int>(0x8F1BBCDCu));
    const V k3 = _mm_set1_epi32(static_cast<int>(0xCA62C1D6u));
    alignas(16) unsigned int wk[80];
    for (; blocks != 0; --blocks, data += 64) {
        const V* in = reinterpret_cast<const V*>(data);
        const V w0 = _mm_shuffle_epi8(_mm_loadu_si128(in), reverse);
        const V w1 = _mm_shuffle_epi8(_mm_loadu_si128(in + 1), reverse);
        const V w2 = _mm_shuffle_epi8(_mm_loadu_si128(in + 2), reverse);
        const V w3 = _mm_shuffle_epi8(_mm_loadu_si128(in + 3), reverse);
        SHA1_SCHEDULE;
        roundsFromSchedule<1>(result, wk);
    }
}

#undef SHA1_STORE
#undef SHA1_ALIGNR
#undef SHA1_SRLB
#undef SHA1_SLLB
#undef SHA1_SRL
#undef SHA1_SLL
#undef SHA1_ADD
#undef SHA1_OR
#undef SHA1_XOR
#undef V

SHA1_ALIGN_STACK __attribute__((target("ssse3"))) void compressSsse3(unsigned int* result,
                                                                   const unsigned char* data,
                                                                   std::size_t blocks) {
    compressVector(result, data, blocks);
}

// Two blocks at a time in AVX2 registers, the rounds with the BMI rotates and
// and-not; a last odd block takes the SSE schedule in AVX encoding.
#define V __m256i
#define SHA1_XOR _mm256_xor_si256
#define SHA1_OR _mm256_or_si256
#define SHA1_ADD _mm256_add_epi32
#define SHA1_SLL _mm256_slli_epi32
#define SHA1_SRL _mm256_srli_epi32
#define SHA1_SLLB _mm256_slli_si256
#define SHA1_SRLB _mm256_srli_si256
#define SHA1_ALIGNR _mm256_alignr_epi8
#define SHA1_STORE(p, x) _mm256_store_si256(reinterpret_cast<__m256i*>(p), x)

SHA1_ALIGN_STACK __attribute__((target("avx2,bmi,bmi2"))) void compressAvx2(unsigned int* result,
                                                                          const unsigned char* data,
                                                                          std::size_t blocks) {
    const int lanes = 2;
    const V reverse = _mm256_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3, 12, 13, 14, 15, 8, 9,
                                      10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
    const V k0 = _mm256_set1_epi32(0x5A827999);
    const V k1 = _mm256_set1_epi32(0x6ED9EBA1);
    const V k2 = _mm256_set1_epi32(static_cast<int>(0x8F1BBCDCu));
    const V k3 = _mm256_set1_epi32(static_cast<int>(0xCA62C1D6u));
    alignas(32) unsigned int wk[160];
    for (; blocks >= 2; blocks -= 2, data += 128) {
        const __m128i* in = reinterpret_cast<const __m128i*>(data);
#define SHA1_LOAD2(i) \
    _mm256_shuffle_epi8(_mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(in + (i))), _mm_loadu_si128(in + 4 + (i)), 1), reverse)
        const V w0 = SHA1_LOAD2(0);
        const V w1 = SHA1_LOAD2(1);
        const V w2 = SHA1_LOAD2(2);
        const V w3 = SHA1_LOAD2(3);
#undef SHA1_LOAD2
        SHA1_SCHEDULE;
        roundsFromSchedule<2>(result, wk);
        roundsFromSchedule<2>(result, wk + 4);
    }
    if (blocks != 0) compressVector(result, data, 1);
}

#undef SHA1_STORE
#undef SHA1_ALIGNR
#undef SHA1_SRLB
#undef SHA1_SLLB
#undef SHA1_SRL
#undef SHA1_SLL
#undef SHA1_ADD
#undef SHA1_OR
#undef SHA1_XOR
#undef V
#undef SHA1_SCHEDULE
#undef SHA1_GROUP_LATE
#undef SHA1_GROUP_EARLY
#undef SHA1_STORE_GROUP
#undef SHA1_VROL

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

// The whole digest with a block function: the full blocks straight from the
// input, then the rest with its padding in one or two blocks of its own.
void calcWithBlocks(void (*compress)(unsigned int*, const unsigned char*, std::size_t), const unsigned char* src,
                    std::size_t length, unsigned char* hash) {
    unsigned int result[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
    const std::size_t full = length / 64;
    if (full != 0) compress(result, src, full);

    unsigned char tail[128] = {};
    const std::size_t rest = length % 64;
    if (rest != 0) std::memcpy(tail, src + full * 64, rest);
    tail[rest] = 0x80;
    const std::size_t tailBlocks = rest >= 56 ? 2 : 1;
    const std::uint64_t bits = static_cast<std::uint64_t>(length) * 8;
    for (int i = 0; i < 8; ++i) tail[tailBlocks * 64 - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
    compress(result, tail, tailBlocks);

    writeDigest(result, hash);
}

#else

unsigned int detectEngines() { return 1u << static_cast<int>(Engine::portable); }

#endif

#undef SHA1_5

// Asked once, while the process starts. A digest computed before that (from
// another unit's start-up code) sees no engine but the portable code.
const unsigned int availableEngines = detectEngines();

std::atomic<Engine> ceiling{Engine::shaExtensions};

}  // namespace

bool cpuHas(Engine which) { return (availableEngines >> static_cast<int>(which) & 1u) != 0; }

Engine engine() {
    int which = static_cast<int>(ceiling.load(std::memory_order_relaxed));
    while (which > 0 && !cpuHas(static_cast<Engine>(which))) --which;
    return static_cast<Engine>(which);
}

void limitEngine(Engine limit) { ceiling.store(limit, std::memory_order_relaxed); }

const char* engineName(Engine which) {
    switch (which) {
    case Engine::portable: return "portable";
    case Engine::ssse3: return "SSSE3";
    case Engine::avx2: return "AVX2+BMI2";
    case Engine::shaExtensions: return "SHA extensions";
    }
    return "?";
}

void calcShaHash(const void* src, int bytelength, unsigned char* hash) {
    if (bytelength < 0) bytelength = 0;
#ifdef SHA1_X86
    void (*compress)(unsigned int*, const unsigned char*, std::size_t) = nullptr;
    switch (engine()) {
    case Engine::shaExtensions: compress = compressShaExtensions; break;
    case Engine::avx2: compress = compressAvx2; break;
    case Engine::ssse3: compress = compressSsse3; break;
    case Engine::portable: break;
    }
    if (compress) {
        calcWithBlocks(compress, static_cast<const unsigned char*>(src), static_cast<std::size_t>(bytelength), hash);
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
