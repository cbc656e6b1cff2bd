#include "diagnostics.h"

#include "file_utils.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const char* programName = "";

namespace {
// Whether standard error was open when the run began (enableReasons).
bool reasonsEnabled = false;

// ELF header fields (the same offsets in both classes).
const size_t ELF_IDENT_CLASS = 4;
const size_t ELF_IDENT_DATA = 5;
const size_t ELF_MACHINE_OFFSET = 18;
const unsigned EM_I386 = 3;
const unsigned EM_AMD64 = 62;

const char* packageArchitecture(const ElfIdentity& identity)
{
    if (identity.bits == 32 && identity.machine == EM_I386)
        return "i386";
    if (identity.bits == 64 && identity.machine == EM_AMD64)
        return "amd64";
    return nullptr;
}
} // namespace

void enableReasons()
{
    struct stat info;
    reasonsEnabled = ::fstat(2, &info) == 0;
}

void tellReason(const char* format, ...)
{
    if (!reasonsEnabled)
        return;
    char line[1024];
    int head = std::snprintf(line, sizeof line, "%s: ", programName);
    if (head < 0 || static_cast<size_t>(head) >= sizeof line)
        return;
    va_list args;
    va_start(args, format);
    int body = std::vsnprintf(line + head, sizeof line - head, format, args);
    va_end(args);
    if (body < 0)
        return;
    size_t length = static_cast<size_t>(head) + static_cast<size_t>(body);
    // A reason too long for the line is cut, and still ends the line.
    if (length > sizeof line - 2)
        length = sizeof line - 2;
    line[length++] = '\n';
    std::fflush(stdout);
    ssize_t written = ::write(2, line, length);
    (void)written; // standard error is for people; nothing depends on it
}

bool readElfIdentity(const char* path, ElfIdentity& identity)
{
    int fd = ::openat(AT_FDCWD, path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return false;
    unsigned char header[20];
    ssize_t got = ::read(fd, header, sizeof header);
    ::close(fd);
    if (got != static_cast<ssize_t>(sizeof header) || std::memcmp(header, "\x7f" "ELF", 4) != 0)
        return false;
    identity.bits = header[ELF_IDENT_CLASS] == 1 ? 32 : header[ELF_IDENT_CLASS] == 2 ? 64 : 0;
    const unsigned char* machine = header + ELF_MACHINE_OFFSET;
    identity.machine = header[ELF_IDENT_DATA] == 2 ? (machine[0] << 8 | machine[1])
                                                   : (machine[1] << 8 | machine[0]);
    return true;
}

ElfIdentity ownElfIdentity()
{
    ElfIdentity identity;
    identity.bits = sizeof(void*) == 8 ? 64 : 32;
#if defined(__x86_64__)
    identity.machine = EM_AMD64;
#elif defined(__i386__)
    identity.machine = EM_I386;
#endif
    return identity;
}

std::string elfDescription(const ElfIdentity& identity)
{
    std::string bits = identity.bits ? std::to_string(identity.bits) + "-bit " : "ELF of an unknown class, ";
    if (identity.machine == EM_I386)
        return bits + "i386";
    if (identity.machine == EM_AMD64)
        return bits + "x86-64";
    return bits + "machine " + std::to_string(identity.machine);
}

std::string elfMismatch(const char* path, const char* what)
{
    ElfIdentity module;
    if (!readElfIdentity(path, module))
        return std::string();
    ElfIdentity own = ownElfIdentity();
    if (module.bits == own.bits && module.machine == own.machine)
        return std::string();
    std::string sentence = std::string(what) + " is " + elfDescription(module) + ", " + programName +
                           " is " + elfDescription(own);
    if (const char* architecture = packageArchitecture(own))
        sentence += std::string(": install ") + what + "'s " + architecture + " package";
    return sentence;
}

const char* loaderReason()
{
    const char* reason = ::dlerror();
    return reason ? reason : "the loader gives no reason";
}

void tellLoadFailure(const char* path, const char* what)
{
    tellReason("%s", loaderReason());
    std::string mismatch = elfMismatch(path, what);
    if (!mismatch.empty())
        tellReason("%s", mismatch.c_str());
}

bool checkModuleFile(const char* path, const char* what, std::string& outcome)
{
    ModuleFile kind = findModuleFile(path);
    if (kind == ModuleFile::Missing) {
        outcome = std::string("FAILED: ") + fileProblem();
        return false;
    }
    if (kind == ModuleFile::SearchPath) {
        outcome = "ok, a bare name, which the loader looks up on its own search path";
        return true;
    }
    int fd = ::openat(AT_FDCWD, path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        outcome = std::string("FAILED: ") + std::strerror(errno);
        return false;
    }
    ::close(fd);
    ElfIdentity identity;
    if (!readElfIdentity(path, identity)) {
        outcome = "FAILED: no ELF file";
        return false;
    }
    std::string mismatch = elfMismatch(path, what);
    if (!mismatch.empty()) {
        outcome = "FAILED: " + mismatch;
        return false;
    }
    outcome = "ok, " + elfDescription(identity) + ", as " + programName;
    return true;
}

std::string quotedText(const char* text, size_t length)
{
    std::string quoted = "\"";
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c > 0x7e || c == '"' || c == '\\') {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            quoted += escaped;
        } else {
            quoted.push_back(static_cast<char>(c));
        }
    }
    return quoted + "\"";
}

std::string fieldText(const unsigned char* field, size_t size)
{
    const void* zero = std::memchr(field, 0, size);
    size_t length = zero ? static_cast<size_t>(static_cast<const unsigned char*>(zero) - field) : size;
    while (length > 0 && field[length - 1] == ' ')
        --length;
    return quotedText(reinterpret_cast<const char*>(field), length);
}
