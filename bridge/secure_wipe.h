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
    std::memset(data, 0, size);
    // The empty assembler statement may read the zeroed bytes, as far as the
    // compiler knows, so the memset is never dropped as a dead store. Not
    // explicit_bzero: it needs glibc 2.25, newer than the release binaries
    // may ask of the machines they run on.
    __asm__ __volatile__("" : : "r"(data) : "memory");
}

// Wipes every byte the string owns, up to its capacity, and leaves it empty.
inline void wipeString(std::string& text)
{
    text.resize(text.capacity());
    wipeMemory(&text[0], text.size());
    text.clear();
}
