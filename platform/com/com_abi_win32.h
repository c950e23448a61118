#pragma once
// COM and OLE automation on Windows: the SDK headers, plus the few names the
// driver uses that the SDK does not define. Everything else (interfaces,
// VARIANT, HRESULTs, the standard interface ids) is the system's own.
#include <oaidl.h>
#include <ocidl.h>
#include <ole2.h>
#include <olectl.h>
#include <windows.h>

#include <cstdint>

// The standard OLE type library (stdole2.tlb) and its OLE_COLOR alias.
inline constexpr GUID LIBID_STDOLE = {0x00020430, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr GUID GUID_OLE_COLOR = {
    0x66504301, 0xBE0F, 0x101A, {0x8B, 0xBB, 0x00, 0xAA, 0x00, 0x30, 0x0C, 0xAB}};
