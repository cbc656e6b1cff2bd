// PKCS#11 types and constants, plus the bridge's own error codes.
#pragma once

#include <p11-kit/pkcs11.h>

// Codes the bridge raises for failures of its own; they lie outside the range
// of return values that the Cryptoki standard assigns.
#define CKR_TOKEN_NOT_FOUND 0x401UL
#define CKR_CERT_NOT_FOUND 0x402UL
#define CKR_PARAMS_NOT_FOUND 0x403UL
