// The operating-system operations the launcher's logic needs, behind one
// narrow interface, so that the logic builds and is tested off Windows.
// Nothing here names a Windows type: handles are opaque numbers and errors
// are the platform's 32-bit system error codes.
#pragma once

#include <cstdint>

#include "platform/text.h"

/// An open kernel object (file, process or thread). 0 means "none".
using HostHandle = uintptr_t;

/// An entry of the executable's own resources. 0 means "not found".
using ResourceRef = uintptr_t;

/// System error codes the logic names itself.
enum : uint32_t {
  kErrorFileNotFound = 2,
  kErrorWriteFault = 29,
  kErrorResourceDataNotFound = 1812,
};

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

  /// Writes the temporary directory, ending with a backslash, into `buffer`.
  /// Returns its length, the size needed when `capacity` is too small
  /// (leaving `buffer` untouched), or 0 on failure.
  virtual uint32_t QueryTempPath(wchar_t* buffer, uint32_t capacity) = 0;

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

  /// Creates or replaces the file at `path` for writing, letting others
  /// only read it while it is open. 0 on failure.
  virtual HostHandle CreateFileForWriting(const wchar_t* path) = 0;
  /// One write call. `written` receives the count the system reports.
  virtual bool WriteFile(HostHandle file, const void* bytes, uint32_t size, uint32_t& written) = 0;
  virtual bool RemoveFile(const wchar_t* path) = 0;

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
};

/// The last error as the code of a failure: `fallback` when the system left
/// none, so that a failure can never read as success (0).
inline uint32_t FailureCode(Host& host, uint32_t fallback) {
  uint32_t error = host.LastError();
  return error != 0 ? error : fallback;
}

/// Closes its handle through the host when it goes out of scope.
class ScopedHandle {
 public:
  ScopedHandle(Host& host, HostHandle handle) : host_(host), handle_(handle) {}
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ~ScopedHandle() {
    if (handle_ != 0) host_.CloseHandle(handle_);
  }

  HostHandle get() const { return handle_; }
  explicit operator bool() const { return handle_ != 0; }

 private:
  Host& host_;
  HostHandle handle_;
};
