// tarvo_wine_client: a Windows host of the Tarvo control, run under Wine.
//
//   tarvo_wine_client.exe LOG binding
//   tarvo_wine_client.exe LOG events
//   tarvo_wine_client.exe LOG serial PORT MODE650 (0 or 1)
//
// Each section creates the control by its ProgID through the registered
// class (regsvr32 must have run), drives it the way a point-of-sale program
// does and appends one line per check to LOG. The exit code is 0 when every
// check passed.
#include <windows.h>
#include <ole2.h>
#include <olectl.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/wine/client_sections.h"
#include "tests/wine/wine_check.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s LOG binding|events|serial [PORT MODE650]\n", argv[0]);
    return 2;
  }
  tarvo::wine::Report report(argv[1]);
  const std::string section = argv[2];
  const HRESULT init = OleInitialize(nullptr);
  if (!report.Check(SUCCEEDED(init), section + ": OleInitialize", tarvo::wine::Hex(init)))
    return report.ExitCode();
  if (section == "binding") {
    tarvo::wine::RunBinding(report);
  } else if (section == "events") {
    tarvo::wine::RunEvents(report);
  } else if (section == "serial" && argc >= 5) {
    tarvo::wine::RunSerial(report, std::atoi(argv[3]), std::atoi(argv[4]) != 0);
  } else {
    report.Check(false, "known section", section);
  }
  OleUninitialize();
  return report.ExitCode();
}
