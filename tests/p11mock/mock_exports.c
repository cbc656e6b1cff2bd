/* Export shim of the test module. Compiled once per variant of the library:
 *   P11MOCK_OMIT_<name>    leave out the exported symbol <name> (e.g. C_Login)
 *   P11MOCK_FNLIST_ONLY    export C_GetFunctionList and nothing else
 *   P11MOCK_BARE           export the 16 names but not C_GetFunctionList
 * The function list itself is always complete. */
#include "mock_core.h"

#define EXPORT __attribute__((visibility("default")))

#if !defined(P11MOCK_BARE)
EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
  return p11mock_GetFunctionList(ppFunctionList);
}
#endif

#if !defined(P11MOCK_FNLIST_ONLY)

#ifndef P11MOCK_OMIT_C_Initialize
EXPORT CK_RV C_Initialize(CK_VOID_PTR pInitArgs) { return p11mock_Initialize(pInitArgs); }
#endif

#ifndef P11MOCK_OMIT_C_Finalize
EXPORT CK_RV C_Finalize(CK_VOID_PTR pReserved) { return p11mock_Finalize(pReserved); }
#endif

#ifndef P11MOCK_OMIT_C_GetSlotList
EXPORT CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
  return p11mock_GetSlotList(tokenPresent, pSlotList, pulCount);
}
#endif

#ifndef P11MOCK_OMIT_C_GetSlotInfo
EXPORT CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) { return p11mock_GetSlotInfo(slotID, pInfo); }
#endif

#ifndef P11MOCK_OMIT_C_OpenSession
EXPORT CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR pApplication, CK_NOTIFY Notify,
                           CK_SESSION_HANDLE_PTR phSession) {
  return p11mock_OpenSession(slotID, flags, pApplication, Notify, phSession);
}
#endif

#ifndef P11MOCK_OMIT_C_CloseSession
EXPORT CK_RV C_CloseSession(CK_SESSION_HANDLE hSession) { return p11mock_CloseSession(hSession); }
#endif

#ifndef P11MOCK_OMIT_C_Login
EXPORT CK_RV C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
  return p11mock_Login(hSession, userType, pPin, ulPinLen);
}
#endif

#ifndef P11MOCK_OMIT_C_Logout
EXPORT CK_RV C_Logout(CK_SESSION_HANDLE hSession) { return p11mock_Logout(hSession); }
#endif

#ifndef P11MOCK_OMIT_C_DestroyObject
EXPORT CK_RV C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
  return p11mock_DestroyObject(hSession, hObject);
}
#endif

#ifndef P11MOCK_OMIT_C_GetAttributeValue
EXPORT CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                                 CK_ULONG ulCount) {
  return p11mock_GetAttributeValue(hSession, hObject, pTemplate, ulCount);
}
#endif

#ifndef P11MOCK_OMIT_C_FindObjectsInit
EXPORT CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
  return p11mock_FindObjectsInit(hSession, pTemplate, ulCount);
}
#endif

#ifndef P11MOCK_OMIT_C_FindObjects
EXPORT CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                           CK_ULONG_PTR pulObjectCount) {
  return p11mock_FindObjects(hSession, phObject, ulMaxObjectCount, pulObjectCount);
}
#endif

#ifndef P11MOCK_OMIT_C_FindObjectsFinal
EXPORT CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession) { return p11mock_FindObjectsFinal(hSession); }
#endif

#ifndef P11MOCK_OMIT_C_SignInit
EXPORT CK_RV C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  return p11mock_SignInit(hSession, pMechanism, hKey);
}
#endif

#ifndef P11MOCK_OMIT_C_Sign
EXPORT CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
                    CK_ULONG_PTR pulSignatureLen) {
  return p11mock_Sign(hSession, pData, ulDataLen, pSignature, pulSignatureLen);
}
#endif

#ifndef P11MOCK_OMIT_C_GenerateKeyPair
EXPORT CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                               CK_ATTRIBUTE_PTR pPublicKeyTemplate, CK_ULONG ulPublicKeyAttributeCount,
                               CK_ATTRIBUTE_PTR pPrivateKeyTemplate, CK_ULONG ulPrivateKeyAttributeCount,
                               CK_OBJECT_HANDLE_PTR phPublicKey, CK_OBJECT_HANDLE_PTR phPrivateKey) {
  return p11mock_GenerateKeyPair(hSession, pMechanism, pPublicKeyTemplate, ulPublicKeyAttributeCount,
                                 pPrivateKeyTemplate, ulPrivateKeyAttributeCount, phPublicKey, phPrivateKey);
}
#endif

#endif /* !P11MOCK_FNLIST_ONLY */
