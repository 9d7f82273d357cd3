#include "package/package_stage.h"

#include <cstring>

#include "platform/file_entry.h"
#include "setup_product.h"

const wchar_t kPackageResourceType[] = L"MSI";
const wchar_t kPackageFileName[] = SETUP_PACKAGE_FILE_NAME;

namespace {

uint32_t ChunkAt(uint32_t offset, uint32_t size) {
  uint32_t left = size - offset;
  return left < kPackageChunkSize ? left : kPackageChunkSize;
}

// A view of a file mapping, released when it goes out of scope.
class ScopedView {
 public:
  ScopedView(Host& host, const void* view) : host_(host), view_(view) {}
  ScopedView(const ScopedView&) = delete;
  ScopedView& operator=(const ScopedView&) = delete;
  ~ScopedView() {
    if (view_ != nullptr) host_.UnmapView(view_);
  }
  const void* get() const { return view_; }
  explicit operator bool() const { return view_ != nullptr; }

 private:
  Host& host_;
  const void* view_;
};

// True when the file behind `file` holds exactly `package` and nothing more.
// Returns the error of a failed query, mapping or view, if any, in `error`.
bool HoldsExactly(Host& host, HostHandle file, const PackageBytes& package, uint32_t& error) {
  error = 0;
  uint64_t size = 0;
  if (!host.QueryFileSize(file, size)) {
    error = FailureCode(host);
    return false;
  }
  if (size != package.size) return false;
  // Compared in place through a read-only mapping, a view at a time: the
  // bytes are not copied into a buffer first, and a 32-bit process never
  // needs room for the package twice in its address space. A disk error
  // under a view is an in-page exception rather than a code: the process
  // then ends there, still before any engine command.
  // The whole file (maximum size 0), read-only like the handle.
  ScopedHandle mapping(host, host.MapFile(file, kPageReadOnly, 0, 0));
  if (!mapping) {
    error = FailureCode(host);
    return false;
  }
  for (uint32_t offset = 0; offset < package.size;) {
    uint32_t left = package.size - offset;
    uint32_t length = left < kPackageViewSize ? left : kPackageViewSize;
    ScopedView view(host, host.MapView(mapping.get(), kFileMapRead, 0, offset, length));
    if (!view) {
      error = FailureCode(host);
      return false;
    }
    if (std::memcmp(view.get(), package.data + offset, length) != 0) return false;
    offset += length;
  }
  return true;
}

// A partial or changed copy is of no use to anyone, and a large one would
// keep a nearly full disk full until the next run: the two functions below
// delete it and return `error`, the failure that stopped the run. When the
// deletion fails too, the first failure is still the one reported.

// Deletes a copy being written through `file`, the handle that wrote it,
// then closes it: by name, after the close, the path could by then name
// another file, which would be deleted in its place. Only where the system
// offers no way through the handle (Windows XP) is it deleted by name.
uint32_t DiscardWrittenCopy(Host& host, ScopedHandle& file, const wchar_t* path, uint32_t error) {
  uint32_t marked = MarkForDeletion(host, file.get());
  file.Close();
  if (CannotDeleteThroughHandle(marked)) host.RemoveFile(path);
  return error;
}

// Closes the read-back's handle, then deletes the copy by name. That handle
// cannot carry delete access: while it is open, every other open of the
// copy, the engine's included, would then fail unless it shared deletion.
uint32_t DiscardHeldCopy(Host& host, ScopedHandle& file, const wchar_t* path, uint32_t error) {
  file.Close();
  host.RemoveFile(path);
  return error;
}

}  // namespace

uint32_t QueryTempDirectory(Host& host, wchar_t* buffer, uint32_t capacity) {
  return host.QueryTempPath(host.HasTempPath2(), buffer, capacity);
}

