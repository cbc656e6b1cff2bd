// The bridge's process-wide state: what the entry-point binding, the session
// and the commands share for the whole run. State that one file alone uses
// lives in that file's anonymous namespace.
#pragma once

#include "bridge_codes.h"

#include <string>

// The module's entry points (entry_point_list.h), _C_Initialize to
// _C_GenerateKeyPair: null until bound, and null for good where the module
// provides none.
#define X(name) extern CK_C_##name _C_##name;
#include "entry_point_list.h"
#undef X

// The return value of the latest PKCS#11 call.
extern CK_RV rv;
// The open session; 0 while there is none.
extern CK_SESSION_HANDLE session;
// The certificate object that a search returned last.
extern CK_OBJECT_HANDLE userCert;
// The request's reader name, as a zero-terminated copy.
extern char* ch_readName;
// The step under way, by its label in error responses: an allocation that
// fails is answered under it. Null until the module is loaded.
extern const char* stepLabel;
// Whether the latest response body could not be written whole; the run then
// ends with exit status 1, so the host never takes a missing, empty or
// earlier answer for this run's.
extern bool responseFailed;
// The standard Base64 alphabet: every encoding the bridge writes, and the digest check.
extern const std::string base64_chars;
