// The request file that the host leaves for the bridge: up to four lines,
// command word, reader name, PIN and the extra parameter.
#pragma once

#include <cstdio>
#include <string>

// Size of one read: a line holds at most REQUEST_READ_SIZE - 1 characters per read.
const int REQUEST_READ_SIZE = 32768;

struct Request {
    std::string commandname;
    std::string readerName;
    std::string pin;
    std::string dopParam;
    unsigned long lineCount = 0; // every read that yielded text, also past the fourth
};

// Reads the request from `f` until end of file (or a read error). Each read
// takes one line of at most REQUEST_READ_SIZE - 1 characters; a longer line is
// split over several reads, each counted as a line. Text after a zero byte is
// dropped, a read with no text at all is skipped and not counted, and one
// trailing line feed is removed (a carriage return before it stays).
Request readRequest(FILE* f);

// Prints the fields that were read, in the order they were read, with the PIN masked.
void traceRequest(const Request& request);
