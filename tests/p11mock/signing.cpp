// Signing: C_SignInit and C_Sign, with real GOST R 34.10 signatures made by
// OpenSSL's gost engine for `key` lines and fake ones for `fake-key` lines.
#include "call_log.h"
#include "module_state.h"

#include <openssl/err.h>
#include <openssl/opensslv.h>
#include <openssl/pem.h>

#include <cstdio>

// OpenSSL 1.1 (the older distributions the programs are proved on) names
// these differently or needs the dynamic engine loader registered first.
#if OPENSSL_VERSION_NUMBER < 0x30000000L
#define EVP_PKEY_get_base_id EVP_PKEY_base_id
#define P11MOCK_LOAD_DYNAMIC_ENGINE() ENGINE_load_dynamic()
#else
#define P11MOCK_LOAD_DYNAMIC_ENGINE() ((void)0)
#endif

namespace p11mock {

void releaseOpenSsl() {
  for (auto& kv : g.keys) EVP_PKEY_free(kv.second);
  g.keys.clear();
  if (g.engine) {
    ENGINE_finish(g.engine);
    ENGINE_free(g.engine);
    g.engine = nullptr;
  }
}

namespace {

void complainOpenSsl(const std::string& msg) {
  complain(msg);
  ERR_print_errors_fp(stderr);
}

// The GOST engine is loaded on first use, so descriptions with fake keys only
// never need it.
bool loadEngine() {
  if (g.engine) return true;
  P11MOCK_LOAD_DYNAMIC_ENGINE();
  ENGINE* e = ENGINE_by_id("gost");
  if (!e) {
    complainOpenSsl("cannot load the OpenSSL gost engine (is OPENSSL_ENGINES right?)");
    return false;
  }
  if (!ENGINE_init(e)) {
    ENGINE_free(e);
    complainOpenSsl("cannot initialise the gost engine");
    return false;
  }
  if (!ENGINE_set_default(e, ENGINE_METHOD_ALL)) {
    ENGINE_finish(e);
    ENGINE_free(e);
    complainOpenSsl("cannot make the gost engine the default");
    return false;
  }
  g.engine = e;
  return true;
}

EVP_PKEY* gostKey(CK_OBJECT_HANDLE h, const Object& o) {
  auto it = g.keys.find(h);
  if (it != g.keys.end()) return it->second;
  if (!loadEngine()) return nullptr;
  BIO* bio = BIO_new_mem_buf(o.pem.data(), static_cast<int>(o.pem.size()));
  EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(bio);
  if (!key) {
    complainOpenSsl("cannot read the private key in " + o.source);
    return nullptr;
  }
  if (EVP_PKEY_get_base_id(key) != o.nid) {
    EVP_PKEY_free(key);
    complain(o.source + ": the gost engine reads another kind of key than the file names");
    return nullptr;
  }
  g.keys[h] = key;
  return key;
}

bool gostSign(CK_OBJECT_HANDLE h, const Object& o, const unsigned char* data, size_t len, Bytes& sig) {
  EVP_PKEY* key = gostKey(h, o);
  if (!key) return false;
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, g.engine);
  size_t sigLen = 0;
  bool ok = ctx && EVP_PKEY_sign_init(ctx) > 0 && EVP_PKEY_sign(ctx, nullptr, &sigLen, data, len) > 0;
  if (ok) {
    sig.resize(sigLen);
    ok = EVP_PKEY_sign(ctx, sig.data(), &sigLen, data, len) > 0;
    sig.resize(sigLen);
  }
  EVP_PKEY_CTX_free(ctx);
  if (!ok) complainOpenSsl("GOST signing failed");
  return ok;
}

// SHA-256 of the data, then the same 32 bytes inverted; that 64-byte pattern
// is cut or repeated to the key's signature length.
bool fakeSign(const Object& o, const unsigned char* data, size_t len, Bytes& sig) {
  static const unsigned char empty = 0;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLen = 0;
  if (!EVP_Digest(data ? data : &empty, len, digest, &digestLen, EVP_sha256(), nullptr) || digestLen != 32) {
    complainOpenSsl("SHA-256 failed");
    return false;
  }
  unsigned char pattern[64];
  for (int i = 0; i < 32; ++i) {
    pattern[i] = digest[i];
    pattern[32 + i] = static_cast<unsigned char>(~digest[i]);
  }
  sig.resize(o.sigLen);
  for (size_t i = 0; i < sig.size(); ++i) sig[i] = pattern[i % 64];
  return true;
}

}  // namespace
}  // namespace p11mock

using namespace p11mock;

CK_RV C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  Call c("C_SignInit");
  c.arg(decNum(hSession));
  c.arg(mechanismText(pMechanism));
  c.arg(decNum(hKey));
  CK_RV rv;
  Session* s = sessionForCall(c, hSession, rv);
  if (!s) return c.done(rv);
  if (!pMechanism) return c.done(CKR_ARGUMENTS_BAD);
  if (s->signing) return c.done(CKR_OPERATION_ACTIVE);
  if (pMechanism->mechanism != CKM_GOSTR3410) return c.done(CKR_MECHANISM_INVALID);
  if (pMechanism->pParameter || pMechanism->ulParameterLen) return c.done(CKR_MECHANISM_PARAM_INVALID);
  const Object* o = visibleObject(*s, hKey);
  if (!o) return c.done(CKR_KEY_HANDLE_INVALID);
  if (o->signer == Signer::None) return c.done(CKR_KEY_FUNCTION_NOT_PERMITTED);
  s->signing = true;
  s->signKey = hKey;
  return c.done(CKR_OK);
}

CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
             CK_ULONG_PTR pulSignatureLen) {
  Call c("C_Sign");
  c.arg(decNum(hSession));
  c.arg(pData ? hexBytes(pData, ulDataLen) : "NULL");
  c.arg(decNum(ulDataLen));
  c.arg(pSignature && pulSignatureLen ? "ptr/" + decNum(*pulSignatureLen) : ptrText(pSignature));
  c.arg(ptrText(pulSignatureLen));
  CK_RV rv;
  Session* s = sessionForCall(c, hSession, rv);
  if (!s) return c.done(rv);
  if (!s->signing) return c.done(CKR_OPERATION_NOT_INITIALIZED);
  // Every outcome but a length answer ends the operation.
  s->signing = false;
  if (!pulSignatureLen || (!pData && ulDataLen)) return c.done(CKR_ARGUMENTS_BAD);
  const Object& key = g.d.objects[s->signKey - 1];
  // The length comes first, so a 512-bit key's 128 bytes are announced even
  // to a caller that hands over a 32-byte digest and room for 64.
  const CK_ULONG needed = key.sigLen;
  if (!pSignature || *pulSignatureLen < needed) {
    s->signing = true;
    *pulSignatureLen = needed;
    return c.done(pSignature ? CKR_BUFFER_TOO_SMALL : CKR_OK, decNum(needed));
  }
  if (key.signer == Signer::Gost && ulDataLen != key.dataLen) return c.done(CKR_DATA_LEN_RANGE);
  Bytes sig;
  const bool ok = key.signer == Signer::Gost ? gostSign(s->signKey, key, pData, ulDataLen, sig)
                                             : fakeSign(key, pData, ulDataLen, sig);
  if (!ok || sig.size() > *pulSignatureLen) return c.done(CKR_FUNCTION_FAILED);
  if (!sig.empty()) std::memcpy(pSignature, sig.data(), sig.size());
  *pulSignatureLen = sig.size();
  return c.done(CKR_OK, decNum(sig.size()));
}
