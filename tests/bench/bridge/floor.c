/* The floor for the bridge benchmark: what a run costs when it does nothing
 * but load the module and make the PKCS#11 calls that tovrel makes for one
 * command, in the same order and with the same arguments. It reads no request
 * file, computes no fingerprint or Base64, prints nothing and writes no file.
 *
 *   floor MODULE READER list [ANSWER] the calls of getCertList
 *   floor MODULE READER first         the calls of readTokenCert
 *   floor MODULE READER sign PIN HEX  the calls of signDocumentRaw, HEX the digest
 *
 * Exit status 0 when every call the command needs succeeded, 1 otherwise, so
 * that a benchmark never times a run that failed half-way.
 *
 * Built with NECESSARY_WORK (the program floor-work), it also does what any
 * program has to do with each certificate value it reads: the SHA-1
 * fingerprint (list only) and the Base64 text, with OpenSSL, linked
 * statically so that loading it costs nothing that tovrel does not pay. With
 * ANSWER it also writes the fingerprints in hex and the texts to ANSWER.tmp in
 * 64 KiB pieces and renames that over ANSWER, which it removes first, as
 * tovrel does with its response. */
#include <p11-kit/pkcs11.h>

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include "hex.h"

#ifdef NECESSARY_WORK
#define OPENSSL_SUPPRESS_DEPRECATED 1
#include <openssl/evp.h>
#include <openssl/sha.h>

/* SHA1_Init/Update/Final reach OpenSSL's block function directly; the
 * one-shot and EVP interfaces look the algorithm up in a provider first. */
static FILE *answer;

static int necessaryWork(const unsigned char *value, CK_ULONG size, int fingerprint)
{
    if (fingerprint) {
        unsigned char digest[SHA_DIGEST_LENGTH];
        SHA_CTX context;
        if (!SHA1_Init(&context) || !SHA1_Update(&context, value, size) || !SHA1_Final(digest, &context))
            return 0;
        if (answer) {
            char hex[2 * SHA_DIGEST_LENGTH];
            for (int i = 0; i < SHA_DIGEST_LENGTH; ++i) {
                hex[2 * i] = "0123456789ABCDEF"[digest[i] >> 4];
                hex[2 * i + 1] = "0123456789ABCDEF"[digest[i] & 15];
            }
            fwrite(hex, 1, sizeof hex, answer);
        }
    }
    unsigned char *text = malloc(4 * ((size + 2) / 3) + 1);
    if (!text)
        return 0;
    int length = EVP_EncodeBlock(text, value, (int)size);
    if (answer)
        fwrite(text, 1, (size_t)length, answer);
    free(text);
    return 1;
}

static int openAnswer(const char *name, char *draft, size_t draftSize)
{
    static char buffer[64 << 10];
    if ((size_t)snprintf(draft, draftSize, "%s.tmp", name) >= draftSize)
        return 0;
    answer = fopen(draft, "wb");
    return answer && setvbuf(answer, buffer, _IOFBF, sizeof buffer) == 0;
}

static int commitAnswer(const char *name, const char *draft)
{
    int ok = fclose(answer) == 0;
    answer = NULL;
    unlink(name);
    return ok && rename(draft, name) == 0;
}
#endif

static CK_FUNCTION_LIST functions;

/* Binds each entry point by its exported name and takes whatever is missing
 * from the module's function list, as the bridge does. */
