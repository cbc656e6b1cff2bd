#include "command_line.h"

#include "diagnostics.h"

#include <cstdio>
#include <cstring>
#include <new>

// Set by the build (cmake/Programs.cmake).
#ifndef CARD_PACKAGE
#error "CARD_PACKAGE (the package name) is not defined"
#endif
#ifndef CARD_VERSION
#error "CARD_VERSION (the package version) is not defined"
#endif

int answerCheckOption(int argc, char** argv)
{
    if (argc < 2 || !argv || !argv[1] ||
        (std::strcmp(argv[1], "--check") != 0 && std::strcmp(argv[1], "-c") != 0))
        return -1;
    try {
        return runCheck();
    } catch (const std::bad_alloc&) {
        tellReason("out of memory");
        return 1;
    }
}

int answerInfoOptions(int argc, char** argv, const char* program, const char* usage)
{
    if (argc < 2 || !argv || !argv[1])
        return -1;
    const char* option = argv[1];
    if (std::strcmp(option, "--help") == 0 || std::strcmp(option, "-h") == 0)
        std::fputs(usage, stdout);
    else if (std::strcmp(option, "--version") == 0 || std::strcmp(option, "-V") == 0)
        std::printf("%s (%s) %s\n", program, CARD_PACKAGE, CARD_VERSION);
    else
        return -1;
    // A text that did not arrive is no success.
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}
