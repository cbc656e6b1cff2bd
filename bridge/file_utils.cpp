#include "file_utils.h"

#include <cstdio>

void writeBinaryOut(char* data, unsigned int count, const char* fileName)
{
    FILE* f = std::fopen(fileName, "wb");
    if (!f)
        return;
    if (count > 0 && data)
        std::fwrite(data, 1, count, f);
    std::fclose(f);
}

bool fileExists(const char* path)
{
    if (!path)
        return false;
    FILE* f = std::fopen(path, "r");
    if (!f)
        return false;
    std::fclose(f);
    return true;
}
