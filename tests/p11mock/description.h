// The description file (README.md, "Description file"): what C_Initialize
// reads from TEST_MODULE_CONF.
#pragma once

#include "module_state.h"

#include <string>

namespace p11mock {

enum class Load { Ok, Unreadable, Invalid };

// Reads the description at `path` into `d`. Invalid: `err` says where and why.
Load loadDescription(const std::string& path, Description& d, std::string& err);

// Fills a blank-padded field with text, cut to its width.
void setPadded(unsigned char* field, size_t width, const std::string& text);

}  // namespace p11mock
