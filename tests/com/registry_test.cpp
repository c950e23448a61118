// The registry stand-in file, GUID text forms and activation failures.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/com/com_runtime.h"
#include "platform/com/registry_format.h"

namespace tarvo::com::registry {
// Readable failure messages for the model.
void PrintTo(const Value& v, std::ostream* os) {
  *os << (v.text ? "text " : "raw ") << ::testing::PrintToString(v.name) << "="
      << ::testing::PrintToString(v.data);
}
}  // namespace tarvo::com::registry

namespace {

namespace fs = std::filesystem;
namespace reg = tarvo::com::registry;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Points the store at a fresh directory for each test.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/tarvo-registry-XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    dir_ = templ;
    UseStore(dir_ / "conf" / "registry.reg");
  }
  void TearDown() override {
    ::unsetenv("TARVO_REGISTRY");
    std::error_code ec;
    fs::permissions(dir_ / "ro", fs::perms::owner_all, ec);
    fs::remove_all(dir_, ec);
  }
  void UseStore(const fs::path& path) {
    store_ = path;
    ::setenv("TARVO_REGISTRY", path.c_str(), 1);
  }

  fs::path dir_;
  fs::path store_;
};

TEST_F(RegistryTest, StorePathFollowsTheEnvironment) {
  EXPECT_EQ(reg::StorePath(), store_.string());
  ::unsetenv("TARVO_REGISTRY");
  const char* old_xdg = std::getenv("XDG_CONFIG_HOME");
  const std::string saved_xdg = old_xdg != nullptr ? old_xdg : "";
  const std::string saved_home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
  ::setenv("XDG_CONFIG_HOME", "/x/conf", 1);
  EXPECT_EQ(reg::StorePath(), "/x/conf/tarvomdrv/registry.reg");
  ::unsetenv("XDG_CONFIG_HOME");
  ::setenv("HOME", "/home/pos", 1);
  EXPECT_EQ(reg::StorePath(), "/home/pos/.config/tarvomdrv/registry.reg");
  ::setenv("HOME", saved_home.c_str(), 1);
  if (old_xdg != nullptr) ::setenv("XDG_CONFIG_HOME", saved_xdg.c_str(), 1);
}

TEST_F(RegistryTest, WritesTheExportFormatByteForByte) {
  ASSERT_EQ(reg::SetValue("CLSID\\{1}\\InprocServer32", "", "/opt/a \"b\"\\c.so"), S_OK);
  ASSERT_EQ(reg::SetValue("CLSID\\{1}\\InprocServer32", "ThreadingModel", "Apartment"), S_OK);
  ASSERT_EQ(reg::SetValue("CLSID\\{1}", "", "Tarvo Control"), S_OK);
  ASSERT_EQ(reg::CreateKey("CLSID\\{1}\\Control"), S_OK);
  EXPECT_EQ(ReadAll(store_),
            "Windows Registry Editor Version 5.00\n"
            "\n"
            "[HKEY_CLASSES_ROOT\\CLSID]\n"
            "\n"
            "[HKEY_CLASSES_ROOT\\CLSID\\{1}]\n"
            "@=\"Tarvo Control\"\n"
            "\n"
            "[HKEY_CLASSES_ROOT\\CLSID\\{1}\\InprocServer32]\n"
            "@=\"/opt/a \\\"b\\\"\\\\c.so\"\n"
            "\"ThreadingModel\"=\"Apartment\"\n"
            "\n"
            "[HKEY_CLASSES_ROOT\\CLSID\\{1}\\Control]\n"
            "\n");
  std::string value;
  ASSERT_TRUE(reg::GetValue("clsid\\{1}\\INPROCSERVER32", "", value));
  EXPECT_EQ(value, "/opt/a \"b\"\\c.so");
  ASSERT_TRUE(reg::GetValue("CLSID\\{1}\\InprocServer32", "threadingmodel", value));
  EXPECT_EQ(value, "Apartment");
  EXPECT_FALSE(reg::GetValue("CLSID\\{1}", "Missing", value));
  EXPECT_FALSE(reg::GetValue("CLSID\\{2}", "", value));
}

