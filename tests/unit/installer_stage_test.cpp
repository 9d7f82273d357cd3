#include "package/installer_stage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_host.h"

namespace {

const std::wstring kPackage = kFakePackagePath;
const std::wstring kRemoval =
    L"msiexec.exe /x {5E2A8C41-7B03-4D6F-9A12-C83F0E6B4D27} /passive /norestart";
const std::wstring kEngine = L"C:\\Windows\\system32\\msiexec.exe";

// The engine command with "$LOG" standing for the log file's path.
std::wstring EngineCommandFor(const std::wstring& arguments, FakeHost& host) {
  EXPECT_EQ(0u, RunSetup(host, arguments)) << arguments;
  EXPECT_EQ(2u, host.processes.size()) << arguments;
  if (host.processes.size() != 2) return L"";
  std::wstring command = host.processes[1].commandLine;
  std::vector<std::wstring> logs = host.TempFiles();
  if (!logs.empty()) command.replace(command.find(logs[0]), logs[0].size(), L"$LOG");
  return command;
}

}  // namespace

TEST(InstallerStage, BuildsTheEngineCommandFromSwitchesAndProperties) {
  struct Case {
    const wchar_t* arguments;
    std::wstring expected;  // after msiexec.exe
  };
  const std::wstring pkg = L"\"" + kPackage + L"\"";
  const Case cases[] = {
      {L"", L"/i " + pkg + L" "},
      {L"/i", L"/i " + pkg + L" "},
      {L"/q", L"/i " + pkg + L" /qn"},
      {L"/l", L"/i " + pkg + L" /l* \"$LOG\" "},
      {L"/q /l", L"/i " + pkg + L" /l* \"$LOG\" /qn"},
      {L"/q A=1 B=2", L"/i " + pkg + L" /qn A=1 B=2"},
      {L"A=1", L"/i " + pkg + L"  A=1"},
      {L"/x /q", L"/x " + pkg + L" /qn"},
      {L"B=2 /x A=1 B=2", L"/x " + pkg + L"  B=2 A=1 B=2"},
      {L"/q /l INSTALLDIR=C:\\Drivers", L"/i " + pkg + L" /l* \"$LOG\" /qn INSTALLDIR=C:\\Drivers"},
      // Values with blanks or quotes are quoted, inner quotes doubled, so
      // they neither split nor smuggle in engine switches.
      {L"\"DIR=C:\\Program Files\\X\"", L"/i " + pkg + L"  DIR=\"C:\\Program Files\\X\""},
      {L"\"A=1 /x\"", L"/i " + pkg + L"  A=\"1 /x\""},
      {L"\"A=a\tb\"", L"/i " + pkg + L"  A=\"a\tb\""},
      {L"A=say\\\"hi\\\"", L"/i " + pkg + L"  A=\"say\"\"hi\"\"\""},
      {L"A=B=C", L"/i " + pkg + L"  A=B=C"},
      {L"N=\x00c5sa\x4e2d \"M=\x00c5 s\"", L"/i " + pkg + L"  N=\x00c5sa\x4e2d M=\"\x00c5 s\""},
      // A name that could never be one property name is not passed on.
      {L"\"A B=1\" //Q=1 -/X=2 C=3", L"/i " + pkg + L"  C=3"},
  };
  for (const Case& c : cases) {
    FakeHost host;
    EXPECT_EQ(L"msiexec.exe " + c.expected, EngineCommandFor(c.arguments, host)) << c.arguments;
  }
}

