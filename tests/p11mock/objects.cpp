// Objects and searches: C_GetAttributeValue, C_FindObjectsInit,
// C_FindObjects, C_FindObjectsFinal.
#include "call_log.h"
#include "module_state.h"

namespace p11mock {

namespace {

enum class Attr { Value, Missing, Sensitive };

Attr attributeOf(const Object& o, CK_ATTRIBUTE_TYPE type, Bytes& v) {
  auto ulong = [&v](CK_ULONG x) {
    v.resize(sizeof x);
    std::memcpy(v.data(), &x, sizeof x);
    return Attr::Value;
  };
  auto boolean = [&v](bool b) {
    v.assign(1, b ? CK_TRUE : CK_FALSE);
    return Attr::Value;
  };
  const bool privateKey = o.isKey && o.cls == CKO_PRIVATE_KEY;
  switch (type) {
    case CKA_CLASS:
      return ulong(o.cls);
    case CKA_TOKEN:
      return boolean(true);
    case CKA_PRIVATE:
      return boolean(o.isPrivate);
    case CKA_VALUE:
      if (privateKey) return Attr::Sensitive;
      if (!o.hasValue) return Attr::Missing;
      v = o.value;
      return Attr::Value;
    case CKA_CERTIFICATE_TYPE:
      return o.isCert ? ulong(CKC_X_509) : Attr::Missing;
    case CKA_KEY_TYPE:
      return o.isKey ? ulong(o.keyType) : Attr::Missing;
    case CKA_SIGN:
      return o.isKey ? boolean(privateKey) : Attr::Missing;
    case CKA_VERIFY:
      return o.isKey ? boolean(!privateKey) : Attr::Missing;
    case CKA_SENSITIVE:
      return privateKey ? boolean(true) : Attr::Missing;
    default:
      return Attr::Missing;
  }
}

bool matches(const Object& o, const CK_ATTRIBUTE* t, CK_ULONG n) {
  Bytes v;
  for (CK_ULONG i = 0; i < n; ++i) {
    if (attributeOf(o, t[i].type, v) != Attr::Value) return false;
    if (v.size() != t[i].ulValueLen) return false;
    if (!v.empty() && std::memcmp(v.data(), t[i].pValue, v.size()) != 0) return false;
  }
  return true;
}

}  // namespace

Object* visibleObject(const Session& s, CK_OBJECT_HANDLE h) {
  if (h == 0 || h > g.d.objects.size()) return nullptr;
  Object& o = g.d.objects[h - 1];
  if (o.slot != s.slot) return nullptr;
  if (o.isPrivate && !g.d.slots[s.slot].loggedIn) return nullptr;
  return &o;
}

}  // namespace p11mock

using namespace p11mock;

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                          CK_ULONG ulCount) {
  Call c("C_GetAttributeValue");
  c.arg(decNum(hSession));
  c.arg(decNum(hObject));
  c.arg(queryTemplate(pTemplate, ulCount));
  c.arg(decNum(ulCount));
  CK_RV rv;
  Session* s = sessionForCall(c, hSession, rv);
  if (!s) return c.done(rv);
  if (!pTemplate && ulCount) return c.done(CKR_ARGUMENTS_BAD);
  Object* o = visibleObject(*s, hObject);
  if (!o) return c.done(CKR_OBJECT_HANDLE_INVALID);
  rv = CKR_OK;
  std::vector<std::string> parts;
  Bytes v;
  for (CK_ULONG i = 0; i < ulCount; ++i) {
    CK_ATTRIBUTE& a = pTemplate[i];
    bool copied = false;
    switch (attributeOf(*o, a.type, v)) {
      case Attr::Sensitive:
        a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        rv = CKR_ATTRIBUTE_SENSITIVE;
        break;
      case Attr::Missing:
        a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        rv = CKR_ATTRIBUTE_TYPE_INVALID;
        break;
      case Attr::Value:
        if (!a.pValue) {
          a.ulValueLen = v.size();
        } else if (a.ulValueLen >= v.size()) {
          if (!v.empty()) std::memcpy(a.pValue, v.data(), v.size());
          a.ulValueLen = v.size();
          copied = true;
        } else {
          a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
          rv = CKR_BUFFER_TOO_SMALL;
        }
        break;
    }
    if (copied && holdsUlong(a))
      parts.push_back(hexNum(a.type) + "=" + hexNum(ulongValue(a)));
    else
      parts.push_back(hexNum(a.type) + ":len=" + lengthText(a.type, a.ulValueLen));
  }
  return c.done(rv, "{" + join(parts) + "}");
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
  Call c("C_FindObjectsInit");
  c.arg(decNum(hSession));
  c.arg(valueTemplate(pTemplate, ulCount));
  c.arg(decNum(ulCount));
  CK_RV rv;
  Session* s = sessionForCall(c, hSession, rv);
  if (!s) return c.done(rv);
  if (s->finding) return c.done(CKR_OPERATION_ACTIVE);
  if (!pTemplate && ulCount) return c.done(CKR_ARGUMENTS_BAD);
  for (CK_ULONG i = 0; i < ulCount; ++i)
    if (!pTemplate[i].pValue && pTemplate[i].ulValueLen) return c.done(CKR_ATTRIBUTE_VALUE_INVALID);
  s->found.clear();
  for (CK_OBJECT_HANDLE h = 1; h <= g.d.objects.size(); ++h) {
    const Object* o = visibleObject(*s, h);
    if (o && matches(*o, pTemplate, ulCount)) s->found.push_back(h);
  }
  s->next = 0;
  s->finding = true;
  return c.done(CKR_OK);
}

CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                    CK_ULONG_PTR pulObjectCount) {
  Call c("C_FindObjects");
  c.arg(decNum(hSession));
  c.arg(ptrText(phObject));
  c.arg(decNum(ulMaxObjectCount));
  c.arg(ptrText(pulObjectCount));
  CK_RV rv;
  Session* s = sessionForCall(c, hSession, rv);
  if (!s) return c.done(rv);
  if (!s->finding) return c.done(CKR_OPERATION_NOT_INITIALIZED);
  if (!phObject || !pulObjectCount) return c.done(CKR_ARGUMENTS_BAD);
  CK_ULONG n = 0;
  if (g.d.findForever) {
    // A hostile module: the search never ends.
    if (ulMaxObjectCount > 0) {
      if (s->found.empty()) {
        phObject[0] = CK_INVALID_HANDLE;
      } else {
        phObject[0] = s->found[s->next % s->found.size()];
        s->next = (s->next + 1) % s->found.size();
      }
      n = 1;
    }
  } else {
    while (n < ulMaxObjectCount && s->next < s->found.size()) phObject[n++] = s->found[s->next++];
  }
  *pulObjectCount = n;
  return c.done(CKR_OK, decNum(n) + " " + handleList(phObject, n));
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession) {
  Call c("C_FindObjectsFinal");
  c.arg(decNum(hSession));
  CK_RV rv;
  Session* s = sessionForCall(c, hSession, rv);
  if (!s) return c.done(rv);
  if (!s->finding) return c.done(CKR_OPERATION_NOT_INITIALIZED);
  s->finding = false;
  s->found.clear();
  s->next = 0;
  return c.done(CKR_OK);
}