TEST_F(RegistryTest, ReadsFilesWrittenByOthers) {
  fs::create_directories(store_.parent_path());
  std::ofstream(store_, std::ios::binary)
      << "Windows Registry Editor Version 5.00\r\n\r\n"
         "; a comment\r\n"
         "[HKEY_CLASSES_ROOT\\TarvoMDrv.Tarvo\\Clsid]\r\n"
         "@=\"{5B2A5F71-0C3E-4B8A-9D21-7E4F1A6C3B90}\"\r\n"
         "\"Flags\"=dword:00000001\r\n"
         "\"Blob\"=hex:01,02,\\\r\n"
         "  03\r\n";
  std::string value;
  ASSERT_TRUE(reg::GetValue("TarvoMDrv.Tarvo\\Clsid", "", value));
  EXPECT_EQ(value, "{5B2A5F71-0C3E-4B8A-9D21-7E4F1A6C3B90}");
  // Key names keep their first spelling; values of other types survive a write.
  ASSERT_EQ(reg::SetValue("TARVOMDRV.TARVO\\CLSID", "Extra", "1"), S_OK);
  EXPECT_EQ(ReadAll(store_),
            "Windows Registry Editor Version 5.00\n"
            "\n"
            "[HKEY_CLASSES_ROOT\\TarvoMDrv.Tarvo\\Clsid]\n"
            "@=\"{5B2A5F71-0C3E-4B8A-9D21-7E4F1A6C3B90}\"\n"
            "\"Flags\"=dword:00000001\n"
            "\"Blob\"=hex:01,02,\\\n"
            "  03\n"
            "\"Extra\"=\"1\"\n"
            "\n"
            "[HKEY_CLASSES_ROOT\\TARVOMDRV.TARVO]\n"
            "\n");
}

// Names and values are written one per line: a line break in one of them
// would cut it short and let the rest read as keys and values of their own.
TEST_F(RegistryTest, RefusesLineBreaksAndLeavesTheFileAsItWas) {
  ASSERT_EQ(reg::SetValue("Kept", "", "old"), S_OK);
  const std::string before = ReadAll(store_);
  struct Case {
    const char* key;
    const char* name;
    const char* value;
  };
  const Case cases[] = {
      {"Kept", "", "two\nlines"},
      {"Kept", "", "x\"\r\n[HKEY_CLASSES_ROOT\\Injected]\r\n@=\"y"},
      {"Kept", "", "ends in CR\r"},
      {"Kept", "Na\nme", "v"},
      {"Kept\n[HKEY_CLASSES_ROOT\\Injected", "", "v"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::string(c.key) + "|" + c.name + "|" + c.value));
    EXPECT_EQ(reg::SetValue(c.key, c.name, c.value), E_INVALIDARG);
    IErrorInfo* info = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
    BSTR text = nullptr;
    info->GetDescription(&text);
    EXPECT_NE(tarvo::com::BstrText(text).find(u"line break"), std::u16string::npos);
    SysFreeString(text);
    info->Release();
  }
  EXPECT_EQ(reg::CreateKey("A\rB"), E_INVALIDARG);
  EXPECT_EQ(ReadAll(store_), before);
  EXPECT_EQ(reg::Keys(), (std::vector<std::string>{"Kept"}));
}

// A raw value whose continuation backslash is the last thing in the file
// ends there; the next write must not join the following value to it.
TEST_F(RegistryTest, RawValueCutOffAtTheEndKeepsTheNextWriteApart) {
  fs::create_directories(store_.parent_path());
  std::ofstream(store_, std::ios::binary) << "Windows Registry Editor Version 5.00\r\n\r\n"
                                             "[HKEY_CLASSES_ROOT\\K]\r\n"
                                             "\"Blob\"=hex:01,02,\\";
  ASSERT_EQ(reg::SetValue("K", "Next", "1"), S_OK);
  ASSERT_EQ(reg::SetValue("Other", "", "2"), S_OK);
  std::string value;
  ASSERT_TRUE(reg::GetValue("K", "Next", value));
  EXPECT_EQ(value, "1");
  ASSERT_TRUE(reg::GetValue("K", "Blob", value));
  EXPECT_EQ(value, "hex:01,02,");
  ASSERT_TRUE(reg::GetValue("Other", "", value));
  EXPECT_EQ(value, "2");
}

