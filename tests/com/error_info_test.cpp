// Error information objects and the per-thread slot.
#include <gtest/gtest.h>

#include <thread>

#include "platform/com/com_runtime.h"

namespace {

using tarvo::com::BstrText;

IErrorInfo* MakeError(const char16_t* description) {
  ICreateErrorInfo* create = nullptr;
  EXPECT_EQ(CreateErrorInfo(&create), S_OK);
  create->SetDescription(const_cast<LPOLESTR>(description));
  create->SetSource(const_cast<LPOLESTR>(u"TarvoMDrv.Tarvo"));
  create->SetHelpContext(7);
  IErrorInfo* info = nullptr;
  EXPECT_EQ(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)), S_OK);
  EXPECT_EQ(create->Release(), 1u);
  return info;
}

TEST(ErrorInfo, ObjectAnswersBothInterfacesAndKeepsItsFields) {
  IErrorInfo* info = MakeError(u"Port nyitási hiba");
  ICreateErrorInfo* create = nullptr;
  ASSERT_EQ(info->QueryInterface(IID_ICreateErrorInfo, reinterpret_cast<void**>(&create)), S_OK);
  IUnknown* a = nullptr;
  IUnknown* b = nullptr;
  info->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&a));
  create->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&b));
  EXPECT_EQ(a, b) << "one identity";
  void* none = &none;
  EXPECT_EQ(info->QueryInterface(IID_IDispatch, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);

  BSTR text = nullptr;
  ASSERT_EQ(info->GetDescription(&text), S_OK);
  EXPECT_EQ(BstrText(text), u"Port nyitási hiba");
  SysFreeString(text);
  ASSERT_EQ(info->GetSource(&text), S_OK);
  EXPECT_EQ(BstrText(text), u"TarvoMDrv.Tarvo");
  SysFreeString(text);
  DWORD context = 0;
  info->GetHelpContext(&context);
  EXPECT_EQ(context, 7u);

  a->Release();
  b->Release();
  create->Release();
  EXPECT_EQ(info->Release(), 0u);
}

TEST(ErrorInfo, EachThreadHasItsOwnSlotAndGetHandsItOver) {
  IErrorInfo* mine = MakeError(u"main");
  ASSERT_EQ(SetErrorInfo(0, mine), S_OK);
  mine->Release();  // the slot holds it now

  std::thread other([] {
    IErrorInfo* got = reinterpret_cast<IErrorInfo*>(1);
    EXPECT_EQ(GetErrorInfo(0, &got), S_FALSE);
    EXPECT_EQ(got, nullptr);
    IErrorInfo* theirs = MakeError(u"other");
    SetErrorInfo(0, theirs);
    theirs->Release();  // left in the slot: released when the thread ends
  });
  other.join();

  IErrorInfo* got = nullptr;
  ASSERT_EQ(GetErrorInfo(0, &got), S_OK);
  ASSERT_EQ(got, mine);
  BSTR text = nullptr;
  got->GetDescription(&text);
  EXPECT_EQ(BstrText(text), u"main");
  SysFreeString(text);
  EXPECT_EQ(GetErrorInfo(0, &got), S_FALSE) << "the slot is empty after a read";
  EXPECT_EQ(mine->Release(), 0u);

  // Setting null clears; setting again replaces.
  SetErrorInfo(0, nullptr);
  IErrorInfo* first = MakeError(u"first");
  IErrorInfo* second = MakeError(u"second");
  SetErrorInfo(0, first);
  SetErrorInfo(0, second);
  EXPECT_EQ(first->Release(), 0u);
  SetErrorInfo(0, nullptr);
  EXPECT_EQ(second->Release(), 0u);
}

}  // namespace
