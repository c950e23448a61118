#include "tools/tarvomdrv/bridge_describe.h"

#include <map>
#include <utility>

namespace tarvo::tool {
namespace {

struct TypeName {
  const char* idl;
  const char* json;
};

// Automation types as the bridge passes them (see JsonToVariant).
TypeName NameOf(VARTYPE vt) {
  switch (vt) {
    case VT_I1: return {"char", "integer"};
    case VT_UI1: return {"unsigned char", "integer"};
    case VT_I2: return {"short", "integer"};
    case VT_UI2: return {"unsigned short", "integer"};
    case VT_I4: return {"long", "integer"};
    case VT_UI4: return {"unsigned long", "integer"};
    case VT_INT: return {"int", "integer"};
    case VT_UINT: return {"unsigned int", "integer"};
    case VT_I8: return {"hyper", "integer"};
    case VT_UI8: return {"unsigned hyper", "integer"};
    case VT_R4: return {"float", "number"};
    case VT_R8: return {"double", "number"};
    case VT_CY: return {"CURRENCY", "number"};
    case VT_BOOL: return {"VARIANT_BOOL", "boolean"};
    case VT_BSTR: return {"BSTR", "string"};
    case VT_ERROR: return {"SCODE", "integer"};
    case VT_USERDEFINED: return {"enum", "integer"};
    case VT_DISPATCH: return {"object", "object"};
    case VT_UNKNOWN: return {"object", "object"};
    case VT_VARIANT: return {"VARIANT", "any"};
    case VT_VOID: return {"void", "null"};
    default: return {"unknown", "any"};
  }
}

void PutType(Json& out, VARTYPE vt) {
  const TypeName name = NameOf(vt);
  out["type"] = name.idl;
  out["json"] = name.json;
}

Json Param(const ParamInfo& p) {
  Json out{{"name", p.name}};
  PutType(out, p.vt);
  out["direction"] = p.out ? (p.by_ref ? "inout" : "out") : "in";
  return out;
}

}  // namespace

Json DescribeControl(const TypeModel& methods, const TypeModel& events) {
  Json method_list = Json::array();
  Json property_list = Json::array();
  // Properties by name, in the order of their first accessor.
  std::map<std::string, std::size_t> property_at;

  for (const MemberInfo& m : methods.members()) {
    if (m.kind == INVOKE_FUNC) {
      Json method{{"name", m.name}, {"dispid", m.dispid}, {"params", Json::array()},
                  {"returns", nullptr}};
      for (const ParamInfo& p : m.params) {
        if (p.retval) {
          Json returns{{"name", p.name}};
          PutType(returns, p.vt);
          method["returns"] = std::move(returns);
        } else {
          method["params"].push_back(Param(p));
        }
      }
      method_list.push_back(std::move(method));
      continue;
    }
    auto [it, fresh] = property_at.try_emplace(m.name, property_list.size());
    if (fresh) {
      property_list.push_back(Json{{"name", m.name}, {"dispid", m.dispid}, {"type", "unknown"},
                                   {"json", "any"}, {"get", false}, {"put", false}});
    }
    Json& property = property_list[it->second];
    // The getter's retval or the put's value gives the type.
    if (!m.params.empty()) PutType(property, m.params.back().vt);
    if (m.kind == INVOKE_PROPERTYGET) property["get"] = true;
    if (m.kind == INVOKE_PROPERTYPUT || m.kind == INVOKE_PROPERTYPUTREF) property["put"] = true;
  }

  Json event_list = Json::array();
  for (const MemberInfo& e : events.members()) {
    Json event{{"name", e.name}, {"dispid", e.dispid}, {"params", Json::array()}};
    for (const ParamInfo& p : e.params) event["params"].push_back(Param(p));
    event_list.push_back(std::move(event));
  }
  return Json{{"methods", std::move(method_list)},
              {"properties", std::move(property_list)},
              {"events", std::move(event_list)}};
}

Json DescribeResponse(const Json& id, const LateBoundControl& control) {
  return Json{{"id", id},
              {"hresult", 0},
              {"result", DescribeControl(control.methods(), control.events())}};
}

}  // namespace tarvo::tool
