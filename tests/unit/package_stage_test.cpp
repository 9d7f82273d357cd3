#include "package/package_stage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "fake_host.h"

namespace {

using Op = FakeHost::Op;

const Bytes kPackage = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1, 1, 2, 3, 0, 255};
const std::wstring kPackagePath = kFakePackagePath;

// Bytes that never repeat with any period below 4 GiB (a linear
// congruential sequence, its high byte), so that a chunk or view compared
// or written at the wrong offset cannot match by chance.
Bytes NonPeriodicBytes(size_t size) {
  Bytes bytes(size);
  uint32_t state = 12345;
  for (uint8_t& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<uint8_t>(state >> 24);
  }
  return bytes;
}

// Two and a half chunks.
Bytes LargePackage() { return NonPeriodicBytes(kPackageChunkSize * 5 / 2); }

// Two and a half views of the read-back.
Bytes PackageOfSeveralViews() { return NonPeriodicBytes(kPackageViewSize * 5 / 2); }

struct StageCase {
  const char* name;
  std::function<void(FakeHost&)> arrange;
  std::wstring message;  // empty: no message box
};

size_t IndexOf(const std::vector<std::wstring>& events, const std::wstring& event) {
  auto found = std::find(events.begin(), events.end(), event);
  EXPECT_NE(events.end(), found) << "no event " << std::string(event.begin(), event.end());
  return static_cast<size_t>(found - events.begin());
}

}  // namespace

