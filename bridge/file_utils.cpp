#include "file_utils.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
bool writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// The permissions a plain create of the target would have given it.
mode_t createMode()
{
    mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// Opens `path` for writing where it stands, without following a link and
// without waiting for a reader; only a regular file is kept open.
int openRegularForWriting(const char* path, int extraFlags)
{
    int fd = ::open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | extraFlags, 0666);
    if (fd < 0)
        return -1;
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Empties the file; when even that fails, nothing more can be done.
void emptyFile(int fd)
{
    int result = ::ftruncate(fd, 0);
    (void)result;
}

// The plain behaviour: truncate the target and write the body into it. A body
// that cannot be written whole leaves the target empty.
void writeInPlace(const char* target, const std::string& body)
{
    int fd = openRegularForWriting(target, O_CREAT);
    if (fd < 0) {
        removeOrEmpty(target);
        return;
    }
    if (::ftruncate(fd, 0) != 0 || !writeAll(fd, body.data(), body.size()))
        emptyFile(fd);
    ::close(fd);
}

// A file the host left for reading, opened without waiting for a writer;
// -1 when it is missing, unreadable, or a FIFO, a device or a socket.
int openHostDescriptor(const char* path)
{
    if (!path)
        return -1;
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat info;
    if (::fstat(fd, &info) != 0 || S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode) ||
        S_ISBLK(info.st_mode) || S_ISSOCK(info.st_mode)) {
        ::close(fd);
        return -1;
    }
    // A regular file or a directory reads the same with O_NONBLOCK as without
    // it, so the flag stays (clearing it would take fcntl, whose 32-bit symbol
    // is newer than the glibc the programs ask for).
    return fd;
}
} // namespace

void beginDraft(FileDraft& draft, const char* target)
{
    draft.fd = -1;
    draft.failed = false;
    draft.inPlace = false;
    draft.target = target;
    draft.pending.clear();
    int length = std::snprintf(draft.name, sizeof draft.name, "%s.XXXXXX", target);
    if (length > 0 && static_cast<size_t>(length) < sizeof draft.name)
        draft.fd = ::mkstemp(draft.name);
    if (draft.fd < 0) {
        draft.name[0] = '\0';
        draft.inPlace = true;
        return;
    }
    draft.failed = ::fchmod(draft.fd, createMode()) != 0;
}

void appendDraft(FileDraft& draft, const void* data, size_t size)
{
    if (draft.inPlace)
        draft.pending.append(static_cast<const char*>(data), size);
    else if (!draft.failed && !writeAll(draft.fd, static_cast<const char*>(data), size))
        draft.failed = true;
}

void commitDraft(FileDraft& draft)
{
    if (draft.inPlace) {
        writeInPlace(draft.target, draft.pending);
        std::string().swap(draft.pending);
        draft.inPlace = false;
        return;
    }
    bool opened = draft.fd >= 0;
    bool complete = opened && ::close(draft.fd) == 0 && !draft.failed;
    draft.fd = -1;
    // The earlier target goes first: a rename over an existing file makes
    // some file systems write the new one out before the rename returns, and
    // between the two steps there is no answer at all rather than an old one.
    removeOrEmpty(draft.target);
    if (opened && (!complete || ::rename(draft.name, draft.target) != 0))
        ::unlink(draft.name);
}

void discardDraft(FileDraft& draft)
{
    if (draft.fd >= 0) {
        ::close(draft.fd);
        ::unlink(draft.name);
    }
    draft.fd = -1;
    std::string().swap(draft.pending);
    draft.inPlace = false;
}

void removeOrEmpty(const char* path)
{
    if (::unlink(path) == 0 || errno == ENOENT)
        return;
    int fd = openRegularForWriting(path, 0);
    if (fd < 0)
        return;
    emptyFile(fd);
    ::close(fd);
}

void writeWholeFile(const char* target, const void* data, size_t size)
{
    FileDraft draft;
    beginDraft(draft, target);
    if (size > 0 && data)
        appendDraft(draft, data, size);
    commitDraft(draft);
}

void writeBinaryOut(char* data, unsigned int count, const char* fileName)
{
    writeWholeFile(fileName, data, count);
}

FILE* openHostFile(const char* path)
{
    int fd = openHostDescriptor(path);
    if (fd < 0)
        return nullptr;
    FILE* f = ::fdopen(fd, "r");
    if (!f)
        ::close(fd);
    return f;
}

bool fileExists(const char* path)
{
    int fd = openHostDescriptor(path);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}
