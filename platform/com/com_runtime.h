#pragma once
// The COM runtime stand-in (libtarvocom.so): the OLE automation helpers a host
// and the module both use, with their usual names and semantics.
#include <string>
#include <vector>

#include "platform/com/com_abi.h"

extern "C" {

// BSTR: UTF-16 text preceded by a 32-bit byte length, ending in a 16-bit zero.
BSTR SysAllocString(const OLECHAR* psz);
BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch);
BSTR SysAllocStringByteLen(const char* psz, UINT len);
INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
void SysFreeString(BSTR bstr);
UINT SysStringLen(BSTR bstr);
UINT SysStringByteLen(BSTR bstr);

// VARIANT helpers with the reference coercion rules.
void VariantInit(VARIANTARG* pvarg);
HRESULT VariantClear(VARIANTARG* pvarg);
HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);
HRESULT VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc);
HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags,
                          VARTYPE vt);
inline constexpr USHORT VARIANT_NOVALUEPROP = 0x1;
inline constexpr USHORT VARIANT_ALPHABOOL = 0x2;

// Error information, per thread.
HRESULT SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo);
HRESULT GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo);
HRESULT CreateErrorInfo(ICreateErrorInfo** pperrinfo);

// GUID text forms: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
HRESULT CLSIDFromString(LPCOLESTR lpsz, CLSID* pclsid);
int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, CLSID* lpclsid);

// Class activation through the registry: CLSID\{clsid}\InprocServer32 names
// the module, which is loaded with dlopen and asked via DllGetClassObject.
inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, void* pvReserved, REFIID riid,
                         void** ppv);
HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid,
                         void** ppv);

// The standard font object.
struct FONTDESC {
  UINT cbSizeofstruct;
  LPOLESTR lpstrName;
  CY cySize;  // points, fixed point with four decimals
  SHORT sWeight;
  SHORT sCharset;
  BOOL fItalic;
  BOOL fUnderline;
  BOOL fStrikethrough;
};
HRESULT OleCreateFontIndirect(FONTDESC* lpFontDesc, REFIID riid, void** lplpvObj);

}  // extern "C"

namespace tarvo::com {

// The registry stand-in: a text file in the registry-export format
//   Windows Registry Editor Version 5.00
//   [HKEY_CLASSES_ROOT\CLSID\{...}]
//   @="default value"
//   "Name"="value"
// at $TARVO_REGISTRY, or $XDG_CONFIG_HOME/tarvomdrv/registry.reg (default
// ~/.config/tarvomdrv/registry.reg). Keys are paths below HKEY_CLASSES_ROOT
// with "\" separators, compared case-insensitively; the value name "" is the
// default value. Every change is one read-modify-write under an exclusive
// lock, written atomically (temporary file + rename). Strings are UTF-8.
namespace registry {

std::string StorePath();
// Creates the key (and its parents) if missing. S_OK or E_ACCESSDENIED/E_FAIL.
HRESULT CreateKey(const std::string& key);
// Creates the key if missing and sets a text value.
HRESULT SetValue(const std::string& key, const std::string& name, const std::string& value);
// True when the key exists and has the value; `value` receives it.
bool GetValue(const std::string& key, const std::string& name, std::string& value);
bool KeyExists(const std::string& key);
// Deletes one key with its values; a key with subkeys is not deleted
// (E_ACCESSDENIED); a missing key gives S_FALSE.
HRESULT DeleteKey(const std::string& key);
// Every key in the store, in file order (for tests and tools).
std::vector<std::string> Keys();

}  // namespace registry

// UTF-16 <-> BSTR conveniences.
BSTR AllocBstr(const std::u16string& text);
std::u16string BstrText(BSTR bstr);

}  // namespace tarvo::com

// --- The thread's message loop ----------------------------------------------
// Each thread has one message loop, created on first use: the stand-in for a
// thread's window message queue. Controls created on a thread put their timers
// on it; the host pumps it (or hands its descriptor to its own event loop).
namespace tarvo::platform {
class MessageLoop;
}
namespace tarvo::com {
platform::MessageLoop& ThreadMessageLoop();
}  // namespace tarvo::com

extern "C" {
// Runs what is due on the calling thread's loop; never blocks.
void TarvoProcessPendingMessages();
// Readable while the calling thread's loop has work (see MessageLoop).
int TarvoMessageLoopFd();
// Milliseconds until the calling thread's next timer is due, -1 for none.
int TarvoMessageLoopTimeoutMs();
}
