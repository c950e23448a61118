// ITarvo's late-bound Invoke: arguments are matched to the parameters of the
// type library, converted to the declared types and passed to the member
// through a call thunk generated per function-table entry from
// tarvo_tlb.def.
#include "automation/dispatch_invoke.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "automation/type_library.h"
#include "platform/com/com_runtime.h"

namespace {

using tarvo::tlb::FuncDef;
using tarvo::tlb::ParamDef;

constexpr std::size_t kMaxArgs = 16;

// One parameter's value for the duration of a call. `value` holds the
// argument converted to the declared type (or, for an out parameter, the
// value the member wrote) and is owned by the slot.
struct ArgSlot {
  VARIANT value;
};

// Reading and writing a parameter's C++ value in its slot.
template <class T>
T Read(const VARIANT& v) {
  if constexpr (std::is_enum_v<T>) {
    return static_cast<T>(v.lVal);
  } else if constexpr (std::is_same_v<T, BYTE>) {
    return v.bVal;
  } else if constexpr (std::is_same_v<T, SHORT>) {  // also VARIANT_BOOL
    return v.iVal;
  } else if constexpr (std::is_same_v<T, LONG>) {
    return v.lVal;
  } else if constexpr (std::is_same_v<T, ULONG>) {  // OLE_COLOR
    return v.ulVal;
  } else if constexpr (std::is_same_v<T, BSTR>) {
    return v.bstrVal;
  } else if constexpr (std::is_same_v<T, IFontDisp*>) {
    // The slot holds the object's IFontDisp interface (see Prepare).
    return static_cast<IFontDisp*>(v.pdispVal);
  } else {
    static_assert(!sizeof(T), "automation type without a slot accessor");
  }
}

template <class T>
void Write(VARIANT& v, T x) {
  if constexpr (std::is_enum_v<T>) {
    v.lVal = static_cast<LONG>(x);
  } else if constexpr (std::is_same_v<T, BYTE>) {
    v.bVal = x;
  } else if constexpr (std::is_same_v<T, SHORT>) {
    v.iVal = x;
  } else if constexpr (std::is_same_v<T, LONG>) {
    v.lVal = x;
  } else if constexpr (std::is_same_v<T, ULONG>) {
    v.ulVal = x;
  } else if constexpr (std::is_same_v<T, BSTR>) {
    v.bstrVal = x;
  } else if constexpr (std::is_same_v<T, IFontDisp*>) {
    v.pdispVal = x;
  } else {
    static_assert(!sizeof(T), "automation type without a slot accessor");
  }
}

// Whether a C++ parameter type is passed by value: scalars, enumerations,
// BSTR and interface pointers. Every other pointer is a reference to a value.
template <class A>
inline constexpr bool kByValue =
    !std::is_pointer_v<A> || std::is_same_v<A, BSTR> || std::is_same_v<A, IFontDisp*>;

// Passes a slot as a by-value argument.
template <class A, bool ByValue = kByValue<A>>
struct Binder {
  explicit Binder(ArgSlot& s) : slot(s) {}
  A get() { return Read<A>(slot.value); }
  void commit() {}
  ArgSlot& slot;
};

// Passes a slot as a pointer argument (in/out, retval, putref): the member
// works on a local of the exact C++ type, which goes back into the slot.
template <class A>
struct Binder<A, false> {
  using T = std::remove_pointer_t<A>;
  explicit Binder(ArgSlot& s) : slot(s), local(Read<T>(s.value)) {}
  A get() { return &local; }
  void commit() { Write<T>(slot.value, local); }
  ArgSlot& slot;
  T local;
};

template <class... A, std::size_t... I>
HRESULT CallIndexed(ITarvo* self, HRESULT (STDMETHODCALLTYPE ITarvo::*fn)(A...), ArgSlot* slots,
                    std::index_sequence<I...>) {
  std::tuple<Binder<A>...> args(slots[I]...);
  const HRESULT hr = (self->*fn)(std::get<I>(args).get()...);
  (std::get<I>(args).commit(), ...);
  return hr;
}

template <class... A>
HRESULT CallWith(ITarvo* self, HRESULT (STDMETHODCALLTYPE ITarvo::*fn)(A...), ArgSlot* slots) {
  return CallIndexed(self, fn, slots, std::index_sequence_for<A...>{});
}

// The call thunk of one function-table entry.
template <auto Member>
HRESULT Thunk(ITarvo* self, ArgSlot* slots) {
  return CallWith(self, Member, slots);
}

using ThunkFn = HRESULT (*)(ITarvo*, ArgSlot*);

constexpr ThunkFn kThunks[] = {
#define TARVO_TLB_FUNC(iface, kind, name, dispid, flag, ...) &Thunk<&iface::TARVO_TLB_CXXNAME(kind, name)>,
#include "automation/tarvo_tlb.def"
};
static_assert(std::size(kThunks) == 53);

// Where an argument comes from and where an in/out value goes back to.
struct Binding {
  VARIANT* arg = nullptr;   // the caller's argument, nullptr for the retval
  UINT argIndex = 0;        // its index in rgvarg
  VARIANT* writeBack = nullptr;  // caller's storage of an in/out argument
};

void ClearSlots(ArgSlot* slots, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) VariantClear(&slots[i].value);
}

