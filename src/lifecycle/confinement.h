// The confinement a job puts itself in before it parses a byte of its input, so that
// a decoder taken over by a crafted file can read only the input, write only in the
// output's folder, and open no socket, start no program, debug or mount nothing.
//
// Two layers, each used as far as the running kernel allows:
// - Landlock: the filesystem. Nothing may be opened but the paths of the Confinement
//   below, with the rights given there.
// - seccomp: no execve/execveat, socket/socketpair, ptrace, process_vm_readv/writev,
//   io_uring, mount and the other namespace, module, bpf, perf and key calls; each
//   fails with EPERM (clone3 with ENOSYS, so that threads are made through clone,
//   whose flags the filter can see).
// Both apply to the whole process for the rest of its life. Landlock binds only the
// calling thread and the threads it starts later, so confine() must run before any
// other thread exists.
#pragma once

#include <filesystem>
#include <vector>

namespace lifecycle {

struct Confinement {
    // Read only.
    std::filesystem::path input;
    // Regular files may be created, written, truncated, read back and removed in
    // this folder; it may not be listed, and nothing else may be made in it.
    std::filesystem::path outputFolder;
    // Files (or folders, with everything beneath) that may be read.
    std::vector<std::filesystem::path> readable;
    // Folders that may be listed, not read.
    std::vector<std::filesystem::path> listable;
    // Device nodes that may be opened for reading and writing and take ioctls.
    std::vector<std::filesystem::path> devices;
};

// What confine() managed to set up. The job goes on either way: the protocol has no
// line for it, and the tool ran without both layers before.
struct ConfinementResult {
    bool filesystem = false;  // Landlock is in force
    bool systemCalls = false;  // the seccomp filter is in force
};

// The files the C library itself opens once a job runs, whatever it does.
std::vector<std::filesystem::path> runtimeFiles();

// Sets no_new_privs, then restricts the filesystem and then the system calls. Paths
// that do not exist are left out. Never prints.
ConfinementResult confine(const Confinement& rules);

// The Landlock ABI version of the running kernel, 0 without Landlock.
int landlockVersion();

}  // namespace lifecycle
