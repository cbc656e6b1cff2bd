#include "file_utils.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace {
// The working folder as it was at start; the current directory until pinned.
int workFolder = AT_FDCWD;

// Why the latest operation failed (fileProblem); a fixed buffer, so that
// noting a reason never allocates.
char problemText[256];

void noteProblem(const char* text)
{
    if (std::snprintf(problemText, sizeof problemText, "%s", text) < 0)
        problemText[0] = '\0';
}

void noteErrno(int error)
{
    noteProblem(std::strerror(error));
}

// Named drafts that exist right now, so that they can be removed at exit and
// from a signal handler. A run has at most two drafts at a time (a warning
// body written while the certificate list is drafted).
const int MAX_NAMED_DRAFTS = 4;
char namedDrafts[MAX_NAMED_DRAFTS][sizeof FileDraft::name];
volatile sig_atomic_t namedDraftLive[MAX_NAMED_DRAFTS];

// The signals that end a process by default and that a run may meet while a
// named draft exists: sent by the host or the system, or raised by a crash
// inside the module. SIGPIPE and SIGXFSZ are ignored (process_guard.h).
const int TERMINATION_SIGNALS[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM,   SIGALRM,
                                   SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF,
                                   SIGABRT, SIGSEGV, SIGBUS,  SIGILL,    SIGFPE,
                                   SIGSYS,  SIGTRAP};

// Removes every named draft that exists; safe in a signal handler.
void removeNamedDrafts()
{
    int saved = errno;
    for (int i = 0; i < MAX_NAMED_DRAFTS; ++i) {
        if (namedDraftLive[i]) {
            namedDraftLive[i] = 0;
            ::unlinkat(workFolder, namedDrafts[i], 0);
        }
    }
    errno = saved;
}

extern "C" void removeNamedDraftsAtExit() { removeNamedDrafts(); }

// Removes the named drafts and ends the process with the signal's own default
// action, so the starter sees the signal as it would have without us.
extern "C" void removeNamedDraftsAndDie(int signalNumber)
{
    removeNamedDrafts();
    // The handler was reset to the default on entry (SA_RESETHAND) and the
    // signal is not blocked (SA_NODEFER): this ends the process.
    ::raise(signalNumber);
}

// Arranges once for named drafts to be removed at exit and on termination
// signals. A signal whose action is not the default one (the starter ignores
// it, or the module handles it) is left as it is.
void guardNamedDrafts()
{
    static bool guarded = false;
    if (guarded)
        return;
    guarded = true;
    std::atexit(removeNamedDraftsAtExit);
    for (int signalNumber : TERMINATION_SIGNALS) {
        struct sigaction current;
        if (::sigaction(signalNumber, nullptr, &current) != 0 || current.sa_handler != SIG_DFL ||
            (current.sa_flags & SA_SIGINFO))
            continue;
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = removeNamedDraftsAndDie;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESETHAND | SA_NODEFER;
        ::sigaction(signalNumber, &action, nullptr);
    }
}

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

// Opens `path` in the working folder for writing where it stands, without
// following a link and without waiting for a reader; only a regular file with
// no other name is kept open. A file with further hard links is refused: what
// is written into it would show under its other names, outside our control.
int openRegularForWriting(const char* path, int extraFlags)
{
    int fd = ::openat(workFolder, path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | extraFlags,
                      0666);
    if (fd < 0) {
        noteErrno(errno);
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) {
        noteProblem(S_ISREG(info.st_mode) ? "it has further hard links" : "not a regular file");
        ::close(fd);
        return -1;
    }
    return fd;
}

// The plain behaviour: truncate the target and write the body into it. A body
// that cannot be written whole leaves the target empty.
bool writeInPlace(const char* target, const std::string& body)
{
    int fd = openRegularForWriting(target, O_CREAT);
    if (fd < 0) {
        removeOrEmpty(target);
        return false;
    }
    bool whole = ::ftruncate(fd, 0) == 0 && writeAll(fd, body.data(), body.size());
    if (!whole) {
        noteErrno(errno);
        int emptied = ::ftruncate(fd, 0);
        (void)emptied; // when even that fails, nothing more can be done
    }
    if (::close(fd) != 0 && whole) {
        noteErrno(errno);
        whole = false;
    }
    return whole;
}

