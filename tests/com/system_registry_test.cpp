// The system registry file beside the user's: class look-ups read the user's
// file first, then the system's; writers of one file never lose each other's
// entries, also from several processes at once.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "platform/com/com_runtime.h"
#include "platform/com/system_registry.h"

namespace tarvo::com::registry {
namespace {

namespace fs = std::filesystem;

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) previous_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (previous_) ::setenv(name_, previous_->c_str(), 1);
    else ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> previous_;
};

class SystemRegistryTest : public ::testing::Test {
 protected:
  SystemRegistryTest()
      : dir_(fs::temp_directory_path() / ("tarvo-hives-" + std::to_string(::getpid()))),
        user_("TARVO_REGISTRY", (dir_ / "user.reg").string()),
        system_("TARVO_SYSTEM_REGISTRY", (dir_ / "etc" / "system.reg").string()) {}
  ~SystemRegistryTest() override { fs::remove_all(dir_); }

  // Writes into the system file, as `regsvr --system` does, and back.
  template <typename F>
  void InSystemFile(F&& write) {
    ScopedEnv to_system("TARVO_REGISTRY", SystemStorePath());
    write();
  }

  fs::path dir_;
  ScopedEnv user_;
  ScopedEnv system_;
};

constexpr char16_t kProgId[] = u"Test.SystemClass";
constexpr char kSystemClsid[] = "{11111111-2222-3333-4444-555555555555}";
constexpr char kUserClsid[] = "{99999999-2222-3333-4444-555555555555}";

std::string ClsidText(const CLSID& clsid) {
  OLECHAR text[39];
  StringFromGUID2(clsid, text, 39);
  return std::string(text, text + 38);
}

TEST_F(SystemRegistryTest, TheSystemFileIsNamedByTheEnvironmentOrTheInstalledTree) {
  EXPECT_EQ(SystemStorePath(), (dir_ / "etc" / "system.reg").string());
  const struct {
    const char* prefix;
    const char* sysconfdir;
  } cases[] = {{"/usr", "/etc"}, {"/", "/etc"}, {"/usr/local", "/usr/local/etc"},
               {"/opt/tarvo", "/etc/opt/tarvo"}, {"/tmp/p", "/tmp/p/etc"}};
  for (const auto& c : cases) EXPECT_EQ(SysconfdirOfPrefix(c.prefix), c.sysconfdir) << c.prefix;
}

TEST_F(SystemRegistryTest, AClassRegisteredOnlyForTheSystemIsFound) {
  CLSID clsid{};
  EXPECT_NE(CLSIDFromProgID(kProgId, &clsid), S_OK);
  InSystemFile([] { ASSERT_EQ(SetValue("Test.SystemClass\\Clsid", "", kSystemClsid), S_OK); });
  EXPECT_FALSE(KeyExists("Test.SystemClass"));  // the user's file is untouched
  ASSERT_EQ(CLSIDFromProgID(kProgId, &clsid), S_OK);
  EXPECT_EQ(ClsidText(clsid), kSystemClsid);
}

TEST_F(SystemRegistryTest, TheUsersEntryWinsOverTheSystems) {
  InSystemFile([] { ASSERT_EQ(SetValue("Test.SystemClass\\Clsid", "", kSystemClsid), S_OK); });
  ASSERT_EQ(SetValue("Test.SystemClass\\Clsid", "", kUserClsid), S_OK);
  CLSID clsid{};
  ASSERT_EQ(CLSIDFromProgID(kProgId, &clsid), S_OK);
  EXPECT_EQ(ClsidText(clsid), kUserClsid);
  // Removed from the user's file, the system's entry shows through again.
  ASSERT_EQ(DeleteKey("Test.SystemClass\\Clsid"), S_OK);
  ASSERT_EQ(CLSIDFromProgID(kProgId, &clsid), S_OK);
  EXPECT_EQ(ClsidText(clsid), kSystemClsid);
}

TEST_F(SystemRegistryTest, ProcessesRegisteringAtOnceKeepEachOthersEntries) {
  constexpr int kProcesses = 4;
  constexpr int kKeysEach = 25;
  pid_t children[kProcesses];
  for (int p = 0; p < kProcesses; ++p) {
    children[p] = ::fork();
    ASSERT_GE(children[p], 0);
    if (children[p] == 0) {
      WriteSystemStore();
      int failures = 0;
      for (int k = 0; k < kKeysEach; ++k) {
        const std::string key = "Test\\P" + std::to_string(p) + "\\K" + std::to_string(k);
        failures += SetValue(key, "", std::to_string(p * 1000 + k)) != S_OK;
      }
      ::_exit(failures == 0 ? 0 : 1);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int p = 0; p < kProcesses; ++p) {
    for (int k = 0; k < kKeysEach; ++k) {
      std::string value;
      const std::string key = "Test\\P" + std::to_string(p) + "\\K" + std::to_string(k);
      ASSERT_TRUE(GetValueIn(SystemStorePath(), key, "", value)) << key;
      EXPECT_EQ(value, std::to_string(p * 1000 + k));
    }
  }
  EXPECT_FALSE(fs::exists(dir_ / "user.reg"));
}

}  // namespace
}  // namespace tarvo::com::registry
