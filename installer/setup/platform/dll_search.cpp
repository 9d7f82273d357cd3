#include "platform/dll_search.h"

const wchar_t* const kPreloadedSystemDlls[] = {
    L"uxtheme.dll",    // themed message box
    L"dwmapi.dll",     // window composition, from the theme engine (Vista, 7)
    L"msimg32.dll",    // drawing, delay-loaded by the theme engine and common controls
    L"imm32.dll",      // input method support for the message box window
    L"msctf.dll",      // text services, from the input method support
    L"apphelp.dll",    // compatibility checks when a process starts
    L"version.dll",    // file version reads by the compatibility checks
    L"cryptbase.dll",  // loaded by advapi32 on Windows 7
};

void HardenDllSearch(Host& host) {
  host.RemoveCurrentDirectoryFromDllSearch();
  if (host.LimitDllSearchToSystemDirectory()) return;
  Text systemDirectory;
  if (!host.QuerySystemDirectory(systemDirectory)) return;
  for (const wchar_t* dll : kPreloadedSystemDlls) {
    Text path(systemDirectory);
    path.Append(L'\\').Append(dll);
    // A DLL this system does not have (dwmapi.dll on Windows XP) is one that
    // nothing of the system asks for either: the failed load changes nothing.
    host.LoadLibraryByPath(path.c_str());
  }
}
