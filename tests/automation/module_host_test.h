#pragma once
// A host's view of TarvoMDrv.so for the module and control tests: the module
// loaded with dlopen and reached only through its exported functions and
// COM interfaces, a registry store of each test's own, an IDispatch event
// sink that records what reaches it, and a pump for the thread's loop.
#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "automation/TarvoMDrv_TLB.h"
#include "automation/module_state.h"  // DLLVERSIONINFO
#include "automation/tarvo_control.h"  // ITarvoWindow (declaration only)
#include "platform/com/com_runtime.h"
#include "tests/support/wait.h"

namespace tarvo::test {

// The exported functions of the module, loaded once per process.
struct TarvoModule {
  std::string path;
  void* handle = nullptr;
  HRESULT (*GetClassObject)(REFCLSID, REFIID, void**) = nullptr;
  HRESULT (*CanUnloadNow)() = nullptr;
  HRESULT (*RegisterServer)() = nullptr;
  HRESULT (*UnregisterServer)() = nullptr;
  HRESULT (*GetVersion)(DLLVERSIONINFO*) = nullptr;
  const char* (*VersionText)() = nullptr;
};

// $TARVO_TEST_BIN_DIR/TarvoMDrv.so, else <directory of this program>/../bin.
inline std::string ModuleFilePath() {
  std::filesystem::path dir;
  if (const char* env = std::getenv("TARVO_TEST_BIN_DIR"); env != nullptr && *env != '\0')
    dir = env;
  else
    dir = std::filesystem::read_symlink("/proc/self/exe").parent_path() / ".." / "bin";
  return std::filesystem::weakly_canonical(dir / "TarvoMDrv.so").string();
}

inline const TarvoModule& Module() {
  static const TarvoModule module = [] {
    TarvoModule m;
    m.path = ModuleFilePath();
    m.handle = dlopen(m.path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m.handle == nullptr) {
      ADD_FAILURE() << "cannot load " << m.path << ": " << dlerror();
      return m;
    }
    auto sym = [&](const char* name) {
      void* f = dlsym(m.handle, name);
      if (f == nullptr) ADD_FAILURE() << m.path << " does not export " << name;
      return f;
    };
    m.GetClassObject = reinterpret_cast<decltype(m.GetClassObject)>(sym("DllGetClassObject"));
    m.CanUnloadNow = reinterpret_cast<decltype(m.CanUnloadNow)>(sym("DllCanUnloadNow"));
    m.RegisterServer = reinterpret_cast<decltype(m.RegisterServer)>(sym("DllRegisterServer"));
    m.UnregisterServer =
        reinterpret_cast<decltype(m.UnregisterServer)>(sym("DllUnregisterServer"));
    m.GetVersion = reinterpret_cast<decltype(m.GetVersion)>(sym("DllGetVersion"));
    m.VersionText = reinterpret_cast<decltype(m.VersionText)>(sym("TarvoMDrvVersion"));
    return m;
  }();
  return module;
}

// A temporary directory removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tarvo-automation-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Points TARVO_REGISTRY at a store file of its own for its lifetime.
class ScopedRegistry {
 public:
  explicit ScopedRegistry(const std::filesystem::path& store) { Point(store); }
  ScopedRegistry() { Point(dir_.path() / "registry.reg"); }
  ~ScopedRegistry() {
    if (previous_)
      setenv("TARVO_REGISTRY", previous_->c_str(), 1);
    else
      unsetenv("TARVO_REGISTRY");
  }
  ScopedRegistry(const ScopedRegistry&) = delete;
  ScopedRegistry& operator=(const ScopedRegistry&) = delete;

