// A tmpfs mounted for the scope of a test, where the system lets us mount one: a small
// disk to fill, or a read-only place, without touching the machine's own.
#pragma once

#include <sys/mount.h>

#include <filesystem>
#include <string>

namespace testing_support {

class TmpfsMount {
public:
    TmpfsMount(const std::filesystem::path& dir, const std::string& options, unsigned long flags = 0) : dir_(dir) {
        std::filesystem::create_directories(dir);
        mounted_ = ::mount("tmpfs", dir.c_str(), "tmpfs", flags, options.c_str()) == 0;
    }
    ~TmpfsMount() {
        if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
    }
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;
    bool mounted() const { return mounted_; }

private:
    std::filesystem::path dir_;
    bool mounted_ = false;
};

}  // namespace testing_support
