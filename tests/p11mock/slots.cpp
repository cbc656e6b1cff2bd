// The module and its slots and tokens: C_GetInfo, C_GetSlotList, C_GetSlotInfo,
// C_GetTokenInfo, C_GetMechanismInfo.
#include "call_log.h"
#include "description.h"
#include "module_state.h"

namespace p11mock {

bool tokenPresent(const Slot& s) {
  switch (s.token) {
    case Token::Present:
      return true;
    case Token::Absent:
      return false;
    case Token::Appears:
      return g.slotListCalls >= 2;
  }
  return false;
}

Slot* findSlot(CK_SLOT_ID id, size_t* index) {
  for (size_t i = 0; i < g.d.slots.size(); ++i) {
    if (g.d.slots[i].id == id) {
      if (index) *index = i;
      return &g.d.slots[i];
    }
  }
  return nullptr;
}

}  // namespace p11mock

using namespace p11mock;

namespace {

// IDs that a claim-slots module hands out past its real slots.
const CK_SLOT_ID kUnknownSlotBase = 0x7fff0000;

}  // namespace

CK_RV C_GetSlotList(CK_BBOOL tokenPresentOnly, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
  Call c("C_GetSlotList");
  c.arg(decNum(tokenPresentOnly));
  c.arg(pSlotList && pulCount ? "ptr/" + decNum(*pulCount) : ptrText(pSlotList));
  c.arg(ptrText(pulCount));
  CK_RV rv;
  if (c.blocked(rv)) return c.done(rv);
  ++g.slotListCalls;
  if (!pulCount) return c.done(CKR_ARGUMENTS_BAD);
  std::vector<CK_SLOT_ID> ids;
  for (const Slot& s : g.d.slots)
    if (!tokenPresentOnly || tokenPresent(s)) ids.push_back(s.id);
  if (g.d.claimSlots) {
    // A hostile module: the claimed count, and IDs that no slot has past the real ones.
    if (!pSlotList || *pulCount < g.d.claimedSlots) {
      *pulCount = g.d.claimedSlots;
      return c.done(pSlotList ? CKR_BUFFER_TOO_SMALL : CKR_OK, decNum(g.d.claimedSlots));
    }
    for (CK_ULONG i = 0; i < g.d.claimedSlots; ++i)
      pSlotList[i] = i < ids.size() ? ids[i] : kUnknownSlotBase + i;
    *pulCount = g.d.claimedSlots;
    return c.done(CKR_OK, decNum(g.d.claimedSlots) + " [...]");
  }
  const CK_ULONG n = ids.size();
  if (!pSlotList) {
    *pulCount = n;
    return c.done(CKR_OK, decNum(n));
  }
  if (*pulCount < n) {
    *pulCount = n;
    return c.done(CKR_BUFFER_TOO_SMALL, decNum(n));
  }
  for (CK_ULONG i = 0; i < n; ++i) pSlotList[i] = ids[i];
  *pulCount = n;
  return c.done(CKR_OK, decNum(n) + " " + handleList(ids.data(), n));
}

CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
  Call c("C_GetSlotInfo");
  c.arg(decNum(slotID));
  c.arg(ptrText(pInfo));
  CK_RV rv;
  if (c.blocked(rv)) return c.done(rv);
  if (!pInfo) return c.done(CKR_ARGUMENTS_BAD);
  Slot* s = findSlot(slotID);
  if (!s) return c.done(CKR_SLOT_ID_INVALID);
  std::memcpy(pInfo->slotDescription, s->description, sizeof pInfo->slotDescription);
  std::memcpy(pInfo->manufacturerID, s->manufacturer, sizeof pInfo->manufacturerID);
  if (s->flagsGiven)
    pInfo->flags = s->flags;
  else
    pInfo->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | (tokenPresent(*s) ? CKF_TOKEN_PRESENT : 0);
  pInfo->hardwareVersion.major = 1;
  pInfo->hardwareVersion.minor = 0;
  pInfo->firmwareVersion.major = 1;
  pInfo->firmwareVersion.minor = 0;
  return c.done(CKR_OK, paddedText(s->description, sizeof s->description) + " " +
                            paddedText(s->manufacturer, sizeof s->manufacturer) + " " + hexNum(pInfo->flags));
}

CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
  Call c("C_GetTokenInfo");
  c.arg(decNum(slotID));
  c.arg(ptrText(pInfo));
  CK_RV rv;
  if (c.blocked(rv)) return c.done(rv);
  if (!pInfo) return c.done(CKR_ARGUMENTS_BAD);
  size_t index = 0;
  Slot* s = findSlot(slotID, &index);
  if (!s) return c.done(CKR_SLOT_ID_INVALID);
  if (!tokenPresent(*s)) return c.done(CKR_TOKEN_NOT_PRESENT);
  std::memset(pInfo, 0, sizeof *pInfo);
  setPadded(pInfo->label, sizeof pInfo->label, "p11mock token " + decNum(slotID));
  std::memcpy(pInfo->manufacturerID, s->manufacturer, sizeof pInfo->manufacturerID);
  setPadded(pInfo->model, sizeof pInfo->model, "p11mock");
  setPadded(pInfo->serialNumber, sizeof pInfo->serialNumber, decNum(slotID));
  pInfo->flags = CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED | CKF_LOGIN_REQUIRED;
  if (s->readOnly) pInfo->flags |= CKF_WRITE_PROTECTED;
  pInfo->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
  pInfo->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
  for (const auto& kv : g.sessions) {
    if (kv.second.slot != index) continue;
    ++pInfo->ulSessionCount;
    if (kv.second.flags & CKF_RW_SESSION) ++pInfo->ulRwSessionCount;
  }
  pInfo->ulMaxPinLen = 255;
  pInfo->ulMinPinLen = 0;
  pInfo->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
  pInfo->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
  pInfo->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
  pInfo->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
  pInfo->hardwareVersion.major = 1;
  pInfo->firmwareVersion.major = 1;
  std::memset(pInfo->utcTime, ' ', sizeof pInfo->utcTime);
  return c.done(CKR_OK);
}

CK_RV C_GetInfo(CK_INFO_PTR pInfo) {
  Call c("C_GetInfo");
  c.arg(ptrText(pInfo));
  CK_RV rv;
  if (c.blocked(rv)) return c.done(rv);
  if (!pInfo) return c.done(CKR_ARGUMENTS_BAD);
  std::memset(pInfo, 0, sizeof *pInfo);
  pInfo->cryptokiVersion.major = 2;
  pInfo->cryptokiVersion.minor = 40;
  setPadded(pInfo->manufacturerID, sizeof pInfo->manufacturerID, "card-helpers tests");
  setPadded(pInfo->libraryDescription, sizeof pInfo->libraryDescription, "p11mock test module");
  pInfo->libraryVersion.major = 1;
  pInfo->libraryVersion.minor = 0;
  return c.done(CKR_OK);
}

// Every token signs with CKM_GOSTR3410 and offers no other mechanism.
CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo) {
  Call c("C_GetMechanismInfo");
  c.arg(decNum(slotID));
  c.arg(hexNum(type));
  c.arg(ptrText(pInfo));
  CK_RV rv;
  if (c.blocked(rv)) return c.done(rv);
  if (!pInfo) return c.done(CKR_ARGUMENTS_BAD);
  Slot* s = findSlot(slotID, nullptr);
  if (!s) return c.done(CKR_SLOT_ID_INVALID);
  if (!tokenPresent(*s)) return c.done(CKR_TOKEN_NOT_PRESENT);
  if (type != CKM_GOSTR3410) return c.done(CKR_MECHANISM_INVALID);
  pInfo->ulMinKeySize = 256;
  pInfo->ulMaxKeySize = 512;
  pInfo->flags = CKF_SIGN | CKF_VERIFY;
  return c.done(CKR_OK, hexNum(pInfo->flags));
}
