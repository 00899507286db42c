// The checks on the input and output paths before anything is touched.
#pragma once

#include <filesystem>
#include <string>

namespace cli {

// The absolute path of a command-line path; a relative one is taken against the
// current directory. Empty when it cannot be made absolute.
std::filesystem::path fileURL(const std::string& path);

// Whether this process may read the file at path.
bool isReadableFile(const std::filesystem::path& path);

// The text after the last dot of the last path component, or empty. A path ending
// in a slash has an empty last component, so no extension.
std::string pathExtension(const std::filesystem::path& path);

// The extension, lower-cased, is mp4, m4v or mov.
bool hasOutputExtension(const std::filesystem::path& path);

// Both paths lead to the same existing file (same device and inode), whatever links
// lie in between.
bool isSameFile(const std::filesystem::path& a, const std::filesystem::path& b);

}  // namespace cli
