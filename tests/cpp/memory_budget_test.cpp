// The memory pre-check: reading what is available from /proc, cgroup v1 and
// v2 and the resource limits (on fake file trees), the refusal it throws, and
// how close the estimate of a distance call comes to the call's real peak.

#include <gtest/gtest.h>
#include <malloc.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <optional>
#include <string>

#include "distance/keyroot_schedule.h"
#include "distance/tree_preprocessing.h"
#include "shared/memory_budget.h"
#include "test_support.h"
#include "tree_edit_distance.h"

namespace grix {
namespace {

namespace fs = std::filesystem;
constexpr double MIB = 1024.0 * 1024.0;
constexpr double GIB = 1024.0 * MIB;

// A directory standing for "/": the files available_memory reads, written by the test.
class FakeRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "grix-memory-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    write("proc/meminfo", "MemTotal:       24000000 kB\nMemFree:         1000 kB\nMemAvailable:   16777216 kB\n");
    write("proc/self/status", "Name:\tpython3\nVmPeak:\t  300000 kB\nVmSize:\t  262144 kB\nVmData:\t  131072 kB\n");
  }
  void TearDown() override { fs::remove_all(root_); }

  void write(const std::string& path, const std::string& text) {
    const fs::path file = root_ / path;
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
  }
  // The files of one cgroup level: limit, usage and inactive file cache.
  void cgroup_v2(const std::string& dir, const std::string& max, double current, double inactive) {
    write(dir + "/memory.max", max + "\n");
    write(dir + "/memory.current", std::to_string(static_cast<long long>(current)) + "\n");
    write(dir + "/memory.stat", "anon 1\nfile 2\ninactive_anon 3\ninactive_file " +
                                    std::to_string(static_cast<long long>(inactive)) + "\nactive_file 4\n");
  }
  void cgroup_v1(const std::string& dir, const std::string& limit, double usage, double inactive) {
    write(dir + "/memory.limit_in_bytes", limit + "\n");
    write(dir + "/memory.usage_in_bytes", std::to_string(static_cast<long long>(usage)) + "\n");
    write(dir + "/memory.stat", "inactive_file 999\ntotal_inactive_file " +
                                    std::to_string(static_cast<long long>(inactive)) + "\n");
  }
  AvailableMemory available(AddressSpaceLimits limits = {}) const {
    return available_memory(root_.string(), limits);
  }

  fs::path root_;
};

const char* const V2_MOUNT = "30 23 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw,nsdelegate\n";

TEST_F(FakeRoot, MemAvailableAloneCounts) {
  const AvailableMemory memory = available();
  EXPECT_EQ(memory.bytes, 16 * GIB);
  EXPECT_EQ(memory.limited_by, "MemAvailable");
}

TEST_F(FakeRoot, OldKernelWithoutMemAvailableFallsBackToMemTotal) {
  write("proc/meminfo", "MemTotal:       1048576 kB\nMemFree:         1000 kB\n");
  EXPECT_EQ(available().bytes, 1 * GIB);
}

TEST_F(FakeRoot, NothingReadableLimitsNothing) {
  fs::remove_all(root_ / "proc");
  EXPECT_EQ(available().bytes, std::numeric_limits<double>::infinity());
}

TEST_F(FakeRoot, CgroupV2LimitLessUsageNotCountingInactiveFileCache) {
  write("proc/self/cgroup", "0::/ci/job\n");
  write("proc/self/mountinfo", std::string("25 1 8:1 / / rw - ext4 /dev/sda1 rw\n") + V2_MOUNT);
  cgroup_v2("sys/fs/cgroup/ci/job", "1073741824", 700 * MIB, 200 * MIB);
  cgroup_v2("sys/fs/cgroup/ci", "max", 5 * GIB, 0);
  const AvailableMemory memory = available();
  EXPECT_EQ(memory.bytes, 1 * GIB - 500 * MIB);
  EXPECT_EQ(memory.limited_by, "cgroup /ci/job memory.max less usage");
}

TEST_F(FakeRoot, CgroupV2AncestorWithLessRoomWins) {
  write("proc/self/cgroup", "0::/ci/job\n");
  write("proc/self/mountinfo", V2_MOUNT);
  cgroup_v2("sys/fs/cgroup/ci/job", "4294967296", 100 * MIB, 0);
  cgroup_v2("sys/fs/cgroup/ci", "2147483648", 1900 * MIB, 0);
  const AvailableMemory memory = available();
  EXPECT_EQ(memory.bytes, 148 * MIB);
  EXPECT_EQ(memory.limited_by, "cgroup /ci memory.max less usage");
}

TEST_F(FakeRoot, UsageAboveTheLimitLeavesNothing) {
  write("proc/self/cgroup", "0::/job\n");
  write("proc/self/mountinfo", V2_MOUNT);
  cgroup_v2("sys/fs/cgroup/job", "104857600", 200 * MIB, 0);
  EXPECT_EQ(available().bytes, 0);
}

