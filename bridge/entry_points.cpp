#include "entry_points.h"

#include <dlfcn.h>

CK_C_Initialize _C_Initialize = nullptr;
CK_C_GetAttributeValue _C_GetAttributeValue = nullptr;
CK_C_GetSlotList _C_GetSlotList = nullptr;
CK_C_GetSlotInfo _C_GetSlotInfo = nullptr;
CK_C_OpenSession _C_OpenSession = nullptr;
CK_C_FindObjectsInit _C_FindObjectsInit = nullptr;
CK_C_FindObjects _C_FindObjects = nullptr;
CK_C_FindObjectsFinal _C_FindObjectsFinal = nullptr;
CK_C_DestroyObject _C_DestroyObject = nullptr;
CK_C_Logout _C_Logout = nullptr;
CK_C_CloseSession _C_CloseSession = nullptr;
CK_C_Finalize _C_Finalize = nullptr;
CK_C_Login _C_Login = nullptr;
CK_C_SignInit _C_SignInit = nullptr;
CK_C_Sign _C_Sign = nullptr;
CK_C_GenerateKeyPair _C_GenerateKeyPair = nullptr;

namespace {
template <typename Entry>
void bindByName(void* module, Entry& entry, const char* name)
{
    entry = reinterpret_cast<Entry>(::dlsym(module, name));
}

template <typename Entry>
void fillFromList(Entry& entry, Entry listed)
{
    if (!entry)
        entry = listed;
}
} // namespace

void bindEntryPoints(void* module)
{
    bindByName(module, _C_Initialize, "C_Initialize");
    bindByName(module, _C_GetAttributeValue, "C_GetAttributeValue");
    bindByName(module, _C_GetSlotList, "C_GetSlotList");
    bindByName(module, _C_GetSlotInfo, "C_GetSlotInfo");
    bindByName(module, _C_OpenSession, "C_OpenSession");
    bindByName(module, _C_FindObjectsInit, "C_FindObjectsInit");
    bindByName(module, _C_FindObjects, "C_FindObjects");
    bindByName(module, _C_FindObjectsFinal, "C_FindObjectsFinal");
    bindByName(module, _C_DestroyObject, "C_DestroyObject");
    bindByName(module, _C_Logout, "C_Logout");
    bindByName(module, _C_CloseSession, "C_CloseSession");
    bindByName(module, _C_Finalize, "C_Finalize");
    bindByName(module, _C_Login, "C_Login");
    bindByName(module, _C_SignInit, "C_SignInit");
    bindByName(module, _C_Sign, "C_Sign");
    bindByName(module, _C_GenerateKeyPair, "C_GenerateKeyPair");

    bool complete = _C_Initialize && _C_GetAttributeValue && _C_GetSlotList && _C_GetSlotInfo &&
                    _C_OpenSession && _C_FindObjectsInit && _C_FindObjects && _C_FindObjectsFinal &&
                    _C_Logout && _C_CloseSession && _C_Finalize && _C_Login && _C_SignInit && _C_Sign;
    if (complete)
        return;
    CK_C_GetFunctionList getFunctionList = nullptr;
    bindByName(module, getFunctionList, "C_GetFunctionList");
    CK_FUNCTION_LIST_PTR list = nullptr;
    if (!getFunctionList || getFunctionList(&list) != CKR_OK || !list)
        return;
    fillFromList(_C_Initialize, list->C_Initialize);
    fillFromList(_C_GetAttributeValue, list->C_GetAttributeValue);
    fillFromList(_C_GetSlotList, list->C_GetSlotList);
    fillFromList(_C_GetSlotInfo, list->C_GetSlotInfo);
    fillFromList(_C_OpenSession, list->C_OpenSession);
    fillFromList(_C_FindObjectsInit, list->C_FindObjectsInit);
    fillFromList(_C_FindObjects, list->C_FindObjects);
    fillFromList(_C_FindObjectsFinal, list->C_FindObjectsFinal);
    fillFromList(_C_DestroyObject, list->C_DestroyObject);
    fillFromList(_C_Logout, list->C_Logout);
    fillFromList(_C_CloseSession, list->C_CloseSession);
    fillFromList(_C_Finalize, list->C_Finalize);
    fillFromList(_C_Login, list->C_Login);
    fillFromList(_C_SignInit, list->C_SignInit);
    fillFromList(_C_Sign, list->C_Sign);
    fillFromList(_C_GenerateKeyPair, list->C_GenerateKeyPair);
}
