#include "responses.h"

#include "error_names.h"
#include "variant.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {
bool writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// The permissions a plain create of the response file would have given it.
mode_t createMode()
{
    mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

std::string codeText(int code)
{
    char digits[16];
    std::snprintf(digits, sizeof digits, "%d", code);
    return digits;
}
} // namespace

void writeResponseBody(const std::string& body)
{
    char tempName[] = RESPONSE_FILE_NAME ".XXXXXX";
    int fd = ::mkstemp(tempName);
    if (fd < 0) {
        ::unlink(RESPONSE_FILE_NAME);
        return;
    }
    bool written = ::fchmod(fd, createMode()) == 0 && writeAll(fd, body.data(), body.size());
    written = ::close(fd) == 0 && written;
    if (!written || ::rename(tempName, RESPONSE_FILE_NAME) != 0) {
        ::unlink(tempName);
        ::unlink(RESPONSE_FILE_NAME);
    }
}

void PrintError(const char* label, int code)
{
    std::string body = "Result=" + codeText(code) + "\nError=" + errorName(code) + "\nError func=";
    if (label)
        body += label;
    writeResponseBody(body);
}

void p11_warn(const char* label, int code)
{
    std::string body = "Result=" + codeText(code) + "\nError=";
    if (label)
        body += label;
    writeResponseBody(body);
}

void writeInfo(const char* text)
{
    std::string body = "Result=0\nError=OK\nRawCert64Coded\n";
    if (text)
        body += text;
    writeResponseBody(body);
}

void writeSignedOut(std::string text)
{
    writeResponseBody("Result=0\nError=OK\nSignedData=" + text);
}
