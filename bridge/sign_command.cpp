// The raw signing command: a 32-byte digest from the host, signed on the token
// with GOST R 34.10 (CKM_GOSTR3410), returned in Base64.
#include "base64.h"
#include "digest_param.h"
#include "entry_points.h"
#include "file_utils.h"
#include "responses.h"
#include "commands.h"
#include "secure_wipe.h"
#include "session.h"
#include "trace.h"

#include <cstdlib>
#include <cstring>

namespace {
// The first private and public key objects the searches return; the public
// key is only looked for, never used.
CK_OBJECT_HANDLE handlePr = 0;
CK_OBJECT_HANDLE handlePub = 0;
// The signature C_Sign writes, and its length: 64 on the way in.
unsigned char signature[64];
CK_ULONG signatureLength = sizeof signature;

// The key searches: every object of the class the logged-in session sees.
CK_OBJECT_CLASS pubkClass = CKO_PUBLIC_KEY;
CK_OBJECT_CLASS prkClass = CKO_PRIVATE_KEY;
CK_ATTRIBUTE certAttribsPubk[1] = {{CKA_CLASS, &pubkClass, sizeof pubkClass}};
CK_ATTRIBUTE certAttribsPrk[1] = {{CKA_CLASS, &prkClass, sizeof prkClass}};

// The signing mechanism. It deliberately starts as the GOST key-pair
// generation mechanism and becomes CKM_GOSTR3410 right before C_SignInit,
// the only call that reads it.
CK_MECHANISM mech = {CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};

const char* const DIAGNOSTICS_FLAG_FILE = "VELNOR_VIVIRAV_NOTDELETE_LOGS.FLAG";

// The PIN as a zero-terminated string; a PIN holds at most 19 characters.
// It is the only copy of the PIN from the moment the request has been read
// until the login returns.
char PIN_CODE[20];
// Whether the request's PIN fit PIN_CODE.
bool pinFits = true;

// Finds the first object of the template's class; `missingLabel` names the
// failure when the session shows none.
bool findFirstObject(CK_ATTRIBUTE* templ, CK_OBJECT_HANDLE* handle, const char* traceLine,
                     const char* missingLabel)
{
    rv = callEntry(_C_FindObjectsInit, session, templ, static_cast<CK_ULONG>(1));
    if (failed("C_FindObjectsInit", rv))
        return false;
    trace(traceLine);
    CK_ULONG count = 0;
    rv = callEntry(_C_FindObjects, session, handle, static_cast<CK_ULONG>(1), &count);
    if (failed("FIND_Objects", rv))
        return false;
    trace("\nkey count:");
    traceNumber(count);
    if (count == 0) {
        PrintError(missingLabel, CKR_CERT_NOT_FOUND);
        return false;
    }
    rv = callEntry(_C_FindObjectsFinal, session);
    return !failed("C_FindObjectsFinal", rv);
}

// Logs in, finds the keys and signs the digest; writes the signature or the
// failed step's error as the response.
void loginAndSign(const unsigned char* digest, unsigned int digestLength)
{
    // The digest is not secret: its bytes are traced raw, up to a zero byte, for
    // whoever compares a run with the host's document.
    std::fwrite(digest, 1, strnlen(reinterpret_cast<const char*>(digest), digestLength), stdout);
    trace("\npin is:");
    trace(maskedPin());
#ifndef BUILD_ETOKEN
    trace("\nkesta sign try");
#endif
    // A cut PIN would be a wrong PIN and cost the token one of its retries.
    if (!pinFits) {
        PrintError("C_Login", CKR_PIN_LEN_RANGE);
        return;
    }
    rv = callEntry(_C_Login, session, static_cast<CK_USER_TYPE>(CKU_USER),
                   reinterpret_cast<CK_UTF8CHAR*>(PIN_CODE), static_cast<CK_ULONG>(std::strlen(PIN_CODE)));
    wipePin();
    if (failed("C_Login", rv))
        return;
    trace("\n login ok");
    if (!findFirstObject(certAttribsPrk, &handlePr, "\nfind private key", "C_FindObjects prKey"))
        return;
    // The public key is not used; the search only requires that one is visible.
    if (!findFirstObject(certAttribsPubk, &handlePub, "\nfind public key", "C_FindObjects pubKey"))
        return;
    mech.mechanism = CKM_GOSTR3410;
    mech.pParameter = nullptr;
    mech.ulParameterLen = 0;
    rv = callEntry(_C_SignInit, session, &mech, handlePr);
    if (failed("C_SignInit", rv))
        return;
    bool dumps = fileExists(DIAGNOSTICS_FLAG_FILE);
    if (dumps) {
        writeBinaryOut(reinterpret_cast<char*>(const_cast<unsigned char*>(digest)), digestLength,
                       "forsign.bin");
        // An earlier run's signature must not stand beside this run's data.
        removeOrEmpty("sign.bin");
    }
    rv = callEntry(_C_Sign, session, const_cast<unsigned char*>(digest), static_cast<CK_ULONG>(digestLength),
                   signature, &signatureLength);
    // A length past the buffer cannot be a signature the buffer holds, and an
    // empty one is no signature at all.
    if (rv == CKR_OK && (signatureLength == 0 || signatureLength > sizeof signature))
        rv = CKR_GENERAL_ERROR;
    if (failed("C_Sign", rv))
        return;
    stepLabel = "C_Sign";
    if (dumps)
        writeBinaryOut(reinterpret_cast<char*>(signature), static_cast<unsigned int>(signatureLength),
                       "sign.bin");
    writeSignedOut(base64_encode_s(signature, static_cast<unsigned int>(signatureLength), base64_chars));
}
} // namespace

void holdPin(std::string& pin)
{
    pinFits = pin.size() < sizeof PIN_CODE;
    if (pinFits)
        std::memcpy(PIN_CODE, pin.c_str(), pin.size() + 1);
    wipeString(pin);
}

void wipePin()
{
    wipeMemory(PIN_CODE, sizeof PIN_CODE);
}

void signDocumentRaw(const Request& request)
{
    const std::string& param = request.dopParam;
    // Bytes decoded from anything but a padded Base64 digest would be signed
    // all the same and reported as a good signature.
    if (!isDigestText(param)) {
        PrintError("incorrect input data", CKR_ARGUMENTS_BAD);
        return;
    }
    trace("\ntry to sign now, coded string:");
    trace(param);
    unsigned int digestLength = 0;
    unsigned char* digest = base64_decode(param.data(), DIGEST_TEXT_LENGTH, &digestLength);
    if (!digest) {
        PrintError("incorrect input data", CKR_HOST_MEMORY);
        return;
    }
    trace("\ndecoded string:");
    loginAndSign(digest, digestLength);
    std::free(digest);
}
