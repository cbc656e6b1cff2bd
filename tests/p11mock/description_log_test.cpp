// Description files, scripted failures and the call log.
#include "test_support.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <random>

namespace {

class DescriptionAndLog : public MockTest {};

TEST_F(DescriptionAndLog, ScriptedFailures) {
  describe("fail C_Initialize 0x6 1\n"
           "slot 1\n"
           "  cert-empty\n"
           "fail C_Login 0xa4 2\n"
           "fail C_FindObjects 48\n");
  CK_ULONG n = 0;
  EXPECT_EQ(p_.C_Initialize(nullptr), 0x6u);
  EXPECT_EQ(p_.C_GetSlotList(CK_TRUE, nullptr, &n), CKR_CRYPTOKI_NOT_INITIALIZED);
  ASSERT_EQ(p_.C_Initialize(nullptr), CKR_OK);

  for (int cycle = 0; cycle < 2; ++cycle) {
    const CK_SESSION_HANDLE s = open(1);
    unsigned char pin[] = "1234";
    EXPECT_EQ(p_.C_Login(s, CKU_USER, pin, 4), CKR_OK);
    ASSERT_EQ(p_.C_Logout(s), CKR_OK);
    EXPECT_EQ(p_.C_Login(s, CKU_USER, pin, 4), 0xa4u) << "cycle " << cycle;
    EXPECT_EQ(p_.C_Logout(s), CKR_USER_NOT_LOGGED_IN) << "a scripted failure does nothing";
    EXPECT_EQ(p_.C_Login(s, CKU_USER, pin, 4), CKR_OK);

    ASSERT_EQ(p_.C_FindObjectsInit(s, nullptr, 0), CKR_OK);
    CK_OBJECT_HANDLE h = 77;
    n = 77;
    EXPECT_EQ(p_.C_FindObjects(s, &h, 1, &n), 0x30u);
    EXPECT_EQ(p_.C_FindObjects(s, &h, 1, &n), 0x30u);
    EXPECT_EQ(n, 77u);
    EXPECT_EQ(h, 77u);
    // Counting starts afresh after C_Finalize: the same script plays again.
    ASSERT_EQ(p_.C_Finalize(nullptr), CKR_OK);
    if (cycle == 0) {
      EXPECT_EQ(p_.C_Initialize(nullptr), 0x6u);
      ASSERT_EQ(p_.C_Initialize(nullptr), CKR_OK);
    }
  }
}

TEST_F(DescriptionAndLog, CallLogOfAShortSession) {
  const std::string log = scratch() + "/short-session.log";
  std::remove(log.c_str());
  describe("slot 5\n"
           "  description Log Reader\n"
           "  manufacturer Log \"Maker\"\n"
           "  cert-empty\n"
           "  fake-key siglen 8\n");
  setenv("TEST_MODULE_LOG", log.c_str(), 1);

  auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib_, "C_GetFunctionList"));
  CK_FUNCTION_LIST* f = nullptr;
  ASSERT_EQ(getList(&f), CKR_OK);
  EXPECT_EQ(p_.C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
  ASSERT_EQ(p_.C_Initialize(nullptr), CKR_OK);
  CK_ULONG n = 0;
  ASSERT_EQ(p_.C_GetSlotList(CK_TRUE, nullptr, &n), CKR_OK);
  CK_SLOT_ID slot = 0;
  ASSERT_EQ(p_.C_GetSlotList(CK_TRUE, &slot, &n), CKR_OK);
  CK_SLOT_INFO info;
  ASSERT_EQ(p_.C_GetSlotInfo(slot, &info), CKR_OK);
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(p_.C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s), CKR_OK);
  CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
  CK_ATTRIBUTE t = {CKA_CLASS, &cls, sizeof cls};
  ASSERT_EQ(p_.C_FindObjectsInit(s, &t, 1), CKR_OK);
  CK_OBJECT_HANDLE h = 0;
  ASSERT_EQ(p_.C_FindObjects(s, &h, 1, &n), CKR_OK);
  CK_OBJECT_CLASS got = 0;
  CK_ATTRIBUTE q[2] = {{CKA_CLASS, &got, sizeof got}, {CKA_VALUE, nullptr, 0}};
  ASSERT_EQ(p_.C_GetAttributeValue(s, h, q, 2), CKR_OK);
  ASSERT_EQ(p_.C_FindObjects(s, &h, 1, &n), CKR_OK);
  ASSERT_EQ(p_.C_FindObjectsFinal(s), CKR_OK);
  unsigned char wrong[] = "12\"4";
  EXPECT_EQ(p_.C_Login(s, CKU_USER, wrong, 4), CKR_PIN_INCORRECT);
  unsigned char pin[] = "1234";
  ASSERT_EQ(p_.C_Login(s, CKU_USER, pin, 4), CKR_OK);
  CK_MECHANISM mech = {CKM_GOSTR3410, nullptr, 0};
  ASSERT_EQ(p_.C_SignInit(s, &mech, 2), CKR_OK);
  unsigned char data[] = {0xde, 0xad, 0x00, 0x01};
  unsigned char sig[4];
  CK_ULONG sigLen = sizeof sig;
  EXPECT_EQ(p_.C_Sign(s, data, sizeof data, sig, &sigLen), CKR_BUFFER_TOO_SMALL);
  // What the module does not offer, by an exported name and through the list.
  EXPECT_EQ(p_.C_DestroyObject(s, 1), CKR_FUNCTION_NOT_SUPPORTED);
  EXPECT_EQ(f->C_DigestInit(s, &mech), CKR_FUNCTION_NOT_SUPPORTED);
  p_.C_Logout(s);
  p_.C_CloseSession(s);
  p_.C_Finalize(nullptr);

  EXPECT_EQ(readText(log),
            "C_GetFunctionList(ptr) = 0x0\n"
            "C_Finalize(NULL) = 0x190\n"
            "C_Initialize(NULL) = 0x0\n"
            "C_GetSlotList(1, NULL, ptr) = 0x0 -> 1\n"
            "C_GetSlotList(1, ptr/1, ptr) = 0x0 -> 1 [5]\n"
            "C_GetSlotInfo(5, ptr) = 0x0 -> \"Log Reader\" \"Log \\x22Maker\\x22\" 0x7\n"
            "C_OpenSession(5, 0x6, NULL, NULL, ptr) = 0x0 -> 1\n"
            "C_FindObjectsInit(1, {0x0=0x1}, 1) = 0x0\n"
            "C_FindObjects(1, ptr, 1, ptr) = 0x0 -> 1 [1]\n"
            "C_GetAttributeValue(1, 1, {0x0:ptr/ulong, 0x11:NULL}, 2) = 0x0 -> {0x0=0x1, 0x11:len=0}\n"
            "C_FindObjects(1, ptr, 1, ptr) = 0x0 -> 0 []\n"
            "C_FindObjectsFinal(1) = 0x0\n"
            "C_Login(1, 1, \"12\\x224\", 4) = 0xa0\n"
            "C_Login(1, 1, \"1234\", 4) = 0x0\n"
            "C_SignInit(1, {0x1201, NULL, 0}, 2) = 0x0\n"
            "C_Sign(1, <dead0001>, 4, ptr/4, ptr) = 0x150 -> 8\n"
            "C_DestroyObject(...) = 0x54\n"
            "C_DigestInit(...) = 0x54\n"
            "C_Logout(1) = 0x0\n"
            "C_CloseSession(1) = 0x0\n"
            "C_Finalize(NULL) = 0x0\n");
}

