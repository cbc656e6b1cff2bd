// Start and end of the module: C_Initialize reads the description, C_Finalize
// drops everything.
#include "call_log.h"
#include "description.h"
#include "module_state.h"

#include <cstdlib>

namespace p11mock {

State g;

namespace {

// The description's rules for "load" act while the library is being loaded,
// as a module's constructor would: before the program can call anything.
// Only a library whose description has such rules logs the "load" line.
bool actAtLoad() {
  const char* conf = std::getenv("TEST_MODULE_CONF");
  Description d;
  std::string err;
  if (!conf || !*conf || loadDescription(conf, d, err) != Load::Ok) return false;
  bool any = false;
  for (const FailRule& r : d.fails) any = any || r.function == "load";
  for (const EffectRule& e : d.effects) any = any || e.function == "load";
  if (!any) return false;
  Call c("load");
  CK_RV rv;
  c.scripted(d, rv);
  c.done(CKR_OK);
  return true;
}

// After g: it needs the module's state, which is built first in this file.
[[maybe_unused]] const bool actedAtLoad = actAtLoad();

std::string initArgsText(const CK_C_INITIALIZE_ARGS* a) {
  if (!a) return "NULL";
  std::string s = "{flags=" + hexNum(a->flags);
  if (a->CreateMutex || a->DestroyMutex || a->LockMutex || a->UnlockMutex) s += ", callbacks";
  if (a->pReserved) s += ", reserved";
  return s + "}";
}

}  // namespace
}  // namespace p11mock

using namespace p11mock;

CK_RV C_Initialize(CK_VOID_PTR pInitArgs) {
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
    switch (loadDescription(conf, d, err)) {
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
  for (const std::string& name : g.d.nullEntries) clearListEntry(name);
  g.sessions.clear();
  g.nextSession = 1;
  g.slotListCalls = 0;
  g.initialized = true;
  return c.done(CKR_OK);
}

CK_RV C_Finalize(CK_VOID_PTR pReserved) {
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
