#include "cli/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <system_error>

namespace cli {

std::filesystem::path fileURL(const std::string& path) {
    std::error_code error;
    auto absolute = std::filesystem::absolute(path, error);
    return error ? std::filesystem::path() : absolute;
}

bool isReadableFile(const std::filesystem::path& path) {
    return !path.empty() && access(path.c_str(), R_OK) == 0;
}

std::string pathExtension(const std::filesystem::path& path) {
    const std::string& text = path.native();
    const std::string component = text.substr(text.rfind('/') + 1);  // npos + 1 == 0
    const auto dot = component.rfind('.');
    return dot == std::string::npos ? std::string() : component.substr(dot + 1);
}

bool hasOutputExtension(const std::filesystem::path& path) {
    std::string extension = pathExtension(path);
    // The three accepted names are plain ASCII, and no other character lower-cases
    // to one of their letters, so ASCII lower-casing decides the same as Unicode's.
    for (char& c : extension) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return extension == "mp4" || extension == "m4v" || extension == "mov";
}

bool isSameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
    struct stat first {};
    struct stat second {};
    if (stat(a.c_str(), &first) != 0 || stat(b.c_str(), &second) != 0) return false;
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

}  // namespace cli