TEST_F(DescriptionAndLog, BadDescriptionsFailInitialize) {
  const char* const bad[] = {
      "description before any slot\n",
      "slot\n",
      "slot x1\n",
      "slot -1\n",
      "slot 99999999999999999999999\n",
      "slot 1\nslot 1\n",
      "slot 1\n  colour blue\n",
      "slot 1\n  description bad \\q escape\n",
      "slot 1\n  description cut \\x4\n",
      "slot 1\n  flags\n",
      "slot 1\n  flags 0xZZ\n",
      "slot 1\n  no-token\n  token-appears\n",
      "slot 1\n  read-only yes\n",
      "slot 1\n  cert /nonexistent.der\n",
      "slot 1\n  cert\n",
      "slot 1\n  object\n",
      "slot 1\n  object 1 abc\n",
      "slot 1\n  object 1 zz\n",
      "slot 1\n  key /nonexistent.pem\n",
      "slot 1\n  key k.pem public\n",
      "slot 1\n  key /dev/null\n",
      "slot 1\n  fake-key siglen\n",
      "slot 1\n  fake-key siglen 70000\n",
      "slot 1\n  fake-key public\n",
      "fail C_Nothing 0x5\n",
      "fail C_Login\n",
      "fail C_Login 0x5 0\n",
      "fail C_Login 0x5 1 2\n",
      "find-forever now\n",
      "exit C_Login\n",
      "exit C_Login 256\n",
      "crash C_Nothing\n",
      "claim-slots many\n",
      "chatter\n",
      "check-pin-wiped now\n",
      "slot 1\n  cert-zeros 16777217\n",
  };
  for (const char* text : bad) {
    describe(text);
    EXPECT_EQ(p_.C_Initialize(nullptr), CKR_GENERAL_ERROR) << text;
    CK_ULONG n;
    EXPECT_EQ(p_.C_GetSlotList(CK_FALSE, nullptr, &n), CKR_CRYPTOKI_NOT_INITIALIZED) << text;
  }
  // Relative file names are taken from the description's folder.
  const std::string conf = describe("slot 1\n  cert rel.der\n");
  writeText(conf.substr(0, conf.rfind('/')) + "/rel.der", "abc");
  ASSERT_EQ(p_.C_Initialize(nullptr), CKR_OK);
  const CK_SESSION_HANDLE s = open(1);
  EXPECT_EQ(value(s, 1), (Bytes{'a', 'b', 'c'}));
}

