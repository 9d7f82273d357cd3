// Writing the package, carried in the executable's resources, into the
// user's temporary directory.
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

/// Writes the package resource to `path`, replacing any file there.
/// Returns 0, or the system error code that stopped it.
uint32_t ExtractPackage(Host& host, const wchar_t* path);

/// Writes the package into the temporary directory and returns true with
/// its path. Otherwise shows any message through `app`, sets `exitCode` and
/// returns false: the run ends.
bool RunPackageStage(CWinApp& app, int32_t& exitCode, Text& packagePath);
