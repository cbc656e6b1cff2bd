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

void beginResponse(ResponseDraft& draft)
{
    static_assert(sizeof draft.name == sizeof RESPONSE_FILE_NAME ".XXXXXX",
                  "both response file names have the same length");
    std::strcpy(draft.name, RESPONSE_FILE_NAME ".XXXXXX");
    draft.fd = ::mkstemp(draft.name);
    draft.failed = draft.fd < 0 || ::fchmod(draft.fd, createMode()) != 0;
}

void appendResponse(ResponseDraft& draft, const char* data, size_t size)
{
    if (!draft.failed && !writeAll(draft.fd, data, size))
        draft.failed = true;
}

void commitResponse(ResponseDraft& draft)
{
    bool opened = draft.fd >= 0;
    bool complete = opened && ::close(draft.fd) == 0 && !draft.failed;
    // The earlier response goes first: a rename over an existing file makes
    // some file systems write the new one out before the rename returns, and
    // between the two steps there is no answer at all rather than an old one.
    ::unlink(RESPONSE_FILE_NAME);
    if (opened && (!complete || ::rename(draft.name, RESPONSE_FILE_NAME) != 0))
        ::unlink(draft.name);
    draft.fd = -1;
}

void discardResponse(ResponseDraft& draft)
{
    if (draft.fd >= 0) {
        ::close(draft.fd);
        ::unlink(draft.name);
    }
    draft.fd = -1;
}

void writeResponseBody(const std::string& body)
{
    ResponseDraft draft;
    beginResponse(draft);
    appendResponse(draft, body.data(), body.size());
    commitResponse(draft);
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
