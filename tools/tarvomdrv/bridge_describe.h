#pragma once
// The bridge's description of the control, read from its type information,
// so that a client library can offer the members without knowing any by name:
//
//   -> {"id":N,"describe":true}
//   <- {"id":N,"hresult":0,"result":{"methods":[...],"properties":[...],
//                                    "events":[...]}}
//
// method:   {"name","dispid","params":[param...],"returns":{"name","type","json"}|null}
//           `returns` is the retval; the response of a call carries it and
//           every in/out parameter under their names in "result"
// param:    {"name","type","json","direction":"in"|"inout"|"out"}
// property: {"name","dispid","type","json","get":bool,"put":bool}
// event:    {"name","dispid","params":[param...]}
//
// "type" is the automation type as IDL spells it ("long", "BSTR",
// "VARIANT_BOOL", "unsigned char", ...; an enumeration or interface of the
// library is "enum" or "object"); "json" is how its values cross the bridge:
// "integer", "boolean", "string", "number" or "object".
#include "tools/tarvomdrv/late_binding.h"

namespace tarvo::tool {

Json DescribeControl(const TypeModel& methods, const TypeModel& events);

// The bridge's answer to a describe request.
Json DescribeResponse(const Json& id, const LateBoundControl& control);

}  // namespace tarvo::tool
