// A PKCS#11 module whose every answer comes from the fuzz input (fuzz_script.h):
// return values, counts, lengths, bytes, slot and token texts, object classes,
// signatures, and whether a call ends the run. It never writes past a buffer
// it was handed, whatever length it then claims. The record lists every
// return value but CKR_OK and, for each answer handed back with CKR_OK and a
// length within its buffer, the buffer's bytes up to that length, which is
// what a bridge may answer with.
//
// Built twice: with every function exported by name, and (FUZZ_LISTED_ONLY)
// with C_GetFunctionList alone, whose list has holes where the script says.
#include "fuzz_script.h"

#include <p11-kit/pkcs11.h>

#include <string>

namespace fs = fuzz_script;

#ifdef FUZZ_LISTED_ONLY
#define FN(name) static CK_RV listed_C_##name
#define REF(name) listed_C_##name
#else
#define FN(name) extern "C" __attribute__((visibility("default"))) CK_RV C_##name
#define REF(name) C_##name
#endif

namespace {
const CK_RV ERRORS[] = {
    CKR_GENERAL_ERROR, CKR_FUNCTION_FAILED, CKR_ARGUMENTS_BAD, CKR_HOST_MEMORY,
    CKR_DEVICE_ERROR, CKR_TOKEN_NOT_PRESENT, CKR_TOKEN_WRITE_PROTECTED, CKR_PIN_INCORRECT,
    CKR_PIN_LOCKED, CKR_USER_ALREADY_LOGGED_IN, CKR_BUFFER_TOO_SMALL, CKR_FUNCTION_NOT_SUPPORTED,
    CKR_CRYPTOKI_ALREADY_INITIALIZED, CKR_CRYPTOKI_NOT_INITIALIZED, CKR_ATTRIBUTE_TYPE_INVALID,
    CKR_ATTRIBUTE_SENSITIVE, CKR_SESSION_HANDLE_INVALID, CKR_OBJECT_HANDLE_INVALID,
    CKR_KEY_HANDLE_INVALID, CKR_MECHANISM_INVALID, CKR_OPERATION_ACTIVE, CKR_DATA_LEN_RANGE,
    CKR_SLOT_ID_INVALID, CKR_CANCEL, CKR_VENDOR_DEFINED, 0x401, 0x402, 0x403, 0x7FFFFFFFUL,
    static_cast<CK_RV>(0xFFFFFFFFUL), CKR_PIN_LEN_RANGE, CKR_USER_NOT_LOGGED_IN};
const size_t ERROR_COUNT = sizeof ERRORS / sizeof ERRORS[0];

// A return value: 0x00-0x9F CKR_OK, 0xA0-0xDF an error of the table,
// 0xE0-0xEF the run ends here (fs::endRun), 0xF0-0xF7 four bytes as they
// stand, 0xF8-0xFF eight (cut to CK_RV's width).
CK_RV answer(const char* call)
{
    uint8_t b = fs::next(0);
    CK_RV rv = CKR_OK;
    if (b >= 0xA0 && b < 0xE0)
        rv = ERRORS[(b - 0xA0) % ERROR_COUNT];
    else if (b >= 0xE0 && b < 0xF0) {
        fs::write(std::string("call ") + call);
        fs::endRun(b - 0xE0);
    } else if (b >= 0xF0)
        rv = static_cast<CK_RV>(fs::number(b < 0xF8 ? 4 : 8));
    if (rv != CKR_OK)
        fs::write(std::string("rv ") + call + " " + std::to_string(static_cast<unsigned long long>(rv)));
    return rv;
}

// A length the module claims: 0 as much as the buffer held (or the value's
// own size), then shorter, longer, zero, unavailable, far too large, untouched.
enum Claim { Exact, Shorter, Longer, Zero, Unavailable, Huge, Untouched, ClaimCount };

// The slot texts on offer: what readers are called, and what breaks matching.
const char* const TEXTS[] = {"JaCarta", "Aladdin R.D. JaCarta 00 00", "Aktiv Rutoken ECP",
                             "", "\"quoted\" \\ name", "Ja\001Carta", "Token\tTab",
                             "JaCartaJaCartaJaCartaJaCartaJaCartaJaCartaJaCartaJaCartaJaCarta!"};

// Fills a blank-padded text field: a text of the table, raw script bytes,
// or the field left as the caller had it.
void fillText(unsigned char* field, size_t size)
{
    uint8_t mode = fs::next(0);
    if (mode >= 0xF0)
        return;
    std::memset(field, ' ', size);
    if (mode >= 0xC0) {
        size_t n = mode == 0xC0 ? size : (mode - 0xC0) % (size + 1);
        fs::take(field, n);
        return;
    }
    const char* text = TEXTS[mode % (sizeof TEXTS / sizeof TEXTS[0])];
    size_t n = std::strlen(text);
    std::memcpy(field, text, n < size ? n : size);
    if (mode & 0x80 && n < size)
        field[n] = 0;
}

CK_ULONG claim(uint8_t how, CK_ULONG exact, CK_ULONG current)
{
    switch (how % ClaimCount) {
    case Exact: return exact;
    case Shorter: return exact ? exact - 1 : 0;
    case Longer: return exact + 1;
    case Zero: return 0;
    case Unavailable: return CK_UNAVAILABLE_INFORMATION;
    case Huge: return static_cast<CK_ULONG>(0x80000000UL);
    default: return current;
    }
}

// The length announced for CKA_VALUE: 0x00-0xDF that many times nine bytes,
// then the bridge's limit, one past it, unavailable, 2^31-1, two bytes as
// they stand.
CK_ULONG valueLength(uint8_t b)
{
    switch (b) {
    case 0xE0: return 16UL * 1024 * 1024;
    case 0xE1: return 16UL * 1024 * 1024 + 1;
    case 0xE2: return CK_UNAVAILABLE_INFORMATION;
    case 0xE3: return 0x7FFFFFFFUL;
    case 0xE4: return static_cast<CK_ULONG>(fs::number(2));
    default: return b < 0xE0 ? 9UL * b : 27;
    }
}

// Whether every C_FindObjects from now on finds one more object.
bool endless = false;
} // namespace