static int bind(void *module)
{
#define BIND(name) functions.name = (CK_##name)dlsym(module, #name)
    BIND(C_Initialize);
    BIND(C_GetAttributeValue);
    BIND(C_GetSlotList);
    BIND(C_GetSlotInfo);
    BIND(C_OpenSession);
    BIND(C_FindObjectsInit);
    BIND(C_FindObjects);
    BIND(C_FindObjectsFinal);
    BIND(C_Logout);
    BIND(C_CloseSession);
    BIND(C_Finalize);
    BIND(C_Login);
    BIND(C_SignInit);
    BIND(C_Sign);
#undef BIND
    CK_FUNCTION_LIST *list = NULL;
    CK_C_GetFunctionList getList;
    if (functions.C_Initialize && functions.C_GetAttributeValue && functions.C_GetSlotList &&
        functions.C_GetSlotInfo && functions.C_OpenSession && functions.C_FindObjectsInit &&
        functions.C_FindObjects && functions.C_FindObjectsFinal && functions.C_Logout &&
        functions.C_CloseSession && functions.C_Finalize && functions.C_Login &&
        functions.C_SignInit && functions.C_Sign)
        return 1;
    getList = (CK_C_GetFunctionList)dlsym(module, "C_GetFunctionList");
    if (!getList || getList(&list) != CKR_OK || !list)
        return 0;
#define FILL(name) if (!functions.name) functions.name = list->name
    FILL(C_Initialize);
    FILL(C_GetAttributeValue);
    FILL(C_GetSlotList);
    FILL(C_GetSlotInfo);
    FILL(C_OpenSession);
    FILL(C_FindObjectsInit);
    FILL(C_FindObjects);
    FILL(C_FindObjectsFinal);
    FILL(C_Logout);
    FILL(C_CloseSession);
    FILL(C_Finalize);
    FILL(C_Login);
    FILL(C_SignInit);
    FILL(C_Sign);
#undef FILL
    return functions.C_Initialize && functions.C_GetAttributeValue && functions.C_GetSlotList &&
           functions.C_GetSlotInfo && functions.C_OpenSession && functions.C_FindObjectsInit &&
           functions.C_FindObjects && functions.C_FindObjectsFinal && functions.C_Logout &&
           functions.C_CloseSession && functions.C_Finalize && functions.C_Login &&
           functions.C_SignInit && functions.C_Sign;
}

/* The two-call read of an attribute value, into a block that is freed again. */
static int readValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, int fingerprint)
{
    CK_ATTRIBUTE value = {CKA_VALUE, NULL, 0};
    if (functions.C_GetAttributeValue(session, object, &value, 1) != CKR_OK)
        return 0;
    CK_ULONG size = value.ulValueLen;
    value.pValue = calloc(size + 1, 1);
    if (!value.pValue)
        return 0;
    CK_RV rv = functions.C_GetAttributeValue(session, object, &value, 1);
#ifdef NECESSARY_WORK
    if (rv == CKR_OK && !necessaryWork(value.pValue, value.ulValueLen, fingerprint))
        rv = CKR_HOST_MEMORY;
#else
    (void)fingerprint;
#endif
    free(value.pValue);
    return rv == CKR_OK;
}

static int findFirst(CK_SESSION_HANDLE session, CK_OBJECT_CLASS objectClass, CK_OBJECT_HANDLE *handle)
{
    CK_ATTRIBUTE templ = {CKA_CLASS, &objectClass, sizeof objectClass};
    CK_ULONG count = 0;
    return functions.C_FindObjectsInit(session, &templ, 1) == CKR_OK &&
           functions.C_FindObjects(session, handle, 1, &count) == CKR_OK && count == 1 &&
           functions.C_FindObjectsFinal(session) == CKR_OK;
}

