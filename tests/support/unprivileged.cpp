#include "support/unprivileged.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace testing_support {

namespace {

struct Account {
    uid_t uid;
    gid_t gid;
    bool found;
};

Account nobody() {
    const passwd* user = getpwnam("nobody");
    if (user == nullptr) return {0, 0, false};
    const group* own = getgrnam("nogroup");
    return {user->pw_uid, own != nullptr ? own->gr_gid : user->pw_gid, true};
}

}  // namespace

void handToUnprivileged(const std::filesystem::path& path) {
    if (geteuid() != 0) return;
    const Account account = nobody();
    if (account.found && chown(path.c_str(), account.uid, account.gid) != 0) {
        // The child's own checks tell.
    }
}

void dropPrivileges() {
    if (geteuid() != 0) return;
    const Account account = nobody();
    if (!account.found || setgroups(0, nullptr) != 0 || setresgid(account.gid, account.gid, account.gid) != 0 ||
        setresuid(account.uid, account.uid, account.uid) != 0 || geteuid() == 0) {
        _exit(kCannotDropPrivileges);
    }
}

}  // namespace testing_support
