// The module as a host meets it: exported functions, the class factory, the
// unload rule, self-registration and activation by ProgID.
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "tests/automation/module_host_test.h"

namespace tarvo::test {
namespace {

using ModuleEntryTest = ModuleTest;

constexpr GUID kOtherClass = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};

std::string GuidString(const GUID& guid) {
  OLECHAR text[39];
  StringFromGUID2(guid, text, 39);
  return platform::Utf16ToUtf8(text);
}

TEST_F(ModuleEntryTest, ReportsVersion3022) {
  DLLVERSIONINFO info{};
  info.cbSize = sizeof info;
  ASSERT_EQ(Module().GetVersion(&info), S_OK);
  EXPECT_EQ(info.dwMajorVersion, 3u);
  EXPECT_EQ(info.dwMinorVersion, 0u);
  EXPECT_EQ(info.dwBuildNumber, 2u);
  EXPECT_STREQ(Module().VersionText(), "3.0.2.2");

  DLLVERSIONINFO short_block{};
  short_block.cbSize = sizeof short_block - 1;
  EXPECT_EQ(Module().GetVersion(&short_block), E_INVALIDARG);
}

TEST_F(ModuleEntryTest, ExportsOnlyTheEntryPoints) {
  // The driver's own symbols stay inside: a host that links the same code
  // cannot interpose them.
  EXPECT_EQ(dlsym(Module().handle, "_ZN5tarvo10automation10ThreadLoopEv"), nullptr);
  EXPECT_EQ(dlsym(Module().handle, "_ZN5tarvo4core11DriverState8InstanceEv"), nullptr);
}

TEST_F(ModuleEntryTest, GetClassObjectServesOnlyTheClassTarvo) {
  struct Case {
    const char* what;
    GUID clsid;
    IID iid;
    HRESULT expected;
  };
  const Case cases[] = {
      {"factory of Tarvo", CLSID_Tarvo, IID_IClassFactory, S_OK},
      {"IUnknown of the factory", CLSID_Tarvo, IID_IUnknown, S_OK},
      {"interface the factory lacks", CLSID_Tarvo, IID_IDispatch, E_NOINTERFACE},
      {"another class", kOtherClass, IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    void* object = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(Module().GetClassObject(c.clsid, c.iid, &object), c.expected);
    EXPECT_EQ(object != nullptr, SUCCEEDED(c.expected));
    if (object != nullptr) static_cast<IUnknown*>(object)->Release();
  }
}

TEST_F(ModuleEntryTest, FactoryRefusesAggregationAndUnknownInterfaces) {
  Ref<IClassFactory> factory;
  ASSERT_EQ(Module().GetClassObject(CLSID_Tarvo, IID_IClassFactory, factory.out()), S_OK);
  RecordingSink outer;
  void* object = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(factory->CreateInstance(&outer, IID_IUnknown, &object), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &object), E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  // The refused control is gone again.
  EXPECT_EQ(Module().CanUnloadNow(), S_OK);
}

TEST_F(ModuleEntryTest, CanUnloadOnlyWithoutObjectsAndLocks) {
  ASSERT_EQ(Module().CanUnloadNow(), S_OK);
  Ref<IClassFactory> factory;
  ASSERT_EQ(Module().GetClassObject(CLSID_Tarvo, IID_IClassFactory, factory.out()), S_OK);

  ASSERT_EQ(factory->LockServer(1), S_OK);
  EXPECT_EQ(Module().CanUnloadNow(), S_FALSE);
  ASSERT_EQ(factory->LockServer(0), S_OK);
  EXPECT_EQ(Module().CanUnloadNow(), S_OK);

  Ref<ITarvo> first, second;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_ITarvo, first.out()), S_OK);
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_ITarvo, second.out()), S_OK);
  EXPECT_NE(first.get(), second.get()) << "every request makes a new control";
  EXPECT_EQ(Module().CanUnloadNow(), S_FALSE);
  first.Reset();
  EXPECT_EQ(Module().CanUnloadNow(), S_FALSE);
  second.Reset();
  EXPECT_EQ(Module().CanUnloadNow(), S_OK);
}

