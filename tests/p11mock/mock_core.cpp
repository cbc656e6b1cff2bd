// Core of the scriptable PKCS#11 test module.
//
// C_Initialize reads a line-based description of slots, tokens and objects from
// the file named by TEST_MODULE_CONF; every call is appended to the file named by
// TEST_MODULE_LOG as one deterministic line. README.md in this folder documents
// both formats; keep it in step with this file.
#include "mock_core.h"

#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/opensslv.h>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/uio.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// OpenSSL 1.1 (the older distributions the programs are proved on) names
// these differently or needs the dynamic engine loader registered first.
#if OPENSSL_VERSION_NUMBER < 0x30000000L
#define EVP_PKEY_get_base_id EVP_PKEY_base_id
#define P11MOCK_LOAD_DYNAMIC_ENGINE() ENGINE_load_dynamic()
#else
#define P11MOCK_LOAD_DYNAMIC_ENGINE() ((void)0)
#endif

namespace {

using Bytes = std::vector<unsigned char>;

// ---------------------------------------------------------------------------
// Text helpers for the call log

std::string hexNum(CK_ULONG v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%lx", v);
  return buf;
}

std::string decNum(CK_ULONG v) { return std::to_string(v); }

std::string ptrText(const void* p) { return p ? "ptr" : "NULL"; }

std::string hexBytes(const void* data, size_t n) {
  static const char digits[] = "0123456789abcdef";
  const unsigned char* p = static_cast<const unsigned char*>(data);
  std::string s;
  s.reserve(n * 2 + 2);
  s += '<';
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 0xf];
  }
  s += '>';
  return s;
}

// Quoted text: printable ASCII as is, everything else (and '"', '\') as \xHH.
std::string quoted(const unsigned char* p, size_t n) {
  std::string s = "\"";
  for (size_t i = 0; i < n; ++i) {
    unsigned char ch = p[i];
    if (ch >= 0x20 && ch < 0x7f && ch != '"' && ch != '\\') {
      s += static_cast<char>(ch);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", ch);
      s += buf;
    }
  }
  return s + "\"";
}

// The module keeps PINs masked, every byte XORed with this value, and never
// builds a clear copy of one: a scan of the process's memory for a PIN the
// program should have wiped (check-pin-wiped) then finds only the program's
// own copies.
const unsigned char kPinMask = 0x5a;

std::string maskedText(const std::string& text) {
  std::string masked(text);
  for (char& ch : masked) ch = static_cast<char>(ch ^ kPinMask);
  return masked;
}

// Overwrites every byte a string owns; stores through a volatile pointer
// are never dropped.
void wipeText(std::string& text) {
  text.resize(text.capacity());
  volatile char* p = &text[0];
  for (size_t i = 0; i < text.size(); ++i) p[i] = 0;
  text.clear();
}

bool matchesMasked(const unsigned char* clear, size_t n, const std::string& masked) {
  if (n != masked.size()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < n; ++i)
    difference |= static_cast<unsigned char>((clear[i] ^ kPinMask) ^ static_cast<unsigned char>(masked[i]));
  return difference == 0;
}

// A blank-padded field shown without its padding.
std::string paddedText(const unsigned char* p, size_t n) {
  while (n > 0 && p[n - 1] == ' ') --n;
  return quoted(p, n);
}

std::string join(const std::vector<std::string>& parts) {
  std::string s;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) s += ", ";
    s += parts[i];
  }
  return s;
}

// Attributes whose value is one CK_ULONG. Their lengths differ between the ABIs,
// so the log shows "ulong" instead of the number of bytes.
bool ulongAttribute(CK_ATTRIBUTE_TYPE t) {
  return t == CKA_CLASS || t == CKA_CERTIFICATE_TYPE || t == CKA_KEY_TYPE;
}

bool holdsUlong(const CK_ATTRIBUTE& a) {
  return ulongAttribute(a.type) && a.pValue && a.ulValueLen == sizeof(CK_ULONG);
}

CK_ULONG ulongValue(const CK_ATTRIBUTE& a) {
  CK_ULONG v;
  std::memcpy(&v, a.pValue, sizeof v);
  return v;
}

std::string lengthText(CK_ATTRIBUTE_TYPE t, CK_ULONG len) {
  if (len == CK_UNAVAILABLE_INFORMATION) return "-1";
  if (ulongAttribute(t) && len == sizeof(CK_ULONG)) return "ulong";
  return decNum(len);
}

// A template whose values are inputs (searches, key generation).
std::string valueTemplate(const CK_ATTRIBUTE* t, CK_ULONG n) {
  if (!t) return "NULL";
  std::vector<std::string> parts;
  for (CK_ULONG i = 0; i < n; ++i) {
    const CK_ATTRIBUTE& a = t[i];
    std::string s = hexNum(a.type) + "=";
    if (!a.pValue)
      s += "NULL/" + lengthText(a.type, a.ulValueLen);
    else if (holdsUlong(a))
      s += hexNum(ulongValue(a));
    else
      s += hexBytes(a.pValue, a.ulValueLen);
    parts.push_back(s);
  }
  return "{" + join(parts) + "}";
}

// A template that asks for values: what the caller offers per attribute.
std::string queryTemplate(const CK_ATTRIBUTE* t, CK_ULONG n) {
  if (!t) return "NULL";
  std::vector<std::string> parts;
  for (CK_ULONG i = 0; i < n; ++i) {
    const CK_ATTRIBUTE& a = t[i];
    parts.push_back(hexNum(a.type) + ":" + (a.pValue ? "ptr/" + lengthText(a.type, a.ulValueLen) : "NULL"));
  }
  return "{" + join(parts) + "}";
}

std::string mechanismText(const CK_MECHANISM* m) {
  if (!m) return "NULL";
  return "{" + hexNum(m->mechanism) + ", " + ptrText(m->pParameter) + ", " + decNum(m->ulParameterLen) + "}";
}

std::string handleList(const CK_ULONG* h, CK_ULONG n) {
  std::vector<std::string> parts;
  for (CK_ULONG i = 0; i < n; ++i) parts.push_back(decNum(h[i]));
  return "[" + join(parts) + "]";
}

void writeLogLine(const std::string& line) {
  const char* path = std::getenv("TEST_MODULE_LOG");
  if (!path || !*path) return;
  int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  std::string text = line + "\n";
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    left -= static_cast<size_t>(n);
  }
  ::close(fd);
}

void complain(const std::string& msg) { std::fprintf(stderr, "p11mock: %s\n", msg.c_str()); }

// ---------------------------------------------------------------------------
// Module model

enum class Signer { None, Gost, Fake };
enum class Token { Present, Absent, Appears };

// TC26's vendor-defined key type of 512-bit GOST R 34.10-2012 keys; the 256-bit
// keys of both generations are CKK_GOSTR3410.
constexpr CK_KEY_TYPE kKeyTypeGost512 = 0xD4321003UL;

// The GOST R 34.10 keys a `key` line may hold, told apart by the algorithm of
// the PEM's PKCS#8 structure, with what signing with them takes and gives.
struct GostKind {
  int nid;
  CK_KEY_TYPE keyType;
  CK_ULONG dataLen;  // the hash the signature is over
  CK_ULONG sigLen;
};
const GostKind kGostKinds[] = {
    {NID_id_GostR3410_2001, CKK_GOSTR3410, 32, 64},
    {NID_id_GostR3410_2012_256, CKK_GOSTR3410, 32, 64},
    {NID_id_GostR3410_2012_512, kKeyTypeGost512, 64, 128},
};

struct Object {
  size_t slot = 0;  // index into Description::slots
  CK_OBJECT_CLASS cls = 0;
  bool isPrivate = false;  // CKA_PRIVATE: visible only after C_Login
  bool isCert = false;     // X.509 certificate (CKA_CERTIFICATE_TYPE)
  bool isKey = false;      // half of a GOST key pair (CKA_KEY_TYPE)
  bool hasValue = false;
  Bytes value;
  CK_KEY_TYPE keyType = CKK_GOSTR3410;
  Signer signer = Signer::None;
  std::string pem;        // Signer::Gost: the private key, PEM text
  std::string source;     // Signer::Gost: where the PEM came from
  int nid = NID_undef;    // Signer::Gost: the key's algorithm
  CK_ULONG dataLen = 0;   // Signer::Gost: the only data length it signs
  CK_ULONG sigLen = 64;
  bool destroyed = false;
};

