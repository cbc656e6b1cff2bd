// Small file helpers shared by the bridge and the reader lister.
#pragma once

// Writes exactly `count` bytes from `data` to `fileName` (binary, created or
// truncated). Failures are silent: the dumps are a diagnostic aid only.
void writeBinaryOut(char* data, unsigned int count, const char* fileName);

// True when `path` can be opened for reading.
bool fileExists(const char* path);
