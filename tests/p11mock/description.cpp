#include "description.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <fstream>
#include <limits>

namespace p11mock {

void setPadded(unsigned char* field, size_t width, const std::string& text) {
  std::memset(field, ' ', width);
  std::memcpy(field, text.data(), text.size() < width ? text.size() : width);
}

namespace {

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
    if (kw == "chdir" || kw == "run") {
      EffectRule r;
      if (w.size() < 2 || (kw == "chdir" && w.size() != 2))
        return fail("usage: " + kw + (kw == "chdir" ? " <function> <folder>" : " <function> <command>"));
      if (!knownFunction(w[0]) && w[0] != "load") return fail("unknown function " + w[0]);
      r.function = w[0];
      r.effect = kw == "chdir" ? Effect::Chdir : Effect::Run;
      r.text = kw == "chdir" ? resolve(w[1]) : rest.substr(rest.find(w[0]) + w[0].size() + 1);
      d_.effects.push_back(r);
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
      if (!knownFunction(w[0]) && w[0] != "load") return fail("unknown function " + w[0]);
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
    if (kw == "null-entry") {
      if (w.size() != 1 || !knownFunction(w[0])) return fail("usage: null-entry <function>");
      d_.nullEntries.push_back(w[0]);
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

}  // namespace

Load loadDescription(const std::string& path, Description& d, std::string& err) {
  return Parser(path, d).run(err);
}

}  // namespace p11mock
