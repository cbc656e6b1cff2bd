// The response file: the only channel through which the bridge answers the host.
#pragma once

#include "bridge_codes.h"
#include "file_utils.h"

#include <cstddef>
#include <string>

// Starts a draft of the response file (file_utils.h): the body is written
// beside it and takes its place only when committed, so the host never finds
// half a body, and a draft that could not be written whole removes the
// earlier run's answer instead.
void beginResponse(FileDraft& draft);
// Commits a response draft and notes whether the body stands whole.
void commitResponse(FileDraft& draft);

// Replaces the response file with `body` (a draft begun and committed at once).
// Every writer notes in responseFailed whether its body stands whole, and
// traces a body that does not.
void writeResponseBody(const std::string& body);

// Removes the response file an earlier run left, or empties it where it
// cannot be removed, so that a run ending without a body leaves no answer.
// False when neither can be done: the earlier answer would stand.
bool removeEarlierResponse();

// Answers an allocation failure: CKR_HOST_MEMORY under the step under way
// (stepLabel). Needs next to no memory itself.
void answerOutOfMemory();

// The code an error body carries for a module's return value: the value as
// a signed 32-bit number, or CKR_GENERAL_ERROR for one wider than 32 bits,
// which would otherwise lose its high bits and could read as success.
int responseCode(CK_RV rv);

// "Result=<code>\nError=<name>\nError func=<label>"
void PrintError(const char* label, int code);
// "Result=<code>\nError=<label>"; a warning the file holds already is not
// written, nor its reason told, again.
void p11_warn(const char* label, int code);
// "Result=0\nError=OK\nRawCert64Coded\n<text>"
void writeInfo(const char* text);
// "Result=0\nError=OK\nSignedData=<text>"
void writeSignedOut(std::string text);
