// A point-of-sale program outside the source tree: it finds the registered
// control by its ProgID, creates it through the runtime's class activation
// and makes one early-bound call. Built against an installed tree, with
// pkg-config or with find_package(TarvoMDrv).
//
// With a port number as its argument it also talks to the register on that
// port (a simulated one in the package test): Init with the handshake, then
// GetStatus, both of which must give 0.
#include <cstdio>
#include <cstdlib>

#include "automation/TarvoMDrv_TLB.h"
#include "platform/com/com_runtime.h"

namespace {

bool TalkToRegister(ITarvo* tarvo, unsigned char port) {
  BSTR dir = SysAllocString(u"");
  LONG value = -1;
  HRESULT hr = tarvo->Init(port, 9600, 0, dir, &value);
  SysFreeString(dir);
  if (FAILED(hr) || value != 0) {
    std::printf("Init(COM%u): 0x%08X, Value %d\n", port, static_cast<unsigned>(hr),
                static_cast<int>(value));
    return false;
  }
  VARIANT_BOOL day_open = VARIANT_FALSE;
  value = -1;
  hr = tarvo->GetStatus(port, &day_open, &value);
  if (FAILED(hr) || value != 0) {
    std::printf("GetStatus(COM%u): 0x%08X, Value %d\n", port, static_cast<unsigned>(hr),
                static_cast<int>(value));
    return false;
  }
  std::printf("COM%u: Init 0, GetStatus 0, day %s\n", port, day_open ? "open" : "closed");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
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
  if (FAILED(hr) || mode650 != VARIANT_TRUE) {
    std::printf("get_Mode650: 0x%08X, %d\n", static_cast<unsigned>(hr), mode650);
    tarvo->Release();
    return 1;
  }
  if (argc > 1 && !TalkToRegister(tarvo, static_cast<unsigned char>(std::atoi(argv[1])))) {
    tarvo->Release();
    return 1;
  }
  tarvo->Release();
  std::printf("created TarvoMDrv.Tarvo, Mode650 true\n");
  return 0;
}
