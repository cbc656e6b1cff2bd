// Tests of the scriptable PKCS#11 test module, driven the way the programs drive
// a vendor module: dlopen, entry points bound by name with dlsym.
#include <p11-kit/pkcs11.h>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

const char* const kNames[] = {
    "C_Initialize",      "C_GetAttributeValue", "C_GetSlotList",      "C_GetSlotInfo",
    "C_OpenSession",     "C_FindObjectsInit",   "C_FindObjects",      "C_FindObjectsFinal",
    "C_DestroyObject",   "C_Logout",            "C_CloseSession",     "C_Finalize",
    "C_Login",           "C_SignInit",          "C_Sign",             "C_GenerateKeyPair",
};

std::string modulePath(const std::string& name) { return std::string(P11MOCK_DIR) + "/lib" + name + ".so"; }
std::string fixture(const std::string& name) { return std::string(P11MOCK_FIXTURES) + "/" + name; }

Bytes readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// Scratch folder shared by the whole run.
const std::string& scratch() {
  static std::string dir = [] {
    char tmpl[] = "/tmp/p11mock-test-XXXXXX";
    const char* d = mkdtemp(tmpl);
    return std::string(d ? d : "/tmp");
  }();
  return dir;
}

// The 16 entry points, bound by name like the programs do.
struct EntryPoints {
  CK_C_Initialize C_Initialize = nullptr;
  CK_C_GetAttributeValue C_GetAttributeValue = nullptr;
  CK_C_GetSlotList C_GetSlotList = nullptr;
  CK_C_GetSlotInfo C_GetSlotInfo = nullptr;
  CK_C_OpenSession C_OpenSession = nullptr;
  CK_C_FindObjectsInit C_FindObjectsInit = nullptr;
  CK_C_FindObjects C_FindObjects = nullptr;
  CK_C_FindObjectsFinal C_FindObjectsFinal = nullptr;
  CK_C_DestroyObject C_DestroyObject = nullptr;
  CK_C_Logout C_Logout = nullptr;
  CK_C_CloseSession C_CloseSession = nullptr;
  CK_C_Finalize C_Finalize = nullptr;
  CK_C_Login C_Login = nullptr;
  CK_C_SignInit C_SignInit = nullptr;
  CK_C_Sign C_Sign = nullptr;
  CK_C_GenerateKeyPair C_GenerateKeyPair = nullptr;
};

template <typename F>
void bind(void* lib, const char* name, F& fn) {
  fn = reinterpret_cast<F>(dlsym(lib, name));
}

class MockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("TEST_MODULE_LOG");
    lib_ = dlopen(modulePath("p11mock").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib_, nullptr) << dlerror();
    EntryPoints& e = p_;
    bind(lib_, "C_Initialize", e.C_Initialize);
    bind(lib_, "C_GetAttributeValue", e.C_GetAttributeValue);
    bind(lib_, "C_GetSlotList", e.C_GetSlotList);
    bind(lib_, "C_GetSlotInfo", e.C_GetSlotInfo);
    bind(lib_, "C_OpenSession", e.C_OpenSession);
    bind(lib_, "C_FindObjectsInit", e.C_FindObjectsInit);
    bind(lib_, "C_FindObjects", e.C_FindObjects);
    bind(lib_, "C_FindObjectsFinal", e.C_FindObjectsFinal);
    bind(lib_, "C_DestroyObject", e.C_DestroyObject);
    bind(lib_, "C_Logout", e.C_Logout);
    bind(lib_, "C_CloseSession", e.C_CloseSession);
    bind(lib_, "C_Finalize", e.C_Finalize);
    bind(lib_, "C_Login", e.C_Login);
    bind(lib_, "C_SignInit", e.C_SignInit);
    bind(lib_, "C_Sign", e.C_Sign);
    bind(lib_, "C_GenerateKeyPair", e.C_GenerateKeyPair);
    ASSERT_NE(p_.C_GenerateKeyPair, nullptr);
  }

  void TearDown() override {
    if (p_.C_Finalize) p_.C_Finalize(nullptr);
    unsetenv("TEST_MODULE_LOG");
    setenv("TEST_MODULE_CONF", fixture("demo-token.conf").c_str(), 1);
    if (lib_) dlclose(lib_);
  }

  // Writes a description into the scratch folder and points the module at it.
  std::string describe(const std::string& text) {
    const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string path = scratch() + "/" + t->test_suite_name() + "." + t->name() + ".conf";
    writeText(path, text);
    setenv("TEST_MODULE_CONF", path.c_str(), 1);
    return path;
  }

  void init(const std::string& text) {
    describe(text);
    ASSERT_EQ(p_.C_Initialize(nullptr), CKR_OK);
  }

  CK_SESSION_HANDLE open(CK_SLOT_ID slot, CK_FLAGS flags = CKF_SERIAL_SESSION | CKF_RW_SESSION) {
    CK_SESSION_HANDLE h = 0;
    EXPECT_EQ(p_.C_OpenSession(slot, flags, nullptr, nullptr, &h), CKR_OK);
    return h;
  }

  // All handles a search yields, asking for up to `step` per call.
  std::vector<CK_OBJECT_HANDLE> search(CK_SESSION_HANDLE s, CK_ATTRIBUTE* t, CK_ULONG n, CK_ULONG step = 1) {
    std::vector<CK_OBJECT_HANDLE> all;
    EXPECT_EQ(p_.C_FindObjectsInit(s, t, n), CKR_OK);
    for (int guard = 0; guard < 100; ++guard) {
      std::vector<CK_OBJECT_HANDLE> buf(step);
      CK_ULONG got = 99;
      EXPECT_EQ(p_.C_FindObjects(s, buf.data(), step, &got), CKR_OK);
      EXPECT_LE(got, step);
      if (got == 0 || got > step) break;
      all.insert(all.end(), buf.begin(), buf.begin() + static_cast<long>(got));
    }
    EXPECT_EQ(p_.C_FindObjectsFinal(s), CKR_OK);
    return all;
  }

  std::vector<CK_OBJECT_HANDLE> searchClass(CK_SESSION_HANDLE s, CK_OBJECT_CLASS cls) {
    CK_ATTRIBUTE t = {CKA_CLASS, &cls, sizeof cls};
    return search(s, &t, 1);
  }

  Bytes value(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o) {
    CK_ATTRIBUTE t = {CKA_VALUE, nullptr, 0};
    EXPECT_EQ(p_.C_GetAttributeValue(s, o, &t, 1), CKR_OK);
    Bytes v(t.ulValueLen);
    t.pValue = v.data();
    EXPECT_EQ(p_.C_GetAttributeValue(s, o, &t, 1), CKR_OK);
    EXPECT_EQ(t.ulValueLen, v.size());
    return v;
  }

  CK_RV sign(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key, const Bytes& data, Bytes& sig, CK_ULONG room = 64) {
    CK_MECHANISM mech = {CKM_GOSTR3410, nullptr, 0};
    CK_RV rv = p_.C_SignInit(s, &mech, key);
    if (rv != CKR_OK) return rv;
    sig.assign(room, 0);
    CK_ULONG len = room;
    rv = p_.C_Sign(s, const_cast<unsigned char*>(data.data()), data.size(), sig.data(), &len);
    sig.resize(rv == CKR_OK ? len : 0);
    return rv;
  }

  void* lib_ = nullptr;
  EntryPoints p_;
};

Bytes digest32() {
  Bytes d(32);
  for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<unsigned char>(i * 7 + 1);
  return d;
}

// ---------------------------------------------------------------------------

