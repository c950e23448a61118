// IDL text of the type library, written from the tables of type_library.
#include "automation/idl_writer.h"

#include <cstdio>
#include <string_view>

#include "automation/type_library.h"

namespace tarvo::tlb {
namespace {

std::string Hex8(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

std::string ParamText(const ParamDef& p) {
  std::string attrs;
  if (p.IsRetval())
    attrs = "out, retval";
  else if (p.IsInOut())
    attrs = "in, out";
  else
    attrs = "in";
  std::string text = "[" + attrs + "] " + std::string(p.type->idl);
  if (p.byRef) text += "*";
  // MIDL needs a name; the value of a put is called Value in the C++ too.
  text += " " + std::string(p.name.empty() ? std::string_view("Value") : p.name);
  return text;
}

std::string ParamList(const FuncDef& f) {
  if (f.params.empty()) return "void";
  std::string text;
  for (const ParamDef& p : f.params) {
    if (!text.empty()) text += ", ";
    text += ParamText(p);
  }
  return text;
}

// A dispinterface takes no version attribute (the IDL compilers refuse it);
// every other entry is version 1.0.
void Attributes(std::string& out, const TypeInfoDef& t,
                std::initializer_list<std::string_view> extra, bool versioned = true) {
  out += "  [\n    uuid(" + GuidText(t.guid) + ")";
  if (versioned) out += ",\n    version(1.0)";
  if (!t.help.empty()) out += ",\n    helpstring(\"" + std::string(t.help) + "\")";
  for (std::string_view e : extra) out += ",\n    " + std::string(e);
  out += "\n  ]\n";
}

void Enumeration(std::string& out, const TypeInfoDef& t) {
  // A tagged enumeration: the tag gives the type information its name in
  // every IDL compiler.
  out += "  typedef\n";
  Attributes(out, t, {});
  out += "  enum " + std::string(t.name) + "\n  {\n";
  for (std::size_t i = 0; i < t.values.size(); ++i) {
    out += "    " + std::string(t.values[i].name) + " = " + std::to_string(t.values[i].value);
    out += i + 1 < t.values.size() ? ",\n" : "\n";
  }
  out += "  } " + std::string(t.name) + ";\n\n";
}

void DualInterface(std::string& out, const TypeInfoDef& t) {
  Attributes(out, t, {"dual", "oleautomation"});
  out += "  interface " + std::string(t.name) + ": IDispatch\n  {\n";
  for (const FuncDef& f : t.funcs) {
    std::string attrs;
    if (f.kind == INVOKE_PROPERTYGET) attrs = "propget, ";
    if (f.kind == INVOKE_PROPERTYPUT) attrs = "propput, ";
    if (f.kind == INVOKE_PROPERTYPUTREF) attrs = "propputref, ";
    attrs += "id(" + Hex8(static_cast<std::uint32_t>(f.dispid)) + ")";
    if (f.IsHidden()) attrs += ", hidden";
    out += "    [" + attrs + "]\n";
    out += "    HRESULT " + std::string(f.name) + "(" + ParamList(f) + ");\n";
  }
  out += "  };\n\n";
}

void DispInterface(std::string& out, const TypeInfoDef& t) {
  Attributes(out, t, {}, false);
  out += "  dispinterface " + std::string(t.name) + "\n  {\n    properties:\n    methods:\n";
  for (const FuncDef& f : t.funcs) {
    out += "    [id(" + Hex8(static_cast<std::uint32_t>(f.dispid)) + ")]\n";
    out += "    void " + std::string(f.name) + "(" + ParamList(f) + ");\n";
  }
  out += "  };\n\n";
}

void CoClass(std::string& out, const TypeInfoDef& t) {
  Attributes(out, t, {"control"});
  const auto types = TypeInfos();
  out += "  coclass " + std::string(t.name) + "\n  {\n";
  out += "    [default] interface " + std::string(types[t.defaultIface].name) + ";\n";
  out += "    [default, source] dispinterface " + std::string(types[t.defaultSource].name) + ";\n";
  out += "  };\n\n";
}

}  // namespace

std::string GuidText(const GUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

std::string WriteIdl() {
  const LibraryDef& lib = Library();
  const auto types = TypeInfos();
  std::string out;
  out += "// " + std::string(lib.name) + ".idl: type library of the Tarvo control.\n";
  out += "// Written by the driver's IDL writer from automation/tarvo_tlb.def; do not edit.\n\n";
  // The standard definitions (IDispatch, IFontDisp, OLE_COLOR ...) for the
  // IDL compiler; the library itself refers to them through stdole2.tlb.
  out += "import \"oaidl.idl\";\nimport \"ocidl.idl\";\n\n";
  out += "[\n  uuid(" + GuidText(lib.guid) + "),\n";
  out += "  version(" + std::to_string(lib.major) + "." + std::to_string(lib.minor) + "),\n";
  char lcid[16];
  std::snprintf(lcid, sizeof lcid, "0x%04X", static_cast<unsigned>(lib.lcid));
  out += "  lcid(" + std::string(lcid) + "),\n";
  out += "  helpstring(\"" + std::string(lib.help) + "\")";
  if (lib.libFlags & LIBFLAG_FCONTROL) out += ",\n  control";
  out += "\n]\nlibrary " + std::string(lib.name) + "\n{\n\n";
  out += "  importlib(\"stdole2.tlb\");\n\n";

  // Forward declarations keep the library order (interfaces and the class
  // first) although the enumerations must be defined before their use.
  for (const TypeInfoDef& t : types) {
    if (t.kind == TKIND_DISPATCH)
      out += std::string((t.typeFlags & TYPEFLAG_FDUAL) ? "  interface " : "  dispinterface ") +
             std::string(t.name) + ";\n";
    else if (t.kind == TKIND_COCLASS)
      out += "  coclass " + std::string(t.name) + ";\n";
  }
  out += "\n";
  for (const TypeInfoDef& t : types)
    if (t.kind == TKIND_ENUM) Enumeration(out, t);
  for (const TypeInfoDef& t : types) {
    if (t.kind == TKIND_DISPATCH && (t.typeFlags & TYPEFLAG_FDUAL)) DualInterface(out, t);
    else if (t.kind == TKIND_DISPATCH) DispInterface(out, t);
    else if (t.kind == TKIND_COCLASS) CoClass(out, t);
  }
  out += "};\n";
  return out;
}

}  // namespace tarvo::tlb