FN(Initialize)(void*) { return answer("C_Initialize"); }
FN(Finalize)(void*) { return answer("C_Finalize"); }

FN(GetInfo)(CK_INFO_PTR info)
{
    CK_RV rv = answer("C_GetInfo");
    if (info && fs::next(0) < 0x80) {
        fs::fill(reinterpret_cast<unsigned char*>(info), sizeof *info, fs::next(0));
        fillText(info->manufacturerID, sizeof info->manufacturerID);
        fillText(info->libraryDescription, sizeof info->libraryDescription);
    }
    return rv;
}

FN(GetSlotList)(CK_BBOOL, CK_SLOT_ID_PTR list, CK_ULONG_PTR count)
{
    CK_RV rv = answer("C_GetSlotList");
    static const CK_ULONG COUNTS[] = {1, 0, 2, 3, 4, 7, 16, 64, 1023, 1024, 1025, 0x7FFFFFFFUL,
                                      ~0UL, 5, 1, 0};
    uint8_t b = fs::next(0);
    if (!count || b == 0xFF)
        return rv;
    CK_ULONG claimed = COUNTS[b & 15];
    if (list) {
        CK_ULONG room = *count < claimed ? *count : claimed;
        for (CK_ULONG i = 0; i < room; ++i)
            list[i] = i < 8 ? fs::next(static_cast<uint8_t>(i)) : i;
    }
    *count = claimed;
    return rv;
}

FN(GetSlotInfo)(CK_SLOT_ID, CK_SLOT_INFO_PTR info)
{
    CK_RV rv = answer("C_GetSlotInfo");
    if (!info)
        return rv;
    fillText(info->slotDescription, sizeof info->slotDescription);
    fillText(info->manufacturerID, sizeof info->manufacturerID);
    uint8_t flags = fs::next(0);
    info->flags = flags == 0 ? CKF_TOKEN_PRESENT | CKF_REMOVABLE_DEVICE | CKF_HW_SLOT : flags;
    return rv;
}

