// Searches, attribute values, and the private objects login shows.
#include "test_support.h"

namespace {

class SearchAndLogin : public MockTest {};

TEST_F(SearchAndLogin, SearchOrderClassFilterAndValues) {
  init("slot 1\n"
       "  cert " + fixture("cert1.der") + "\n"
       "  object 0x5 0a0B0c\n"
       "  cert " + fixture("cert2.der") + "\n"
       "  cert-empty\n"
       "  fake-key\n"
       "  cert " + fixture("cert3.der") + "\n"
       "slot 2\n"
       "  object 1 ff\n");
  const CK_SESSION_HANDLE s = open(1);
  using H = std::vector<CK_OBJECT_HANDLE>;

  // Handles follow the file order; the private key (5) is hidden without login.
  EXPECT_EQ(search(s, nullptr, 0), (H{1, 2, 3, 4, 6, 7}));
  EXPECT_EQ(searchClass(s, CKO_CERTIFICATE), (H{1, 3, 4, 7}));
  CK_OBJECT_CLASS cert = CKO_CERTIFICATE;
  CK_ATTRIBUTE t = {CKA_CLASS, &cert, sizeof cert};
  EXPECT_EQ(search(s, &t, 1, 3), (H{1, 3, 4, 7}));
  // Several per call, up to the caller's maximum.
  ASSERT_EQ(p_.C_FindObjectsInit(s, &t, 1), CKR_OK);
  for (const H& want : {H{1, 3, 4}, H{7}, H{}}) {
    H got(3, 0);
    CK_ULONG count = 99;
    ASSERT_EQ(p_.C_FindObjects(s, got.data(), 3, &count), CKR_OK);
    got.resize(count);
    EXPECT_EQ(got, want);
  }
  ASSERT_EQ(p_.C_FindObjectsFinal(s), CKR_OK);
  EXPECT_EQ(searchClass(s, CKO_PUBLIC_KEY), (H{6}));
  EXPECT_EQ(searchClass(s, 5), (H{2}));
  EXPECT_EQ(searchClass(s, CKO_DATA), H{});

  EXPECT_EQ(value(s, 1), readBytes(fixture("cert1.der")));
  EXPECT_EQ(value(s, 7), readBytes(fixture("cert3.der")));
  EXPECT_EQ(value(s, 2), (Bytes{0x0a, 0x0b, 0x0c}));
  EXPECT_EQ(value(s, 4), Bytes{});

  CK_OBJECT_CLASS cls = 0;
  CK_ATTRIBUTE c = {CKA_CLASS, &cls, sizeof cls};
  ASSERT_EQ(p_.C_GetAttributeValue(s, 2, &c, 1), CKR_OK);
  EXPECT_EQ(cls, 5u);

  unsigned char small[10];
  CK_ATTRIBUTE v = {CKA_VALUE, small, sizeof small};
  EXPECT_EQ(p_.C_GetAttributeValue(s, 1, &v, 1), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(v.ulValueLen, CK_UNAVAILABLE_INFORMATION);
  CK_ATTRIBUTE pubValue = {CKA_VALUE, nullptr, 0};
  EXPECT_EQ(p_.C_GetAttributeValue(s, 6, &pubValue, 1), CKR_ATTRIBUTE_TYPE_INVALID);

  // Objects of another slot and hidden objects do not exist for this session.
  CK_ATTRIBUTE q = {CKA_VALUE, nullptr, 0};
  EXPECT_EQ(p_.C_GetAttributeValue(s, 8, &q, 1), CKR_OBJECT_HANDLE_INVALID);
  EXPECT_EQ(p_.C_GetAttributeValue(s, 5, &q, 1), CKR_OBJECT_HANDLE_INVALID);
  EXPECT_EQ(p_.C_GetAttributeValue(s, 99, &q, 1), CKR_OBJECT_HANDLE_INVALID);

  CK_OBJECT_HANDLE h;
  CK_ULONG n;
  EXPECT_EQ(p_.C_FindObjects(s, &h, 1, &n), CKR_OPERATION_NOT_INITIALIZED);
  EXPECT_EQ(p_.C_FindObjectsFinal(s), CKR_OPERATION_NOT_INITIALIZED);
  ASSERT_EQ(p_.C_FindObjectsInit(s, &t, 1), CKR_OK);
  EXPECT_EQ(p_.C_FindObjectsInit(s, &t, 1), CKR_OPERATION_ACTIVE);
  ASSERT_EQ(p_.C_FindObjectsFinal(s), CKR_OK);
}

TEST_F(SearchAndLogin, PrivateKeyHiddenUntilLogin) {
  init("slot 1\n  pin s3cr\\x00t\n  fake-key\n  fake-key no-public\n");
  const CK_SESSION_HANDLE s = open(1);
  using H = std::vector<CK_OBJECT_HANDLE>;
  EXPECT_EQ(searchClass(s, CKO_PRIVATE_KEY), H{});
  EXPECT_EQ(searchClass(s, CKO_PUBLIC_KEY), (H{2}));

  unsigned char wrong[] = "1234";
  EXPECT_EQ(p_.C_Login(s, CKU_USER, wrong, 4), CKR_PIN_INCORRECT);
  unsigned char pin[] = {'s', '3', 'c', 'r', 0, 't'};
  EXPECT_EQ(p_.C_Login(s, CKU_USER, pin, 5), CKR_PIN_INCORRECT);
  EXPECT_EQ(p_.C_Login(s, CKU_SO, pin, 6), CKR_USER_TYPE_INVALID);
  EXPECT_EQ(p_.C_Logout(s), CKR_USER_NOT_LOGGED_IN);
  ASSERT_EQ(p_.C_Login(s, CKU_USER, pin, 6), CKR_OK);
  EXPECT_EQ(p_.C_Login(s, CKU_USER, pin, 6), CKR_USER_ALREADY_LOGGED_IN);
  EXPECT_EQ(searchClass(s, CKO_PRIVATE_KEY), (H{1, 3}));

  CK_ATTRIBUTE v = {CKA_VALUE, nullptr, 0};
  EXPECT_EQ(p_.C_GetAttributeValue(s, 1, &v, 1), CKR_ATTRIBUTE_SENSITIVE);
  EXPECT_EQ(v.ulValueLen, CK_UNAVAILABLE_INFORMATION);

  // Login is per token: a second session sees the key, closing all ends it.
  const CK_SESSION_HANDLE s2 = open(1, CKF_SERIAL_SESSION);
  EXPECT_EQ(searchClass(s2, CKO_PRIVATE_KEY), (H{1, 3}));
  ASSERT_EQ(p_.C_Logout(s2), CKR_OK);
  EXPECT_EQ(searchClass(s, CKO_PRIVATE_KEY), H{});
  ASSERT_EQ(p_.C_Login(s, CKU_USER, pin, 6), CKR_OK);
  ASSERT_EQ(p_.C_CloseSession(s), CKR_OK);
  ASSERT_EQ(p_.C_CloseSession(s2), CKR_OK);
  const CK_SESSION_HANDLE s3 = open(1);
  EXPECT_EQ(searchClass(s3, CKO_PRIVATE_KEY), H{});
  EXPECT_EQ(p_.C_Logout(s3), CKR_USER_NOT_LOGGED_IN);
}

TEST_F(SearchAndLogin, FindForeverNeverEnds) {
  init("find-forever\nslot 1\n  cert-empty\n  object 1 00\n");
  const CK_SESSION_HANDLE s = open(1);
  CK_OBJECT_CLASS cert = CKO_CERTIFICATE;
  CK_ATTRIBUTE t = {CKA_CLASS, &cert, sizeof cert};
  ASSERT_EQ(p_.C_FindObjectsInit(s, &t, 1), CKR_OK);
  for (int i = 0; i < 50; ++i) {
    CK_OBJECT_HANDLE h[4] = {0};
    CK_ULONG n = 0;
    ASSERT_EQ(p_.C_FindObjects(s, h, 4, &n), CKR_OK);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(h[0], static_cast<CK_OBJECT_HANDLE>(1 + i % 2));
  }
}

}  // namespace
