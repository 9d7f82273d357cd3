#include "platform/file_entry.h"

#include "platform/host.h"
#include "platform/text.h"

namespace {

// What a system that does not know the newer class, or a file system that
// does not support it, answers.
bool IsUnsupported(uint32_t error) {
  return error == kErrorInvalidParameter || error == kErrorNotSupported ||
         error == kErrorInvalidFunction;
}

}  // namespace

Resolved ResolveEntry(Host& host, const wchar_t* finalFolder, const wchar_t* finalFile,
                      const wchar_t* name) {
  size_t folderLength = TextLength(finalFolder);
  if (folderLength > 0 && finalFolder[folderLength - 1] == L'\\') --folderLength;
  size_t fileLength = TextLength(finalFile);
  if (fileLength <= folderLength + 1 || finalFile[folderLength] != L'\\') {
    return Resolved::kElsewhere;
  }
  const wchar_t* fileName = finalFile + folderLength + 1;
  int sameFolder = host.CompareOrdinal(finalFile, folderLength, finalFolder, folderLength, true);
  int sameName =
      host.CompareOrdinal(fileName, fileLength - folderLength - 1, name, TextLength(name), true);
  if (sameFolder == 0 || sameName == 0) return Resolved::kUnknown;
  return sameFolder == kCompareEqual && sameName == kCompareEqual ? Resolved::kItself
                                                                  : Resolved::kElsewhere;
}

uint32_t RemoveEntry(Host& host, const wchar_t* path) {
  // Windows deletes a symbolic link itself, never its target. Wine, though,
  // resolves a Unix symbolic link and would delete the file it points to;
  // so the entry is opened as the link itself, where there is one, and
  // its final path told from its folder's.
  ScopedHandle file(host, host.OpenEntryForDeletion(path));
  if (!file) return FailureCode(host);
  const wchar_t* name = path;
  for (const wchar_t* p = path; *p != L'\0'; ++p) {
    if (*p == L'\\' || *p == L'/') name = p + 1;
  }
  Text folder;
  folder.Append(path, static_cast<size_t>(name - path));
  Resolved resolved = Resolved::kUnknown;
  {
    ScopedHandle directory(host, host.OpenFolder(folder.c_str()));
    Text finalFolder;
    Text finalFile;
    if (directory && host.QueryFinalPath(directory.get(), finalFolder) &&
        host.QueryFinalPath(file.get(), finalFile)) {
      resolved = ResolveEntry(host, finalFolder.c_str(), finalFile.c_str(), name);
    }
  }
  switch (resolved) {
    case Resolved::kItself:
      // POSIX semantics where the system has them, as its own DeleteFileW
      // uses since Windows 10 1903: the name goes at once even while a
      // scanner or indexer holds the file open, so the new copy can be
      // created there; a read-only old copy goes too.
      return MarkForDeletion(host, file.get());
    case Resolved::kElsewhere:
      return kErrorCantResolveFilename;
    case Resolved::kUnknown:
      break;
  }
  file.Close();
  return host.DeleteFileByName(path) ? 0 : FailureCode(host);
}

uint32_t MarkForDeletion(Host& host, HostHandle file) {
  // FILE_DISPOSITION_INFO's one BOOLEAN is the first byte of `value` on
  // every system Windows runs on (all little-endian).
  struct Attempt {
    uint32_t infoClass;
    uint32_t value;
    uint32_t size;
  };
  constexpr Attempt kPosixIgnoringReadOnly = {
      kFileDispositionInfoEx,
      kDispositionDelete | kDispositionPosixSemantics | kDispositionIgnoreReadOnly, 4};
  constexpr Attempt kPosix = {kFileDispositionInfoEx,
                              kDispositionDelete | kDispositionPosixSemantics, 4};
  constexpr Attempt kPlain = {kFileDispositionInfo, 1, 1};
  auto set = [&host, file](const Attempt& attempt) -> uint32_t {
    if (host.SetFileInformation(file, attempt.infoClass, &attempt.value, attempt.size)) return 0;
    // A refusal without a code is a refusal, never "not supported".
    return FailureCode(host, kErrorUnidentified);
  };
  uint32_t error = set(kPosixIgnoringReadOnly);
  // Windows 10 1607 to 1803 know POSIX semantics but not the read-only flag.
  if (error == kErrorInvalidParameter) error = set(kPosix);
  if (error == 0 || !IsUnsupported(error)) return error;
  return set(kPlain);
}

bool CannotDeleteThroughHandle(uint32_t error) {
  return error == kErrorProcNotFound || IsUnsupported(error);
}
