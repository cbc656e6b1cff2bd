// The plugin-directory file as the host may leave it: any bytes. The token
// must be the first run of non-blank bytes, cut at a zero byte, so it never
// holds white space or a zero; a run longer than the longest usable
// directory is reported as too long after reading one character past that
// length, and no further. The module path is then built for both module
// names the programs load, into a buffer that starts out full of garbage:
// either it is exactly the token and the name followed by zeros (at most 255
// characters, so always terminated), or the build failed because they do not
// fit and the buffer is all zeros.
//
// The path is also built from the raw input as the directory, so that
// directories of every length and content meet the length check.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "plugin_dir.h"

namespace {

const char* const kModuleNames[] = {"opensc-pkcs11.so", "libjcPKCS11.so.1"};

bool isBlank(char c) {
    return std::strchr(" \t\n\v\f\r", c) != nullptr && c != '\0';
}

const size_t kLongest = MODULE_PATH_SIZE - 1 - 16;

// The first run of non-blank bytes, not yet cut at a zero byte, and where it ends.
std::string firstWord(const uint8_t* data, size_t size, size_t* start) {
    *start = 0;
    while (*start < size && isBlank(static_cast<char>(data[*start]))) ++*start;
    size_t end = *start;
    while (end < size && !isBlank(static_cast<char>(data[end]))) ++end;
    return std::string(reinterpret_cast<const char*>(data) + *start, end - *start);
}

void checkBuild(const std::string& directory, const char* name) {
    char path[MODULE_PATH_SIZE];
    std::memset(path, 0xA5, sizeof path);
    const bool built = buildModulePath(directory, name, path);
    const std::string expected = directory + name;
    const bool fits = expected.size() <= MODULE_PATH_SIZE - 1;
    if (built != fits) std::abort();
    const size_t used = built ? expected.size() : 0;
    if (built && std::memcmp(path, expected.data(), used) != 0) std::abort();
    for (size_t i = used; i < sizeof path; ++i)
        if (path[i] != '\0') std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> bytes(data, data + size);
    char empty = 0;
    FILE* f = fmemopen(bytes.empty() ? &empty : bytes.data(), bytes.size(), "r");
    if (!f) std::abort();
    std::string token;
    const bool fits = readPlugDirToken(f, kLongest, token);
    const long position = std::ftell(f);
    std::fclose(f);

    for (char c : token)
        if (c == '\0' || isBlank(c)) std::abort();
    size_t start = 0;
    std::string word = firstWord(data, size, &start);
    if (fits != (word.size() <= kLongest)) std::abort();
    if (!fits) {
        word.resize(kLongest + 1);
        if (position != static_cast<long>(start + kLongest + 1)) std::abort();
    }
    if (token != word.substr(0, word.find('\0'))) std::abort();

    const std::string raw(bytes.begin(), bytes.end());
    for (const char* name : kModuleNames) {
        checkBuild(token, name);
        checkBuild(raw, name);
    }
    return 0;
}
