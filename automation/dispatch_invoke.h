#pragma once
// Late-bound access to ITarvo: the IDispatch::GetIDsOfNames and
// IDispatch::Invoke of the dual interface, driven by the type library.
//
// The control's own IDispatch functions forward here:
//   GetIDsOfNames(riid, names, n, lcid, ids)
//       -> GetIDsOfNamesITarvo(riid, names, n, lcid, ids)
//   Invoke(id, riid, lcid, flags, params, result, excep, argErr)
//       -> riid must be IID_NULL (else DISP_E_UNKNOWNINTERFACE), then
//          InvokeITarvo(this, id, flags, params, result, excep, argErr)
#include "automation/TarvoMDrv_TLB.h"
#include "platform/com/com_abi.h"

// Calls the ITarvo member `id` of `self` through its function table.
//
// - DISPATCH_PROPERTYPUT and DISPATCH_PROPERTYPUTREF are merged; the first
//   entry in table order with the DISPID and a matching kind is called (for
//   Font that is the put, whichever flag the caller used).
// - Arguments come last-first; a put carries its value as the named argument
//   DISPID_PROPERTYPUT, a method may name its parameters by position.
// - Every argument except the retval must be supplied (DISP_E_BADPARAMCOUNT).
// - Each argument is converted to the declared type (a VT_BYREF|VT_VARIANT
//   argument is dereferenced first); on failure the conversion's error is
//   returned (DISP_E_TYPEMISMATCH, DISP_E_OVERFLOW) with *argErr set to the
//   argument's index in rgvarg.
// - An in/out parameter passed as VT_BYREF|<declared type> or
//   VT_BYREF|VT_VARIANT gets the member's value written back; passed by
//   value, it is an input only.
// - The retval goes to *result; a member without one leaves *result VT_EMPTY.
// - A member that fails gives DISP_E_EXCEPTION with *excep filled from the
//   thread's error information (source, description, help) and scode = its
//   HRESULT.
// - Unknown DISPID or no entry of the requested kind: DISP_E_MEMBERNOTFOUND.
HRESULT InvokeITarvo(ITarvo* self, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                     EXCEPINFO* excep, UINT* argErr);

// Member and parameter names of ITarvo (case-insensitive) to DISPIDs and
// parameter positions. riid must be IID_NULL.
HRESULT GetIDsOfNamesITarvo(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids);
