// quillet: reports the smart-card readers that OpenSC sees.
//
// The program loads OpenSC from the directory named in the plugin-directory
// file, binds seven sc_ functions by name, walks the readers once and writes
// "quillet_out.txt": one line holding a JSON-like array with an entry per
// reader (name, whether a card is present, the card's ATR) and, when the LISSI
// software-token module is installed, a fixed entry for its virtual token.
// A free-text trace goes to standard output; the host reads only the report
// and the exit status. The entries and the ATR text are written by
// reader_report.cpp; this file loads the library and walks the readers.
//
// Nothing of OpenSC is linked in: it is found with dlopen/dlsym at run time,
// and the structure fields we read are declared in opensc_abi.h.

#include "command_line.h"
#include "diagnostics.h"
#include "file_utils.h"
#include "opensc_abi.h"
#include "plugin_dir.h"
#include "process_guard.h"
#include "reader_report.h"
#include "trace.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

static const char* const MODULE_FILE = "opensc-pkcs11.so";
static const char* const REPORT_FILE = "quillet_out.txt";
static const char* const LISSI_MODULE =
    "/opt/lissi-crypto/lircryptoki_fs/lib/liblircryptoki_fs.so";
static const char* const LISSI_ENTRY =
    "{readerName:\"Lissi Virtual SW Token\",atr:\"LISSI_SW_VIRTUAL_TOKEN\"}";

// A machine has a handful of readers; a library that claims more than this
// many is broken, and only the first ones are reported.
static const unsigned MAX_READERS = 1024;

// OpenSC's context. It lives until the process ends: it is never released and
// the library never unloaded.
static sc_context_t* ctx = nullptr;

// The entry points, bound once by name.
static sc_context_create_fn _sc_context_create = nullptr;
static sc_ctx_get_reader_count_fn _sc_ctx_get_reader_count = nullptr;
static sc_ctx_get_reader_fn _sc_ctx_get_reader = nullptr;
static sc_detect_card_presence_fn _sc_detect_card_presence = nullptr;
static sc_connect_card_fn _sc_connect_card = nullptr;
static sc_bin_to_hex_fn _sc_bin_to_hex = nullptr;
static sc_disconnect_card_fn _sc_disconnect_card = nullptr;

static char MODULE_PATH[MODULE_PATH_SIZE];

// The sc_ functions the library lacks, as "sc_connect_card, sc_bin_to_hex".
static std::string missingFunctions;

// Looks `name` up in the library; a missing name is traced and makes the
// whole library unusable, since nothing may be called through a null pointer.
template <typename Fn>
static bool bindEntryPoint(void* library, const char* name, Fn& entryPoint, bool traced)
{
    entryPoint = reinterpret_cast<Fn>(dlsym(library, name));
    if (entryPoint)
        return true;
    if (traced)
        std::printf("entry point not found: %s\n", name);
    missingFunctions += std::string(missingFunctions.empty() ? "" : ", ") + name;
    return false;
}

// Binds the seven functions; `missingFunctions` then names those OpenSC lacks.
// The check report (`traced` false) has no trace lines.
static bool bindEntryPoints(void* library, bool traced)
{
    // Every name is looked up, so the trace lists all that are missing.
    missingFunctions.clear();
    bool complete = true;
    complete &= bindEntryPoint(library, "sc_context_create", _sc_context_create, traced);
    complete &= bindEntryPoint(library, "sc_ctx_get_reader_count", _sc_ctx_get_reader_count, traced);
    complete &= bindEntryPoint(library, "sc_ctx_get_reader", _sc_ctx_get_reader, traced);
    complete &= bindEntryPoint(library, "sc_detect_card_presence", _sc_detect_card_presence, traced);
    complete &= bindEntryPoint(library, "sc_connect_card", _sc_connect_card, traced);
    complete &= bindEntryPoint(library, "sc_bin_to_hex", _sc_bin_to_hex, traced);
    complete &= bindEntryPoint(library, "sc_disconnect_card", _sc_disconnect_card, traced);
    return complete;
}

// Asks OpenSC for its context (ctx) and returns what sc_context_create did.
static int createContext()
{
    // Everything but the name zero, the reserve included (opensc_abi.h).
    sc_context_param_t params;
    std::memset(&params, 0, sizeof params);
    params.ver = 0;
    params.app_name = "quilletor";
    return _sc_context_create(&ctx, &params);
}

// Why createContext gave no context (result, or no context object).
static std::string contextProblem(int result)
{
    return result != 0 ? "sc_context_create returned " + std::to_string(result)
                       : "sc_context_create returned 0 without a context";
}

