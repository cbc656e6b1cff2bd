// The response file: the only channel through which the bridge answers the host.
#pragma once

#include <string>

// Replaces the response file with `body`. The body goes to a temporary file
// beside it that is renamed over the response file only once it is complete,
// so the host never finds half a body. When the body cannot be written, any
// response file left by an earlier run is removed, so that an old answer is
// never read as this run's. Nothing is reported either way.
void writeResponseBody(const std::string& body);

// "Result=<code>\nError=<name>\nError func=<label>"
void PrintError(const char* label, int code);
// "Result=<code>\nError=<label>"
void p11_warn(const char* label, int code);
// "Result=0\nError=OK\nRawCert64Coded\n<text>"
void writeInfo(const char* text);
// "Result=0\nError=OK\nSignedData=<text>"
void writeSignedOut(std::string text);