// The file's text and its model: what is written reads back the same, also
// for files that other tools wrote with CR line ends and stray CRs.
TEST(RegistryFormat, WhatIsWrittenReadsBackTheSame) {
  const char* texts[] = {
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CLASSES_ROOT\\A]\r\n@=\"x\\\\y\\\"z\"\r\n"
      "\"N\"=dword:00000001\r\r\n\"B\"=hex:01,\\\r\n  02,\\\r\n\r\n[HKEY_CLASSES_ROOT\\B]\r\n",
      "[HKEY_CLASSES_ROOT\\A]\n\"R\"=hex:01,\\",
      "[HKEY_CLASSES_ROOT\\A]\n\"R\"=hex:\\\n03,\\\n",
      "[A]\n\"v\"=\"1\"\n[a]\n\"V\"=raw\n\"\"=\"default\"\n",
      "[HKEY_CLASSES_ROOT\\A]\n\"R\"=hex:01,\\\\\\",
      "[HKEY_CLASSES_ROOT\\A]\n\"R\"=hex:01,\r\\",
  };
  for (const char* text : texts) {
    SCOPED_TRACE(::testing::PrintToString(std::string(text)));
    const reg::Store parsed = reg::ParseStore(text);
    const std::string written = reg::SerializeStore(parsed);
    EXPECT_EQ(reg::ParseStore(written), parsed);
    EXPECT_EQ(reg::SerializeStore(reg::ParseStore(written)), written);
  }
  const reg::Store parsed = reg::ParseStore(texts[0]);
  ASSERT_EQ(parsed.size(), 2u);
  EXPECT_EQ(parsed[0].values,
            (std::vector<reg::Value>{{"", "x\\y\"z", true},
                                     {"N", "dword:00000001", false},
                                     {"B", "hex:01,\\\n  02,\\\n", false}}));
  for (const char* cut_off : {texts[1], texts[4], texts[5]})
    EXPECT_EQ(reg::ParseStore(cut_off)[0].values, (std::vector<reg::Value>{{"R", "hex:01,", false}}));
  // Keys and names compare case-insensitively; the first spelling stays.
  const reg::Store merged = reg::ParseStore(texts[3]);
  ASSERT_EQ(merged.size(), 1u);
  EXPECT_EQ(merged[0].path, "A");
  EXPECT_EQ(merged[0].values,
            (std::vector<reg::Value>{{"V", "raw", false}, {"", "default", true}}));
}

TEST_F(RegistryTest, DeleteKeepsKeysWithSubkeys) {
  ASSERT_EQ(reg::SetValue("CLSID\\{1}\\Verb\\0", "", "Properties,0,2"), S_OK);
  EXPECT_EQ(reg::DeleteKey("CLSID\\{1}\\Verb"), E_ACCESSDENIED);
  EXPECT_TRUE(reg::KeyExists("CLSID\\{1}\\Verb"));
  EXPECT_TRUE(reg::KeyExists("CLSID\\{1}\\Verb\\0"));
  EXPECT_EQ(reg::DeleteKey("clsid\\{1}\\verb\\0"), S_OK);
  EXPECT_FALSE(reg::KeyExists("CLSID\\{1}\\Verb\\0"));
  EXPECT_EQ(reg::DeleteKey("CLSID\\{1}\\Verb"), S_OK);
  EXPECT_EQ(reg::DeleteKey("CLSID\\{1}\\Verb"), S_FALSE);
  EXPECT_EQ(reg::Keys(), (std::vector<std::string>{"CLSID", "CLSID\\{1}"}));
  // A key whose name merely starts like another is no subkey.
  ASSERT_EQ(reg::CreateKey("CLSID\\{1}x"), S_OK);
  EXPECT_EQ(reg::DeleteKey("CLSID\\{1}"), S_OK);
}

