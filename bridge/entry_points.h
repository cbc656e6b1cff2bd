// The module's entry points, bound once by name and held for the whole run:
// _C_Initialize, _C_GetAttributeValue, ... (entry_point_list.h).
#pragma once

#include "bridge_codes.h"

#define X(name) extern CK_C_##name _C_##name;
#include "entry_point_list.h"
#undef X

// Looks each entry point up by its own name. A module that does not export
// some of them (p11-kit's modules export only C_GetFunctionList) has the rest
// taken from its function list; whatever neither provides stays null.
void bindEntryPoints(void* module);

// Calls a bound entry point; one the module did not provide answers
// CKR_FUNCTION_NOT_SUPPORTED, as a module without that function would.
template <typename Entry, typename... Args>
CK_RV callEntry(Entry entry, Args... args)
{
    return entry ? entry(args...) : CKR_FUNCTION_NOT_SUPPORTED;
}
