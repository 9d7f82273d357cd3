#include "platform/framework.h"

namespace {

CWinApp* currentApp = nullptr;

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// The program name follows simpler rules than the arguments: quotes toggle
// grouping and are dropped, a blank outside a group ends it, and
// backslashes mean nothing in it.
const wchar_t* SkipProgramName(const wchar_t* p) {
  bool grouping = false;
  for (; *p != L'\0' && (grouping || !IsBlank(*p)); ++p) {
    if (*p == L'"') grouping = !grouping;
  }
  return p;
}

}  // namespace

TextList SplitCommandLine(const wchar_t* commandLine) {
  TextList arguments;
  const wchar_t* p = SkipProgramName(commandLine);
  for (;;) {
    while (IsBlank(*p)) ++p;
    if (*p == L'\0') break;

    Text argument;
    bool grouping = false;
    while (*p != L'\0' && (grouping || !IsBlank(*p))) {
      size_t backslashes = 0;
      while (*p == L'\\') {
        ++backslashes;
        ++p;
      }
      if (*p != L'"') {
        for (; backslashes > 0; --backslashes) argument.Append(L'\\');
        if (*p != L'\0' && (grouping || !IsBlank(*p))) argument.Append(*p++);
        continue;
      }
      for (size_t i = 0; i < backslashes / 2; ++i) argument.Append(L'\\');
      if (backslashes % 2 == 1) {
        argument.Append(L'"');
      } else if (grouping && p[1] == L'"') {
        argument.Append(L'"');  // "" inside a group: one literal quote
        ++p;
      } else {
        grouping = !grouping;
      }
      ++p;
    }
    arguments.Append(argument.c_str());
  }
  return arguments;
}

Text FileTitle(const wchar_t* path) {
  const wchar_t* name = path;
  for (const wchar_t* p = path; *p != L'\0'; ++p) {
    if (*p == L'\\' || *p == L'/' || *p == L':') name = p + 1;
  }
  const wchar_t* dot = nullptr;
  for (const wchar_t* p = name; *p != L'\0'; ++p) {
    if (*p == L'.') dot = p;
  }
  size_t length = dot != nullptr ? static_cast<size_t>(dot - name) : TextLength(name);
  Text title;
  title.Append(name, length);
  return title;
}

StationVisibility QueryStationVisibility(Host& host) {
  // Since Windows Vista only services run in session 0 and no user ever
  // sees it (Interactive Services Detection, gone since Windows 10 1803,
  // only ever showed a copy), yet its WinSta0 still says it is visible: a
  // process started there interactively (psexec -s -i 0, a service allowed
  // to interact with the desktop) would wait for an answer forever. On
  // Windows XP session 0 is the console user's own.
  uint32_t session = 0;
  uint32_t major = 0;
  if (host.QuerySessionId(session) && session == 0 && host.QuerySystemMajorVersion(major) &&
      major >= 6) {
    return StationVisibility::kHidden;
  }
  uint32_t flags = 0;
  if (!host.QueryWindowStationFlags(flags)) return StationVisibility::kUnknown;
  return (flags & kWindowStationVisible) != 0 ? StationVisibility::kVisible
                                              : StationVisibility::kHidden;
}

CWinApp::CWinApp(const wchar_t* appName) {
  if (appName != nullptr) appName_.Append(appName);
  currentApp = this;
}

CWinApp::~CWinApp() {
  if (currentApp == this) currentApp = nullptr;
}

CWinApp* AfxGetApp() { return currentApp; }

void CWinApp::ParseCommandLine(CCommandLineInfo& info) {
  TextList arguments = SplitCommandLine(commandLine_.c_str());
  size_t remaining = arguments.size();
  for (const wchar_t* argument : arguments) {
    bool isFlag = *argument == L'/' || *argument == L'-';
    --remaining;
    info.ParseParam(isFlag ? argument + 1 : argument, isFlag, remaining == 0);
  }
}

void CWinApp::AfxMessageBox(const wchar_t* text) {
  // In a station nobody can see (a service's, as under a deployment tool
  // running as LocalSystem) the box could never be answered and the run
  // would never end: the exit code already settled is the whole answer.
  // Where the system cannot tell, the box is shown as always.
  if (QueryStationVisibility(*host_) == StationVisibility::kHidden) return;
  host_->ShowMessageBox(appName(), text);
}

int RunApplication(CWinApp& app, Host& host, const wchar_t* commandLine) {
  app.host_ = &host;
  app.commandLine_ = Text(commandLine);
  if (app.appName_.empty()) {
    Text executable;
    if (!host.GetExecutablePath(executable)) return -1;
    app.appName_ = FileTitle(executable.c_str());
  }
  // The framework would run a message loop after a true result; the
  // launcher has no windows, so both results lead straight to the end.
  app.InitInstance();
  return app.ExitInstance();
}
