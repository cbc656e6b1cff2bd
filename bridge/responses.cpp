#include "responses.h"

#include "error_names.h"
#include "variant.h"

#include <cstdint>
#include <cstdio>

namespace {
std::string codeText(int code)
{
    char digits[16];
    std::snprintf(digits, sizeof digits, "%d", code);
    return digits;
}
} // namespace

void beginResponse(FileDraft& draft)
{
    beginDraft(draft, RESPONSE_FILE_NAME);
}

void writeResponseBody(const std::string& body)
{
    writeWholeFile(RESPONSE_FILE_NAME, body.data(), body.size());
}

void removeEarlierResponse()
{
    removeOrEmpty(RESPONSE_FILE_NAME);
}

int responseCode(CK_RV rv)
{
    // Only where CK_RV is 64 bits wide can the high half be set.
    if (static_cast<unsigned long long>(rv) >> 32 != 0)
        return static_cast<int>(CKR_GENERAL_ERROR);
    return static_cast<int>(static_cast<uint32_t>(rv));
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
