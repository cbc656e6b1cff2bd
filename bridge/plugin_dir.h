// The plugin-directory file names the folder that holds the library to load.
#pragma once

#include <cstdio>
#include <string>

// Name of the plugin-directory file in the working directory.
extern const char* const PLUGIN_DIR_FILE;

// Size of the buffers that hold a module path, terminating zero included.
const unsigned MODULE_PATH_SIZE = 256;

// Reads the first whitespace-delimited token of `f`, the way `stream >> word`
// does: leading white space is skipped and the token ends at the next white
// space or at end of file. The rest of the file is left unread. A zero byte
// ends the token's usable text, as it would end a C string.
std::string readPlugDirToken(FILE* f);

// Builds `directory` followed directly by `fileName` into `path` (zero-filled
// first). Returns false, leaving `path` empty, when the result would not fit
// in MODULE_PATH_SIZE - 1 characters.
bool buildModulePath(const std::string& directory, const char* fileName,
                     char (&path)[MODULE_PATH_SIZE]);
