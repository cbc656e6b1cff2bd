// The host starts every program without arguments, and any it passes are
// ignored. A person at a prompt who asks a program what it is must not get a
// run in the current folder instead: "--help"/"-h" or "--version"/"-V" as the
// first argument prints the usage text or the version and ends the program
// before it opens, reads or writes any file.
#pragma once

// Defined once per program with its own usage text (bridge/usage.cpp,
// lister/usage.cpp). Returns the exit status when the first argument asked
// for the usage text or the version, and -1 when the run goes on as usual.
int answerCommandLine(int argc, char** argv);

// The shared part of answerCommandLine: `program` is the program's name,
// `usage` its usage text. The exit status is 0, or 1 when the text could not
// be written to standard output.
int answerInfoOptions(int argc, char** argv, const char* program, const char* usage);

// When the first argument is "--check" or "-c", the exit status of runCheck
// (the program then reports what a real run in the current folder would meet,
// and changes nothing; running out of memory is told on standard error and
// ends it with 1); -1 when the run goes on as usual.
int answerCheckOption(int argc, char** argv);

// Defined once per program (bridge/check.cpp, lister/quillet.cpp): the check
// report on standard output, one step a line, and its verdict. Returns 0 when
// a real run would get as far as the token or the readers, 1 otherwise.
int runCheck();
