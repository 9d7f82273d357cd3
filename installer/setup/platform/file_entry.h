// Deleting the entry at a path as the file system sees it: telling the
// entry itself from a file a link there resolves to, and marking it for
// deletion with the newest disposition the system accepts.
#pragma once

#include <cstddef>
#include <cstdint>

/// Whether two runs of characters name the same entry to the file system:
/// an ordinal comparison that ignores case, character for character, with
/// none of a linguistic comparison's rules ("Straße" is not "Strasse", and
/// a character without sort weight still counts).
using SameNameFunction = bool (*)(const wchar_t* a, size_t aLength, const wchar_t* b,
                                  size_t bLength);

enum class Resolved { kItself, kElsewhere };

/// Whether an open file whose final path is `finalFile` is the entry `name`
/// in the folder whose final path is `finalFolder`, or a file elsewhere that
/// a link named `name` resolves to. Both final paths as the system resolves
/// them (\\?\C:\..., \\?\UNC\server\share\...; a drive's root ends with
/// "\"), so only case can differ where they agree.
Resolved ResolveEntry(const wchar_t* finalFolder, const wchar_t* finalFile, const wchar_t* name,
                      SameNameFunction sameName);

/// Ways of marking an open file for deletion, newest first.
enum class DispositionKind {
  /// FileDispositionInfoEx with DELETE, POSIX_SEMANTICS and
  /// IGNORE_READONLY_ATTRIBUTE (Windows 10 1809 and later, on file systems
  /// that support it): the name goes as soon as the handle is closed, even
  /// while others hold the file open with delete sharing, read-only or not.
  kPosixIgnoringReadOnly,
  /// The same without IGNORE_READONLY_ATTRIBUTE (Windows 10 1607 to 1803).
  kPosix,
  /// FileDispositionInfo: the name stays, "delete pending", until every
  /// handle on the file is closed; a read-only file is refused (5).
  kPlain,
};

/// Marks one open file for deletion in the way asked for.
class DispositionSetter {
 public:
  /// 0, or the system error code of the refusal.
  virtual uint32_t Set(DispositionKind kind) = 0;

 protected:
  ~DispositionSetter() = default;
};

/// Marks the file for deletion with the newest kind the system accepts:
/// without IGNORE_READONLY_ATTRIBUTE where only that flag is refused (87),
/// and with the plain disposition where the newer class is not supported
/// (87, 50 or 1: older systems, other file systems, Wine 8). Returns 0, or
/// the error code of the last attempt.
uint32_t MarkForDeletion(DispositionSetter& setter);
