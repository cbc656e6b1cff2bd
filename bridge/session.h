// The token session: module start-up, slot choice, the certificate search, the
// command dispatch and the teardown that ends every run.
#pragma once

#include "bridge_state.h"
#include "request.h"

// Runs the request against the bound module and ends the process through the
// teardown.
[[noreturn]] void runSession(const Request& request);

// Logs out and closes the session when there is one, finalises the module,
// frees the slot list and exits: with status 0, or 1 when the response could
// not be written whole.
[[noreturn]] void teardown();

// Reports a failed step with its label; true when `result` is a failure.
bool failed(const char* label, CK_RV result);

// Reads the CKA_VALUE of `object` into a fresh zero-terminated block, which the
// caller frees, storing its length through `length` when that is not null.
// Returns null when the value cannot be read; `rv` then holds the reason.
unsigned char* getVALUE(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ULONG* length);
