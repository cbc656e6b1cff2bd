// Sessions and login: C_OpenSession, C_CloseSession, C_Login, C_Logout.
#include "call_log.h"
#include "module_state.h"

namespace p11mock {

namespace {

Session* findSession(CK_SESSION_HANDLE h) {
  auto it = g.sessions.find(h);
  return it == g.sessions.end() ? nullptr : &it->second;
}

}  // namespace

Session* sessionForCall(Call& c, CK_SESSION_HANDLE h, CK_RV& rv) {
  if (c.blocked(rv)) return nullptr;
  Session* s = findSession(h);
  if (!s) rv = CKR_SESSION_HANDLE_INVALID;
  return s;
}

void closeSession(std::map<CK_SESSION_HANDLE, Session>::iterator it) {
  size_t slot = it->second.slot;
  g.sessions.erase(it);
  for (const auto& kv : g.sessions)
    if (kv.second.slot == slot) return;
  g.d.slots[slot].loggedIn = false;  // the last session of a token ends its login
}

}  // namespace p11mock

using namespace p11mock;

CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR pApplication, CK_NOTIFY Notify,
                    CK_SESSION_HANDLE_PTR phSession) {
  Call c("C_OpenSession");
  c.arg(decNum(slotID));
  c.arg(hexNum(flags));
  c.arg(ptrText(pApplication));
  c.arg(Notify ? "ptr" : "NULL");
  c.arg(ptrText(phSession));
  CK_RV rv;
  if (c.blocked(rv)) return c.done(rv);
  if (!phSession) return c.done(CKR_ARGUMENTS_BAD);
  size_t index = 0;
  Slot* s = findSlot(slotID, &index);
  if (!s) return c.done(CKR_SLOT_ID_INVALID);
  if (!tokenPresent(*s)) return c.done(CKR_TOKEN_NOT_PRESENT);
  if (!(flags & CKF_SERIAL_SESSION)) return c.done(CKR_SESSION_PARALLEL_NOT_SUPPORTED);
  if ((flags & CKF_RW_SESSION) && s->readOnly) return c.done(CKR_TOKEN_WRITE_PROTECTED);
  Session session;
  session.slot = index;
  session.flags = flags;
  const CK_SESSION_HANDLE h = g.nextSession++;
  g.sessions[h] = session;
  *phSession = h;
  return c.done(CKR_OK, decNum(h));
}

CK_RV C_CloseSession(CK_SESSION_HANDLE hSession) {
  Call c("C_CloseSession");
  c.arg(decNum(hSession));
  CK_RV rv;
  if (c.blocked(rv)) return c.done(rv);
  auto it = g.sessions.find(hSession);
  if (it == g.sessions.end()) return c.done(CKR_SESSION_HANDLE_INVALID);
  closeSession(it);
  return c.done(CKR_OK);
}

CK_RV C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
  Call c("C_Login");
  c.arg(decNum(hSession));
  c.arg(decNum(userType));
  // While the PIN is being looked for in memory, the log shows it as stars:
  // building the quoted text would leave clear copies behind.
  if (!pPin)
    c.arg("NULL");
  else if (g.initialized && g.d.checkPinWiped)
    c.arg("\"" + std::string(ulPinLen < 256 ? ulPinLen : 256, '*') + "\"");
  else
    c.arg(quoted(pPin, ulPinLen));
  c.arg(decNum(ulPinLen));
  CK_RV rv;
  Session* s = sessionForCall(c, hSession, rv);
  if (!s) return c.done(rv);
  if (userType != CKU_USER) return c.done(CKR_USER_TYPE_INVALID);
  Slot& slot = g.d.slots[s->slot];
  if (slot.loggedIn) return c.done(CKR_USER_ALREADY_LOGGED_IN);
  if (!pPin && ulPinLen) return c.done(CKR_ARGUMENTS_BAD);
  if (!matchesMasked(pPin, ulPinLen, slot.pin)) return c.done(CKR_PIN_INCORRECT);
  slot.loggedIn = true;
  return c.done(CKR_OK);
}

CK_RV C_Logout(CK_SESSION_HANDLE hSession) {
  Call c("C_Logout");
  c.arg(decNum(hSession));
  CK_RV rv;
  Session* s = sessionForCall(c, hSession, rv);
  if (!s) return c.done(rv);
  Slot& slot = g.d.slots[s->slot];
  if (!slot.loggedIn) return c.done(CKR_USER_NOT_LOGGED_IN);
  slot.loggedIn = false;
  return c.done(CKR_OK);
}
