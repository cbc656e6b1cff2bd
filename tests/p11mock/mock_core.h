/* Entry points of the test module's core. The core is linked statically into
 * every variant of the module; the per-variant export shim (mock_exports.c)
 * decides which of the C_ names the shared library exports. Everything here has
 * hidden visibility, so a variant exports only what its shim defines. */
#ifndef P11MOCK_MOCK_CORE_H
#define P11MOCK_MOCK_CORE_H

#include <p11-kit/pkcs11.h>

#ifdef __cplusplus
extern "C" {
#endif

#pragma GCC visibility push(hidden)

CK_RV p11mock_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList);
CK_RV p11mock_Initialize(CK_VOID_PTR pInitArgs);
CK_RV p11mock_Finalize(CK_VOID_PTR pReserved);
CK_RV p11mock_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount);
CK_RV p11mock_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo);
CK_RV p11mock_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR pApplication, CK_NOTIFY Notify,
                          CK_SESSION_HANDLE_PTR phSession);
CK_RV p11mock_CloseSession(CK_SESSION_HANDLE hSession);
CK_RV p11mock_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen);
CK_RV p11mock_Logout(CK_SESSION_HANDLE hSession);
CK_RV p11mock_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject);
CK_RV p11mock_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                                CK_ULONG ulCount);
CK_RV p11mock_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount);
CK_RV p11mock_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                          CK_ULONG_PTR pulObjectCount);
CK_RV p11mock_FindObjectsFinal(CK_SESSION_HANDLE hSession);
CK_RV p11mock_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey);
CK_RV p11mock_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
                   CK_ULONG_PTR pulSignatureLen);
CK_RV p11mock_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                              CK_ATTRIBUTE_PTR pPublicKeyTemplate, CK_ULONG ulPublicKeyAttributeCount,
                              CK_ATTRIBUTE_PTR pPrivateKeyTemplate, CK_ULONG ulPrivateKeyAttributeCount,
                              CK_OBJECT_HANDLE_PTR phPublicKey, CK_OBJECT_HANDLE_PTR phPrivateKey);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