TEST_F(MockTest, LifecycleFollowsPkcs11) {
  describe("slot 1\n");
  CK_ULONG n = 0;
  EXPECT_EQ(p_.C_GetSlotList(CK_TRUE, nullptr, &n), CKR_CRYPTOKI_NOT_INITIALIZED);
  EXPECT_EQ(p_.C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
  ASSERT_EQ(p_.C_Initialize(nullptr), CKR_OK);
  EXPECT_EQ(p_.C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
  EXPECT_EQ(p_.C_CloseSession(42), CKR_SESSION_HANDLE_INVALID);
  EXPECT_EQ(p_.C_Logout(42), CKR_SESSION_HANDLE_INVALID);
  EXPECT_EQ(p_.C_Finalize(nullptr), CKR_OK);
  EXPECT_EQ(p_.C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);

  // A second cycle starts from scratch: session handles count from 1 again.
  ASSERT_EQ(p_.C_Initialize(nullptr), CKR_OK);
  EXPECT_EQ(open(1), 1u);
  EXPECT_EQ(open(1), 2u);
  ASSERT_EQ(p_.C_Finalize(nullptr), CKR_OK);
  ASSERT_EQ(p_.C_Initialize(nullptr), CKR_OK);
  EXPECT_EQ(open(1), 1u);
}

TEST_F(MockTest, NoDescriptionMeansNoSlots) {
  for (const char* conf : {"", "/nonexistent/p11mock.conf"}) {
    setenv("TEST_MODULE_CONF", conf, 1);
    ASSERT_EQ(p_.C_Initialize(nullptr), CKR_OK) << conf;
    CK_ULONG n = 5;
    EXPECT_EQ(p_.C_GetSlotList(CK_FALSE, nullptr, &n), CKR_OK);
    EXPECT_EQ(n, 0u);
    ASSERT_EQ(p_.C_Finalize(nullptr), CKR_OK);
  }
}

TEST_F(MockTest, SlotsTextsAndTokenPresence) {
  init(
      "# three readers\n"
      "slot 1\n"
      "  description Reader \\x41\\\\B\n"
      "  manufacturer Maker\n"
      "slot 7\n"
      "  no-token\n"
      "  description 0123456789012345678901234567890123456789012345678901234567890123\n"
      "  manufacturer 0123456789012345678901234567890123456789\n"
      "slot 3\n"
      "  token-appears\n"
      "  description zero\\x00byte\n"
      "slot 9\n"
      "  flags 0x0\n");

  // The token of slot 3 shows up between the count and the fill call.
  CK_ULONG n = 0;
  ASSERT_EQ(p_.C_GetSlotList(CK_TRUE, nullptr, &n), CKR_OK);
  EXPECT_EQ(n, 2u);
  CK_SLOT_ID ids[8] = {0};
  EXPECT_EQ(p_.C_GetSlotList(CK_TRUE, ids, &n), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(n, 3u);
  ASSERT_EQ(p_.C_GetSlotList(CK_TRUE, ids, &n), CKR_OK);
  ASSERT_EQ(n, 3u);
  EXPECT_EQ(ids[0], 1u);
  EXPECT_EQ(ids[1], 3u);
  EXPECT_EQ(ids[2], 9u);
  n = 8;
  ASSERT_EQ(p_.C_GetSlotList(CK_FALSE, ids, &n), CKR_OK);
  ASSERT_EQ(n, 4u);
  EXPECT_EQ(ids[1], 7u);

  CK_SLOT_INFO info;
  ASSERT_EQ(p_.C_GetSlotInfo(1, &info), CKR_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(info.slotDescription), 64),
            "Reader A\\B" + std::string(54, ' '));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(info.manufacturerID), 32), "Maker" + std::string(27, ' '));
  EXPECT_EQ(info.flags, CKF_TOKEN_PRESENT | CKF_REMOVABLE_DEVICE | CKF_HW_SLOT);

  ASSERT_EQ(p_.C_GetSlotInfo(7, &info), CKR_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(info.slotDescription), 64),
            "0123456789012345678901234567890123456789012345678901234567890123");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(info.manufacturerID), 32), "01234567890123456789012345678901");
  EXPECT_EQ(info.flags, CKF_REMOVABLE_DEVICE | CKF_HW_SLOT);

  ASSERT_EQ(p_.C_GetSlotInfo(3, &info), CKR_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(info.slotDescription), 10), std::string("zero\0byte ", 10));
  EXPECT_EQ(info.flags, 7u);
  ASSERT_EQ(p_.C_GetSlotInfo(9, &info), CKR_OK);
  EXPECT_EQ(info.flags, 0u);
  EXPECT_EQ(p_.C_GetSlotInfo(2, &info), CKR_SLOT_ID_INVALID);

  CK_SESSION_HANDLE h = 0;
  EXPECT_EQ(p_.C_OpenSession(7, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_TOKEN_NOT_PRESENT);
  EXPECT_EQ(p_.C_OpenSession(3, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_OK);
}

TEST_F(MockTest, ReadOnlyTokenRefusesReadWriteSessions) {
  init("slot 4\n  read-only\n  cert-empty\n");
  CK_SESSION_HANDLE h = 0;
  EXPECT_EQ(p_.C_OpenSession(4, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h),
            CKR_TOKEN_WRITE_PROTECTED);
  EXPECT_EQ(h, 0u);
  ASSERT_EQ(p_.C_OpenSession(4, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_OK);
  EXPECT_EQ(h, 1u);
  EXPECT_EQ(p_.C_DestroyObject(h, 1), CKR_SESSION_READ_ONLY);
}

TEST_F(MockTest, SearchOrderClassFilterAndValues) {
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

  ASSERT_EQ(p_.C_DestroyObject(s, 3), CKR_OK);
  EXPECT_EQ(searchClass(s, CKO_CERTIFICATE), (H{1, 4, 7}));
  EXPECT_EQ(p_.C_DestroyObject(s, 3), CKR_OBJECT_HANDLE_INVALID);
}

TEST_F(MockTest, PrivateKeyHiddenUntilLogin) {
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

TEST_F(MockTest, ScriptedFailures) {
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

TEST_F(MockTest, FindForeverNeverEnds) {
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

TEST_F(MockTest, FakeSignatures) {
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

TEST_F(MockTest, GeneratedKeyPairSignsLikeAFakeKey) {
  init("slot 1\n  cert-empty\n");
  const CK_SESSION_HANDLE ro = open(1, CKF_SERIAL_SESSION);
  const CK_SESSION_HANDLE s = open(1);
  CK_MECHANISM gen = {CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE pub = 0, priv = 0;
  EXPECT_EQ(p_.C_GenerateKeyPair(s, &gen, nullptr, 0, nullptr, 0, &pub, &priv), CKR_USER_NOT_LOGGED_IN);
  unsigned char pin[] = "1234";
  ASSERT_EQ(p_.C_Login(s, CKU_USER, pin, 4), CKR_OK);
  EXPECT_EQ(p_.C_GenerateKeyPair(ro, &gen, nullptr, 0, nullptr, 0, &pub, &priv), CKR_SESSION_READ_ONLY);
  ASSERT_EQ(p_.C_GenerateKeyPair(s, &gen, nullptr, 0, nullptr, 0, &pub, &priv), CKR_OK);
  EXPECT_EQ(priv, 2u);
  EXPECT_EQ(pub, 3u);
  Bytes sig;
  ASSERT_EQ(sign(s, priv, digest32(), sig), CKR_OK);
  EXPECT_EQ(sig, fakePattern(digest32(), 64));
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

TEST_F(MockTest, RealGostSignaturesVerifyAgainstTheirCertificates) {
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

TEST_F(MockTest, A512BitKeyAnnouncesItsLongerSignatureFirst) {
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

// ---------------------------------------------------------------------------
// Export variants

bool exports(void* lib, const char* name) { return dlsym(lib, name) != nullptr; }

void* functionFromList(CK_FUNCTION_LIST* f, const std::string& name) {
  // Only the 16 names matter here.
  if (name == "C_Initialize") return reinterpret_cast<void*>(f->C_Initialize);
  if (name == "C_GetAttributeValue") return reinterpret_cast<void*>(f->C_GetAttributeValue);
  if (name == "C_GetSlotList") return reinterpret_cast<void*>(f->C_GetSlotList);
  if (name == "C_GetSlotInfo") return reinterpret_cast<void*>(f->C_GetSlotInfo);
  if (name == "C_OpenSession") return reinterpret_cast<void*>(f->C_OpenSession);
  if (name == "C_FindObjectsInit") return reinterpret_cast<void*>(f->C_FindObjectsInit);
  if (name == "C_FindObjects") return reinterpret_cast<void*>(f->C_FindObjects);
  if (name == "C_FindObjectsFinal") return reinterpret_cast<void*>(f->C_FindObjectsFinal);
  if (name == "C_DestroyObject") return reinterpret_cast<void*>(f->C_DestroyObject);
  if (name == "C_Logout") return reinterpret_cast<void*>(f->C_Logout);
  if (name == "C_CloseSession") return reinterpret_cast<void*>(f->C_CloseSession);
  if (name == "C_Finalize") return reinterpret_cast<void*>(f->C_Finalize);
  if (name == "C_Login") return reinterpret_cast<void*>(f->C_Login);
  if (name == "C_SignInit") return reinterpret_cast<void*>(f->C_SignInit);
  if (name == "C_Sign") return reinterpret_cast<void*>(f->C_Sign);
  if (name == "C_GenerateKeyPair") return reinterpret_cast<void*>(f->C_GenerateKeyPair);
  return nullptr;
}

TEST(Variants, OmitVariantsLackExactlyOneName) {
  for (const char* omitted : kNames) {
    SCOPED_TRACE(omitted);
    void* lib = dlopen(modulePath(std::string("p11mock-omit-") + omitted).c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    for (const char* name : kNames) EXPECT_EQ(exports(lib, name), std::strcmp(name, omitted) != 0) << name;
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList"));
    ASSERT_NE(getList, nullptr);
    CK_FUNCTION_LIST* f = nullptr;
    ASSERT_EQ(getList(&f), CKR_OK);
    ASSERT_NE(f, nullptr);
    EXPECT_NE(functionFromList(f, omitted), nullptr);
    // The list's entry works even though the symbol is missing.
    unsetenv("TEST_MODULE_CONF");
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    CK_ULONG n = 9;
    EXPECT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &n), CKR_OK);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(f->C_Finalize(nullptr), CKR_OK);
    dlclose(lib);
  }
  setenv("TEST_MODULE_CONF", fixture("demo-token.conf").c_str(), 1);
}

TEST(Variants, FunctionListOnlyAndBare) {
  void* only = dlopen(modulePath("p11mock-fnlist-only").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(only, nullptr) << dlerror();
  EXPECT_TRUE(exports(only, "C_GetFunctionList"));
  for (const char* name : kNames) EXPECT_FALSE(exports(only, name)) << name;
  dlclose(only);

  void* bare = dlopen(modulePath("p11mock-bare").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(bare, nullptr) << dlerror();
  EXPECT_FALSE(exports(bare, "C_GetFunctionList"));
  for (const char* name : kNames) EXPECT_TRUE(exports(bare, name)) << name;
  // Nothing of the core leaks out.
  EXPECT_FALSE(exports(bare, "p11mock_Initialize"));
  dlclose(bare);
}

// ---------------------------------------------------------------------------
// Call log

TEST_F(MockTest, CallLogOfAShortSession) {
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
            "C_Logout(1) = 0x0\n"
            "C_CloseSession(1) = 0x0\n"
            "C_Finalize(NULL) = 0x0\n");
}

// ---------------------------------------------------------------------------
// Description files

TEST_F(MockTest, BadDescriptionsFailInitialize) {
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
TEST_F(MockTest, DamagedDescriptionsAreSafe) {
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
