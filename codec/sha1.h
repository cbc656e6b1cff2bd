// SHA-1 message digest and its hexadecimal rendering.
//
// Both routines are stateless, allocate nothing and may be called from
// several threads at once. On x86 CPUs the digest runs on the best engine
// the CPU offers (the SHA extensions; else a vector message schedule, on AVX2
// or SSSE3); everywhere else, and while a test asks for it, on portable code.
// All give the same digest.
#pragma once

namespace sha1 {

// The code that computes the compression function.
// Ordered from the least to the most the CPU must offer.
enum class Engine {
    portable,       // plain C++ on 32-bit words
    ssse3,          // message schedule in SSE registers (SSSE3), rounds in general registers
    avx2,           // the same on AVX with the BMI1/BMI2 rotates, where AVX2 and BMI2 are there
    shaExtensions,  // the x86 SHA instructions (sha1rnds4 and friends)
};

// Computes the 20-byte SHA-1 digest of `bytelength` bytes at `src` into
// `hash` (at least 20 bytes). Exactly `bytelength` input bytes are read and
// exactly 20 output bytes are written. A negative count is treated as 0.
void calcShaHash(const void* src, int bytelength, unsigned char* hash);

// Renders a 20-byte digest as 40 upper-case hex digits followed by a zero
// (41 bytes in all) into `hexstring`, which must not overlap `hash`.
void toHexString(const unsigned char* hash, char* hexstring);

// The engine that calcShaHash uses now: the last of the list above that the
// CPU offers (asked once per process, with cpuid) and the limit allows.
Engine engine();

// Whether the CPU offers what the engine needs (the SHA extensions with SSSE3
// and SSE4.1; AVX2, BMI1 and BMI2 with the system saving the AVX registers;
// SSSE3). Only the portable code on other architectures.
bool cpuHas(Engine which);

// Test switch: calcShaHash uses no engine beyond `limit`. The SHA extensions
// at process start; the programs never set it.
void limitEngine(Engine limit);

// "portable", "SSSE3", "AVX2+BMI2" or "SHA extensions".
const char* engineName(Engine which);

}  // namespace sha1