TEST(InstallerStage, RunsTheRemovalThenTheEngineByFullPath) {
  FakeHost host;
  EngineCommandFor(L"/l /q P=1", host);
  ASSERT_EQ(2u, host.processes.size());
  EXPECT_EQ(kRemoval, host.processes[0].commandLine);
  EXPECT_EQ(kEngine, host.processes[0].application);
  EXPECT_EQ(kEngine, host.processes[1].application);

  const std::wstring log = host.TempFiles().at(0);
  EXPECT_EQ(0u, log.find(L"C:\\Users\\Ann\\AppData\\Local\\Temp\\usb"));
  const std::vector<std::wstring> expected = {
      L"create " + kPackage,
      L"write " + kPackage,
      L"hold " + kPackage,
      L"tempfile " + log,
      L"start " + kRemoval,
      L"wait " + kRemoval,
      L"start " + host.processes[1].commandLine,
      L"wait " + host.processes[1].commandLine,
      L"release " + kPackage,
      L"delete " + kPackage,
  };
  EXPECT_EQ(expected, host.events);
  EXPECT_TRUE(host.openHandles.empty());
}

TEST(InstallerStage, PassesOnTheEngineCodeAndDeletesThePackageOnlyAfterZero) {
  for (uint32_t code : {0u, 1u, 1602u, 1603u, 1618u, 1641u, 3010u, 4294967295u}) {
    FakeHost host;
    host.exitCodes = {1605, code};  // nothing installed before: removal fails
    EXPECT_EQ(code, RunSetup(host, L"/l"));
    EXPECT_EQ(code != 0, host.files.count(kPackage) == 1) << code;
    EXPECT_EQ(1u, host.files.count(host.TempFiles().at(0))) << "the log always stays";
    EXPECT_TRUE(host.openHandles.empty());
    EXPECT_TRUE(host.messageBoxes.empty());
  }
}

TEST(InstallerStage, AnUninstallTheRemovalDidAndARestartItNeedsReachTheCaller) {
  struct Case {
    const wchar_t* arguments;
    uint32_t removal;
    uint32_t engine;
    uint32_t expected;
  };
  const Case cases[] = {
      // The removal took the product the engine's /x was to remove.
      {L"/x /q", 0, 1605, 0},
      {L"/x /q", 3010, 1605, 3010},
      {L"/x /q", 1641, 1605, 1641},
      // A removal that failed, nothing installed included, changes nothing.
      {L"/x /q", 1605, 1605, 1605},
      {L"/x /q", 1603, 1605, 1605},
      {L"/x /q", 0, 1603, 1603},
      // Never for an install.
      {L"/q", 0, 1605, 1605},
      {L"/q", 3010, 1605, 1605},
      // A restart the removal needs is not lost behind the engine's success.
      {L"/q", 3010, 0, 3010},
      {L"/x /q", 3010, 0, 3010},
      {L"/q", 3010, 1603, 1603},
      {L"/q", 3010, 1641, 1641},
      {L"/q", 3010, 3010, 3010},
      {L"/q", 1641, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.arguments[1] == L'x' ? "/x /q" : "/q") << ", removal "
                                    << c.removal << ", engine " << c.engine);
    FakeHost host;
    host.exitCodes = {c.removal, c.engine};
    EXPECT_EQ(c.expected, RunSetup(host, c.arguments));
    ASSERT_EQ(2u, host.processes.size());
    // The copy goes after every run that succeeded, the mapped uninstall too.
    bool succeeded = c.engine == 0 || (c.engine == 1605 && c.expected != 1605);
    EXPECT_EQ(succeeded, host.files.count(kPackage) == 0);
    EXPECT_TRUE(host.openHandles.empty());
  }
  // A removal that did not run, or whose code is unknown, maps nothing.
  for (FakeHost::Op op : {FakeHost::Op::StartProcess, FakeHost::Op::GetProcessExitCode}) {
    FakeHost host;
    host.failures[op] = 5;
    host.failOnlyCall[op] = 1;
    host.exitCodes = {1605};
    if (op == FakeHost::Op::GetProcessExitCode) host.exitCodes = {0, 1605};
    EXPECT_EQ(1605u, RunSetup(host, L"/x /q"));
    EXPECT_EQ(1u, host.files.count(kPackage));
  }
}

