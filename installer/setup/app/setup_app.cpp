#include "app/setup_app.h"

#include "cmdline/command_line_info.h"
#include "package/installer_stage.h"
#include "package/package_stage.h"

// "Setup.exe" is fixed text, whatever the executable is called.
const wchar_t kUsageText[] =
    L"Setup.exe [Optional Parameters]\n"
    L"\n"
    L"Optional Parameters:\n"
    L"   /i          Install\n"
    L"   /x          Uninstall\n"
    L"   /l          Turn on logging\n"
    L"   /q          Quiet (No UI)\n"
    L"   /?          Help\n"
    L"\n"
    L"Setting Public Properties:\n"
    L"   [PROPERTY=PropertyValue]";

CSetupApp::CSetupApp() : m_strUsage(kUsageText) {}

bool CSetupApp::InitInstance() {
  CSetupCommandLineInfo info;
  ParseCommandLine(info);

  // Validity first: /i /x /? is a bad command line, not a request for help.
  if (!info.m_bValid) {
    m_nExitCode = -2;
    AfxMessageBox(m_strUsage.c_str());
    return false;
  }
  if (info.HasSwitch(SwitchKey::Help)) {
    m_nExitCode = 0;
    AfxMessageBox(m_strUsage.c_str());
    return false;
  }

  Text tempDirectory;
  Text packagePath;
  HostHandle heldPackage = 0;
  if (!RunPackageStage(*this, m_nExitCode, tempDirectory, packagePath, heldPackage)) return false;
  // Open from the write until the engine is done; closed on every path.
  ScopedHandle hold(host(), heldPackage);
  RunInstallerStage(host(), tempDirectory.c_str(), packagePath.c_str(), info, hold, m_nExitCode);
  return false;
}

int CSetupApp::ExitInstance() {
  CWinApp::ExitInstance();
  return m_nExitCode;
}
