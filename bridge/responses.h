// The response file: the only channel through which the bridge answers the host.
#pragma once

#include "bridge_codes.h"
#include "file_utils.h"

#include <cstddef>
#include <string>

// A body being written into a temporary file beside the response file. It
// takes the response file's place only when committed, so the host never finds
// half a body.
typedef FileDraft ResponseDraft;

// Starts a draft of the response file.
void beginResponse(ResponseDraft& draft);
void appendResponse(ResponseDraft& draft, const char* data, size_t size);
// Puts the draft in the response file's place. When any part of it could not
// be written, the response file of an earlier run is removed (or emptied)
// instead, so that an old answer is never read as this run's. Nothing is
// reported either way.
void commitResponse(ResponseDraft& draft);
// Drops the draft; the response file stays as it is.
void discardResponse(ResponseDraft& draft);

// Replaces the response file with `body` (a draft begun and committed at once).
void writeResponseBody(const std::string& body);

// Removes the response file an earlier run left, or empties it where it
// cannot be removed, so that a run ending without a body leaves no answer.
void removeEarlierResponse();

// The code an error body carries for a module's return value: the value as
// a signed 32-bit number, or CKR_GENERAL_ERROR for one wider than 32 bits,
// which would otherwise lose its high bits and could read as success.
int responseCode(CK_RV rv);

// "Result=<code>\nError=<name>\nError func=<label>"
void PrintError(const char* label, int code);
// "Result=<code>\nError=<label>"
void p11_warn(const char* label, int code);
// "Result=0\nError=OK\nRawCert64Coded\n<text>"
void writeInfo(const char* text);
// "Result=0\nError=OK\nSignedData=<text>"
void writeSignedOut(std::string text);
