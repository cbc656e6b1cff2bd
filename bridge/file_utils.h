// Small file helpers shared by the bridge and the reader lister.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

// A file written under a temporary name beside its target and renamed over
// the target once complete: nobody finds half a file, two runs never mix
// their bytes, and a symbolic link standing at the target's name is replaced
// rather than followed out of the working directory.
//
// Where no temporary file can be created (a working directory the program may
// not write into), the body is kept in memory and written into the target
// itself at commit, as a plain truncate-and-write does.
struct FileDraft {
    int fd = -1;
    bool failed = false;
    bool inPlace = false;
    const char* target = nullptr;
    std::string pending; // the body of an in-place draft
    char name[64] = {};
};

// Starts a draft for `target` (a name in the working directory).
void beginDraft(FileDraft& draft, const char* target);
void appendDraft(FileDraft& draft, const void* data, size_t size);
// Puts the draft in the target's place. The earlier target goes first; when
// any part of the draft could not be written, no body takes its place, and a
// target that cannot be removed is emptied instead. Nothing is reported.
void commitDraft(FileDraft& draft);
// Drops the draft; the target stays as it is.
void discardDraft(FileDraft& draft);

// Replaces `target` with exactly `size` bytes from `data`, through a draft.
void writeWholeFile(const char* target, const void* data, size_t size);

// Removes `path` so that no earlier content can be read as new; when it
// cannot be removed, it is emptied where it stands (a regular file only).
void removeOrEmpty(const char* path);

// Writes exactly `count` bytes from `data` to `fileName` (writeWholeFile).
// Failures are silent: the dumps are a diagnostic aid only.
void writeBinaryOut(char* data, unsigned int count, const char* fileName);

// Opens a file the host left for reading. A FIFO, a device or a socket is
// treated as missing (null), since reading one could block or never end;
// nothing waits for a writer while finding that out.
FILE* openHostFile(const char* path);

// True when `path` can be opened for reading and is no FIFO, device or socket.
bool fileExists(const char* path);
