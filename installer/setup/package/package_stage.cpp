#include "package/package_stage.h"

#include "setup_product.h"

const wchar_t kPackageResourceType[] = L"MSI";
const wchar_t kPackageFileName[] = SETUP_PACKAGE_FILE_NAME;

uint32_t ExtractPackage(Host& host, const wchar_t* path) {
  // An empty resource is no error to the system, which then reports 0; the
  // fallback keeps that from passing for a successful extraction.
  ResourceRef resource = host.FindOwnResource(kPackageResourceType, kPackageResourceId);
  if (resource == 0) return FailureCode(host, kErrorResourceDataNotFound);
  uint32_t size = host.GetResourceSize(resource);
  if (size == 0) return FailureCode(host, kErrorResourceDataNotFound);
  const void* bytes = host.LockResourceBytes(resource);
  if (bytes == nullptr) return FailureCode(host, kErrorResourceDataNotFound);

  ScopedHandle file(host, host.CreateFileForWriting(path));
  if (!file) return host.LastError();
  uint32_t written = 0;
  if (!host.WriteFile(file.get(), bytes, size, written)) return host.LastError();
  // A write that reports success for fewer bytes would leave a truncated
  // package for the engine to choke on; it is a failure like any other.
  if (written != size) return kErrorWriteFault;
  return 0;
}

bool RunPackageStage(CWinApp& app, int32_t& exitCode, Text& packagePath) {
  Host& host = app.host();
  // Emptied first: a query that needs more room leaves the buffer as it is,
  // and the empty path then fails the existence test below.
  wchar_t tempPath[kTempPathCapacity] = {};
  if (host.QueryTempPath(tempPath, kTempPathCapacity) == 0) {
    Text message(L"Unable to obtain temporary path, ");
    message.AppendUnsigned(host.LastError());
    app.AfxMessageBox(message.c_str());
    exitCode = -1;
    return false;
  }
  if (!host.PathExists(tempPath)) {
    exitCode = -1;
    return false;
  }

  // The temporary directory ends with a backslash.
  packagePath = Text(tempPath);
  packagePath.Append(kPackageFileName);
  uint32_t error = ExtractPackage(host, packagePath.c_str());
  if (error != 0) {
    Text message(L"Error extracting MSI, ");
    message.AppendUnsigned(error);
    app.AfxMessageBox(message.c_str());
    exitCode = -1;
    return false;
  }
  return true;
}
