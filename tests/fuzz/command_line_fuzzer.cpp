// Fuzzes the launcher's command line end to end: the raw line is split by
// the framework, parsed by the setup's command-line object exactly as the
// process entry does it, and turned into the engine command. The split is
// checked by quoting its arguments again and splitting once more; the
// parse against a model of the switch and property rules; and the engine
// command is read back with msiexec's own property syntax to prove that no
// argument can change what the engine is told.
//
// Input bytes to text: the bytes are read as UTF-8, leniently, and turned
// into UTF-16 code units (what a Windows command line is made of).
//   - ASCII bytes stand for themselves, so quotes, backslashes, blanks, '='
//     and '/' are each one byte away and seeds are plain readable text.
//   - A well-formed 2/3/4-byte sequence gives its code point; the 3-byte
//     form of a surrogate is accepted, so lone surrogates are reachable;
//     code points above U+FFFF become a surrogate pair.
//   - Any other byte (a stray continuation or a bad lead) stands for the
//     Latin-1 character of that value, so random bytes produce non-ASCII
//     text (U+0080..U+00FF, NBSP included) instead of being thrown away.
//   - NUL is dropped: a process command line cannot hold one.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cmdline/command_line_info.h"
#include "package/installer_stage.h"
#include "platform/framework.h"
#include "platform/host.h"
#include "platform/text.h"

