// The request file as the host may leave it: any bytes, read through a memory
// stream. The fields and the line count must be what a plain walk over the
// bytes gives: reads end after a line feed or after REQUEST_READ_SIZE - 1
// characters, a zero byte ends a read's text, reads without text are neither
// stored nor counted, and the first four texts are the fields without their
// line feed. Whatever the input, no field holds a zero byte or a line feed,
// and none is longer than a single read.
//
// Lines long enough to be split are far beyond the fuzzer's usual input
// size, so an input starting with 0xFF is stretched: bytes 1 and 2 choose a
// run of 'x' ending near the first or second read boundary (the boundary
// minus 0..63 characters, or plus 0..63), and the rest of the input follows
// the run.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "request.h"

namespace {

const size_t kReadChars = REQUEST_READ_SIZE - 1;

std::vector<char> fileBytes(const uint8_t* data, size_t size) {
    if (size < 3 || data[0] != 0xFF) return std::vector<char>(data, data + size);
    const size_t boundary = kReadChars * (1 + (data[1] & 1));
    const size_t offset = data[2] & 63;
    const size_t run = (data[1] & 2) ? boundary + offset : boundary - offset;
    std::vector<char> bytes(run, 'x');
    bytes.insert(bytes.end(), data + 3, data + size);
    return bytes;
}

struct Expected {
    std::string fields[4];
    unsigned long lineCount = 0;
};

Expected walk(const std::vector<char>& bytes) {
    Expected expected;
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t end = pos;
        while (end < bytes.size() && end - pos < kReadChars) {
            if (bytes[end++] == '\n') break;
        }
        std::string text(bytes.data() + pos, end - pos);
        pos = end;
        text = text.substr(0, text.find('\0'));
        if (text.empty()) continue;
        if (text.back() == '\n') text.pop_back();
        if (expected.lineCount < 4) expected.fields[expected.lineCount] = text;
        ++expected.lineCount;
    }
    return expected;
}

void check(const std::string& field, const std::string& expected) {
    if (field.find('\0') != std::string::npos) std::abort();
    if (field.find('\n') != std::string::npos) std::abort();
    if (field.size() > kReadChars) std::abort();
    if (field != expected) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> bytes = fileBytes(data, size);
    // fmemopen wants a buffer even for an empty file.
    char empty = 0;
    FILE* f = fmemopen(bytes.empty() ? &empty : bytes.data(), bytes.size(), "r");
    if (!f) std::abort();
    Request request;
    readRequest(f, request);
    std::fclose(f);

    const Expected expected = walk(bytes);
    if (request.lineCount != expected.lineCount) std::abort();
    check(request.commandname, expected.fields[0]);
    check(request.readerName, expected.fields[1]);
    check(request.pin, expected.fields[2]);
    check(request.dopParam, expected.fields[3]);
    return 0;
}
