#include "app/setup_app.h"

#include <gtest/gtest.h>

#include <string>

#include "fake_host.h"

// The literal, not the program's own constant: a changed word must fail.
const std::wstring kExpectedUsage =
    L"Setup.exe [Optional Parameters]\n\nOptional Parameters:\n   /i          Install\n"
    L"   /x          Uninstall\n   /l          Turn on logging\n   /q          Quiet (No UI)\n"
    L"   /?          Help\n\nSetting Public Properties:\n   [PROPERTY=PropertyValue]";

TEST(SetupApp, UsageTextIsExact) {
  CSetupApp app;
  EXPECT_EQ(237u, kExpectedUsage.size());
  EXPECT_EQ(kExpectedUsage, app.m_strUsage.c_str());
  EXPECT_EQ(-1, app.m_nExitCode);
}

TEST(SetupApp, HelpAndRejectedLinesShowTheUsageAndWriteNothing) {
  struct Case {
    const wchar_t* arguments;
    uint32_t exitCode;
  };
  const Case cases[] = {
      {L"/?", 0},
      {L"/q /l /? A=1", 0},
      {L"/? /x", 0},
      {L"/i /x", 4294967294u},
      {L"/x /i", 4294967294u},
      {L"/i /x /?", 4294967294u},
  };
  for (const Case& c : cases) {
    FakeHost host;
    host.executablePath = L"D:\\Downloads\\Install.exe";
    EXPECT_EQ(c.exitCode, RunSetup(host, c.arguments)) << c.arguments;
    ASSERT_EQ(1u, host.messageBoxes.size()) << c.arguments;
    EXPECT_EQ(L"Install", host.messageBoxes[0].title);
    EXPECT_EQ(kExpectedUsage, host.messageBoxes[0].text);
    EXPECT_TRUE(host.files.empty()) << c.arguments;
    EXPECT_TRUE(host.processes.empty()) << c.arguments;
  }
}

TEST(SetupApp, AnAcceptedLineInstallsWithDefaultOptions) {
  for (const wchar_t* arguments : {L"", L"/unknown junk -z"}) {
    FakeHost host;
    EXPECT_EQ(0u, RunSetup(host, arguments));
    ASSERT_EQ(2u, host.processes.size());
    EXPECT_EQ(std::wstring(L"msiexec.exe /i \"") + kFakePackagePath + L"\" ",
              host.processes[1].commandLine);
    EXPECT_TRUE(host.messageBoxes.empty());
  }
}

TEST(SetupApp, QuietReachesOnlyTheEngineNotTheLaunchersOwnBoxes) {
  FakeHost host;
  host.failures[FakeHost::Op::CreateNewFile] = 32;
  EXPECT_EQ(4294967295u, RunSetup(host, L"/q"));
  ASSERT_EQ(1u, host.messageBoxes.size());
  EXPECT_EQ(L"Error extracting MSI, 32", host.messageBoxes[0].text);
  EXPECT_EQ(L"Setup", host.messageBoxes[0].title);
}

// Nobody can answer a box in a station nobody sees (a service's, as under a
// deployment tool running as LocalSystem): the run ends by itself there
// with the code it settled. Where the system sees the station, or cannot
// tell, every box appears as before.
TEST(SetupApp, EachBoxIsLeftOutOnlyWhereNobodyCanSeeIt) {
  struct Box {
    const char* name;
    const wchar_t* arguments;
    void (*arrange)(FakeHost&);
    uint32_t exitCode;
    std::wstring text;
  };
  const Box boxes[] = {
      {"help", L"/q /?", [](FakeHost&) {}, 0, kExpectedUsage},
      {"rejected line", L"/q /i /x", [](FakeHost&) {}, 4294967294u, kExpectedUsage},
      {"no temporary path", L"/q",
       [](FakeHost& h) { h.failures[FakeHost::Op::QueryTempPath] = 1234; }, 4294967295u,
       L"Unable to obtain temporary path, 1234"},
      {"extraction fails", L"/q", [](FakeHost& h) { h.failures[FakeHost::Op::CreateNewFile] = 32; },
       4294967295u, L"Error extracting MSI, 32"},
  };
  struct Station {
    const char* name;
    void (*arrange)(FakeHost&);
    bool shown;
  };
  const Station stations[] = {
      {"visible", [](FakeHost&) {}, true},
      {"flags unreadable",
       [](FakeHost& h) { h.failures[FakeHost::Op::QueryWindowStationFlags] = 5; }, true},
      {"hidden", [](FakeHost& h) { h.stationFlags = 0; }, false},
      {"session 0", [](FakeHost& h) { h.sessionId = 0; }, false},
  };
  for (const Box& box : boxes) {
    for (const Station& station : stations) {
      SCOPED_TRACE(std::string(box.name) + " / " + station.name);
      FakeHost host;
      box.arrange(host);
      station.arrange(host);
      EXPECT_EQ(box.exitCode, RunSetup(host, box.arguments));
      if (station.shown) {
        ASSERT_EQ(1u, host.messageBoxes.size());
        EXPECT_EQ(box.text, host.messageBoxes[0].text);
      } else {
        EXPECT_TRUE(host.messageBoxes.empty());
      }
      EXPECT_TRUE(host.processes.empty()) << "no engine command after a box";
      EXPECT_TRUE(host.openHandles.empty());
    }
  }
}

// In a hidden station an accepted run does its whole job as anywhere else.
TEST(SetupApp, AHiddenStationChangesNothingElse) {
  FakeHost host;
  host.stationFlags = 0;
  host.exitCodes = {0, 3010};
  EXPECT_EQ(3010u, RunSetup(host, L"/q"));
  ASSERT_EQ(2u, host.processes.size());
  EXPECT_EQ(std::wstring(L"msiexec.exe /i \"") + kFakePackagePath + L"\" /qn",
            host.processes[1].commandLine);
  EXPECT_EQ(1u, host.files.count(kFakePackagePath));
}
