#include "platform/win32_host.h"

#include <cstdlib>

#include "platform/file_entry.h"
#include "platform/windows_api.h"

namespace {

HANDLE ToHandle(HostHandle handle) { return reinterpret_cast<HANDLE>(handle); }
HostHandle FromHandle(HANDLE handle) { return reinterpret_cast<HostHandle>(handle); }

// Module-name queries report truncation by filling the buffer; the longest
// path Windows can hand out is 32767 characters.
constexpr DWORD kLongestPath = 32768;

// Functions newer than Windows XP, looked up at run time so that the
// launcher still loads there. Where the system lacks one, the lookup is
// null and the last error ERROR_PROC_NOT_FOUND, which the caller reports.
void* LookUpKernel32Function(const char* name) {
  HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
  FARPROC function = kernel32 != nullptr ? ::GetProcAddress(kernel32, name) : nullptr;
  if (function == nullptr) ::SetLastError(ERROR_PROC_NOT_FOUND);
  return reinterpret_cast<void*>(function);
}

template <typename Function>
Function FindKernel32Function(const char* name) {
  return reinterpret_cast<Function>(LookUpKernel32Function(name));
}

using GetTempPath2Function = DWORD(WINAPI*)(DWORD, LPWSTR);
using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
using GetFinalPathNameByHandleFunction = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
using SetFileInformationByHandleFunction = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD);
using CompareStringOrdinalFunction = int(WINAPI*)(LPCWCH, int, LPCWCH, int, BOOL);
using ProcessIdToSessionIdFunction = BOOL(WINAPI*)(DWORD, DWORD*);

}  // namespace

uint32_t Win32Host::LastError() { return ::GetLastError(); }

bool Win32Host::GetExecutablePath(Text& path) {
  wchar_t shortBuffer[MAX_PATH];
  DWORD length = ::GetModuleFileNameW(nullptr, shortBuffer, MAX_PATH);
  if (length > 0 && length < MAX_PATH) {
    path = Text(shortBuffer);
    return true;
  }
  // A long path (\\?\...): ask again with room for the longest there is.
  auto* longBuffer = static_cast<wchar_t*>(std::malloc(kLongestPath * sizeof(wchar_t)));
  if (longBuffer == nullptr) return false;
  length = ::GetModuleFileNameW(nullptr, longBuffer, kLongestPath);
  bool ok = length > 0 && length < kLongestPath;
  if (ok) path = Text(longBuffer);
  std::free(longBuffer);
  return ok;
}

bool Win32Host::HasTempPath2() {
  return FindKernel32Function<GetTempPath2Function>("GetTempPath2W") != nullptr;
}

uint32_t Win32Host::QueryTempPath(bool systemTemp, wchar_t* buffer, uint32_t capacity) {
  if (systemTemp) {
    auto getTempPath2 = FindKernel32Function<GetTempPath2Function>("GetTempPath2W");
    if (getTempPath2 == nullptr) return 0;
    return getTempPath2(capacity, buffer);
  }
  return ::GetTempPathW(capacity, buffer);
}