// Converts the caller's argument into the slot.
HRESULT Prepare(const ParamDef& p, Binding& b, ArgSlot& slot) {
  const VARTYPE want = p.Vt();
  VARIANT* src = b.arg;
  if (p.IsInOut() && (src->vt & VT_BYREF)) {
    if (src->vt == (VT_BYREF | VT_VARIANT)) {
      b.writeBack = src;
      src = src->pvarVal;
    } else if ((src->vt & ~VT_BYREF) == want) {
      b.writeBack = src;
    } else {
      return DISP_E_TYPEMISMATCH;
    }
  } else if (src->vt == (VT_BYREF | VT_VARIANT)) {
    src = src->pvarVal;
  }
  if (!src) return E_INVALIDARG;
  VARIANT plain;
  VariantInit(&plain);
  HRESULT hr = VariantCopyInd(&plain, src);
  if (SUCCEEDED(hr)) hr = VariantChangeType(&slot.value, &plain, 0, want);
  VariantClear(&plain);
  if (FAILED(hr)) return hr;
  if (want == VT_DISPATCH && slot.value.pdispVal) {
    // Interface parameters are typed IFontDisp*: hand over that interface.
    IFontDisp* font = nullptr;
    if (FAILED(slot.value.pdispVal->QueryInterface(IID_IFontDisp, reinterpret_cast<void**>(&font))) ||
        !font)
      return DISP_E_TYPEMISMATCH;
    slot.value.pdispVal->Release();
    slot.value.pdispVal = font;
  }
  return S_OK;
}

// Returns an in/out value to the caller's storage; the slot gives up what it
// hands over.
void GiveBack(const ParamDef& p, const Binding& b, ArgSlot& slot) {
  VARIANT* dest = b.writeBack;
  if (!dest) return;
  if (dest->vt == (VT_BYREF | VT_VARIANT)) {
    VariantClear(dest->pvarVal);
    *dest->pvarVal = slot.value;
    VariantInit(&slot.value);
    return;
  }
  switch (p.Vt()) {
    case VT_UI1: *dest->pbVal = slot.value.bVal; break;
    case VT_I2: *dest->piVal = slot.value.iVal; break;
    case VT_I4: *dest->plVal = slot.value.lVal; break;
    case VT_UI4: *dest->pulVal = slot.value.ulVal; break;
    case VT_BOOL: *dest->pboolVal = slot.value.boolVal; break;
    case VT_BSTR:
      SysFreeString(*dest->pbstrVal);
      *dest->pbstrVal = slot.value.bstrVal;
      VariantInit(&slot.value);
      break;
    case VT_DISPATCH:
      if (*dest->ppdispVal) (*dest->ppdispVal)->Release();
      *dest->ppdispVal = slot.value.pdispVal;
      VariantInit(&slot.value);
      break;
    default: break;
  }
}

