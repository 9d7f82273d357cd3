// The host operations on Windows, through the wide-character API only.
#pragma once

#include "platform/host.h"

class Win32Host final : public Host {
 public:
  uint32_t LastError() override;
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
};