bool Win32Host::PathExists(const wchar_t* path) {
  return ::GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

bool Win32Host::CreateUniqueTempFile(const wchar_t* directory, const wchar_t* prefix, Text& path) {
  wchar_t buffer[MAX_PATH] = {};
  if (::GetTempFileNameW(directory, prefix, 0, buffer) == 0) return false;
  path = Text(buffer);
  return true;
}

bool Win32Host::QuerySystemDirectory(Text& path) {
  wchar_t buffer[MAX_PATH] = {};
  UINT length = ::GetSystemDirectoryW(buffer, MAX_PATH);
  if (length == 0) return false;
  // Too long for the buffer is no failure to the system, which then sets
  // no error; the path is too long for the launcher, and says so.
  if (length >= MAX_PATH) {
    ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  path = Text(buffer);
  return true;
}

ResourceRef Win32Host::FindOwnResource(const wchar_t* type, uint16_t id) {
  return reinterpret_cast<ResourceRef>(::FindResourceW(nullptr, MAKEINTRESOURCEW(id), type));
}

uint32_t Win32Host::GetResourceSize(ResourceRef resource) {
  return ::SizeofResource(nullptr, reinterpret_cast<HRSRC>(resource));
}

const void* Win32Host::LockResourceBytes(ResourceRef resource) {
  // A loaded resource of the executable is part of its mapped image: it
  // needs no freeing and stays valid until the process ends.
  HGLOBAL loaded = ::LoadResource(nullptr, reinterpret_cast<HRSRC>(resource));
  if (loaded == nullptr) return nullptr;
  return ::LockResource(loaded);
}

HostHandle Win32Host::CreateNewFile(const wchar_t* path) {
  // CREATE_NEW fails on any name that exists; with the reparse-point flag a
  // link planted there counts as existing instead of being followed to
  // create its target. Delete access lets a failed copy be deleted through
  // this handle.
  HANDLE file = ::CreateFileW(path, GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  return file == INVALID_HANDLE_VALUE ? 0 : FromHandle(file);
}

HostHandle Win32Host::OpenFileForReading(const wchar_t* path) {
  // Read sharing only: while this handle is open, opening the file for
  // writing or for deletion (which renaming needs too) fails for everyone.
  HANDLE file = ::CreateFileW(
      path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  return file == INVALID_HANDLE_VALUE ? 0 : FromHandle(file);
}

bool Win32Host::WriteFile(HostHandle file, const void* bytes, uint32_t size, uint32_t& written) {
  DWORD count = 0;
  BOOL ok = ::WriteFile(ToHandle(file), bytes, size, &count, nullptr);
  written = count;
  return ok != FALSE;
}

bool Win32Host::QueryFileSize(HostHandle file, uint64_t& size) {
  LARGE_INTEGER value = {};
  BOOL ok = ::GetFileSizeEx(ToHandle(file), &value);
  size = ok != FALSE ? static_cast<uint64_t>(value.QuadPart) : 0;
  return ok != FALSE;
}

HostHandle Win32Host::MapFile(HostHandle file, uint32_t protection, uint32_t maximumSizeHigh,
                              uint32_t maximumSizeLow) {
  // Fails with null, not INVALID_HANDLE_VALUE.
  return FromHandle(::CreateFileMappingW(ToHandle(file), nullptr, protection, maximumSizeHigh,
                                         maximumSizeLow, nullptr));
}

const void* Win32Host::MapView(HostHandle mapping, uint32_t access, uint32_t offsetHigh,
                               uint32_t offsetLow, uint32_t size) {
  return ::MapViewOfFile(ToHandle(mapping), access, offsetHigh, offsetLow, size);
}

void Win32Host::UnmapView(const void* view) { ::UnmapViewOfFile(view); }

bool Win32Host::RemoveFile(const wchar_t* path) {
  uint32_t error = RemoveEntry(*this, path);
  if (error != 0) ::SetLastError(error);
  return error == 0;
}

HostHandle Win32Host::OpenEntryForDeletion(const wchar_t* path) {
  HANDLE file = ::CreateFileW(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  return file == INVALID_HANDLE_VALUE ? 0 : FromHandle(file);
}

HostHandle Win32Host::OpenFolder(const wchar_t* path) {
  HANDLE folder = ::CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  return folder == INVALID_HANDLE_VALUE ? 0 : FromHandle(folder);
}

bool Win32Host::QueryFinalPath(HostHandle handle, Text& path) {
  auto getFinalPath =
      FindKernel32Function<GetFinalPathNameByHandleFunction>("GetFinalPathNameByHandleW");
  if (getFinalPath == nullptr) return false;
  // Asked first for the size it needs, including the terminator.
  DWORD needed = getFinalPath(ToHandle(handle), nullptr, 0, 0);
  if (needed == 0) return false;
  path.Clear();
  for (DWORD i = 0; i < needed; ++i) path.Append(L' ');
  DWORD length = getFinalPath(ToHandle(handle), path.data(), needed, 0);
  if (length == 0 || length >= needed) return false;
  Text exact;
  exact.Append(path.c_str(), length);
  path = exact;
  return true;
}

int Win32Host::CompareOrdinal(const wchar_t* a, size_t aLength, const wchar_t* b, size_t bLength,
                              bool ignoreCase) {
  auto compare = FindKernel32Function<CompareStringOrdinalFunction>("CompareStringOrdinal");
  if (compare == nullptr) return 0;
  return compare(a, static_cast<int>(aLength), b, static_cast<int>(bLength),
                 ignoreCase ? TRUE : FALSE);
}

bool Win32Host::DeleteFileByName(const wchar_t* path) { return ::DeleteFileW(path) != FALSE; }

bool Win32Host::SetFileInformation(HostHandle file, uint32_t infoClass, const void* information,
                                   uint32_t size) {
  auto setFileInformation =
      FindKernel32Function<SetFileInformationByHandleFunction>("SetFileInformationByHandle");
  if (setFileInformation == nullptr) return false;
  return setFileInformation(ToHandle(file), static_cast<int>(infoClass),
                            const_cast<void*>(information), size) != FALSE;
}

StartedProcess Win32Host::StartProcess(const wchar_t* application, Text& commandLine) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  StartedProcess started;
  if (::CreateProcessW(application, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       nullptr, &startup, &info)) {
    started.process = FromHandle(info.hProcess);
    started.thread = FromHandle(info.hThread);
  }
  return started;
}

void Win32Host::WaitForProcess(HostHandle process) {
  ::WaitForSingleObject(ToHandle(process), INFINITE);
}

bool Win32Host::GetProcessExitCode(HostHandle process, uint32_t& exitCode) {
  DWORD code = 0;
  if (!::GetExitCodeProcess(ToHandle(process), &code)) return false;
  exitCode = code;
  return true;
}

void Win32Host::CloseHandle(HostHandle handle) { ::CloseHandle(ToHandle(handle)); }

void Win32Host::ShowMessageBox(const wchar_t* title, const wchar_t* text) {
  ::MessageBoxW(nullptr, text, title, MB_OK | MB_ICONEXCLAMATION);
}

bool Win32Host::QueryWindowStationFlags(uint32_t& flags) {
  // The station's handle belongs to the process and is not to be closed.
  HWINSTA station = ::GetProcessWindowStation();
  USEROBJECTFLAGS info = {};
  DWORD needed = 0;
  if (station == nullptr ||
      !::GetUserObjectInformationW(station, UOI_FLAGS, &info, sizeof(info), &needed)) {
    return false;
  }
  flags = info.dwFlags;
  return true;
}

bool Win32Host::QuerySessionId(uint32_t& session) {
  // Looked up like the newer functions: a system without it only loses the
  // session rule, never the start.
  auto processIdToSessionId =
      FindKernel32Function<ProcessIdToSessionIdFunction>("ProcessIdToSessionId");
  DWORD id = 0;
  if (processIdToSessionId == nullptr || !processIdToSessionId(::GetCurrentProcessId(), &id)) {
    return false;
  }
  session = id;
  return true;
}

bool Win32Host::QuerySystemMajorVersion(uint32_t& major) {
  OSVERSIONINFOW info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  if (!::GetVersionExW(&info)) return false;
  major = info.dwMajorVersion;
  return true;
}

void Win32Host::RemoveCurrentDirectoryFromDllSearch() { ::SetDllDirectoryW(L""); }

bool Win32Host::LimitDllSearchToSystemDirectory() {
  auto setDefaultDllDirectories =
      FindKernel32Function<SetDefaultDllDirectoriesFunction>("SetDefaultDllDirectories");
  constexpr DWORD kSearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
  return setDefaultDllDirectories != nullptr && setDefaultDllDirectories(kSearchSystem32) != FALSE;
}

bool Win32Host::LoadLibraryByPath(const wchar_t* path) {
  // The module stays loaded until the process ends: that is its purpose.
  return ::LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH) != nullptr;
}
