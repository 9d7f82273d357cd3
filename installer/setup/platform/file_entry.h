// Deleting the entry at a path as the file system sees it: telling the
// entry itself from a file a link there resolves to, and marking it for
// deletion with the newest disposition the system accepts.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/host.h"

/// CompareStringOrdinal's answer for texts that are the same (CSTR_EQUAL).
constexpr int kCompareEqual = 2;

/// kUnknown: the names could not be compared.
enum class Resolved { kItself, kElsewhere, kUnknown };

/// Whether an open file whose final path is `finalFile` is the entry `name`
/// in the folder whose final path is `finalFolder`, or a file elsewhere that
/// a link named `name` resolves to. Both final paths as the system resolves
/// them (\\?\C:\..., \\?\UNC\server\share\...; a drive's root ends with
/// "\"), so only case can differ where they agree. Names are compared as
/// the file system compares them: ordinal, ignoring case, character for
/// character, with none of a linguistic comparison's rules ("Straße" is not
/// "Strasse", and a character without sort weight still counts).
Resolved ResolveEntry(Host& host, const wchar_t* finalFolder, const wchar_t* finalFile,
                      const wchar_t* name);

/// Deletes the entry at `path`, a link itself and never its target: opened
/// as it stands, it is deleted through that handle once it is known to be
/// the entry itself (MarkForDeletion), and refused (1921) when it resolves
/// to a file elsewhere. Where that cannot be told (Windows XP, or a file
/// system that cannot say), the name is deleted as it is. Returns 0, or
/// the system error code.
uint32_t RemoveEntry(Host& host, const wchar_t* path);

/// The information classes of SetFileInformationByHandle that mark a file
/// for deletion (FILE_INFO_BY_HANDLE_CLASS).
enum : uint32_t {
  /// FILE_DISPOSITION_INFO, one BOOLEAN: the name stays, "delete pending",
  /// until every handle on the file is closed; a read-only file is refused.
  kFileDispositionInfo = 4,
  /// FILE_DISPOSITION_INFO_EX, a DWORD of the flags below (Windows 10 1607
  /// and later, on file systems that support it).
  kFileDispositionInfoEx = 21,
};
/// Flags of FILE_DISPOSITION_INFO_EX.
enum : uint32_t {
  kDispositionDelete = 0x1,
  /// The name goes as soon as this handle is closed, even while others hold
  /// the file open with delete sharing.
  kDispositionPosixSemantics = 0x2,
  /// A read-only file goes too (Windows 10 1809 and later).
  kDispositionIgnoreReadOnly = 0x10,
};

/// Marks the open `file` (opened with delete access) for deletion when it is
/// closed, with the newest disposition the system accepts: POSIX semantics
/// ignoring the read-only attribute; without that flag where only it is
/// refused (87); and the plain disposition where the newer class is not
/// supported (87, 50 or 1: older systems, other file systems, Wine 8).
/// Returns 0, or the error code of the last attempt: 127 where the system
/// has no SetFileInformationByHandle (Windows XP), 1287 for a refusal the
/// system gave no code for.
uint32_t MarkForDeletion(Host& host, HostHandle file);

/// Whether `error`, from MarkForDeletion, says that the system offers no way
/// to delete this file through a handle, rather than that it refused.
bool CannotDeleteThroughHandle(uint32_t error);
