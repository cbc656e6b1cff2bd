// Helpers shared by the codec tests: seeded random input and buffers that end
// right at an inaccessible page, so that any read past the end faults.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

namespace codec_test {

inline std::vector<unsigned char> randomBytes(std::size_t n, std::mt19937& rng) {
    std::vector<unsigned char> out(n);
    for (auto& b : out) b = static_cast<unsigned char>(rng());
    return out;
}

// `size` bytes placed so that the byte after the last one is on a PROT_NONE
// page. Touching anything beyond data() + size() crashes the test.
class GuardedBuffer {
public:
    explicit GuardedBuffer(std::size_t size) : size_(size) {
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t usable = (size + page - 1) / page * page + page;
        mapLen_ = usable + page;
        void* base = mmap(nullptr, mapLen_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) throw std::runtime_error("mmap failed");
        base_ = static_cast<unsigned char*>(base);
        if (mprotect(base_ + usable, page, PROT_NONE) != 0) throw std::runtime_error("mprotect failed");
        data_ = base_ + usable - size;
    }
    GuardedBuffer(const void* src, std::size_t size) : GuardedBuffer(size) {
        if (size) std::memcpy(data_, src, size);
    }
    ~GuardedBuffer() { munmap(base_, mapLen_); }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    unsigned char* data() { return data_; }
    char* chars() { return reinterpret_cast<char*>(data_); }
    std::size_t size() const { return size_; }

private:
    std::size_t size_;
    std::size_t mapLen_ = 0;
    unsigned char* base_ = nullptr;
    unsigned char* data_ = nullptr;
};

}  // namespace codec_test
