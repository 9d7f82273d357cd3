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

uint32_t MarkForDeletion(DispositionSetter& setter) {
  uint32_t error = setter.Set(DispositionKind::kPosixIgnoringReadOnly);
  // Windows 10 1607 to 1803 know POSIX semantics but not the read-only flag.
  if (error == kErrorInvalidParameter) error = setter.Set(DispositionKind::kPosix);
  if (error == 0 || !IsUnsupported(error)) return error;
  return setter.Set(DispositionKind::kPlain);
}