namespace {

const wchar_t kPackagePath[] = L"C:\\Temp\\VeltraneWindowsDriverInstaller.msi";

std::wstring g_commandLine;  // of the current input, for failure reports

void PrintWide(const char* label, const std::wstring& text) {
  std::fprintf(stderr, "%s: \"", label);
  for (wchar_t c : text) {
    if (c >= 0x20 && c < 0x7F && c != L'\\') {
      std::fputc(static_cast<int>(c), stderr);
    } else if (c == L'\\') {
      std::fputs("\\\\", stderr);
    } else {
      std::fprintf(stderr, "\\u%04X", static_cast<unsigned>(c));
    }
  }
  std::fputs("\"\n", stderr);
}

[[noreturn]] void Fail(const char* what, const std::wstring& detail = std::wstring()) {
  std::fprintf(stderr, "\n*** command line oracle failed: %s\n", what);
  PrintWide("command line", g_commandLine);
  if (!detail.empty()) PrintWide("detail", detail);
  std::abort();
}

void Check(bool holds, const char* what, const std::wstring& detail = std::wstring()) {
  if (!holds) Fail(what, detail);
}

std::wstring Decode(const uint8_t* data, size_t size) {
  std::wstring text;
  size_t i = 0;
  while (i < size) {
    const uint8_t lead = data[i];
    size_t length = lead < 0x80                   ? 1
                    : lead >= 0xC2 && lead < 0xE0 ? 2
                    : lead >= 0xE0 && lead < 0xF0 ? 3
                    : lead >= 0xF0 && lead < 0xF5 ? 4
                                                  : 0;
    uint32_t codePoint = lead;
    if (length > 1) {
      if (i + length > size) {
        length = 0;
      } else {
        codePoint = lead & (0xFFu >> (length + 1));
        for (size_t k = 1; k < length && length != 0; ++k) {
          if ((data[i + k] & 0xC0) != 0x80) {
            length = 0;
          } else {
            codePoint = (codePoint << 6) | (data[i + k] & 0x3Fu);
          }
        }
        if (codePoint > 0x10FFFF) length = 0;
      }
    }
    if (length == 0) {  // not a sequence: the byte as a Latin-1 character
      codePoint = lead;
      length = 1;
    }
    i += length;
    if (codePoint == 0) continue;
    if (codePoint >= 0x10000) {
      codePoint -= 0x10000;
      text += static_cast<wchar_t>(0xD800 + (codePoint >> 10));
      text += static_cast<wchar_t>(0xDC00 + (codePoint & 0x3FF));
    } else {
      text += static_cast<wchar_t>(codePoint);
    }
  }
  return text;
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// Parsing touches no operating-system service; any call here is a fault.
class TrapHost : public Host {
 public:
  uint32_t LastError() override { Fail("host: LastError"); }
  bool GetExecutablePath(Text&) override { Fail("host: GetExecutablePath"); }
  bool HasTempPath2() override { Fail("host: HasTempPath2"); }
  uint32_t QueryTempPath(bool, wchar_t*, uint32_t) override { Fail("host: QueryTempPath"); }
  bool PathExists(const wchar_t*) override { Fail("host: PathExists"); }
  bool CreateUniqueTempFile(const wchar_t*, const wchar_t*, Text&) override {
    Fail("host: CreateUniqueTempFile");
  }
  bool QuerySystemDirectory(Text&) override { Fail("host: QuerySystemDirectory"); }
  ResourceRef FindOwnResource(const wchar_t*, uint16_t) override { Fail("host: FindOwnResource"); }
  uint32_t GetResourceSize(ResourceRef) override { Fail("host: GetResourceSize"); }
  const void* LockResourceBytes(ResourceRef) override { Fail("host: LockResourceBytes"); }
  HostHandle CreateNewFile(const wchar_t*) override { Fail("host: CreateNewFile"); }
  HostHandle OpenFileForReading(const wchar_t*) override { Fail("host: OpenFileForReading"); }
  bool WriteFile(HostHandle, const void*, uint32_t, uint32_t&) override { Fail("host: WriteFile"); }
  bool QueryFileSize(HostHandle, uint64_t&) override { Fail("host: QueryFileSize"); }
  HostHandle MapFile(HostHandle, uint32_t, uint32_t, uint32_t) override { Fail("host: MapFile"); }
  const void* MapView(HostHandle, uint32_t, uint32_t, uint32_t, uint32_t) override {
    Fail("host: MapView");
  }
  void UnmapView(const void*) override { Fail("host: UnmapView"); }
  bool RemoveFile(const wchar_t*) override { Fail("host: RemoveFile"); }
  HostHandle OpenEntryForDeletion(const wchar_t*) override { Fail("host: OpenEntryForDeletion"); }
  HostHandle OpenFolder(const wchar_t*) override { Fail("host: OpenFolder"); }
  bool QueryFinalPath(HostHandle, Text&) override { Fail("host: QueryFinalPath"); }
  int CompareOrdinal(const wchar_t*, size_t, const wchar_t*, size_t, bool) override {
    Fail("host: CompareOrdinal");
  }
  bool DeleteFileByName(const wchar_t*) override { Fail("host: DeleteFileByName"); }
  bool SetFileInformation(HostHandle, uint32_t, const void*, uint32_t) override {
    Fail("host: SetFileInformation");
  }
  StartedProcess StartProcess(const wchar_t*, Text&) override { Fail("host: StartProcess"); }
  void WaitForProcess(HostHandle) override { Fail("host: WaitForProcess"); }
  bool GetProcessExitCode(HostHandle, uint32_t&) override { Fail("host: GetProcessExitCode"); }
  void CloseHandle(HostHandle) override { Fail("host: CloseHandle"); }
  void ShowMessageBox(const wchar_t*, const wchar_t*) override { Fail("host: ShowMessageBox"); }
  bool QueryWindowStationFlags(uint32_t&) override { Fail("host: QueryWindowStationFlags"); }
  bool QuerySessionId(uint32_t&) override { Fail("host: QuerySessionId"); }
  bool QuerySystemMajorVersion(uint32_t&) override { Fail("host: QuerySystemMajorVersion"); }
  void RemoveCurrentDirectoryFromDllSearch() override { Fail("host: DLL search"); }
  bool LimitDllSearchToSystemDirectory() override { Fail("host: DLL search"); }
  bool LoadLibraryByPath(const wchar_t*) override { Fail("host: LoadLibraryByPath"); }
};

// Parses its command line into `info` the way the setup application does.
class ParsingApp : public CWinApp {
 public:
  ParsingApp() : CWinApp(L"setup") {}
  bool InitInstance() override {
    ParseCommandLine(info);
    return false;
  }
  CSetupCommandLineInfo info;
};

// msiexec's reading of its command line: blanks separate tokens outside
// double quotes, a quote toggles quoting, and inside quotes "" is one
// literal quote. False when a quote is left open.
bool ReadEngineTokens(const wchar_t* p, std::vector<std::wstring>& tokens) {
  for (;;) {
    while (IsBlank(*p)) ++p;
    if (*p == L'\0') return true;
    std::wstring token;
    bool quoted = false;
    while (*p != L'\0' && (quoted || !IsBlank(*p))) {
      if (*p != L'"') {
        token += *p++;
      } else if (quoted && p[1] == L'"') {
        token += L'"';
        p += 2;
      } else {
        quoted = !quoted;
        ++p;
      }
    }
    if (quoted) return false;
    tokens.push_back(token);
  }
}

// What the launcher must make of the split arguments: the switches a whole
// argument names (one ASCII letter or '?', either case, after at most one
// '/' or '-') and the NAME=value arguments.
struct Expected {
  bool switches[kSwitchKeyCount] = {};
  std::vector<std::wstring> properties;
};

Expected Model(const std::vector<std::wstring>& arguments) {
  static const wchar_t kLetters[kSwitchKeyCount] = {L'i', L'x', L'l', L'q', L'?'};
  Expected expected;
  for (const std::wstring& argument : arguments) {
    std::wstring text = argument;
    if (!text.empty() && (text[0] == L'/' || text[0] == L'-')) text.erase(0, 1);
    if (text.size() == 1) {
      wchar_t c = text[0];
      if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
      for (int k = 0; k < kSwitchKeyCount; ++k) {
        if (c == kLetters[k]) expected.switches[k] = true;
      }
    }
    size_t equals = text.find(L'=');
    if (equals != std::wstring::npos && equals >= 1 && equals + 1 < text.size()) {
      expected.properties.push_back(text);
    }
  }
  return expected;
}

std::vector<std::wstring> Split(const std::wstring& commandLine) {
  std::vector<std::wstring> arguments;
  for (const wchar_t* argument : SplitCommandLine(commandLine.c_str())) {
    arguments.emplace_back(argument);
  }
  return arguments;
}

// Writes `argument` as one quoted group that the runtime's rules read back
// unchanged: backslashes are doubled only where a quote follows them, and
// a literal quote is either \" or, as the group is open, "".
std::wstring Quote(const std::wstring& argument, bool doubledQuotes) {
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      out.append(2 * backslashes + (doubledQuotes ? 0 : 1), L'\\');
      out += doubledQuotes ? L"\"\"" : L"\"";
    } else {
      out.append(backslashes, L'\\');
      out += c;
    }
    backslashes = 0;
  }
  out.append(2 * backslashes, L'\\');
  out += L'"';
  return out;
}

