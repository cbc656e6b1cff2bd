// The text a slot is known by when the bridge looks for the requested reader.
#pragma once

#include "bridge_codes.h"

#include <string>

// The slot description, then the manufacturer, then the low byte of the flags
// when it is not zero, read as one text that a zero byte ends early. The text
// never reaches past the record.
std::string slotText(const CK_SLOT_INFO& info);
