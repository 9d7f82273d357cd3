#include "platform/file_entry.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <deque>
#include <vector>

#include "fake_host.h"
#include "platform/host.h"

TEST(ResolveEntry, TellsTheEntryItselfFromAFileElsewhereAsTheFileSystemComparesNames) {
  struct Case {
    const wchar_t* folder;
    const wchar_t* file;
    const wchar_t* name;
    Resolved expected;
  };
  const wchar_t* temp = L"\\\\?\\C:\\Users\\Ann\\AppData\\Local\\Temp";
  const Case cases[] = {
      {temp, L"\\\\?\\C:\\Users\\Ann\\AppData\\Local\\Temp\\Setup.msi", L"Setup.msi",
       Resolved::kItself},
      {L"\\\\?\\C:\\", L"\\\\?\\C:\\Setup.msi", L"Setup.msi", Resolved::kItself},
      {L"\\\\?\\C:\\", L"\\\\?\\D:\\Setup.msi", L"Setup.msi", Resolved::kElsewhere},
      {L"\\\\?\\UNC\\server\\share\\Temp", L"\\\\?\\UNC\\server\\share\\Temp\\Setup.msi",
       L"Setup.msi", Resolved::kItself},
      {L"\\\\?\\UNC\\server\\share\\Temp", L"\\\\?\\UNC\\server\\other\\Temp\\Setup.msi",
       L"Setup.msi", Resolved::kElsewhere},
      // The name as given may differ from the stored one in case only.
      {temp, L"\\\\?\\C:\\Users\\Ann\\AppData\\Local\\Temp\\SETUP.MSI", L"setup.msi",
       Resolved::kItself},
      {L"\\\\?\\C:\\users\\ann\\appdata\\local\\temp",
       L"\\\\?\\C:\\Users\\Ann\\AppData\\Local\\Temp\\\x00C4rger.msi", L"\x00E4rger.msi",
       Resolved::kItself},
      {temp, L"\\\\?\\C:\\Users\\Ann\\AppData\\Local\\Temp2\\Setup.msi", L"Setup.msi",
       Resolved::kElsewhere},
      {temp, L"\\\\?\\C:\\Users\\Ann\\AppData\\Local\\Temp\\Sub\\Setup.msi", L"Setup.msi",
       Resolved::kElsewhere},
      {temp, L"\\\\?\\C:\\Users\\Ann\\AppData\\Local\\Temp\\Other.msi", L"Setup.msi",
       Resolved::kElsewhere},
      {temp, L"\\\\?\\C:\\Users\\Ann\\AppData\\Local\\Temp", L"Setup.msi", Resolved::kElsewhere},
      // A folder whose name the file's folder only begins with, and names
      // of which one begins the other, are other entries.
      {L"\\\\?\\C:\\T", L"\\\\?\\C:\\TxSetup.msi", L"Setup.msi", Resolved::kElsewhere},
      {temp, L"\\\\?\\C:\\Users\\Ann\\AppData\\Local\\Temp\\Setup", L"Setup.msi",
       Resolved::kElsewhere},
      {temp, L"\\\\?\\C:\\Users\\Ann\\AppData\\Local\\Temp\\Setup.msi.old", L"Setup.msi",
       Resolved::kElsewhere},
      {temp, L"\\\\?\\C:\\Users\\Ann\\AppData\\Local\\Temp\\Setup.msi", L"Setup.msi.old",
       Resolved::kElsewhere},
      // Equal only to a linguistic comparison: different names to a file system.
      {temp,
       L"\\\\?\\C:\\Users\\Ann\\AppData\\Local\\Temp\\Stra\x00DF"
       L"e.msi",
       L"Strasse.msi", Resolved::kElsewhere},
      {temp, L"\\\\?\\C:\\Users\\Ann\\AppData\\Local\\Temp\\Set\x00ADup.msi", L"Setup.msi",
       Resolved::kElsewhere},
      {L"\\\\?\\C:\\Users\\Ann\\AppData\\Local\\Te\x00ADmp",
       L"\\\\?\\C:\\Users\\Ann\\AppData\\Local\\Temp\\Setup.msi", L"Setup.msi",
       Resolved::kElsewhere},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << &c - cases);
    FakeHost host;
    EXPECT_EQ(c.expected, ResolveEntry(host, c.folder, c.file, c.name));
  }
}

TEST(ResolveEntry, NamesThatCannotBeComparedLeaveItUnknown) {
  FakeHost host;
  host.failures[FakeHost::Op::CompareOrdinal] = kErrorProcNotFound;
  EXPECT_EQ(Resolved::kUnknown,
            ResolveEntry(host, L"\\\\?\\C:\\T", L"\\\\?\\C:\\T\\Setup.msi", L"Setup.msi"));
}