// The name a file without a name can be linked by: its descriptor's entry in
// /proc, which works without privileges on every kernel that has such files.
void descriptorPath(int fd, char (&path)[32])
{
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
}

// True when the draft file can be given a name at commit.
bool linkable(int fd)
{
    char path[32];
    descriptorPath(fd, path);
    struct stat byPath;
    struct stat byDescriptor;
    return ::fstatat(AT_FDCWD, path, &byPath, 0) == 0 && ::fstat(fd, &byDescriptor) == 0 &&
           byPath.st_dev == byDescriptor.st_dev && byPath.st_ino == byDescriptor.st_ino;
}

// Gives the file without a name the target's name. Something may have taken
// the name since the earlier target was removed (a library, a second run in
// the same folder): that goes too, as a rename over it would have replaced it.
bool linkDraft(FileDraft& draft)
{
    char path[32];
    descriptorPath(draft.fd, path);
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (::linkat(AT_FDCWD, path, workFolder, draft.target, AT_SYMLINK_FOLLOW) == 0)
            return true;
        if (errno != EEXIST || ::unlinkat(workFolder, draft.target, 0) != 0) {
            noteErrno(errno);
            return false;
        }
    }
    noteProblem("the name is taken again and again");
    return false;
}

// Six letters or digits that differ from run to run and from call to call.
void uniqueSuffix(char* out)
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static unsigned long counter = 0;
    struct timeval now;
    ::gettimeofday(&now, nullptr);
    unsigned long long mix = static_cast<unsigned long long>(::getpid()) << 32;
    mix ^= static_cast<unsigned long long>(now.tv_sec) * 1000003ULL;
    mix ^= static_cast<unsigned long long>(now.tv_usec) << 12;
    mix ^= static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&now));
    mix += 0x9E3779B97F4A7C15ULL * ++counter;
    for (int i = 0; i < 6; ++i) {
        mix ^= mix >> 29;
        mix *= 0xBF58476D1CE4E5B9ULL;
        mix ^= mix >> 32;
        out[i] = letters[mix % (sizeof letters - 1)];
    }
    out[6] = '\0';
}

void resetDraft(FileDraft& draft, const char* target)
{
    discardDraft(draft);
    draft.failed = false;
    draft.inPlace = false;
    draft.target = target;
    draft.name[0] = '\0';
}

// A file the host left for reading, opened without waiting for a writer;
// -1 when it is missing, unreadable, or a FIFO, a device or a socket.
int openHostDescriptor(const char* path)
{
    if (!path)
        return -1;
    int fd = ::openat(workFolder, path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        noteErrno(errno);
        return -1;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode) ||
        S_ISBLK(info.st_mode) || S_ISSOCK(info.st_mode)) {
        noteProblem("a FIFO, a device or a socket, not a file");
        ::close(fd);
        return -1;
    }
    // A regular file or a directory reads the same with O_NONBLOCK as without
    // it, so the flag stays (clearing it would take fcntl, whose 32-bit symbol
    // is newer than the glibc the programs ask for).
    return fd;
}
} // namespace

