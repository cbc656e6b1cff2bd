// The PIN in memory. The module keeps PINs masked, every byte XORed with
// kPinMask, and never builds a clear copy of one: a scan of the process's
// memory for a PIN the program should have wiped (check-pin-wiped) then finds
// only the program's own copies.
#pragma once

#include <cstddef>
#include <string>

namespace p11mock {

const unsigned char kPinMask = 0x5a;

std::string maskedText(const std::string& text);

// Overwrites every byte a string owns, then empties it.
void wipeText(std::string& text);

// Whether the n clear bytes are the masked PIN, compared without unmasking it.
bool matchesMasked(const unsigned char* clear, size_t n, const std::string& masked);

// Looks for every slot's PIN in the process's writable memory and asks
// whether a crash would leave a core dump; the result goes into the log.
// Where a PIN was found is told on stderr.
std::string pinCheck();

}  // namespace p11mock
