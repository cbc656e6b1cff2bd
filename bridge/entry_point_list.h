// The module entry points the bridge binds, in the order they are bound: one
// X(Name) per entry point, for C_Name. Whoever includes this defines X first.
//
// C_DestroyObject and C_GenerateKeyPair are bound but never called, so a
// module may lack them: they do not count when the bridge decides whether it
// needs the module's function list to complete the others (OPTIONAL_ENTRY).
#ifndef OPTIONAL_ENTRY
#define OPTIONAL_ENTRY(name) X(name)
#define ENTRY_POINT_LIST_DEFINED_OPTIONAL
#endif

X(Initialize)
X(GetAttributeValue)
X(GetSlotList)
X(GetSlotInfo)
X(OpenSession)
X(FindObjectsInit)
X(FindObjects)
X(FindObjectsFinal)
OPTIONAL_ENTRY(DestroyObject)
X(Logout)
X(CloseSession)
X(Finalize)
X(Login)
X(SignInit)
X(Sign)
OPTIONAL_ENTRY(GenerateKeyPair)

#ifdef ENTRY_POINT_LIST_DEFINED_OPTIONAL
#undef OPTIONAL_ENTRY
#undef ENTRY_POINT_LIST_DEFINED_OPTIONAL
#endif