struct Slot {
  CK_SLOT_ID id = 0;
  unsigned char description[64];
  unsigned char manufacturer[32];
  bool flagsGiven = false;
  CK_FLAGS flags = 0;
  Token token = Token::Present;
  bool readOnly = false;
  std::string pin = maskedText("1234");  // the user PIN, masked (see maskedText)
  bool loggedIn = false;

  Slot() {
    std::memset(description, ' ', sizeof description);
    std::memset(manufacturer, ' ', sizeof manufacturer);
  }
};

// What a scripted call does instead of its work.
enum class Action { Return, Exit, Crash };

struct FailRule {
  std::string function;
  CK_RV rv = 0;
  CK_ULONG nth = 0;  // 0: every call
  Action action = Action::Return;
  int status = 0;  // Action::Exit
};

struct Description {
  std::vector<Slot> slots;
  std::vector<Object> objects;  // handle = index + 1
  std::vector<FailRule> fails;
  bool findForever = false;
  bool claimSlots = false;   // C_GetSlotList claims claimedSlots slots
  CK_ULONG claimedSlots = 0;
  std::string chatter;       // written to stdout and stderr by every call
  bool checkPinWiped = false;
};

struct Session {
  size_t slot = 0;
  CK_FLAGS flags = 0;
  bool finding = false;
  std::vector<CK_OBJECT_HANDLE> found;
  size_t next = 0;
  bool signing = false;
  CK_OBJECT_HANDLE signKey = 0;
};

struct State {
  std::mutex lock;
  bool initialized = false;
  Description d;
  std::map<CK_SESSION_HANDLE, Session> sessions;
  CK_SESSION_HANDLE nextSession = 1;
  unsigned long slotListCalls = 0;  // answered C_GetSlotList calls, for token-appears
  // Calls per function name since the module was loaded or last finalised.
  std::map<std::string, CK_ULONG> calls;
  // OpenSSL objects are released in C_Finalize only, never by a destructor:
  // at process exit OpenSSL may already have cleaned up.
  ENGINE* engine = nullptr;
  std::map<CK_OBJECT_HANDLE, EVP_PKEY*> keys;
};

State g;

const char* const kFunctionNames[] = {
    "C_Initialize", "C_Finalize", "C_GetInfo", "C_GetFunctionList", "C_GetSlotList", "C_GetSlotInfo",
    "C_GetTokenInfo", "C_GetMechanismList", "C_GetMechanismInfo", "C_InitToken", "C_InitPIN", "C_SetPIN",
    "C_OpenSession", "C_CloseSession", "C_CloseAllSessions", "C_GetSessionInfo", "C_GetOperationState",
    "C_SetOperationState", "C_Login", "C_Logout", "C_CreateObject", "C_CopyObject", "C_DestroyObject",
    "C_GetObjectSize", "C_GetAttributeValue", "C_SetAttributeValue", "C_FindObjectsInit", "C_FindObjects",
    "C_FindObjectsFinal", "C_EncryptInit", "C_Encrypt", "C_EncryptUpdate", "C_EncryptFinal", "C_DecryptInit",
    "C_Decrypt", "C_DecryptUpdate", "C_DecryptFinal", "C_DigestInit", "C_Digest", "C_DigestUpdate",
    "C_DigestKey", "C_DigestFinal", "C_SignInit", "C_Sign", "C_SignUpdate", "C_SignFinal", "C_SignRecoverInit",
    "C_SignRecover", "C_VerifyInit", "C_Verify", "C_VerifyUpdate", "C_VerifyFinal", "C_VerifyRecoverInit",
    "C_VerifyRecover", "C_DigestEncryptUpdate", "C_DecryptDigestUpdate", "C_SignEncryptUpdate",
    "C_DecryptVerifyUpdate", "C_GenerateKey", "C_GenerateKeyPair", "C_WrapKey", "C_UnwrapKey", "C_DeriveKey",
    "C_SeedRandom", "C_GenerateRandom", "C_GetFunctionStatus", "C_CancelFunction", "C_WaitForSlotEvent",
};

bool knownFunction(const std::string& name) {
  for (const char* n : kFunctionNames)
    if (name == n) return true;
  return false;
}

const FailRule* scriptedRule(const Description& d, const std::string& name, CK_ULONG nth) {
  for (const FailRule& r : d.fails)
    if (r.function == name && (r.nth == 0 || r.nth == nth)) return &r;
  return nullptr;
}

void writeAllTo(int fd, const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

// One module call: holds the module lock, counts the call, collects the logged
// arguments and writes the log line when the call ends.
class Call {
 public:
  explicit Call(const char* name) : guard_(g.lock), name_(name) { count_ = ++g.calls[name_]; }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  void arg(const std::string& s) { args_.push_back(s); }
  CK_ULONG count() const { return count_; }
  const std::string& name() const { return name_; }

  // The usual preamble: not initialised, or a failure scripted for this call.
  bool blocked(CK_RV& rv) {
    if (!g.initialized) {
      rv = CKR_CRYPTOKI_NOT_INITIALIZED;
      return true;
    }
    return scripted(g.d, rv);
  }

  // A rule of `d` for this call: true with `rv` to return, or the end of the
  // process (exit or crash), logged as the call's outcome.
  bool scripted(const Description& d, CK_RV& rv) {
    const FailRule* r = scriptedRule(d, name_, count_);
    if (!r) return false;
    if (r->action == Action::Exit) {
      end("exit(" + std::to_string(r->status) + ")");
      std::exit(r->status);
    }
    if (r->action == Action::Crash) {
      end("SIGSEGV");
      // The default action, whatever handler the process has installed.
      std::signal(SIGSEGV, SIG_DFL);
      std::raise(SIGSEGV);
      std::_Exit(128 + SIGSEGV);
    }
    rv = r->rv;
    return true;
  }

  CK_RV done(CK_RV rv, const std::string& out = std::string()) {
    std::string outcome = hexNum(rv);
    if (!out.empty()) outcome += " -> " + out;
    end(outcome);
    return rv;
  }

 private:
  void end(const std::string& outcome) {
    writeLogLine(name_ + "(" + join(args_) + ") = " + outcome);
    if (g.initialized && !g.d.chatter.empty()) {
      writeAllTo(1, g.d.chatter + "\n");
      writeAllTo(2, g.d.chatter + "\n");
    }
  }

 public:
 private:
  std::lock_guard<std::mutex> guard_;
  std::string name_;
  CK_ULONG count_ = 0;
  std::vector<std::string> args_;
};

// ---------------------------------------------------------------------------
// Description file

bool parseNumber(const std::string& s, CK_ULONG& out) {
  const CK_ULONG max = std::numeric_limits<CK_ULONG>::max();
  size_t i = 0;
  unsigned base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    i = 2;
  }
  if (i >= s.size()) return false;
  CK_ULONG v = 0;
  for (; i < s.size(); ++i) {
    unsigned digit;
    char ch = s[i];
    if (ch >= '0' && ch <= '9')
      digit = static_cast<unsigned>(ch - '0');
    else if (base == 16 && ch >= 'a' && ch <= 'f')
      digit = static_cast<unsigned>(ch - 'a' + 10);
    else if (base == 16 && ch >= 'A' && ch <= 'F')
      digit = static_cast<unsigned>(ch - 'A' + 10);
    else
      return false;
    if (v > (max - digit) / base) return false;
    v = v * base + digit;
  }
  out = v;
  return true;
}