// Creates the OpenSC context and returns the reader count. A context that
// OpenSC did not deliver is never used: the count is then 0.
static unsigned openContext()
{
    int result = createContext();
    if (result != 0 || !ctx) {
        if (result != 0) {
            std::printf("\nOpenSC context not created, result %d\n", result);
        } else {
            trace("\nOpenSC context not created, no context object\n");
        }
        tellReason("OpenSC context not created: %s", contextProblem(result).c_str());
        ctx = nullptr;
        return 0;
    }
    return _sc_ctx_get_reader_count(ctx);
}

// Loads OpenSC and binds its seven functions. An earlier run's report goes
// first: the library's own code runs as soon as it is loaded, and a library
// that exits or crashes there must not leave that report to be read as this
// run's. Null when the library cannot be used or the earlier report cannot be
// removed; a path that names nothing leaves the earlier report as it is.
static void* loadLibrary(const char* path)
{
    if (findModuleFile(path) == ModuleFile::Missing) {
        trace("Can't load dll\n");
        tellReason("%s: %s", path, fileProblem());
        return nullptr;
    }
    if (!removeOrEmpty(REPORT_FILE)) {
        std::printf("\n%s of an earlier run can be neither removed nor emptied\n", REPORT_FILE);
        tellReason("%s of an earlier run %s", REPORT_FILE, fileProblem());
        return nullptr;
    }
    void* library = dlopen(path, RTLD_LAZY);
    if (!library) {
        trace("Can't load dll\n");
        tellLoadFailure(path, "OpenSC");
        return nullptr;
    }
    if (!bindEntryPoints(library, true)) {
        trace("Can't load dll\n");
        tellReason("%s lacks %s", path, missingFunctions.c_str());
        return nullptr;
    }
    return library;
}

static int run()
{
    if (!pinWorkFolder()) {
        int error = errno;
        trace("working folder not opened\n");
        tellReason("the working folder cannot be opened: %s", std::strerror(error));
        return 1;
    }
    std::string directory;
    std::string problem;
    ModuleLocation location = locateModule(MODULE_FILE, directory, MODULE_PATH, problem);
    if (location == ModuleLocation::NoPluginDirFile) {
        trace("vn_api_currplugDir.txt not exist\n");
        tellReason("%s: %s", PLUGIN_DIR_FILE, problem.c_str());
        return 1;
    }
    trace("Current path to opensc-pkcs11.so: \n");
    if (location == ModuleLocation::TooLong) {
        std::printf("%s%s\nmodule path longer than %u characters\n", directory.c_str(),
                    MODULE_FILE, MODULE_PATH_SIZE - 1);
        trace("Can't load dll\n");
        tellReason("the library path, the first word of %s followed by %s, would be longer than "
                   "%u characters",
                   PLUGIN_DIR_FILE, MODULE_FILE, MODULE_PATH_SIZE - 1);
        return 1;
    }
    trace(MODULE_PATH);
    if (!loadLibrary(MODULE_PATH))
        return 1;

    unsigned count = openContext();

    // Collected in memory while the readers are walked and written at the
    // end through a draft, so that the report appears whole or not at all.
    // Null when it could not be made: the run then goes on and ends without
    // a report.
    char* reportText = nullptr;
    size_t reportSize = 0;
    FILE* report = open_memstream(&reportText, &reportSize);
    std::printf("lib loaded\nreaders count:%u\n", count);
    if (count > MAX_READERS) {
        std::printf("only the first %u readers are reported\n", MAX_READERS);
        count = MAX_READERS;
    }
    const ReaderEntryPoints readerEntryPoints = {_sc_ctx_get_reader, _sc_detect_card_presence,
                                                 _sc_connect_card, _sc_bin_to_hex,
                                                 _sc_disconnect_card};
    writeReport(report, "[");
    for (unsigned i = 0; i < count; i++) {
        reportReader(report, readerEntryPoints, ctx, i);
        if (i + 1 < count)
            writeReport(report, ",");
    }

    trace("\ncheck lissi lib");
    if (fileExists(LISSI_MODULE)) {
        trace("\nlissi lib exist");
        if (count != 0)
            writeReport(report, ",");
        writeReport(report, LISSI_ENTRY);
    }
    writeReport(report, "]");
    // A report that could not be collected whole (memory ran out) is not written.
    bool collected = report && !std::ferror(report);
    if (report && std::fclose(report) != 0)
        collected = false;
    bool written = collected && writeWholeFile(REPORT_FILE, reportText, reportSize);
    std::free(reportText);
    if (!written) {
        std::printf("\n%s not written\n", REPORT_FILE);
        tellReason("%s not written: %s", REPORT_FILE, collected ? fileProblem() : "out of memory");
        return 1;
    }
    return 0;
}

