// The token bridge: one request from the host, answered through a PKCS#11
// module. Built as tovrel (BUILD_ETOKEN: the JaCarta module from the plugin
// directory) and as marbek (the LISSI module at its fixed path).
#include "bridge_codes.h"
#include "command_line.h"
#include "commands.h"
#include "entry_points.h"
#include "file_utils.h"
#include "plugin_dir.h"
#include "process_guard.h"
#include "request.h"
#include "responses.h"
#include "session.h"
#include "trace.h"
#include "variant.h"

#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <sys/prctl.h>

namespace {
// Fills `path` with the module to load; false when there is none to load.
bool findModulePath(char (&path)[MODULE_PATH_SIZE])
{
#ifdef BUILD_ETOKEN
    // The plugin-directory file stays open until the process ends.
    FILE* plugDir = openHostFile(PLUGIN_DIR_FILE);
    if (!plugDir || std::ferror(plugDir)) {
        trace("vn_api_currplugDir.txt not exist\n");
        return false;
    }
    std::string directory;
    bool fits = readPlugDirToken(plugDir, longestDirectory(MODULE_FILE_NAME), directory);
    trace("readed from currPlugDir:\n");
    trace(directory);
    trace("\n");
    // A path that does not fit is never cut short: there is no module to load.
    char directoryPath[MODULE_PATH_SIZE];
    if (!fits || !buildModulePath(directory, MODULE_FILE_NAME, directoryPath)) {
        trace("Can't load dll\n");
        return false;
    }
    std::memcpy(path, directoryPath, sizeof path);
#else
    std::memset(path, 0, sizeof path);
    std::strcpy(path, LISSI_MODULE_PATH);
#endif
    return true;
}
} // namespace

int main(int argc, char** argv)
{
    if (int status = answerCommandLine(argc, argv); status >= 0)
        return status;
    guardStandardStreams();
    // A core dump would hold the PIN.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    trace("run\n");
#ifdef BUILD_ETOKEN
    trace("BUILD_ETOKEN is defined\n");
#endif
    char modulePath[MODULE_PATH_SIZE];
    if (!findModulePath(modulePath))
        return 1;
    trace("\nCurPlugin path\n");
    trace(modulePath);
    trace("\nis now\n");
    void* module = ::dlopen(modulePath, RTLD_LAZY);
    if (!module) {
        trace("Can't load dll\n");
        return 1;
    }
    trace("\ndll loaded");
    // No run ends with exit status 1 from here on, and a run may now end
    // inside the module without writing a body (the module exits or
    // crashes): an earlier run's answer must not be left to be read as this
    // one's.
    removeEarlierResponse();
    bindEntryPoints(module);

    trace("\n filename_in: ");
    trace(REQUEST_FILE_NAME);
    trace("\n");
    Request request;
    bool readable = readRequestFile(REQUEST_FILE_NAME, request);
    holdPin(request.pin);
    if (readable)
        traceRequest(request);
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
    trace(ch_readName);
    runSession(request);
}
