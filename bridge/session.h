// The token session: module start-up, slot choice, the certificate search, the
// command dispatch and the teardown that ends every run.
#pragma once

#include "bridge_codes.h"
#include "request.h"

#include <string>

extern CK_RV rv;
extern CK_SESSION_HANDLE session;
extern CK_OBJECT_HANDLE userCert;
extern CK_ATTRIBUTE certAttribsPubk[1];
extern CK_ATTRIBUTE certAttribsPrk[1];
extern CK_MECHANISM mech;
extern char* ch_readName;
extern std::string base64_chars;

// Runs the request against the bound module and ends the process through the
// teardown, with exit status 0.
[[noreturn]] void runSession(const Request& request);

// Logs out and closes the session when there is one, finalises the module,
// frees the slot list and exits with status 0.
[[noreturn]] void teardown();

// Reports a failed step with its label; true when `result` is a failure.
bool failed(const char* label, CK_RV result);

// Reads the CKA_VALUE of `object` into a fresh zero-terminated block, which the
// caller frees, storing its length through `length` when that is not null.
// Returns null when the value cannot be read; `rv` then holds the reason.
unsigned char* getVALUE(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ULONG* length);

// Keeps the request's PIN for the login in the one buffer that holds it, and
// wipes `pin`. A PIN too long for that buffer is not kept: the login then
// fails with CKR_PIN_LEN_RANGE.
void holdPin(std::string& pin);
// Wipes the held PIN: once the login has returned, and on every way out.
void wipePin();

// The commands, entered with the session open (see session.cpp).
void getCertList();
void readTokenCert();
void signDocumentRaw(const Request& request);
