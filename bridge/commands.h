// The three commands, entered from the session's dispatch with the session
// open and the certificate search started (session.cpp says what each finds).
#pragma once

#include "request.h"

#include <string>

// "getCertList": every certificate of the token, with its SHA-1 fingerprint,
// as the whole response.
void getCertList();
// "readTokenCert": the first certificate, which the session has drawn into userCert.
void readTokenCert();
// "signDocumentRaw": the request's digest signed with the token's first private key.
void signDocumentRaw(const Request& request);

// Keeps the request's PIN for the login in the one buffer that holds it, and
// wipes `pin`. A PIN too long for that buffer is not kept: the login then
// fails with CKR_PIN_LEN_RANGE.
void holdPin(std::string& pin);
// Wipes the held PIN: once the login has returned, and on every way out.
void wipePin();
