// Overwrites memory that held a secret with zeros in a way the compiler may
// not drop as a dead store.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

inline void wipeMemory(void* data, size_t size)
{
    if (!data || size == 0)
        return;
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 25))
    explicit_bzero(data, size);
#else
    // Older C libraries lack explicit_bzero: stores through a volatile
    // pointer are never removed.
    volatile unsigned char* bytes = static_cast<volatile unsigned char*>(data);
    while (size--)
        *bytes++ = 0;
#endif
}

// Wipes every byte the string owns, up to its capacity, and leaves it empty.
inline void wipeString(std::string& text)
{
    text.resize(text.capacity());
    wipeMemory(&text[0], text.size());
    text.clear();
}
