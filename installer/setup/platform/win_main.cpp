// The process entry on Windows.
#include <cstdlib>

#include "platform/framework.h"
#include "platform/win32_host.h"
#include "platform/windows_api.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  HardenDllSearch();
  CWinApp* app = AfxGetApp();
  if (app == nullptr) return -1;
  Win32Host host;
  return RunApplication(*app, host, ::GetCommandLineW());
}

// A pure virtual call can only be a bug; end the process quietly rather than
// link the C++ runtime's verbose terminate handler.
extern "C" void __cxa_pure_virtual() { std::abort(); }
