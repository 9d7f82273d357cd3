#include "package/package_stage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "fake_host.h"

namespace {

const Bytes kPackage = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1, 1, 2, 3, 0, 255};

struct StageCase {
  const char* name;
  std::function<void(FakeHost&)> arrange;
  uint32_t exitCode;
  std::wstring message;  // empty: no message box
};

}  // namespace

TEST(PackageStage, EndsTheRunOnEachFailureWithItsMessage) {
  using Op = FakeHost::Op;
  const StageCase cases[] = {
      {"temp query fails", [](FakeHost& h) { h.failures[Op::QueryTempPath] = 1234; }, 4294967295u,
       L"Unable to obtain temporary path, 1234"},
      {"temp directory missing", [](FakeHost& h) { h.directories.clear(); }, 4294967295u, L""},
      {"temp path too long for the buffer", [](FakeHost& h) { h.tempPathNeeds = 600; }, 4294967295u,
       L""},
      {"resource missing", [](FakeHost& h) { h.resource.reset(); }, 4294967295u,
       L"Error extracting MSI, 1813"},
      {"resource size unreadable", [](FakeHost& h) { h.failures[Op::GetResourceSize] = 6; },
       4294967295u, L"Error extracting MSI, 6"},
      // The system reports no error for an empty resource; that must not
      // read as a successful extraction.
      {"resource empty", [](FakeHost& h) { h.resource = Bytes{}; }, 4294967295u,
       L"Error extracting MSI, 1812"},
      {"resource not loadable", [](FakeHost& h) { h.failures[Op::LockResourceBytes] = 8; },
       4294967295u, L"Error extracting MSI, 8"},
      {"file in use", [](FakeHost& h) { h.failures[Op::CreateFileForWriting] = 32; }, 4294967295u,
       L"Error extracting MSI, 32"},
      {"write fails", [](FakeHost& h) { h.failures[Op::WriteFile] = 112; }, 4294967295u,
       L"Error extracting MSI, 112"},
      {"short write", [](FakeHost& h) { h.shortWriteBy = 3; }, 4294967295u,
       L"Error extracting MSI, 29"},
  };
  for (const StageCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHost host;
    host.resource = kPackage;
    c.arrange(host);
    EXPECT_EQ(c.exitCode, RunSetup(host, L"/q"));
    if (c.message.empty()) {
      EXPECT_TRUE(host.messageBoxes.empty());
    } else {
      ASSERT_EQ(1u, host.messageBoxes.size());
      EXPECT_EQ(c.message, host.messageBoxes[0].text);
      EXPECT_EQ(L"Setup", host.messageBoxes[0].title);
    }
    EXPECT_TRUE(host.processes.empty()) << "no engine after a failed stage";
    EXPECT_TRUE(host.openHandles.empty());
  }
}

TEST(PackageStage, WritesNothingWhenTheTempDirectoryIsMissingOrUnknown) {
  for (bool queryFails : {false, true}) {
    FakeHost host;
    host.directories.clear();
    if (queryFails) host.failures[FakeHost::Op::QueryTempPath] = 5;
    RunSetup(host, L"");
    EXPECT_TRUE(host.files.empty());
  }
}

TEST(PackageStage, WritesTheResourceByteForByteOverAnyOldCopy) {
  FakeHost host;
  host.resource = kPackage;
  host.files[kFakePackagePath] = Bytes(1000, 7);  // a stale, longer copy
  host.exitCodes = {0, 1603};
  EXPECT_EQ(1603u, RunSetup(host, L""));
  ASSERT_EQ(1u, host.files.size());
  EXPECT_EQ(kPackage, host.files.at(kFakePackagePath));
  EXPECT_EQ(1, std::count(host.events.begin(), host.events.end(),
                          std::wstring(L"write ") + kFakePackagePath));
}

TEST(PackageStage, ExtractPackageReturnsZeroOrTheError) {
  FakeHost host;
  EXPECT_EQ(0u, ExtractPackage(host, L"C:\\x.msi"));
  EXPECT_EQ(*host.resource, host.files.at(L"C:\\x.msi"));
  host.failures[FakeHost::Op::WriteFile] = 39;
  EXPECT_EQ(39u, ExtractPackage(host, L"C:\\y.msi"));
  EXPECT_TRUE(host.openHandles.empty());
}