// Describes a member's failure from the thread's error information; without
// any, the description names the member and its HRESULT.
void FillException(const FuncDef& f, HRESULT hr, EXCEPINFO* excep) {
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK) info = nullptr;
  if (excep) {
    std::memset(excep, 0, sizeof *excep);
    if (info) {
      info->GetSource(&excep->bstrSource);
      info->GetDescription(&excep->bstrDescription);
      info->GetHelpFile(&excep->bstrHelpFile);
      info->GetHelpContext(&excep->dwHelpContext);
    } else {
      char text[96];
      std::snprintf(text, sizeof text, "%.*s failed with 0x%08X", static_cast<int>(f.cxxName.size()),
                    f.cxxName.data(), static_cast<unsigned>(hr));
      const std::string narrow(text);
      excep->bstrDescription = tarvo::com::AllocBstr(std::u16string(narrow.begin(), narrow.end()));
    }
    excep->scode = hr;
  }
  if (info) info->Release();
}

}  // namespace

HRESULT InvokeITarvo(ITarvo* self, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                     EXCEPINFO* excep, UINT* argErr) {
  if (!self) return E_POINTER;
  if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF))
    flags = DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF;

  const auto funcs = tarvo::tlb::ITarvoFuncs();
  std::size_t entry = funcs.size();
  for (std::size_t i = 0; i < funcs.size(); ++i)
    if (funcs[i].dispid == id && (funcs[i].kind & flags)) {
      entry = i;
      break;
    }
  if (entry == funcs.size()) return DISP_E_MEMBERNOTFOUND;
  const FuncDef& f = funcs[entry];
  if (f.params.size() > kMaxArgs) return E_UNEXPECTED;  // the slots below hold every parameter

  DISPPARAMS none{nullptr, nullptr, 0, 0};
  if (!params) params = &none;
  const std::size_t n = f.ArgCount();
  if (params->cArgs != n) return DISP_E_BADPARAMCOUNT;
  if (params->cNamedArgs > params->cArgs || (params->cArgs && !params->rgvarg) ||
      (params->cNamedArgs && !params->rgdispidNamedArgs))
    return E_INVALIDARG;

  // Match arguments to parameters: named ones first in rgvarg, then the
  // positional ones, last first.
  std::array<Binding, kMaxArgs> bind{};
  const bool isPut = (f.kind & (INVOKE_PROPERTYPUT | INVOKE_PROPERTYPUTREF)) != 0;
  const UINT positional = params->cArgs - params->cNamedArgs;
  for (UINT p = 0; p < positional; ++p) {
    bind[p].argIndex = params->cArgs - 1 - p;
    bind[p].arg = &params->rgvarg[bind[p].argIndex];
  }
  for (UINT j = 0; j < params->cNamedArgs; ++j) {
    const DISPID named = params->rgdispidNamedArgs[j];
    const DISPID p = (isPut && named == DISPID_PROPERTYPUT) ? static_cast<DISPID>(n - 1) : named;
    if (p < 0 || static_cast<std::size_t>(p) >= n || bind[p].arg) {
      if (argErr) *argErr = j;
      return DISP_E_PARAMNOTFOUND;
    }
    bind[p].argIndex = j;
    bind[p].arg = &params->rgvarg[j];
  }

  std::array<ArgSlot, kMaxArgs> slots;
  for (std::size_t i = 0; i < f.params.size(); ++i) VariantInit(&slots[i].value);
  for (std::size_t i = 0; i < n; ++i) {
    const HRESULT hr = Prepare(f.params[i], bind[i], slots[i]);
    if (FAILED(hr)) {
      if (argErr) *argErr = bind[i].argIndex;
      ClearSlots(slots.data(), f.params.size());
      return hr;
    }
  }
  if (const ParamDef* r = f.Retval()) slots[n].value.vt = r->Vt();

  const HRESULT hr = kThunks[entry](self, slots.data());

  for (std::size_t i = 0; i < n; ++i)
    if (f.params[i].IsInOut()) GiveBack(f.params[i], bind[i], slots[i]);
  if (result) VariantInit(result);
  if (FAILED(hr)) {
    ClearSlots(slots.data(), f.params.size());
    FillException(f, hr, excep);
    return DISP_E_EXCEPTION;
  }
  if (f.Retval() && result) {
    *result = slots[n].value;
    VariantInit(&slots[n].value);
  }
  ClearSlots(slots.data(), f.params.size());
  return S_OK;
}

HRESULT GetIDsOfNamesITarvo(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  return tarvo::tlb::IdsOfNames(tarvo::tlb::ITarvoFuncs(), names, count, ids);
}
