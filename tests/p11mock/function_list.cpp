// The function list (C_GetFunctionList) and the functions the module does
// not offer, all generated from pkcs11_functions.h.
#include "call_log.h"
#include "module_state.h"

#include <cstring>

namespace p11mock {

namespace {

enum class FunctionId {
#define OFFERED(name) name,
#define REFUSED(name) name,
#include "pkcs11_functions.h"
#undef OFFERED
#undef REFUSED
};

const char* const kFunctionNames[] = {
#define OFFERED(name) "C_" #name,
#define REFUSED(name) "C_" #name,
#include "pkcs11_functions.h"
#undef OFFERED
#undef REFUSED
};

// A function the module does not offer: logged with "..." for its
// arguments, and CKR_FUNCTION_NOT_SUPPORTED unless the call is blocked.
CK_RV refuse(FunctionId id) {
  Call c(kFunctionNames[static_cast<size_t>(id)]);
  c.arg("...");
  CK_RV rv;
  if (c.blocked(rv)) return c.done(rv);
  return c.done(CKR_FUNCTION_NOT_SUPPORTED);
}

// The refusing entry of a function, with the function's own parameters
// (Entry is its CK_C_ pointer type).
template <typename Entry, FunctionId id>
struct Refusal;

template <typename... Params, FunctionId id>
struct Refusal<CK_RV (*)(Params...), id> {
  static CK_RV entry(Params...) { return refuse(id); }
};

CK_FUNCTION_LIST makeFunctionList() {
  CK_FUNCTION_LIST f;
  std::memset(&f, 0, sizeof f);
  f.version.major = 2;
  f.version.minor = 40;
#define OFFERED(name) f.C_##name = C_##name;
#define REFUSED(name) f.C_##name = Refusal<CK_C_##name, FunctionId::name>::entry;
#include "pkcs11_functions.h"
#undef OFFERED
#undef REFUSED
  return f;
}

CK_FUNCTION_LIST g_functionList = makeFunctionList();

}  // namespace

void clearListEntry(const std::string& name) {
#define OFFERED(entry) \
  if (name == "C_" #entry) g_functionList.C_##entry = nullptr;
#define REFUSED(entry) OFFERED(entry)
#include "pkcs11_functions.h"
#undef OFFERED
#undef REFUSED
}

bool knownFunction(const std::string& name) {
  for (const char* n : kFunctionNames)
    if (name == n) return true;
  return false;
}

}  // namespace p11mock

using namespace p11mock;

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
  Call c("C_GetFunctionList");
  c.arg(ptrText(ppFunctionList));
  CK_RV rv;
  if (g.initialized && c.scripted(g.d, rv)) return c.done(rv);
  if (!ppFunctionList) return c.done(CKR_ARGUMENTS_BAD);
  *ppFunctionList = &g_functionList;
  return c.done(CKR_OK);
}

// Vendor modules export these two by name (exported_names.h), so the module
// does too, though it offers neither: they refuse like their list entries.
CK_RV C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
  return Refusal<CK_C_DestroyObject, FunctionId::DestroyObject>::entry(hSession, hObject);
}

CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_ATTRIBUTE_PTR pPublicKeyTemplate,
                        CK_ULONG ulPublicKeyAttributeCount, CK_ATTRIBUTE_PTR pPrivateKeyTemplate,
                        CK_ULONG ulPrivateKeyAttributeCount, CK_OBJECT_HANDLE_PTR phPublicKey,
                        CK_OBJECT_HANDLE_PTR phPrivateKey) {
  return Refusal<CK_C_GenerateKeyPair, FunctionId::GenerateKeyPair>::entry(
      hSession, pMechanism, pPublicKeyTemplate, ulPublicKeyAttributeCount, pPrivateKeyTemplate,
      ulPrivateKeyAttributeCount, phPublicKey, phPrivateKey);
}
