// Operating-system queries of quarvel.native.hardware_probe, free of any interpreter object: the
// number of CPUs in this process's affinity mask and the number of NUMA node entries of the sysfs
// node directory. The binding (hardware_probe.cpp) calls them on its fast paths, when the standard
// functions they stand in for are the ones bound, and turns their results into Python values.
//
// Contract:
//   * Threads: nothing here keeps state between calls; every function may run on any thread,
//     concurrently. They make a few short system calls (one or a few sched_getaffinity calls; one
//     open, a getdents64 per 16 KiB of listing and a close) and are meant to run with the caller's
//     locks held as they are: the binding keeps the interpreter lock throughout.
//   * Errors: nothing throws or sets interpreter state. `affinity_count` reports failure in its
//     result, with the errno of the failing call; `numa_node_count` answers every failure of the
//     directory itself (missing, unreadable, failing part-way) with 1, the answer the documented
//     behaviour gives for it. The only other failure is one reported by the caller's judge of a
//     non-ASCII name, which ends the listing with -1 (the descriptor is closed on every path).
//   * Linux only: on other platforms the header declares just the name classification.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__linux__)
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace quarvel::hardware_probe {

// The sysfs directory whose "node<digits>" entries are the NUMA nodes.
inline constexpr char kNodeDir[] = "/sys/devices/system/node";

// How a directory entry name (bytes, NUL-terminated) counts as a NUMA node entry.
enum class NodeName {
    no,             // not "node" followed by at least one character, or not all ASCII digits after it
    yes,            // "node" followed by one or more ASCII digits
    needs_decoding  // "node" followed by a non-ASCII byte somewhere: only the decoded text can tell
};

// "node" then only ASCII digits is a node; any non-ASCII byte after the prefix leaves the verdict
// to the decoded name (str.isdigit() holds for other scripts' digits too).
inline NodeName classify_node_name(const char* name) noexcept {
    if (std::strncmp(name, "node", 4) != 0 || name[4] == '\0') return NodeName::no;
    bool ascii_digits = true;
    for (const char* p = name + 4; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x80) return NodeName::needs_decoding;
        if (c < '0' || c > '9') ascii_digits = false;
    }
    return ascii_digits ? NodeName::yes : NodeName::no;
}

#if defined(__linux__)

struct AffinityResult {
    enum class Status { ok, os_error, no_memory, too_large };
    Status status;
    long long count;  // CPUs in the mask when status is ok
    int error;        // errno of the failing call when status is os_error
};

// Number of CPUs in this process's affinity mask. A mask too small for the kernel's (EINVAL) is
// grown by doubling, as the interpreter's own sched_getaffinity does, until the kernel accepts it.
inline AffinityResult affinity_count() noexcept {
    cpu_set_t fixed;
    if (sched_getaffinity(0, sizeof fixed, &fixed) == 0)
        return {AffinityResult::Status::ok, CPU_COUNT_S(sizeof fixed, &fixed), 0};
    if (errno != EINVAL) return {AffinityResult::Status::os_error, 0, errno};
    for (int ncpus = static_cast<int>(sizeof fixed * CHAR_BIT) * 2;; ncpus *= 2) {
        const std::size_t setsize = CPU_ALLOC_SIZE(ncpus);
        cpu_set_t* mask = CPU_ALLOC(ncpus);
        if (mask == nullptr) return {AffinityResult::Status::no_memory, 0, 0};
        if (sched_getaffinity(0, setsize, mask) == 0) {
            const long long n = CPU_COUNT_S(setsize, mask);
            CPU_FREE(mask);
            return {AffinityResult::Status::ok, n, 0};
        }
        const int err = errno;
        CPU_FREE(mask);
        if (err != EINVAL) return {AffinityResult::Status::os_error, 0, err};
        if (ncpus > INT_MAX / 2) return {AffinityResult::Status::too_large, 0, 0};
    }
}

// Layout of the records getdents64 fills in.
struct LinuxDirent64 {
    std::uint64_t d_ino;
    std::int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[1];
};

// The number of node entries of directory `dir`, or 1 when there is none or the directory cannot
// be opened or read to the end. A name that needs decoding is handed to `judge(name)`, which
// returns 1 for a node, 0 for anything else and -1 on its own failure (the count is then -1).
template <class Judge>
long long numa_node_count(const char* dir, Judge&& judge) {
    const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 1;
    alignas(8) char buf[16384];
    long long count = 0;
    bool failed = false;
    for (;;) {
        const long got = syscall(SYS_getdents64, fd, buf, sizeof buf);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            failed = true;
            break;
        }
        for (long off = 0; off < got;) {
            const auto* e = reinterpret_cast<const LinuxDirent64*>(buf + off);
            off += e->d_reclen;
            switch (classify_node_name(e->d_name)) {
                case NodeName::no:
                    break;
                case NodeName::yes:
                    ++count;
                    break;
                case NodeName::needs_decoding: {
                    const int verdict = judge(static_cast<const char*>(e->d_name));
                    if (verdict < 0) {
                        close(fd);
                        return -1;
                    }
                    count += verdict;
                    break;
                }
            }
        }
    }
    close(fd);
    if (failed) return 1;
    return count > 0 ? count : 1;
}

#endif  // __linux__

}  // namespace quarvel::hardware_probe
