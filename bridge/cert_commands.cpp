// The two read-only commands: the certificate list and the first certificate.
#include "base64.h"
#include "commands.h"
#include "entry_points.h"
#include "responses.h"
#include "session.h"
#include "sha1.h"
#include "trace.h"

#include <cstdlib>

namespace {
// A token that keeps handing out objects past this many is not a card: the
// list stops with an error instead of growing without end.
const unsigned long MAX_LISTED_OBJECTS = 100000;

// How much of the list is collected before it is handed to the response draft.
const size_t LIST_PIECE_SIZE = 64 * 1024;

// The largest list body written: far above any real token, and a module that
// hands out large values again and again cannot fill the disk.
const unsigned long long MAX_LIST_BYTES = 256ULL * 1024 * 1024;

// Appends one list item for a certificate value: its SHA-1 fingerprint and Base64 text.
void appendItem(std::string& list, bool first, const unsigned char* value, CK_ULONG length)
{
    unsigned char digest[20];
    char hex[41];
    sha1::calcShaHash(value, static_cast<int>(length), digest);
    sha1::toHexString(digest, hex);
    if (!first)
        list += ",";
    list += "{hash:\"";
    list += hex;
    list += "\",cert_base64:\"";
    list += base64_encode_s(value, static_cast<unsigned int>(length), base64_chars);
    list += "\"}";
}
} // namespace

// Draws every object from the certificate search that the session started and
// writes the list as the whole response file. The list goes to the response
// draft in pieces as it grows, so memory stays flat however many certificates
// there are; the host still sees it only once it is complete. The search is
// left to end with the session.
void getCertList()
{
    stepLabel = "FIND_Objects";
    FileDraft draft;
    beginResponse(draft);
    std::string pending = "[";
    unsigned long long bodySize = 1; // "[" so far, and "]" still to come
    bool first = true;
    for (unsigned long drawn = 0;; ++drawn) {
        CK_ULONG count = 0;
        rv = drawn < MAX_LISTED_OBJECTS
                 ? callEntry(_C_FindObjects, session, &userCert, static_cast<CK_ULONG>(1), &count)
                 : CKR_GENERAL_ERROR;
        if (rv != CKR_OK) {
            discardDraft(draft);
            PrintError("FIND_Objects", responseCode(rv));
            return;
        }
        if (count == 0)
            break;
        CK_OBJECT_CLASS objectClass = 0;
        CK_ATTRIBUTE classTemplate = {CKA_CLASS, &objectClass, sizeof objectClass};
        CK_RV classResult =
            callEntry(_C_GetAttributeValue, session, userCert, &classTemplate, static_cast<CK_ULONG>(1));
        if (classResult != CKR_OK) {
            // A warning body, deliberately: the list or a later error replaces it.
            p11_warn("C_GetAttributeValue(CLASS)", responseCode(classResult));
            continue;
        }
        if (objectClass != CKO_CERTIFICATE)
            continue;
        CK_ULONG length = 0;
        unsigned char* value = getVALUE(session, userCert, &length);
        // A certificate whose value cannot be read is left out whole.
        if (!value)
            continue;
        size_t before = pending.size();
        appendItem(pending, first, value, length);
        first = false;
        std::free(value);
        bodySize += pending.size() - before;
        if (bodySize + 1 > MAX_LIST_BYTES) {
            discardDraft(draft);
            PrintError("FIND_Objects", CKR_HOST_MEMORY);
            return;
        }
        if (pending.size() >= LIST_PIECE_SIZE) {
            appendDraft(draft, pending.data(), pending.size());
            pending.clear();
        }
    }
    pending += "]";
    appendDraft(draft, pending.data(), pending.size());
    commitResponse(draft);
}

// Answers with the first certificate of the search, which the session has
// already drawn into userCert.
void readTokenCert()
{
    stepLabel = "getCertificateInfo";
    CK_ULONG length = 0;
    unsigned char* value = getVALUE(session, userCert, &length);
    if (rv != CKR_OK || !value) {
        PrintError("getCertificateInfo", responseCode(rv != CKR_OK ? rv : CKR_GENERAL_ERROR));
        return;
    }
    std::string text = base64_encode_s(value, static_cast<unsigned int>(length), base64_chars);
    std::free(value);
    trace("\n certificate write\nsize:");
    traceNumber(text.size());
    writeInfo(text.c_str());
}
