#include "platform/file_entry.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <map>
#include <utility>
#include <vector>

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

namespace {

// Answers each kind with a scripted error (0 where none is scripted) and
// records the kinds tried.
class ScriptedDisposition final : public DispositionSetter {
 public:
  explicit ScriptedDisposition(std::map<DispositionKind, uint32_t> errors)
      : errors_(std::move(errors)) {}
  uint32_t Set(DispositionKind kind) override {
    tried.push_back(kind);
    auto found = errors_.find(kind);
    return found == errors_.end() ? 0 : found->second;
  }
  std::vector<DispositionKind> tried;

 private:
  std::map<DispositionKind, uint32_t> errors_;
};

}  // namespace

TEST(MarkForDeletion, TakesTheNewestDispositionTheSystemAccepts) {
  using K = DispositionKind;
  struct Case {
    const char* name;
    std::map<K, uint32_t> errors;
    std::vector<K> tried;
    uint32_t result;
  };
  const Case cases[] = {
      {"Windows 10 1809 and later", {}, {K::kPosixIgnoringReadOnly}, 0},
      {"read-only flag unknown (1607 to 1803)",
       {{K::kPosixIgnoringReadOnly, kErrorInvalidParameter}},
       {K::kPosixIgnoringReadOnly, K::kPosix},
       0},
      {"class unknown (older systems, Wine 8)",
       {{K::kPosixIgnoringReadOnly, kErrorInvalidParameter}, {K::kPosix, kErrorInvalidParameter}},
       {K::kPosixIgnoringReadOnly, K::kPosix, K::kPlain},
       0},
      {"class not supported by the file system",
       {{K::kPosixIgnoringReadOnly, kErrorNotSupported}},
       {K::kPosixIgnoringReadOnly, K::kPlain},
       0},
      {"class refused as an invalid function",
       {{K::kPosixIgnoringReadOnly, kErrorInvalidParameter}, {K::kPosix, kErrorInvalidFunction}},
       {K::kPosixIgnoringReadOnly, K::kPosix, K::kPlain},
       0},
      // A read-only file where only the plain disposition is known.
      {"plain refused too",
       {{K::kPosixIgnoringReadOnly, kErrorInvalidParameter},
        {K::kPosix, kErrorInvalidParameter},
        {K::kPlain, kErrorAccessDenied}},
       {K::kPosixIgnoringReadOnly, K::kPosix, K::kPlain},
       kErrorAccessDenied},
      // A real refusal is no reason to try an older kind.
      {"refused for another reason",
       {{K::kPosixIgnoringReadOnly, kErrorSharingViolation}},
       {K::kPosixIgnoringReadOnly},
       kErrorSharingViolation},
      {"read-only file where the flag is unknown",
       {{K::kPosixIgnoringReadOnly, kErrorInvalidParameter}, {K::kPosix, kErrorAccessDenied}},
       {K::kPosixIgnoringReadOnly, K::kPosix},
       kErrorAccessDenied},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDisposition setter(c.errors);
    EXPECT_EQ(c.result, MarkForDeletion(setter));
    EXPECT_EQ(c.tried, setter.tried);
  }
}
