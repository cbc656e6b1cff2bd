#include "test_support.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

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

const std::string& scratch() {
  static std::string dir = [] {
    char tmpl[] = "/tmp/p11mock-test-XXXXXX";
    const char* d = mkdtemp(tmpl);
    return std::string(d ? d : "/tmp");
  }();
  return dir;
}

Bytes digest32() {
  Bytes d(32);
  for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<unsigned char>(i * 7 + 1);
  return d;
}

void MockTest::SetUp() {
  unsetenv("TEST_MODULE_LOG");
  lib_ = dlopen((std::string(P11MOCK_DIR) + "/libp11mock.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib_, nullptr) << dlerror();
#define X(name) p_.C_##name = reinterpret_cast<CK_C_##name>(dlsym(lib_, "C_" #name));
#include "exported_names.h"
#undef X
#define X(name) ASSERT_NE(p_.C_##name, nullptr) << "C_" #name " is not exported";
#include "exported_names.h"
#undef X
}

void MockTest::TearDown() {
  if (p_.C_Finalize) p_.C_Finalize(nullptr);
  unsetenv("TEST_MODULE_LOG");
  setenv("TEST_MODULE_CONF", fixture("demo-token.conf").c_str(), 1);
  if (lib_) dlclose(lib_);
}

std::string MockTest::describe(const std::string& text) {
  const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string path = scratch() + "/" + t->test_suite_name() + "." + t->name() + ".conf";
  writeText(path, text);
  setenv("TEST_MODULE_CONF", path.c_str(), 1);
  return path;
}

void MockTest::init(const std::string& text) {
  describe(text);
  ASSERT_EQ(p_.C_Initialize(nullptr), CKR_OK);
}

CK_SESSION_HANDLE MockTest::open(CK_SLOT_ID slot, CK_FLAGS flags) {
  CK_SESSION_HANDLE h = 0;
  EXPECT_EQ(p_.C_OpenSession(slot, flags, nullptr, nullptr, &h), CKR_OK);
  return h;
}

std::vector<CK_OBJECT_HANDLE> MockTest::search(CK_SESSION_HANDLE s, CK_ATTRIBUTE* t, CK_ULONG n, CK_ULONG step) {
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

std::vector<CK_OBJECT_HANDLE> MockTest::searchClass(CK_SESSION_HANDLE s, CK_OBJECT_CLASS cls) {
  CK_ATTRIBUTE t = {CKA_CLASS, &cls, sizeof cls};
  return search(s, &t, 1);
}

Bytes MockTest::value(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o) {
  CK_ATTRIBUTE t = {CKA_VALUE, nullptr, 0};
  EXPECT_EQ(p_.C_GetAttributeValue(s, o, &t, 1), CKR_OK);
  Bytes v(t.ulValueLen);
  t.pValue = v.data();
  EXPECT_EQ(p_.C_GetAttributeValue(s, o, &t, 1), CKR_OK);
  EXPECT_EQ(t.ulValueLen, v.size());
  return v;
}

CK_RV MockTest::sign(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key, const Bytes& data, Bytes& sig, CK_ULONG room) {
  CK_MECHANISM mech = {CKM_GOSTR3410, nullptr, 0};
  CK_RV rv = p_.C_SignInit(s, &mech, key);
  if (rv != CKR_OK) return rv;
  sig.assign(room, 0);
  CK_ULONG len = room;
  rv = p_.C_Sign(s, const_cast<unsigned char*>(data.data()), data.size(), sig.data(), &len);
  sig.resize(rv == CKR_OK ? len : 0);
  return rv;
}
