#pragma once
// The OLE automation functions of the COM runtime stand-in (libtarvocom.so),
// with their usual names and semantics. Windows has them in ole32/oleaut32.
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
