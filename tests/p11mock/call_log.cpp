#include "call_log.h"

#include "module_state.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace p11mock {

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

namespace {

// Attributes whose value is one CK_ULONG. Their lengths differ between the ABIs,
// so the log shows "ulong" instead of the number of bytes.
bool ulongAttribute(CK_ATTRIBUTE_TYPE t) {
  return t == CKA_CLASS || t == CKA_CERTIFICATE_TYPE || t == CKA_KEY_TYPE;
}

}  // namespace

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

void complain(const std::string& msg) { std::fprintf(stderr, "p11mock: %s\n", msg.c_str()); }

namespace {

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

// Appends the line whole, built before it is written, so that the lines of
// processes that share the log do not mix.
void writeLogLine(const std::string& line) {
  const char* path = std::getenv("TEST_MODULE_LOG");
  if (!path || !*path) return;
  int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  writeAllTo(fd, line + "\n");
  ::close(fd);
}

const FailRule* scriptedRule(const Description& d, const std::string& name, CK_ULONG nth) {
  for (const FailRule& r : d.fails)
    if (r.function == name && (r.nth == 0 || r.nth == nth)) return &r;
  return nullptr;
}

}  // namespace

Call::Call(const char* name) : guard_(g.lock), name_(name) { count_ = ++g.calls[name_]; }

bool Call::blocked(CK_RV& rv) {
  if (!g.initialized) {
    rv = CKR_CRYPTOKI_NOT_INITIALIZED;
    return true;
  }
  return scripted(g.d, rv);
}

bool Call::scripted(const Description& d, CK_RV& rv) {
  for (const EffectRule& e : d.effects) {
    if (e.function != name_) continue;
    if (e.effect == Effect::Chdir && ::chdir(e.text.c_str()) != 0)
      complain("cannot change to " + e.text + ": " + std::strerror(errno));
    if (e.effect == Effect::Run && std::system(e.text.c_str()) == -1)
      complain("cannot run " + e.text);
  }
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

CK_RV Call::done(CK_RV rv, const std::string& out) {
  std::string outcome = hexNum(rv);
  if (!out.empty()) outcome += " -> " + out;
  end(outcome);
  return rv;
}

void Call::end(const std::string& outcome) {
  writeLogLine(name_ + "(" + join(args_) + ") = " + outcome);
  if (g.initialized && !g.d.chatter.empty()) {
    writeAllTo(1, g.d.chatter + "\n");
    writeAllTo(2, g.d.chatter + "\n");
  }
}

}  // namespace p11mock