TEST(InstallerStage, StartAndExitCodeFailuresBecomeTheExitCodeSilently) {
  struct Case {
    const char* name;
    FakeHost::Op op;
    uint32_t error;
    int onlyStart;  // 0: every start fails
    size_t processesRun;
    uint32_t exitCode;
  };
  // A failure the system names no error for must still not leave as 0.
  const Case cases[] = {
      {"no msiexec anywhere", FakeHost::Op::StartProcess, 2, 0, 0, 2},
      {"engine cannot start", FakeHost::Op::StartProcess, 740, 2, 1, 740},
      {"engine cannot start, no error named", FakeHost::Op::StartProcess, 0, 2, 1, 1},
      {"exit code unreadable", FakeHost::Op::GetProcessExitCode, 6, 0, 2, 6},
      {"exit code unreadable, no error named", FakeHost::Op::GetProcessExitCode, 0, 2, 2, 1},
      {"no system directory", FakeHost::Op::QuerySystemDirectory, 122, 0, 0, 122},
      // A system directory of MAX_PATH or more fails without an error.
      {"no system directory, no error named", FakeHost::Op::QuerySystemDirectory, 0, 0, 0, 206},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHost host;
    host.failures[c.op] = c.error;
    if (c.onlyStart != 0) host.failOnlyCall[c.op] = c.onlyStart;
    EXPECT_EQ(c.exitCode, RunSetup(host, L"/q"));
    EXPECT_EQ(c.processesRun, host.processes.size());
    EXPECT_EQ(1u, host.files.count(kPackage)) << "package kept";
    EXPECT_TRUE(host.messageBoxes.empty());
    EXPECT_TRUE(host.openHandles.empty());
  }
}

TEST(InstallerStage, ARemovalThatCannotStartDoesNotStopTheRun) {
  FakeHost host;
  host.failures[FakeHost::Op::StartProcess] = 2;
  host.failOnlyCall[FakeHost::Op::StartProcess] = 1;
  EXPECT_EQ(0u, RunSetup(host, L"/x"));
  ASSERT_EQ(1u, host.processes.size());
  EXPECT_EQ(0u, host.processes[0].commandLine.find(L"msiexec.exe /x \"" + kPackage));
}

TEST(InstallerStage, NoLogFileMeansNoLogArgumentAndNoMessage) {
  {
    FakeHost host;
    host.failures[FakeHost::Op::CreateUniqueTempFile] = 80;
    EXPECT_EQ(L"msiexec.exe /i \"" + kPackage + L"\" /qn", EngineCommandFor(L"/l /q", host));
    EXPECT_TRUE(host.messageBoxes.empty());
  }
  // The temporary directory is gone by the time the log is created.
  FakeHost host;
  host.beforeHold = [](FakeHost& fake) { fake.directories.clear(); };
  EXPECT_EQ(L"msiexec.exe /i \"" + kPackage + L"\" /qn", EngineCommandFor(L"/l /q", host));
  EXPECT_TRUE(host.TempFiles().empty());
  EXPECT_TRUE(host.messageBoxes.empty());
}

TEST(InstallerStage, TheLogGoesIntoTheTemporaryDirectoryThePackageStageAskedFor) {
  // Asked again, the system would now name another directory: the log
  // still goes beside the package, into the one directory of the run.
  FakeHost host;
  const std::wstring first = host.tempPath;
  host.beforeHold = [](FakeHost& fake) {
    fake.tempPath = L"D:\\Elsewhere\\";
    fake.directories.insert(fake.tempPath);
  };
  EngineCommandFor(L"/l", host);
  EXPECT_EQ(1, host.tempPathQueries);
  EXPECT_EQ(std::vector<std::wstring>{first}, host.existenceChecks);
  ASSERT_EQ(1u, host.TempFiles().size());
  EXPECT_EQ(0u, host.TempFiles()[0].find(first + L"usb"));
}

