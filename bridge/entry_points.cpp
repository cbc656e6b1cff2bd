#include "entry_points.h"

#include <dlfcn.h>

namespace {
// The names of the entry points a run may call that the module provides
// neither by name nor in its function list, as "C_Login, C_Sign".
std::string missingNames;

void noteMissingEntryPoints()
{
    missingNames.clear();
#define OPTIONAL_ENTRY(name)
#define X(name) \
    if (!_C_##name) \
        missingNames += (missingNames.empty() ? "C_" : ", C_") + std::string(#name);
#include "entry_point_list.h"
#undef X
#undef OPTIONAL_ENTRY
}
} // namespace

void bindEntryPoints(void* module)
{
#define X(name) _C_##name = reinterpret_cast<CK_C_##name>(::dlsym(module, "C_" #name));
#include "entry_point_list.h"
#undef X

    // Every entry point that a run may call is there: the function list is not needed.
    bool complete = true;
#define OPTIONAL_ENTRY(name)
#define X(name) complete = complete && _C_##name;
#include "entry_point_list.h"
#undef X
#undef OPTIONAL_ENTRY
    if (complete) {
        missingNames.clear();
        return;
    }

    CK_C_GetFunctionList getFunctionList =
        reinterpret_cast<CK_C_GetFunctionList>(::dlsym(module, "C_GetFunctionList"));
    CK_FUNCTION_LIST_PTR list = nullptr;
    if (getFunctionList && getFunctionList(&list) == CKR_OK && list) {
#define X(name) if (!_C_##name) _C_##name = list->C_##name;
#include "entry_point_list.h"
#undef X
    }
    noteMissingEntryPoints();
}

const std::string& missingEntryPoints()
{
    return missingNames;
}
