// Binding the module's entry points (_C_Initialize, ..., held in bridge_state.h)
// once by name, and calling them.
#pragma once

#include "bridge_state.h"

// Looks each entry point up by its own name. A module that does not export
// some of them (p11-kit's modules export only C_GetFunctionList) has the rest
// taken from its function list; whatever neither provides stays null.
void bindEntryPoints(void* module);

// The entry points a run may call (C_DestroyObject and C_GenerateKeyPair
// aside) that the latest binding found nowhere, as "C_Login, C_Sign"; empty
// when every one is there.
const std::string& missingEntryPoints();

// Calls a bound entry point; one the module did not provide answers
// CKR_FUNCTION_NOT_SUPPORTED, as a module without that function would.
template <typename Entry, typename... Args>
CK_RV callEntry(Entry entry, Args... args)
{
    return entry ? entry(args...) : CKR_FUNCTION_NOT_SUPPORTED;
}
