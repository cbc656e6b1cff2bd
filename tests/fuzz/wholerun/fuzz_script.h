// What the fuzz module and the OpenSC double share: the script every answer is
// read from, and the record of what was handed back.
//
// The script is the fuzz input's library part, a file named by FUZZ_SCRIPT,
// read whole on first use. Each call takes the bytes it needs from the front;
// once the script is used up, every call gets the default its caller names,
// which is the ordinary answer. The record (FUZZ_RECORD) is one line per event.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace fuzz_script {

struct State {
    bool loaded = false;
    std::string bytes;
    size_t at = 0;
    int record = -1;
    std::string pending;
    bool flushAtExit = false;
};

inline State& state()
{
    static State s;
    if (!s.loaded) {
        s.loaded = true;
        if (const char* path = std::getenv("FUZZ_SCRIPT")) {
            int fd = ::open(path, O_RDONLY | O_CLOEXEC);
            if (fd >= 0) {
                char buffer[4096];
                ssize_t n;
                while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
                    s.bytes.append(buffer, static_cast<size_t>(n));
                ::close(fd);
            }
        }
        if (const char* path = std::getenv("FUZZ_RECORD"))
            s.record = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    }
    return s;
}

// The next script byte, or `fallback` once the script is used up.
inline uint8_t next(uint8_t fallback = 0)
{
    State& s = state();
    return s.at < s.bytes.size() ? static_cast<uint8_t>(s.bytes[s.at++]) : fallback;
}

// The next `count` bytes as a little-endian number; missing bytes are zero.
inline uint64_t number(int count)
{
    uint64_t value = 0;
    for (int i = 0; i < count; ++i)
        value |= static_cast<uint64_t>(next()) << (8 * i);
    return value;
}

// Copies up to `size` script bytes into `out`; returns how many there were.
inline size_t take(void* out, size_t size)
{
    State& s = state();
    size_t n = s.bytes.size() - s.at < size ? s.bytes.size() - s.at : size;
    std::memcpy(out, s.bytes.data() + s.at, n);
    s.at += n;
    return n;
}

// Bytes that stand for a value: a generator seeded from one script byte, so
// that a certificate of two kilobytes costs the input one byte.
inline void fill(unsigned char* out, size_t size, uint8_t seed)
{
    uint32_t x = 0x9E3779B9u ^ (seed * 0x01000193u);
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<unsigned char>(x >> 24);
    }
}

inline void flush()
{
    State& s = state();
    const char* p = s.pending.data();
    size_t left = s.pending.size();
    while (s.record >= 0 && left > 0) {
        ssize_t n = ::write(s.record, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        p += n;
        left -= static_cast<size_t>(n);
    }
    s.pending.clear();
}

// Adds a line to the record. Lines are collected and written in batches, at
// exit, and before the library ends the run itself; a run the program ends
// otherwise (a crash, a kill) is a finding whatever the record says.
inline void write(const std::string& line)
{
    State& s = state();
    if (s.record < 0)
        return;
    if (!s.flushAtExit) {
        s.flushAtExit = true;
        std::atexit(flush);
    }
    s.pending += line;
    s.pending += '\n';
    if (s.pending.size() > 65536)
        flush();
}

inline std::string hex(const void* data, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * size + 1);
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) {
        text.push_back(digits[p[i] >> 4]);
        text.push_back(digits[p[i] & 15]);
    }
    return text.empty() ? "-" : text;
}

// Ends the run the way a broken library does, after saying so in the record:
// `how` 0 to 3 leaves with _exit (status how), 4 to 7 with exit (atexit
// handlers run, status how - 4), 8 and above aborts.
[[noreturn]] inline void endRun(unsigned how)
{
    write("end " + std::to_string(how));
    flush();
    if (how < 4)
        ::_exit(static_cast<int>(how));
    if (how < 8)
        std::exit(static_cast<int>(how - 4));
    std::abort();
}

} // namespace fuzz_script
