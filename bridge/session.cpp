#include "session.h"

#include "commands.h"
#include "diagnostics.h"
#include "entry_points.h"
#include "responses.h"
#include "slot_text.h"
#include "trace.h"
#include "variant.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
// The slots that hold a token, slotCount of them; freed at teardown.
CK_SLOT_ID* slots = nullptr;
CK_ULONG slotCount = 0;
#ifdef BUILD_ETOKEN
// One record, reused for each slot in turn while the reader name is looked for.
CK_SLOT_INFO slotInfo = {};
#endif
// The slot chosen; all bits set while none is.
CK_SLOT_ID currSlot = static_cast<CK_SLOT_ID>(-1);
// How many objects the first-certificate search returned (0 or 1).
CK_ULONG certsFound = 0;

// Every certificate the session can see: the search has no other attribute.
CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
CK_ATTRIBUTE certAttribs[1] = {{CKA_CLASS, &certClass, sizeof certClass}};
// Larger attribute values than this are refused rather than allocated: a
// certificate is a few kilobytes, and a module that claims gigabytes is broken.
const CK_ULONG MAX_VALUE_LENGTH = 16UL * 1024 * 1024;

// A reader holds one token; a module that claims more slots than this is
// broken, and walking them all would flood the trace.
const CK_ULONG MAX_SLOTS = 1024;

bool initialiseModule()
{
    stepLabel = "C_Initialize";
    rv = callEntry(_C_Initialize, nullptr);
    if (failed("C_Initialize", rv))
        return false;
    trace("\nlib initialized");
    return true;
}

bool listSlotsWithToken()
{
    stepLabel = "C_GetSlotList";
    rv = callEntry(_C_GetSlotList, static_cast<CK_BBOOL>(CK_TRUE), nullptr, &slotCount);
    if (failed("C_GetSlotList", rv))
        return false;
    if (slotCount > MAX_SLOTS) {
        trace("\nslot count:");
        traceNumber(slotCount);
        trace(", more than 1024");
        slotCount = 0;
        rv = CKR_GENERAL_ERROR;
        failed("C_GetSlotList", rv);
        return false;
    }
    CK_ULONG capacity = slotCount;
    slots = static_cast<CK_SLOT_ID*>(std::calloc(capacity ? capacity : 1, sizeof(CK_SLOT_ID)));
    if (!slots) {
        rv = CKR_HOST_MEMORY;
        failed("C_GetSlotList", rv);
        return false;
    }
    rv = callEntry(_C_GetSlotList, static_cast<CK_BBOOL>(CK_TRUE), slots, &slotCount);
    if (failed("C_GetSlotList", rv))
        return false;
    // Never walk past the list that was allocated, whatever count comes back.
    if (slotCount > capacity)
        slotCount = capacity;
    if (slotCount == 0) {
        PrintError("C_FindToken", CKR_TOKEN_NOT_FOUND);
        return false;
    }
    trace("\nslot count:");
    traceNumber(slotCount);
    return true;
}

#ifdef BUILD_ETOKEN
// Picks the slot whose text contains the requested reader name; when several
// do, the last one in the list wins.
bool chooseSlot()
{
    stepLabel = "C_FindToken";
    trace("\ntry find \"");
    trace(ch_readName);
    trace("\"\n");
    bool found = false;
    for (CK_ULONG i = 0; i < slotCount; ++i) {
        rv = callEntry(_C_GetSlotInfo, slots[i], &slotInfo);
        trace("token #");
        traceNumber(i);
        trace(": ");
        if (rv != CKR_OK) {
            // A slot that cannot describe itself is never taken for the reader.
            trace("slot information not readable, code ");
            traceNumber(rv);
            trace("\n");
            continue;
        }
        std::string text = slotText(slotInfo);
        trace(text);
        trace("\n");
        if (text.find(ch_readName) != std::string::npos) {
            currSlot = slots[i];
            found = true;
        }
    }
    if (!found) {
        PrintError("C_FindToken", CKR_TOKEN_NOT_FOUND);
        return false;
    }
    return true;
}
#else
bool chooseSlot()
{
    currSlot = slots[0];
    return true;
}
#endif