int hexDigit(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

// Text argument: \xHH stands for any byte, \\ for a backslash.
bool unescape(const std::string& s, std::string& out) {
  out.clear();
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\') {
      out += s[i];
      continue;
    }
    if (i + 1 < s.size() && s[i + 1] == '\\') {
      out += '\\';
      ++i;
      continue;
    }
    if (i + 3 < s.size() && s[i + 1] == 'x') {
      int hi = hexDigit(s[i + 2]), lo = hexDigit(s[i + 3]);
      if (hi >= 0 && lo >= 0) {
        out += static_cast<char>(hi * 16 + lo);
        i += 3;
        continue;
      }
    }
    return false;
  }
  return true;
}

bool parseHex(const std::string& s, Bytes& out) {
  if (s.size() % 2) return false;
  out.clear();
  for (size_t i = 0; i < s.size(); i += 2) {
    int hi = hexDigit(s[i]), lo = hexDigit(s[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<unsigned char>(hi * 16 + lo));
  }
  return true;
}

std::vector<std::string> words(const std::string& s) {
  std::vector<std::string> w;
  size_t i = 0;
  while (true) {
    i = s.find_first_not_of(" \t", i);
    if (i == std::string::npos) break;
    size_t e = s.find_first_of(" \t", i);
    w.push_back(s.substr(i, e == std::string::npos ? std::string::npos : e - i));
    if (e == std::string::npos) break;
    i = e;
  }
  return w;
}

constexpr std::streamoff kMaxFileSize = 16 * 1024 * 1024;

bool readFile(const std::string& path, Bytes& out, std::string& err) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    err = "cannot read " + path;
    return false;
  }
  in.seekg(0, std::ios::end);
  std::streamoff size = in.tellg();
  if (size < 0 || size > kMaxFileSize) {
    err = path + ": not a regular file or larger than 16 MiB";
    return false;
  }
  in.seekg(0, std::ios::beg);
  out.resize(static_cast<size_t>(size));
  if (size > 0 && !in.read(reinterpret_cast<char*>(out.data()), size)) {
    err = "cannot read " + path;
    return false;
  }
  return true;
}

// The kind of GOST key a PEM file holds, from the algorithm of its PKCS#8
// structure alone: reading it needs no engine. Null for anything else.
const GostKind* gostKindOf(const std::string& pem) {
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  PKCS8_PRIV_KEY_INFO* p8 = bio ? PEM_read_bio_PKCS8_PRIV_KEY_INFO(bio, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(bio);
  const ASN1_OBJECT* algorithm = nullptr;
  int nid = NID_undef;
  if (p8 && PKCS8_pkey_get0(&algorithm, nullptr, nullptr, nullptr, p8)) nid = OBJ_obj2nid(algorithm);
  PKCS8_PRIV_KEY_INFO_free(p8);
  ERR_clear_error();
  for (const GostKind& kind : kGostKinds)
    if (kind.nid == nid) return &kind;
  return nullptr;
}

void setPadded(unsigned char* field, size_t width, const std::string& text) {
  std::memset(field, ' ', width);
  std::memcpy(field, text.data(), text.size() < width ? text.size() : width);
}

enum class Load { Ok, Unreadable, Invalid };

class Parser {
 public:
  Parser(const std::string& path, Description& d) : path_(path), d_(d) {
    size_t slash = path.rfind('/');
    dir_ = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  }

  Load run(std::string& err) {
    std::ifstream in(path_, std::ios::binary);
    if (!in) return Load::Unreadable;
    std::string line;
    while (std::getline(in, line)) {
      ++lineNo_;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!parseLine(line)) {
        err = path_ + ":" + std::to_string(lineNo_) + ": " + error_;
        return Load::Invalid;
      }
    }
    if (in.bad()) {
      err = path_ + ": read error";
      return Load::Invalid;
    }
    return Load::Ok;
  }

 private:
  bool fail(const std::string& msg) {
    error_ = msg;
    return false;
  }

  std::string resolve(const std::string& file) const {
    return !file.empty() && file[0] == '/' ? file : dir_ + file;
  }

  Object& addObject(CK_OBJECT_CLASS cls) {
    Object o;
    o.slot = d_.slots.size() - 1;
    o.cls = cls;
    d_.objects.push_back(o);
    return d_.objects.back();
  }

  // A key pair: the private key as given, and unless withPublic is false a
  // public key of the same type.
  void addKeyPair(const Object& key, bool withPublic) {
    Object& priv = addObject(CKO_PRIVATE_KEY);
    const size_t slot = priv.slot;
    priv = key;
    priv.slot = slot;
    priv.cls = CKO_PRIVATE_KEY;
    priv.isPrivate = true;
    priv.isKey = true;
    if (withPublic) {
      Object& pub = addObject(CKO_PUBLIC_KEY);
      pub.isKey = true;
      pub.keyType = key.keyType;
    }
  }

  bool parseLine(const std::string& line) {
    size_t p = line.find_first_not_of(" \t");
    if (p == std::string::npos || line[p] == '#') return true;
    size_t e = line.find_first_of(" \t", p);
    std::string kw = line.substr(p, e == std::string::npos ? std::string::npos : e - p);
    std::string rest = e == std::string::npos ? std::string() : line.substr(e + 1);
    std::vector<std::string> w = words(rest);

    if (kw == "slot") {
      CK_ULONG id;
      if (w.size() != 1 || !parseNumber(w[0], id)) return fail("usage: slot <id>");
      for (const Slot& s : d_.slots)
        if (s.id == id) return fail("slot " + w[0] + " given twice");
      d_.slots.emplace_back();
      d_.slots.back().id = id;
      return true;
    }
    if (kw == "fail") {
      FailRule r;
      if (w.size() < 2 || w.size() > 3 || !parseNumber(w[1], r.rv) ||
          (w.size() == 3 && (!parseNumber(w[2], r.nth) || r.nth == 0)))
        return fail("usage: fail <function> <rv> [<nth>], nth from 1");
      if (!knownFunction(w[0])) return fail("unknown function " + w[0]);
      r.function = w[0];
      d_.fails.push_back(r);
      return true;
    }
    if (kw == "exit" || kw == "crash") {
      FailRule r;
      if (kw == "exit") {
        CK_ULONG status;
        if (w.size() != 2 || !parseNumber(w[1], status) || status > 255)
          return fail("usage: exit <function> <status>, status 0 to 255");
        r.action = Action::Exit;
        r.status = static_cast<int>(status);
      } else {
        if (w.size() != 1) return fail("usage: crash <function>");
        r.action = Action::Crash;
      }
      if (!knownFunction(w[0])) return fail("unknown function " + w[0]);
      r.function = w[0];
      d_.fails.push_back(r);
      return true;
    }
    if (kw == "find-forever" || kw == "check-pin-wiped") {
      if (!w.empty()) return fail(kw + " takes no arguments");
      (kw == "find-forever" ? d_.findForever : d_.checkPinWiped) = true;
      return true;
    }
    if (kw == "claim-slots") {
      if (w.size() != 1 || !parseNumber(w[0], d_.claimedSlots)) return fail("usage: claim-slots <n>");
      d_.claimSlots = true;
      return true;
    }
    if (kw == "chatter") {
      if (rest.empty()) return fail("usage: chatter <text>");
      d_.chatter = rest;
      return true;
    }

    static const char* const slotWords[] = {"description", "manufacturer", "flags", "no-token",
                                            "token-appears", "read-only", "pin", "cert",
                                            "cert-empty", "cert-zeros", "object", "key", "fake-key"};
    bool isSlotWord = false;
    for (const char* sw : slotWords) isSlotWord = isSlotWord || kw == sw;
    if (!isSlotWord) return fail("unknown keyword " + kw);
    if (d_.slots.empty()) return fail(kw + " before the first slot line");
    Slot& slot = d_.slots.back();

    if (kw == "description" || kw == "manufacturer" || kw == "pin") {
      std::string text;
      if (!unescape(rest, text)) return fail("bad escape in text (use \\xHH or \\\\)");
      if (kw == "description")
        setPadded(slot.description, sizeof slot.description, text);
      else if (kw == "manufacturer")
        setPadded(slot.manufacturer, sizeof slot.manufacturer, text);
      else
        slot.pin = maskedText(text);
      // The clear PIN is dropped at once (see kPinMask).
      wipeText(text);
      return true;
    }
    if (kw == "flags") {
      if (w.size() != 1 || !parseNumber(w[0], slot.flags)) return fail("usage: flags <n>");
      slot.flagsGiven = true;
      return true;
    }
    if (kw == "no-token" || kw == "token-appears") {
      if (!w.empty()) return fail(kw + " takes no arguments");
      if (slot.token != Token::Present) return fail("no-token and token-appears exclude each other");
      slot.token = kw == "no-token" ? Token::Absent : Token::Appears;
      return true;
    }
    if (kw == "read-only") {
      if (!w.empty()) return fail("read-only takes no arguments");
      slot.readOnly = true;
      return true;
    }
    if (kw == "cert" || kw == "cert-empty" || kw == "cert-zeros") {
      Bytes value;
      if (kw == "cert") {
        if (w.size() != 1) return fail("usage: cert <file.der>");
        std::string err;
        if (!readFile(resolve(w[0]), value, err)) return fail(err);
      } else if (kw == "cert-zeros") {
        CK_ULONG size;
        if (w.size() != 1 || !parseNumber(w[0], size) || size > static_cast<CK_ULONG>(kMaxFileSize))
          return fail("usage: cert-zeros <n>, n at most 16 MiB");
        value.assign(size, 0);
      } else if (!w.empty()) {
        return fail("cert-empty takes no arguments");
      }
      Object& o = addObject(CKO_CERTIFICATE);
      o.isCert = true;
      o.hasValue = true;
      o.value = value;
      return true;
    }
    if (kw == "object") {
      CK_ULONG cls;
      Bytes value;
      if (w.empty() || w.size() > 2 || !parseNumber(w[0], cls) || (w.size() == 2 && !parseHex(w[1], value)))
        return fail("usage: object <class> <hex>");
      Object& o = addObject(cls);
      o.hasValue = true;
      o.value = value;
      return true;
    }
    if (kw == "key") {
      if (w.empty() || w.size() > 2 || (w.size() == 2 && w[1] != "no-public"))
        return fail("usage: key <file.pem> [no-public]");
      Bytes pem;
      std::string err;
      Object key;
      key.source = resolve(w[0]);
      if (!readFile(key.source, pem, err)) return fail(err);
      key.pem.assign(pem.begin(), pem.end());
      const GostKind* kind = gostKindOf(key.pem);
      if (!kind) return fail(key.source + ": not a GOST R 34.10-2001 or -2012 private key in PKCS#8 PEM");
      key.signer = Signer::Gost;
      key.nid = kind->nid;
      key.keyType = kind->keyType;
      key.dataLen = kind->dataLen;
      key.sigLen = kind->sigLen;
      addKeyPair(key, w.size() == 1);
      return true;
    }
    // fake-key
    bool withPublic = true;
    CK_ULONG sigLen = 64;
    for (size_t i = 0; i < w.size(); ++i) {
      if (w[i] == "no-public") {
        withPublic = false;
      } else if (w[i] == "siglen" && i + 1 < w.size() && parseNumber(w[i + 1], sigLen) && sigLen <= 65536) {
        ++i;
      } else {
        return fail("usage: fake-key [no-public] [siglen <n>], n at most 65536");
      }
    }
    Object key;
    key.signer = Signer::Fake;
    key.sigLen = sigLen;
    addKeyPair(key, withPublic);
    return true;
  }

  std::string path_;
  std::string dir_;
  Description& d_;
  unsigned long lineNo_ = 0;
  std::string error_;
};

