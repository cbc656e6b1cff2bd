// A slot record as a module may fill it: the fuzz bytes laid over the whole
// CK_SLOT_INFO (zeros where the input is shorter), in a heap block of exactly
// its size so that a read past the record is reported. The text must be the
// 97 bytes description, manufacturer and low flag byte read up to the first
// zero: never longer than 97, never holding a zero byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "slot_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<CK_SLOT_INFO> info(new CK_SLOT_INFO);
    std::memset(info.get(), 0, sizeof *info);
    if (size) std::memcpy(info.get(), data, size < sizeof *info ? size : sizeof *info);

    const std::string text = slotText(*info);
    if (text.size() > 97) std::abort();
    if (text.find('\0') != std::string::npos) std::abort();

    std::string whole(reinterpret_cast<const char*>(info->slotDescription), sizeof info->slotDescription);
    whole.append(reinterpret_cast<const char*>(info->manufacturerID), sizeof info->manufacturerID);
    whole.push_back(static_cast<char>(info->flags & 0xFF));
    if (text != whole.substr(0, whole.find('\0'))) std::abort();
    return 0;
}
