#pragma once
// The type library TarvoMDrv 1.0 at run time: a read-only view of
// tarvo_tlb.def (members, parameters, events, enumerations) and the ITypeLib /
// ITypeInfo objects built from it.
//
// The objects are driver-wide and live as long as the module: AddRef and
// Release keep the usual contract for callers but never free them, so they
// can be handed out from any thread.
#include <cstdint>
#include <span>
#include <string_view>

#include "automation/TarvoMDrv_TLB.h"
#include "platform/com/com_abi.h"

namespace tarvo::tlb {

// An automation type of a parameter: `vt` as the type description shows it
// (VT_USERDEFINED for a type described by a type information of its own --
// the library's enumerations, OLE_COLOR, IFontDisp -- named by `userType`),
// `coerceVt` the VARIANT type an argument is converted to, `idl` its IDL
// spelling, `indirection` the pointer levels in front of the type itself
// (IFontDisp* is one pointer to the interface IFontDisp).
struct TypeDef {
  VARTYPE vt;
  VARTYPE coerceVt;
  std::string_view idl;
  std::string_view userType;
  std::uint8_t indirection = 0;
};

// One parameter. `name` is empty for the value of a property put or putref.
// `byRef` parameters are passed as pointers (in/out, retval, putref).
// `flags` holds PARAMFLAG_FIN / FOUT / FRETVAL.
struct ParamDef {
  std::string_view name;
  const TypeDef* type;
  USHORT flags;
  bool byRef;

  bool IsRetval() const { return (flags & PARAMFLAG_FRETVAL) != 0; }
  bool IsInOut() const { return (flags & PARAMFLAG_FIN) && (flags & PARAMFLAG_FOUT); }
  VARTYPE Vt() const { return type->coerceVt; }
};

// One member of ITarvo (a function-table entry) or of ITarvoEvents.
// `cxxName` is the C++ function name (get_Visible, putref_Font, SendPlu);
// events have cxxName == name.
struct FuncDef {
  std::string_view name;
  std::string_view cxxName;
  INVOKEKIND kind;
  DISPID dispid;
  WORD funcFlags;  // FUNCFLAG_FHIDDEN, FUNCFLAG_FRESTRICTED or 0
  std::span<const ParamDef> params;
  // What the function-table entry returns; nullptr: an HRESULT.
  const TypeDef* returns = nullptr;

  bool IsHidden() const { return (funcFlags & FUNCFLAG_FHIDDEN) != 0; }
  const ParamDef* Retval() const {
    return !params.empty() && params.back().IsRetval() ? &params.back() : nullptr;
  }
  // Number of parameters a caller supplies (all but the retval).
  std::size_t ArgCount() const { return params.size() - (Retval() ? 1 : 0); }
};

struct EnumValueDef {
  std::string_view name;
  std::int32_t value;
};

// One type-information entry of the library.
struct TypeInfoDef {
  std::string_view name;
  TYPEKIND kind;
  GUID guid;
  std::string_view help;
  WORD typeFlags;
  std::span<const FuncDef> funcs;        // dual / dispinterface members
  std::span<const EnumValueDef> values;  // enumeration members
  int defaultIface;                       // coclass: type index, else -1
  int defaultSource;                      // coclass: type index, else -1
  std::string_view base = {};             // interface it derives from (IDispatch, IUnknown)
  VARTYPE aliasVt = VT_EMPTY;             // TKIND_ALIAS: the type it names
  ULONG instanceSize = 0;                 // records and aliases: their size in bytes
  WORD major = 1;
  WORD minor = 0;
};

struct LibraryDef {
  std::string_view name;
  GUID guid;
  WORD major;
  WORD minor;
  LCID lcid;
  std::string_view help;
  WORD libFlags;
};

const LibraryDef& Library();
// The standard OLE library as far as this library refers to it: IUnknown,
// IDispatch, the records of their parameters, OLE_COLOR and IFontDisp
// (stdole_library.cpp).
const LibraryDef& StdOleLibrary();
std::span<const TypeInfoDef> StdOleTypeInfos();
// All type-information entries, in library order (ITarvo, ITarvoEvents,
// Tarvo, TxActiveFormBorderStyle, TxPrintScale, TxMouseButton).
std::span<const TypeInfoDef> TypeInfos();
// Index of the entry with this name, or -1.
int TypeIndex(std::string_view name);

// ITarvo's 53 members in function-table order: entry i sits in slot
// kITarvoFirstMemberSlot + i of the interface's table.
std::span<const FuncDef> ITarvoFuncs();
// ITarvoEvents' 30 events in type-information order.
std::span<const FuncDef> TarvoEvents();
// An event by name (exact) or by DISPID; nullptr when there is none.
const FuncDef* FindTarvoEvent(std::string_view name);
const FuncDef* FindTarvoEvent(DISPID dispid);

// Case-insensitive lookup shared by IDispatch::GetIDsOfNames and
// ITypeInfo::GetIDsOfNames: names[0] is a member, names[1..] parameters of it
// (their ids are their positions). Unknown names get DISPID_UNKNOWN and the
// result is DISP_E_UNKNOWNNAME.
HRESULT IdsOfNames(std::span<const FuncDef> funcs, const LPOLESTR* names, UINT count,
                   DISPID* ids);

// True when `wide` spells `name` (an ASCII name), ignoring the case of A-Z.
bool SameName(const OLECHAR* wide, std::string_view name);

// Member id of the i-th value of an enumeration in its type information.
inline constexpr MEMBERID EnumValueMemberId(std::size_t index) {
  return static_cast<MEMBERID>(0x40000000 + index);
}

}  // namespace tarvo::tlb

// The library object and its type information (new references), in the
// shape a type-library loader gives a compiled library:
// - ITarvo by its GUID (or index 0) is the dispatch view of the dual
//   interface: TKIND_DISPATCH, derived from IDispatch, the seven IUnknown and
//   IDispatch functions first (restricted), then the 53 members with
//   FUNC_DISPATCH, the retval as the return type and not among the
//   parameters. GetRefTypeOfImplType(-1) gives the function-table view:
//   TKIND_INTERFACE, derived from IDispatch, HRESULT returns, oVft slots and
//   the retval as the last parameter.
// - OLE_COLOR and IFontDisp are the standard OLE library's (reached through
//   GetRefTypeInfo; their GetContainingTypeLib is that library).
// - Every object handed out counts as a live object of the module while a
//   caller holds it (DllCanUnloadNow).
HRESULT GetTarvoTypeLib(ITypeLib** lib);
// By GUID: IID_ITarvo, DIID_ITarvoEvents, CLSID_Tarvo or an enumeration's
// GUID. TYPE_E_ELEMENTNOTFOUND for any other.
HRESULT GetTarvoTypeInfo(const IID& guid, ITypeInfo** info);
// The standard OLE library object.
HRESULT GetStdOleTypeLib(ITypeLib** lib);
