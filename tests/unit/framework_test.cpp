#include "platform/framework.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_host.h"

namespace {

std::vector<std::wstring> Split(const wchar_t* commandLine) {
  std::vector<std::wstring> arguments;
  for (const wchar_t* argument : SplitCommandLine(commandLine)) arguments.emplace_back(argument);
  return arguments;
}

using Args = std::vector<std::wstring>;

}  // namespace

TEST(SplitCommandLine, FollowsTheCRuntimeRules) {
  struct Case {
    const wchar_t* commandLine;
    Args expected;
  };
  const Case cases[] = {
      // The program name is skipped, quoted or not; backslashes mean nothing in it.
      {L"setup.exe", {}},
      {L"\"C:\\My Apps\\setup.exe\" /i", {L"/i"}},
      {L"C:\\a\\\"b c\"\\setup.exe /i", {L"/i"}},
      {L"\"C:\\dir\"x /q", {L"/q"}},
      // Spaces and tabs separate; runs of them count once.
      {L"s  /i\t\t/q   ", {L"/i", L"/q"}},
      // Quotes group and are dropped, also in the middle of an argument.
      {L"s \"A=a b\" c\"d e\"f", {L"A=a b", L"cd ef"}},
      {L"s \"\" x", {L"", L"x"}},
      {L"s \"unterminated group", {L"unterminated group"}},
      // Two quotes inside a group are one literal quote; grouping goes on.
      {L"s \"a\"\"b c\"", {L"a\"b c"}},
      {L"s a\"\"b", {L"ab"}},
      // 2n backslashes before a quote: n backslashes, and the quote groups.
      {L"s a\\\\\"b c\"", {L"a\\b c"}},
      {L"s \"C:\\Temp Dir\\\\\" next", {L"C:\\Temp Dir\\", L"next"}},
      // 2n+1 backslashes before a quote: n backslashes and a literal quote.
      {L"s a\\\"b", {L"a\"b"}},
      {L"s a\\\\\\\"b", {L"a\\\"b"}},
      // Backslashes elsewhere are literal.
      {L"s C:\\a\\\\b\\ x", {L"C:\\a\\\\b\\", L"x"}},
      // Non-ASCII text passes through.
      {L"s NAME=\x00c5sa\x4e2d", {L"NAME=\x00c5sa\x4e2d"}},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, Split(c.commandLine)) << c.commandLine;
}

TEST(SplitCommandLine, HandlesAVeryLongLine) {
  std::wstring line = L"setup.exe /q";
  for (int i = 0; i < 3200; ++i) line += L" P" + std::to_wstring(i % 10) + L"=xyzzy";
  line += L" \"" + std::wstring(12000, L'v') + L"\"";
  ASSERT_GE(line.size(), 32000u);
  Args arguments = Split(line.c_str());
  ASSERT_EQ(3202u, arguments.size());
  EXPECT_EQ(L"P9=xyzzy", arguments[3200]);
  EXPECT_EQ(std::wstring(12000, L'v'), arguments.back());
}

namespace {

struct Call {
  std::wstring text;
  bool isFlag;
  bool isLast;
  bool operator==(const Call& o) const {
    return text == o.text && isFlag == o.isFlag && isLast == o.isLast;
  }
};

class RecordingInfo : public CCommandLineInfo {
 public:
  void ParseParam(const wchar_t* text, bool isFlag, bool isLast) override {
    calls.push_back({text, isFlag, isLast});
  }
  std::vector<Call> calls;
};

class RecordingApp : public CWinApp {
 public:
  bool InitInstance() override {
    ParseCommandLine(info);
    AfxMessageBox(L"hello");
    return true;
  }
  int ExitInstance() override { return -7; }
  RecordingInfo info;
};

}  // namespace

TEST(ParseCommandLine, StripsOneLeadingSlashOrHyphenAndMarksTheLast) {
  FakeHost host;
  RecordingApp app;
  EXPECT_EQ(-7, RunApplication(app, host, L"setup.exe /i -q //x --y / \"\" plain"));
  std::vector<Call> expected = {
      {L"i", true, false}, {L"q", true, false}, {L"/x", true, false},    {L"-y", true, false},
      {L"", true, false},  {L"", false, false}, {L"plain", false, true},
  };
  EXPECT_EQ(expected, app.info.calls);
}

TEST(ParseCommandLine, CallsNothingWithoutArguments) {
  FakeHost host;
  RecordingApp app;
  RunApplication(app, host, L"\"C:\\x\\setup.exe\"   ");
  EXPECT_TRUE(app.info.calls.empty());
}