TEST_F(ModuleEntryTest, EveryObjectHandedOutKeepsTheModuleLoaded) {
  // One of each kind of object the module hands out, each held alone after
  // the control is gone.
  auto type_info = [](ITarvo* c, Ref<IUnknown>& out) {
    return c->GetTypeInfo(0, 0, reinterpret_cast<ITypeInfo**>(out.put()));
  };
  auto type_lib = [](ITarvo* c, Ref<IUnknown>& out) {
    Ref<ITypeInfo> info;
    HRESULT hr = c->GetTypeInfo(0, 0, info.put());
    if (FAILED(hr)) return hr;
    return info->GetContainingTypeLib(reinterpret_cast<ITypeLib**>(out.put()), nullptr);
  };
  auto interface_view = [](ITarvo* c, Ref<IUnknown>& out) {
    Ref<ITypeInfo> info;
    HRESULT hr = c->GetTypeInfo(0, 0, info.put());
    HREFTYPE ref = 0;
    if (SUCCEEDED(hr)) hr = info->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref);
    if (FAILED(hr)) return hr;
    return info->GetRefTypeInfo(ref, reinterpret_cast<ITypeInfo**>(out.put()));
  };
  auto type_comp = [](ITarvo* c, Ref<IUnknown>& out) {
    Ref<ITypeInfo> info;
    HRESULT hr = c->GetTypeInfo(0, 0, info.put());
    if (FAILED(hr)) return hr;
    return info->GetTypeComp(reinterpret_cast<ITypeComp**>(out.put()));
  };
  auto enumerator = [](ITarvo* c, Ref<IUnknown>& out) {
    Ref<IConnectionPointContainer> container;
    HRESULT hr = c->QueryInterface(IID_IConnectionPointContainer, container.out());
    if (FAILED(hr)) return hr;
    return container->EnumConnectionPoints(reinterpret_cast<IEnumConnectionPoints**>(out.put()));
  };
  auto font = [](ITarvo* c, Ref<IUnknown>& out) {
    return c->get_Font(reinterpret_cast<IFontDisp**>(out.put()));
  };
  const struct {
    const char* what;
    HRESULT (*take)(ITarvo*, Ref<IUnknown>&);
  } cases[] = {{"type information", type_info}, {"function-table view", interface_view},
               {"type library", type_lib},      {"type comp", type_comp},
               {"enumerator", enumerator},      {"font", font}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(Module().CanUnloadNow(), S_OK);
    Ref<IUnknown> held;
    {
      Ref<ITarvo> control;
      ASSERT_EQ(CreateControl(control), S_OK);
      ASSERT_EQ(c.take(control.get(), held), S_OK);
    }
    ASSERT_TRUE(PumpUntil([] { return true; }));
    EXPECT_EQ(Module().CanUnloadNow(), S_FALSE);
    held.Reset();
    EXPECT_TRUE(PumpUntil([] { return Module().CanUnloadNow() == S_OK; }));
  }
}

// --- Registration ---------------------------------------------------------------

struct Expected {
  std::string key;
  std::string name;
  std::string value;
};

std::vector<Expected> ExpectedEntries(const std::string& module) {
  const std::string cls = "CLSID\\" + GuidString(CLSID_Tarvo);
  const std::string lib = GuidString(LIBID_TarvoMDrv);
  const std::string dir = module.substr(0, module.rfind('/'));
  const std::string typelib = "TypeLib\\" + lib + "\\1.0";
  const std::string itarvo = "Interface\\" + GuidString(IID_ITarvo);
  const std::string events = "Interface\\" + GuidString(DIID_ITarvoEvents);
  return {
      {typelib, "", "TarvoMDrv Library"},
      {typelib + "\\409\\win32", "", module},
      {typelib + "\\FLAGS", "", "2"},
      {typelib + "\\HELPDIR", "", dir},
      {itarvo, "", "ITarvo"},
      {itarvo + "\\ProxyStubClsid32", "", "{00020424-0000-0000-C000-000000000046}"},
      {itarvo + "\\TypeLib", "", lib},
      {itarvo + "\\TypeLib", "Version", "1.0"},
      {events, "", "ITarvoEvents"},
      {events + "\\ProxyStubClsid32", "", "{00020420-0000-0000-C000-000000000046}"},
      {events + "\\TypeLib", "", lib},
      {cls, "", "Tarvo Control"},
      {cls + "\\InprocServer32", "", module},
      {cls + "\\InprocServer32", "ThreadingModel", "Apartment"},
      {"TarvoMDrv.Tarvo", "", "Tarvo Control"},
      {"TarvoMDrv.Tarvo\\Clsid", "", GuidString(CLSID_Tarvo)},
      {cls + "\\ProgID", "", "TarvoMDrv.Tarvo"},
      {cls + "\\Version", "", "1.0"},
      {cls + "\\TypeLib", "", lib},
      {cls + "\\MiscStatus", "", "0"},
      {cls + "\\MiscStatus\\1", "", "205201"},
      {cls + "\\ToolboxBitmap32", "", module + ",1"},
      {cls + "\\Control", "", ""},
      {cls + "\\Verb", "", ""},
      {cls + "\\Verb\\0", "", "Properties,0,2"},
  };
}

