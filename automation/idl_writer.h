#pragma once
// The type library as IDL text, for building TarvoMDrv.tlb with an IDL
// compiler (MIDL, or widl in the MinGW build of the Windows control).
// Written from the same definition as everything else; the result is kept
// in the repository as automation/TarvoMDrv.idl.
#include <string>

#include "platform/com/com_abi.h"

namespace tarvo::tlb {

std::string WriteIdl();

// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX", upper case, no braces.
std::string GuidText(const GUID& guid);

}  // namespace tarvo::tlb