// ---------------------------------------------------------------------------
// Objects, sessions, signing

enum class Attr { Value, Missing, Sensitive };

Attr attributeOf(const Object& o, CK_ATTRIBUTE_TYPE type, Bytes& v) {
  auto ulong = [&v](CK_ULONG x) {
    v.resize(sizeof x);
    std::memcpy(v.data(), &x, sizeof x);
    return Attr::Value;
  };
  auto boolean = [&v](bool b) {
    v.assign(1, b ? CK_TRUE : CK_FALSE);
    return Attr::Value;
  };
  const bool privateKey = o.isKey && o.cls == CKO_PRIVATE_KEY;
  switch (type) {
    case CKA_CLASS:
      return ulong(o.cls);
    case CKA_TOKEN:
      return boolean(true);
    case CKA_PRIVATE:
      return boolean(o.isPrivate);
    case CKA_VALUE:
      if (privateKey) return Attr::Sensitive;
      if (!o.hasValue) return Attr::Missing;
      v = o.value;
      return Attr::Value;
    case CKA_CERTIFICATE_TYPE:
      return o.isCert ? ulong(CKC_X_509) : Attr::Missing;
    case CKA_KEY_TYPE:
      return o.isKey ? ulong(o.keyType) : Attr::Missing;
    case CKA_SIGN:
      return o.isKey ? boolean(privateKey) : Attr::Missing;
    case CKA_VERIFY:
      return o.isKey ? boolean(!privateKey) : Attr::Missing;
    case CKA_SENSITIVE:
      return privateKey ? boolean(true) : Attr::Missing;
    default:
      return Attr::Missing;
  }
}

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

Slot* findSlot(CK_SLOT_ID id, size_t* index = nullptr) {
  for (size_t i = 0; i < g.d.slots.size(); ++i) {
    if (g.d.slots[i].id == id) {
      if (index) *index = i;
      return &g.d.slots[i];
    }
  }
  return nullptr;
}

Session* findSession(CK_SESSION_HANDLE h) {
  auto it = g.sessions.find(h);
  return it == g.sessions.end() ? nullptr : &it->second;
}

// The preamble of every call on a session: not initialised, a failure
// scripted for this call, or no such session. Null with `rv` set in those cases.
Session* sessionForCall(Call& c, CK_SESSION_HANDLE h, CK_RV& rv) {
  if (c.blocked(rv)) return nullptr;
  Session* s = findSession(h);
  if (!s) rv = CKR_SESSION_HANDLE_INVALID;
  return s;
}

Object* visibleObject(const Session& s, CK_OBJECT_HANDLE h) {
  if (h == 0 || h > g.d.objects.size()) return nullptr;
  Object& o = g.d.objects[h - 1];
  if (o.destroyed || o.slot != s.slot) return nullptr;
  if (o.isPrivate && !g.d.slots[s.slot].loggedIn) return nullptr;
  return &o;
}

bool matches(const Object& o, const CK_ATTRIBUTE* t, CK_ULONG n) {
  Bytes v;
  for (CK_ULONG i = 0; i < n; ++i) {
    if (attributeOf(o, t[i].type, v) != Attr::Value) return false;
    if (v.size() != t[i].ulValueLen) return false;
    if (!v.empty() && std::memcmp(v.data(), t[i].pValue, v.size()) != 0) return false;
  }
  return true;
}

void closeSession(std::map<CK_SESSION_HANDLE, Session>::iterator it) {
  size_t slot = it->second.slot;
  g.sessions.erase(it);
  for (const auto& kv : g.sessions)
    if (kv.second.slot == slot) return;
  g.d.slots[slot].loggedIn = false;  // the last session of a token ends its login
}

void releaseOpenSsl() {
  for (auto& kv : g.keys) EVP_PKEY_free(kv.second);
  g.keys.clear();
  if (g.engine) {
    ENGINE_finish(g.engine);
    ENGINE_free(g.engine);
    g.engine = nullptr;
  }
}

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

// ---------------------------------------------------------------------------
// check-pin-wiped: the PIN's copies in the process's writable memory

// Regions larger than this are the sanitizers' shadow memory, never a heap
// or a stack that could hold a PIN.
const uintptr_t kLargestScannedRegion = 64UL * 1024 * 1024;
const size_t kScanChunk = 1024 * 1024;

struct Region {
  uintptr_t start = 0;
  uintptr_t end = 0;
  std::string name;
};

