// Replays inputs through a fuzz target without libFuzzer: every file named on
// the command line, and every file in every folder named there, is handed to
// LLVMFuzzerTestOneInput once. A target reports a wrong result by aborting, so
// a clean exit means every input passed. Every build tree links each target
// with this driver and replays its committed corpus as a test.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {
int replayed = 0;

bool replayFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::fprintf(stderr, "replay: %s (%zu bytes)\n", path.c_str(), bytes.size());
    // A fresh copy of exactly the input's size, so that a read past its end is
    // seen; an empty input still comes with a valid pointer, as from libFuzzer.
    static uint8_t none = 0;
    std::vector<uint8_t> input(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(input.empty() ? &none : input.data(), input.size());
    ++replayed;
    return true;
}

bool replay(const std::string& path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        std::fprintf(stderr, "replay: no such input %s\n", path.c_str());
        return false;
    }
    if (!S_ISDIR(st.st_mode))
        return replayFile(path);
    DIR* dir = ::opendir(path.c_str());
    if (!dir)
        return false;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.')
            names.push_back(entry->d_name);
    }
    ::closedir(dir);
    bool ok = true;
    for (const std::string& name : names)
        ok = replay(path + "/" + name) && ok;
    return ok;
}
} // namespace

int main(int argc, char** argv)
{
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    bool ok = true;
    for (int i = 1; i < argc; ++i)
        ok = replay(argv[i]) && ok;
    std::fprintf(stderr, "replay: %d input(s) passed\n", replayed);
    return ok && replayed > 0 ? 0 : 1;
}