uint32_t FindPackage(Host& host, PackageBytes& package) {
  // An empty resource is no error to the system, which then reports 0 or a
  // leftover code; either way it is no package to extract.
  ResourceRef resource = host.FindOwnResource(kPackageResourceType, kPackageResourceId);
  if (resource == 0) return FailureCode(host, kErrorResourceDataNotFound);
  uint32_t size = host.GetResourceSize(resource);
  if (size == 0) return kErrorResourceDataNotFound;
  const void* bytes = host.LockResourceBytes(resource);
  if (bytes == nullptr) return FailureCode(host, kErrorResourceDataNotFound);
  package.data = static_cast<const uint8_t*>(bytes);
  package.size = size;
  return 0;
}

uint32_t WritePackage(Host& host, const wchar_t* path, const PackageBytes& package) {
  // Whatever stands at the path goes first, and the copy is then created
  // new: a file someone else put there (replaced in place it would keep its
  // owner and permissions, writable by whoever planted it) is never
  // written into, and a link is removed, never followed.
  if (!host.RemoveFile(path)) {
    uint32_t error = FailureCode(host);
    if (error != kErrorFileNotFound) return error;
  }
  ScopedHandle file(host, host.CreateNewFile(path));
  if (!file) return FailureCode(host);
  for (uint32_t offset = 0; offset < package.size;) {
    uint32_t chunk = ChunkAt(offset, package.size);
    uint32_t written = 0;
    if (!host.WriteFile(file.get(), package.data + offset, chunk, written)) {
      return DiscardWrittenCopy(host, file, path, FailureCode(host));
    }
    // A write that reports success for fewer bytes would leave a truncated
    // package for the engine to choke on; it is a failure like any other.
    if (written != chunk) return DiscardWrittenCopy(host, file, path, kErrorWriteFault);
    offset += chunk;
  }
  return 0;
}

uint32_t HoldPackage(Host& host, const wchar_t* path, const PackageBytes& package,
                     HostHandle& hold) {
  hold = 0;
  // Between closing the written copy and this open, the file could have
  // been changed or replaced; once it is open like this it cannot be, so
  // what it holds now is what the engine will read.
  ScopedHandle file(host, host.OpenFileForReading(path));
  if (!file) return FailureCode(host);
  uint32_t error = 0;
  if (!HoldsExactly(host, file.get(), package, error)) {
    return error != 0 ? error : DiscardHeldCopy(host, file, path, kErrorFileInvalid);
  }
  hold = file.Release();
  return 0;
}

uint32_t ExtractPackage(Host& host, const wchar_t* path, HostHandle& hold) {
  hold = 0;
  PackageBytes package;
  uint32_t error = FindPackage(host, package);
  if (error == 0) error = WritePackage(host, path, package);
  if (error == 0) error = HoldPackage(host, path, package, hold);
  return error;
}

bool RunPackageStage(CWinApp& app, int32_t& exitCode, Text& tempDirectory, Text& packagePath,
                     HostHandle& hold) {
  Host& host = app.host();
  hold = 0;
  // Emptied first: a query that needs more room leaves the buffer as it is,
  // and the empty path then fails the existence test below.
  wchar_t tempPath[kTempPathCapacity] = {};
  if (QueryTempDirectory(host, tempPath, kTempPathCapacity) == 0) {
    Text message(L"Unable to obtain temporary path, ");
    message.AppendUnsigned(FailureCode(host));
    app.AfxMessageBox(message.c_str());
    exitCode = -1;
    return false;
  }
  if (!host.PathExists(tempPath)) {
    exitCode = -1;
    return false;
  }

  // The temporary directory ends with a backslash. It is asked for and
  // checked once a run: the log file goes into the same one.
  tempDirectory = Text(tempPath);
  packagePath = tempDirectory;
  packagePath.Append(kPackageFileName);
  uint32_t error = ExtractPackage(host, packagePath.c_str(), hold);
  if (error != 0) {
    Text message(L"Error extracting MSI, ");
    message.AppendUnsigned(error);
    app.AfxMessageBox(message.c_str());
    exitCode = -1;
    return false;
  }
  return true;
}