bool pinWorkFolder()
{
    // O_PATH needs no read permission on the folder; a kernel older than
    // O_PATH ignores the flag and opens the folder for reading.
    int fd = ::openat(AT_FDCWD, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    workFolder = fd;
    return true;
}

FileDraft::~FileDraft()
{
    discardDraft(*this);
}

void beginDraft(FileDraft& draft, const char* target)
{
    resetDraft(draft, target);
    // The file gets the permissions a plain create would give it, under the umask.
    int fd = ::openat(workFolder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd >= 0 && linkable(fd)) {
        draft.fd = fd;
        return;
    }
    if (fd >= 0)
        ::close(fd);
    beginNamedDraft(draft, target);
}

void beginNamedDraft(FileDraft& draft, const char* target)
{
    resetDraft(draft, target);
    draft.inPlace = true;
    int slot = 0;
    while (slot < MAX_NAMED_DRAFTS && namedDraftLive[slot])
        ++slot;
    size_t targetLength = std::strlen(target);
    if (slot == MAX_NAMED_DRAFTS || targetLength + 8 > sizeof draft.name)
        return;
    guardNamedDrafts();
    std::memcpy(draft.name, target, targetLength);
    draft.name[targetLength] = '.';
    for (int attempt = 0; attempt < 100; ++attempt) {
        uniqueSuffix(draft.name + targetLength + 1);
        int fd = ::openat(workFolder, draft.name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          0666);
        if (fd >= 0) {
            std::memcpy(namedDrafts[slot], draft.name, sizeof draft.name);
            namedDraftLive[slot] = 1;
            draft.nameSlot = slot;
            draft.fd = fd;
            draft.inPlace = false;
            return;
        }
        if (errno != EEXIST)
            break;
    }
    draft.name[0] = '\0';
}

void appendDraft(FileDraft& draft, const void* data, size_t size)
{
    if (draft.inPlace)
        draft.pending.append(static_cast<const char*>(data), size);
    else if (!draft.failed && !writeAll(draft.fd, static_cast<const char*>(data), size)) {
        noteErrno(errno);
        draft.failed = true;
    }
}

bool commitDraft(FileDraft& draft)
{
    if (draft.inPlace) {
        bool whole = writeInPlace(draft.target, draft.pending);
        std::string().swap(draft.pending);
        draft.inPlace = false;
        return whole;
    }
    if (draft.fd < 0) {
        removeOrEmpty(draft.target);
        return false;
    }
    // The earlier target goes first: a rename over an existing file makes
    // some file systems write the new one out before the rename returns, and
    // between the two steps there is no answer at all rather than an old one.
    removeOrEmpty(draft.target);
    bool whole = !draft.failed;
    if (draft.nameSlot < 0) {
        whole = whole && linkDraft(draft);
        // A close that reports a late write error takes the answer back.
        if (::close(draft.fd) != 0 && whole) {
            noteErrno(errno);
            ::unlinkat(workFolder, draft.target, 0);
            whole = false;
        }
        draft.fd = -1;
        return whole;
    }
    if (::close(draft.fd) != 0 && whole) {
        noteErrno(errno);
        whole = false;
    }
    draft.fd = -1;
    if (whole && ::renameat(workFolder, draft.name, workFolder, draft.target) != 0) {
        noteErrno(errno);
        whole = false;
    }
    if (!whole) {
        ::unlinkat(workFolder, draft.name, 0);
        whole = false;
    }
    namedDraftLive[draft.nameSlot] = 0;
    draft.nameSlot = -1;
    return whole;
}

void discardDraft(FileDraft& draft)
{
    if (draft.fd >= 0)
        ::close(draft.fd);
    draft.fd = -1;
    if (draft.nameSlot >= 0) {
        ::unlinkat(workFolder, draft.name, 0);
        namedDraftLive[draft.nameSlot] = 0;
        draft.nameSlot = -1;
    }
    std::string().swap(draft.pending);
    draft.inPlace = false;
}

bool removeOrEmpty(const char* path)
{
    if (::unlinkat(workFolder, path, 0) == 0 || errno == ENOENT)
        return true;
    char notRemoved[128];
    std::snprintf(notRemoved, sizeof notRemoved, "%s", std::strerror(errno));
    int fd = openRegularForWriting(path, 0);
    bool emptied = fd >= 0 && ::ftruncate(fd, 0) == 0;
    if (fd >= 0 && !emptied)
        noteErrno(errno);
    if (fd >= 0)
        ::close(fd);
    if (!emptied) {
        char notEmptied[sizeof problemText];
        std::memcpy(notEmptied, problemText, sizeof notEmptied);
        // A reason too long for the buffer is cut.
        if (std::snprintf(problemText, sizeof problemText, "cannot be removed (%s) nor emptied (%s)",
                          notRemoved, notEmptied) < 0)
            problemText[0] = '\0';
    }
    return emptied;
}

bool writeWholeFile(const char* target, const void* data, size_t size)
{
    FileDraft draft;
    beginDraft(draft, target);
    if (size > 0 && data)
        appendDraft(draft, data, size);
    return commitDraft(draft);
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

ModuleFile findModuleFile(const char* path)
{
    if (!std::strchr(path, '/'))
        return ModuleFile::SearchPath;
    // Followed through links, as the loader follows them.
    struct stat info;
    if (::fstatat(workFolder, path, &info, 0) != 0) {
        noteErrno(errno);
        return ModuleFile::Missing;
    }
    if (!S_ISREG(info.st_mode)) {
        noteProblem(S_ISDIR(info.st_mode) ? "a directory, not a file" : "not a regular file");
        return ModuleFile::Missing;
    }
    return ModuleFile::Present;
}

const char* fileProblem()
{
    return problemText;
}
