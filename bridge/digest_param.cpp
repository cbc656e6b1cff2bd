#include "digest_param.h"

#include "bridge_state.h"

namespace {
bool isAlphabet(char c)
{
    return c != '\0' && base64_chars.find(c) != std::string::npos;
}
} // namespace

bool isDigestText(const std::string& param)
{
    if (param.size() < DIGEST_TEXT_LENGTH)
        return false;
    const unsigned last = DIGEST_TEXT_LENGTH - 1;
    for (unsigned i = 0; i < last - 1; ++i) {
        if (!isAlphabet(param[i]))
            return false;
    }
    char beforeLast = param[last - 1];
    char lastChar = param[last];
    if (beforeLast == '=')
        return lastChar == '=';
    return isAlphabet(beforeLast) && (isAlphabet(lastChar) || lastChar == '=');
}
