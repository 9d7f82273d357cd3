#include "fake_host.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

bool FakeHost::Fails(Op op) {
  ++callCount;
  if (callCount == failCallNumber) {
    lastError_ = failCallError;
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

bool FakeHost::HasTempPath2() {
  ++callCount;
  return hasTempPath2;
}

uint32_t FakeHost::QueryTempPath(bool systemTemp, wchar_t* buffer, uint32_t capacity) {
  ++tempPathQueries;
  if (Fails(Op::QueryTempPath)) return 0;
  if (systemTemp && !hasTempPath2) {
    lastError_ = 127;  // ERROR_PROC_NOT_FOUND
    return 0;
  }
  const std::wstring& path = systemTemp ? tempPath2 : tempPath;
  if (tempPathNeeds != 0) return tempPathNeeds;  // the buffer stays untouched
  if (path.size() + 1 > capacity) return static_cast<uint32_t>(path.size() + 1);
  path.copy(buffer, path.size());
  buffer[path.size()] = L'\0';
  return static_cast<uint32_t>(path.size());
}

bool FakeHost::PathExists(const wchar_t* path) {
  ++callCount;
  existenceChecks.emplace_back(path);
  return directories.count(path) != 0 || files.count(path) != 0;
}

bool FakeHost::CreateUniqueTempFile(const wchar_t* directory, const wchar_t* prefix, Text& path) {
  if (Fails(Op::CreateUniqueTempFile)) return false;
  if (directories.count(directory) == 0) {
    lastError_ = 3;  // ERROR_PATH_NOT_FOUND
    return false;
  }
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
  // An empty resource is no failure to the system: it leaves the last error
  // as it was.
  if (Fails(Op::GetResourceSize)) return 0;
  return static_cast<uint32_t>(resource->size());
}

const void* FakeHost::LockResourceBytes(ResourceRef) {
  if (Fails(Op::LockResourceBytes)) return nullptr;
  return resource->data();
}

HostHandle FakeHost::CreateNewFile(const wchar_t* path) {
  if (beforeCreate) beforeCreate(*this);
  if (Fails(Op::CreateNewFile)) return 0;
  if (files.count(path) != 0 || directories.count(path) != 0) {
    lastError_ = 80;  // ERROR_FILE_EXISTS
    return 0;
  }
  HostHandle handle = Open();
  openFiles_[handle] = {path, false};
  files[path] = {};
  events.push_back(std::wstring(L"create ") + path);
  return handle;
}

HostHandle FakeHost::OpenFileForReading(const wchar_t* path) {
  if (beforeHold) beforeHold(*this);
  if (Fails(Op::OpenFileForReading)) return 0;
  if (files.count(path) == 0) {
    lastError_ = 2;
    return 0;
  }
  HostHandle handle = Open();
  openFiles_[handle] = {path, true};
  events.push_back(std::wstring(L"hold ") + path);
  return handle;
}

bool FakeHost::WriteFile(HostHandle file, const void* bytes, uint32_t size, uint32_t& written) {
  written = 0;
  if (Fails(Op::WriteFile)) return false;
  ++writeCalls_;
  written = size;
  if (shortWriteOnCall == 0 || shortWriteOnCall == writeCalls_) written -= shortWriteBy;
  const auto* first = static_cast<const uint8_t*>(bytes);
  const OpenFile& open = openFiles_.at(file);
  Bytes& content = files[open.path];
  content.insert(content.end(), first, first + written);
  events.push_back(L"write " + open.path);
  return true;
}

bool FakeHost::QueryFileSize(HostHandle file, uint64_t& size) {
  size = 0;
  if (Fails(Op::QueryFileSize)) return false;
  size = files.at(openFiles_.at(file).path).size();
  return true;
}

// Mappings and views in the system's own numbers, not the launcher's
// constants, so that a wrong constant fails: a handle opened for reading
// alone maps only with PAGE_READONLY (2), and such a mapping gives views
// only with FILE_MAP_READ (4).
HostHandle FakeHost::MapFile(HostHandle file, uint32_t protection, uint32_t maximumSizeHigh,
                             uint32_t maximumSizeLow) {
  if (Fails(Op::MapFile)) return 0;
  const OpenFile& open = openFiles_.at(file);
  if (!open.reading || protection != 2) {
    lastError_ = 5;  // the mapping would need access the handle does not have
    return 0;
  }
  uint64_t fileSize = files.at(open.path).size();
  if (fileSize == 0) {
    lastError_ = 1006;  // as Windows answers for an empty file
    return 0;
  }
  uint64_t size = (static_cast<uint64_t>(maximumSizeHigh) << 32) | maximumSizeLow;
  if (size > fileSize) {
    lastError_ = 5;  // a read-only mapping cannot grow the file
    return 0;
  }
  HostHandle mapping = Open();
  mappings_[mapping] = {open.path, size == 0 ? fileSize : size};
  return mapping;
}

const void* FakeHost::MapView(HostHandle mapping, uint32_t access, uint32_t offsetHigh,
                              uint32_t offsetLow, uint32_t size) {
  if (Fails(Op::MapView)) return nullptr;
  const Mapping& mapped = mappings_.at(mapping);
  const Bytes& content = files.at(mapped.path);
  if (access != 4) {
    lastError_ = 5;  // more than a read-only mapping allows
    return nullptr;
  }
  uint64_t offset = (static_cast<uint64_t>(offsetHigh) << 32) | offsetLow;
  if (offset % kMapViewAlignment != 0) {
    lastError_ = 1132;  // ERROR_MAPPED_ALIGNMENT
    return nullptr;
  }
  if (size == 0 || offset > mapped.size || size > mapped.size - offset) {
    lastError_ = 5;  // beyond the end of the mapping
    return nullptr;
  }
  // The file cannot change while it is held, so its bytes serve as the view.
  const void* view = content.data() + offset;
  if (!openViews.insert(view).second) {
    std::fprintf(stderr, "FakeHost: a second view at the same address\n");
    std::abort();
  }
  return view;
}

void FakeHost::UnmapView(const void* view) {
  ++callCount;
  if (openViews.erase(view) == 0) {
    std::fprintf(stderr, "FakeHost: unmapping a view that is not mapped\n");
    std::abort();
  }
}

bool FakeHost::RemoveFile(const wchar_t* path) {
  if (Fails(Op::RemoveFile)) return false;
  for (const auto& [handle, open] : openFiles_) {
    if (open.path == path) {
      lastError_ = 32;  // held open by the launcher itself
      return false;
    }
  }
  if (files.erase(path) == 0) {
    lastError_ = 2;
    return false;
  }
  events.push_back(std::wstring(L"delete ") + path);
  return true;
}

HostHandle FakeHost::OpenEntryForDeletion(const wchar_t* path) {
  if (Fails(Op::OpenEntryForDeletion)) return 0;
  if (files.count(path) == 0) {
    lastError_ = 2;
    return 0;
  }
  for (const auto& [handle, open] : openFiles_) {
    if (open.path == path) {
      lastError_ = 32;  // held open by the launcher itself, without delete sharing
      return 0;
    }
  }
  HostHandle handle = Open();
  openFiles_[handle] = {path, false};
  return handle;
}

HostHandle FakeHost::OpenFolder(const wchar_t* path) {
  if (Fails(Op::OpenFolder)) return 0;
  if (directories.count(path) == 0) {
    lastError_ = 3;  // ERROR_PATH_NOT_FOUND
    return 0;
  }
  HostHandle handle = Open();
  openFiles_[handle] = {path, false, false, true};
  return handle;
}

bool FakeHost::QueryFinalPath(HostHandle handle, Text& path) {
  if (Fails(Op::QueryFinalPath)) return false;
  const OpenFile& open = openFiles_.at(handle);
  auto link = finalPaths.find(open.path);
  std::wstring resolved = link != finalPaths.end() ? link->second : L"\\\\?\\" + open.path;
  if (open.folder && resolved.size() > 7 && resolved.back() == L'\\') resolved.pop_back();
  path = Text(resolved.c_str());
  return true;
}

namespace {

// Upper case as the file system's table has it for ASCII and Latin-1
// letters: one character for one, so "ß" stays "ß".
wchar_t Upper(wchar_t c) {
  if ((c >= L'a' && c <= L'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) return c - 0x20;
  return c;
}

}  // namespace

int FakeHost::CompareOrdinal(const wchar_t* a, size_t aLength, const wchar_t* b, size_t bLength,
                             bool ignoreCase) {
  if (Fails(Op::CompareOrdinal)) return 0;
  for (size_t i = 0; i < aLength && i < bLength; ++i) {
    wchar_t x = ignoreCase ? Upper(a[i]) : a[i];
    wchar_t y = ignoreCase ? Upper(b[i]) : b[i];
    if (x != y) return x < y ? 1 : 3;
  }
  return aLength == bLength ? 2 : aLength < bLength ? 1 : 3;
}

bool FakeHost::DeleteFileByName(const wchar_t* path) {
  if (Fails(Op::DeleteFileByName)) return false;
  if (files.erase(path) == 0) {
    lastError_ = 2;
    return false;
  }
  events.push_back(std::wstring(L"delete-by-name ") + path);
  return true;
}

bool FakeHost::SetFileInformation(HostHandle file, uint32_t infoClass, const void* information,
                                  uint32_t size) {
  if (Fails(Op::SetFileInformation)) return false;
  uint32_t value = 0;
  const auto* bytes = static_cast<const uint8_t*>(information);
  for (uint32_t i = 0; i < size && i < 4; ++i) value |= static_cast<uint32_t>(bytes[i]) << (8 * i);
  informationSets.push_back({infoClass, value, size});
  if (!setInformationErrors.empty()) {
    uint32_t error = setInformationErrors.front();
    setInformationErrors.pop_front();
    if (error != 0) {
      lastError_ = error;
      return false;
    }
  }
  // Only what marks a file for deletion is modelled, in the system's own
  // numbers: FileDispositionInfo (4) with a BOOLEAN TRUE, and
  // FileDispositionInfoEx (21) with FILE_DISPOSITION_FLAG_DELETE.
  bool marks = (infoClass == 4 && size == 1 && value == 1) ||
               (infoClass == 21 && size == 4 && (value & 0x1) != 0);
  if (!marks) {
    lastError_ = 87;
    return false;
  }
  OpenFile& open = openFiles_.at(file);
  open.deleteOnClose = true;
  events.push_back(L"dispose " + open.path);
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
  mappings_.erase(handle);
  auto open = openFiles_.find(handle);
  if (open == openFiles_.end()) return;
  if (open->second.reading) events.push_back(L"release " + open->second.path);
  if (open->second.deleteOnClose) {
    files.erase(open->second.path);
    events.push_back(L"delete " + open->second.path);
  }
  openFiles_.erase(open);
}

void FakeHost::ShowMessageBox(const wchar_t* title, const wchar_t* text) {
  ++callCount;
  messageBoxes.push_back({title, text});
  events.push_back(std::wstring(L"messagebox ") + text);
}

bool FakeHost::QueryWindowStationFlags(uint32_t& flags) {
  if (Fails(Op::QueryWindowStationFlags)) return false;
  flags = stationFlags;
  return true;
}

bool FakeHost::QuerySessionId(uint32_t& session) {
  if (Fails(Op::QuerySessionId)) return false;
  session = sessionId;
  return true;
}

bool FakeHost::QuerySystemMajorVersion(uint32_t& major) {
  if (Fails(Op::QuerySystemMajorVersion)) return false;
  major = systemMajorVersion;
  return true;
}

void FakeHost::RemoveCurrentDirectoryFromDllSearch() {
  ++callCount;
  events.emplace_back(L"dll-search-no-current-directory");
}

bool FakeHost::LimitDllSearchToSystemDirectory() {
  ++callCount;
  if (hasSetDefaultDllDirectories) events.emplace_back(L"dll-search-system-only");
  return hasSetDefaultDllDirectories;
}

bool FakeHost::LoadLibraryByPath(const wchar_t* path) {
  if (Fails(Op::LoadLibraryByPath)) return false;
  events.push_back(std::wstring(L"load ") + path);
  return true;
}

#include "app/setup_app.h"

const wchar_t kFakePackagePath[] =
    L"C:\\Users\\Ann\\AppData\\Local\\Temp\\VeltraneWindowsDriverInstaller.msi";

uint32_t RunSetup(FakeHost& host, const std::wstring& arguments) {
  CSetupApp app;
  return static_cast<uint32_t>(RunApplication(app, host, (L"Setup.exe " + arguments).c_str()));
}
