#include "request.h"

#include "file_utils.h"
#include "secure_wipe.h"
#include "trace.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace {
// One read as fgets makes it: characters up to and including the first line
// feed, at most `size` - 1 of them and at most `budget`, followed by a zero.
// Returns how many bytes it took from the file; 0 at end of file.
size_t readOnce(FILE* f, char* line, size_t size, unsigned long budget)
{
    size_t taken = 0;
    while (taken + 1 < size && taken < budget) {
        int c = std::getc(f);
        if (c == EOF)
            break;
        line[taken++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    line[taken] = '\0';
    return taken;
}
} // namespace

unsigned long readRequest(FILE* f, Request& request, unsigned long lineLimit)
{
    std::string* fields[] = {&request.commandname, &request.readerName, &request.pin,
                             &request.dopParam};
    // Not zero-filled: every byte a read stores is counted in `held`, and
    // only those are wiped at the end.
    std::unique_ptr<char[]> line(new char[REQUEST_READ_SIZE]);
    size_t held = 0;
    unsigned long consumed = 0;
    size_t taken;
    while (request.lineCount < lineLimit &&
           (taken = readOnce(f, line.get(), REQUEST_READ_SIZE, REQUEST_MAX_BYTES - consumed)) > 0) {
        consumed += taken;
        held = std::max(held, taken + 1);
        size_t length = strnlen(line.get(), taken);
        if (length == 0)
            continue;
        if (line[length - 1] == '\n')
            --length;
        if (request.lineCount < 4)
            fields[request.lineCount]->assign(line.get(), length);
        ++request.lineCount;
    }
    wipeMemory(line.get(), std::max<size_t>(held, 1));
    return consumed;
}

bool readRequestFile(const char* name, Request& request)
{
    FILE* in = openHostFile(name);
    if (!in)
        return false;
    // The stream's own buffer would keep the PIN after the file is closed.
    static char streamBuffer[8192];
    std::setvbuf(in, streamBuffer, _IOFBF, sizeof streamBuffer);
    unsigned long consumed = readRequest(in, request);
    // With no line limit, reading stops at the end of the file (or a read
    // error), where every byte the stream had read was taken, or after
    // REQUEST_MAX_BYTES, more than the buffer holds: no more of it than
    // `consumed` bytes held data.
    std::fclose(in);
    wipeMemory(streamBuffer, std::min<unsigned long>(consumed, sizeof streamBuffer));
    return true;
}

bool readRequestHead(const char* name, Request& request)
{
    FILE* in = openHostFile(name);
    if (!in)
        return false;
    // Unbuffered: a buffer would take in the lines after the second as well.
    std::setvbuf(in, nullptr, _IONBF, 0);
    readRequest(in, request, 2);
    std::fclose(in);
    return true;
}

void traceRequest(const Request& request)
{
    static const char* const prefixes[] = {"\nreaded commandname:", "\nreaded readerName:",
                                           "\nreaded pin:", "\nreaded dopParam:"};
    const std::string* fields[] = {&request.commandname, &request.readerName, &request.pin,
                                   &request.dopParam};
    for (unsigned long i = 0; i < request.lineCount && i < 4; ++i) {
        trace(prefixes[i]);
        trace(i == 2 ? std::string(maskedPin()) : *fields[i]);
    }
}