TEST(RunApplication, TitlesMessageBoxesWithTheExecutableName) {
  struct Case {
    const wchar_t* executable;
    const wchar_t* title;
  };
  for (const Case& c : {Case{L"C:\\Downloads\\Install.exe", L"Install"},
                        Case{L"C:\\v1.2\\setup.v2.exe", L"setup.v2"},
                        Case{L"C:\\dir\\NoExtension", L"NoExtension"}}) {
    FakeHost host;
    host.executablePath = c.executable;
    RecordingApp app;
    RunApplication(app, host, L"setup.exe");
    ASSERT_EQ(1u, host.messageBoxes.size());
    EXPECT_EQ(c.title, host.messageBoxes[0].title);
    EXPECT_EQ(L"hello", host.messageBoxes[0].text);
  }
}

TEST(RunApplication, StartUpFailureEndsWithMinusOneBeforeTheRun) {
  FakeHost host;
  host.failures[FakeHost::Op::GetExecutablePath] = 5;
  RecordingApp app;
  EXPECT_EQ(-1, RunApplication(app, host, L"setup.exe /i"));
  EXPECT_TRUE(app.info.calls.empty());
  EXPECT_TRUE(host.messageBoxes.empty());
}

TEST(RunApplication, AGivenNameTitlesTheBoxes) {
  FakeHost host;
  host.failures[FakeHost::Op::GetExecutablePath] = 5;  // never asked
  class NamedApp : public CWinApp {
   public:
    NamedApp() : CWinApp(L"Named") {}
    bool InitInstance() override {
      AfxMessageBox(L"x");
      return false;
    }
  } app;
  EXPECT_EQ(0, RunApplication(app, host, L"setup.exe"));
  EXPECT_EQ(L"Named", host.messageBoxes.at(0).title);
  EXPECT_EQ(&app, AfxGetApp());
}

TEST(QueryStationVisibility, HidesSessionZeroFromVistaOnElseFollowsTheStationsFlag) {
  using V = StationVisibility;
  constexpr uint32_t kVisible = kWindowStationVisible;
  struct Case {
    const char* name;
    uint32_t session;
    uint32_t major;
    uint32_t flags;
    std::vector<FakeHost::Op> failing;
    V expected;
  };
  using Op = FakeHost::Op;
  const Case cases[] = {
      // Services' session since Vista: hidden even where its station says
      // it is visible, or says nothing.
      {"session 0, Vista", 0, 6, kVisible, {}, V::kHidden},
      {"session 0, Windows 10", 0, 10, kVisible, {}, V::kHidden},
      {"session 0, Windows 10, flags unreadable",
       0,
       10,
       kVisible,
       {Op::QueryWindowStationFlags},
       V::kHidden},
      // The console user's session on Windows XP and Server 2003.
      {"session 0, XP", 0, 5, kVisible, {}, V::kVisible},
      {"session 0, XP, hidden station", 0, 5, 0, {}, V::kHidden},
      {"session 0, XP, flags unreadable",
       0,
       5,
       kVisible,
       {Op::QueryWindowStationFlags},
       V::kUnknown},
      // A user's session: the station's flag alone.
      {"session 1", 1, 10, kVisible, {}, V::kVisible},
      {"session 1, hidden station", 1, 10, 0, {}, V::kHidden},
      {"session 1, other flags only", 1, 10, ~kVisible, {}, V::kHidden},
      {"session 1, flags unreadable", 1, 10, kVisible, {Op::QueryWindowStationFlags}, V::kUnknown},
      // Where session or version cannot be told, the flags decide.
      {"session unknown", 0, 10, kVisible, {Op::QuerySessionId}, V::kVisible},
      {"session unknown, hidden station", 0, 10, 0, {Op::QuerySessionId}, V::kHidden},
      {"version unknown", 0, 10, kVisible, {Op::QuerySystemMajorVersion}, V::kVisible},
      {"nothing known",
       0,
       10,
       kVisible,
       {Op::QuerySessionId, Op::QuerySystemMajorVersion, Op::QueryWindowStationFlags},
       V::kUnknown},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHost host;
    host.sessionId = c.session;
    host.systemMajorVersion = c.major;
    host.stationFlags = c.flags;
    for (Op op : c.failing) host.failures[op] = 5;
    EXPECT_EQ(c.expected, QueryStationVisibility(host));
  }
}