TEST_F(FakeRoot, CgroupNamespaceAndEscapedMountPoint) {
  // Inside a cgroup namespace the process sees its cgroup as "/"; the mount
  // point here has a space in it, written \040 in the mount table.
  write("proc/self/cgroup", "0::/\n");
  write("proc/self/mountinfo", "30 23 0:26 / /sys/fs/my\\040cgroup rw - cgroup2 cgroup2 rw\n");
  cgroup_v2("sys/fs/my cgroup", "536870912", 100 * MIB, 50 * MIB);
  EXPECT_EQ(available().bytes, 462 * MIB);
}

TEST_F(FakeRoot, CgroupV1HierarchyMountedFromTheContainersOwnCgroup) {
  // A container without a cgroup namespace: /proc/self/cgroup names the full
  // path, and only the container's own cgroup is mounted.
  write("proc/self/cgroup", "12:pids:/docker/abc\n4:cpu,memory:/docker/abc\n0::/\n");
  write("proc/self/mountinfo",
        "40 31 0:35 /docker/abc /sys/fs/cgroup/memory ro,nosuid - cgroup cgroup rw,memory,cpu\n"
        "41 31 0:36 /docker/abc /sys/fs/cgroup/pids ro,nosuid - cgroup cgroup rw,pids\n");
  cgroup_v1("sys/fs/cgroup/memory", "2147483648", 1200 * MIB, 300 * MIB);
  const AvailableMemory memory = available();
  EXPECT_EQ(memory.bytes, 2 * GIB - 900 * MIB);
  EXPECT_EQ(memory.limited_by, "cgroup / memory.limit_in_bytes less usage");
}

TEST_F(FakeRoot, CgroupV1UnlimitedValueIsNoLimit) {
  write("proc/self/cgroup", "4:memory:/session\n");
  write("proc/self/mountinfo", "35 31 0:32 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n");
  cgroup_v1("sys/fs/cgroup/memory/session", "9223372036854771712", 1 * GIB, 0);
  cgroup_v1("sys/fs/cgroup/memory", "9223372036854771712", 3 * GIB, 0);
  EXPECT_EQ(available().limited_by, "MemAvailable");
}

TEST_F(FakeRoot, BothHierarchiesCountInAHybridSetup) {
  write("proc/self/cgroup", "4:memory:/session\n0::/session\n");
  write("proc/self/mountinfo",
        "35 31 0:32 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n"
        "41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n");
  cgroup_v1("sys/fs/cgroup/memory/session", "3221225472", 1 * GIB, 0);
  cgroup_v2("sys/fs/cgroup/unified/session", "1073741824", 512 * MIB, 0);
  EXPECT_EQ(available().bytes, 512 * MIB);
}

TEST_F(FakeRoot, AddressSpaceAndDataLimitsLessWhatIsInUse) {
  AddressSpaceLimits limits;
  limits.address_space = static_cast<rlim_t>(1 * GIB);  // 256 MiB in use: 768 MiB left
  AvailableMemory memory = available(limits);
  EXPECT_EQ(memory.bytes, 768 * MIB);
  EXPECT_EQ(memory.limited_by, "RLIMIT_AS less the address space in use");
  limits.data = static_cast<rlim_t>(256 * MIB);  // 128 MiB in use: 128 MiB left
  memory = available(limits);
  EXPECT_EQ(memory.bytes, 128 * MIB);
  EXPECT_EQ(memory.limited_by, "RLIMIT_DATA less the data in use");
}

TEST_F(FakeRoot, ResidentLimitLessTheResidentMemory) {
  write("proc/self/status", "Name:\tpython3\nVmSize:\t  262144 kB\nVmRSS:\t  102400 kB\n");
  AddressSpaceLimits limits;
  limits.resident = 600 * MIB;  // 100 MiB resident: 500 MiB left
  const AvailableMemory memory = available(limits);
  EXPECT_EQ(memory.bytes, 500 * MIB);
  EXPECT_EQ(memory.limited_by, "the process's memory limit of 600.0 MiB less its resident memory");
}

TEST(MemoryRefusal, CountsTheResidentLimitSetForTheProcess) {
  set_resident_memory_limit(1 * MIB);  // below what any process holds resident
  EXPECT_EQ(resident_memory_limit(), 1 * MIB);
  EXPECT_THROW(check_memory_budget(UNCHECKED_BYTES, 1), MemoryBudgetExceeded);
  set_resident_memory_limit(0);
  EXPECT_EQ(resident_memory_limit(), 0);
  EXPECT_NO_THROW(check_memory_budget(UNCHECKED_BYTES, 1));
}

TEST(MemoryRefusal, IsABadAllocThatSaysWhatIsNeededAndWhatThereIs) {
  try {
    check_memory_budget(3 * std::pow(1024.0, 6), 2, "this call");
    FAIL() << "not refused";
  } catch (const std::bad_alloc& refusal) {
    const std::string message = refusal.what();
    EXPECT_EQ(message.rfind("this call needs 3.0 EiB (2 workers); ", 0), 0u) << message;
    EXPECT_NE(message.find(" available ("), std::string::npos) << message;
  }
  EXPECT_NO_THROW(check_memory_budget(UNCHECKED_BYTES * 0.99, 1));
}

