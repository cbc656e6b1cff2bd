// What the test module's tests share: the module loaded the way the programs
// load a vendor module (dlopen, entry points bound by name with dlsym), a
// description per test, and the usual call sequences.
#pragma once

#include <p11-kit/pkcs11.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

std::string fixture(const std::string& name);
Bytes readBytes(const std::string& path);
std::string readText(const std::string& path);
void writeText(const std::string& path, const std::string& text);
// Scratch folder shared by the whole run.
const std::string& scratch();
// 32 bytes of a fixed pattern.
Bytes digest32();

// The exported entry points, bound by name like the programs do.
struct EntryPoints {
#define X(name) CK_C_##name C_##name = nullptr;
#include "exported_names.h"
#undef X
};

// Each test loads libp11mock.so afresh and finalises it at the end.
class MockTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes a description into the scratch folder and points the module at it.
  std::string describe(const std::string& text);
  void init(const std::string& text);
  CK_SESSION_HANDLE open(CK_SLOT_ID slot, CK_FLAGS flags = CKF_SERIAL_SESSION | CKF_RW_SESSION);
  // All handles a search yields, asking for up to `step` per call.
  std::vector<CK_OBJECT_HANDLE> search(CK_SESSION_HANDLE s, CK_ATTRIBUTE* t, CK_ULONG n, CK_ULONG step = 1);
  std::vector<CK_OBJECT_HANDLE> searchClass(CK_SESSION_HANDLE s, CK_OBJECT_CLASS cls);
  Bytes value(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o);
  CK_RV sign(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key, const Bytes& data, Bytes& sig, CK_ULONG room = 64);

  void* lib_ = nullptr;
  EntryPoints p_;
};
