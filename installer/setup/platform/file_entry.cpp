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

Resolved ResolveEntry(const wchar_t* finalFolder, const wchar_t* finalFile, const wchar_t* name,
                      SameNameFunction sameName) {
  size_t folderLength = TextLength(finalFolder);
  if (folderLength > 0 && finalFolder[folderLength - 1] == L'\\') --folderLength;
  size_t fileLength = TextLength(finalFile);
  if (fileLength <= folderLength + 1 || finalFile[folderLength] != L'\\') {
    return Resolved::kElsewhere;
  }
  const wchar_t* fileName = finalFile + folderLength + 1;
  bool itself = sameName(finalFile, folderLength, finalFolder, folderLength) &&
                sameName(fileName, fileLength - folderLength - 1, name, TextLength(name));
  return itself ? Resolved::kItself : Resolved::kElsewhere;
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