TEST(MemoryRefusal, ByteCountsAsTheMessageWritesThem) {
  EXPECT_EQ(format_bytes(0), "0 bytes");
  EXPECT_EQ(format_bytes(1023), "1023 bytes");
  EXPECT_EQ(format_bytes(1536), "1.5 KiB");
  EXPECT_EQ(format_bytes(3.9 * GIB), "3.9 GiB");
  EXPECT_EQ(format_bytes(512 * MIB), "512.0 MiB");
}

TEST(MemoryEstimate, BlocksAsGlibcAllocatesThem) {
  EXPECT_EQ(heap_block_bytes(0), 0);
  EXPECT_EQ(heap_block_bytes(4), 32);  // the smallest chunk
  EXPECT_EQ(heap_block_bytes(40), 48);
  EXPECT_EQ(heap_block_bytes(1000), 1008);
  EXPECT_EQ(heap_block_bytes(1 << 20), (1 << 20) + 4096);  // mapped: whole pages
  // A million one-int rows take 56 bytes each, not 4.
  EXPECT_EQ(int_matrix_bytes(1e6, 1), heap_block_bytes(24e6) + 32e6);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define GRIX_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define GRIX_SANITIZED 1
#endif
#endif

double status_bytes(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string word;
  while (status >> word) {
    if (word == key) {
      double kib = 0;
      status >> kib;
      return kib * 1024;
    }
  }
  return -1;
}

// The highest resident size of the call above what was resident before it,
// next to its estimate. Free heap memory is handed back first, so that the
// call cannot reuse pages that an earlier case left resident, and the peak is
// reset to the current size.
struct Measured {
  double estimate, peak;
};

std::optional<Measured> measure(const grix_test::Tree& a, const grix_test::Tree& b, int32_t threads,
                                bool general) {
  const IntMatrix costs = general ? grix_test::label_costs(a, b) : IntMatrix();
  malloc_trim(0);
  if (!(std::ofstream("/proc/self/clear_refs") << "5")) return std::nullopt;
  const double before = status_bytes("VmRSS:");
  if (general) {
    compute_tree_edit_distance(a.labels, a.parents, b.labels, b.parents, costs, threads);
  } else {
    compute_tree_edit_distance_uniform(a.labels, a.parents, b.labels, b.parents, threads);
  }
  const double peak = status_bytes("VmHWM:") - before;
  return Measured{estimate_distance_bytes(a.size(), b.size(), count_leaves(a.parents),
                                          count_leaves(b.parents),
                                          effective_worker_count(threads, a.size(), b.size()), !general),
                  peak};
}

grix_test::Tree star(int32_t n) {
  grix_test::Tree t;
  for (int32_t i = 0; i < n; ++i) {
    t.parents.push_back(i == 0 ? -1 : 0);
    t.labels.push_back(std::to_string(i % 7));
  }
  return t;
}

grix_test::Tree path(int32_t n) {
  grix_test::Tree t;
  for (int32_t i = 0; i < n; ++i) {
    t.parents.push_back(i - 1);
    t.labels.push_back(std::to_string(i));  // every label distinct
  }
  return t;
}

// The estimate must never be below the real peak, or a call that passes the
// check can still run out; and not far above it, or calls that fit are refused.
TEST(MemoryEstimate, CoversTheMeasuredPeakOfEachShape) {
#ifdef GRIX_SANITIZED
  GTEST_SKIP() << "sanitizer runtimes change every allocation's size";
#endif
  std::mt19937 rng(5);
  const grix_test::Tree random1 = grix_test::random_tree(rng, 2500, 4);
  const grix_test::Tree random2 = grix_test::random_tree(rng, 2500, 4);
  struct Case {
    const char* name;
    grix_test::Tree a, b;
    int32_t threads;
    bool general;
  };
  const Case cases[] = {
      {"star 4000 x 4000, 1 worker", star(4000), star(4000), 1, false},
      {"star 4000 x 4000, 2 workers", star(4000), star(4000), 2, false},
      {"path 1,000,000 x 1", path(1000000), path(1), 2, false},
      {"random 2500 x 2500", random1, random2, 2, false},
      {"random 2500 x 2500, caller's costs", random1, random2, 1, true},
  };
  for (const Case& c : cases) {
    const std::optional<Measured> measured = measure(c.a, c.b, c.threads, c.general);
    if (!measured) GTEST_SKIP() << "the peak resident size cannot be reset here";
    EXPECT_GE(measured->estimate, measured->peak) << c.name;
    EXPECT_LE(measured->estimate, 1.1 * measured->peak + 8 * MIB) << c.name;
    std::printf("%-36s estimate %7.1f MiB, peak %7.1f MiB\n", c.name, measured->estimate / MIB,
                measured->peak / MIB);
  }
}

}  // namespace
}  // namespace grix
