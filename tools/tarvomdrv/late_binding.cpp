#include "tools/tarvomdrv/late_binding.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>

#include "platform/codepage.h"
#include "platform/com/com_runtime.h"
#include "tools/tarvomdrv/value_check.h"

namespace tarvo::tool {

namespace {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string BstrUtf8(BSTR b) {
  if (!b) return {};
  return platform::Utf16ToUtf8(std::u16string_view(b, SysStringLen(b)));
}

BSTR Utf8Bstr(const std::string& text) {
  const std::u16string wide = platform::Utf8ToUtf16(text);
  return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

std::string HresultHex(HRESULT hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
  return buf;
}

std::string DispErrorText(HRESULT hr) {
  switch (hr) {
    case DISP_E_TYPEMISMATCH: return "type mismatch";
    case DISP_E_OVERFLOW: return "value out of range";
    case DISP_E_PARAMNOTFOUND: return "parameter not found";
    case DISP_E_BADPARAMCOUNT: return "wrong number of arguments";
    case DISP_E_PARAMNOTOPTIONAL: return "argument missing";
    case DISP_E_BADVARTYPE: return "unsupported value type";
    case DISP_E_MEMBERNOTFOUND: return "member not found";
    case DISP_E_UNKNOWNNAME: return "unknown name";
    case DISP_E_NONAMEDARGS: return "named arguments not accepted";
    default: return "invocation failed";
  }
}

bool IsRequestError(HRESULT hr) {
  switch (hr) {
    case DISP_E_TYPEMISMATCH: case DISP_E_OVERFLOW: case DISP_E_PARAMNOTFOUND:
    case DISP_E_BADPARAMCOUNT: case DISP_E_PARAMNOTOPTIONAL: case DISP_E_BADVARTYPE:
    case DISP_E_MEMBERNOTFOUND: case DISP_E_UNKNOWNNAME: case DISP_E_NONAMEDARGS:
      return true;
    default:
      return false;
  }
}

// Reads the standard properties of a font object late-bound.
Json ObjectToJson(IDispatch* object) {
  if (!object) return nullptr;
  Json out = Json::object();
  for (const char16_t* name : {u"Name", u"Size", u"Bold", u"Italic", u"Underline",
                               u"Strikethrough", u"Weight", u"Charset"}) {
    LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
    DISPID id = 0;
    if (FAILED(object->GetIDsOfNames(IID_NULL, names, 1, 0, &id))) continue;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT v;
    VariantInit(&v);
    if (SUCCEEDED(object->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &v, nullptr,
                                 nullptr)))
      out[platform::Utf16ToUtf8(name)] = VariantToJson(v);
    VariantClear(&v);
  }
  return out;
}

// A font object from {"Name":..,"Size":..,"Bold":..,...}; the fields are
// checked first (CheckValue), so every conversion below is in range.
IDispatch* JsonToFont(const Json& value) {
  ParamInfo font_param;
  font_param.vt = VT_DISPATCH;
  if (CheckValue(font_param, value, "font")) return nullptr;
  std::u16string name = u"MS Sans Serif";
  if (value.contains("Name")) name = platform::Utf8ToUtf16(value["Name"].get<std::string>());
  FONTDESC desc{};
  desc.cbSizeofstruct = sizeof desc;
  desc.lpstrName = name.data();
  const double size = value.contains("Size") ? value["Size"].get<double>() : 8.0;
  desc.cySize.int64 = static_cast<LONGLONG>(std::llround(size * 10000.0));
  const bool bold = value.contains("Bold") && value["Bold"].get<bool>();
  desc.sWeight = static_cast<SHORT>(value.contains("Weight") ? value["Weight"].get<int>()
                                                             : (bold ? 700 : 400));
  desc.sCharset = static_cast<SHORT>(value.contains("Charset") ? value["Charset"].get<int>() : 0);
  desc.fItalic = value.contains("Italic") && value["Italic"].get<bool>();
  desc.fUnderline = value.contains("Underline") && value["Underline"].get<bool>();
  desc.fStrikethrough = value.contains("Strikethrough") && value["Strikethrough"].get<bool>();
  IDispatch* font = nullptr;
  if (FAILED(OleCreateFontIndirect(&desc, IID_IDispatch, reinterpret_cast<void**>(&font))))
    return nullptr;
  return font;
}

// Storage behind one by-reference (in/out) argument.
struct RefSlot {
  VARTYPE vt = VT_EMPTY;
  union {
    LONG l;
    BYTE b;
    SHORT s;
    VARIANT_BOOL bo;
    BSTR bstr;
    double d;
    LONGLONG ll;
  } u;
  // Every byte of the union starts zero, whichever member is read first.
  RefSlot() { std::memset(&u, 0, sizeof u); }
  RefSlot(const RefSlot&) = delete;
  RefSlot& operator=(const RefSlot&) = delete;
  ~RefSlot() {
    if (vt == VT_BSTR) SysFreeString(u.bstr);
  }
};

// Fills a by-reference slot from JSON (or the type's zero value).
bool FillSlot(RefSlot& slot, VARTYPE vt, const Json* value, VARIANT& arg) {
  slot.vt = vt;
  VARIANT src;
  VariantInit(&src);
  if (value && !JsonToVariant(*value, src)) return false;
  VARIANT conv;
  VariantInit(&conv);
  const VARTYPE target = (vt == VT_USERDEFINED) ? static_cast<VARTYPE>(VT_I4) : vt;
  if (value) {
    if (FAILED(VariantChangeType(&conv, &src, 0, target))) {
      VariantClear(&src);
      return false;
    }
  } else {
    conv.vt = target;
    if (target == VT_BSTR) conv.bstrVal = SysAllocString(u"");
  }
  VariantClear(&src);
  arg.vt = static_cast<VARTYPE>(VT_BYREF | target);
  switch (target) {
    case VT_I4: slot.u.l = conv.lVal; arg.plVal = &slot.u.l; break;
    case VT_UI1: slot.u.b = conv.bVal; arg.pbVal = &slot.u.b; break;
    case VT_I2: slot.u.s = conv.iVal; arg.piVal = &slot.u.s; break;
    case VT_BOOL: slot.u.bo = conv.boolVal; arg.pboolVal = &slot.u.bo; break;
    case VT_BSTR: slot.u.bstr = conv.bstrVal; arg.pbstrVal = &slot.u.bstr; break;
    case VT_R8: slot.u.d = conv.dblVal; arg.pdblVal = &slot.u.d; break;
    default:
      slot.vt = VT_EMPTY;
      VariantClear(&conv);
      return false;
  }
  slot.vt = target;
  return true;
}

Json SlotToJson(const RefSlot& slot) {
  switch (slot.vt) {
    case VT_I4: return slot.u.l;
    case VT_UI1: return slot.u.b;
    case VT_I2: return slot.u.s;
    case VT_BOOL: return slot.u.bo != 0;
    case VT_BSTR: return BstrUtf8(slot.u.bstr);
    case VT_R8: return slot.u.d;
    default: return nullptr;
  }
}

// The host's event sink: an IDispatch that answers the control's event
// interface and turns every call into (name, JSON arguments).
class EventSink final : public IDispatch {
 public:
  EventSink(GUID diid, const TypeModel& events, LateBoundControl::EventHandler handler)
      : diid_(diid), events_(events), handler_(std::move(handler)) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == diid_) {
      *ppv = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT GetTypeInfoCount(UINT* count) override {
    if (count) *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                 UINT*) override {
    const MemberInfo* event = events_.FindById(id);
    if (!event) return DISP_E_MEMBERNOTFOUND;
    Json args = Json::object();
    const UINT count = params ? params->cArgs : 0;
    for (std::size_t i = 0; i < event->params.size() && i < count; ++i)
      args[event->params[i].name] = VariantToJson(params->rgvarg[count - 1 - i]);
    if (handler_) handler_(event->name, args);
    return S_OK;
  }

 private:
  std::atomic<ULONG> refs_{1};
  GUID diid_;
  const TypeModel& events_;
  LateBoundControl::EventHandler handler_;
};

LateBoundControl::Outcome RequestError(std::string description) {
  LateBoundControl::Outcome outcome;
  outcome.request_error = std::move(description);
  return outcome;
}

}  // namespace

// --- TypeModel -----------------------------------------------------------------

namespace {

// A parameter's or return value's type: pointers counted, a type with a type
// information of its own resolved (an enumeration stays VT_USERDEFINED, an
// alias becomes the type it names, an interface pointer VT_DISPATCH).
ParamInfo DescribeType(ITypeInfo* owner, const TYPEDESC& type) {
  ParamInfo param;
  const TYPEDESC* t = &type;
  int pointers = 0;
  for (; t->vt == VT_PTR && t->lptdesc && pointers < 4; t = t->lptdesc) ++pointers;
  param.vt = t->vt;
  ITypeInfo* ref = nullptr;
  if (t->vt == VT_USERDEFINED && SUCCEEDED(owner->GetRefTypeInfo(t->hreftype, &ref)) && ref) {
    BSTR name = nullptr;
    if (SUCCEEDED(ref->GetDocumentation(-1, &name, nullptr, nullptr, nullptr)))
      param.type_name = BstrUtf8(name);
    SysFreeString(name);
    TYPEATTR* attr = nullptr;
    if (SUCCEEDED(ref->GetTypeAttr(&attr)) && attr) {
      if (attr->typekind == TKIND_ALIAS) {
        param.vt = attr->tdescAlias.vt;
      } else if (attr->typekind == TKIND_DISPATCH || attr->typekind == TKIND_INTERFACE) {
        param.vt = VT_DISPATCH;  // the pointer is the interface reference itself
        if (pointers > 0) --pointers;
      }
      ref->ReleaseTypeAttr(attr);
    }
    ref->Release();
  }
  param.by_ref = pointers > 0;
  return param;
}

}  // namespace

TypeModel TypeModel::Read(ITypeInfo* info) {
  TypeModel model;
  if (!info) return model;
  TYPEATTR* attr = nullptr;
  if (FAILED(info->GetTypeAttr(&attr)) || !attr) return model;
  model.guid_ = attr->guid;
  const UINT count = attr->cFuncs;
  info->ReleaseTypeAttr(attr);
  for (UINT i = 0; i < count; ++i) {
    FUNCDESC* fd = nullptr;
    if (FAILED(info->GetFuncDesc(i, &fd)) || !fd) continue;
    if (fd->wFuncFlags & FUNCFLAG_FRESTRICTED) {
      info->ReleaseFuncDesc(fd);
      continue;
    }
    MemberInfo member;
    member.dispid = fd->memid;
    member.kind = fd->invkind;
    BSTR names[64] = {};
    UINT got = 0;
    info->GetNames(fd->memid, names, 64, &got);
    if (got > 0) member.name = BstrUtf8(names[0]);
    const SHORT params = std::min<SHORT>(fd->cParams, 62);
    for (SHORT p = 0; p < params; ++p) {
      const ELEMDESC& e = fd->lprgelemdescParam[p];
      ParamInfo param = DescribeType(info, e.tdesc);
      const USHORT flags = e.paramdesc.wParamFlags;
      param.retval = (flags & PARAMFLAG_FRETVAL) != 0;
      param.out = (flags & PARAMFLAG_FOUT) != 0;
      if (static_cast<UINT>(p) + 1 < got) param.name = BstrUtf8(names[p + 1]);
      if (param.name.empty() && param.retval) param.name = "Value";
      member.params.push_back(std::move(param));
    }
    // A dispatch member returns its value: the caller sees it as the retval.
    const VARTYPE returns = fd->elemdescFunc.tdesc.vt;
    if (fd->funckind == FUNC_DISPATCH && returns != VT_VOID && returns != VT_HRESULT &&
        returns != VT_EMPTY) {
      ParamInfo value = DescribeType(info, fd->elemdescFunc.tdesc);
      value.by_ref = true;
      value.out = true;
      value.retval = true;
      const UINT name_at = static_cast<UINT>(params) + 1;
      value.name = name_at < got ? BstrUtf8(names[name_at]) : std::string("Value");
      member.params.push_back(std::move(value));
    }
    for (UINT n = 0; n < got; ++n) SysFreeString(names[n]);
    info->ReleaseFuncDesc(fd);
    model.members_.push_back(std::move(member));
  }
  return model;
}

const MemberInfo* TypeModel::Find(const std::string& name, int kind) const {
  const std::string key = Lower(name);
  for (const auto& m : members_)
    if (Lower(m.name) == key && (kind == 0 || (m.kind & kind))) return &m;
  return nullptr;
}

const MemberInfo* TypeModel::FindById(DISPID id) const {
  for (const auto& m : members_)
    if (m.dispid == id) return &m;
  return nullptr;
}

// --- conversions ---------------------------------------------------------------

bool JsonToVariant(const Json& value, VARIANT& out) {
  VariantInit(&out);
  if (value.is_null()) return true;
  if (value.is_boolean()) {
    out.vt = VT_BOOL;
    out.boolVal = value.get<bool>() ? VARIANT_TRUE : VARIANT_FALSE;
    return true;
  }
  if (value.is_number_integer()) {
    const auto n = value.is_number_unsigned() ? static_cast<double>(value.get<std::uint64_t>())
                                              : static_cast<double>(value.get<std::int64_t>());
    if (n >= std::numeric_limits<std::int32_t>::min() &&
        n <= std::numeric_limits<std::int32_t>::max()) {
      out.vt = VT_I4;
      out.lVal = static_cast<LONG>(value.get<std::int64_t>());
    } else {
      out.vt = VT_R8;
      out.dblVal = n;
    }
    return true;
  }
  if (value.is_number_float()) {
    out.vt = VT_R8;
    out.dblVal = value.get<double>();
    return true;
  }
  if (value.is_string()) {
    out.vt = VT_BSTR;
    out.bstrVal = Utf8Bstr(value.get<std::string>());
    return true;
  }
  if (value.is_object()) {
    IDispatch* font = JsonToFont(value);
    if (!font) return false;
    out.vt = VT_DISPATCH;
    out.pdispVal = font;
    return true;
  }
  return false;
}

Json VariantToJson(const VARIANT& value) {
  const VARIANT* v = &value;
  if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
  const bool ref = (v->vt & VT_BYREF) != 0;
  switch (v->vt & ~VT_BYREF) {
    case VT_EMPTY: case VT_NULL: return nullptr;
    case VT_I1: return static_cast<int>(ref ? *v->pcVal : v->cVal);
    case VT_UI1: return ref ? *v->pbVal : v->bVal;
    case VT_I2: return ref ? *v->piVal : v->iVal;
    case VT_UI2: return ref ? *v->puiVal : v->uiVal;
    case VT_I4: return ref ? *v->plVal : v->lVal;
    case VT_UI4: return ref ? *v->pulVal : v->ulVal;
    case VT_INT: return ref ? *v->pintVal : v->intVal;
    case VT_UINT: return ref ? *v->puintVal : v->uintVal;
    case VT_I8: return ref ? *v->pllVal : v->llVal;
    case VT_UI8: return ref ? *v->pullVal : v->ullVal;
    case VT_R4: return ref ? *v->pfltVal : v->fltVal;
    case VT_R8: return ref ? *v->pdblVal : v->dblVal;
    case VT_BOOL: return (ref ? *v->pboolVal : v->boolVal) != 0;
    case VT_BSTR: return BstrUtf8(ref ? *v->pbstrVal : v->bstrVal);
    case VT_CY: return static_cast<double>((ref ? *v->pcyVal : v->cyVal).int64) / 10000.0;
    case VT_ERROR: return ref ? *v->pscode : v->scode;
    case VT_DISPATCH: return ObjectToJson(ref ? *v->ppdispVal : v->pdispVal);
    default: return nullptr;
  }
}

// --- LateBoundControl ------------------------------------------------------------

LateBoundControl::LateBoundControl(IDispatch* control) : control_(control) {
  control_->AddRef();
  ITypeInfo* info = nullptr;
  if (SUCCEEDED(control_->GetTypeInfo(0, 0, &info)) && info) {
    methods_ = TypeModel::Read(info);
    info->Release();
  }
  IProvideClassInfo* provide = nullptr;
  if (SUCCEEDED(control_->QueryInterface(IID_IProvideClassInfo,
                                         reinterpret_cast<void**>(&provide)))) {
    ITypeInfo* cls = nullptr;
    if (SUCCEEDED(provide->GetClassInfo(&cls)) && cls) {
      TYPEATTR* attr = nullptr;
      if (SUCCEEDED(cls->GetTypeAttr(&attr)) && attr) {
        const UINT impls = attr->cImplTypes;
        cls->ReleaseTypeAttr(attr);
        for (UINT i = 0; i < impls; ++i) {
          INT flags = 0;
          if (FAILED(cls->GetImplTypeFlags(i, &flags))) continue;
          if ((flags & IMPLTYPEFLAG_FDEFAULT) && (flags & IMPLTYPEFLAG_FSOURCE)) {
            HREFTYPE ref = 0;
            ITypeInfo* events = nullptr;
            if (SUCCEEDED(cls->GetRefTypeOfImplType(i, &ref)) &&
                SUCCEEDED(cls->GetRefTypeInfo(ref, &events)) && events) {
              events_ = TypeModel::Read(events);
              events->Release();
            }
          }
        }
      }
      cls->Release();
    }
    provide->Release();
  }
}

LateBoundControl::~LateBoundControl() { Release(); }

HRESULT LateBoundControl::ConnectEvents(EventHandler handler) {
  if (!control_) return E_UNEXPECTED;
  IConnectionPointContainer* container = nullptr;
  HRESULT hr = control_->QueryInterface(IID_IConnectionPointContainer,
                                        reinterpret_cast<void**>(&container));
  if (FAILED(hr)) return hr;
  hr = container->FindConnectionPoint(events_.guid(), &point_);
  container->Release();
  if (FAILED(hr)) return hr;
  auto* sink = new EventSink(events_.guid(), events_, std::move(handler));
  sink_ = sink;
  return point_->Advise(sink_, &cookie_);
}

void LateBoundControl::Release() {
  if (point_) {
    point_->Release();
    point_ = nullptr;
  }
  if (control_) {
    IDispatch* control = control_;
    control_ = nullptr;
    control->Release();  // the control says goodbye to the still connected sink
  }
  if (sink_) {
    sink_->Release();
    sink_ = nullptr;
  }
}

LateBoundControl::Outcome LateBoundControl::CallMethod(const std::string& name, const Json& args) {
  const MemberInfo* member = methods_.Find(name, INVOKE_FUNC);
  if (!member) return RequestError("unknown method '" + name + "'");
  return Invoke(*member, DISPATCH_METHOD, &args, nullptr);
}

LateBoundControl::Outcome LateBoundControl::Get(const std::string& name) {
  const MemberInfo* member = methods_.Find(name, INVOKE_PROPERTYGET);
  if (!member) return RequestError("unknown property '" + name + "'");
  return Invoke(*member, DISPATCH_PROPERTYGET, nullptr, nullptr);
}

LateBoundControl::Outcome LateBoundControl::Put(const std::string& name, const Json& value) {
  const MemberInfo* member = methods_.Find(name, INVOKE_PROPERTYPUT | INVOKE_PROPERTYPUTREF);
  if (!member) return RequestError("unknown or read-only property '" + name + "'");
  return Invoke(*member, DISPATCH_PROPERTYPUT, nullptr, &value);
}

LateBoundControl::Outcome LateBoundControl::Invoke(const MemberInfo& member, WORD flags,
                                                   const Json* args, const Json* put_value) {
  Outcome outcome;
  if (!control_) return RequestError("the control has been released");
  // The DISPID through GetIDsOfNames, as any late-bound client finds it.
  std::u16string wide = platform::Utf8ToUtf16(member.name);
  LPOLESTR names[1] = {wide.data()};
  DISPID dispid = 0;
  HRESULT hr = control_->GetIDsOfNames(IID_NULL, names, 1, 0, &dispid);
  if (FAILED(hr)) return RequestError("unknown member '" + member.name + "'");

  std::vector<const ParamInfo*> params;
  const ParamInfo* retval = nullptr;
  for (const auto& p : member.params) {
    if (p.retval)
      retval = &p;
    else
      params.push_back(&p);
  }
  // Every value against its parameter's type, before anything is converted.
  if (auto refused = CheckArguments(member, args, put_value)) return RequestError(*refused);
  auto arg_of = [&](const ParamInfo& p) -> const Json* {
    if (!args) return nullptr;
    for (auto it = args->begin(); it != args->end(); ++it)
      if (Lower(it.key()) == Lower(p.name)) return &it.value();
    return nullptr;
  };

  std::vector<VARIANT> vars;
  std::vector<RefSlot> slots(params.size());
  std::vector<int> slot_of(params.size(), -1);
  DISPID put_id = DISPID_PROPERTYPUT;
  DISPPARAMS dp{nullptr, nullptr, 0, 0};
  auto clear_vars = [&] {
    for (std::size_t i = 0; i < vars.size(); ++i)
      if (!(vars[i].vt & VT_BYREF)) VariantClear(&vars[i]);
  };

  if (put_value) {
    vars.resize(1);
    if (!JsonToVariant(*put_value, vars[0])) return RequestError("bad value for " + member.name);
    dp = DISPPARAMS{vars.data(), &put_id, 1, 1};
  } else {
    const std::size_t n = params.size();
    vars.resize(n);
    for (auto& v : vars) VariantInit(&v);
    for (std::size_t i = 0; i < n; ++i) {
      const ParamInfo& p = *params[i];
      VARIANT& arg = vars[n - 1 - i];  // automation order: last argument first
      const Json* given = arg_of(p);
      if (p.out) {
        if (!FillSlot(slots[i], p.vt, given, arg)) {
          clear_vars();
          return RequestError("bad argument '" + p.name + "' of " + member.name);
        }
        slot_of[i] = static_cast<int>(i);
      } else {
        if (!given) {
          clear_vars();
          return RequestError("missing argument '" + p.name + "' of " + member.name);
        }
        if (!JsonToVariant(*given, arg)) {
          clear_vars();
          return RequestError("bad argument '" + p.name + "' of " + member.name);
        }
      }
    }
    dp = DISPPARAMS{vars.empty() ? nullptr : vars.data(), nullptr, static_cast<UINT>(n), 0};
  }

  VARIANT result;
  VariantInit(&result);
  EXCEPINFO excep{};
  UINT arg_err = 0;
  hr = control_->Invoke(dispid, IID_NULL, 0, flags, &dp, put_value ? nullptr : &result, &excep,
                        &arg_err);
  clear_vars();

  if (IsRequestError(hr)) {
    std::string which;
    if (!put_value && arg_err < params.size()) which = " '" + params[params.size() - 1 - arg_err]->name + "'";
    VariantClear(&result);
    return RequestError("bad argument" + which + " of " + member.name + ": " + DispErrorText(hr) +
                   " (" + HresultHex(hr) + ")");
  }
  outcome.hr = hr;
  if (hr == DISP_E_EXCEPTION) {
    if (excep.pfnDeferredFillIn) excep.pfnDeferredFillIn(&excep);
    if (excep.scode != 0) outcome.hr = excep.scode;
    outcome.error = Json{{"description", BstrUtf8(excep.bstrDescription)},
                         {"source", BstrUtf8(excep.bstrSource)}};
  } else if (FAILED(hr)) {
    IErrorInfo* info = nullptr;
    Json error{{"description", ""}, {"source", ""}};
    if (GetErrorInfo(0, &info) == S_OK && info) {
      BSTR text = nullptr;
      if (SUCCEEDED(info->GetDescription(&text))) error["description"] = BstrUtf8(text);
      SysFreeString(text);
      text = nullptr;
      if (SUCCEEDED(info->GetSource(&text))) error["source"] = BstrUtf8(text);
      SysFreeString(text);
      info->Release();
    }
    outcome.error = error;
  }
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);

  if (retval) outcome.result[retval->name] = VariantToJson(result);
  for (std::size_t i = 0; i < params.size(); ++i)
    if (slot_of[i] >= 0) outcome.result[params[i]->name] = SlotToJson(slots[i]);
  VariantClear(&result);
  return outcome;
}

}  // namespace tarvo::tool