std::vector<Region> writableRegions() {
  std::vector<Region> regions;
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    unsigned long start = 0, end = 0;
    char perms[8] = {};
    int nameAt = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx %7s %*s %*s %*s %n", &start, &end, perms, &nameAt) < 3) continue;
    if (perms[0] != 'r' || perms[1] != 'w' || end - start > kLargestScannedRegion) continue;
    Region r;
    r.start = start;
    r.end = end;
    r.name = nameAt > 0 ? line.substr(static_cast<size_t>(nameAt)) : std::string();
    if (r.name.empty()) r.name = "anonymous";
    regions.push_back(r);
  }
  return regions;
}

// Counts the places in `region` that hold `masked` unmasked. The memory is
// copied out with process_vm_readv, so poisoned bytes are read without a
// sanitizer report and unreadable pages are skipped; the copy is masked in
// place before it is searched, so no clear PIN is made from a masked one.
size_t clearCopies(const Region& region, const std::string& masked, unsigned char* buffer) {
  const size_t keep = masked.size() - 1;
  size_t count = 0, held = 0;
  for (uintptr_t at = region.start; at < region.end;) {
    size_t want = region.end - at < kScanChunk ? region.end - at : kScanChunk;
    struct iovec local = {buffer + held, want};
    struct iovec remote = {reinterpret_cast<void*>(at), want};
    ssize_t got = ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0);
    if (got <= 0) {
      // An unreadable page: skip it and start afresh after it.
      at = (at | 4095) + 1;
      held = 0;
      continue;
    }
    size_t n = held + static_cast<size_t>(got);
    for (size_t i = held; i < n; ++i) buffer[i] ^= kPinMask;
    for (size_t i = 0; i + masked.size() <= n; ++i)
      if (std::memcmp(buffer + i, masked.data(), masked.size()) == 0) ++count;
    held = n < keep ? n : keep;
    std::memmove(buffer, buffer + n - held, held);
    at += static_cast<uintptr_t>(got);
  }
  return count;
}

// Looks for every slot's PIN in the process's writable memory and asks
// whether a crash would leave a core dump; the result goes into the log.
// Where a PIN was found is told on stderr.
std::string pinCheck() {
  const size_t bufferSize = kScanChunk + 256;
  void* mapped = ::mmap(nullptr, bufferSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return "PIN check failed: no scan buffer";
  unsigned char* buffer = static_cast<unsigned char*>(mapped);
  const uintptr_t bufferStart = reinterpret_cast<uintptr_t>(buffer);
  size_t total = 0;
  std::string where;
  for (const Region& region : writableRegions()) {
    if (region.start < bufferStart + bufferSize && bufferStart < region.end) continue;  // the scan's own copy
    size_t found = 0;
    for (const Slot& slot : g.d.slots)
      if (!slot.pin.empty() && slot.pin.size() < 256) found += clearCopies(region, slot.pin, buffer);
    if (found) where += " " + region.name + " (" + decNum(found) + ")";
    total += found;
  }
  ::munmap(mapped, bufferSize);
  if (total) complain("the PIN is in writable memory:" + where);
  return "PIN copies in writable memory: " + decNum(total) + ", dumpable: " +
         std::to_string(::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0));
}

void fillPadded(unsigned char* field, size_t width, const char* text) {
  setPadded(field, width, text ? std::string(text) : std::string());
}

// ---------------------------------------------------------------------------
// Functions the module does not offer; they are in the function list and logged.

CK_RV unsupported(const char* name) {
  Call c(name);
  c.arg("...");
  CK_RV rv;
  if (c.blocked(rv)) return c.done(rv);
  return c.done(CKR_FUNCTION_NOT_SUPPORTED);
}

#define P11MOCK_UNSUPPORTED(name, params) \
  CK_RV unsupported_##name params { return unsupported("C_" #name); }

P11MOCK_UNSUPPORTED(InitToken, (CK_SLOT_ID, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR))
P11MOCK_UNSUPPORTED(InitPIN, (CK_SESSION_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG))
P11MOCK_UNSUPPORTED(SetPIN, (CK_SESSION_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR, CK_ULONG))
P11MOCK_UNSUPPORTED(GetOperationState, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR))
P11MOCK_UNSUPPORTED(SetOperationState, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE))
P11MOCK_UNSUPPORTED(CreateObject, (CK_SESSION_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR))
P11MOCK_UNSUPPORTED(CopyObject, (CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR))
P11MOCK_UNSUPPORTED(GetObjectSize, (CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ULONG_PTR))
P11MOCK_UNSUPPORTED(SetAttributeValue, (CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG))
P11MOCK_UNSUPPORTED(EncryptInit, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE))
P11MOCK_UNSUPPORTED(Encrypt, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
P11MOCK_UNSUPPORTED(EncryptUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
P11MOCK_UNSUPPORTED(EncryptFinal, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR))
P11MOCK_UNSUPPORTED(DecryptInit, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE))
P11MOCK_UNSUPPORTED(Decrypt, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
P11MOCK_UNSUPPORTED(DecryptUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
P11MOCK_UNSUPPORTED(DecryptFinal, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR))
P11MOCK_UNSUPPORTED(DigestInit, (CK_SESSION_HANDLE, CK_MECHANISM_PTR))
P11MOCK_UNSUPPORTED(Digest, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
P11MOCK_UNSUPPORTED(DigestUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG))
P11MOCK_UNSUPPORTED(DigestKey, (CK_SESSION_HANDLE, CK_OBJECT_HANDLE))
P11MOCK_UNSUPPORTED(DigestFinal, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR))
P11MOCK_UNSUPPORTED(SignUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG))
P11MOCK_UNSUPPORTED(SignFinal, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR))
P11MOCK_UNSUPPORTED(SignRecoverInit, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE))
P11MOCK_UNSUPPORTED(SignRecover, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
P11MOCK_UNSUPPORTED(VerifyInit, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE))
P11MOCK_UNSUPPORTED(Verify, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG))
P11MOCK_UNSUPPORTED(VerifyUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG))
P11MOCK_UNSUPPORTED(VerifyFinal, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG))
P11MOCK_UNSUPPORTED(VerifyRecoverInit, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE))
P11MOCK_UNSUPPORTED(VerifyRecover, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
P11MOCK_UNSUPPORTED(DigestEncryptUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
P11MOCK_UNSUPPORTED(DecryptDigestUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
P11MOCK_UNSUPPORTED(SignEncryptUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
P11MOCK_UNSUPPORTED(DecryptVerifyUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
P11MOCK_UNSUPPORTED(GenerateKey, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR))
P11MOCK_UNSUPPORTED(WrapKey, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE, CK_BYTE_PTR,
                              CK_ULONG_PTR))
P11MOCK_UNSUPPORTED(UnwrapKey, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_BYTE_PTR, CK_ULONG,
                                CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR))
P11MOCK_UNSUPPORTED(DeriveKey, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG,
                                CK_OBJECT_HANDLE_PTR))
P11MOCK_UNSUPPORTED(SeedRandom, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG))
P11MOCK_UNSUPPORTED(GenerateRandom, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG))
P11MOCK_UNSUPPORTED(GetFunctionStatus, (CK_SESSION_HANDLE))
P11MOCK_UNSUPPORTED(CancelFunction, (CK_SESSION_HANDLE))
P11MOCK_UNSUPPORTED(WaitForSlotEvent, (CK_FLAGS, CK_SLOT_ID_PTR, CK_VOID_PTR))

// ---------------------------------------------------------------------------
// Extra informational functions, reachable through the function list only.

CK_RV mockGetInfo(CK_INFO_PTR pInfo) {
  Call c("C_GetInfo");
  c.arg(ptrText(pInfo));
  CK_RV rv;
  if (c.blocked(rv)) return c.done(rv);
  if (!pInfo) return c.done(CKR_ARGUMENTS_BAD);
  std::memset(pInfo, 0, sizeof *pInfo);
  pInfo->cryptokiVersion.major = 2;
  pInfo->cryptokiVersion.minor = 40;
  fillPadded(pInfo->manufacturerID, sizeof pInfo->manufacturerID, "p11mock");
  fillPadded(pInfo->libraryDescription, sizeof pInfo->libraryDescription, "scriptable PKCS#11 test module");
  pInfo->libraryVersion.major = 1;
  return c.done(CKR_OK);
}

