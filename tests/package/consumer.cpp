// A point-of-sale program outside the source tree: it finds the registered
// control by its ProgID, creates it through the runtime's class activation
// and makes one early-bound call. Built against an installed tree, with
// pkg-config or with find_package(TarvoMDrv).
#include <cstdio>

#include "automation/TarvoMDrv_TLB.h"
#include "platform/com/com_runtime.h"

int main() {
  CLSID clsid{};
  HRESULT hr = CLSIDFromProgID(u"TarvoMDrv.Tarvo", &clsid);
  if (FAILED(hr)) {
    std::printf("CLSIDFromProgID failed: 0x%08X\n", static_cast<unsigned>(hr));
    return 1;
  }
  ITarvo* tarvo = nullptr;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ITarvo,
                        reinterpret_cast<void**>(&tarvo));
  if (FAILED(hr) || tarvo == nullptr) {
    std::printf("CoCreateInstance failed: 0x%08X\n", static_cast<unsigned>(hr));
    return 1;
  }
  VARIANT_BOOL mode650 = VARIANT_FALSE;
  hr = tarvo->get_Mode650(&mode650);
  tarvo->Release();
  if (FAILED(hr) || mode650 != VARIANT_TRUE) {
    std::printf("get_Mode650: 0x%08X, %d\n", static_cast<unsigned>(hr), mode650);
    return 1;
  }
  std::printf("created TarvoMDrv.Tarvo, Mode650 true\n");
  return 0;
}
