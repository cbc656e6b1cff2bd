#include "bridge_state.h"

#define X(name) CK_C_##name _C_##name = nullptr;
#include "entry_point_list.h"
#undef X

CK_RV rv = 0;
CK_SESSION_HANDLE session = 0;
CK_OBJECT_HANDLE userCert = 0;
char* ch_readName = nullptr;
const char* stepLabel = nullptr;
bool responseFailed = false;
const std::string base64_chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
