// The operating-system operations the launcher's logic needs, behind one
// narrow interface, so that the logic builds and is tested off Windows.
// Nothing here names a Windows type: handles are opaque numbers and errors
// are the platform's 32-bit system error codes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/text.h"

/// An open kernel object (file, process or thread). 0 means "none".
using HostHandle = uintptr_t;

/// An entry of the executable's own resources. 0 means "not found".
using ResourceRef = uintptr_t;

/// System error codes the logic names itself.
enum : uint32_t {
  /// Also the code shown for a failure the system gave no code for
  /// (FailureCode).
  kErrorInvalidFunction = 1,
  kErrorFileNotFound = 2,
  kErrorAccessDenied = 5,
  kErrorWriteFault = 29,
  kErrorSharingViolation = 32,
  kErrorNotSupported = 50,
  kErrorInvalidParameter = 87,
  kErrorProcNotFound = 127,
  kErrorFilenameExceedsRange = 206,
  kErrorFileInvalid = 1006,
  kErrorUnidentified = 1287,
  kErrorCantResolveFilename = 1921,
  kErrorResourceDataNotFound = 1812,
};

/// Page protection of a mapping that can only be read (PAGE_READONLY), and
/// the access of a view that only reads (FILE_MAP_READ).
constexpr uint32_t kPageReadOnly = 0x02;
constexpr uint32_t kFileMapRead = 0x0004;

/// Where views of a file mapping may start: the allocation granularity,
/// 64 KiB on every Windows system.
constexpr uint32_t kMapViewAlignment = 64 * 1024;

/// The window station flag that says users can see the station (WSF_VISIBLE).
constexpr uint32_t kWindowStationVisible = 0x0001;

struct StartedProcess {
  HostHandle process = 0;
  HostHandle thread = 0;
};

class Host {
 public:
  virtual ~Host() = default;

  /// The system error code of the last failed call on this thread.
  virtual uint32_t LastError() = 0;

  /// Full path of the running executable; false if it cannot be read.
  virtual bool GetExecutablePath(Text& path) = 0;

  /// Whether the system has GetTempPath2W, which gives LocalSystem a folder
  /// only SYSTEM and administrators can use (C:\Windows\SystemTemp) and every
  /// other caller the same folder as GetTempPathW.
  virtual bool HasTempPath2() = 0;
  /// Writes the temporary directory, ending with a backslash, into `buffer`
  /// through GetTempPath2W (`systemTemp`) or GetTempPathW. Returns its
  /// length, the size needed when `capacity` is too small (leaving `buffer`
  /// untouched), or 0 on failure.
  virtual uint32_t QueryTempPath(bool systemTemp, wchar_t* buffer, uint32_t capacity) = 0;

  /// False when nothing exists at `path`.
  virtual bool PathExists(const wchar_t* path) = 0;

  /// Creates a new empty file in `directory` named from the first three
  /// characters of `prefix`, up to four hex digits and ".tmp", and returns
  /// its full path. False on failure.
  virtual bool CreateUniqueTempFile(const wchar_t* directory, const wchar_t* prefix,
                                    Text& path) = 0;

  /// The system directory (e.g. C:\Windows\system32), without a trailing
  /// backslash. False on failure.
  virtual bool QuerySystemDirectory(Text& path) = 0;

  /// Finds a resource of the executable by type name and integer identifier.
  virtual ResourceRef FindOwnResource(const wchar_t* type, uint16_t id) = 0;
  /// Size of the resource in bytes; 0 on failure.
  virtual uint32_t GetResourceSize(ResourceRef resource) = 0;
  /// Loads and locks the resource; its bytes stay valid for the whole
  /// process. Null on failure.
  virtual const void* LockResourceBytes(ResourceRef resource) = 0;

