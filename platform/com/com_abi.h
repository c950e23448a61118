#pragma once
// The binary shapes of COM and OLE automation: the system's own SDK headers
// on Windows, the project's declarations of the same shapes elsewhere. Both
// twins offer the same names; text helpers for the one difference code must
// care about (OLECHAR is wchar_t on Windows, char16_t elsewhere) are in
// platform/com/abi_cast.h.
#if defined(_WIN32)
#include "platform/com/com_abi_win32.h"
#else
#include "platform/com/com_abi_posix.h"
#endif
