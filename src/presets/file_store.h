#pragma once
// How the preset file is found and written on disk: symbolic links are followed to the file
// they name, a save replaces the file through a temporary file beside it, and temporary files
// that a killed process left behind are removed.
#include <string>

namespace presets {

// Where a chain of symbolic links at path ends (path itself when it is no link). The end may
// be a name that does not exist yet. Empty when the chain loops or a link cannot be read.
std::string ResolveLinks(const std::string& path);

// Writes content as the whole file at path, following symbolic links to the file they name.
//
// The content goes to a temporary file beside the target ("NAME.tmp-PID-N"), is flushed to
// disk, takes over the old file's permission bits (and owner, where the process may give it)
// and is renamed over the old file: the old file stays whole until the new one is complete.
//
// An existing file that the process may not write is left alone and the save fails. When the
// file may be written but its folder takes no new file (or the old file may not be replaced
// there), the file is rewritten in place instead: truncated, written and flushed. That path
// is not crash-safe: a crash or a full disk in the middle leaves a truncated file.
//
// Anything but a regular file at the target is refused. On failure error describes why.
bool SaveFileContent(const std::string& path, const std::string& content, std::string& error);

// Removes the temporary files of a save of the file at path ("NAME.tmp-PID-N" beside the
// file that links at path end in) whose process no longer exists.
void RemoveStaleTemporaries(const std::string& path);

// Text of an errno value.
std::string ErrorText(int error);

}  // namespace presets