// Random damage to a valid description must never crash the module: either
// C_Initialize refuses it or the module answers calls on what it understood.
TEST_F(DescriptionAndLog, DamagedDescriptionsAreSafe) {
  const std::string base =
      "slot 1\n  description Reader \\x41\n  manufacturer M\n  pin 12\\x0034\n  flags 0x7\n"
      "  cert " + fixture("cert2.der") + "\n  object 3 00ff\n  fake-key siglen 70\n"
      "slot 2\n  token-appears\n  read-only\n  cert-empty\nfail C_Sign 0x5 3\n";
  std::mt19937 rng(12345);
  const std::string alphabet = "0123456789abcdefx\\ \n#-";
  for (int round = 0; round < 300; ++round) {
    std::string text = base;
    const int edits = 1 + static_cast<int>(rng() % 6);
    for (int k = 0; k < edits; ++k) {
      size_t at = rng() % text.size();
      switch (rng() % 4) {
        case 0: text[at] = alphabet[rng() % alphabet.size()]; break;
        case 1: text.erase(at, 1 + rng() % 8); break;
        case 2: text.insert(at, std::string(1 + rng() % 200, alphabet[rng() % alphabet.size()])); break;
        default: text[at] = static_cast<char>(rng() % 256); break;
      }
      if (text.empty()) text = "\n";
    }
    describe(text);
    const CK_RV rv = p_.C_Initialize(nullptr);
    ASSERT_TRUE(rv == CKR_OK || rv == CKR_GENERAL_ERROR) << text;
    if (rv != CKR_OK) continue;
    CK_SLOT_ID ids[8];
    CK_ULONG n = 8;
    for (int pass = 0; pass < 2; ++pass) {
      n = 8;
      CK_RV r = p_.C_GetSlotList(CK_TRUE, ids, &n);
      ASSERT_TRUE(r == CKR_OK || r == CKR_BUFFER_TOO_SMALL);
    }
    for (CK_ULONG i = 0; i < n && i < 8; ++i) {
      CK_SLOT_INFO info;
      EXPECT_EQ(p_.C_GetSlotInfo(ids[i], &info), CKR_OK);
      CK_SESSION_HANDLE s = 0;
      if (p_.C_OpenSession(ids[i], CKF_SERIAL_SESSION, nullptr, nullptr, &s) != CKR_OK) continue;
      unsigned char pin[] = {'1', '2', 0, '3', '4'};
      p_.C_Login(s, CKU_USER, pin, sizeof pin);
      for (CK_OBJECT_HANDLE h : search(s, nullptr, 0, 2)) {
        CK_ATTRIBUTE v = {CKA_VALUE, nullptr, 0};
        if (p_.C_GetAttributeValue(s, h, &v, 1) == CKR_OK) value(s, h);
        Bytes sig;
        sign(s, h, digest32(), sig, 128);
      }
    }
    ASSERT_EQ(p_.C_Finalize(nullptr), CKR_OK);
  }
}

}  // namespace