TEST_F(RegistryTest, ConcurrentWritersInTwoProcessesLoseNothing) {
  constexpr int kPerWriter = 50;
  pid_t children[2];
  for (int w = 0; w < 2; ++w) {
    children[w] = ::fork();
    ASSERT_GE(children[w], 0);
    if (children[w] == 0) {
      int failures = 0;
      for (int i = 0; i < kPerWriter; ++i) {
        const std::string name = "w" + std::to_string(w) + "_" + std::to_string(i);
        if (reg::SetValue("Shared", name, std::to_string(i)) != S_OK) ++failures;
      }
      ::_exit(failures == 0 ? 0 : 1);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int w = 0; w < 2; ++w) {
    for (int i = 0; i < kPerWriter; ++i) {
      std::string value;
      EXPECT_TRUE(reg::GetValue("Shared", "w" + std::to_string(w) + "_" + std::to_string(i),
                                value));
      EXPECT_EQ(value, std::to_string(i));
    }
  }
  // No temporary files are left behind.
  for (const auto& entry : fs::directory_iterator(store_.parent_path()))
    EXPECT_TRUE(entry.path() == store_ || entry.path().string() == store_.string() + ".lock")
        << entry.path();
}

TEST_F(RegistryTest, UnwritableStoreFailsAndKeepsTheOldFile) {
  ASSERT_EQ(reg::SetValue("Kept", "", "old"), S_OK);
  const std::string before = ReadAll(store_);

  // The lock cannot be taken: nothing is written.
  fs::remove(store_.string() + ".lock");
  fs::create_directory(store_.string() + ".lock");
  HRESULT hr = reg::SetValue("Kept", "", "new");
  EXPECT_TRUE(hr == E_FAIL || hr == E_ACCESSDENIED) << std::hex << hr;
  EXPECT_EQ(ReadAll(store_), before);
  IErrorInfo* info = nullptr;
  ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
  BSTR text = nullptr;
  info->GetDescription(&text);
  EXPECT_NE(tarvo::com::BstrText(text).find(u".lock"), std::u16string::npos);
  SysFreeString(text);
  info->Release();

  // A store below a plain file.
  UseStore(store_ / "below-a-file.reg");
  hr = reg::CreateKey("Any");
  EXPECT_TRUE(hr == E_FAIL || hr == E_ACCESSDENIED) << std::hex << hr;

  // A read-only directory (root writes there anyway).
  if (::geteuid() != 0) {
    fs::create_directories(dir_ / "ro");
    UseStore(dir_ / "ro" / "registry.reg");
    ASSERT_EQ(reg::SetValue("Kept", "", "old"), S_OK);
    fs::permissions(dir_ / "ro", fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(reg::SetValue("Kept", "", "new"), E_ACCESSDENIED);
    std::string value;
    ASSERT_TRUE(reg::GetValue("Kept", "", value));
    EXPECT_EQ(value, "old");
  }
}

TEST(Guid, TextRoundTrip) {
  const GUID guid = {0x5B2A5F71, 0x0C3E, 0x4B8A, {0x9D, 0x21, 0x7E, 0x4F, 0x1A, 0x6C, 0x3B, 0x90}};
  OLECHAR text[39];
  ASSERT_EQ(StringFromGUID2(guid, text, 39), 39);
  EXPECT_EQ(std::u16string(text), u"{5B2A5F71-0C3E-4B8A-9D21-7E4F1A6C3B90}");
  EXPECT_EQ(StringFromGUID2(guid, text, 38), 0);

  GUID back{};
  ASSERT_EQ(CLSIDFromString(text, &back), S_OK);
  EXPECT_EQ(back, guid);
  ASSERT_EQ(CLSIDFromString(u"{5b2a5f71-0c3e-4b8a-9d21-7e4f1a6c3b90}", &back), S_OK);
  EXPECT_EQ(back, guid);
  const char16_t* bad[] = {u"5B2A5F71-0C3E-4B8A-9D21-7E4F1A6C3B90", u"",
                           u"{5B2A5F71-0C3E-4B8A-9D21-7E4F1A6C3B9}",
                           u"{5B2A5F71-0C3E-4B8A-9D21-7E4F1A6C3B900}",
                           u"{5B2A5F71+0C3E-4B8A-9D21-7E4F1A6C3B90}",
                           u"{5B2A5F71-0C3E-4B8A-9D21-7E4F1A6C3BG0}"};
  for (std::size_t i = 0; i < std::size(bad); ++i)
    EXPECT_EQ(CLSIDFromString(bad[i], &back), CO_E_CLASSSTRING) << "bad text #" << i;
}

// The successful path loads the real module and is covered by its own tests.
TEST_F(RegistryTest, ActivationFailuresNameTheirCause) {
  const GUID clsid = {0x5B2A5F71, 0x0C3E, 0x4B8A, {0x9D, 0x21, 0x7E, 0x4F, 0x1A, 0x6C, 0x3B, 0x90}};
  const std::string key = "CLSID\\{5B2A5F71-0C3E-4B8A-9D21-7E4F1A6C3B90}\\InprocServer32";
  CLSID found{};
  EXPECT_EQ(CLSIDFromProgID(u"TarvoMDrv.Tarvo", &found), CO_E_CLASSSTRING);
  ASSERT_EQ(reg::SetValue("TarvoMDrv.Tarvo\\Clsid", "", "{5B2A5F71-0C3E-4B8A-9D21-7E4F1A6C3B90}"),
            S_OK);
  ASSERT_EQ(CLSIDFromProgID(u"tarvomdrv.tarvo", &found), S_OK);
  EXPECT_EQ(found, clsid);
  ASSERT_EQ(reg::SetValue("Broken\\Clsid", "", "not a guid"), S_OK);
  EXPECT_EQ(CLSIDFromProgID(u"Broken", &found), CO_E_CLASSSTRING);

  void* object = &object;
  EXPECT_EQ(CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, &object),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(object, nullptr);

  ASSERT_EQ(reg::SetValue(key, "", (dir_ / "missing.so").string()), S_OK);
  EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, &object),
            CO_E_DLLNOTFOUND);
  IErrorInfo* info = nullptr;
  ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
  BSTR text = nullptr;
  info->GetDescription(&text);
  EXPECT_NE(tarvo::com::BstrText(text).find(u"missing.so"), std::u16string::npos);
  SysFreeString(text);
  info->Release();

  // A library without the entry point: the C library itself will do.
  ASSERT_EQ(reg::SetValue(key, "", "libc.so.6"), S_OK);
  EXPECT_EQ(CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, &object),
            CO_E_ERRORINDLL);
  EXPECT_EQ(object, nullptr);
}

}  // namespace