TEST(PackageStage, EndsTheRunOnEachFailureWithItsMessage) {
  const StageCase cases[] = {
      {"temp query fails", [](FakeHost& h) { h.failures[Op::QueryTempPath] = 1234; },
       L"Unable to obtain temporary path, 1234"},
      // A failure must never show (or leave as) 0.
      {"temp query fails without an error", [](FakeHost& h) { h.failures[Op::QueryTempPath] = 0; },
       L"Unable to obtain temporary path, 1"},
      {"temp directory missing", [](FakeHost& h) { h.directories.clear(); }, L""},
      {"temp path too long for the buffer", [](FakeHost& h) { h.tempPathNeeds = 600; }, L""},
      {"resource missing", [](FakeHost& h) { h.resource.reset(); }, L"Error extracting MSI, 1813"},
      // Where the system names no error, the code still says what is missing.
      {"resource missing, no error named", [](FakeHost& h) { h.failures[Op::FindOwnResource] = 0; },
       L"Error extracting MSI, 1812"},
      {"resource size unreadable", [](FakeHost& h) { h.failures[Op::GetResourceSize] = 6; },
       L"Error extracting MSI, 1812"},
      // The system reports no error for an empty resource, or leaves an
      // older one: neither may pass for a success or for another failure.
      {"resource empty", [](FakeHost& h) { h.resource = Bytes{}; }, L"Error extracting MSI, 1812"},
      {"resource empty, older error left",
       [](FakeHost& h) {
         h.resource = Bytes{};
         h.LeaveError(183);
       },
       L"Error extracting MSI, 1812"},
      {"resource not loadable", [](FakeHost& h) { h.failures[Op::LockResourceBytes] = 8; },
       L"Error extracting MSI, 8"},
      // An earlier copy held open by another program cannot be removed.
      {"old copy in use",
       [](FakeHost& h) {
         h.files[kPackagePath] = Bytes(10, 1);
         h.failures[Op::RemoveFile] = 32;
       },
       L"Error extracting MSI, 32"},
      {"old copy not removable, no error named",
       [](FakeHost& h) {
         h.files[kPackagePath] = Bytes(10, 1);
         h.failures[Op::RemoveFile] = 0;
       },
       L"Error extracting MSI, 1"},
      {"create fails", [](FakeHost& h) { h.failures[Op::CreateNewFile] = 5; },
       L"Error extracting MSI, 5"},
      // Someone re-creates the file between its removal and the creation:
      // the launcher never writes into it.
      {"file planted again before creation",
       [](FakeHost& h) {
         h.beforeCreate = [](FakeHost& fake) { fake.files[kPackagePath] = Bytes(3, 9); };
       },
       L"Error extracting MSI, 80"},
      {"write fails", [](FakeHost& h) { h.failures[Op::WriteFile] = 112; },
       L"Error extracting MSI, 112"},
      {"short write", [](FakeHost& h) { h.shortWriteBy = 3; }, L"Error extracting MSI, 29"},
      {"second chunk fails",
       [](FakeHost& h) {
         h.resource = LargePackage();
         h.failures[Op::WriteFile] = 112;
         h.failOnlyCall[Op::WriteFile] = 2;
       },
       L"Error extracting MSI, 112"},
      {"last chunk short",
       [](FakeHost& h) {
         h.resource = LargePackage();
         h.shortWriteBy = 1;
         h.shortWriteOnCall = 3;
       },
       L"Error extracting MSI, 29"},
      {"hold cannot be taken", [](FakeHost& h) { h.failures[Op::OpenFileForReading] = 32; },
       L"Error extracting MSI, 32"},
      {"size of the copy unreadable", [](FakeHost& h) { h.failures[Op::QueryFileSize] = 6; },
       L"Error extracting MSI, 6"},
      {"copy not mappable", [](FakeHost& h) { h.failures[Op::MapFile] = 8; },
       L"Error extracting MSI, 8"},
      {"read-back view fails", [](FakeHost& h) { h.failures[Op::MapView] = 23; },
       L"Error extracting MSI, 23"},
      {"last view fails",
       [](FakeHost& h) {
         h.resource = PackageOfSeveralViews();
         h.failures[Op::MapView] = 1455;
         h.failOnlyCall[Op::MapView] = 3;
       },
       L"Error extracting MSI, 1455"},
      {"view fails without an error", [](FakeHost& h) { h.failures[Op::MapView] = 0; },
       L"Error extracting MSI, 1"},
      // The copy changed or was replaced between the write and the hold.
      {"copy changed before the hold",
       [](FakeHost& h) {
         h.beforeHold = [](FakeHost& fake) { fake.files.at(kPackagePath)[9] ^= 1; };
       },
       L"Error extracting MSI, 1006"},
      // Several chunks, alike but for the very last byte of the last one.
      {"copy changed in its last byte before the hold",
       [](FakeHost& h) {
         h.resource = LargePackage();
         h.beforeHold = [](FakeHost& fake) { fake.files.at(kPackagePath).back() ^= 1; };
       },
       L"Error extracting MSI, 1006"},
      {"copy of several views changed in its last byte before the hold",
       [](FakeHost& h) {
         h.resource = PackageOfSeveralViews();
         h.beforeHold = [](FakeHost& fake) { fake.files.at(kPackagePath).back() ^= 1; };
       },
       L"Error extracting MSI, 1006"},
      {"copy of several views changed in its first byte of the last view before the hold",
       [](FakeHost& h) {
         h.resource = PackageOfSeveralViews();
         h.beforeHold = [](FakeHost& fake) {
           fake.files.at(kPackagePath)[2 * kPackageViewSize] ^= 1;
         };
       },
       L"Error extracting MSI, 1006"},
      {"copy grown before the hold",
       [](FakeHost& h) {
         h.beforeHold = [](FakeHost& fake) { fake.files.at(kPackagePath).push_back(0); };
       },
       L"Error extracting MSI, 1006"},
      {"copy emptied before the hold",
       [](FakeHost& h) {
         h.beforeHold = [](FakeHost& fake) { fake.files.at(kPackagePath).clear(); };
       },
       L"Error extracting MSI, 1006"},
      {"copy cut short before the hold",
       [](FakeHost& h) {
         h.beforeHold = [](FakeHost& fake) { fake.files.at(kPackagePath).pop_back(); };
       },
       L"Error extracting MSI, 1006"},
      // Every chunk is compared, not only the first.
      {"last byte of a package of several chunks changed before the hold",
       [](FakeHost& h) {
         h.resource = LargePackage();
         h.beforeHold = [](FakeHost& fake) { fake.files.at(kPackagePath).back() ^= 1; };
       },
       L"Error extracting MSI, 1006"},
  };
  for (const StageCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHost host;
    host.resource = kPackage;
    c.arrange(host);
    EXPECT_EQ(4294967295u, RunSetup(host, L"/q"));
    if (c.message.empty()) {
      EXPECT_TRUE(host.messageBoxes.empty());
    } else {
      ASSERT_EQ(1u, host.messageBoxes.size());
      EXPECT_EQ(c.message, host.messageBoxes[0].text);
      EXPECT_EQ(L"Setup", host.messageBoxes[0].title);
    }
    EXPECT_TRUE(host.processes.empty()) << "no engine command after a failed stage";
    EXPECT_TRUE(host.openHandles.empty());
    EXPECT_TRUE(host.openViews.empty());
  }
}

