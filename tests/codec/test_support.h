// Helpers shared by the codec tests.
#pragma once

#include <cstddef>
#include <random>
#include <vector>

namespace codec_test {

// Seeded random input. The result is an exact-size heap block, so in the
// sanitized test build any read past its end is reported.
inline std::vector<unsigned char> randomBytes(std::size_t n, std::mt19937& rng) {
    std::vector<unsigned char> out(n);
    for (auto& b : out) b = static_cast<unsigned char>(rng());
    return out;
}

}  // namespace codec_test
