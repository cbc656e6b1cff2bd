// What every program does first, before it opens anything: it protects the
// run from the state its starter left it in.
#pragma once

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// A standard descriptor left closed would be handed to the next file opened,
// and the trace or a library's own messages would then land in that file: each
// closed one is opened on /dev/null instead. A trace reader that has gone
// away must not end the run either: writing the trace then simply fails.
// Nor may a file-size limit: a write past it then fails like any other, and
// the run says so, instead of dying with a draft half written.
inline void guardStandardStreams()
{
    for (int fd = 0; fd <= 2; ++fd) {
        struct stat info;
        if (::fstat(fd, &info) == 0 || errno != EBADF)
            continue;
        // The lowest free number is this one, since the lower ones are open.
        int opened = ::openat(AT_FDCWD, "/dev/null", O_RDWR);
        if (opened != fd) {
            // Without /dev/null there is nothing better to put there.
            if (opened >= 0)
                ::close(opened);
            break;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}
