#include "plugin_dir.h"

#include "file_utils.h"

#include <cstring>

const char* const PLUGIN_DIR_FILE = "vn_api_currplugDir.txt";

namespace {
// White space as the "C" locale's isspace() sees it.
bool isBlank(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
} // namespace

bool readPlugDirToken(FILE* f, size_t maxLength, std::string& token)
{
    token.clear();
    int c = std::getc(f);
    while (c != EOF && isBlank(c))
        c = std::getc(f);
    bool cut = false;
    size_t length = 0;
    while (c != EOF && !isBlank(c)) {
        if (c == '\0')
            cut = true;
        if (!cut)
            token.push_back(static_cast<char>(c));
        if (++length > maxLength)
            return false;
        c = std::getc(f);
    }
    return true;
}

size_t longestDirectory(const char* fileName)
{
    size_t nameLength = std::strlen(fileName);
    return nameLength < MODULE_PATH_SIZE - 1 ? MODULE_PATH_SIZE - 1 - nameLength : 0;
}

bool buildModulePath(const std::string& directory, const char* fileName,
                     char (&path)[MODULE_PATH_SIZE])
{
    std::memset(path, 0, sizeof path);
    size_t nameLength = std::strlen(fileName);
    if (directory.size() + nameLength > MODULE_PATH_SIZE - 1)
        return false;
    std::memcpy(path, directory.data(), directory.size());
    std::memcpy(path + directory.size(), fileName, nameLength);
    return true;
}

ModuleLocation locateModule(const char* fileName, std::string& directory,
                            char (&path)[MODULE_PATH_SIZE], std::string& problem)
{
    FILE* plugDir = openHostFile(PLUGIN_DIR_FILE);
    if (!plugDir || std::ferror(plugDir)) {
        problem = plugDir ? "not readable" : fileProblem();
        return ModuleLocation::NoPluginDirFile;
    }
    bool fits = readPlugDirToken(plugDir, longestDirectory(fileName), directory) &&
                buildModulePath(directory, fileName, path);
    return fits ? ModuleLocation::Found : ModuleLocation::TooLong;
}