FN(GetTokenInfo)(CK_SLOT_ID, CK_TOKEN_INFO_PTR info)
{
    CK_RV rv = answer("C_GetTokenInfo");
    if (info && fs::next(0) < 0x80) {
        fs::fill(reinterpret_cast<unsigned char*>(info), sizeof *info, fs::next(0));
        fillText(info->label, sizeof info->label);
        fillText(info->model, sizeof info->model);
        fillText(info->serialNumber, sizeof info->serialNumber);
    }
    return rv;
}

FN(GetMechanismInfo)(CK_SLOT_ID, CK_MECHANISM_TYPE, CK_MECHANISM_INFO_PTR info)
{
    CK_RV rv = answer("C_GetMechanismInfo");
    if (info && fs::next(0) < 0x80) {
        info->ulMinKeySize = fs::next(0) ? static_cast<CK_ULONG>(fs::number(4)) : 256;
        info->ulMaxKeySize = fs::next(0) ? static_cast<CK_ULONG>(fs::number(4)) : 512;
        uint8_t flags = fs::next(0);
        info->flags = flags == 0 ? CKF_HW | CKF_SIGN : flags * 0x101UL;
    }
    return rv;
}

FN(OpenSession)(CK_SLOT_ID, CK_FLAGS, void*, CK_NOTIFY, CK_SESSION_HANDLE_PTR session)
{
    CK_RV rv = answer("C_OpenSession");
    uint8_t b = fs::next(0);
    if (session && b != 0xFF)
        *session = b == 0 ? 1 : b == 0xFE ? 0 : b;
    return rv;
}

FN(CloseSession)(CK_SESSION_HANDLE) { return answer("C_CloseSession"); }

FN(Login)(CK_SESSION_HANDLE, CK_USER_TYPE, CK_UTF8CHAR_PTR pin, CK_ULONG length)
{
    fs::write("login " + (pin ? fs::hex(pin, length) : std::string("null")));
    return answer("C_Login");
}

FN(Logout)(CK_SESSION_HANDLE) { return answer("C_Logout"); }
FN(FindObjectsInit)(CK_SESSION_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG) { return answer("C_FindObjectsInit"); }

// 0x00 none left, 0x01-0x7F one (that handle), 0x80-0xBF several, 0xC0-0xEF
// one now and at every later call, 0xF0 and above the count left untouched.
FN(FindObjects)(CK_SESSION_HANDLE, CK_OBJECT_HANDLE_PTR objects, CK_ULONG room, CK_ULONG_PTR count)
{
    CK_RV rv = answer("C_FindObjects");
    uint8_t b = endless ? 1 : fs::next(0);
    if (b >= 0xC0 && b < 0xF0)
        endless = true;
    if (!count || b >= 0xF0)
        return rv;
    CK_ULONG found = b == 0 ? 0 : b < 0x80 || b >= 0xC0 ? 1 : static_cast<CK_ULONG>(b - 0x7E);
    for (CK_ULONG i = 0; objects && i < found && i < room; ++i)
        objects[i] = b < 0x80 ? b : 0x100 + i;
    *count = b >= 0x80 && b < 0xC0 && (b & 1) ? 0x7FFFFFFFUL : found;
    return rv;
}

FN(FindObjectsFinal)(CK_SESSION_HANDLE) { return answer("C_FindObjectsFinal"); }

