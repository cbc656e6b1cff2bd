// The token bridge: one request from the host, answered through a PKCS#11
// module. Built as tovrel (BUILD_ETOKEN: the JaCarta module from the plugin
// directory) and as marbek (the LISSI module at its fixed path).
#include "bridge_codes.h"
#include "command_line.h"
#include "commands.h"
#include "diagnostics.h"
#include "entry_points.h"
#include "file_utils.h"
#include "plugin_dir.h"
#include "process_guard.h"
#include "request.h"
#include "responses.h"
#include "session.h"
#include "trace.h"
#include "variant.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <new>
#include <sys/prctl.h>

namespace {
// Fills `path` with the module to load; false when there is none to load.
bool findModulePath(char (&path)[MODULE_PATH_SIZE])
{
#ifdef BUILD_ETOKEN
    std::string directory;
    std::string problem;
    ModuleLocation location = locateModule(MODULE_FILE_NAME, directory, path, problem);
    if (location == ModuleLocation::NoPluginDirFile) {
        trace("vn_api_currplugDir.txt not exist\n");
        tellReason("%s: %s", PLUGIN_DIR_FILE, problem.c_str());
        return false;
    }
    trace("readed from currPlugDir:\n");
    trace(directory);
    trace("\n");
    // A path that does not fit is never cut short: there is no module to load.
    if (location == ModuleLocation::TooLong) {
        trace("Can't load dll\n");
        tellReason("the module path, the first word of %s followed by " MODULE_FILE_NAME
                   ", would be longer than %u characters",
                   PLUGIN_DIR_FILE, MODULE_PATH_SIZE - 1);
        return false;
    }
#else
    std::memset(path, 0, sizeof path);
    std::strcpy(path, LISSI_MODULE_PATH);
#endif
    return true;
}

// Loads the module. An earlier run's answer goes first: the module's own code
// runs as soon as it is loaded, and a module that exits or crashes there
// must not leave that answer to be read as this run's. Null when the module
// cannot be loaded or the earlier answer cannot be removed; a path that names
// nothing leaves the earlier answer as it is.
void* loadModule(const char* path)
{
    if (findModuleFile(path) == ModuleFile::Missing) {
        trace("Can't load dll\n");
        tellReason("%s: %s", path, fileProblem());
        return nullptr;
    }
    if (!removeEarlierResponse()) {
        // Nothing this run could write would take its place: the token is
        // not touched, so no PIN attempt is spent.
        trace(RESPONSE_FILE_NAME " of an earlier run can be neither removed nor emptied\n");
        tellReason(RESPONSE_FILE_NAME " of an earlier run %s", fileProblem());
        return nullptr;
    }
    void* module = ::dlopen(path, RTLD_LAZY);
    if (!module) {
        trace("Can't load dll\n");
        tellLoadFailure(path, "the module");
    }
    return module;
}

// The run up to the session. Returns only to end the run with exit status 1;
// every run that gets as far as the module ends through the teardown.
int run()
{
    if (!pinWorkFolder()) {
        int error = errno;
        trace("working folder not opened\n");
        tellReason("the working folder cannot be opened: %s", std::strerror(error));
        return 1;
    }
    char modulePath[MODULE_PATH_SIZE];
    if (!findModulePath(modulePath))
        return 1;
    trace("\nCurPlugin path\n");
    trace(modulePath);
    trace("\nis now\n");
    void* module = loadModule(modulePath);
    if (!module)
        return 1;
    trace("\ndll loaded");
    stepLabel = "main_code";
    bindEntryPoints(module);

    trace("\n filename_in: ");
    trace(REQUEST_FILE_NAME);
    trace("\n");
    Request request;
    bool readable = readRequestFile(REQUEST_FILE_NAME, request);
    holdPin(request.pin);
    if (readable)
        traceRequest(request);
    if (!readable)
        tellReason(REQUEST_FILE_NAME ": %s", fileProblem());
    else if (request.lineCount < MIN_REQUEST_LINES)
        tellReason(REQUEST_FILE_NAME " has %lu line(s), at least %d are needed", request.lineCount,
                   MIN_REQUEST_LINES);
    if (!readable || request.lineCount < MIN_REQUEST_LINES) {
        PrintError("main_code", CKR_PARAMS_NOT_FOUND);
        // Deliberately the usual way out, although the module was never
        // initialised: the teardown's C_Finalize is what every run ends with.
        teardown();
    }
    trace("\narguments: ");
    traceNumber(request.lineCount);
    trace("\n");
    ch_readName = strdup(request.readerName.c_str());
    if (!ch_readName)
        throw std::bad_alloc();
    trace(ch_readName);
    runSession(request);
}
} // namespace

int main(int argc, char** argv)
{
    programName = PROGRAM_NAME;
    if (int status = answerCommandLine(argc, argv); status >= 0)
        return status;
    guardStandardStreams();
    enableReasons();
    if (int status = answerCheckOption(argc, argv); status >= 0)
        return status;
    // A core dump would hold the PIN.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    trace("run\n");
#ifdef BUILD_ETOKEN
    trace("BUILD_ETOKEN is defined\n");
#endif
    try {
        return run();
    } catch (const std::bad_alloc&) {
        // Before the module is loaded there is no step to name and nothing
        // to tear down.
        if (!stepLabel) {
            trace("\nout of memory\n");
            tellReason("out of memory");
            return 1;
        }
        answerOutOfMemory();
        teardown();
    }
}