TEST(PackageStage, ACopyThatCouldNotBeWrittenWholeOrChangedIsDeletedWithTheFirstErrorKept) {
  struct Case {
    const char* name;
    std::function<void(FakeHost&)> arrange;
    uint32_t error;
  };
  // The copy is deleted through the handle that wrote it: marked, then
  // closed, never looked up by name again. By name only where the system
  // has no way through a handle (Windows XP); refused, it stays.
  enum class Deletion { kThroughHandle, kByName, kRefused };
  const Case writeFailures[] = {
      {"write fails", [](FakeHost& h) { h.failures[Op::WriteFile] = 112; }, 112},
      {"short write", [](FakeHost& h) { h.shortWriteBy = 3; }, 29},
      {"second chunk fails",
       [](FakeHost& h) {
         h.resource = LargePackage();
         h.failures[Op::WriteFile] = 112;
         h.failOnlyCall[Op::WriteFile] = 2;
       },
       112},
      {"last chunk short",
       [](FakeHost& h) {
         h.resource = LargePackage();
         h.shortWriteBy = 1;
         h.shortWriteOnCall = 3;
       },
       29},
  };
  for (const Case& c : writeFailures) {
    for (Deletion deletion : {Deletion::kThroughHandle, Deletion::kByName, Deletion::kRefused}) {
      SCOPED_TRACE(testing::Message() << c.name << ", deletion " << static_cast<int>(deletion));
      FakeHost host;
      host.resource = kPackage;
      c.arrange(host);
      if (deletion == Deletion::kByName) host.setInformationErrors = {kErrorProcNotFound};
      if (deletion == Deletion::kRefused) host.setInformationErrors = {kErrorAccessDenied};
      EXPECT_EQ(4294967295u, RunSetup(host, L"/q"));
      ASSERT_EQ(1u, host.messageBoxes.size());
      EXPECT_EQ(L"Error extracting MSI, " + std::to_wstring(c.error), host.messageBoxes[0].text);
      EXPECT_EQ(deletion == Deletion::kRefused, host.files.count(kPackagePath) == 1);
      const std::vector<std::wstring>& events = host.events;
      if (deletion == Deletion::kThroughHandle) {
        const std::vector<std::wstring> last = {L"dispose " + kPackagePath,
                                                L"delete " + kPackagePath,
                                                L"messagebox " + host.messageBoxes[0].text};
        EXPECT_EQ(last, std::vector<std::wstring>(events.end() - 3, events.end()));
      } else if (deletion == Deletion::kByName) {
        EXPECT_EQ(L"delete " + kPackagePath, events.at(events.size() - 2));
      }
      EXPECT_TRUE(host.openHandles.empty());
    }
  }
  // A copy that changed under the read-back is closed, then deleted by name.
  for (bool deletionFails : {false, true}) {
    SCOPED_TRACE(deletionFails ? "changed copy, deletion fails" : "changed copy");
    FakeHost host;
    host.resource = kPackage;
    host.beforeHold = [](FakeHost& fake) { fake.files.at(kPackagePath)[9] ^= 1; };
    // The first removal is the one of whatever stood at the path.
    if (deletionFails) {
      host.failures[Op::RemoveFile] = 5;
      host.failOnlyCall[Op::RemoveFile] = 2;
    }
    EXPECT_EQ(4294967295u, RunSetup(host, L"/q"));
    ASSERT_EQ(1u, host.messageBoxes.size());
    EXPECT_EQ(L"Error extracting MSI, 1006", host.messageBoxes[0].text);
    EXPECT_EQ(deletionFails, host.files.count(kPackagePath) == 1);
    if (!deletionFails) {
      const std::vector<std::wstring> last = {L"release " + kPackagePath, L"delete " + kPackagePath,
                                              L"messagebox Error extracting MSI, 1006"};
      EXPECT_EQ(last, std::vector<std::wstring>(host.events.end() - 3, host.events.end()));
    }
    EXPECT_TRUE(host.openHandles.empty());
  }
  // A copy the launcher could not open or read back is not known to be
  // broken, and one it never created is not its own: those stay.
  for (Op op : {Op::OpenFileForReading, Op::MapView, Op::CreateNewFile}) {
    FakeHost host;
    if (op == Op::CreateNewFile) {
      host.beforeCreate = [](FakeHost& fake) { fake.files[kPackagePath] = Bytes(3, 9); };
    } else {
      host.failures[op] = 23;
    }
    EXPECT_EQ(4294967295u, RunSetup(host, L"/q"));
    EXPECT_EQ(1u, host.files.count(kPackagePath));
  }
}

