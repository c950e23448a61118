#pragma once
#include "tests/wine/wine_check.h"

namespace tarvo::wine {

// CLSIDFromProgID and CoCreateInstance, early binding through ITarvo's
// function table, late binding through GetIDsOfNames/Invoke, and the type
// information IDispatch serves against the registered type library.
void RunBinding(Report& report);
// The ITarvoEvents connection point: OnCreate once on the first sink, one
// sink at a time, OnDestroy when the control goes.
void RunEvents(Report& report);
// A register on COM`port` (a pseudo-terminal Wine maps, with the native
// simulator at its far end): Init with the handshake and OnConnect, commands,
// and the online messages the simulator's script plays in the given mode.
void RunSerial(Report& report, int port, bool mode650);

}  // namespace tarvo::wine
