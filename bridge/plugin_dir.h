// The plugin-directory file names the folder that holds the library to load.
#pragma once

#include <cstdio>
#include <string>

// Name of the plugin-directory file in the working directory.
extern const char* const PLUGIN_DIR_FILE;

// Size of the buffers that hold a module path, terminating zero included.
const unsigned MODULE_PATH_SIZE = 256;

// Reads the first whitespace-delimited token of `f` into `token`, the way
// `stream >> word` does: leading white space is skipped and the token ends at
// the next white space or at end of file. The rest of the file is left
// unread. A zero byte ends the token's usable text, as it would end a C
// string. No more than `maxLength` + 1 characters of the token are read, so
// an endless token costs nothing: false when the token is longer than
// `maxLength` characters (`token` then holds the usable text of the
// `maxLength` + 1 characters read).
bool readPlugDirToken(FILE* f, size_t maxLength, std::string& token);

// The longest directory token that still leaves room for `fileName` in a
// module path.
size_t longestDirectory(const char* fileName);

// Builds `directory` followed directly by `fileName` into `path` (zero-filled
// first). Returns false, leaving `path` empty, when the result would not fit
// in MODULE_PATH_SIZE - 1 characters.
bool buildModulePath(const std::string& directory, const char* fileName,
                     char (&path)[MODULE_PATH_SIZE]);

// What locateModule found.
enum class ModuleLocation { Found, NoPluginDirFile, TooLong };

// The library a run loads: the first word of the plugin-directory file (opened
// in the working folder and left open, as a run keeps it until it ends)
// followed by `fileName`, into `path`. `directory` gets that word once the
// file is read; `problem` says why the file could not be.
ModuleLocation locateModule(const char* fileName, std::string& directory,
                            char (&path)[MODULE_PATH_SIZE], std::string& problem);
