#include "request.h"

#include "trace.h"

#include <cstring>
#include <vector>

Request readRequest(FILE* f)
{
    Request request;
    std::string* fields[] = {&request.commandname, &request.readerName, &request.pin,
                             &request.dopParam};
    std::vector<char> line(REQUEST_READ_SIZE);
    while (std::fgets(line.data(), REQUEST_READ_SIZE, f)) {
        size_t length = std::strlen(line.data());
        if (length == 0)
            continue;
        if (line[length - 1] == '\n')
            --length;
        if (request.lineCount < 4)
            fields[request.lineCount]->assign(line.data(), length);
        ++request.lineCount;
    }
    return request;
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
