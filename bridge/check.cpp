// tovrel --check / marbek --check: what a real run in the current folder
// would meet, one step a line, for a person at a prompt. It never reads the
// PIN line, never logs in or signs, and writes, removes or changes no file:
// the earlier response stays, and only the first two request lines are read.
//
// C_GetInfo, C_GetTokenInfo and C_GetMechanismInfo, which no real run calls,
// are looked up here only, by name or in the function list; a module without
// them gets "not offered".
#include "bridge_codes.h"
#include "command_line.h"
#include "diagnostics.h"
#include "entry_points.h"
#include "error_names.h"
#include "file_utils.h"
#include "plugin_dir.h"
#include "request.h"
#include "responses.h"
#include "slot_text.h"
#include "variant.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <vector>

namespace {
// A step failed that a real run meets only once it has the token: some or
// all commands would fail there.
bool laterFailure = false;

// As many slots as a real run accepts.
const CK_ULONG MAX_CHECKED_SLOTS = 1024;
// Certificates counted per slot at most: a module whose search never ends
// must not hold the check.
const CK_ULONG MAX_COUNTED_OBJECTS = 100000;

void report(const std::string& step, const std::string& outcome)
{
    std::printf("%s: %s\n", step.c_str(), outcome.c_str());
}

std::string failure(const std::string& reason)
{
    return "FAILED: " + reason;
}

// "CKR_PIN_INCORRECT (0xa0)"
std::string codeText(CK_RV result)
{
    char hex[24];
    std::snprintf(hex, sizeof hex, "0x%lx", static_cast<unsigned long>(result));
    int code = responseCode(result);
    const char* name = errorName(code);
    if (std::strncmp(name, "CKR_", 4) != 0)
        return hex;
    return std::string(name) + " (" + hex + ")";
}

std::string number(unsigned long value)
{
    return std::to_string(value);
}

std::string version(const CK_VERSION& v)
{
    return number(v.major) + "." + number(v.minor);
}

int verdict(bool reachesToken)
{
    if (!reachesToken)
        report("verdict", failure("a real run stops before the token"));
    else if (laterFailure)
        report("verdict", "ok, a real run gets as far as the token, where what FAILED above makes commands fail");
    else
        report("verdict", "ok, a real run gets as far as the token");
    return std::fflush(stdout) == 0 && reachesToken ? 0 : 1;
}

// A function that no real run calls: by name, else from the function list
// (read now, since a module may fill or change its list in C_Initialize).
template <typename Fn>
Fn checkOnlyEntry(void* module, CK_FUNCTION_LIST_PTR list, const char* name,
                  Fn CK_FUNCTION_LIST::*member)
{
    Fn entry = reinterpret_cast<Fn>(::dlsym(module, name));
    if (!entry && list)
        entry = list->*member;
    return entry;
}

// The module path, as a real run finds it; false after a FAILED step.
bool findModulePath(char (&path)[MODULE_PATH_SIZE])
{
#ifdef BUILD_ETOKEN
    const std::string step = std::string("plugin-directory file ") + PLUGIN_DIR_FILE;
    std::string directory;
    std::string problem;
    ModuleLocation location = locateModule(MODULE_FILE_NAME, directory, path, problem);
    if (location == ModuleLocation::NoPluginDirFile) {
        report(step, failure(problem));
        return false;
    }
    report(step, "ok, first word " + quotedText(directory.data(), directory.size()));
    if (location == ModuleLocation::TooLong) {
        report("module path", failure("longer than " + number(MODULE_PATH_SIZE - 1) + " characters"));
        return false;
    }
#else
    std::memset(path, 0, sizeof path);
    std::strcpy(path, LISSI_MODULE_PATH);
#endif
    report("module path", std::string("ok, ") + path);
    return true;
}

// Which entry points the module provides and how; false when a real run
// could not even list the tokens.
bool checkEntryPoints(void* module)
{
    bindEntryPoints(module);
    unsigned long byName = 0;
    unsigned long fromList = 0;
    std::string missing;
#define OPTIONAL_ENTRY(name)
#define X(name)                                                                                    \
    if (::dlsym(module, "C_" #name))                                                               \
        ++byName;                                                                                  \
    else if (_C_##name)                                                                            \
        ++fromList;                                                                                \
    else                                                                                           \
        missing += std::string(missing.empty() ? "" : ", ") + "C_" #name;
#include "entry_point_list.h"
#undef X
#undef OPTIONAL_ENTRY
    std::string found = number(byName) + " by name, " + number(fromList) + " from the function list";
    if (missing.empty()) {
        report("entry points", "ok, " + found);
        return true;
    }
    report("entry points", failure("neither by name nor in the function list: " + missing + " (" +
                                   found + ")"));
    laterFailure = true;
#ifdef BUILD_ETOKEN
    return _C_Initialize && _C_GetSlotList && _C_GetSlotInfo;
#else
    return _C_Initialize && _C_GetSlotList;
#endif
}

void checkLibraryInfo(CK_C_GetInfo getInfo)
{
    if (!getInfo) {
        report("C_GetInfo", "not offered");
        return;
    }
    CK_INFO info;
    std::memset(&info, 0, sizeof info);
    CK_RV result = getInfo(&info);
    if (result != CKR_OK) {
        report("C_GetInfo", failure(codeText(result) + "; no real run calls it"));
        return;
    }
    report("C_GetInfo", "ok, " +
                            fieldText(info.libraryDescription, sizeof info.libraryDescription) +
                            " by " + fieldText(info.manufacturerID, sizeof info.manufacturerID) +
                            ", version " + version(info.libraryVersion) + ", Cryptoki " +
                            version(info.cryptokiVersion));
}

// The slots that hold a token, as a real run lists them; empty after a FAILED step.
std::vector<CK_SLOT_ID> listSlots()
{
    const char* step = "slots with a token";
    std::vector<CK_SLOT_ID> slots;
    CK_ULONG count = 0;
    CK_RV result = callEntry(_C_GetSlotList, static_cast<CK_BBOOL>(CK_TRUE), nullptr, &count);
    if (result != CKR_OK) {
        report(step, failure("C_GetSlotList: " + codeText(result)));
        return slots;
    }
    if (count > MAX_CHECKED_SLOTS) {
        report(step, failure(number(count) + ", more than " + number(MAX_CHECKED_SLOTS)));
        return slots;
    }
    slots.resize(count ? count : 1);
    CK_ULONG capacity = slots.size();
    result = callEntry(_C_GetSlotList, static_cast<CK_BBOOL>(CK_TRUE), slots.data(), &count);
    if (result != CKR_OK) {
        report(step, failure("C_GetSlotList: " + codeText(result)));
        slots.clear();
        return slots;
    }
    slots.resize(count < capacity ? count : capacity);
    if (slots.empty()) {
        report(step, failure("none; a real run answers 1025 at C_FindToken"));
        return slots;
    }
    report(step, "ok, " + number(slots.size()));
    return slots;
}

// One line per slot: its texts and its token's; `texts` gets the text a
// real run matches the reader name against (empty where it is unreadable).
void describeSlots(const std::vector<CK_SLOT_ID>& slots, CK_C_GetTokenInfo getTokenInfo,
                   std::vector<std::string>& texts, std::vector<bool>& readable)
{
    for (CK_SLOT_ID slot : slots) {
        std::string line;
        CK_SLOT_INFO slotInfo;
        std::memset(&slotInfo, 0, sizeof slotInfo);
        CK_RV result = callEntry(_C_GetSlotInfo, slot, &slotInfo);
        readable.push_back(result == CKR_OK);
        texts.push_back(result == CKR_OK ? slotText(slotInfo) : std::string());
        if (result == CKR_OK)
            line = "description " +
                   fieldText(slotInfo.slotDescription, sizeof slotInfo.slotDescription) +
                   ", manufacturer " + fieldText(slotInfo.manufacturerID, sizeof slotInfo.manufacturerID);
        else
            line = "slot information not readable: " + codeText(result);
        if (!getTokenInfo) {
            line += ", token information not offered";
        } else {
            CK_TOKEN_INFO token;
            std::memset(&token, 0, sizeof token);
            result = getTokenInfo(slot, &token);
            if (result == CKR_OK)
                line += ", token " + fieldText(token.label, sizeof token.label) + ", model " +
                        fieldText(token.model, sizeof token.model) + ", serial " +
                        fieldText(token.serialNumber, sizeof token.serialNumber);
            else
                line += ", token information not readable: " + codeText(result);
        }
        bool failedHere = !readable.back();
#ifndef BUILD_ETOKEN
        // marbek never asks for the slot information.
        failedHere = false;
#endif
        report("slot " + number(slot), failedHere ? failure(line) : "ok, " + line);
    }
}

// The slots the remaining steps look at: the one a real run would choose,
// or every slot while tovrel has no request to choose by. Empty after a
// FAILED step.
std::vector<CK_SLOT_ID> chooseSlots(const std::vector<CK_SLOT_ID>& slots,
                                    const std::vector<std::string>& texts,
                                    const std::vector<bool>& readable)
{
    std::vector<CK_SLOT_ID> chosen;
#ifdef BUILD_ETOKEN
    const char* step = "request file " REQUEST_FILE_NAME;
    Request request;
    if (!readRequestHead(REQUEST_FILE_NAME, request)) {
        report(step, std::string("not read (") + fileProblem() +
                         "); the slot is chosen by the one the host writes, so every slot is "
                         "looked at below");
        return slots;
    }
    if (request.lineCount < MIN_REQUEST_LINES) {
        report(step, failure(number(request.lineCount) +
                             " line(s); a real run needs 2 and answers 1027 at main_code"));
        return chosen;
    }
    const std::string& name = request.readerName;
    std::string quotedName = quotedText(name.data(), name.size());
    bool found = false;
    CK_SLOT_ID last = 0;
    for (size_t i = 0; i < slots.size(); ++i) {
        if (readable[i] && texts[i].find(name) != std::string::npos) {
            last = slots[i];
            found = true;
        }
    }
    if (!found) {
        report(step, failure("the reader name " + quotedName +
                             " is in no slot's text; a real run answers 1025 at C_FindToken"));
        return chosen;
    }
    report(step, "ok, command " +
                     quotedText(request.commandname.data(), request.commandname.size()) +
                     ", reader name " + quotedName + " chooses slot " + number(last));
    chosen.push_back(last);
#else
    (void)texts;
    (void)readable;
    report("slot choice", "ok, slot " + number(slots[0]) + ", the first with a token");
    chosen.push_back(slots[0]);
#endif
    return chosen;
}

void checkMechanism(CK_SLOT_ID slot, CK_C_GetMechanismInfo getMechanismInfo)
{
    const std::string step = "CKM_GOSTR3410 on slot " + number(slot);
    CK_MECHANISM_INFO info;
    std::memset(&info, 0, sizeof info);
    CK_RV result = getMechanismInfo ? getMechanismInfo(slot, CKM_GOSTR3410, &info)
                                    : static_cast<CK_RV>(CKR_FUNCTION_NOT_SUPPORTED);
    if (result == CKR_FUNCTION_NOT_SUPPORTED) {
        report(step, "not offered: the module does not say which mechanisms it has");
        return;
    }
    laterFailure = laterFailure || result != CKR_OK || !(info.flags & CKF_SIGN);
    if (result == CKR_MECHANISM_INVALID)
        report(step, failure("the token does not have it: " + codeText(result) +
                             "; signDocumentRaw would fail"));
    else if (result != CKR_OK)
        report(step, failure("C_GetMechanismInfo: " + codeText(result)));
    else if (!(info.flags & CKF_SIGN))
        report(step, failure("offered without CKF_SIGN; signDocumentRaw would fail"));
    else
        report(step, "ok, signs, keys of " + number(info.ulMinKeySize) + " to " +
                         number(info.ulMaxKeySize) + " bits");
}

// Counts the certificate objects that a session without login shows, in a
// read-only session, as the certificate commands search for them. False when
// no session opens: a real run stops there, at C_OpenSession.
bool countCertificates(CK_SLOT_ID slot)
{
    const std::string step = "certificates on slot " + number(slot);
    CK_SESSION_HANDLE checkSession = 0;
    CK_RV result = callEntry(_C_OpenSession, slot, static_cast<CK_FLAGS>(CKF_SERIAL_SESSION),
                             nullptr, nullptr, &checkSession);
    if (result != CKR_OK) {
        report(step, failure("C_OpenSession: " + codeText(result)));
        return false;
    }
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    CK_ATTRIBUTE search = {CKA_CLASS, &certClass, sizeof certClass};
    result = callEntry(_C_FindObjectsInit, checkSession, &search, static_cast<CK_ULONG>(1));
    CK_ULONG total = 0;
    bool endless = false;
    if (result == CKR_OK) {
        CK_OBJECT_HANDLE found[64];
        CK_ULONG count = 0;
        while ((result = callEntry(_C_FindObjects, checkSession, found,
                                   static_cast<CK_ULONG>(64), &count)) == CKR_OK &&
               count > 0) {
            // Never more than asked for, whatever the module says.
            total += count < 64 ? count : 64;
            if (total > MAX_COUNTED_OBJECTS) {
                endless = true;
                break;
            }
        }
        CK_RV finalResult = callEntry(_C_FindObjectsFinal, checkSession);
        if (result == CKR_OK)
            result = finalResult;
    }
    callEntry(_C_CloseSession, checkSession);
    if (endless) {
        laterFailure = true;
        report(step, failure("more than " + number(MAX_COUNTED_OBJECTS) +
                             ": the module's search does not end"));
    } else if (result != CKR_OK) {
        laterFailure = true;
        report(step, failure("the search: " + codeText(result)));
    } else if (total == 0) {
        laterFailure = true;
        report(step, failure("none visible without login; readTokenCert and signDocumentRaw "
                             "would answer 1026"));
    } else {
        report(step, "ok, " + number(total) + " visible without login");
    }
    return true;
}

// From C_Initialize on; ends with C_Finalize.
bool checkToken(void* module)
{
    CK_RV result = callEntry(_C_Initialize, nullptr);
    if (result != CKR_OK) {
        report("C_Initialize", failure(codeText(result)));
        return false;
    }
    report("C_Initialize", "ok");
    CK_FUNCTION_LIST_PTR list = nullptr;
    CK_C_GetFunctionList getFunctionList =
        reinterpret_cast<CK_C_GetFunctionList>(::dlsym(module, "C_GetFunctionList"));
    if (!getFunctionList || getFunctionList(&list) != CKR_OK)
        list = nullptr;
    checkLibraryInfo(checkOnlyEntry(module, list, "C_GetInfo", &CK_FUNCTION_LIST::C_GetInfo));

    bool reached = false;
    std::vector<CK_SLOT_ID> slots = listSlots();
    if (!slots.empty()) {
        std::vector<std::string> texts;
        std::vector<bool> readable;
        describeSlots(slots,
                      checkOnlyEntry(module, list, "C_GetTokenInfo", &CK_FUNCTION_LIST::C_GetTokenInfo),
                      texts, readable);
        std::vector<CK_SLOT_ID> chosen = chooseSlots(slots, texts, readable);
        CK_C_GetMechanismInfo getMechanismInfo = checkOnlyEntry(
            module, list, "C_GetMechanismInfo", &CK_FUNCTION_LIST::C_GetMechanismInfo);
        // Without a request to choose by, one slot with a session is enough.
        for (CK_SLOT_ID slot : chosen) {
            checkMechanism(slot, getMechanismInfo);
            reached = countCertificates(slot) || reached;
        }
    }
    callEntry(_C_Finalize, nullptr);
    return reached;
}
} // namespace

int runCheck()
{
    if (!pinWorkFolder()) {
        report("working folder", failure(std::strerror(errno)));
        return verdict(false);
    }
    char modulePath[MODULE_PATH_SIZE];
    if (!findModulePath(modulePath))
        return verdict(false);
    std::string outcome;
    bool usable = checkModuleFile(modulePath, "the module", outcome);
    report("module file", outcome);
    if (!usable)
        return verdict(false);
    void* module = ::dlopen(modulePath, RTLD_LAZY);
    if (!module) {
        report("loading the module", failure(loaderReason()));
        return verdict(false);
    }
    report("loading the module", "ok");
    if (!checkEntryPoints(module))
        return verdict(false);
    return verdict(checkToken(module));
}
