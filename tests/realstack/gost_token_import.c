// Puts a GOST R 34.10-2001 key pair and its certificate on the first initialised
// token of a PKCS#11 module with C_CreateObject, as a token holder's software
// would: the set-up of the tests against a real GOST module. Built for the ABI of
// the tree, so that it loads that ABI's module.
//
//   gost-token-import MODULE PIN CERT.der PRIVATE.bin PUBLIC.bin
//
// PRIVATE.bin holds d, 32 bytes big-endian; PUBLIC.bin the 64-byte point as a
// certificate carries it (x then y, each little-endian). The key belongs to
// parameter set A with the CryptoPro hash parameters, the set such modules sign with.
#include <p11-kit/pkcs11.h>

#include <openssl/x509.h>

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kMaxFile = 65536 };

typedef struct {
  unsigned char data[kMaxFile];
  size_t len;
} Blob;

static int readBlob(const char* path, Blob* b) {
  FILE* f = fopen(path, "rb");
  if (!f) {
    fprintf(stderr, "cannot read %s\n", path);
    return 0;
  }
  b->len = fread(b->data, 1, sizeof b->data, f);
  const int whole = fgetc(f) == EOF && !ferror(f);
  fclose(f);
  if (!whole) fprintf(stderr, "%s: unreadable or larger than %d bytes\n", path, kMaxFile);
  return whole;
}

static int failed(const char* call, CK_RV rv) {
  fprintf(stderr, "%s failed: 0x%lx\n", call, (unsigned long)rv);
  return 1;
}

// The first slot whose token is initialised (SoftHSM2 also lists a free one).
static int initialisedSlot(CK_FUNCTION_LIST* f, CK_SLOT_ID* slot) {
  CK_SLOT_ID ids[16];
  CK_ULONG n = sizeof ids / sizeof ids[0];
  CK_RV rv = f->C_GetSlotList(CK_TRUE, ids, &n);
  if (rv != CKR_OK) return failed("C_GetSlotList", rv);
  for (CK_ULONG i = 0; i < n; ++i) {
    CK_TOKEN_INFO info;
    if (f->C_GetTokenInfo(ids[i], &info) == CKR_OK && (info.flags & CKF_TOKEN_INITIALIZED)) {
      *slot = ids[i];
      return 0;
    }
  }
  fprintf(stderr, "no initialised token\n");
  return 1;
}

static int createObjects(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, const Blob* cert, const Blob* subject,
                         const Blob* d, const Blob* point) {
  static CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
  static CK_OBJECT_CLASS certClass = CKO_CERTIFICATE, privClass = CKO_PRIVATE_KEY, pubClass = CKO_PUBLIC_KEY;
  static CK_CERTIFICATE_TYPE x509 = CKC_X_509;
  static CK_KEY_TYPE gost = CKK_GOSTR3410;
  static unsigned char id[] = {0x01};
  // id-GostR3410-2001-CryptoPro-A-ParamSet and id-GostR3411-94-CryptoProParamSet, DER.
  static unsigned char curve[] = {0x06, 0x07, 0x2a, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};
  static unsigned char hash[] = {0x06, 0x07, 0x2a, 0x85, 0x03, 0x02, 0x02, 0x1e, 0x01};
  CK_ATTRIBUTE certTemplate[] = {
      {CKA_CLASS, &certClass, sizeof certClass},
      {CKA_CERTIFICATE_TYPE, &x509, sizeof x509},
      {CKA_TOKEN, &yes, sizeof yes},
      {CKA_PRIVATE, &no, sizeof no},
      {CKA_ID, id, sizeof id},
      {CKA_SUBJECT, (void*)subject->data, subject->len},
      {CKA_VALUE, (void*)cert->data, cert->len},
  };
  CK_ATTRIBUTE privTemplate[] = {
      {CKA_CLASS, &privClass, sizeof privClass},
      {CKA_KEY_TYPE, &gost, sizeof gost},
      {CKA_TOKEN, &yes, sizeof yes},
      {CKA_PRIVATE, &yes, sizeof yes},
      {CKA_SENSITIVE, &yes, sizeof yes},
      {CKA_SIGN, &yes, sizeof yes},
      {CKA_ID, id, sizeof id},
      {CKA_GOSTR3410_PARAMS, curve, sizeof curve},
      {CKA_GOSTR3411_PARAMS, hash, sizeof hash},
      {CKA_VALUE, (void*)d->data, d->len},
  };
  CK_ATTRIBUTE pubTemplate[] = {
      {CKA_CLASS, &pubClass, sizeof pubClass},
      {CKA_KEY_TYPE, &gost, sizeof gost},
      {CKA_TOKEN, &yes, sizeof yes},
      {CKA_PRIVATE, &no, sizeof no},
      {CKA_VERIFY, &yes, sizeof yes},
      {CKA_ID, id, sizeof id},
      {CKA_GOSTR3410_PARAMS, curve, sizeof curve},
      {CKA_GOSTR3411_PARAMS, hash, sizeof hash},
      {CKA_VALUE, (void*)point->data, point->len},
  };
  CK_OBJECT_HANDLE h;
  CK_RV rv = f->C_CreateObject(s, certTemplate, sizeof certTemplate / sizeof certTemplate[0], &h);
  if (rv != CKR_OK) return failed("C_CreateObject (certificate)", rv);
  rv = f->C_CreateObject(s, privTemplate, sizeof privTemplate / sizeof privTemplate[0], &h);
  if (rv != CKR_OK) return failed("C_CreateObject (private key)", rv);
  rv = f->C_CreateObject(s, pubTemplate, sizeof pubTemplate / sizeof pubTemplate[0], &h);
  if (rv != CKR_OK) return failed("C_CreateObject (public key)", rv);
  return 0;
}

