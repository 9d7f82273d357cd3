#include "platform/file_entry.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <deque>
#include <vector>

#include "fake_host.h"
#include "platform/host.h"

namespace {

// Upper case as the file system's table has it for the letters these tests
// use (ASCII and Latin-1): one character for one, so "ß" stays "ß".
wchar_t Upper(wchar_t c) {
  if ((c >= L'a' && c <= L'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) return c - 0x20;
  return c;
}

bool SameOrdinalIgnoringCase(const wchar_t* a, size_t aLength, const wchar_t* b, size_t bLength) {
  if (aLength != bLength) return false;
  for (size_t i = 0; i < aLength; ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

}  // namespace

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
    EXPECT_EQ(c.expected, ResolveEntry(c.folder, c.file, c.name, SameOrdinalIgnoringCase));
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
