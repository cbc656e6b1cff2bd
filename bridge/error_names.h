// Turns an error code into the name that error responses carry.
#pragma once

// The CKR_ name of `code`, or "Unknown function" for a code the table lacks
// (0 and every negative value among them).
const char* errorName(int code);