  const std::filesystem::path& store() const { return store_; }
  // The store's text ("" when it does not exist).
  std::string Text() const {
    std::ifstream in(store_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  void Point(const std::filesystem::path& store) {
    if (const char* old = std::getenv("TARVO_REGISTRY")) previous_ = old;
    store_ = store;
    setenv("TARVO_REGISTRY", store_.c_str(), 1);
  }

  TempDir dir_;
  std::filesystem::path store_;
  std::optional<std::string> previous_;
};

// Runs the thread's loop (timers, posted tasks) until `done` holds.
inline bool PumpUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = kDefaultDeadline) {
  return WaitUntil(
      [&] {
        TarvoProcessPendingMessages();
        return done();
      },
      timeout);
}

// Holds one reference to a COM object and releases it.
template <class T>
class Ref {
 public:
  Ref() = default;
  explicit Ref(T* p) : p_(p) {}
  ~Ref() { Reset(); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // For out-parameters: releases what is held and gives the slot.
  void** out() {
    Reset();
    return reinterpret_cast<void**>(&p_);
  }
  // For typed out-parameters.
  T** put() {
    Reset();
    return &p_;
  }
  // Gives up the reference without releasing it.
  T* Detach() {
    T* p = p_;
    p_ = nullptr;
    return p;
  }
  void Reset() {
    if (p_ != nullptr) p_->Release();
    p_ = nullptr;
  }
  template <class U>
  HRESULT As(REFIID iid, Ref<U>& target) const {
    return p_->QueryInterface(iid, target.out());
  }

 private:
  T* p_ = nullptr;
};

// Creates a control through DllGetClassObject and IClassFactory.
inline HRESULT CreateControl(Ref<ITarvo>& control) {
  Ref<IClassFactory> factory;
  HRESULT hr = Module().GetClassObject(CLSID_Tarvo, IID_IClassFactory, factory.out());
  if (FAILED(hr)) return hr;
  return factory->CreateInstance(nullptr, IID_ITarvo, control.out());
}

inline std::u16string BstrString(BSTR b) { return com::BstrText(b); }

// One call that reached the sink, with its arguments as they were passed
// (last first); by-reference arguments are recorded by their target value.
struct SinkCall {
  DISPID id = 0;
  IID riid{};
  LCID lcid = 0;
  WORD flags = 0;
  bool wanted_result = false;
  UINT named_args = 0;
  std::vector<VARTYPE> types;
  std::vector<std::int64_t> numbers;  // UI1/I2/I4/BOOL values, byref targets
  std::vector<std::u16string> texts;  // BSTR arguments (empty for others)
};

// An event sink that answers IUnknown, IDispatch and ITarvoEvents (unless
// told to refuse the event interface) and records each Invoke.
class RecordingSink final : public IDispatch {
 public:
  explicit RecordingSink(bool answers_events_iid = true, HRESULT result = S_OK)
      : answers_events_iid_(answers_events_iid), result_(result) {}
  ~RecordingSink() = default;

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch ||
        (answers_events_iid_ && riid == DIID_ITarvoEvents)) {
      *ppv = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override { return --refs_; }  // lives on the test's stack
  HRESULT GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                 VARIANT* result, EXCEPINFO*, UINT*) override {
    SinkCall call;
    call.id = id;
    call.riid = riid;
    call.lcid = lcid;
    call.flags = flags;
    call.wanted_result = result != nullptr;
    call.named_args = params->cNamedArgs;
    for (UINT i = 0; i < params->cArgs; ++i) {
      const VARIANTARG& a = params->rgvarg[i];
      call.types.push_back(a.vt);
      std::int64_t number = 0;
      std::u16string text;
      switch (a.vt) {
        case VT_UI1: number = a.bVal; break;
        case VT_I2: number = a.iVal; break;
        case VT_I4: number = a.lVal; break;
        case VT_BOOL: number = a.boolVal; break;
        case VT_BSTR: text = com::BstrText(a.bstrVal); break;
        case VT_BYREF | VT_I2: number = *a.piVal; break;
        default: break;
      }
      call.numbers.push_back(number);
      call.texts.push_back(text);
    }
    {
      std::lock_guard lock(mu_);
      calls_.push_back(call);
    }
    if (on_invoke) on_invoke(id, *params);
    return result_;
  }

  // Called after each call was recorded (on the control's thread).
  std::function<void(DISPID, DISPPARAMS&)> on_invoke;

  std::vector<SinkCall> Calls() const {
    std::lock_guard lock(mu_);
    return calls_;
  }
  std::vector<SinkCall> CallsOf(DISPID id) const {
    std::vector<SinkCall> found;
    for (const SinkCall& c : Calls())
      if (c.id == id) found.push_back(c);
    return found;
  }
  std::size_t CountOf(DISPID id) const { return CallsOf(id).size(); }
  ULONG refs() const { return refs_; }

 private:
  const bool answers_events_iid_;
  const HRESULT result_;
  std::atomic<ULONG> refs_{1};
  mutable std::mutex mu_;
  std::vector<SinkCall> calls_;
};

// The event connection point of a control.
inline HRESULT EventPoint(ITarvo* control, Ref<IConnectionPoint>& point) {
  Ref<IConnectionPointContainer> container;
  HRESULT hr = control->QueryInterface(IID_IConnectionPointContainer, container.out());
  if (FAILED(hr)) return hr;
  return container->FindConnectionPoint(DIID_ITarvoEvents, point.put());
}

// A fixture that gives every test its own registry store and checks that
// the module holds no object once the test released everything.
class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(Module().handle, nullptr); }
  void TearDown() override {
    EXPECT_TRUE(PumpUntil([] { return Module().CanUnloadNow() == S_OK; }))
        << "a control or lock of the module outlived the test";
  }

  ScopedRegistry registry_;
};

}  // namespace tarvo::test
