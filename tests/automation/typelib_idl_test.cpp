// The committed automation/TarvoMDrv.idl is the IDL writer's output. After a
// change of the definition, regenerate it by running this test with
// TARVO_WRITE_IDL=1 and commit the result.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "automation/idl_writer.h"
#include "automation/type_library.h"

namespace tarvo::tlb::test {
namespace {

std::filesystem::path IdlPath() {
  std::filesystem::path source = std::filesystem::path(__FILE__);
  if (source.is_relative()) {
    // Compiled through a cache that rewrites paths relative to the build
    // directory: the test program sits in <build>/bin.
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) source = exe.parent_path().parent_path() / source;
  }
  return source.parent_path().parent_path().parent_path() / "automation" / "TarvoMDrv.idl";
}

TEST(TypelibIdl, CommittedFileIsTheWritersOutput) {
  const std::string written = WriteIdl();
  if (const char* update = std::getenv("TARVO_WRITE_IDL"); update && *update == '1') {
    std::ofstream(IdlPath(), std::ios::binary) << written;
  }
  std::ifstream in(IdlPath(), std::ios::binary);
  ASSERT_TRUE(in) << IdlPath();
  std::stringstream committed;
  committed << in.rdbuf();
  EXPECT_EQ(committed.str(), written);
}

TEST(TypelibIdl, DeclaresWhatMidlNeeds) {
  const std::string idl = WriteIdl();
  for (const char* piece : {
           "uuid(B4CD3BC4-FA65-4EE9-BA47-DF85C93D6E7F),\n  version(1.0),",
           "helpstring(\"TarvoMDrv Library\"),\n  control\n]\nlibrary TarvoMDrv",
           "importlib(\"stdole2.tlb\");",
           "dual,\n    oleautomation\n  ]\n  interface ITarvo: IDispatch",
           "[propget, id(0x000000C9), hidden]\n    HRESULT Visible([out, retval] VARIANT_BOOL* Value);",
           "[propput, id(0xFFFFFDFA)]\n    HRESULT Caption([in] BSTR Value);",
           "[propputref, id(0xFFFFFE00)]\n    HRESULT Font([in] IFontDisp** Value);",
           "HRESULT PortClose([in] unsigned char port_num);",
           "HRESULT GetStatus([in] unsigned char port_num, [in, out] VARIANT_BOOL* day_open, "
           "[out, retval] long* Value);",
           "dispinterface ITarvoEvents\n  {\n    properties:\n    methods:",
           "[id(0x000000CF)]\n    void OnKeyPress([in, out] short* Key);",
           "void OnActivate(void);",
           "helpstring(\"Tarvo Control\"),\n    control\n  ]\n  coclass Tarvo",
           "[default] interface ITarvo;\n    [default, source] dispinterface ITarvoEvents;",
           "afbRaised = 3\n  } TxActiveFormBorderStyle;",
           // What widl needs as well: the standard definitions imported,
           // tagged enumerations, no version on the dispinterface.
           "import \"oaidl.idl\";\nimport \"ocidl.idl\";\n\n[\n  uuid(B4CD3BC4",
           "  enum TxPrintScale\n  {\n    poNone = 0,",
           "uuid(79CDB90D-D194-4E5D-B904-638E16C811FF),\n    helpstring(\"Events interface for "
           "Tarvo Control\")\n  ]\n  dispinterface ITarvoEvents",
       })
    EXPECT_NE(idl.find(piece), std::string::npos) << piece;
  // The enumerations are defined before ITarvo uses them.
  EXPECT_LT(idl.find("} TxPrintScale;"), idl.find("interface ITarvo: IDispatch"));
}

TEST(TypelibIdl, GuidText) {
  EXPECT_EQ(GuidText(IID_IDispatch), "00020400-0000-0000-C000-000000000046");
}

}  // namespace
}  // namespace tarvo::tlb::test
