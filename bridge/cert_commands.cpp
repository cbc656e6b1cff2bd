// The two read-only commands: the certificate list and the first certificate.
#include "base64.h"
#include "commands.h"
#include "entry_points.h"
#include "responses.h"
#include "session.h"
#include "sha1.h"
#include "trace.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {
// A token that keeps handing out objects past this many is not a card: the
// list stops with an error instead of growing without end.
const unsigned long MAX_LISTED_OBJECTS = 100000;

// How much of the list is collected before it is handed to the response
// draft. The buffer is allocated once, at this size, when the first item is
// written: below malloc's mmap threshold (128 KiB), so it comes from the heap
// without a mapping of its own, and its pages are touched once.
const size_t LIST_PIECE_SIZE = 64 * 1024;

// The largest list body written: far above any real token, and a module that
// hands out large values again and again cannot fill the disk.
const unsigned long long MAX_LIST_BYTES = 256ULL * 1024 * 1024;

const char ITEM_HEAD[] = "{hash:\"";
const char ITEM_MIDDLE[] = "\",cert_base64:\"";
const char ITEM_TAIL[] = "\"}";

// The list as it is collected: a buffer of `capacity` bytes whose first
// `size` are still to be handed to the draft.
struct ListPiece {
    std::unique_ptr<char[]> data;
    size_t size = 0;
    size_t capacity = 0;
};

// The length of a certificate's list item with the "[" or "," before it:
// known before anything of it is computed.
unsigned long long itemLength(CK_ULONG length)
{
    return 1 + sizeof ITEM_HEAD - 1 + 40 + sizeof ITEM_MIDDLE - 1 +
           4 * ((static_cast<unsigned long long>(length) + 2) / 3) + sizeof ITEM_TAIL - 1;
}

// Makes room for `need` more bytes: what the piece holds goes to the draft
// first when they do not fit, and a piece too small for them is replaced.
void makeRoom(FileDraft& draft, ListPiece& piece, size_t need)
{
    if (piece.size + need <= piece.capacity)
        return;
    if (piece.size != 0) {
        appendDraft(draft, piece.data.get(), piece.size);
        piece.size = 0;
    }
    if (need > piece.capacity) {
        piece.capacity = std::max(need, LIST_PIECE_SIZE);
        piece.data.reset(new char[piece.capacity]);
    }
}

// Writes one list item for a certificate value, its SHA-1 fingerprint and
// Base64 text, straight into the piece, which has room for itemLength bytes
// and one more (the hex rendering's terminator, overwritten at once).
void appendItem(ListPiece& piece, bool first, const unsigned char* value, CK_ULONG length)
{
    char* out = piece.data.get() + piece.size;
    *out++ = first ? '[' : ',';
    std::memcpy(out, ITEM_HEAD, sizeof ITEM_HEAD - 1);
    out += sizeof ITEM_HEAD - 1;
    unsigned char digest[20];
    sha1::calcShaHash(value, static_cast<int>(length), digest);
    sha1::toHexString(digest, out);
    out += 40;
    std::memcpy(out, ITEM_MIDDLE, sizeof ITEM_MIDDLE - 1);
    out += sizeof ITEM_MIDDLE - 1;
    out += base64_encode_into(out, value, static_cast<unsigned int>(length));
    std::memcpy(out, ITEM_TAIL, sizeof ITEM_TAIL - 1);
    out += sizeof ITEM_TAIL - 1;
    piece.size = static_cast<size_t>(out - piece.data.get());
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
    ListPiece piece;
    unsigned long long bodySize = 1; // "[" and "]", the items' separators counted with them
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
        bodySize += itemLength(length);
        if (bodySize > MAX_LIST_BYTES) {
            std::free(value);
            discardDraft(draft);
            PrintError("FIND_Objects", CKR_HOST_MEMORY);
            return;
        }
        // The item and the hex rendering's terminator.
        makeRoom(draft, piece, static_cast<size_t>(itemLength(length)) + 1);
        appendItem(piece, first, value, length);
        first = false;
        std::free(value);
    }
    makeRoom(draft, piece, first ? 2 : 1);
    if (first)
        piece.data[piece.size++] = '[';
    piece.data[piece.size++] = ']';
    appendDraft(draft, piece.data.get(), piece.size);
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
