// Running the Windows Installer engine: first the removal of an earlier
// install of the product, then the engine on the package.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cmdline/command_line_info.h"
#include "platform/host.h"
#include "platform/text.h"

/// Removes the earlier product by its product code, showing only progress.
extern const wchar_t kRemovalCommand[];

/// Runs the removal command with the engine at `enginePath` and waits for
/// it. Its outcome does not matter: when nothing is installed it simply fails.
void RemovePreviousProduct(Host& host, const wchar_t* enginePath);

/// Each property in order, each preceded by one space, written so that the
/// engine reads back exactly the name and value given.
Text BuildPropertyArguments(const CSetupCommandLineInfo& info);

/// "msiexec.exe <operation> "<package>" <options>", the options built from
/// the recorded switches, the log path (empty for none) and the properties.
Text BuildEngineCommand(const CSetupCommandLineInfo& info, const wchar_t* packagePath,
                        const wchar_t* logPath);

/// The longest command line the system starts, in characters, without the
/// terminating NUL.
constexpr size_t kLongestCommandLine = 32766;

/// Removes the earlier product, then runs the engine on the package and
/// settles `exitCode` with the engine's result. `hold` keeps the copy from
/// being changed while both commands run; after the engine reports success
/// it is closed and the copy deleted.
void RunInstallerStage(Host& host, const wchar_t* packagePath, const CSetupCommandLineInfo& info,
                       ScopedHandle& hold, int32_t& exitCode);
