// The driver's runtime helpers on Windows, over oleaut32: BSTR text and the
// thread's error information. (On Linux bstr.cpp and error_info.cpp hold
// them next to the runtime functions they use.)
#include <windows.h>

#include "platform/com/com_internal.h"
#include "platform/com/com_runtime.h"

namespace tarvo::com {

BSTR AllocBstr(const std::u16string& text) {
  return SysAllocStringLen(Ole(text.data()), static_cast<UINT>(text.size()));
}

std::u16string BstrText(BSTR bstr) {
  if (bstr == nullptr) return {};
  return std::u16string(U16View(bstr, SysStringLen(bstr)));
}

namespace detail {

// The system's own conversion: a malformed sequence becomes U+FFFD.
std::u16string Utf16FromUtf8(std::string_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int count = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  if (count <= 0) return {};
  std::u16string wide(static_cast<std::size_t>(count), u'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, reinterpret_cast<wchar_t*>(wide.data()),
                        count);
  return wide;
}

HRESULT Fail(HRESULT hr, std::string_view source, std::string_view description) {
  ICreateErrorInfo* create = nullptr;
  if (SUCCEEDED(CreateErrorInfo(&create)) && create != nullptr) {
    std::u16string src = Utf16FromUtf8(source);
    std::u16string desc = Utf16FromUtf8(description);
    create->SetSource(Ole(src.data()));
    create->SetDescription(Ole(desc.data()));
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
      SetErrorInfo(0, info);
      info->Release();
    }
    create->Release();
  }
  return hr;
}

}  // namespace detail
}  // namespace tarvo::com
