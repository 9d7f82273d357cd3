// An in-memory host for the launcher's logic. It records every call (files
// with their bytes, processes with their exact command lines, message boxes
// with their titles) and lets a test script results and failures per call.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/host.h"

using Bytes = std::vector<uint8_t>;

class FakeHost : public Host {
 public:
  /// The operations a test can make fail with a chosen system error code.
  enum class Op {
    GetExecutablePath,
    QueryTempPath,
    CreateUniqueTempFile,
    QuerySystemDirectory,
    FindOwnResource,
    GetResourceSize,
    LockResourceBytes,
    CreateNewFile,
    OpenFileForReading,
    WriteFile,
    QueryFileSize,
    MapFile,
    MapView,
    RemoveFile,
    SetFileInformation,
    OpenEntryForDeletion,
    OpenFolder,
    QueryFinalPath,
    CompareOrdinal,
    DeleteFileByName,
    StartProcess,
    GetProcessExitCode,
    LoadLibraryByPath,
    QueryWindowStationFlags,
    QuerySessionId,
    QuerySystemMajorVersion,
  };

  struct ProcessRun {
    std::wstring application;
    std::wstring commandLine;
  };
  /// One call of SetFileInformation: the class, the value read from its
  /// bytes (little-endian) and their count.
  struct InformationSet {
    uint32_t infoClass;
    uint32_t value;
    uint32_t size;
    bool operator==(const InformationSet& o) const {
      return infoClass == o.infoClass && value == o.value && size == o.size;
    }
  };
  struct MessageBoxCall {
    std::wstring title;
    std::wstring text;
  };

  // --- Script ---------------------------------------------------------
  std::wstring executablePath = L"C:\\Users\\Ann\\Downloads\\Setup.exe";
  std::wstring tempPath = L"C:\\Users\\Ann\\AppData\\Local\\Temp\\";
  /// Whether the system has GetTempPath2W, and what it reports.
  bool hasTempPath2 = false;
  std::wstring tempPath2 = L"C:\\Windows\\SystemTemp\\";
  /// What QueryTempPath reports when it does not fit (0: it fits).
  uint32_t tempPathNeeds = 0;
  std::wstring systemDirectory = L"C:\\Windows\\system32";
  /// Directories that exist; files written exist too.
  std::set<std::wstring> directories = {tempPath, tempPath2};
  std::optional<Bytes> resource = Bytes{0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1, 42};
  /// Bytes a successful write leaves out, on every write or only on the
  /// n-th one (1-based).
  uint32_t shortWriteBy = 0;
  int shortWriteOnCall = 0;
  /// Runs between the removal of the package path and the creation of the
  /// new file there, as another process could.
  std::function<void(FakeHost&)> beforeCreate;
  /// Runs before the copy is opened for the hold, as another process could.
  std::function<void(FakeHost&)> beforeHold;
  /// The flags of this process's window station, its session and the
  /// system's major version: a user's session on Windows 10 by default.
  uint32_t stationFlags = kWindowStationVisible;
  uint32_t sessionId = 1;
  uint32_t systemMajorVersion = 10;
  /// Whether the system has SetDefaultDllDirectories.
  bool hasSetDefaultDllDirectories = true;
  /// What QueryFinalPath resolves a path to, where not "\\?\" and the path
  /// itself (a folder without its trailing backslash but for a drive's
  /// root): a link, by the path of its target.
  std::map<std::wstring, std::wstring> finalPaths;
  /// Errors SetFileInformation answers with, in order of calls (0: it
  /// accepts); it accepts every call beyond them.
  std::deque<uint32_t> setInformationErrors;
  /// Exit codes of the started processes, in order of starting; 0 beyond.
  std::deque<uint32_t> exitCodes;
  /// Failing operations with the error each one leaves.
  std::map<Op, uint32_t> failures;
  /// Makes only the n-th call (1-based) of an operation in `failures` fail.
  std::map<Op, int> failOnlyCall;
  /// Makes the n-th host call (1-based, counting every call) fail, leaving
  /// `failCallError` as the last error (0: the system names no error).
  int failCallNumber = 0;
  uint32_t failCallError = 5;

