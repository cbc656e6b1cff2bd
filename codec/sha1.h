// SHA-1 message digest and its hexadecimal rendering.
//
// Both routines are stateless, allocate nothing and may be called from
// several threads at once.
#pragma once

namespace sha1 {

// Computes the 20-byte SHA-1 digest of `bytelength` bytes at `src` into
// `hash` (at least 20 bytes). Exactly `bytelength` input bytes are read and
// exactly 20 output bytes are written. A negative count is treated as 0.
void calcShaHash(const void* src, int bytelength, unsigned char* hash);

// Renders a 20-byte digest as 40 upper-case hex digits followed by a zero
// (41 bytes in all) into `hexstring`, which must not overlap `hash`.
void toHexString(const unsigned char* hash, char* hexstring);

}  // namespace sha1
