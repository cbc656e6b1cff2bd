// Why a run could not do its job, for a person at a prompt: one line on
// standard error per reason, begun with the program's name and a colon. The
// host does not read standard error, and the trace on standard output stays
// as it is. A run that does its job writes nothing there.
#pragma once

#include <string>

// The program's name as the reasons and the check report give it; set first
// thing in main.
extern const char* programName;

// Lets tellReason write, once the standard descriptors are guarded
// (process_guard.h), and only where standard error is open then: a
// descriptor 2 that is still closed would later be some file of the run.
void enableReasons();

// Writes "<programName>: <text>" and a line feed to standard error, in one
// write; nothing before enableReasons.
void tellReason(const char* format, ...) __attribute__((format(printf, 1, 2)));

// What an ELF file's header says it was built for.
struct ElfIdentity {
    int bits = 0;         // 32 or 64; 0 for another class
    unsigned machine = 0; // e_machine
};

// The identity of `path`'s ELF header (named relative to the current
// directory, as the loader names it); false when the file cannot be read or
// holds no ELF header.
bool readElfIdentity(const char* path, ElfIdentity& identity);

// The identity the running program was built for.
ElfIdentity ownElfIdentity();

// "64-bit x86-64", "32-bit i386", or the class and machine number of another.
std::string elfDescription(const ElfIdentity& identity);

// When `path` is an ELF file of another class or machine than the program, a
// sentence saying so and what to install instead, for example "the module is
// 64-bit x86-64, tovrel is 32-bit i386: install the module's i386 package";
// empty otherwise. `what` names the file ("the module", "OpenSC").
std::string elfMismatch(const char* path, const char* what);

// The loader's reason for the dlopen that just failed.
const char* loaderReason();

// Tells why dlopen of `path` failed: the loader's reason and, for a file of
// another class or machine, what to install instead. `what` names the file
// as elfMismatch does.
void tellLoadFailure(const char* path, const char* what);

// Whether the library file `path` is there, readable and an ELF file of the
// program's class and machine, as the check reports it: `outcome` is
// "ok, 64-bit x86-64, as tovrel" or "FAILED: " and the reason. `what` names
// the file in a mismatch ("the module", "OpenSC").
bool checkModuleFile(const char* path, const char* what, std::string& outcome);

// `text` in double quotes, each byte outside printable ASCII (and each quote
// and backslash) as \xHH.
std::string quotedText(const char* text, size_t length);

// A fixed-width text field of a PKCS#11 record (blank-padded, not
// zero-terminated) as a quoted text: up to a zero byte, without the trailing
// blanks, each byte outside printable ASCII (and each quote and backslash)
// as \xHH.
std::string fieldText(const unsigned char* field, size_t size);
