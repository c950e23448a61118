#pragma once
// The font objects the module hands out (the control's Font property): a
// standard font object of the COM runtime, wrapped so that every one that a
// caller still holds keeps the module loaded (DllCanUnloadNow). The wrapper
// is the object's identity: IUnknown, IDispatch and IFontDisp all answer
// with it; every IDispatch call goes to the standard font inside.
//
// Threading: free-threaded reference count; the calls are the inner font's.
#include "platform/com/com_abi.h"
#include "platform/com/com_runtime.h"

namespace tarvo::automation {

HRESULT CreateModuleFont(FONTDESC* desc, IFontDisp** out);

}  // namespace tarvo::automation
