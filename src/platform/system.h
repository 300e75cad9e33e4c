#pragma once
// Clock, file and process facts the module needs from the operating system.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// Current UTC time as a file time: 100-nanosecond units since 1601-01-01. For dates and
// file times shown to the host; it jumps when the clock is set.
uint64_t CurrentFileTime();
// Milliseconds of a clock that never goes back (since an unspecified start): for elapsed
// times, which a change of the wall clock must not stretch or stop.
uint64_t SteadyMilliseconds();

// Full path of the running executable (the host process), empty when unknown.
std::string ExecutablePath();
// Directory part of a path, without the trailing slash ("" when there is none).
std::string DirectoryOf(const std::string& path);
// True for a path that names its file on its own, without a folder to start from.
bool IsAbsolutePath(const std::string& path);

bool FileExists(const std::string& path);
// Size in bytes of a regular file; nullopt when it cannot be read.
std::optional<uint64_t> FileSize(const std::string& path);

// Product version (major, minor, build, revision) of a named module. A Windows-style name
// "name.dll" is looked up as "libname.so": first among the modules already loaded in the
// process, then by file name in the dynamic loader's search folders in its order
// (LD_LIBRARY_PATH and run paths, the folders configured in ldConfig, the system folders);
// it is never loaded. The version is read from the versioned file name the module resolves
// to ("libname.so.5.12.3" gives 5.12.3.0). Returns nullopt when the module is not found or
// its file name carries no version.
using ModuleVersion = std::array<uint16_t, 4>;
std::optional<ModuleVersion> ReadModuleVersion(const std::string& moduleName,
                                               const std::string& ldConfig = "/etc/ld.so.conf");

// The library folders a loader configuration file names, in order: one or more per line
// (blanks, commas or colons between them), "include PATTERN" reading the files the pattern
// matches (relative to the file's folder, in name order), "#" starting a comment, "hwcap"
// lines ignored. A missing or unreadable file names none; includes nest at most 8 deep.
std::vector<std::string> ConfiguredLibraryFolders(const std::string& ldConfig);

// Parses the version numbers that follow ".so." in a shared object's file name.
std::optional<ModuleVersion> VersionFromSharedObjectName(const std::string& fileName);

// Maps a Windows module name to its shared-object name: "X.dll" -> "libX.so".
std::string SharedObjectName(const std::string& moduleName);

}  // namespace platform
