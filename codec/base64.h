// Base64 (standard alphabet, "=" padding) encoding and decoding.
//
// The encoders emit one unbroken run of characters: no line breaks, no
// terminating zero in the malloc'd variant. The decoder accepts any text whose
// length is a multiple of four and does not validate characters.
#pragma once

#include <cstddef>
#include <string>

// Encodes `input_length` bytes using characters 0..63 of `alphabet` (which must
// hold at least 64 characters; any beyond the 64th are ignored). Padding is
// always '='. The result has 4 * ceil(n / 3) characters.
std::string base64_encode_s(const unsigned char* data, unsigned int input_length,
                            const std::string& alphabet);

// Encodes with the standard alphabet into `out`, which has room for
// 4 * ceil(n / 3) characters; returns that count. No terminating zero.
std::size_t base64_encode_into(char* out, const unsigned char* data, unsigned int input_length);

// Encodes with the standard alphabet into a malloc'd block of exactly the
// encoded length (no terminating zero). The encoded length is stored through
// `output_length` before anything else happens; returns null when the block
// cannot be allocated. The caller releases the block with free().
char* base64_encode(const unsigned char* data, unsigned int input_length,
                    unsigned int* output_length);

// Decodes `input_length` characters of `data` (no terminator needed; nothing
// past `input_length` is read) into a malloc'd block of exactly the decoded
// length. Returns null without touching `*output_length` when the length is not
// a multiple of four or the reverse table cannot be built; returns null after
// storing the length when the result block cannot be allocated. An empty text
// yields a non-null one-byte block with length 0. '=' counts as 0 wherever it
// stands, and so does every character outside the alphabet. The caller
// releases the block with free().
unsigned char* base64_decode(const char* data, unsigned int input_length,
                             unsigned int* output_length);

// Builds a fresh reverse table (replacing any existing one). base64_decode
// calls this itself when no table exists.
void build_decoding_table();

// Releases the reverse table; a later base64_decode builds it again.
void base64_cleanup();
