// What the test module holds: the model a description builds, and the one
// process-wide state every entry point works on.
#pragma once

#include "pin_memory.h"

#include <p11-kit/pkcs11.h>

#include <openssl/engine.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace p11mock {

using Bytes = std::vector<unsigned char>;

enum class Signer { None, Gost, Fake };
enum class Token { Present, Absent, Appears };

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

// What a call does before its work (or before a scripted answer): change the
// process's working directory, or run a shell command and wait for it.
enum class Effect { Chdir, Run };

struct EffectRule {
  std::string function;  // a C_ name, or "load": while the library is being loaded
  Effect effect = Effect::Run;
  std::string text;  // the folder or the command
};

// Everything a description file says.
struct Description {
  std::vector<Slot> slots;
  std::vector<Object> objects;  // handle = index + 1
  std::vector<FailRule> fails;  // function "load": exit or crash while being loaded
  std::vector<EffectRule> effects;
  bool findForever = false;
  bool claimSlots = false;   // C_GetSlotList claims claimedSlots slots
  CK_ULONG claimedSlots = 0;
  std::string chatter;       // written to stdout and stderr by every call
  bool checkPinWiped = false;
  std::vector<std::string> nullEntries;  // function-list entries made null by C_Initialize
};

struct Session {
  size_t slot = 0;  // index into Description::slots
  CK_FLAGS flags = 0;
  bool finding = false;
  std::vector<CK_OBJECT_HANDLE> found;
  size_t next = 0;
  bool signing = false;
  CK_OBJECT_HANDLE signKey = 0;
};

struct State {
  std::mutex lock;  // held by every call (see Call)
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

// The module's whole state (lifecycle.cpp).
extern State g;

class Call;

// Slots (slots.cpp): whether the slot's token is there now; the slot with
// this ID, and its index, or null.
bool tokenPresent(const Slot& s);
Slot* findSlot(CK_SLOT_ID id, size_t* index = nullptr);

// Sessions (sessions.cpp): the preamble of every call on a session (not
// initialised, a failure scripted for this call, or no such session: null
// with `rv` set); closing one, which ends its token's login when it was the last.
Session* sessionForCall(Call& c, CK_SESSION_HANDLE h, CK_RV& rv);
void closeSession(std::map<CK_SESSION_HANDLE, Session>::iterator it);

// Objects (objects.cpp): the object behind a handle if this session may see it.
Object* visibleObject(const Session& s, CK_OBJECT_HANDLE h);

// Signing (signing.cpp): frees the engine and the loaded keys.
void releaseOpenSsl();

// The function list (function_list.cpp): whether a C_ name is one of its entries.
bool knownFunction(const std::string& name);
// Makes the list's entry for a C_ name null, for good (a module whose list has holes).
void clearListEntry(const std::string& name);

}  // namespace p11mock