TEST(RemoveEntry, DeletesTheEntryItselfThroughItsHandleAndNeverALinksTarget) {
  using Op = FakeHost::Op;
  const std::wstring path = L"C:\\T\\Setup.msi";
  enum class Way { kThroughHandle, kByName, kNot };
  struct Case {
    const char* name;
    void (*arrange)(FakeHost&);
    uint32_t result;
    Way way;
  };
  const Case cases[] = {
      {"the entry itself", [](FakeHost&) {}, 0, Way::kThroughHandle},
      {"stored in other case",
       [](FakeHost& h) { h.finalPaths[L"C:\\T\\Setup.msi"] = L"\\\\?\\C:\\t\\SETUP.MSI"; }, 0,
       Way::kThroughHandle},
      {"a link to a file elsewhere",
       [](FakeHost& h) { h.finalPaths[L"C:\\T\\Setup.msi"] = L"\\\\?\\D:\\Other\\Setup.msi"; },
       kErrorCantResolveFilename, Way::kNot},
      {"a link to another file in the folder",
       [](FakeHost& h) { h.finalPaths[L"C:\\T\\Setup.msi"] = L"\\\\?\\C:\\T\\Other.msi"; },
       kErrorCantResolveFilename, Way::kNot},
      // Where the system cannot tell (Windows XP has neither call), the
      // name goes as it is.
      {"no final paths", [](FakeHost& h) { h.failures[Op::QueryFinalPath] = kErrorProcNotFound; },
       0, Way::kByName},
      {"no ordinal comparison",
       [](FakeHost& h) { h.failures[Op::CompareOrdinal] = kErrorProcNotFound; }, 0, Way::kByName},
      {"folder not openable", [](FakeHost& h) { h.failures[Op::OpenFolder] = 5; }, 0, Way::kByName},
      {"by name refused",
       [](FakeHost& h) {
         h.failures[Op::QueryFinalPath] = kErrorProcNotFound;
         h.failures[Op::DeleteFileByName] = 5;
       },
       5, Way::kNot},
      {"nothing there", [](FakeHost& h) { h.files.clear(); }, kErrorFileNotFound, Way::kNot},
      {"in use", [](FakeHost& h) { h.failures[Op::OpenEntryForDeletion] = 32; }, 32, Way::kNot},
      {"not openable, no error named",
       [](FakeHost& h) { h.failures[Op::OpenEntryForDeletion] = 0; }, kErrorInvalidFunction,
       Way::kNot},
      {"disposition refused", [](FakeHost& h) { h.setInformationErrors = {kErrorAccessDenied}; },
       kErrorAccessDenied, Way::kNot},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHost host;
    host.directories = {L"C:\\T\\"};
    host.files[path] = Bytes{1};
    c.arrange(host);
    EXPECT_EQ(c.result, RemoveEntry(host, path.c_str()));
    if (c.result != kErrorFileNotFound) {
      EXPECT_EQ(c.way != Way::kNot, host.files.count(path) == 0);
    }
    if (c.way == Way::kThroughHandle) {
      EXPECT_EQ((std::vector<std::wstring>{L"dispose " + path, L"delete " + path}), host.events);
    } else if (c.way == Way::kByName) {
      EXPECT_EQ(std::vector<std::wstring>{L"delete-by-name " + path}, host.events);
    }
    EXPECT_TRUE(host.openHandles.empty());
  }
}

TEST(MarkForDeletion, TakesTheNewestDispositionTheSystemAccepts) {
  using Set = FakeHost::InformationSet;
  // The classes and flags in the system's own numbers: FileDispositionInfoEx
  // (21) with DELETE | POSIX_SEMANTICS | IGNORE_READONLY_ATTRIBUTE, then
  // without the last, then FileDispositionInfo (4) with a BOOLEAN TRUE.
  const Set posixIgnoringReadOnly = {21, 0x13, 4};
  const Set posix = {21, 0x3, 4};
  const Set plain = {4, 1, 1};
  struct Case {
    const char* name;
    std::deque<uint32_t> errors;  // in order of the attempts
    std::vector<Set> tried;
    uint32_t result;
  };
  const Case cases[] = {
      {"Windows 10 1809 and later", {}, {posixIgnoringReadOnly}, 0},
      {"read-only flag unknown (1607 to 1803)",
       {kErrorInvalidParameter},
       {posixIgnoringReadOnly, posix},
       0},
      {"class unknown (older systems)",
       {kErrorInvalidParameter, kErrorInvalidParameter},
       {posixIgnoringReadOnly, posix, plain},
       0},
      {"class not supported by the file system",
       {kErrorNotSupported},
       {posixIgnoringReadOnly, plain},
       0},
      {"class not implemented (Wine 8)",
       {kErrorInvalidParameter, kErrorInvalidFunction},
       {posixIgnoringReadOnly, posix, plain},
       0},
      // A read-only file where only the plain disposition is known.
      {"plain refused too",
       {kErrorInvalidParameter, kErrorInvalidParameter, kErrorAccessDenied},
       {posixIgnoringReadOnly, posix, plain},
       kErrorAccessDenied},
      // A real refusal is no reason to try an older kind.
      {"refused for another reason",
       {kErrorSharingViolation},
       {posixIgnoringReadOnly},
       kErrorSharingViolation},
      {"read-only file where the flag is unknown",
       {kErrorInvalidParameter, kErrorAccessDenied},
       {posixIgnoringReadOnly, posix},
       kErrorAccessDenied},
      // Windows XP has no SetFileInformationByHandle at all.
      {"no such call", {kErrorProcNotFound}, {posixIgnoringReadOnly}, kErrorProcNotFound},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHost host;
    HostHandle file = host.CreateNewFile(L"C:\\x.msi");
    host.setInformationErrors = c.errors;
    EXPECT_EQ(c.result, MarkForDeletion(host, file));
    EXPECT_EQ(c.tried, host.informationSets);
    host.CloseHandle(file);
    EXPECT_EQ(c.result == 0, host.files.count(L"C:\\x.msi") == 0);
  }
  // A refusal the system gave no code for is a refusal: it neither reads as
  // "not supported" (1), so that an older kind were tried, nor as success.
  FakeHost host;
  HostHandle file = host.CreateNewFile(L"C:\\x.msi");
  host.failures[FakeHost::Op::SetFileInformation] = 0;
  EXPECT_EQ(kErrorUnidentified, MarkForDeletion(host, file));
  EXPECT_FALSE(CannotDeleteThroughHandle(kErrorUnidentified));
  host.CloseHandle(file);
  EXPECT_EQ(1u, host.files.count(L"C:\\x.msi"));
}
