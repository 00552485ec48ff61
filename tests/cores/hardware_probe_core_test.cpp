// Checks of the hardware probe's operating-system queries: the node name rule, the affinity count
// against masks this process sets on itself, and the node directory count over made-up
// directories (missing, empty, a plain file, listings longer than one read, non-ASCII names whose
// verdict is the caller's, a failing verdict that must not leak the descriptor).
#include "hardware_probe_core.hpp"
#include "check.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace quarvel::hardware_probe;

namespace {

void test_names() {
    CHECK(classify_node_name("node0") == NodeName::yes);
    CHECK(classify_node_name("node12") == NodeName::yes);
    CHECK(classify_node_name("node") == NodeName::no);
    CHECK(classify_node_name("nod") == NodeName::no);
    CHECK(classify_node_name("") == NodeName::no);
    CHECK(classify_node_name("nodeX") == NodeName::no);
    CHECK(classify_node_name("node1x") == NodeName::no);
    CHECK(classify_node_name("node-1") == NodeName::no);
    CHECK(classify_node_name("Node1") == NodeName::no);
    CHECK(classify_node_name("possible") == NodeName::no);
    CHECK(classify_node_name("xnode1") == NodeName::no);
    CHECK(classify_node_name("node\xd9\xa1") == NodeName::needs_decoding);   // ARABIC-INDIC DIGIT ONE
    CHECK(classify_node_name("nodeX\xd9\xa1") == NodeName::needs_decoding);  // the decoded text decides
    CHECK(classify_node_name("\xd9\xa1node1") == NodeName::no);
}

long long cpus_in(const cpu_set_t& set) { return CPU_COUNT(&set); }

void test_affinity() {
    cpu_set_t original;
    CHECK(sched_getaffinity(0, sizeof original, &original) == 0);
    AffinityResult r = affinity_count();
    CHECK(r.status == AffinityResult::Status::ok);
    CHECK(r.count == cpus_in(original) && r.count >= 1);
    // Narrow the mask to its first one and (where there are two) first two CPUs.
    std::vector<int> cpus;
    for (int c = 0; c < CPU_SETSIZE && cpus.size() < 2; ++c)
        if (CPU_ISSET(c, &original)) cpus.push_back(c);
    for (std::size_t keep = 1; keep <= cpus.size(); ++keep) {
        cpu_set_t narrow;
        CPU_ZERO(&narrow);
        for (std::size_t i = 0; i < keep; ++i) CPU_SET(cpus[i], &narrow);
        CHECK(sched_setaffinity(0, sizeof narrow, &narrow) == 0);
        r = affinity_count();
        CHECK(r.status == AffinityResult::Status::ok && r.count == static_cast<long long>(keep));
    }
    CHECK(sched_setaffinity(0, sizeof original, &original) == 0);
    CHECK(affinity_count().count == cpus_in(original));
}

int open_descriptors() {
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    int n = 0;
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n;
}

void touch(const std::string& p) {
    const int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    CHECK(fd >= 0);
    if (fd >= 0) close(fd);
}

void make_dir(const std::string& p) { CHECK(mkdir(p.c_str(), 0700) == 0); }

int remove_entry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

// Gives a fixed verdict for every name handed to it and counts the calls.
struct Judge {
    explicit Judge(int a) : answer(a) {}
    int answer;
    int calls = 0;
    int operator()(const char*) {
        ++calls;
        return answer;
    }
};

void test_node_directory(const std::string& root) {
    Judge never{-1};
    CHECK(numa_node_count((root + "/missing").c_str(), never) == 1);

    const std::string empty = root + "/empty";
    make_dir(empty);
    CHECK(numa_node_count(empty.c_str(), never) == 1);

    const std::string file = root + "/file";
    touch(file);
    CHECK(numa_node_count(file.c_str(), never) == 1);  // not a directory

    const std::string sysfs_like = root + "/sysfs_like";
    make_dir(sysfs_like);
    for (const char* n : {"node0", "node1", "nodeX", "possible", "online", "has_cpu", "node"})
        touch(sysfs_like + "/" + n);
    make_dir(sysfs_like + "/node7");  // a subdirectory counts like any entry
    CHECK(numa_node_count(sysfs_like.c_str(), never) == 3);
    CHECK(never.calls == 0);

    const std::string no_nodes = root + "/no_nodes";
    make_dir(no_nodes);
    for (const char* n : {"possible", "online", "node", "nodeX"}) touch(no_nodes + "/" + n);
    CHECK(numa_node_count(no_nodes.c_str(), never) == 1);

    // Several 16 KiB reads: 1000 nodes among 1000 other entries.
    const std::string many = root + "/many";
    make_dir(many);
    for (int i = 0; i < 1000; ++i) {
        touch(many + "/node" + std::to_string(i));
        touch(many + "/entry_with_a_longer_name_" + std::to_string(i));
    }
    CHECK(numa_node_count(many.c_str(), never) == 1000);

    // Non-ASCII names: the judge alone decides them, and a failing judge ends the count.
    const std::string wide = root + "/wide";
    make_dir(wide);
    for (const char* n : {"node0", "node\xd9\xa1", "nodeX\xd9\xa1", "\xd9\xa1node"}) touch(wide + "/" + n);
    Judge yes{1};
    CHECK(numa_node_count(wide.c_str(), yes) == 3);
    CHECK(yes.calls == 2);
    Judge no{0};
    CHECK(numa_node_count(wide.c_str(), no) == 1);
    CHECK(no.calls == 2);
    const int before = open_descriptors();
    Judge fails{-1};
    CHECK(numa_node_count(wide.c_str(), fails) == -1);
    CHECK(fails.calls == 1);
    CHECK(open_descriptors() == before);
    CHECK(numa_node_count(many.c_str(), never) == 1000 && open_descriptors() == before);
}

}  // namespace

int main() {
    test_names();
    test_affinity();
    char tmpl[] = "/tmp/hardware_probe_core_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    test_node_directory(tmpl);
    nftw(tmpl, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    // The real directory, where this machine has one, gives at least one node.
    CHECK(numa_node_count(kNodeDir, [](const char*) { return 0; }) >= 1);
    return core_check::finish();
}
