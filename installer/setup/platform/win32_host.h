// The host operations on Windows, through the wide-character API only.
#pragma once

#include "platform/host.h"

class Win32Host final : public Host {
 public:
  uint32_t LastError() override;
  bool GetExecutablePath(Text& path) override;
  uint32_t QueryTempPath(wchar_t* buffer, uint32_t capacity) override;
  bool PathExists(const wchar_t* path) override;
  bool CreateUniqueTempFile(const wchar_t* directory, const wchar_t* prefix, Text& path) override;
  bool QuerySystemDirectory(Text& path) override;
  ResourceRef FindOwnResource(const wchar_t* type, uint16_t id) override;
  uint32_t GetResourceSize(ResourceRef resource) override;
  const void* LockResourceBytes(ResourceRef resource) override;
  HostHandle CreateFileForWriting(const wchar_t* path) override;
  bool WriteFile(HostHandle file, const void* bytes, uint32_t size, uint32_t& written) override;
  bool RemoveFile(const wchar_t* path) override;
  StartedProcess StartProcess(const wchar_t* application, Text& commandLine) override;
  void WaitForProcess(HostHandle process) override;
  bool GetProcessExitCode(HostHandle process, uint32_t& exitCode) override;
  void CloseHandle(HostHandle handle) override;
  void ShowMessageBox(const wchar_t* title, const wchar_t* text) override;
};

/// Takes the current directory out of the DLL search and, where the system
/// supports it, limits the default search to the system directory, so that
/// a DLL planted beside the launcher (say in Downloads) is never loaded.
void HardenDllSearch();