TEST(PackageStage, WritesNothingWhenTheTempDirectoryIsMissingOrUnknown) {
  for (bool queryFails : {false, true}) {
    FakeHost host;
    host.directories.clear();
    if (queryFails) host.failures[Op::QueryTempPath] = 5;
    RunSetup(host, L"");
    EXPECT_TRUE(host.files.empty());
  }
}

TEST(PackageStage, TakesTheTemporaryDirectoryFromTheNewerQueryWhereThereIsOne) {
  for (bool hasTempPath2 : {true, false}) {
    SCOPED_TRACE(hasTempPath2);
    FakeHost host;
    host.hasTempPath2 = hasTempPath2;
    const std::wstring folder = hasTempPath2 ? host.tempPath2 : host.tempPath;
    host.exitCodes = {0, 1603};
    EXPECT_EQ(1603u, RunSetup(host, L"/l"));
    ASSERT_EQ(2u, host.processes.size());
    EXPECT_EQ(1u, host.files.count(folder + kPackageFileName));
    ASSERT_EQ(1u, host.TempFiles().size());
    EXPECT_EQ(0u, host.TempFiles()[0].find(folder + L"usb")) << "the log goes there too";
  }
}

TEST(PackageStage, UsesTheWhole520CharacterBufferAndEmptiesItFirst) {
  // 519 characters and the terminator fill the buffer exactly.
  const std::wstring fits = L"C:\\" + std::wstring(515, L'd') + L"\\";
  ASSERT_EQ(519u, fits.size());
  {
    FakeHost host;
    host.tempPath = fits;
    host.directories = {fits};
    host.exitCodes = {0, 1603};
    EXPECT_EQ(1603u, RunSetup(host, L"/q"));
    EXPECT_EQ(1u, host.files.count(fits + kPackageFileName));
  }
  {
    // One more does not fit: the query leaves the buffer as it is, and the
    // emptied buffer then names no directory.
    FakeHost host;
    host.tempPath = fits + L"e\\";
    host.directories = {host.tempPath};
    EXPECT_EQ(4294967295u, RunSetup(host, L"/q"));
    EXPECT_EQ(std::vector<std::wstring>{L""}, host.existenceChecks);
    EXPECT_TRUE(host.files.empty());
    EXPECT_TRUE(host.messageBoxes.empty());
  }
}

