// Running part of a test as an ordinary user, so that permission checks apply even
// where the tests themselves run as root (as CI does): the account "nobody".
#pragma once

#include <filesystem>

namespace testing_support {

// The exit status of a child that could not give up its privileges.
inline constexpr int kCannotDropPrivileges = 123;

// Gives path to the account the unprivileged child runs as, so that it can reach
// and write there; does nothing where the tests already run unprivileged.
void handToUnprivileged(const std::filesystem::path& path);

// In a child process: clears the supplementary groups and takes the group and user
// of "nobody" for good, when running as root. Ends the child with
// kCannotDropPrivileges when the system refuses.
void dropPrivileges();

}  // namespace testing_support
