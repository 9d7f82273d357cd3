// The small application framework the launcher is written against: an
// application object driven by the process entry, command-line splitting
// that hands each argument to a command-line object, and the message box.
// The launcher opens no window, so there is no message loop or routing.
#pragma once

#include <cstdint>

#include "platform/host.h"
#include "platform/text.h"

/// Whether anyone can see the process's window station, and so answer a
/// message box shown there.
enum class StationVisibility {
  kVisible,
  /// A station nobody can see, such as the ones services run in (LocalSystem
  /// in session 0, where deployment tools start setup programs).
  kHidden,
  /// The system could not say.
  kUnknown,
};

/// Session 0 on Windows Vista and later is hidden, whatever its station's
/// flags say; anywhere else, on Windows XP session 0 included, the station's
/// kWindowStationVisible flag decides, and a station whose flags cannot be
/// read is kUnknown.
StationVisibility QueryStationVisibility(Host& host);

/// Receives the arguments of the command line, one call per argument.
class CCommandLineInfo {
 public:
  virtual ~CCommandLineInfo() = default;
  /// `text` has any single leading '/' or '-' removed; `isFlag` says whether
  /// one was. `isLast` marks the final argument.
  virtual void ParseParam(const wchar_t* text, bool isFlag, bool isLast) = 0;
};

/// Splits a command line into arguments by the Microsoft C runtime's rules,
/// after skipping the program name. Quotes group and are dropped, "" inside
/// a group is a literal quote, and 2n (2n+1) backslashes before a quote
/// give n backslashes and a grouping (literal) quote.
TextList SplitCommandLine(const wchar_t* commandLine);

class CWinApp {
 public:
  /// With no name, the name is taken from the executable's file name.
  explicit CWinApp(const wchar_t* appName = nullptr);
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;
  virtual ~CWinApp();

  /// The run. Returning false ends it without a message loop.
  virtual bool InitInstance() { return false; }
  /// Its result becomes the process exit code.
  virtual int ExitInstance() { return 0; }

  /// Feeds the arguments after the program name to `info`, in order.
  void ParseCommandLine(CCommandLineInfo& info);
  /// Shows `text` in a message box titled with the application name, unless
  /// the process's window station is known to be invisible: there nobody
  /// could ever answer it, so nothing is shown.
  void AfxMessageBox(const wchar_t* text);

  Host& host() { return *host_; }
  const wchar_t* appName() const { return appName_.c_str(); }

 private:
  friend int RunApplication(CWinApp& app, Host& host, const wchar_t* commandLine);

  Text appName_;
  Text commandLine_;
  Host* host_ = nullptr;
};

/// The application object of this process, registered by its constructor.
CWinApp* AfxGetApp();

/// The process entry's work: names the application after the executable
/// when it has no name, runs InitInstance, then returns ExitInstance's
/// result. -1 when start-up fails.
int RunApplication(CWinApp& app, Host& host, const wchar_t* commandLine);

/// "C:\dir\Setup.exe" -> "Setup": the file name without its extension.
Text FileTitle(const wchar_t* path);
