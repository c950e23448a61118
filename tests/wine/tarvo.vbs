' Late binding from VBScript through the registered class (run by
' scripts/wine-test.sh with cscript //nologo; its output is compared with
' tarvo.vbs.expected). Wine's script host cannot attach event sinks, so the
' events are tested from C++.
Option Explicit
Dim tarvo, dayOpen
Set tarvo = CreateObject("TarvoMDrv.Tarvo")
WScript.Echo "Mode650 " & tarvo.Mode650
tarvo.Mode650 = False
WScript.Echo "Mode650 " & tarvo.Mode650
tarvo.Caption = "Kassza 1"
WScript.Echo "Caption " & tarvo.Caption
WScript.Echo "Init port 0 " & tarvo.Init(0, 9600, 0, "")
WScript.Echo "PortOpen 1200 baud " & tarvo.PortOpen(1, 1200, 0, "")
WScript.Echo "SendClear port 7 " & tarvo.SendClear(7)
dayOpen = True
WScript.Echo "GetStatus port 7 " & tarvo.GetStatus(7, dayOpen) & " " & dayOpen
tarvo.PortClose 7
Set tarvo = Nothing
WScript.Echo "done"
