#include "lifecycle/confinement.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/landlock.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>
#include <initializer_list>

namespace lifecycle {
namespace {

// Rights newer than the kernel headers the build may have; each belongs to the ABI
// version noted, and is only asked for when the running kernel knows it.
constexpr std::uint64_t accessRefer = 1ULL << 13;      // ABI 2
constexpr std::uint64_t accessTruncate = 1ULL << 14;   // ABI 3
constexpr std::uint64_t accessIoctlDev = 1ULL << 15;   // ABI 5
constexpr std::uint64_t accessNetBindTcp = 1ULL << 0;  // ABI 4
constexpr std::uint64_t accessNetConnectTcp = 1ULL << 1;
constexpr unsigned createRulesetVersion = 1U << 0;
constexpr int pathBeneath = 1;  // LANDLOCK_RULE_PATH_BENEATH

constexpr std::uint64_t accessExecute = 1ULL << 0;
constexpr std::uint64_t accessWriteFile = 1ULL << 1;
constexpr std::uint64_t accessReadFile = 1ULL << 2;
constexpr std::uint64_t accessReadDir = 1ULL << 3;
constexpr std::uint64_t accessRemoveFile = 1ULL << 5;
constexpr std::uint64_t accessMakeReg = 1ULL << 8;
// Every right of ABI 1: executing, writing, reading, listing, removing and making
// anything.
constexpr std::uint64_t abi1Rights = (1ULL << 13) - 1;
// The rights that apply to a file rather than to a folder's entries.
constexpr std::uint64_t fileRights = accessExecute | accessWriteFile | accessReadFile | accessTruncate | accessIoctlDev;

// The attribute with every field up to ABI 6; the size passed tells the kernel how
// many of them this call uses.
struct RulesetAttr {
    std::uint64_t handledAccessFs;
    std::uint64_t handledAccessNet;
};

struct PathBeneathAttr {
    std::uint64_t allowedAccess;
    std::int32_t parentFd;
} __attribute__((packed));

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

std::uint64_t handledRights(int abi) {
    std::uint64_t rights = abi1Rights;
    if (abi >= 2) rights |= accessRefer;
    if (abi >= 3) rights |= accessTruncate;
    if (abi >= 5) rights |= accessIoctlDev;
    return rights;
}

// Allows rights beneath path (or on it, for a file); false when the rule cannot be
// added for any reason other than the path being absent.
bool allow(int ruleset, const std::filesystem::path& path, std::uint64_t rights, std::uint64_t handled) {
    Descriptor target(open(path.c_str(), O_PATH | O_CLOEXEC));
    if (target.get() < 0) return errno == ENOENT || errno == ENOTDIR || errno == EACCES;
    struct stat info {};
    if (fstat(target.get(), &info) != 0) return false;
    if (!S_ISDIR(info.st_mode)) rights &= fileRights;
    PathBeneathAttr rule{rights & handled, target.get()};
    if (rule.allowedAccess == 0) return true;
    return syscall(SYS_landlock_add_rule, ruleset, pathBeneath, &rule, 0) == 0;
}

#ifdef QVC_SANITIZER_BUILD
// The folders of the log files the sanitizers' options name ("log_path=folder/name").
std::vector<std::filesystem::path> sanitizerLogFolders() {
    std::vector<std::filesystem::path> folders;
    for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS"}) {
        const char* value = std::getenv(name);
        if (value == nullptr) continue;
        const std::string_view options(value);
        const std::string_view key = "log_path=";
        for (std::size_t at = options.find(key); at != std::string_view::npos; at = options.find(key, at + 1)) {
            if (at != 0 && options[at - 1] != ':' && options[at - 1] != ' ') continue;
            const std::string_view rest = options.substr(at + key.size());
            const std::filesystem::path file(std::string(rest.substr(0, rest.find_first_of(": "))));
            if (file.has_parent_path()) folders.push_back(file.parent_path());
        }
    }
    return folders;
}
#endif

bool restrictFilesystem(const Confinement& rules) {
    const int abi = landlockVersion();
    if (abi <= 0) return false;
    const std::uint64_t handled = handledRights(abi);
    RulesetAttr attr{handled, accessNetBindTcp | accessNetConnectTcp};
    const std::size_t size = abi >= 4 ? sizeof(RulesetAttr) : sizeof(std::uint64_t);
    Descriptor ruleset(static_cast<int>(syscall(SYS_landlock_create_ruleset, &attr, size, 0)));
    if (ruleset.get() < 0) return false;

    bool ok = allow(ruleset.get(), rules.input, accessReadFile, handled);
    ok = ok && allow(ruleset.get(), rules.outputFolder,
                     accessMakeReg | accessRemoveFile | accessWriteFile | accessReadFile | accessTruncate, handled);
    for (const auto& path : rules.readable) ok = ok && allow(ruleset.get(), path, accessReadFile | accessReadDir, handled);
    for (const auto& path : rules.listable) ok = ok && allow(ruleset.get(), path, accessReadDir, handled);
    for (const auto& path : rules.devices) {
        ok = ok && allow(ruleset.get(), path, accessReadFile | accessWriteFile | accessIoctlDev, handled);
    }
#ifdef QVC_SANITIZER_BUILD
    // The sanitizers' runtime reads /proc/self (maps, task list) to stop the world and
    // to symbolize, and runs the symbolizer on our binaries: read and execute anywhere.
    ok = ok && allow(ruleset.get(), "/", accessReadFile | accessReadDir | accessExecute, handled);
    // A runtime told to log to files (log_path) opens its file when it first reports,
    // or at the end to list the suppressions it matched; refused, it dies with its
    // own exit status. Its folder may take new files.
    for (const auto& folder : sanitizerLogFolders()) {
        ok = ok && allow(ruleset.get(), folder, accessMakeReg | accessWriteFile | accessTruncate, handled);
    }
#endif
    if (!ok) return false;
    return syscall(SYS_landlock_restrict_self, ruleset.get(), 0) == 0;
}

bool filterSystemCalls() {
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
    if (filter == nullptr) return false;
    // Any thread that might exist gets the same filter.
    bool ok = seccomp_attr_set(filter, SCMP_FLTATR_CTL_TSYNC, 1) == 0;
    const auto refuse = [&](int call, int error) {
        ok = ok && seccomp_rule_add(filter, SCMP_ACT_ERRNO(static_cast<std::uint32_t>(error)), call, 0) == 0;
    };
    for (int call : {
#ifndef QVC_SANITIZER_BUILD
             // LeakSanitizer stops the other threads with ptrace, and the sanitizers
             // start their symbolizer as a program of its own.
             SCMP_SYS(execve), SCMP_SYS(execveat), SCMP_SYS(ptrace),
#endif
             SCMP_SYS(socket), SCMP_SYS(socketpair), SCMP_SYS(process_vm_readv), SCMP_SYS(process_vm_writev),
             SCMP_SYS(io_uring_setup), SCMP_SYS(io_uring_enter), SCMP_SYS(io_uring_register),
             SCMP_SYS(mount), SCMP_SYS(umount2), SCMP_SYS(pivot_root), SCMP_SYS(chroot), SCMP_SYS(fsopen),
             SCMP_SYS(fsconfig), SCMP_SYS(fsmount), SCMP_SYS(fspick), SCMP_SYS(move_mount),
             SCMP_SYS(open_tree), SCMP_SYS(mount_setattr), SCMP_SYS(bpf), SCMP_SYS(perf_event_open),
             SCMP_SYS(keyctl), SCMP_SYS(add_key), SCMP_SYS(request_key), SCMP_SYS(unshare), SCMP_SYS(setns),
             SCMP_SYS(init_module), SCMP_SYS(finit_module), SCMP_SYS(delete_module), SCMP_SYS(kexec_load),
             SCMP_SYS(kexec_file_load)}) {
        refuse(call, EPERM);
    }
    // clone3 passes its flags in memory the filter cannot read: the C library falls
    // back to clone on ENOSYS, whose flags are checked here.
    refuse(SCMP_SYS(clone3), ENOSYS);
    for (std::uint64_t flag : {CLONE_NEWNS, CLONE_NEWCGROUP, CLONE_NEWUTS, CLONE_NEWIPC, CLONE_NEWUSER, CLONE_NEWPID,
                               CLONE_NEWNET}) {
        const scmp_arg_cmp hasFlag{0, SCMP_CMP_MASKED_EQ, flag, flag};
        ok = ok && seccomp_rule_add_array(filter, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(clone), 1, &hasFlag) == 0;
    }
    ok = ok && seccomp_load(filter) == 0;
    seccomp_release(filter);
    return ok;
}

}  // namespace

int landlockVersion() {
    const long version = syscall(SYS_landlock_create_ruleset, nullptr, 0, createRulesetVersion);
    return version < 0 ? 0 : static_cast<int>(version);
}

std::vector<std::filesystem::path> runtimeFiles() {
    // The C library's allocator reads the overcommit policy the first time it trims
    // the heap of a thread's arena; it does without when refused, but need not.
    return {"/proc/sys/vm/overcommit_memory"};
}

ConfinementResult confine(const Confinement& rules) {
    ConfinementResult result;
    // Required by both layers for a process without privileges, and keeps any
    // set-user-ID program out of reach even where they are missing.
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return result;
    result.filesystem = restrictFilesystem(rules);
    result.systemCalls = filterSystemCalls();
    return result;
}

}  // namespace lifecycle
