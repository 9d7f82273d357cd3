// Writing the package, carried in the executable's resources, into the
// user's temporary directory, and guarding the copy until the engine is done.
#pragma once

#include <cstdint>

#include "platform/framework.h"
#include "platform/host.h"
#include "platform/text.h"

/// The package resource: type "MSI", identifier 129.
extern const wchar_t kPackageResourceType[];
constexpr uint16_t kPackageResourceId = 129;

/// File name of the package copy in the temporary directory.
extern const wchar_t kPackageFileName[];

/// Room for the temporary directory's path, in characters.
constexpr uint32_t kTempPathCapacity = 520;

/// Bytes per write of the copy. One write of a whole large
/// package can fail on 32-bit Windows for lack of kernel memory, and under
/// Wine it is also slower than writes of this size; writes of 512 KiB and
/// more are there now and then twice as slow as these.
constexpr uint32_t kPackageChunkSize = 256 * 1024;

/// Bytes per view of the copy when it is read back: a multiple of
/// kMapViewAlignment, and small enough that a 32-bit process finds the
/// address space for one beside its mapped image.
constexpr uint32_t kPackageViewSize = 8 * 1024 * 1024;
static_assert(kPackageViewSize % kMapViewAlignment == 0, "views start at the granularity");

/// The package's bytes in the executable's mapped image.
struct PackageBytes {
  const uint8_t* data = nullptr;
  uint32_t size = 0;
};

/// The temporary directory into `buffer`, from GetTempPath2W where the
/// system has it, else GetTempPathW; the result as QueryTempPath's.
uint32_t QueryTempDirectory(Host& host, wchar_t* buffer, uint32_t capacity);

/// Finds the package resource. Returns 0, or the system error code.
uint32_t FindPackage(Host& host, PackageBytes& package);

/// Writes `package` as a new file at `path`, after removing whatever stood
/// there, in chunks. Returns 0, or the system error code that stopped it;
/// a copy that could not be written whole is deleted again.
uint32_t WritePackage(Host& host, const wchar_t* path, const PackageBytes& package);

/// Opens the copy at `path` so that nobody can change it while `hold` is
/// open, and checks that it holds exactly `package`. Returns 0 with `hold`
/// set, or the system error code with `hold` 0; a copy that no longer holds
/// the package (1006) is deleted.
uint32_t HoldPackage(Host& host, const wchar_t* path, const PackageBytes& package,
                     HostHandle& hold);

/// Writes the package resource to `path` and holds the copy. Returns 0 with
/// `hold` set, or the system error code that stopped it, with `hold` 0.
uint32_t ExtractPackage(Host& host, const wchar_t* path, HostHandle& hold);

/// Writes the package into the temporary directory and returns true with
/// that directory (ending with a backslash), the package's path and the
/// open hold on it. Otherwise shows any message through `app`, sets
/// `exitCode` and returns false: the run ends.
bool RunPackageStage(CWinApp& app, int32_t& exitCode, Text& tempDirectory, Text& packagePath,
                     HostHandle& hold);
