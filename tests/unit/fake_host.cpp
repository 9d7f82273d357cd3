#include "fake_host.h"

#include <cstdio>
#include <cstdlib>

bool FakeHost::Fails(Op op) {
  ++callCount;
  if (callCount == failCallNumber) {
    lastError_ = 5;
    return true;
  }
  int nth = ++opCalls_[op];
  auto failure = failures.find(op);
  if (failure == failures.end()) return false;
  auto only = failOnlyCall.find(op);
  if (only != failOnlyCall.end() && only->second != nth) return false;
  lastError_ = failure->second;
  return true;
}

HostHandle FakeHost::Open() {
  HostHandle handle = nextHandle_++;
  openHandles.insert(handle);
  return handle;
}

std::vector<std::wstring> FakeHost::TempFiles() const {
  std::vector<std::wstring> names;
  for (const std::wstring& event : events) {
    if (event.rfind(L"tempfile ", 0) == 0) names.push_back(event.substr(9));
  }
  return names;
}

bool FakeHost::GetExecutablePath(Text& path) {
  if (Fails(Op::GetExecutablePath)) return false;
  path = Text(executablePath.c_str());
  return true;
}

uint32_t FakeHost::QueryTempPath(wchar_t* buffer, uint32_t capacity) {
  if (Fails(Op::QueryTempPath)) return 0;
  if (tempPathNeeds != 0) return tempPathNeeds;  // the buffer stays untouched
  if (tempPath.size() + 1 > capacity) return static_cast<uint32_t>(tempPath.size() + 1);
  tempPath.copy(buffer, tempPath.size());
  buffer[tempPath.size()] = L'\0';
  return static_cast<uint32_t>(tempPath.size());
}

bool FakeHost::PathExists(const wchar_t* path) {
  ++callCount;
  return directories.count(path) != 0 || files.count(path) != 0;
}

bool FakeHost::CreateUniqueTempFile(const wchar_t* directory, const wchar_t* prefix, Text& path) {
  if (Fails(Op::CreateUniqueTempFile)) return false;
  static int unique = 0x1a2b;
  wchar_t name[32];
  std::swprintf(name, 32, L"%.3ls%x.tmp", prefix, unique++ & 0xffff);
  std::wstring full = std::wstring(directory) + name;
  files[full] = {};
  events.push_back(L"tempfile " + full);
  path = Text(full.c_str());
  return true;
}

bool FakeHost::QuerySystemDirectory(Text& path) {
  if (Fails(Op::QuerySystemDirectory)) return false;
  path = Text(systemDirectory.c_str());
  return true;
}

ResourceRef FakeHost::FindOwnResource(const wchar_t* type, uint16_t id) {
  if (Fails(Op::FindOwnResource)) return 0;
  if (!resource || std::wstring(type) != L"MSI" || id != 129) {
    lastError_ = 1813;  // ERROR_RESOURCE_TYPE_NOT_FOUND
    return 0;
  }
  return 1;
}

uint32_t FakeHost::GetResourceSize(ResourceRef) {
  if (Fails(Op::GetResourceSize)) return 0;
  if (resource->empty()) lastError_ = 0;  // an empty resource is no failure to the system
  return static_cast<uint32_t>(resource->size());
}

const void* FakeHost::LockResourceBytes(ResourceRef) {
  if (Fails(Op::LockResourceBytes)) return nullptr;
  return resource->data();
}

HostHandle FakeHost::CreateFileForWriting(const wchar_t* path) {
  if (Fails(Op::CreateFileForWriting)) return 0;
  HostHandle handle = Open();
  openFiles_[handle] = path;
  files[path] = {};  // created or truncated
  return handle;
}

bool FakeHost::WriteFile(HostHandle file, const void* bytes, uint32_t size, uint32_t& written) {
  written = 0;
  if (Fails(Op::WriteFile)) return false;
  written = size - shortWriteBy;
  const auto* first = static_cast<const uint8_t*>(bytes);
  Bytes& content = files[openFiles_.at(file)];
  content.insert(content.end(), first, first + written);
  events.push_back(L"write " + openFiles_.at(file));
  return true;
}

bool FakeHost::RemoveFile(const wchar_t* path) {
  if (Fails(Op::RemoveFile)) return false;
  events.push_back(std::wstring(L"delete ") + path);
  if (files.erase(path) == 0) {
    lastError_ = 2;
    return false;
  }
  return true;
}

StartedProcess FakeHost::StartProcess(const wchar_t* application, Text& commandLine) {
  StartedProcess started;
  if (Fails(Op::StartProcess)) return started;
  size_t index = processes.size();
  processes.push_back({application, commandLine.c_str()});
  events.push_back(std::wstring(L"start ") + commandLine.c_str());
  processExitCodes_[index] = exitCodes.empty() ? 0 : exitCodes.front();
  if (!exitCodes.empty()) exitCodes.pop_front();
  started.process = Open();
  started.thread = Open();
  processOfHandle_[started.process] = index;
  return started;
}

void FakeHost::WaitForProcess(HostHandle process) {
  ++callCount;
  events.push_back(L"wait " + processes.at(processOfHandle_.at(process)).commandLine);
}

bool FakeHost::GetProcessExitCode(HostHandle process, uint32_t& exitCode) {
  if (Fails(Op::GetProcessExitCode)) return false;
  exitCode = processExitCodes_.at(processOfHandle_.at(process));
  return true;
}

void FakeHost::CloseHandle(HostHandle handle) {
  ++callCount;
  if (openHandles.erase(handle) == 0) {
    std::fprintf(stderr, "FakeHost: closing handle %lu that is not open\n",
                 static_cast<unsigned long>(handle));
    std::abort();
  }
}

void FakeHost::ShowMessageBox(const wchar_t* title, const wchar_t* text) {
  ++callCount;
  messageBoxes.push_back({title, text});
  events.push_back(std::wstring(L"messagebox ") + text);
}

#include "app/setup_app.h"

const wchar_t kFakePackagePath[] =
    L"C:\\Users\\Ann\\AppData\\Local\\Temp\\VeltraneWindowsDriverInstaller.msi";

uint32_t RunSetup(FakeHost& host, const std::wstring& arguments) {
  CSetupApp app;
  return static_cast<uint32_t>(RunApplication(app, host, (L"Setup.exe " + arguments).c_str()));
}