CK_RV mockGetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
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
  fillPadded(pInfo->label, sizeof pInfo->label, ("p11mock token " + decNum(slotID)).c_str());
  std::memcpy(pInfo->manufacturerID, s->manufacturer, sizeof pInfo->manufacturerID);
  fillPadded(pInfo->model, sizeof pInfo->model, "p11mock");
  fillPadded(pInfo->serialNumber, sizeof pInfo->serialNumber, decNum(slotID).c_str());
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

const CK_MECHANISM_TYPE kMechanisms[] = {CKM_GOSTR3410_KEY_PAIR_GEN, CKM_GOSTR3410};

CK_RV mockGetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pList, CK_ULONG_PTR pulCount) {
  Call c("C_GetMechanismList");
  c.arg(decNum(slotID));
  c.arg(pList && pulCount ? "ptr/" + decNum(*pulCount) : ptrText(pList));
  c.arg(ptrText(pulCount));
  CK_RV rv;
  if (c.blocked(rv)) return c.done(rv);
  if (!pulCount) return c.done(CKR_ARGUMENTS_BAD);
  Slot* s = findSlot(slotID);
  if (!s) return c.done(CKR_SLOT_ID_INVALID);
  if (!tokenPresent(*s)) return c.done(CKR_TOKEN_NOT_PRESENT);
  const CK_ULONG n = sizeof kMechanisms / sizeof kMechanisms[0];
  if (!pList) {
    *pulCount = n;
    return c.done(CKR_OK, decNum(n));
  }
  if (*pulCount < n) {
    *pulCount = n;
    return c.done(CKR_BUFFER_TOO_SMALL, decNum(n));
  }
  std::vector<std::string> parts;
  for (CK_ULONG i = 0; i < n; ++i) {
    pList[i] = kMechanisms[i];
    parts.push_back(hexNum(kMechanisms[i]));
  }
  *pulCount = n;
  return c.done(CKR_OK, decNum(n) + " [" + join(parts) + "]");
}

CK_RV mockGetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo) {
  Call c("C_GetMechanismInfo");
  c.arg(decNum(slotID));
  c.arg(hexNum(type));
  c.arg(ptrText(pInfo));
  CK_RV rv;
  if (c.blocked(rv)) return c.done(rv);
  if (!pInfo) return c.done(CKR_ARGUMENTS_BAD);
  Slot* s = findSlot(slotID);
  if (!s) return c.done(CKR_SLOT_ID_INVALID);
  if (!tokenPresent(*s)) return c.done(CKR_TOKEN_NOT_PRESENT);
  if (type != CKM_GOSTR3410 && type != CKM_GOSTR3410_KEY_PAIR_GEN) return c.done(CKR_MECHANISM_INVALID);
  pInfo->ulMinKeySize = 256;
  pInfo->ulMaxKeySize = 256;
  pInfo->flags = type == CKM_GOSTR3410 ? CKF_SIGN : CKF_GENERATE_KEY_PAIR;
  return c.done(CKR_OK);
}

CK_RV mockCloseAllSessions(CK_SLOT_ID slotID) {
  Call c("C_CloseAllSessions");
  c.arg(decNum(slotID));
  CK_RV rv;
  if (c.blocked(rv)) return c.done(rv);
  size_t index = 0;
  if (!findSlot(slotID, &index)) return c.done(CKR_SLOT_ID_INVALID);
  for (auto it = g.sessions.begin(); it != g.sessions.end();) {
    auto cur = it++;
    if (cur->second.slot == index) closeSession(cur);
  }
  return c.done(CKR_OK);
}

CK_RV mockGetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
  Call c("C_GetSessionInfo");
  c.arg(decNum(hSession));
  c.arg(ptrText(pInfo));
  CK_RV rv;
  Session* s = sessionForCall(c, hSession, rv);
  if (!s) return c.done(rv);
  if (!pInfo) return c.done(CKR_ARGUMENTS_BAD);
  const bool rw = (s->flags & CKF_RW_SESSION) != 0;
  const bool user = g.d.slots[s->slot].loggedIn;
  pInfo->slotID = g.d.slots[s->slot].id;
  pInfo->state = rw ? (user ? CKS_RW_USER_FUNCTIONS : CKS_RW_PUBLIC_SESSION)
                    : (user ? CKS_RO_USER_FUNCTIONS : CKS_RO_PUBLIC_SESSION);
  pInfo->flags = s->flags;
  pInfo->ulDeviceError = 0;
  return c.done(CKR_OK, hexNum(pInfo->state));
}

CK_FUNCTION_LIST makeFunctionList() {
  CK_FUNCTION_LIST f;
  std::memset(&f, 0, sizeof f);
  f.version.major = 2;
  f.version.minor = 40;
  f.C_Initialize = p11mock_Initialize;
  f.C_Finalize = p11mock_Finalize;
  f.C_GetInfo = mockGetInfo;
  f.C_GetFunctionList = p11mock_GetFunctionList;
  f.C_GetSlotList = p11mock_GetSlotList;
  f.C_GetSlotInfo = p11mock_GetSlotInfo;
  f.C_GetTokenInfo = mockGetTokenInfo;
  f.C_GetMechanismList = mockGetMechanismList;
  f.C_GetMechanismInfo = mockGetMechanismInfo;
  f.C_InitToken = unsupported_InitToken;
  f.C_InitPIN = unsupported_InitPIN;
  f.C_SetPIN = unsupported_SetPIN;
  f.C_OpenSession = p11mock_OpenSession;
  f.C_CloseSession = p11mock_CloseSession;
  f.C_CloseAllSessions = mockCloseAllSessions;
  f.C_GetSessionInfo = mockGetSessionInfo;
  f.C_GetOperationState = unsupported_GetOperationState;
  f.C_SetOperationState = unsupported_SetOperationState;
  f.C_Login = p11mock_Login;
  f.C_Logout = p11mock_Logout;
  f.C_CreateObject = unsupported_CreateObject;
  f.C_CopyObject = unsupported_CopyObject;
  f.C_DestroyObject = p11mock_DestroyObject;
  f.C_GetObjectSize = unsupported_GetObjectSize;
  f.C_GetAttributeValue = p11mock_GetAttributeValue;
  f.C_SetAttributeValue = unsupported_SetAttributeValue;
  f.C_FindObjectsInit = p11mock_FindObjectsInit;
  f.C_FindObjects = p11mock_FindObjects;
  f.C_FindObjectsFinal = p11mock_FindObjectsFinal;
  f.C_EncryptInit = unsupported_EncryptInit;
  f.C_Encrypt = unsupported_Encrypt;
  f.C_EncryptUpdate = unsupported_EncryptUpdate;
  f.C_EncryptFinal = unsupported_EncryptFinal;
  f.C_DecryptInit = unsupported_DecryptInit;
  f.C_Decrypt = unsupported_Decrypt;
  f.C_DecryptUpdate = unsupported_DecryptUpdate;
  f.C_DecryptFinal = unsupported_DecryptFinal;
  f.C_DigestInit = unsupported_DigestInit;
  f.C_Digest = unsupported_Digest;
  f.C_DigestUpdate = unsupported_DigestUpdate;
  f.C_DigestKey = unsupported_DigestKey;
  f.C_DigestFinal = unsupported_DigestFinal;
  f.C_SignInit = p11mock_SignInit;
  f.C_Sign = p11mock_Sign;
  f.C_SignUpdate = unsupported_SignUpdate;
  f.C_SignFinal = unsupported_SignFinal;
  f.C_SignRecoverInit = unsupported_SignRecoverInit;
  f.C_SignRecover = unsupported_SignRecover;
  f.C_VerifyInit = unsupported_VerifyInit;
  f.C_Verify = unsupported_Verify;
  f.C_VerifyUpdate = unsupported_VerifyUpdate;
  f.C_VerifyFinal = unsupported_VerifyFinal;
  f.C_VerifyRecoverInit = unsupported_VerifyRecoverInit;
  f.C_VerifyRecover = unsupported_VerifyRecover;
  f.C_DigestEncryptUpdate = unsupported_DigestEncryptUpdate;
  f.C_DecryptDigestUpdate = unsupported_DecryptDigestUpdate;
  f.C_SignEncryptUpdate = unsupported_SignEncryptUpdate;
  f.C_DecryptVerifyUpdate = unsupported_DecryptVerifyUpdate;
  f.C_GenerateKey = unsupported_GenerateKey;
  f.C_GenerateKeyPair = p11mock_GenerateKeyPair;
  f.C_WrapKey = unsupported_WrapKey;
  f.C_UnwrapKey = unsupported_UnwrapKey;
  f.C_DeriveKey = unsupported_DeriveKey;
  f.C_SeedRandom = unsupported_SeedRandom;
  f.C_GenerateRandom = unsupported_GenerateRandom;
  f.C_GetFunctionStatus = unsupported_GetFunctionStatus;
  f.C_CancelFunction = unsupported_CancelFunction;
  f.C_WaitForSlotEvent = unsupported_WaitForSlotEvent;
  return f;
}

