// Keeping DLLs planted beside the launcher (often in a Downloads folder)
// out of the process.
#pragma once

#include "platform/host.h"

/// The system DLLs that the launcher's own calls make Windows load after
/// start: the message box (theme engine, window composition, input
/// methods) and process creation (application compatibility checks).
/// Where the DLL search cannot be limited, each is loaded in advance from
/// the system directory, so that a later load by name finds it already in
/// the process instead of searching the launcher's folder.
extern const wchar_t* const kPreloadedSystemDlls[8];

/// Runs before anything else can load a DLL, static constructors included.
///
/// Covered: the current directory is never searched; where Windows has
/// SetDefaultDllDirectories (Windows 8 and later, Windows 7 and Vista with
/// KB2533623) every later load by name searches only the system directory;
/// elsewhere (Windows XP, Vista and 7 without that update) the DLLs in
/// kPreloadedSystemDlls come from the system directory, their own imports
/// searched from there first.
///
/// Not covered: the executable's own imports (kernel32, user32, msvcrt),
/// resolved by the loader before any of this runs, which takes kernel32
/// and user32 from the system's KnownDLLs; and, on the older systems only,
/// a DLL outside that list that some system component loads by name (an
/// input method, an accessibility or shell extension), which the search
/// can still find in the launcher's folder.
void HardenDllSearch(Host& host);
