// The module's entry points, bound once by name and held for the whole run.
#pragma once

#include "bridge_codes.h"

extern CK_C_Initialize _C_Initialize;
extern CK_C_GetAttributeValue _C_GetAttributeValue;
extern CK_C_GetSlotList _C_GetSlotList;
extern CK_C_GetSlotInfo _C_GetSlotInfo;
extern CK_C_OpenSession _C_OpenSession;
extern CK_C_FindObjectsInit _C_FindObjectsInit;
extern CK_C_FindObjects _C_FindObjects;
extern CK_C_FindObjectsFinal _C_FindObjectsFinal;
extern CK_C_DestroyObject _C_DestroyObject;
extern CK_C_Logout _C_Logout;
extern CK_C_CloseSession _C_CloseSession;
extern CK_C_Finalize _C_Finalize;
extern CK_C_Login _C_Login;
extern CK_C_SignInit _C_SignInit;
extern CK_C_Sign _C_Sign;
extern CK_C_GenerateKeyPair _C_GenerateKeyPair;

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