// The certificate's subject name, DER, for CKA_SUBJECT.
static int subjectOf(const Blob* cert, Blob* subject) {
  const unsigned char* p = cert->data;
  X509* x = d2i_X509(NULL, &p, (long)cert->len);
  X509_NAME* name = x ? X509_get_subject_name(x) : NULL;
  const int len = name ? i2d_X509_NAME(name, NULL) : -1;
  unsigned char* out = subject->data;
  const int ok = len > 0 && (size_t)len <= sizeof subject->data && i2d_X509_NAME(name, &out) == len;
  subject->len = ok ? (size_t)len : 0;
  X509_free(x);
  if (!ok) fprintf(stderr, "cannot read the certificate's subject\n");
  return ok;
}

int main(int argc, char** argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: %s MODULE PIN CERT.der PRIVATE.bin PUBLIC.bin\n", argv[0]);
    return 2;
  }
  static Blob cert, subject, d, point;
  if (!readBlob(argv[3], &cert) || !readBlob(argv[4], &d) || !readBlob(argv[5], &point) ||
      !subjectOf(&cert, &subject))
    return 1;
  if (d.len != 32 || point.len != 64) {
    fprintf(stderr, "need d of 32 bytes and a point of 64 bytes\n");
    return 1;
  }
  void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  CK_C_GetFunctionList getList = (CK_C_GetFunctionList)dlsym(lib, "C_GetFunctionList");
  CK_FUNCTION_LIST* f = NULL;
  if (!getList || getList(&f) != CKR_OK || !f) {
    fprintf(stderr, "%s: no function list\n", argv[1]);
    return 1;
  }
  CK_RV rv = f->C_Initialize(NULL);
  if (rv != CKR_OK) return failed("C_Initialize", rv);
  CK_SLOT_ID slot = 0;
  CK_SESSION_HANDLE s = 0;
  int status = initialisedSlot(f, &slot);
  if (status == 0 && (rv = f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, NULL, NULL, &s)) != CKR_OK)
    status = failed("C_OpenSession", rv);
  if (status == 0 && (rv = f->C_Login(s, CKU_USER, (CK_UTF8CHAR_PTR)argv[2], strlen(argv[2]))) != CKR_OK)
    status = failed("C_Login", rv);
  if (status == 0) status = createObjects(f, s, &cert, &subject, &d, &point);
  if (s) f->C_CloseSession(s);
  f->C_Finalize(NULL);
  return status;
}
