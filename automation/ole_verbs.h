#pragma once
// The control's verbs as a container lists them: one, number 0
// "Properties", on the container's menu (the registry's Verb\0 entry
// "Properties,0,2" says the same).
#include "platform/com/ole_control_abi.h"

namespace tarvo::automation {

inline constexpr LONG kPropertiesVerb = 0;

// A new enumerator over the verbs, positioned at the first. Each name it
// hands out is task memory that the caller frees with CoTaskMemFree.
HRESULT CreateVerbEnumerator(IEnumOLEVERB** out);

}  // namespace tarvo::automation
