#pragma once
// A generic late-bound host for the control: everything it knows about
// members, parameters and events it reads from the control's type
// information, and values cross as JSON (integers, booleans, UTF-8 strings).
// The JSON-lines bridge and the demo are both built on it.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/com/com_abi.h"

namespace tarvo::tool {

using Json = nlohmann::ordered_json;

struct ParamInfo {
  std::string name;
  // Base type (by-reference parameters: the pointed-to type). Types with a
  // type information of their own show as what they are: an enumeration as
  // VT_USERDEFINED, an alias as the type it names (OLE_COLOR: VT_UI4), an
  // interface pointer as VT_DISPATCH.
  VARTYPE vt = VT_EMPTY;
  bool by_ref = false;
  bool out = false;
  bool retval = false;
  std::string type_name;  // the name of such a type ("TxPrintScale", "OLE_COLOR", "IFontDisp")
};

struct MemberInfo {
  std::string name;
  DISPID dispid = 0;
  INVOKEKIND kind = INVOKE_FUNC;
  std::vector<ParamInfo> params;  // in declaration order
};

// The members of one interface as its type information lists them.
//
// Read takes the standard shape of a dispatch interface: the members come
// from cFuncs and their FUNCDESCs, restricted ones (the IUnknown and
// IDispatch functions a dual interface's dispatch view lists) are left out,
// parameters come from cParams, and a member that returns a value
// (elemdescFunc) gets it as a last parameter with retval set, named as the
// type information names it (else "Value").
class TypeModel {
 public:
  TypeModel() = default;
  TypeModel(GUID guid, std::vector<MemberInfo> members)
      : guid_(guid), members_(std::move(members)) {}
  static TypeModel Read(ITypeInfo* info);
  // Case-insensitive look-up; kind 0 matches any kind.
  const MemberInfo* Find(const std::string& name, int kind) const;
  const MemberInfo* FindById(DISPID id) const;
  const GUID& guid() const { return guid_; }
  const std::vector<MemberInfo>& members() const { return members_; }

 private:
  GUID guid_{};
  std::vector<MemberInfo> members_;
};

// Value conversions between JSON and VARIANT.
// JSON integers become VT_I4 (VT_R8 beyond 32 bits), booleans VT_BOOL, strings
// VT_BSTR (UTF-8 -> UTF-16), null VT_EMPTY, an object a font object (its
// fields checked first: CheckValue). Returns false for arrays and for
// objects that are not a valid font.
bool JsonToVariant(const Json& value, VARIANT& out);
// The other way; by-reference variants are followed. Fonts and other objects
// become an object of their standard properties.
Json VariantToJson(const VARIANT& value);

// The outcome of one late-bound request.
struct CallOutcome {
  // A request that could not be made (unknown member, bad argument):
  // `request_error` describes it and no call result exists.
  std::optional<std::string> request_error;
  HRESULT hr = S_OK;
  Json result = Json::object();
  std::optional<Json> error;  // description/source of a failure HRESULT
};

// What a client of the control asks of it by name; LateBoundControl is the
// real one, tests and fuzz targets put a fake in its place.
class ControlCalls {
 public:
  virtual ~ControlCalls() = default;
  virtual const TypeModel& methods() const = 0;
  virtual CallOutcome CallMethod(const std::string& name, const Json& args) = 0;
  virtual CallOutcome Get(const std::string& name) = 0;
  virtual CallOutcome Put(const std::string& name, const Json& value) = 0;
};

class LateBoundControl final : public ControlCalls {
 public:
  using EventHandler = std::function<void(const std::string& name, const Json& args)>;
  using Outcome = CallOutcome;

  // Takes a reference of its own; reads the type information of the control
  // and of its default event interface.
  explicit LateBoundControl(IDispatch* control);
  ~LateBoundControl();  // releases the control (and the event sink) if still held
  LateBoundControl(const LateBoundControl&) = delete;
  LateBoundControl& operator=(const LateBoundControl&) = delete;

  // Connects an event sink to the control's event connection point; events
  // reach `handler` with their parameter names.
  HRESULT ConnectEvents(EventHandler handler);

  // Arguments are checked against their parameters' types before anything
  // is converted (CheckArguments): a bad one gives a request error.
  Outcome CallMethod(const std::string& name, const Json& args) override;
  Outcome Get(const std::string& name) override;
  Outcome Put(const std::string& name, const Json& value) override;

  // Releases the control: it raises its destruction event to a connected
  // sink and closes its ports. Idempotent.
  void Release();

  const TypeModel& methods() const override { return methods_; }
  const TypeModel& events() const { return events_; }

 private:
  Outcome Invoke(const MemberInfo& member, WORD flags, const Json* args, const Json* put_value);

  IDispatch* control_ = nullptr;
  TypeModel methods_;
  TypeModel events_;
  IUnknown* sink_ = nullptr;
  IConnectionPoint* point_ = nullptr;
  DWORD cookie_ = 0;
};

}  // namespace tarvo::tool
