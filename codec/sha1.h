// SHA-1 message digest and its hexadecimal rendering.
//
// Both routines are stateless, allocate nothing and may be called from
// several threads at once. On x86 CPUs with the SHA extensions the digest
// runs on them; everywhere else, and while a test asks for it, on portable
// code. Both give the same digest.
#pragma once

namespace sha1 {

// The code that computes the compression function.
enum class Engine {
    portable,       // plain C++ on 32-bit words
    shaExtensions,  // the x86 SHA instructions (sha1rnds4 and friends)
};

// Computes the 20-byte SHA-1 digest of `bytelength` bytes at `src` into
// `hash` (at least 20 bytes). Exactly `bytelength` input bytes are read and
// exactly 20 output bytes are written. A negative count is treated as 0.
void calcShaHash(const void* src, int bytelength, unsigned char* hash);

// Renders a 20-byte digest as 40 upper-case hex digits followed by a zero
// (41 bytes in all) into `hexstring`, which must not overlap `hash`.
void toHexString(const unsigned char* hash, char* hexstring);

// The engine that calcShaHash uses now: the SHA extensions when the CPU
// offers them (asked once per process, with cpuid) and the portable code is
// not forced, the portable code otherwise.
Engine engine();

// Whether the CPU offers the SHA extensions and what they need with them
// (SSSE3, SSE4.1). Always false on other architectures.
bool cpuHasShaExtensions();

// Test switch: while on, calcShaHash uses the portable code even where the
// SHA extensions are there. Off at process start; the programs never set it.
void forcePortable(bool on);

}  // namespace sha1