CK_FUNCTION_LIST g_functionList = makeFunctionList();

std::string initArgsText(const CK_C_INITIALIZE_ARGS* a) {
  if (!a) return "NULL";
  std::string s = "{flags=" + hexNum(a->flags);
  if (a->CreateMutex || a->DestroyMutex || a->LockMutex || a->UnlockMutex) s += ", callbacks";
  if (a->pReserved) s += ", reserved";
  return s + "}";
}

}  // namespace

// ---------------------------------------------------------------------------
// The entry points that the export shims name.

extern "C" {

CK_RV p11mock_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
  Call c("C_GetFunctionList");
  c.arg(ptrText(ppFunctionList));
  CK_RV rv;
  if (g.initialized && c.scripted(g.d, rv)) return c.done(rv);
  if (!ppFunctionList) return c.done(CKR_ARGUMENTS_BAD);
  *ppFunctionList = &g_functionList;
  return c.done(CKR_OK);
}

CK_RV p11mock_Initialize(CK_VOID_PTR pInitArgs) {
  Call c("C_Initialize");
  const CK_C_INITIALIZE_ARGS* args = static_cast<const CK_C_INITIALIZE_ARGS*>(pInitArgs);
  c.arg(initArgsText(args));
  CK_RV rv;
  if (g.initialized) {
    if (c.scripted(g.d, rv)) return c.done(rv);
    return c.done(CKR_CRYPTOKI_ALREADY_INITIALIZED);
  }
  Description d;
  const char* conf = std::getenv("TEST_MODULE_CONF");
  if (conf && *conf) {
    std::string err;
    switch (Parser(conf, d).run(err)) {
      case Load::Ok:
        break;
      case Load::Unreadable:
        complain(std::string("cannot read ") + conf + ", the module has no slots");
        d = Description();
        break;
      case Load::Invalid:
        complain(err);
        return c.done(CKR_GENERAL_ERROR);
    }
  }
  if (c.scripted(d, rv)) return c.done(rv);
  if (args) {
    const bool any = args->CreateMutex || args->DestroyMutex || args->LockMutex || args->UnlockMutex;
    const bool all = args->CreateMutex && args->DestroyMutex && args->LockMutex && args->UnlockMutex;
    if (args->pReserved || (any && !all)) return c.done(CKR_ARGUMENTS_BAD);
  }
  g.d = std::move(d);
  g.sessions.clear();
  g.nextSession = 1;
  g.slotListCalls = 0;
  g.initialized = true;
  return c.done(CKR_OK);
}

CK_RV p11mock_Finalize(CK_VOID_PTR pReserved) {
  Call c("C_Finalize");
  c.arg(ptrText(pReserved));
  CK_RV rv;
  if (c.blocked(rv)) return c.done(rv);
  if (pReserved) return c.done(CKR_ARGUMENTS_BAD);
  const std::string check = g.d.checkPinWiped ? pinCheck() : std::string();
  releaseOpenSsl();
  g.d = Description();
  g.sessions.clear();
  g.initialized = false;
  rv = c.done(CKR_OK, check);
  g.calls.clear();  // the next cycle counts its calls afresh
  return rv;
}

// IDs that a claim-slots module hands out past its real slots.
const CK_SLOT_ID kUnknownSlotBase = 0x7fff0000;

CK_RV p11mock_GetSlotList(CK_BBOOL tokenPresentOnly, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
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

CK_RV p11mock_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
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

CK_RV p11mock_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR pApplication, CK_NOTIFY Notify,
                          CK_SESSION_HANDLE_PTR phSession) {
  Call c("C_OpenSession");
  c.arg(decNum(slotID));
  c.arg(hexNum(flags));
  c.arg(ptrText(pApplication));
  c.arg(Notify ? "ptr" : "NULL");
  c.arg(ptrText(phSession));
  CK_RV rv;
  if (c.blocked(rv)) return c.done(rv);
  if (!phSession) return c.done(CKR_ARGUMENTS_BAD);
  size_t index = 0;
  Slot* s = findSlot(slotID, &index);
  if (!s) return c.done(CKR_SLOT_ID_INVALID);
  if (!tokenPresent(*s)) return c.done(CKR_TOKEN_NOT_PRESENT);
  if (!(flags & CKF_SERIAL_SESSION)) return c.done(CKR_SESSION_PARALLEL_NOT_SUPPORTED);
  if ((flags & CKF_RW_SESSION) && s->readOnly) return c.done(CKR_TOKEN_WRITE_PROTECTED);
  Session session;
  session.slot = index;
  session.flags = flags;
  const CK_SESSION_HANDLE h = g.nextSession++;
  g.sessions[h] = session;
  *phSession = h;
  return c.done(CKR_OK, decNum(h));
}

CK_RV p11mock_CloseSession(CK_SESSION_HANDLE hSession) {
  Call c("C_CloseSession");
  c.arg(decNum(hSession));
  CK_RV rv;
  if (c.blocked(rv)) return c.done(rv);
  auto it = g.sessions.find(hSession);
  if (it == g.sessions.end()) return c.done(CKR_SESSION_HANDLE_INVALID);
  closeSession(it);
  return c.done(CKR_OK);
}

CK_RV p11mock_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
  Call c("C_Login");
  c.arg(decNum(hSession));
  c.arg(decNum(userType));
  // While the PIN is being looked for in memory, the log shows it as stars:
  // building the quoted text would leave clear copies behind.
  if (!pPin)
    c.arg("NULL");
  else if (g.initialized && g.d.checkPinWiped)
    c.arg("\"" + std::string(ulPinLen < 256 ? ulPinLen : 256, '*') + "\"");
  else
    c.arg(quoted(pPin, ulPinLen));
  c.arg(decNum(ulPinLen));
  CK_RV rv;
  Session* s = sessionForCall(c, hSession, rv);
  if (!s) return c.done(rv);
  if (userType != CKU_USER) return c.done(CKR_USER_TYPE_INVALID);
  Slot& slot = g.d.slots[s->slot];
  if (slot.loggedIn) return c.done(CKR_USER_ALREADY_LOGGED_IN);
  if (!pPin && ulPinLen) return c.done(CKR_ARGUMENTS_BAD);
  if (!matchesMasked(pPin, ulPinLen, slot.pin)) return c.done(CKR_PIN_INCORRECT);
  slot.loggedIn = true;
  return c.done(CKR_OK);
}

CK_RV p11mock_Logout(CK_SESSION_HANDLE hSession) {
  Call c("C_Logout");
  c.arg(decNum(hSession));
  CK_RV rv;
  Session* s = sessionForCall(c, hSession, rv);
  if (!s) return c.done(rv);
  Slot& slot = g.d.slots[s->slot];
  if (!slot.loggedIn) return c.done(CKR_USER_NOT_LOGGED_IN);
  slot.loggedIn = false;
  return c.done(CKR_OK);
}