  // --- Record ---------------------------------------------------------
  /// Every effect in order: "delete <path>", "create <path>", "write <path>",
  /// "dispose <path>" (marked for deletion through a handle, deleted when
  /// it is closed),
  /// "hold <path>", "release <path>", "tempfile <path>",
  /// "start <command line>", "wait <command line>", "messagebox <text>",
  /// "dll-search-no-current-directory", "dll-search-system-only",
  /// "load <path>".
  std::vector<std::wstring> events;
  std::map<std::wstring, Bytes> files;
  std::vector<ProcessRun> processes;
  std::vector<InformationSet> informationSets;
  std::vector<MessageBoxCall> messageBoxes;
  std::set<HostHandle> openHandles;
  /// Views of file mappings not yet released.
  std::set<const void*> openViews;
  /// The paths asked about by PathExists, in order.
  std::vector<std::wstring> existenceChecks;
  /// How often the temporary directory was asked for.
  int tempPathQueries = 0;
  int callCount = 0;

  /// The log files created, in order.
  std::vector<std::wstring> TempFiles() const;
  /// Leaves `error` as the last error, as an earlier call might have.
  void LeaveError(uint32_t error) { lastError_ = error; }

  // --- Host -----------------------------------------------------------
  uint32_t LastError() override { return lastError_; }
  bool GetExecutablePath(Text& path) override;
  bool HasTempPath2() override;
  uint32_t QueryTempPath(bool systemTemp, wchar_t* buffer, uint32_t capacity) override;
  bool PathExists(const wchar_t* path) override;
  bool CreateUniqueTempFile(const wchar_t* directory, const wchar_t* prefix, Text& path) override;
  bool QuerySystemDirectory(Text& path) override;
  ResourceRef FindOwnResource(const wchar_t* type, uint16_t id) override;
  uint32_t GetResourceSize(ResourceRef resource) override;
  const void* LockResourceBytes(ResourceRef resource) override;
  HostHandle CreateNewFile(const wchar_t* path) override;
  HostHandle OpenFileForReading(const wchar_t* path) override;
  bool WriteFile(HostHandle file, const void* bytes, uint32_t size, uint32_t& written) override;
  bool QueryFileSize(HostHandle file, uint64_t& size) override;
  HostHandle MapFile(HostHandle file, uint32_t protection, uint32_t maximumSizeHigh,
                     uint32_t maximumSizeLow) override;
  const void* MapView(HostHandle mapping, uint32_t access, uint32_t offsetHigh, uint32_t offsetLow,
                      uint32_t size) override;
  void UnmapView(const void* view) override;
  bool RemoveFile(const wchar_t* path) override;
  HostHandle OpenEntryForDeletion(const wchar_t* path) override;
  HostHandle OpenFolder(const wchar_t* path) override;
  bool QueryFinalPath(HostHandle handle, Text& path) override;
  int CompareOrdinal(const wchar_t* a, size_t aLength, const wchar_t* b, size_t bLength,
                     bool ignoreCase) override;
  bool DeleteFileByName(const wchar_t* path) override;
  bool SetFileInformation(HostHandle file, uint32_t infoClass, const void* information,
                          uint32_t size) override;
  StartedProcess StartProcess(const wchar_t* application, Text& commandLine) override;
  void WaitForProcess(HostHandle process) override;
  bool GetProcessExitCode(HostHandle process, uint32_t& exitCode) override;
  void CloseHandle(HostHandle handle) override;
  void ShowMessageBox(const wchar_t* title, const wchar_t* text) override;
  bool QueryWindowStationFlags(uint32_t& flags) override;
  bool QuerySessionId(uint32_t& session) override;
  bool QuerySystemMajorVersion(uint32_t& major) override;
  void RemoveCurrentDirectoryFromDllSearch() override;
  bool LimitDllSearchToSystemDirectory() override;
  bool LoadLibraryByPath(const wchar_t* path) override;

 private:
  struct OpenFile {
    std::wstring path;
    bool reading = false;
    bool deleteOnClose = false;
    bool folder = false;
  };

  // True when the call is to fail; sets the last error.
  bool Fails(Op op);
  HostHandle Open();

  uint32_t lastError_ = 0;
  HostHandle nextHandle_ = 100;
  int writeCalls_ = 0;
  std::map<Op, int> opCalls_;
  std::map<HostHandle, OpenFile> openFiles_;
  struct Mapping {
    std::wstring path;  // of its file
    uint64_t size;
  };
  std::map<HostHandle, Mapping> mappings_;
  std::map<HostHandle, size_t> processOfHandle_;  // handle -> index
  std::map<size_t, uint32_t> processExitCodes_;   // index -> code
};

/// Runs the launcher against `host` with `arguments` after the program name,
/// as the process entry would, and returns the exit code the system sees.
uint32_t RunSetup(FakeHost& host, const std::wstring& arguments);

/// The package path the launcher uses with the fake's default temp path.
extern const wchar_t kFakePackagePath[];