TEST(InstallerStage, ACommandTooLongToStartEndsBeforeTheRemoval) {
  // Doubled quotes can push a launcher line the system accepted past what
  // it accepts for the engine.
  const std::wstring head = L"msiexec.exe /i \"" + kPackage + L"\"  A=";
  for (size_t length : {kLongestCommandLine, kLongestCommandLine + 1}) {
    SCOPED_TRACE(length);
    FakeHost host;
    std::wstring value(length - head.size(), L'v');
    uint32_t code = RunSetup(host, L"A=" + value);
    if (length == kLongestCommandLine) {
      EXPECT_EQ(0u, code);
      ASSERT_EQ(2u, host.processes.size());
      EXPECT_EQ(length, host.processes[1].commandLine.size());
    } else {
      EXPECT_EQ(206u, code);
      EXPECT_TRUE(host.processes.empty()) << "nothing removed, nothing started";
      EXPECT_EQ(1u, host.files.count(kPackage)) << "package kept";
      EXPECT_TRUE(host.openHandles.empty());
    }
  }
}

// With /l, the log file is measured into the command but created only once
// both commands will run: a run that ends before them leaves no log file.
TEST(InstallerStage, ARunEndedBeforeTheCommandsLeavesNoLogFile) {
  // The longest log name the system can give ("usb", four hex digits,
  // ".tmp") is the one the fake gives.
  const std::wstring head =
      L"msiexec.exe /i \"" + kPackage + L"\" /l* \"" + FakeHost().tempPath + L"usbFFFF.tmp\"  A=";
  struct Case {
    const char* name;
    void (*arrange)(FakeHost&);
    size_t commandLength;
    uint32_t exitCode;
  };
  const Case cases[] = {
      {"longest command that starts", [](FakeHost&) {}, kLongestCommandLine, 0},
      {"command too long", [](FakeHost&) {}, kLongestCommandLine + 1, 206},
      {"no system directory",
       [](FakeHost& h) { h.failures[FakeHost::Op::QuerySystemDirectory] = 122; }, 1000, 122},
      {"no system directory, no error named",
       [](FakeHost& h) { h.failures[FakeHost::Op::QuerySystemDirectory] = 0; }, 1000, 206},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHost host;
    c.arrange(host);
    std::wstring value(c.commandLength - head.size(), L'v');
    EXPECT_EQ(c.exitCode, RunSetup(host, L"/l A=" + value));
    if (c.exitCode == 0) {
      ASSERT_EQ(2u, host.processes.size());
      EXPECT_EQ(c.commandLength, host.processes[1].commandLine.size());
      EXPECT_EQ(1u, host.TempFiles().size());
    } else {
      EXPECT_TRUE(host.processes.empty());
      EXPECT_TRUE(host.TempFiles().empty());
      EXPECT_EQ(1u, host.files.size()) << "nothing but the package copy";
      EXPECT_EQ(1u, host.files.count(kPackage));
    }
  }
}

// Every host call, failed in turn, still ends the run with its promises kept:
// no handle left open, at most one message, and success only when the
// engine really ran and reported it.
TEST(InstallerStage, EveryFailingCallKeepsThePromises) {
  FakeHost probe;
  RunSetup(probe, L"/l /q A=1");
  ASSERT_GT(probe.callCount, 10);
  for (uint32_t error : {5u, 0u}) {
    for (int n = 1; n <= probe.callCount; ++n) {
      SCOPED_TRACE(testing::Message() << "call " << n << ", error " << error);
      FakeHost host;
      host.failCallNumber = n;
      host.failCallError = error;
      uint32_t code = RunSetup(host, L"/l /q A=1");
      EXPECT_TRUE(host.openHandles.empty());
      EXPECT_LE(host.messageBoxes.size(), 1u);
      if (code == 0) {
        ASSERT_FALSE(host.processes.empty());
        EXPECT_EQ(0u, host.processes.back().commandLine.find(L"msiexec.exe /i"));
      }
    }
  }
}