CK_RV p11mock_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
  Call c("C_DestroyObject");
  c.arg(decNum(hSession));
  c.arg(decNum(hObject));
  CK_RV rv;
  Session* s = sessionForCall(c, hSession, rv);
  if (!s) return c.done(rv);
  if (!(s->flags & CKF_RW_SESSION)) return c.done(CKR_SESSION_READ_ONLY);
  Object* o = visibleObject(*s, hObject);
  if (!o) return c.done(CKR_OBJECT_HANDLE_INVALID);
  o->destroyed = true;
  return c.done(CKR_OK);
}

CK_RV p11mock_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                                CK_ULONG ulCount) {
  Call c("C_GetAttributeValue");
  c.arg(decNum(hSession));
  c.arg(decNum(hObject));
  c.arg(queryTemplate(pTemplate, ulCount));
  c.arg(decNum(ulCount));
  CK_RV rv;
  Session* s = sessionForCall(c, hSession, rv);
  if (!s) return c.done(rv);
  if (!pTemplate && ulCount) return c.done(CKR_ARGUMENTS_BAD);
  Object* o = visibleObject(*s, hObject);
  if (!o) return c.done(CKR_OBJECT_HANDLE_INVALID);
  rv = CKR_OK;
  std::vector<std::string> parts;
  Bytes v;
  for (CK_ULONG i = 0; i < ulCount; ++i) {
    CK_ATTRIBUTE& a = pTemplate[i];
    bool copied = false;
    switch (attributeOf(*o, a.type, v)) {
      case Attr::Sensitive:
        a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        rv = CKR_ATTRIBUTE_SENSITIVE;
        break;
      case Attr::Missing:
        a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        rv = CKR_ATTRIBUTE_TYPE_INVALID;
        break;
      case Attr::Value:
        if (!a.pValue) {
          a.ulValueLen = v.size();
        } else if (a.ulValueLen >= v.size()) {
          if (!v.empty()) std::memcpy(a.pValue, v.data(), v.size());
          a.ulValueLen = v.size();
          copied = true;
        } else {
          a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
          rv = CKR_BUFFER_TOO_SMALL;
        }
        break;
    }
    if (copied && holdsUlong(a))
      parts.push_back(hexNum(a.type) + "=" + hexNum(ulongValue(a)));
    else
      parts.push_back(hexNum(a.type) + ":len=" + lengthText(a.type, a.ulValueLen));
  }
  return c.done(rv, "{" + join(parts) + "}");
}

CK_RV p11mock_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
  Call c("C_FindObjectsInit");
  c.arg(decNum(hSession));
  c.arg(valueTemplate(pTemplate, ulCount));
  c.arg(decNum(ulCount));
  CK_RV rv;
  Session* s = sessionForCall(c, hSession, rv);
  if (!s) return c.done(rv);
  if (s->finding) return c.done(CKR_OPERATION_ACTIVE);
  if (!pTemplate && ulCount) return c.done(CKR_ARGUMENTS_BAD);
  for (CK_ULONG i = 0; i < ulCount; ++i)
    if (!pTemplate[i].pValue && pTemplate[i].ulValueLen) return c.done(CKR_ATTRIBUTE_VALUE_INVALID);
  s->found.clear();
  for (CK_OBJECT_HANDLE h = 1; h <= g.d.objects.size(); ++h) {
    const Object* o = visibleObject(*s, h);
    if (o && matches(*o, pTemplate, ulCount)) s->found.push_back(h);
  }
  s->next = 0;
  s->finding = true;
  return c.done(CKR_OK);
}

CK_RV p11mock_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                          CK_ULONG_PTR pulObjectCount) {
  Call c("C_FindObjects");
  c.arg(decNum(hSession));
  c.arg(ptrText(phObject));
  c.arg(decNum(ulMaxObjectCount));
  c.arg(ptrText(pulObjectCount));
  CK_RV rv;
  Session* s = sessionForCall(c, hSession, rv);
  if (!s) return c.done(rv);
  if (!s->finding) return c.done(CKR_OPERATION_NOT_INITIALIZED);
  if (!phObject || !pulObjectCount) return c.done(CKR_ARGUMENTS_BAD);
  CK_ULONG n = 0;
  if (g.d.findForever) {
    // A hostile module: the search never ends.
    if (ulMaxObjectCount > 0) {
      if (s->found.empty()) {
        phObject[0] = CK_INVALID_HANDLE;
      } else {
        phObject[0] = s->found[s->next % s->found.size()];
        s->next = (s->next + 1) % s->found.size();
      }
      n = 1;
    }
  } else {
    while (n < ulMaxObjectCount && s->next < s->found.size()) phObject[n++] = s->found[s->next++];
  }
  *pulObjectCount = n;
  return c.done(CKR_OK, decNum(n) + " " + handleList(phObject, n));
}

CK_RV p11mock_FindObjectsFinal(CK_SESSION_HANDLE hSession) {
  Call c("C_FindObjectsFinal");
  c.arg(decNum(hSession));
  CK_RV rv;
  Session* s = sessionForCall(c, hSession, rv);
  if (!s) return c.done(rv);
  if (!s->finding) return c.done(CKR_OPERATION_NOT_INITIALIZED);
  s->finding = false;
  s->found.clear();
  s->next = 0;
  return c.done(CKR_OK);
}

CK_RV p11mock_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
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

CK_RV p11mock_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
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

CK_RV p11mock_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                              CK_ATTRIBUTE_PTR pPublicKeyTemplate, CK_ULONG ulPublicKeyAttributeCount,
                              CK_ATTRIBUTE_PTR pPrivateKeyTemplate, CK_ULONG ulPrivateKeyAttributeCount,
                              CK_OBJECT_HANDLE_PTR phPublicKey, CK_OBJECT_HANDLE_PTR phPrivateKey) {
  Call c("C_GenerateKeyPair");
  c.arg(decNum(hSession));
  c.arg(mechanismText(pMechanism));
  c.arg(valueTemplate(pPublicKeyTemplate, ulPublicKeyAttributeCount));
  c.arg(decNum(ulPublicKeyAttributeCount));
  c.arg(valueTemplate(pPrivateKeyTemplate, ulPrivateKeyAttributeCount));
  c.arg(decNum(ulPrivateKeyAttributeCount));
  c.arg(ptrText(phPublicKey));
  c.arg(ptrText(phPrivateKey));
  CK_RV rv;
  Session* s = sessionForCall(c, hSession, rv);
  if (!s) return c.done(rv);
  if (!pMechanism || !phPublicKey || !phPrivateKey) return c.done(CKR_ARGUMENTS_BAD);
  if ((!pPublicKeyTemplate && ulPublicKeyAttributeCount) || (!pPrivateKeyTemplate && ulPrivateKeyAttributeCount))
    return c.done(CKR_ARGUMENTS_BAD);
  if (pMechanism->mechanism != CKM_GOSTR3410_KEY_PAIR_GEN) return c.done(CKR_MECHANISM_INVALID);
  if (!(s->flags & CKF_RW_SESSION)) return c.done(CKR_SESSION_READ_ONLY);
  if (!g.d.slots[s->slot].loggedIn) return c.done(CKR_USER_NOT_LOGGED_IN);
  // A new pair signs like a fake-key: deterministic and without the engine.
  Object priv;
  priv.slot = s->slot;
  priv.cls = CKO_PRIVATE_KEY;
  priv.isPrivate = true;
  priv.isKey = true;
  priv.signer = Signer::Fake;
  Object pub;
  pub.slot = s->slot;
  pub.cls = CKO_PUBLIC_KEY;
  pub.isKey = true;
  g.d.objects.push_back(priv);
  *phPrivateKey = g.d.objects.size();
  g.d.objects.push_back(pub);
  *phPublicKey = g.d.objects.size();
  return c.done(CKR_OK, decNum(*phPublicKey) + ", " + decNum(*phPrivateKey));
}

}  // extern "C"
