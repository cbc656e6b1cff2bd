// Fake signatures, and real GOST signatures verified with OpenSSL against
// their certificates.
#include "test_support.h"

#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdio>

namespace {

class Signing : public MockTest {};

Bytes fakePattern(const Bytes& data, size_t len) {
  unsigned char d[32];
  unsigned int dl = 0;
  EXPECT_EQ(EVP_Digest(data.data(), data.size(), d, &dl, EVP_sha256(), nullptr), 1);
  Bytes out(len);
  for (size_t i = 0; i < len; ++i) {
    size_t k = i % 64;
    out[i] = k < 32 ? d[k] : static_cast<unsigned char>(~d[k - 32]);
  }
  return out;
}

TEST_F(Signing, FakeSignatures) {
  init("slot 1\n  fake-key\n  fake-key siglen 20\n  fake-key no-public siglen 100\n  cert-empty\n");
  const CK_SESSION_HANDLE s = open(1);
  unsigned char pin[] = "1234";
  ASSERT_EQ(p_.C_Login(s, CKU_USER, pin, 4), CKR_OK);
  const Bytes d = digest32();
  Bytes sig;

  ASSERT_EQ(sign(s, 1, d, sig), CKR_OK);
  EXPECT_EQ(sig, fakePattern(d, 64));
  Bytes odd = {1, 2, 3};  // any length is accepted
  ASSERT_EQ(sign(s, 1, odd, sig), CKR_OK);
  EXPECT_EQ(sig, fakePattern(odd, 64));
  ASSERT_EQ(sign(s, 3, d, sig), CKR_OK);
  EXPECT_EQ(sig, fakePattern(d, 20));

  // 100 bytes do not fit into 64: the caller learns the length, the operation
  // stays active and a larger buffer then works.
  EXPECT_EQ(sign(s, 5, d, sig, 64), CKR_BUFFER_TOO_SMALL);
  CK_ULONG len = 0;
  ASSERT_EQ(p_.C_Sign(s, const_cast<unsigned char*>(d.data()), d.size(), nullptr, &len), CKR_OK);
  EXPECT_EQ(len, 100u);
  sig.assign(100, 0);
  ASSERT_EQ(p_.C_Sign(s, const_cast<unsigned char*>(d.data()), d.size(), sig.data(), &len), CKR_OK);
  EXPECT_EQ(len, 100u);
  EXPECT_EQ(sig, fakePattern(d, 100));
  EXPECT_EQ(p_.C_Sign(s, const_cast<unsigned char*>(d.data()), d.size(), sig.data(), &len),
            CKR_OPERATION_NOT_INITIALIZED);

  CK_MECHANISM other = {CKM_RSA_PKCS, nullptr, 0};
  EXPECT_EQ(p_.C_SignInit(s, &other, 1), CKR_MECHANISM_INVALID);
  EXPECT_EQ(sign(s, 2, d, sig), CKR_KEY_FUNCTION_NOT_PERMITTED);
  EXPECT_EQ(sign(s, 6, d, sig), CKR_KEY_FUNCTION_NOT_PERMITTED);
  EXPECT_EQ(sign(s, 42, d, sig), CKR_KEY_HANDLE_INVALID);
  ASSERT_EQ(p_.C_Logout(s), CKR_OK);
  EXPECT_EQ(sign(s, 1, d, sig), CKR_KEY_HANDLE_INVALID);
}

// Loads the gost engine for the verifying side, independently of the module.
ENGINE* gostEngine() {
  static ENGINE* e = [] {
#if OPENSSL_VERSION_NUMBER < 0x30000000L
    ENGINE_load_dynamic();  // OpenSSL 1.1 finds engines by id only through it
#endif
    ENGINE* eng = ENGINE_by_id("gost");
    if (eng && ENGINE_init(eng) && ENGINE_set_default(eng, ENGINE_METHOD_ALL)) return eng;
    ERR_print_errors_fp(stderr);
    return static_cast<ENGINE*>(nullptr);
  }();
  return e;
}

// 1 when OpenSSL verifies the raw GOST signature of data with the certificate's key.
int verifyUnder(const Bytes& der, const Bytes& signature, const Bytes& data) {
  ENGINE* e = gostEngine();
  const unsigned char* p = der.data();
  X509* cert = e ? d2i_X509(nullptr, &p, static_cast<long>(der.size())) : nullptr;
  EVP_PKEY* pub = cert ? X509_get0_pubkey(cert) : nullptr;
  EVP_PKEY_CTX* ctx = pub ? EVP_PKEY_CTX_new(pub, e) : nullptr;
  const int r = ctx && EVP_PKEY_verify_init(ctx) > 0
                    ? EVP_PKEY_verify(ctx, signature.data(), signature.size(), data.data(), data.size())
                    : -1;
  EVP_PKEY_CTX_free(ctx);
  X509_free(cert);
  return r;
}

CK_ULONG keyType(const EntryPoints& p, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key) {
  CK_ULONG type = 0;
  CK_ATTRIBUTE t = {CKA_KEY_TYPE, &type, sizeof type};
  EXPECT_EQ(p.C_GetAttributeValue(s, key, &t, 1), CKR_OK);
  return type;
}

TEST_F(Signing, RealGostSignaturesVerifyAgainstTheirCertificates) {
  // The demo token, as tests of the programs use it: a GOST R 34.10-2012 pair
  // with 256-bit keys first, then a GOST R 34.10-2001 pair.
  setenv("TEST_MODULE_CONF", fixture("demo-token.conf").c_str(), 1);
  ASSERT_EQ(p_.C_Initialize(nullptr), CKR_OK);
  const CK_SESSION_HANDLE s = open(1);
  using H = std::vector<CK_OBJECT_HANDLE>;
  ASSERT_EQ(searchClass(s, CKO_CERTIFICATE), (H{1, 4}));
  EXPECT_EQ(value(s, 1), readBytes(fixture("demo-cert.der")));
  EXPECT_EQ(value(s, 4), readBytes(fixture("demo-2001-cert.der")));

  unsigned char pin[] = "1234";
  ASSERT_EQ(p_.C_Login(s, CKU_USER, pin, 4), CKR_OK);
  ASSERT_EQ(searchClass(s, CKO_PRIVATE_KEY), (H{2, 5}));
  ASSERT_EQ(searchClass(s, CKO_PUBLIC_KEY), (H{3, 6}));
  for (CK_OBJECT_HANDLE key : {2, 3, 5, 6}) EXPECT_EQ(keyType(p_, s, key), CKK_GOSTR3410) << key;

  ASSERT_NE(gostEngine(), nullptr) << "gost engine (OPENSSL_ENGINES)";
  const Bytes d = digest32();
  for (CK_OBJECT_HANDLE key : {2, 5}) {
    SCOPED_TRACE(key);
    const Bytes der = value(s, key - 1);
    Bytes sig;
    ASSERT_EQ(sign(s, key, d, sig), CKR_OK) << "is the gost engine reachable (OPENSSL_ENGINES, GOST_ENGINES_DIR)?";
    ASSERT_EQ(sig.size(), 64u);
    EXPECT_EQ(verifyUnder(der, sig, d), 1);
    Bytes bad = sig;
    bad[10] ^= 0x01;
    EXPECT_NE(verifyUnder(der, bad, d), 1);
    Bytes other = d;
    other[0] ^= 0x80;
    EXPECT_NE(verifyUnder(der, sig, other), 1);
    Bytes shortDigest(d.begin(), d.end() - 1);
    EXPECT_EQ(sign(s, key, shortDigest, sig), CKR_DATA_LEN_RANGE);
  }
}

TEST_F(Signing, A512BitKeyAnnouncesItsLongerSignatureFirst) {
  init("slot 1\n  cert " + fixture("gost512-cert.der") + "\n  key " + fixture("gost512-key.pem") + "\n");
  const CK_SESSION_HANDLE s = open(1);
  unsigned char pin[] = "1234";
  ASSERT_EQ(p_.C_Login(s, CKU_USER, pin, 4), CKR_OK);
  EXPECT_EQ(keyType(p_, s, 2), 0xD4321003UL);  // TC26's CKK_GOSTR3410_512
  EXPECT_EQ(keyType(p_, s, 3), 0xD4321003UL);

  // A 32-byte digest and room for 64, as the bridge signs: the length answer.
  Bytes sig;
  EXPECT_EQ(sign(s, 2, digest32(), sig, 64), CKR_BUFFER_TOO_SMALL);
  CK_ULONG len = 64;
  Bytes room(64);
  Bytes d = digest32();
  ASSERT_EQ(p_.C_Sign(s, d.data(), d.size(), room.data(), &len), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 128u);
  // With room, it signs a 64-byte hash only.
  room.assign(128, 0);
  ASSERT_EQ(p_.C_Sign(s, d.data(), d.size(), room.data(), &len), CKR_DATA_LEN_RANGE);
  Bytes d64 = d;
  d64.insert(d64.end(), d.begin(), d.end());
  ASSERT_EQ(sign(s, 2, d64, sig, 128), CKR_OK);
  ASSERT_EQ(sig.size(), 128u);
  EXPECT_EQ(verifyUnder(value(s, 1), sig, d64), 1);
  d64[63] ^= 0x01;
  EXPECT_NE(verifyUnder(value(s, 1), sig, d64), 1);
}

}  // namespace
