// The free-text trace on standard output. The host does not read it; it is
// there for whoever looks at a run by hand.
#pragma once

#include <cstdio>
#include <string>

inline void trace(const char* text) { std::fputs(text, stdout); }
inline void trace(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }
inline void traceNumber(unsigned long value) { std::printf("%lu", value); }
inline void traceSigned(long value) { std::printf("%ld", value); }

// Stands in the trace wherever the PIN would be shown: the same text for every
// PIN, so that neither the PIN nor its length can be read off a log.
inline const char* maskedPin() { return "********"; }