TEST_F(ModuleEntryTest, RegistersClassProgIdAndTypeLibrary) {
  ASSERT_EQ(Module().RegisterServer(), S_OK);
  for (const Expected& e : ExpectedEntries(Module().path)) {
    SCOPED_TRACE(e.key + " " + e.name);
    std::string value;
    ASSERT_TRUE(com::registry::GetValue(e.key, e.name, value));
    EXPECT_EQ(value, e.value);
  }
  // The class comes first after the type library, and the verb last.
  const auto keys = com::registry::Keys();
  const auto at = [&](const std::string& key) {
    for (std::size_t i = 0; i < keys.size(); ++i)
      if (strcasecmp(keys[i].c_str(), key.c_str()) == 0) return i;
    return keys.size();
  };
  const std::string cls = "CLSID\\" + GuidString(CLSID_Tarvo);
  EXPECT_LT(at("TypeLib\\" + GuidString(LIBID_TarvoMDrv) + "\\1.0"), at(cls));
  EXPECT_LT(at(cls + "\\MiscStatus\\1"), at(cls + "\\Verb\\0"));
}

TEST_F(ModuleEntryTest, APathWithASpaceIsRegisteredInFull) {
  // This system has no short file names: both entries carry the full path.
  TempDir dir;
  const auto spaced = dir.path() / "Program Files" / "TarvoMDrv.so";
  std::filesystem::create_directory(spaced.parent_path());
  std::filesystem::copy_file(Module().path, spaced);
  void* copy = dlopen(spaced.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(copy, nullptr) << dlerror();
  auto register_server = reinterpret_cast<HRESULT (*)()>(dlsym(copy, "DllRegisterServer"));
  ASSERT_NE(register_server, nullptr);
  ASSERT_EQ(register_server(), S_OK);
  const std::string cls = "CLSID\\" + GuidString(CLSID_Tarvo);
  std::string inproc, bitmap;
  ASSERT_TRUE(com::registry::GetValue(cls + "\\InprocServer32", "", inproc));
  ASSERT_TRUE(com::registry::GetValue(cls + "\\ToolboxBitmap32", "", bitmap));
  EXPECT_EQ(inproc, spaced.string());
  EXPECT_EQ(bitmap, spaced.string() + ",1");
  // The copy stays loaded (its code may still be referenced); its file can go.
}

TEST_F(ModuleEntryTest, RegisteringTwiceEqualsRegisteringOnce) {
  ASSERT_EQ(Module().RegisterServer(), S_OK);
  const std::string once = registry_.Text();
  ASSERT_EQ(Module().RegisterServer(), S_OK);
  EXPECT_EQ(registry_.Text(), once);
}

TEST_F(ModuleEntryTest, UnregisteringRemovesEveryEntry) {
  ASSERT_EQ(Module().RegisterServer(), S_OK);
  ASSERT_EQ(Module().UnregisterServer(), S_OK);
  for (const Expected& e : ExpectedEntries(Module().path)) {
    SCOPED_TRACE(e.key);
    EXPECT_FALSE(com::registry::KeyExists(e.key));
  }
}

TEST_F(ModuleEntryTest, UnregisteringANeverRegisteredModuleSucceeds) {
  EXPECT_EQ(Module().UnregisterServer(), S_OK);
}

TEST_F(ModuleEntryTest, UnwritableStoreFailsWithTheRegistryMessage) {
  TempDir dir;
  const auto plain_file = dir.path() / "plain";
  std::ofstream(plain_file) << "not a directory";
  const auto read_only = dir.path() / "read-only";
  std::filesystem::create_directory(read_only);
  chmod(read_only.c_str(), 0555);

  struct Case {
    const char* what;
    std::filesystem::path store;
  };
  std::vector<Case> cases = {{"store below a regular file", plain_file / "registry.reg"}};
  if (geteuid() != 0)  // root writes into read-only directories anyway
    cases.push_back({"store in a read-only directory", read_only / "registry.reg"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedRegistry store(c.store);
    ::testing::internal::CaptureStderr();
    const HRESULT hr = Module().RegisterServer();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(hr, E_FAIL);
    EXPECT_NE(err.find("Error creating system registry entry"), std::string::npos) << err;
  }
}

TEST_F(ModuleEntryTest, RegisteredClassIsCreatedByProgId) {
  ASSERT_EQ(Module().RegisterServer(), S_OK);
  CLSID clsid{};
  ASSERT_EQ(CLSIDFromProgID(u"TarvoMDrv.Tarvo", &clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_Tarvo);

  Ref<ITarvo> control;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ITarvo, control.out()),
            S_OK);
  VARIANT_BOOL mode650 = 0;
  EXPECT_EQ(control->get_Mode650(&mode650), S_OK);
  EXPECT_EQ(mode650, VARIANT_TRUE);
  // The runtime loaded the very module this test holds: one module, one
  // object count.
  EXPECT_EQ(Module().CanUnloadNow(), S_FALSE);
}

}  // namespace
}  // namespace tarvo::test
