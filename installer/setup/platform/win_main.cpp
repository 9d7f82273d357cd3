// The process entry on Windows.
//
// The launcher starts at SetupEntry rather than in the C runtime's start-up
// code: it needs nothing of that code but the static constructors, and
// leaving it out keeps the executable a fraction of the size. The C
// functions it does use (malloc, free) come from msvcrt.dll, which sets
// itself up when it loads.
#include <cstdlib>

#include "platform/dll_search.h"
#include "platform/framework.h"
#include "platform/win32_host.h"
#include "platform/windows_api.h"

// Runs the static constructors (the toolchain's libmingw32); each one
// registers its object's destructor through atexit below.
extern "C" void __main();

namespace {

// The destructors of static objects, run in reverse order at exit, as the
// C runtime would. The launcher has one such object.
constexpr int kMaxExitFunctions = 8;
void (*exitFunctions[kMaxExitFunctions])();
int exitFunctionCount = 0;

void RunExitFunctions() {
  while (exitFunctionCount > 0) exitFunctions[--exitFunctionCount]();
}

}  // namespace

extern "C" int atexit(void (*function)()) {
  if (exitFunctionCount == kMaxExitFunctions) return -1;
  exitFunctions[exitFunctionCount++] = function;
  return 0;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  CWinApp* app = AfxGetApp();
  if (app == nullptr) return -1;
  Win32Host host;
  return RunApplication(*app, host, ::GetCommandLineW());
}

extern "C" void WINAPI SetupEntry() {
  // Before anything can load a DLL, including the constructors.
  Win32Host host;
  HardenDllSearch(host);
  __main();
  int exitCode =
      wWinMain(::GetModuleHandleW(nullptr), nullptr, ::GetCommandLineW(), SW_SHOWDEFAULT);
  RunExitFunctions();
  ::ExitProcess(static_cast<UINT>(exitCode));
}

// A pure virtual call can only be a bug; end the process quietly rather than
// link the C++ runtime's verbose terminate handler.
extern "C" void __cxa_pure_virtual() { std::abort(); }
