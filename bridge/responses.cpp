#include "responses.h"

#include "bridge_state.h"
#include "diagnostics.h"
#include "error_names.h"
#include "trace.h"
#include "variant.h"

#include <cstdint>
#include <cstdio>
#include <new>

namespace {
// The warning body that p11_warn wrote last, while the response file still
// holds it; empty once anything else has been written or removed there.
std::string standingWarning;

std::string codeText(int code)
{
    char digits[16];
    std::snprintf(digits, sizeof digits, "%d", code);
    return digits;
}

// Every body written goes through here: whatever it was, the file no longer
// holds the warning p11_warn last wrote, until p11_warn says so again.
void noteResponse(bool whole)
{
    standingWarning.clear();
    responseFailed = !whole;
    if (!whole) {
        trace("\n" RESPONSE_FILE_NAME " not written\n");
        tellReason(RESPONSE_FILE_NAME " not written: %s", fileProblem());
    }
}
} // namespace

void beginResponse(FileDraft& draft)
{
    beginDraft(draft, RESPONSE_FILE_NAME);
}

void commitResponse(FileDraft& draft)
{
    noteResponse(commitDraft(draft));
}

void writeResponseBody(const std::string& body)
{
    noteResponse(writeWholeFile(RESPONSE_FILE_NAME, body.data(), body.size()));
}

bool removeEarlierResponse()
{
    standingWarning.clear();
    return removeOrEmpty(RESPONSE_FILE_NAME);
}

void answerOutOfMemory()
{
    trace("\nout of memory");
    const char* label = stepLabel ? stepLabel : "";
    char body[256];
    int length = std::snprintf(body, sizeof body, "Result=%d\nError=%s\nError func=%s",
                               static_cast<int>(CKR_HOST_MEMORY), errorName(CKR_HOST_MEMORY), label);
    if (length < 0 || static_cast<size_t>(length) >= sizeof body) {
        noteResponse(false);
        return;
    }
    try {
        noteResponse(writeWholeFile(RESPONSE_FILE_NAME, body, static_cast<size_t>(length)));
    } catch (const std::bad_alloc&) {
        // Only a draft kept in memory allocates, and it could not.
        removeEarlierResponse();
        noteResponse(false);
    }
}

int responseCode(CK_RV result)
{
    // Only where CK_RV is 64 bits wide can the high half be set.
    if (static_cast<unsigned long long>(result) >> 32 != 0)
        return static_cast<int>(CKR_GENERAL_ERROR);
    return static_cast<int>(static_cast<uint32_t>(result));
}

void PrintError(const char* label, int code)
{
    std::string body = "Result=" + codeText(code) + "\nError=" + errorName(code) + "\nError func=";
    if (label)
        body += label;
    tellReason("the answer is an error: %s (%d) at %s", errorName(code), code, label ? label : "");
    writeResponseBody(body);
}

void p11_warn(const char* label, int code)
{
    std::string body = "Result=" + codeText(code) + "\nError=";
    if (label)
        body += label;
    // The same warning again, object after object of a search that does not
    // end, would only replace the file with the bytes it holds, and repeat
    // the reason, up to the search's bound.
    if (body == standingWarning)
        return;
    tellReason("the answer is an error: %d at %s", code, label ? label : "");
    writeResponseBody(body);
    if (!responseFailed)
        standingWarning = body;
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
