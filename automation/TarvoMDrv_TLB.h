#pragma once
// C++ declarations of the type library TarvoMDrv 1.0, expanded from
// tarvo_tlb.def: the GUIDs, the enumerations, the DISPIDs and the dual
// interface ITarvo with its function table in binding order (the seven
// IUnknown/IDispatch entries, then the 53 members).
//
// Signatures follow the MIDL conventions: a property get is
// `HRESULT get_X(T* Value)`, a put `HRESULT put_X(T Value)`, a putref
// `HRESULT putref_X(T* Value)`; in/out and retval parameters are pointers.
#include <cstdint>

#include "platform/com/com_abi.h"

// Parameter spelling used when a function of the definition becomes a C++
// function name.
#define TARVO_TLB_CXXNAME_GET(name) get_##name
#define TARVO_TLB_CXXNAME_PUT(name) put_##name
#define TARVO_TLB_CXXNAME_PUTREF(name) putref_##name
#define TARVO_TLB_CXXNAME_METHOD(name) name
#define TARVO_TLB_CXXNAME(kind, name) TARVO_TLB_CXXNAME_##kind(name)
#define TARVO_TLB_GUID_INIT(d1, d2, d3, b0, b1, b2, b3, b4, b5, b6, b7) \
  { d1, d2, d3, { b0, b1, b2, b3, b4, b5, b6, b7 } }

// --- GUIDs -------------------------------------------------------------------
#define TARVO_TLB_LIBRARY(name, symbol, guid, major, minor, lcid, help) \
  inline constexpr GUID symbol = TARVO_TLB_GUID_INIT guid;
#define TARVO_TLB_DUAL_BEGIN(name, symbol, guid, help) inline constexpr IID symbol = TARVO_TLB_GUID_INIT guid;
#define TARVO_TLB_DISP_BEGIN(name, symbol, guid, help) inline constexpr IID symbol = TARVO_TLB_GUID_INIT guid;
#define TARVO_TLB_COCLASS(name, symbol, guid, help, iface, source) \
  inline constexpr CLSID symbol = TARVO_TLB_GUID_INIT guid;
#define TARVO_TLB_ENUM_BEGIN(name, symbol, guid) inline constexpr GUID symbol = TARVO_TLB_GUID_INIT guid;
#include "automation/tarvo_tlb.def"

// The event interface is a dispinterface; its interface id under the usual
// name as well.
inline constexpr const IID& IID_ITarvoEvents = DIID_ITarvoEvents;

// --- Enumerations --------------------------------------------------------------
#define TARVO_TLB_ENUM_BEGIN(name, symbol, guid) enum name : std::int32_t {
#define TARVO_TLB_ENUM_VALUE(enum_name, name, value) name = value,
#define TARVO_TLB_ENUM_END(name) };
#include "automation/tarvo_tlb.def"

// --- C++ types of the automation types ---------------------------------------
namespace tarvo::tlb::ctype {
#define TARVO_TLB_TYPE(token, cxx, vt, coerce_vt, idl) using token = cxx;
#include "automation/tarvo_tlb.def"
}  // namespace tarvo::tlb::ctype

// --- DISPIDs -------------------------------------------------------------------
// One constant per ITarvo member (properties by their getter) and per event:
// tarvo::dispid::SendPlu, tarvo::dispid::Visible, tarvo::dispid::OnSell ...
namespace tarvo::dispid {
#define TARVO_TLB_DISPID_GET(name, id) inline constexpr DISPID name = id;
#define TARVO_TLB_DISPID_METHOD(name, id) inline constexpr DISPID name = id;
#define TARVO_TLB_DISPID_PUT(name, id)
#define TARVO_TLB_DISPID_PUTREF(name, id)
#define TARVO_TLB_FUNC(iface, kind, name, dispid, flag, ...) TARVO_TLB_DISPID_##kind(name, dispid)
#define TARVO_TLB_EVENT(iface, name, dispid, ...) inline constexpr DISPID name = dispid;
#include "automation/tarvo_tlb.def"
#undef TARVO_TLB_DISPID_GET
#undef TARVO_TLB_DISPID_METHOD
#undef TARVO_TLB_DISPID_PUT
#undef TARVO_TLB_DISPID_PUTREF
}  // namespace tarvo::dispid

// --- ITarvo ----------------------------------------------------------------------
#define TARVO_TLB_IN(type, name) ::tarvo::tlb::ctype::type name
#define TARVO_TLB_INOUT(type, name) ::tarvo::tlb::ctype::type* name
#define TARVO_TLB_RETVAL(type, name) ::tarvo::tlb::ctype::type* name
#define TARVO_TLB_PUTVAL(type) ::tarvo::tlb::ctype::type Value
#define TARVO_TLB_PUTREFVAL(type) ::tarvo::tlb::ctype::type* Value
#define TARVO_TLB_DUAL_BEGIN(name, symbol, guid, help) struct name : IDispatch {
#define TARVO_TLB_FUNC(iface, kind, name, dispid, flag, ...) \
  virtual HRESULT STDMETHODCALLTYPE TARVO_TLB_CXXNAME(kind, name)(__VA_ARGS__) = 0;
#define TARVO_TLB_DUAL_END(name) };
#include "automation/tarvo_tlb.def"

// Position of the first ITarvo member in the function table, after
// QueryInterface, AddRef, Release, GetTypeInfoCount, GetTypeInfo,
// GetIDsOfNames and Invoke.
inline constexpr int kITarvoFirstMemberSlot = 7;