// quillet --check: what a real run in the current folder would meet, one
// step a line. Nothing is written, removed or changed, and no card is
// connected to: a reader's card presence is all that is asked.
static void report(const std::string& step, const std::string& outcome)
{
    std::printf("%s: %s\n", step.c_str(), outcome.c_str());
}

static int checkVerdict(bool reachesReaders)
{
    report("verdict", reachesReaders ? "ok, a real run gets as far as the readers"
                                     : "FAILED: a real run stops before the readers");
    return std::fflush(stdout) == 0 && reachesReaders ? 0 : 1;
}

int runCheck()
{
    if (!pinWorkFolder()) {
        report("working folder", std::string("FAILED: ") + std::strerror(errno));
        return checkVerdict(false);
    }
    const std::string plugStep = std::string("plugin-directory file ") + PLUGIN_DIR_FILE;
    std::string directory;
    std::string problem;
    ModuleLocation location = locateModule(MODULE_FILE, directory, MODULE_PATH, problem);
    if (location == ModuleLocation::NoPluginDirFile) {
        report(plugStep, "FAILED: " + problem);
        return checkVerdict(false);
    }
    report(plugStep, "ok, first word " + quotedText(directory.data(), directory.size()));
    if (location == ModuleLocation::TooLong) {
        report("library path",
               "FAILED: longer than " + std::to_string(MODULE_PATH_SIZE - 1) + " characters");
        return checkVerdict(false);
    }
    report("library path", std::string("ok, ") + MODULE_PATH);
    std::string outcome;
    bool usable = checkModuleFile(MODULE_PATH, "OpenSC", outcome);
    report("library file", outcome);
    if (!usable)
        return checkVerdict(false);
    void* library = dlopen(MODULE_PATH, RTLD_LAZY);
    if (!library) {
        report("loading the library", std::string("FAILED: ") + loaderReason());
        return checkVerdict(false);
    }
    report("loading the library", "ok");
    if (!bindEntryPoints(library, false)) {
        report("the seven sc_ functions", "FAILED: missing " + missingFunctions);
        return checkVerdict(false);
    }
    report("the seven sc_ functions", "ok");

    int result = createContext();
    if (result != 0 || !ctx) {
        report("OpenSC context", "FAILED: " + contextProblem(result));
        ctx = nullptr;
        return checkVerdict(false);
    }
    report("OpenSC context", "ok, sc_context_create returned 0");
    unsigned count = _sc_ctx_get_reader_count(ctx);
    std::string counted = std::to_string(count);
    if (count > MAX_READERS) {
        counted += ", of which a real run reports the first " + std::to_string(MAX_READERS);
        count = MAX_READERS;
    }
    report("readers", "ok, " + counted);
    for (unsigned i = 0; i < count; i++) {
        const std::string step = "reader " + std::to_string(i);
        sc_reader_t* reader = _sc_ctx_get_reader(ctx, i);
        if (!reader) {
            report(step, "not delivered; a real run reports it without a name or card");
            continue;
        }
        std::string name = reader->name ? quotedText(reader->name, std::strlen(reader->name))
                                        : std::string("without a name");
        int presence = _sc_detect_card_presence(reader);
        std::string card = presence < 0 ? "card presence unknown (" + std::to_string(presence) + ")"
                           : (presence & SC_READER_CARD_PRESENT) ? "a card is present"
                                                                 : "no card";
        report(step, "ok, " + name + ", " + card);
    }
    report("LISSI module " + std::string(LISSI_MODULE),
           fileExists(LISSI_MODULE) ? "ok, installed: the report names its virtual token"
                                    : "ok, not installed: the report does not name it");
    return checkVerdict(true);
}

int main(int argc, char** argv)
{
    programName = "quillet";
    if (int status = answerCommandLine(argc, argv); status >= 0)
        return status;
    guardStandardStreams();
    enableReasons();
    if (int status = answerCheckOption(argc, argv); status >= 0)
        return status;
    trace("run\n");
    try {
        return run();
    } catch (const std::bad_alloc&) {
        // The earlier report, if any, is gone: the exit status says there is none.
        trace("\nout of memory\n");
        tellReason("out of memory");
        return 1;
    }
}
