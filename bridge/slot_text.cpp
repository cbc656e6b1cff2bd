#include "slot_text.h"

#include <cstring>

namespace {
// Appends `field` up to its first zero byte; true when the field had none, so
// that the text runs on into the next field.
bool appendUntilZero(std::string& text, const unsigned char* field, size_t size)
{
    const void* zero = std::memchr(field, 0, size);
    size_t length = zero ? static_cast<size_t>(static_cast<const unsigned char*>(zero) - field) : size;
    text.append(reinterpret_cast<const char*>(field), length);
    return zero == nullptr;
}
} // namespace

std::string slotText(const CK_SLOT_INFO& info)
{
    std::string text;
    if (appendUntilZero(text, info.slotDescription, sizeof info.slotDescription) &&
        appendUntilZero(text, info.manufacturerID, sizeof info.manufacturerID)) {
        unsigned char lowFlags = static_cast<unsigned char>(info.flags & 0xFF);
        if (lowFlags != 0)
            text.push_back(static_cast<char>(lowFlags));
    }
    return text;
}
