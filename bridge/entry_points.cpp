#include "entry_points.h"

#include <dlfcn.h>

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
    if (complete)
        return;

    CK_C_GetFunctionList getFunctionList =
        reinterpret_cast<CK_C_GetFunctionList>(::dlsym(module, "C_GetFunctionList"));
    CK_FUNCTION_LIST_PTR list = nullptr;
    if (!getFunctionList || getFunctionList(&list) != CKR_OK || !list)
        return;
#define X(name) if (!_C_##name) _C_##name = list->C_##name;
#include "entry_point_list.h"
#undef X
}
