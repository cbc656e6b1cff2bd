// The request file that the host leaves for the bridge: up to four lines,
// command word, reader name, PIN and the extra parameter.
#pragma once

#include <cstdio>
#include <string>

// Size of one read: a line holds at most REQUEST_READ_SIZE - 1 characters per read.
const int REQUEST_READ_SIZE = 32768;

// No more of a request file is read than this: a real request is a few
// hundred bytes, and past this point reading stops as at end of file.
const unsigned long REQUEST_MAX_BYTES = 1024UL * 1024;

struct Request {
    std::string commandname;
    std::string readerName;
    std::string pin;
    std::string dopParam;
    unsigned long lineCount = 0; // every read that yielded text, also past the fourth
};

// Reads the request from `f` into `request` (whose fields start empty) until
// end of file, a read error or REQUEST_MAX_BYTES. Each read takes one line of
// at most REQUEST_READ_SIZE - 1 characters; a longer line is split over
// several reads, each counted as a line. Text after a zero byte is dropped, a
// read with no text at all is skipped and not counted, and one trailing line
// feed is removed (a carriage return before it stays). The bytes of the line
// buffer that reads stored are wiped before it is released, since they held
// the PIN. Reading also stops once `lineLimit` lines are counted. Returns how
// many bytes were taken from `f`.
unsigned long readRequest(FILE* f, Request& request, unsigned long lineLimit = ~0UL);

// Opens the request file `name` and reads it with readRequest, through a
// stream buffer of our own that is wiped afterwards. False when the file is
// missing or is a FIFO, a device or a socket (`request` then stays empty).
bool readRequestFile(const char* name, Request& request);

// Reads only the first two lines of the request file `name` (command word and
// reader name), without a stream buffer, so that not one byte of the PIN line
// is read. False when the file is missing or is no regular file.
bool readRequestHead(const char* name, Request& request);

// Prints the fields that were read, in the order they were read, with the PIN masked.
void traceRequest(const Request& request);