void CheckSplit(const std::wstring& arguments, const std::vector<std::wstring>& split) {
  // Re-quoting the arguments either way and splitting again gives them back.
  for (bool doubledQuotes : {false, true}) {
    std::wstring line = L"setup.exe";
    for (const std::wstring& argument : split) line += L' ' + Quote(argument, doubledQuotes);
    Check(Split(line) == split,
          doubledQuotes ? "split: re-quoted with \"\" reads back changed"
                        : "split: re-quoted with \\\" reads back changed",
          line);
  }

  // Without quotes, backslashes are plain characters and blanks alone
  // separate the arguments.
  if (arguments.find(L'"') == std::wstring::npos) {
    std::vector<std::wstring> fields;
    size_t start = 0;
    for (;;) {
      while (start < arguments.size() && IsBlank(arguments[start])) ++start;
      if (start == arguments.size()) break;
      size_t end = start;
      while (end < arguments.size() && !IsBlank(arguments[end])) ++end;
      fields.push_back(arguments.substr(start, end - start));
      start = end;
    }
    Check(fields == split, "split: an unquoted line splits at blanks only");
  }
}

void CheckParse(const std::vector<std::wstring>& split, const CSetupCommandLineInfo& info) {
  Expected expected = Model(split);
  const bool conflict = expected.switches[static_cast<int>(SwitchKey::Install)] &&
                        expected.switches[static_cast<int>(SwitchKey::Uninstall)];
  bool anySwitch = false;
  for (bool present : expected.switches) anySwitch = anySwitch || present;

  // Install with uninstall is the one invalid line; it drops every switch.
  Check(info.m_bValid == !conflict, "validity: m_bValid is false exactly for /i with /x");
  if (conflict) {
    Check(info.m_nParseState == 2, "validity: a rejected line is abandoned (state 2)");
  } else {
    Check(info.m_nParseState == (anySwitch ? 1 : 0), "validity: state 1 exactly after a switch");
  }
  for (int k = 0; k < kSwitchKeyCount; ++k) {
    bool present = !conflict && expected.switches[k];
    Check(info.HasSwitch(static_cast<SwitchKey>(k)) == present, "switches: recorded set",
          SwitchText(static_cast<SwitchKey>(k)));
  }

  // Properties are kept in order, duplicates included, even on a rejected line.
  std::vector<std::wstring> stored;
  for (const wchar_t* property : info.m_properties) stored.emplace_back(property);
  Check(stored == expected.properties, "properties: the NAME=value arguments, in order");
}