FN(GetAttributeValue)(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR attributes, CK_ULONG count)
{
    CK_RV rv = answer("C_GetAttributeValue");
    for (CK_ULONG i = 0; attributes && i < count && i < 8; ++i) {
        CK_ATTRIBUTE& a = attributes[i];
        if (a.type == CKA_CLASS) {
            static const CK_OBJECT_CLASS CLASSES[] = {CKO_CERTIFICATE, CKO_PRIVATE_KEY,
                                                      CKO_PUBLIC_KEY, CKO_DATA};
            uint8_t k = fs::next(0);
            CK_OBJECT_CLASS value = k < 0x80 ? CLASSES[k & 3] : static_cast<CK_OBJECT_CLASS>(k);
            if (a.pValue && a.ulValueLen >= sizeof value && (k & 0x40) == 0)
                std::memcpy(a.pValue, &value, sizeof value);
            a.ulValueLen = claim(k & 0x40 ? fs::next(0) : static_cast<uint8_t>(Exact), sizeof value, a.ulValueLen);
            continue;
        }
        if (!a.pValue) {
            uint8_t b = fs::next(0);
            if (b != 0xFF)
                a.ulValueLen = valueLength(b);
            continue;
        }
        // The value itself: as many bytes as the buffer holds, at most 64 KiB,
        // then the length the script claims.
        CK_ULONG room = a.ulValueLen;
        size_t written = room < 65536 ? room : 65536;
        fs::fill(static_cast<unsigned char*>(a.pValue), written, fs::next(0));
        CK_ULONG claimed = claim(fs::next(0), written, a.ulValueLen);
        a.ulValueLen = claimed;
        // A length within the buffer hands back the buffer's bytes up to it,
        // written here or not; only a longer one is a lie.
        if (rv == CKR_OK && a.type == CKA_VALUE)
            fs::write(claimed <= room ? "value " + fs::hex(a.pValue, claimed)
                                      : "value-lie " + std::to_string(claimed));
    }
    return rv;
}

FN(SignInit)(CK_SESSION_HANDLE, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE)
{
    if (mechanism)
        fs::write("mechanism " + std::to_string(mechanism->mechanism));
    return answer("C_SignInit");
}

FN(Sign)(CK_SESSION_HANDLE, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR signature,
         CK_ULONG_PTR signatureLength)
{
    fs::write("signdata " + (data ? fs::hex(data, length) : std::string("null")));
    CK_RV rv = answer("C_Sign");
    if (!signatureLength)
        return rv;
    CK_ULONG room = *signatureLength;
    size_t written = 0;
    if (signature) {
        written = room < 64 ? room : 64;
        fs::fill(signature, written, fs::next(0));
    }
    CK_ULONG claimed = claim(fs::next(0), 64, room);
    *signatureLength = claimed;
    if (rv == CKR_OK)
        fs::write(signature && claimed <= room ? "signature " + fs::hex(signature, claimed)
                                               : "signature-lie " + std::to_string(claimed));
    return rv;
}

FN(DestroyObject)(CK_SESSION_HANDLE, CK_OBJECT_HANDLE) { return answer("C_DestroyObject"); }
FN(GenerateKeyPair)(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG, CK_ATTRIBUTE_PTR,
                    CK_ULONG, CK_OBJECT_HANDLE_PTR, CK_OBJECT_HANDLE_PTR)
{
    return answer("C_GenerateKeyPair");
}

namespace {
CK_FUNCTION_LIST functionList;
} // namespace

// The list: version 2.40 and every function above. In the list-only build
// the script knocks holes in it: one bit per function of four script bytes.
extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list)
{
    CK_RV rv = answer("C_GetFunctionList");
    std::memset(&functionList, 0, sizeof functionList);
    functionList.version.major = 2;
    functionList.version.minor = 40;
    uint32_t holes = 0;
#ifdef FUZZ_LISTED_ONLY
    holes = static_cast<uint32_t>(fs::number(4));
#endif
    int bit = 0;
#define SET(name) functionList.C_##name = holes >> (bit++) & 1 ? nullptr : REF(name);
    SET(Initialize) SET(Finalize) SET(GetInfo) SET(GetSlotList) SET(GetSlotInfo) SET(GetTokenInfo)
    SET(GetMechanismInfo) SET(OpenSession) SET(CloseSession) SET(Login) SET(Logout)
    SET(FindObjectsInit) SET(FindObjects) SET(FindObjectsFinal) SET(GetAttributeValue)
    SET(SignInit) SET(Sign) SET(DestroyObject) SET(GenerateKeyPair)
#undef SET
    functionList.C_GetFunctionList = C_GetFunctionList;
    if (list && fs::next(0) != 0xFF)
        *list = &functionList;
    else if (list)
        *list = nullptr;
    return rv;
}
