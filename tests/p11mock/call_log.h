// The call log (README.md, "Call log"): how values are written, and Call,
// which every entry point runs in.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace p11mock {

struct Description;

std::string hexNum(CK_ULONG v);
std::string decNum(CK_ULONG v);
std::string ptrText(const void* p);
// <hex>, lower case.
std::string hexBytes(const void* data, size_t n);
// Quoted text: printable ASCII as is, everything else (and '"', '\') as \xHH.
std::string quoted(const unsigned char* p, size_t n);
// A blank-padded field, quoted without its padding.
std::string paddedText(const unsigned char* p, size_t n);
std::string join(const std::vector<std::string>& parts);

// A CK_ULONG attribute (CKA_CLASS, ...) whose value the caller gave or got.
bool holdsUlong(const CK_ATTRIBUTE& a);
CK_ULONG ulongValue(const CK_ATTRIBUTE& a);
// An attribute length; a CK_ULONG's own size is "ulong", as it differs between the ABIs.
std::string lengthText(CK_ATTRIBUTE_TYPE t, CK_ULONG len);
// A template whose values are inputs (searches).
std::string valueTemplate(const CK_ATTRIBUTE* t, CK_ULONG n);
// A template that asks for values: what the caller offers per attribute.
std::string queryTemplate(const CK_ATTRIBUTE* t, CK_ULONG n);
std::string mechanismText(const CK_MECHANISM* m);
// "[a, b, ...]"
std::string handleList(const CK_ULONG* h, CK_ULONG n);

// A message on stderr, "p11mock: " first.
void complain(const std::string& msg);

// One module call: holds the module lock, counts the call, collects the logged
// arguments and writes the log line when the call ends.
class Call {
 public:
  explicit Call(const char* name);
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  void arg(const std::string& s) { args_.push_back(s); }

  // The usual preamble: not initialised, or a failure scripted for this call.
  bool blocked(CK_RV& rv);

  // A rule of `d` for this call: true with `rv` to return, or the end of the
  // process (exit or crash), logged as the call's outcome.
  bool scripted(const Description& d, CK_RV& rv);

  // Logs the call with its outcome and outputs, and returns rv.
  CK_RV done(CK_RV rv, const std::string& out = std::string());

 private:
  void end(const std::string& outcome);

  std::lock_guard<std::mutex> guard_;
  std::string name_;
  CK_ULONG count_ = 0;
  std::vector<std::string> args_;
};

}  // namespace p11mock
