// Defines the identifiers the widl-generated header declares (CLSID_Tarvo,
// IID_ITarvo, DIID_ITarvoEvents, LIBID_TarvoMDrv). The SDK's own interface
// identifiers come from libuuid: their headers are included first, so
// INITGUID reaches only the generated ones.
#include <windows.h>
#include <ole2.h>
#include <ocidl.h>
#include <olectl.h>

#include <initguid.h>

#include "TarvoMDrv_h.h"
