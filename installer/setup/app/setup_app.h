// The launcher's application object: it reads the command line, answers help
// and bad command lines with the usage text, and otherwise writes the
// package and runs the installer engine on it.
#pragma once

#include <cstdint>

#include "platform/framework.h"
#include "platform/text.h"

class CSetupApp : public CWinApp {
 public:
  CSetupApp();
  ~CSetupApp() override = default;

  /// The whole run. Always false: there is no message loop to enter.
  bool InitInstance() override;
  /// The exit code the run settled.
  int ExitInstance() override;

  Text m_strUsage;
  /// Read by the system as unsigned: -1 leaves as 4294967295.
  int32_t m_nExitCode = -1;
};

/// The usage text, shown for help and for a rejected command line.
extern const wchar_t kUsageText[];

/// The process's one application object.
extern CSetupApp theApp;
