// The part of the standard OLE type library (stdole 2.0) that TarvoMDrv
// refers to: IUnknown and IDispatch (the base of every automation
// interface), the records their parameters point to, the colour alias
// OLE_COLOR and the font interface IFontDisp. The identities (names, GUIDs,
// member ids) are the standard ones, so that a client that knows them
// recognises them.
#include <array>

#include "automation/type_library.h"

namespace tarvo::tlb {
namespace {

constexpr USHORT kIn = PARAMFLAG_FIN;
constexpr USHORT kOut = PARAMFLAG_FOUT;
constexpr WORD kRestricted = FUNCFLAG_FRESTRICTED;

// Parameter and return types of the members below.
constexpr TypeDef kUint{VT_UINT, VT_UINT, "unsigned int", ""};
constexpr TypeDef kUintPtr{VT_UINT, VT_UINT, "unsigned int*", "", 1};
constexpr TypeDef kUlong{VT_UI4, VT_UI4, "unsigned long", ""};
constexpr TypeDef kUshort{VT_UI2, VT_UI2, "unsigned short", ""};
constexpr TypeDef kLong{VT_I4, VT_I4, "long", ""};
constexpr TypeDef kLongPtr{VT_I4, VT_I4, "long*", "", 1};
constexpr TypeDef kShort{VT_I2, VT_I2, "short", ""};
constexpr TypeDef kBool{VT_BOOL, VT_BOOL, "VARIANT_BOOL", ""};
constexpr TypeDef kBstr{VT_BSTR, VT_BSTR, "BSTR", ""};
constexpr TypeDef kCurrency{VT_CY, VT_CY, "CURRENCY", ""};
constexpr TypeDef kVoidPtrPtr{VT_VOID, VT_VOID, "void**", "", 2};
constexpr TypeDef kCharPtrPtr{VT_I1, VT_I1, "char**", "", 2};
constexpr TypeDef kVariantPtr{VT_VARIANT, VT_VARIANT, "VARIANT*", "", 1};
constexpr TypeDef kGuidPtr{VT_USERDEFINED, VT_EMPTY, "GUID*", "GUID", 1};
constexpr TypeDef kDispParamsPtr{VT_USERDEFINED, VT_EMPTY, "DISPPARAMS*", "DISPPARAMS", 1};
constexpr TypeDef kExcepInfoPtr{VT_USERDEFINED, VT_EMPTY, "EXCEPINFO*", "EXCEPINFO", 1};

constexpr ParamDef In(std::string_view name, const TypeDef& type) { return {name, &type, kIn, false}; }
constexpr ParamDef Out(std::string_view name, const TypeDef& type) { return {name, &type, kOut, false}; }

// IUnknown: member ids 0x60000000...
constexpr std::array kQueryInterface = {In("riid", kGuidPtr), Out("ppvObj", kVoidPtrPtr)};
constexpr FuncDef kIUnknownFuncs[] = {
    {"QueryInterface", "QueryInterface", INVOKE_FUNC, 0x60000000, kRestricted, kQueryInterface},
    {"AddRef", "AddRef", INVOKE_FUNC, 0x60000001, kRestricted, {}, &kUlong},
    {"Release", "Release", INVOKE_FUNC, 0x60000002, kRestricted, {}, &kUlong},
};

// IDispatch: member ids 0x60010000...
constexpr std::array kGetTypeInfoCount = {Out("pctinfo", kUintPtr)};
constexpr std::array kGetTypeInfo = {In("itinfo", kUint), In("lcid", kUlong),
                                     Out("pptinfo", kVoidPtrPtr)};
constexpr std::array kGetIDsOfNames = {In("riid", kGuidPtr), In("rgszNames", kCharPtrPtr),
                                       In("cNames", kUint), In("lcid", kUlong),
                                       Out("rgdispid", kLongPtr)};
constexpr std::array kInvoke = {In("dispidMember", kLong),      In("riid", kGuidPtr),
                                In("lcid", kUlong),             In("wFlags", kUshort),
                                In("pdispparams", kDispParamsPtr), Out("pvarResult", kVariantPtr),
                                Out("pexcepinfo", kExcepInfoPtr),  Out("puArgErr", kUintPtr)};
constexpr FuncDef kIDispatchFuncs[] = {
    {"GetTypeInfoCount", "GetTypeInfoCount", INVOKE_FUNC, 0x60010000, kRestricted, kGetTypeInfoCount},
    {"GetTypeInfo", "GetTypeInfo", INVOKE_FUNC, 0x60010001, kRestricted, kGetTypeInfo},
    {"GetIDsOfNames", "GetIDsOfNames", INVOKE_FUNC, 0x60010002, kRestricted, kGetIDsOfNames},
    {"Invoke", "Invoke", INVOKE_FUNC, 0x60010003, kRestricted, kInvoke},
};

// IFontDisp: the font object's properties by their standard DISPIDs.
constexpr ParamDef kValue(const TypeDef& type) {
  return {"Value", &type, static_cast<USHORT>(kOut | PARAMFLAG_FRETVAL), true};
}
constexpr ParamDef kPut(const TypeDef& type) { return {"", &type, kIn, false}; }
constexpr std::array kGetBstr = {kValue(kBstr)};
constexpr std::array kPutBstr = {kPut(kBstr)};
constexpr std::array kGetCurrency = {kValue(kCurrency)};
constexpr std::array kPutCurrency = {kPut(kCurrency)};
constexpr std::array kGetBool = {kValue(kBool)};
constexpr std::array kPutBool = {kPut(kBool)};
constexpr std::array kGetShort = {kValue(kShort)};
constexpr std::array kPutShort = {kPut(kShort)};
#define TARVO_FONT_PROPERTY(name, dispid, type)                                   \
  FuncDef{#name, "get_" #name, INVOKE_PROPERTYGET, dispid, 0, kGet##type},     \
      FuncDef {                                                                 \
    #name, "put_" #name, INVOKE_PROPERTYPUT, dispid, 0, kPut##type              \
  }
constexpr FuncDef kIFontDispFuncs[] = {
    TARVO_FONT_PROPERTY(Name, DISPID_FONT_NAME, Bstr),
    TARVO_FONT_PROPERTY(Size, DISPID_FONT_SIZE, Currency),
    TARVO_FONT_PROPERTY(Bold, DISPID_FONT_BOLD, Bool),
    TARVO_FONT_PROPERTY(Italic, DISPID_FONT_ITALIC, Bool),
    TARVO_FONT_PROPERTY(Underline, DISPID_FONT_UNDER, Bool),
    TARVO_FONT_PROPERTY(Strikethrough, DISPID_FONT_STRIKE, Bool),
    TARVO_FONT_PROPERTY(Weight, DISPID_FONT_WEIGHT, Short),
    TARVO_FONT_PROPERTY(Charset, DISPID_FONT_CHARSET, Short),
};
#undef TARVO_FONT_PROPERTY

constexpr GUID kGuidRecord = {0x00000000, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
constexpr WORD kInterfaceFlags = TYPEFLAG_FHIDDEN | TYPEFLAG_FRESTRICTED;

constexpr LibraryDef kStdOle = {"stdole", LIBID_STDOLE, 2, 0, 0, "OLE Automation", 0};

constexpr TypeInfoDef kStdOleTypes[] = {
    {"IUnknown", TKIND_INTERFACE, IID_IUnknown, "", kInterfaceFlags, kIUnknownFuncs, {}, -1, -1},
    {"IDispatch", TKIND_INTERFACE, IID_IDispatch, "", kInterfaceFlags, kIDispatchFuncs, {}, -1, -1,
     "IUnknown"},
    {"GUID", TKIND_RECORD, kGuidRecord, "", 0, {}, {}, -1, -1, {}, VT_EMPTY, 16},
    {"DISPPARAMS", TKIND_RECORD, kGuidRecord, "", 0, {}, {}, -1, -1, {}, VT_EMPTY,
     sizeof(DISPPARAMS)},
    {"EXCEPINFO", TKIND_RECORD, kGuidRecord, "", 0, {}, {}, -1, -1, {}, VT_EMPTY,
     sizeof(EXCEPINFO)},
    {"OLE_COLOR", TKIND_ALIAS, GUID_OLE_COLOR, "", 0, {}, {}, -1, -1, {}, VT_UI4, 4},
    {"IFontDisp", TKIND_DISPATCH, IID_IFontDisp, "Font Object", TYPEFLAG_FDISPATCHABLE,
     kIFontDispFuncs, {}, -1, -1, "IDispatch"},
};

}  // namespace

const LibraryDef& StdOleLibrary() { return kStdOle; }
std::span<const TypeInfoDef> StdOleTypeInfos() { return kStdOleTypes; }

}  // namespace tarvo::tlb