  /// Creates a new file at `path` for writing, with delete access (so that
  /// it can be deleted through this handle), letting others only read it
  /// while it is open. Fails when anything already stands at `path`, a link
  /// included, which is never followed. 0 on failure.
  virtual HostHandle CreateNewFile(const wchar_t* path) = 0;
  /// Opens the existing file at `path` for reading (a link itself, never its
  /// target) and lets others only read it while the handle is open: nobody
  /// can write, rename or delete it. 0 on failure.
  virtual HostHandle OpenFileForReading(const wchar_t* path) = 0;
  /// One write call. `written` receives the count the system reports.
  virtual bool WriteFile(HostHandle file, const void* bytes, uint32_t size, uint32_t& written) = 0;
  /// Size in bytes of the open file.
  virtual bool QueryFileSize(HostHandle file, uint64_t& size) = 0;
  /// CreateFileMappingW: a mapping of the open file with page `protection`
  /// (kPageReadOnly) and the maximum size in two halves (0 and 0: the whole
  /// file), closed with CloseHandle. An empty file cannot be mapped. 0 on
  /// failure.
  virtual HostHandle MapFile(HostHandle file, uint32_t protection, uint32_t maximumSizeHigh,
                             uint32_t maximumSizeLow) = 0;
  /// MapViewOfFile: a view with `access` (kFileMapRead) of `size` bytes of
  /// `mapping` from the offset in two halves, a multiple of
  /// kMapViewAlignment. Null on failure.
  virtual const void* MapView(HostHandle mapping, uint32_t access, uint32_t offsetHigh,
                              uint32_t offsetLow, uint32_t size) = 0;
  /// Releases a view MapView returned.
  virtual void UnmapView(const void* view) = 0;
  /// Deletes the file at `path`; a link is deleted itself, never its target.
  virtual bool RemoveFile(const wchar_t* path) = 0;
  /// Opens the entry at `path` with delete access only, a link itself and
  /// never its target, sharing everything. 0 on failure.
  virtual HostHandle OpenEntryForDeletion(const wchar_t* path) = 0;
  /// Opens the folder at `path` for queries only, sharing everything. 0 on
  /// failure.
  virtual HostHandle OpenFolder(const wchar_t* path) = 0;
  /// The path the system resolved the open `handle` to (\\?\C:\...,
  /// GetFinalPathNameByHandleW). False on failure; 127 where the system has
  /// no such call (Windows XP).
  virtual bool QueryFinalPath(HostHandle handle, Text& path) = 0;
  /// CompareStringOrdinal: 1, 2 or 3 as `a` sorts before, the same as or
  /// after `b`, ignoring case if asked; 0 on failure (none on Windows XP).
  virtual int CompareOrdinal(const wchar_t* a, size_t aLength, const wchar_t* b, size_t bLength,
                             bool ignoreCase) = 0;
  /// DeleteFileW: deletes the name `path` as it is.
  virtual bool DeleteFileByName(const wchar_t* path) = 0;
  /// SetFileInformationByHandle: sets `size` bytes of `information`, of the
  /// class `infoClass`, on the open `file`. False on failure; 127 where the
  /// system has no such call (Windows XP).
  virtual bool SetFileInformation(HostHandle file, uint32_t infoClass, const void* information,
                                  uint32_t size) = 0;

  /// Starts `application` (a full path) with `commandLine`, which the
  /// system may modify while it runs. Handles are not inherited, the new
  /// process shares this one's environment and current directory.
  /// Both handles are 0 on failure.
  virtual StartedProcess StartProcess(const wchar_t* application, Text& commandLine) = 0;
  /// Blocks until the process ends; there is no time limit.
  virtual void WaitForProcess(HostHandle process) = 0;
  virtual bool GetProcessExitCode(HostHandle process, uint32_t& exitCode) = 0;

  virtual void CloseHandle(HostHandle handle) = 0;

  /// A modal box with an exclamation icon and an OK button, owned by no
  /// window. Returns when the user has answered it.
  virtual void ShowMessageBox(const wchar_t* title, const wchar_t* text) = 0;
  /// The flags of this process's window station (kWindowStationVisible and
  /// the rest). False when the system cannot say.
  virtual bool QueryWindowStationFlags(uint32_t& flags) = 0;
  /// The Terminal Services session this process runs in. False on failure.
  virtual bool QuerySessionId(uint32_t& session) = 0;
  /// The system's major version: 5 for Windows XP, 6 from Windows Vista on.
  /// False on failure.
  virtual bool QuerySystemMajorVersion(uint32_t& major) = 0;

  /// Takes the current directory out of the DLL search.
  virtual void RemoveCurrentDirectoryFromDllSearch() = 0;
  /// Limits the default DLL search of this process to the system directory.
  /// False where the system cannot (no SetDefaultDllDirectories: Windows XP,
  /// Vista, and 7 without KB2533623).
  virtual bool LimitDllSearchToSystemDirectory() = 0;
  /// Loads the DLL at the full path `path`, its own imports searched from its
  /// folder first, and keeps it loaded for the life of the process.
  virtual bool LoadLibraryByPath(const wchar_t* path) = 0;
};

/// The last error as the code of a failure: `fallback` when the system left
/// none, so that a failure can never read as success (0).
inline uint32_t FailureCode(Host& host, uint32_t fallback = kErrorInvalidFunction) {
  uint32_t error = host.LastError();
  return error != 0 ? error : fallback;
}

/// Closes its handle through the host when it goes out of scope.
class ScopedHandle {
 public:
  ScopedHandle(Host& host, HostHandle handle) : host_(host), handle_(handle) {}
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ~ScopedHandle() { Close(); }

  HostHandle get() const { return handle_; }
  explicit operator bool() const { return handle_ != 0; }
  /// Hands the handle over to the caller, who closes it.
  HostHandle Release() {
    HostHandle handle = handle_;
    handle_ = 0;
    return handle;
  }
  /// Closes the handle now rather than at the end of the scope.
  void Close() {
    if (handle_ != 0) host_.CloseHandle(handle_);
    handle_ = 0;
  }

 private:
  Host& host_;
  HostHandle handle_;
};
