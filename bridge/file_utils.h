// Small file helpers shared by the bridge and the reader lister.
//
// Every file of the working folder is named relative to that folder as it was
// when the program started (pinWorkFolder): a library that changes the current
// directory cannot send an answer elsewhere, and a folder that is renamed or
// moved while a slow module call runs still receives its answer.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

// Opens the current directory once and names every later file relative to it.
// False when it cannot be opened; files are then named relative to whatever
// the current directory is, as before.
bool pinWorkFolder();

// A file written beside its target and put in the target's place once
// complete: nobody finds half a file, two runs never mix their bytes, and a
// symbolic link standing at the target's name is replaced rather than
// followed out of the working folder.
//
// The draft is a file without a name (O_TMPFILE) that only gets the target's
// name at commit, so a run that ends part-way leaves nothing behind. Where
// the kernel or the file system has no such files, it is a named file beside
// the target, which is removed when the draft is dropped, at exit and on the
// usual termination signals. Where no file can be created at all (a working
// folder the program may not write into), the body is kept in memory and
// written into the target itself at commit, as a plain truncate-and-write does.
//
// A draft that is neither committed nor discarded is discarded when it goes
// out of scope.
struct FileDraft {
    FileDraft() = default;
    FileDraft(const FileDraft&) = delete;
    FileDraft& operator=(const FileDraft&) = delete;
    ~FileDraft();

    int fd = -1;
    bool failed = false;
    bool inPlace = false;
    int nameSlot = -1; // a named draft's place among those removed at exit; -1: no name
    const char* target = nullptr;
    std::string pending; // the body of an in-place draft
    char name[64] = {};
};

// Starts a draft for `target` (a name in the working folder).
void beginDraft(FileDraft& draft, const char* target);
// Starts a named draft, as beginDraft does where files without a name cannot
// be made.
void beginNamedDraft(FileDraft& draft, const char* target);
void appendDraft(FileDraft& draft, const void* data, size_t size);
// Puts the draft in the target's place; true when the target now holds the
// whole draft. The earlier target goes first; when any part of the draft
// could not be written, no body takes its place, and a target that cannot be
// removed is emptied instead.
bool commitDraft(FileDraft& draft);
// Drops the draft; the target stays as it is.
void discardDraft(FileDraft& draft);

// Replaces `target` with exactly `size` bytes from `data`, through a draft;
// true when the target holds them all.
bool writeWholeFile(const char* target, const void* data, size_t size);

// Removes `path` so that no earlier content can be read as new; when it
// cannot be removed, it is emptied where it stands (a regular file with no
// other name only: emptying a file that has further hard links would empty
// those too). True when nothing of an earlier content is left to read.
bool removeOrEmpty(const char* path);

// Writes exactly `count` bytes from `data` to `fileName` (writeWholeFile).
// Failures are silent: the dumps are a diagnostic aid only.
void writeBinaryOut(char* data, unsigned int count, const char* fileName);

// Opens a file the host left for reading. A FIFO, a device or a socket is
// treated as missing (null), since reading one could block or never end;
// nothing waits for a writer while finding that out.
FILE* openHostFile(const char* path);

// True when `path` can be opened for reading and is no FIFO, device or socket.
bool fileExists(const char* path);

// What a module path names before it is handed to the loader.
enum class ModuleFile {
    Missing,    // nothing, or no regular file: a directory, a FIFO, a device
    Present,    // a regular file
    SearchPath, // a bare name, which the loader looks up on its own search path
};
ModuleFile findModuleFile(const char* path);

// Why the latest failure of these helpers happened, in words a person can act
// on: the errno text, or what the file is instead of a regular file. Empty
// until something failed.
const char* fileProblem();
