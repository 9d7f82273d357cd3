// Running the Windows Installer engine: first the removal of an earlier
// install of the product, then the engine on the package.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cmdline/command_line_info.h"
#include "platform/host.h"
#include "platform/text.h"

/// Windows Installer exit codes the run's result depends on.
enum : uint32_t {
  kErrorUnknownProduct = 1605,
  kErrorSuccessRebootInitiated = 1641,
  kErrorSuccessRebootRequired = 3010,
};

/// Removes the earlier product by its product code, showing only progress
/// and never restarting the machine: a restart it needs ends it with 3010.
extern const wchar_t kRemovalCommand[];

/// The removal's outcome: its exit code, where it ran and the code could
/// be read.
struct RemovalResult {
  bool ran = false;
  uint32_t exitCode = 0;
};

/// Runs the removal command with the engine at `enginePath` and waits for
/// it. When nothing is installed it simply fails (1605), which is no fault.
RemovalResult RemovePreviousProduct(Host& host, const wchar_t* enginePath);

/// The run's exit code from the engine's and the removal's. The engine's
/// code passes on, with two exceptions. On uninstall, when the removal
/// succeeded (0, 3010 or 1641) and took the product the engine was to
/// remove, the engine's 1605 (unknown product) is the removal's success.
/// And a restart the removal needs (3010) is not lost behind the engine's
/// plain success. A removal that failed never changes the code.
uint32_t SettleExitCode(bool uninstall, const RemovalResult& removal, uint32_t engineExitCode);

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
/// settles `exitCode` (SettleExitCode). The log file, asked for, goes into
/// `tempDirectory`, the package stage's. `hold` keeps the copy from being
/// changed while both commands run; after the engine reports success, or
/// after an uninstall the removal had already done, it is closed and the
/// copy deleted.
void RunInstallerStage(Host& host, const wchar_t* tempDirectory, const wchar_t* packagePath,
                       const CSetupCommandLineInfo& info, ScopedHandle& hold, int32_t& exitCode);