static int run(const char *command, const char *reader, const char *pin, const char *hex)
{
    CK_ULONG slotCount = 0;
    if (functions.C_Initialize(NULL) != CKR_OK)
        return 0;
    if (functions.C_GetSlotList(CK_TRUE, NULL, &slotCount) != CKR_OK)
        return 0;
    CK_SLOT_ID *slots = calloc(slotCount ? slotCount : 1, sizeof *slots);
    if (!slots || functions.C_GetSlotList(CK_TRUE, slots, &slotCount) != CKR_OK || slotCount == 0)
        return 0;

    /* The last slot whose description or manufacturer holds the reader name. */
    CK_SLOT_ID chosen = 0;
    int found = 0;
    size_t readerLength = strlen(reader);
    for (CK_ULONG i = 0; i < slotCount; ++i) {
        CK_SLOT_INFO info;
        if (functions.C_GetSlotInfo(slots[i], &info) != CKR_OK)
            continue;
        char text[sizeof info.slotDescription + sizeof info.manufacturerID];
        memcpy(text, info.slotDescription, sizeof info.slotDescription);
        memcpy(text + sizeof info.slotDescription, info.manufacturerID, sizeof info.manufacturerID);
        if (memmem(text, sizeof text, reader, readerLength)) {
            chosen = slots[i];
            found = 1;
        }
    }
    free(slots);
    if (!found)
        return 0;

    CK_SESSION_HANDLE session = 0;
    CK_RV rv = functions.C_OpenSession(chosen, CKF_SERIAL_SESSION | CKF_RW_SESSION, NULL, NULL, &session);
    if (rv == CKR_TOKEN_WRITE_PROTECTED)
        rv = functions.C_OpenSession(chosen, CKF_SERIAL_SESSION, NULL, NULL, &session);
    if (rv != CKR_OK)
        return 0;

    int ok = 0;
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    CK_ATTRIBUTE certTemplate = {CKA_CLASS, &certClass, sizeof certClass};
    CK_OBJECT_HANDLE object = 0;
    CK_ULONG count = 0;
    if (functions.C_FindObjectsInit(session, &certTemplate, 1) != CKR_OK) {
        /* nothing more to do */
    } else if (strcmp(command, "list") == 0) {
        ok = 1;
        for (;;) {
            if (functions.C_FindObjects(session, &object, 1, &count) != CKR_OK) {
                ok = 0;
                break;
            }
            if (count == 0)
                break;
            CK_OBJECT_CLASS objectClass = 0;
            CK_ATTRIBUTE classTemplate = {CKA_CLASS, &objectClass, sizeof objectClass};
            if (functions.C_GetAttributeValue(session, object, &classTemplate, 1) != CKR_OK ||
                objectClass != CKO_CERTIFICATE)
                continue;
            if (!readValue(session, object, 1))
                ok = 0;
        }
    } else if (functions.C_FindObjects(session, &object, 1, &count) == CKR_OK &&
               functions.C_FindObjectsFinal(session) == CKR_OK && count == 1) {
        if (strcmp(command, "first") == 0) {
            ok = readValue(session, object, 0);
        } else if (strcmp(command, "sign") == 0 && pin && hex) {
            unsigned char digest[64];
            size_t digestLength = strlen(hex) / 2;
            int digits = digestLength <= sizeof digest;
            for (size_t i = 0; digits && i < digestLength; ++i) {
                int high = hexDigit(hex[2 * i]), low = hexDigit(hex[2 * i + 1]);
                digits = high >= 0 && low >= 0;
                digest[i] = (unsigned char)(high * 16 + low);
            }
            CK_OBJECT_HANDLE privateKey = 0, publicKey = 0;
            CK_MECHANISM mechanism = {CKM_GOSTR3410, NULL, 0};
            unsigned char signature[64];
            CK_ULONG signatureLength = sizeof signature;
            ok = digits &&
                 functions.C_Login(session, CKU_USER, (CK_UTF8CHAR *)pin, strlen(pin)) == CKR_OK &&
                 findFirst(session, CKO_PRIVATE_KEY, &privateKey) &&
                 findFirst(session, CKO_PUBLIC_KEY, &publicKey) &&
                 functions.C_SignInit(session, &mechanism, privateKey) == CKR_OK &&
                 functions.C_Sign(session, digest, digestLength, signature, &signatureLength) == CKR_OK;
        }
    }
    functions.C_Logout(session);
    functions.C_CloseSession(session);
    functions.C_Finalize(NULL);
    return ok;
}

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: floor MODULE READER list [ANSWER] | first | sign PIN HEX\n");
        return 2;
    }
    void *module = dlopen(argv[1], RTLD_LAZY);
    if (!module || !bind(module))
        return 1;
    const char *pin = argc > 4 ? argv[4] : NULL, *hex = argc > 5 ? argv[5] : NULL;
#ifdef NECESSARY_WORK
    char draft[4096];
    const char *answerName = strcmp(argv[3], "list") == 0 ? pin : NULL;
    if (answerName && !openAnswer(answerName, draft, sizeof draft))
        return 1;
    int ok = run(argv[3], argv[2], pin, hex);
    if (answerName && !commitAnswer(answerName, draft))
        ok = 0;
    return ok ? 0 : 1;
#else
    return run(argv[3], argv[2], pin, hex) ? 0 : 1;
#endif
}
