#include "package/installer_stage.h"

#include "setup_product.h"

const wchar_t kRemovalCommand[] =
    L"msiexec.exe /x " SETUP_PREVIOUS_PRODUCT_CODE L" /passive /norestart";

namespace {

const wchar_t kLogFilePrefix[] = L"usbdrivers";

bool IsBlankOrQuote(wchar_t c) { return c == L' ' || c == L'\t' || c == L'"'; }

// A name the engine could never read as one property name (one holding a
// blank or a quote, or one that looks like a switch) would split into stray
// engine arguments, so such a property is not passed on.
bool IsPassableName(const wchar_t* name, size_t length) {
  if (name[0] == L'/' || name[0] == L'-') return false;
  for (size_t i = 0; i < length; ++i) {
    if (IsBlankOrQuote(name[i])) return false;
  }
  return true;
}

// NAME=value stays as given unless the value holds a blank or a quote; then
// it becomes NAME="value" with inner quotes doubled, the engine's own
// syntax, so that a value can neither split nor inject engine switches.
void AppendProperty(Text& out, const wchar_t* property) {
  size_t nameLength = 0;
  while (property[nameLength] != L'=') ++nameLength;
  if (!IsPassableName(property, nameLength)) return;

  const wchar_t* value = property + nameLength + 1;
  bool needsQuotes = false;
  for (const wchar_t* p = value; *p != L'\0'; ++p) needsQuotes = needsQuotes || IsBlankOrQuote(*p);

  out.Append(L' ');
  if (!needsQuotes) {
    out.Append(property);
    return;
  }
  out.Append(property, nameLength + 1);
  out.Append(L'"');
  for (const wchar_t* p = value; *p != L'\0'; ++p) {
    if (*p == L'"') out.Append(L'"');
    out.Append(*p);
  }
  out.Append(L'"');
}

// Both commands name the engine by its full path in the system directory.
// Left to the system's search, the first place looked in is the launcher's
// own folder, where a planted msiexec.exe would run instead.
bool GetEnginePath(Host& host, Text& path) {
  if (!host.QuerySystemDirectory(path)) return false;
  path.Append(L"\\msiexec.exe");
  return true;
}

// Creates the log file for the engine in `tempDirectory`; empty when there
// is none (the directory went away since the package was written there, or
// holds no free name).
Text CreateLogFile(Host& host, const wchar_t* tempDirectory) {
  Text logPath;
  if (!host.CreateUniqueTempFile(tempDirectory, kLogFilePrefix, logPath)) logPath.Clear();
  return logPath;
}

// The longest path the log file can get in `tempDirectory`: the prefix's
// first three characters, four hex digits and ".tmp".
Text LongestLogPath(const wchar_t* tempDirectory) {
  Text path(tempDirectory);
  path.Append(kLogFilePrefix, 3).Append(L"FFFF.tmp");
  return path;
}

// Starts `command` with the engine at `enginePath`, waits for it and reads
// its exit code. 0 when all three succeeded; otherwise the system's error,
// taken before the process handles are closed.
uint32_t RunToExit(Host& host, const wchar_t* enginePath, Text& command, uint32_t& exitCode) {
  StartedProcess started = host.StartProcess(enginePath, command);
  ScopedHandle process(host, started.process);
  ScopedHandle thread(host, started.thread);
  if (!process) return FailureCode(host);
  host.WaitForProcess(process.get());
  if (!host.GetProcessExitCode(process.get(), exitCode)) return FailureCode(host);
  return 0;
}

}  // namespace

Text BuildPropertyArguments(const CSetupCommandLineInfo& info) {
  Text arguments;
  for (const wchar_t* property : info.m_properties) AppendProperty(arguments, property);
  return arguments;
}

Text BuildEngineCommand(const CSetupCommandLineInfo& info, const wchar_t* packagePath,
                        const wchar_t* logPath) {
  Text command(L"msiexec.exe ");
  command.Append(
      SwitchText(info.HasSwitch(SwitchKey::Uninstall) ? SwitchKey::Uninstall : SwitchKey::Install));
  command.Append(L" \"").Append(packagePath).Append(L"\" ");
  // The log path is quoted like the package path: temporary directories
  // often hold spaces ("C:\Users\John Smith\...").
  if (*logPath != L'\0') {
    command.Append(SwitchText(SwitchKey::Log)).Append(L" \"").Append(logPath).Append(L"\" ");
  }
  if (info.HasSwitch(SwitchKey::Quiet)) command.Append(SwitchText(SwitchKey::Quiet));
  command.Append(BuildPropertyArguments(info));
  return command;
}

RemovalResult RemovePreviousProduct(Host& host, const wchar_t* enginePath) {
  Text command(kRemovalCommand);
  RemovalResult result;
  result.ran = RunToExit(host, enginePath, command, result.exitCode) == 0;
  return result;
}

uint32_t SettleExitCode(bool uninstall, const RemovalResult& removal, uint32_t engineExitCode) {
  if (!removal.ran) return engineExitCode;
  uint32_t removed = removal.exitCode;
  bool removalSucceeded = removed == 0 || removed == kErrorSuccessRebootRequired ||
                          removed == kErrorSuccessRebootInitiated;
  if (uninstall && removalSucceeded && engineExitCode == kErrorUnknownProduct) return removed;
  if (removed == kErrorSuccessRebootRequired && engineExitCode == 0) return removed;
  return engineExitCode;
}

void RunInstallerStage(Host& host, const wchar_t* tempDirectory, const wchar_t* packagePath,
                       const CSetupCommandLineInfo& info, ScopedHandle& hold, int32_t& exitCode) {
  // Without the system directory neither command can start.
  Text engine;
  if (!GetEnginePath(host, engine)) {
    exitCode = static_cast<int32_t>(FailureCode(host, kErrorFilenameExceedsRange));
    return;
  }
  // A command the system would refuse to start ends the run before the
  // earlier product is removed and before the log file is created, so that
  // a run that changes nothing leaves nothing behind either. The log's
  // name is known only once it exists, so the command is measured with the
  // longest name it can get.
  bool logging = info.HasSwitch(SwitchKey::Log);
  Text longestLog;
  if (logging) longestLog = LongestLogPath(tempDirectory);
  if (BuildEngineCommand(info, packagePath, longestLog.c_str()).size() > kLongestCommandLine) {
    exitCode = static_cast<int32_t>(kErrorFilenameExceedsRange);
    return;
  }
  Text logPath;
  if (logging) logPath = CreateLogFile(host, tempDirectory);
  Text command = BuildEngineCommand(info, packagePath, logPath.c_str());
  RemovalResult removal = RemovePreviousProduct(host, engine.c_str());

  uint32_t engineExitCode = 0;
  if (uint32_t failure = RunToExit(host, engine.c_str(), command, engineExitCode)) {
    exitCode = static_cast<int32_t>(failure);
    return;
  }
  // The engine's own code passes through, read back as unsigned, but for
  // what the removal adds to it.
  uint32_t settled = SettleExitCode(info.HasSwitch(SwitchKey::Uninstall), removal, engineExitCode);
  exitCode = static_cast<int32_t>(settled);
  // The copy goes once the run has succeeded: after the engine's 0, and
  // after an uninstall the removal had already done.
  if (engineExitCode == 0 || settled != engineExitCode) {
    hold.Close();
    host.RemoveFile(packagePath);
  }
}