TEST(PackageStage, ReplacesAnOldCopyByRemovingItAndCreatingANewFile) {
  FakeHost host;
  host.resource = kPackage;
  host.files[kPackagePath] = Bytes(1000, 7);  // a stale, longer copy
  host.exitCodes = {0, 1603};
  EXPECT_EQ(1603u, RunSetup(host, L""));
  ASSERT_EQ(1u, host.files.size());
  EXPECT_EQ(kPackage, host.files.at(kPackagePath));
  const std::vector<std::wstring> expected = {L"delete " + kPackagePath, L"create " + kPackagePath,
                                              L"write " + kPackagePath, L"hold " + kPackagePath};
  EXPECT_EQ(expected, std::vector<std::wstring>(host.events.begin(), host.events.begin() + 4));
}

TEST(PackageStage, WritesALargePackageInChunks) {
  const Bytes large = LargePackage();
  {
    FakeHost host;
    host.resource = large;
    host.exitCodes = {0, 1603};
    EXPECT_EQ(1603u, RunSetup(host, L"/q"));
    EXPECT_TRUE(host.files.at(kPackagePath) == large);
    EXPECT_EQ(3, std::count(host.events.begin(), host.events.end(), L"write " + kPackagePath));
  }
}

TEST(PackageStage, HoldsTheCopyFromBeforeTheRemovalUntilTheEngineEnds) {
  struct Case {
    const char* name;
    std::function<void(FakeHost&)> arrange;
    bool copyStays;
  };
  const Case cases[] = {
      {"engine succeeds", [](FakeHost&) {}, false},
      {"engine fails",
       [](FakeHost& h) {
         h.exitCodes = {0, 1603};
       },
       true},
      {"engine exit code unreadable",
       [](FakeHost& h) {
         h.failures[Op::GetProcessExitCode] = 6;
         h.failOnlyCall[Op::GetProcessExitCode] = 2;
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHost host;
    c.arrange(host);
    RunSetup(host, L"/l");
    ASSERT_EQ(2u, host.processes.size());
    const std::vector<std::wstring>& events = host.events;
    size_t hold = IndexOf(events, L"hold " + kPackagePath);
    size_t release = IndexOf(events, L"release " + kPackagePath);
    EXPECT_LT(hold, IndexOf(events, L"start " + host.processes[0].commandLine));
    EXPECT_GT(release, IndexOf(events, L"wait " + host.processes[1].commandLine));
    EXPECT_EQ(c.copyStays, host.files.count(kPackagePath) == 1);
    if (!c.copyStays) {
      EXPECT_LT(release, IndexOf(events, L"delete " + kPackagePath));
    }
    EXPECT_TRUE(host.openHandles.empty());
  }
  // No engine at all: the hold still ends, the copy stays.
  FakeHost host;
  host.failures[Op::StartProcess] = 2;
  EXPECT_EQ(2u, RunSetup(host, L""));
  IndexOf(host.events, L"release " + kPackagePath);
  EXPECT_EQ(1u, host.files.count(kPackagePath));
}

TEST(PackageStage, ExtractPackageWritesAndHoldsOrReturnsTheError) {
  FakeHost host;
  host.resource = PackageOfSeveralViews();
  HostHandle hold = 0;
  EXPECT_EQ(0u, ExtractPackage(host, L"C:\\x.msi", hold));
  EXPECT_NE(0u, hold);
  EXPECT_EQ(*host.resource, host.files.at(L"C:\\x.msi"));
  // Only the hold stays: the mapping and its views of the read-back are gone.
  EXPECT_EQ(std::set<HostHandle>{hold}, host.openHandles);
  EXPECT_TRUE(host.openViews.empty());
  host.CloseHandle(hold);
  host.failures[Op::WriteFile] = 39;
  EXPECT_EQ(39u, ExtractPackage(host, L"C:\\y.msi", hold));
  EXPECT_EQ(0u, hold);
  EXPECT_TRUE(host.openHandles.empty());
}