bool IsPassableName(const std::wstring& name) {
  if (name[0] == L'/' || name[0] == L'-') return false;
  return name.find_first_of(L" \t\"") == std::wstring::npos;
}

void CheckEngineCommand(const CSetupCommandLineInfo& info) {
  Text built = BuildEngineCommand(info, kPackagePath, L"");
  const std::wstring command = built.c_str();

  const bool uninstall = info.HasSwitch(SwitchKey::Uninstall);
  std::wstring prefix = uninstall ? L"msiexec.exe /x \"" : L"msiexec.exe /i \"";
  prefix += kPackagePath;
  prefix += L"\" ";
  Check(command.compare(0, prefix.size(), prefix) == 0,
        "engine: starts with the operation and the quoted package", command);

  size_t rest = prefix.size();
  const bool quiet = command.compare(rest, 3, L"/qn") == 0 &&
                     (rest + 3 == command.size() || IsBlank(command[rest + 3]));
  Check(quiet == info.HasSwitch(SwitchKey::Quiet), "engine: /qn exactly when quiet", command);
  if (quiet) rest += 3;

  std::vector<std::wstring> tokens;
  Check(ReadEngineTokens(command.c_str() + rest, tokens), "engine: a quote is left open", command);

  // The properties the engine must see: every stored one whose name it can
  // read as a name. The others are dropped on purpose.
  std::vector<std::wstring> names;
  std::vector<std::wstring> values;
  for (const wchar_t* property : info.m_properties) {
    std::wstring text = property;
    size_t equals = text.find(L'=');
    Check(equals != std::wstring::npos && equals >= 1, "stored property without a name", text);
    std::wstring name = text.substr(0, equals);
    if (!IsPassableName(name)) continue;
    names.push_back(name);
    values.push_back(text.substr(equals + 1));
  }

  for (const std::wstring& token : tokens) {
    Check(token.find(L'=') != std::wstring::npos, "engine: a token that is not a property", token);
  }
  Check(tokens.size() == names.size(), "engine: one token per passable property", command);
  for (size_t i = 0; i < tokens.size(); ++i) {
    size_t equals = tokens[i].find(L'=');
    Check(tokens[i].compare(0, equals, names[i]) == 0 && equals == names[i].size(),
          "engine: property name reads back changed", tokens[i]);
    Check(tokens[i].compare(equals + 1, std::wstring::npos, values[i]) == 0,
          "engine: property value reads back changed", tokens[i]);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::wstring arguments = Decode(data, size);
  g_commandLine = L"setup.exe " + arguments;

  ParsingApp app;
  TrapHost host;
  Check(RunApplication(app, host, g_commandLine.c_str()) == 0,
        "run: exit code of a parse-only app");

  const std::vector<std::wstring> split = Split(g_commandLine);
  CheckSplit(arguments, split);
  CheckParse(split, app.info);
  CheckEngineCommand(app.info);
  return 0;
}