bool openSession()
{
    stepLabel = "C_OpenSession";
    rv = callEntry(_C_OpenSession, currSlot, static_cast<CK_FLAGS>(CKF_SERIAL_SESSION | CKF_RW_SESSION),
                   nullptr, nullptr, &session);
    if (rv == CKR_TOKEN_WRITE_PROTECTED) {
        // No command writes to the token, so a read-only session serves as well.
        trace("\ntoken is write-protected, opening a read-only session");
        session = 0;
        rv = callEntry(_C_OpenSession, currSlot, static_cast<CK_FLAGS>(CKF_SERIAL_SESSION), nullptr,
                       nullptr, &session);
    }
    if (rv != CKR_OK) {
        session = 0;
        failed("C_OpenSession", rv);
        return false;
    }
    trace("\nsession opened");
    return true;
}

void dispatch(const Request& request)
{
    const std::string& command = request.commandname;
    if (command == "getCertList") {
        getCertList();
        return;
    }
    stepLabel = "C_FindObjects";
    rv = callEntry(_C_FindObjects, session, &userCert, static_cast<CK_ULONG>(1), &certsFound);
    if (failed("C_FindObjects", rv))
        return;
    rv = callEntry(_C_FindObjectsFinal, session);
    if (failed("C_FindObjectsFinal", rv))
        return;
    if (certsFound == 0) {
        PrintError("C_FindObjects", CKR_CERT_NOT_FOUND);
        return;
    }
    trace(command);
    trace("\n");
    if (command == "readTokenCert")
        readTokenCert();
    else if (command == "signDocumentRaw")
        signDocumentRaw(request);
    else
        // Without an answer the host would read an earlier run's response as this one's.
        PrintError("unknown command", CKR_ARGUMENTS_BAD);
}
} // namespace

void runSession(const Request& request)
{
    if (initialiseModule() && listSlotsWithToken() && chooseSlot() && openSession()) {
        stepLabel = "C_FindObjectsInit";
        rv = callEntry(_C_FindObjectsInit, session, certAttribs, static_cast<CK_ULONG>(1));
        if (!failed("C_FindObjectsInit", rv)) {
            trace("\ncommand:  ");
            trace(request.commandname);
            trace("\n");
            dispatch(request);
        }
    }
    teardown();
}

void teardown()
{
    wipePin();
    if (session != 0) {
        callEntry(_C_Logout, session);
        callEntry(_C_CloseSession, session);
    }
    callEntry(_C_Finalize, nullptr);
    std::free(slots);
    slots = nullptr;
    std::fflush(stdout);
    std::exit(responseFailed ? 1 : 0);
}

bool failed(const char* label, CK_RV result)
{
    if (result == CKR_OK)
        return false;
    if (result == CKR_FUNCTION_NOT_SUPPORTED && !missingEntryPoints().empty())
        tellReason("the module provides neither by name nor in its function list: %s",
                   missingEntryPoints().c_str());
    PrintError(label, responseCode(result));
    return true;
}

unsigned char* getVALUE(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE object, CK_ULONG* length)
{
    CK_ATTRIBUTE valueTemplate = {CKA_VALUE, nullptr, 0};
    rv = callEntry(_C_GetAttributeValue, hSession, object, &valueTemplate, static_cast<CK_ULONG>(1));
    if (rv != CKR_OK)
        return nullptr;
    CK_ULONG size = valueTemplate.ulValueLen;
    if (size > MAX_VALUE_LENGTH) {
        rv = CKR_HOST_MEMORY;
        return nullptr;
    }
    unsigned char* block = static_cast<unsigned char*>(std::calloc(size + 1, 1));
    if (!block) {
        rv = CKR_HOST_MEMORY;
        return nullptr;
    }
    valueTemplate.pValue = block;
    rv = callEntry(_C_GetAttributeValue, hSession, object, &valueTemplate, static_cast<CK_ULONG>(1));
    // A module that answers with more bytes than it announced has broken the
    // contract; the block must not be read past what was allocated.
    if (rv == CKR_OK && valueTemplate.ulValueLen > size)
        rv = CKR_GENERAL_ERROR;
    if (rv != CKR_OK) {
        p11_warn("C_GetAttributeValue(VALUE)", responseCode(rv));
        std::free(block);
        return nullptr;
    }
    if (length)
        *length = valueTemplate.ulValueLen;
    return block;
}
