// ITarvo's function table: hosts bind by position, so every member must sit
// in its slot. The fake is called through raw table entries and reports which
// member ran.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "automation/type_library.h"
#include "tests/automation/typelib_fake_tarvo.h"

namespace tarvo::tlb::test {
namespace {

// The binding order of the members after the seven IUnknown/IDispatch
// entries, written out independently of the definition.
const std::vector<std::string> kTableOrder = {
    "get_Visible", "put_Visible", "get_AutoScroll", "put_AutoScroll", "get_AutoSize",
    "put_AutoSize", "get_AxBorderStyle", "put_AxBorderStyle", "get_Caption", "put_Caption",
    "get_Color", "put_Color", "get_Font", "put_Font", "putref_Font", "get_KeyPreview",
    "put_KeyPreview", "get_PixelsPerInch", "put_PixelsPerInch", "get_PrintScale",
    "put_PrintScale", "get_Scaled", "put_Scaled", "get_Active", "get_DropTarget",
    "put_DropTarget", "get_HelpFile", "put_HelpFile", "get_ScreenSnap", "put_ScreenSnap",
    "get_SnapBuffer", "put_SnapBuffer", "get_DoubleBuffered", "put_DoubleBuffered",
    "get_AlignDisabled", "get_VisibleDockClientCount", "get_Enabled", "put_Enabled", "SendPlu",
    "SendCust", "Init", "PortClose", "PortOpen", "CurrencyUpload", "ClerkUpload", "GetStatus",
    "SetClerkOptions", "OperationEnabled", "SendClerk", "EcrCheck", "SendClear", "get_Mode650",
    "put_Mode650"};

// Storage for one argument of a raw call: values are zero, pointers point at
// a zero value owned here.
template <class A>
struct RawArg {
  A get() { return A{}; }
  void release() {}
};
template <class T>
struct RawArg<T*> {
  T value{};
  T* get() { return &value; }
  void release() {
    if constexpr (std::is_same_v<T, OLECHAR>) {
      // A BSTR passed in: nothing was allocated.
    } else if constexpr (std::is_same_v<T, BSTR>) {
      SysFreeString(value);
    }
  }
};
template <>
struct RawArg<BSTR> {
  BSTR get() { return nullptr; }
  void release() {}
};
template <>
struct RawArg<IFontDisp*> {
  IFontDisp* get() { return nullptr; }
  void release() {}
};

// Calls table entry `slot` of `self` as a plain function taking the object
// first, with the parameter types of `member`.
template <class... A, std::size_t... I>
HRESULT CallSlotIndexed(ITarvo* self, int slot, std::index_sequence<I...>) {
  using Raw = HRESULT (*)(ITarvo*, A...);
  void** table = *reinterpret_cast<void***>(self);
  auto fn = reinterpret_cast<Raw>(table[slot]);
  std::tuple<RawArg<A>...> args;
  const HRESULT hr = fn(self, std::get<I>(args).get()...);
  (std::get<I>(args).release(), ...);
  return hr;
}
template <class... A>
HRESULT CallSlot(ITarvo* self, int slot, HRESULT (ITarvo::*)(A...)) {
  return CallSlotIndexed<A...>(self, slot, std::index_sequence_for<A...>{});
}

using SlotCaller = HRESULT (*)(ITarvo*, int);
const SlotCaller kCallers[] = {
#define TARVO_TLB_FUNC(iface, kind, name, dispid, flag, ...) \
  [](ITarvo* self, int slot) { return CallSlot(self, slot, &ITarvo::TARVO_TLB_CXXNAME(kind, name)); },
#include "automation/tarvo_tlb.def"
};

TEST(TypelibVtable, EverySlotReachesItsMemberInBindingOrder) {
  ASSERT_EQ(kTableOrder.size(), 53u);
  ASSERT_EQ(ITarvoFuncs().size(), kTableOrder.size());
  FakeTarvo fake;
  for (std::size_t i = 0; i < kTableOrder.size(); ++i) {
    const int slot = kITarvoFirstMemberSlot + static_cast<int>(i);
    EXPECT_EQ(ITarvoFuncs()[i].cxxName, kTableOrder[i]) << "definition entry " << i;
    fake.calls.clear();
    EXPECT_EQ(kCallers[i](&fake, slot), S_OK);
    ASSERT_EQ(fake.calls.size(), 1u) << "slot " << slot;
    const std::string& call = fake.calls[0];
    EXPECT_EQ(call.substr(0, call.find('(')), kTableOrder[i]) << "slot " << slot;
  }
}

TEST(TypelibVtable, ArgumentsArriveInDeclaredOrderThroughTheTable) {
  FakeTarvo fake;
  ITarvo* itf = &fake;
  BSTR code = MakeBstr("P1");
  BSTR desc = MakeBstr("Bread");
  BSTR empty = MakeBstr("");
  LONG value = -5;
  ASSERT_EQ(itf->SendPlu(3, code, desc, 1, 2, 3, empty, empty, empty, 100, 200, 300, &value), S_OK);
  EXPECT_EQ(fake.calls.at(0), "SendPlu(3,\"P1\",\"Bread\",1,2,3,\"\",\"\",\"\",100,200,300,&-5)");
  EXPECT_EQ(value, 42);
  SysFreeString(code);
  SysFreeString(desc);
  SysFreeString(empty);
}

}  // namespace
}  // namespace tarvo::tlb::test
