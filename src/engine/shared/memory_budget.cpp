#include "shared/memory_budget.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <utility>
#include <vector>

namespace grix {

MemoryBudgetExceeded::MemoryBudgetExceeded(std::string message)
    : message_(std::make_shared<const std::string>(std::move(message))) {}

const char* MemoryBudgetExceeded::what() const noexcept { return message_->c_str(); }

namespace {

constexpr double INFINITE = std::numeric_limits<double>::infinity();

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  return parts;
}

std::optional<double> parse_number(const std::string& text) {
  const char* begin = text.c_str();
  char* end = nullptr;
  const double value = std::strtod(begin, &end);
  if (end == begin || !std::isfinite(value)) return std::nullopt;
  return value;
}

// The value after "key" on its own line of `text`: "MemAvailable: 123 kB"
// (meminfo, status) or "inactive_file 123" (memory.stat).
std::optional<double> field(const std::string& text, const std::string& key) {
  for (const std::string& line : split(text, '\n')) {
    if (line.compare(0, key.size(), key) != 0 || line.size() == key.size()) continue;
    const char next = line[key.size()];
    if (next != ':' && next != ' ') continue;
    return parse_number(line.substr(key.size() + 1));
  }
  return std::nullopt;
}

std::optional<double> kib_field(const std::string& text, const std::string& key) {
  const std::optional<double> kib = field(text, key);
  if (!kib) return std::nullopt;
  return *kib * 1024;
}

// Mount points in the mount table write space, tab, newline and backslash
// as octal escapes.
std::string unescape_mount_path(const std::string& path) {
  std::string out;
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '\\' && i + 3 < path.size()) {
      const std::string digits = path.substr(i + 1, 3);
      if (digits.find_first_not_of("01234567") == std::string::npos) {
        out.push_back(static_cast<char>(std::stoi(digits, nullptr, 8)));
        i += 3;
        continue;
      }
    }
    out.push_back(path[i]);
  }
  return out;
}

// One memory cgroup hierarchy as this process sees it.
struct CgroupVersion {
  const char* limit_file;
  const char* usage_file;
  const char* inactive_file_key;  // in memory.stat
};
constexpr CgroupVersion CGROUP_V2{"memory.max", "memory.current", "inactive_file"};
constexpr CgroupVersion CGROUP_V1{"memory.limit_in_bytes", "memory.usage_in_bytes", "total_inactive_file"};

// cgroup v1 writes "no limit" as the largest page multiple of a 64-bit int.
constexpr double UNLIMITED_FROM = 1e18;

// The directory of `cgroup_path` (from /proc/self/cgroup) under the mount of
// its hierarchy: `mount_root` is the part of the hierarchy that is mounted.
std::string cgroup_directory(const std::string& mount_point, const std::string& mount_root,
                             const std::string& cgroup_path) {
  if (mount_root == "/") return mount_point + (cgroup_path == "/" ? "" : cgroup_path);
  if (cgroup_path.compare(0, mount_root.size(), mount_root) == 0 &&
      (cgroup_path.size() == mount_root.size() || cgroup_path[mount_root.size()] == '/')) {
    return mount_point + cgroup_path.substr(mount_root.size());
  }
  // The hierarchy is mounted from elsewhere (a container seeing only its own
  // cgroup): the mount point is the nearest directory of this process's cgroup.
  return mount_point;
}

struct CgroupMount {
  std::string directory;    // the process's cgroup
  std::string mount_point;  // the top of what is visible
};

// The process's memory cgroups, v2 and v1, found from /proc/self/cgroup and
// the mount table.
std::vector<std::pair<CgroupMount, const CgroupVersion*>> memory_cgroups(const std::string& root) {
  std::vector<std::pair<CgroupMount, const CgroupVersion*>> found;
  const std::optional<std::string> membership = read_file(root + "/proc/self/cgroup");
  const std::optional<std::string> mounts = read_file(root + "/proc/self/mountinfo");
  if (!membership || !mounts) return found;
  std::optional<std::string> v2_path, v1_path;
  for (const std::string& line : split(*membership, '\n')) {
    const size_t first = line.find(':');
    const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    if (line.compare(0, first, "0") == 0 && controllers.empty()) v2_path = path;
    for (const std::string& controller : split(controllers, ',')) {
      if (controller == "memory") v1_path = path;
    }
  }
  bool v2_found = false, v1_found = false;
  for (const std::string& line : split(*mounts, '\n')) {
    // id parent major:minor root mount-point options [optional...] - type source super-options
    const std::vector<std::string> fields = split(line, ' ');
    const auto dash = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 6 || dash == fields.end() || fields.end() - dash < 4) continue;
    const std::string& type = dash[1];
    const std::string mount_root = unescape_mount_path(fields[3]);
    const std::string mount_point = root + unescape_mount_path(fields[4]);
    if (type == "cgroup2" && v2_path && !v2_found) {
      found.push_back({{cgroup_directory(mount_point, mount_root, *v2_path), mount_point}, &CGROUP_V2});
      v2_found = true;
    } else if (type == "cgroup" && v1_path && !v1_found) {
      for (const std::string& option : split(dash[3], ',')) {
        if (option != "memory") continue;
        found.push_back({{cgroup_directory(mount_point, mount_root, *v1_path), mount_point}, &CGROUP_V1});
        v1_found = true;
      }
    }
  }
  return found;
}

class Minimum {
 public:
  void consider(double bytes, const std::string& limited_by) {
    if (bytes < best_.bytes) best_ = {std::max(bytes, 0.0), limited_by};
  }
  const AvailableMemory& best() const { return best_; }

 private:
  AvailableMemory best_{INFINITE, "no limit known"};
};

// Every level from the process's cgroup up to the top of the mount: each
// one's limit less its usage. Inactive file cache is reclaimed before the
// limit is enforced, so it does not count as used.
void consider_cgroup(Minimum& minimum, const CgroupMount& cgroup, const CgroupVersion& version) {
  std::string directory = cgroup.directory;
  while (true) {
    const std::optional<std::string> limit_text = read_file(directory + "/" + version.limit_file);
    const std::optional<double> limit = limit_text ? parse_number(*limit_text) : std::nullopt;
    if (limit && *limit < UNLIMITED_FROM) {
      const std::optional<std::string> usage_text = read_file(directory + "/" + version.usage_file);
      const std::optional<double> usage = usage_text ? parse_number(*usage_text) : std::nullopt;
      const std::optional<std::string> stat = read_file(directory + "/memory.stat");
      const double inactive_file = stat ? field(*stat, version.inactive_file_key).value_or(0) : 0;
      const double used = usage ? std::max(*usage - inactive_file, 0.0) : 0;
      const std::string name = directory.size() > cgroup.mount_point.size()
                                   ? directory.substr(cgroup.mount_point.size())
                                   : std::string("/");
      minimum.consider(*limit - used,
                       std::string("cgroup ") + name + " " + version.limit_file + " less usage");
    }
    if (directory.size() <= cgroup.mount_point.size()) break;
    const size_t slash = directory.find_last_of('/');
    if (slash == std::string::npos || slash < cgroup.mount_point.size()) {
      directory = cgroup.mount_point;
    } else {
      directory.resize(slash);
    }
  }
}

}  // namespace

AvailableMemory available_memory(const std::string& file_root, const AddressSpaceLimits& limits) {
  Minimum minimum;
  if (const std::optional<std::string> meminfo = read_file(file_root + "/proc/meminfo")) {
    if (const std::optional<double> available = kib_field(*meminfo, "MemAvailable")) {
      minimum.consider(*available, "MemAvailable");
    } else if (const std::optional<double> total = kib_field(*meminfo, "MemTotal")) {
      minimum.consider(*total, "MemTotal");
    }
  }
  for (const auto& [cgroup, version] : memory_cgroups(file_root)) consider_cgroup(minimum, cgroup, *version);
  if (limits.address_space != RLIM_INFINITY || limits.data != RLIM_INFINITY || limits.resident > 0) {
    const std::string status = read_file(file_root + "/proc/self/status").value_or("");
    if (limits.address_space != RLIM_INFINITY) {
      minimum.consider(static_cast<double>(limits.address_space) - kib_field(status, "VmSize").value_or(0),
                       "RLIMIT_AS less the address space in use");
    }
    if (limits.data != RLIM_INFINITY) {
      minimum.consider(static_cast<double>(limits.data) - kib_field(status, "VmData").value_or(0),
                       "RLIMIT_DATA less the data in use");
    }
    if (limits.resident > 0) {
      minimum.consider(limits.resident - kib_field(status, "VmRSS").value_or(0),
                       "the process's memory limit of " + format_bytes(limits.resident) +
                           " less its resident memory");
    }
  }
  return minimum.best();
}

namespace {
std::atomic<double> resident_limit{0};
}  // namespace

void set_resident_memory_limit(double bytes) { resident_limit = bytes > 0 && std::isfinite(bytes) ? bytes : 0; }

double resident_memory_limit() { return resident_limit; }

AvailableMemory available_memory() {
  AddressSpaceLimits limits;
  limits.resident = resident_limit;
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) == 0) limits.address_space = limit.rlim_cur;
  if (getrlimit(RLIMIT_DATA, &limit) == 0) limits.data = limit.rlim_cur;
  return available_memory("", limits);
}

double available_memory_bytes() { return available_memory().bytes; }

std::string format_bytes(double bytes) {
  static const char* const units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  size_t unit = 0;
  while (bytes >= 1024 && unit + 1 < sizeof(units) / sizeof(units[0])) {
    bytes /= 1024;
    ++unit;
  }
  char text[64];
  std::snprintf(text, sizeof(text), unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
  return text;
}

void check_memory_budget(double needed_bytes, int32_t worker_count, const std::string& subject) {
  if (needed_bytes < UNCHECKED_BYTES) return;
  const AvailableMemory available = available_memory();
  if (needed_bytes <= available.bytes) return;
  throw MemoryBudgetExceeded(subject + " needs " + format_bytes(needed_bytes) + " (" +
                             std::to_string(worker_count) + (worker_count == 1 ? " worker" : " workers") +
                             "); " + format_bytes(available.bytes) + " available (" +
                             available.limited_by + ")");
}

double heap_block_bytes(double requested) {
  if (requested <= 0) return 0;
  // glibc maps blocks of 128 KiB and more on their own, in whole pages;
  // smaller ones get an 8-byte header, 16-byte alignment and at least 32 bytes.
  constexpr double MAP_THRESHOLD = 128 * 1024;
  static const double page = static_cast<double>(sysconf(_SC_PAGESIZE) > 0 ? sysconf(_SC_PAGESIZE) : 4096);
  if (requested >= MAP_THRESHOLD) return std::ceil((requested + 16) / page) * page;
  return std::max(32.0, std::ceil((requested + 8) / 16) * 16);
}

double int_vector_bytes(double count) { return heap_block_bytes(count * sizeof(int32_t)); }

double int_matrix_bytes(double rows, double columns) {
  constexpr double ROW_HEADER = sizeof(std::vector<int32_t>);
  return heap_block_bytes(rows * ROW_HEADER) + rows * int_vector_bytes(columns);
}

namespace {

// What a run of the schedule holds besides its matrices: each keyroot's
// level and its place in the leaf and inner lists of its tree, the tasks of
// one level (level_tasks.h: at most one per level1 x level2 product and per
// TASK_CELLS of it, whose cells are at most (2 n1) x (2 n2), and per chunk of
// leaves), each worker's leaf-group vectors (leaf_keyroots.h), and each
// worker thread's start state and the pages of its stack it touches.
double schedule_bookkeeping_bytes(double L1, double L2, double N1, double N2, double W, double cost_bytes) {
  // Each leaf-group vector is as long as a tree, the column chunk 1024 leaves.
  const double per_keyroot = 3 * (int_vector_bytes(L1) + int_vector_bytes(L2));
  const double tasks = L1 * (L2 / 1024 + 1) + L2 + 4 * (L1 + 2) * (N2 + 2) / 65536 +
                       4 * (L1 + 2) * (L2 + 2) / 65536 + 1;
  const double products = 2 * heap_block_bytes(8 * (std::min(L1, L2) + 2));
  const double by_level = 2 * heap_block_bytes((L1 + L2) * sizeof(std::vector<int32_t>)) + 32 * (L1 + L2) +
                          heap_block_bytes(8 * (L1 + L2));
  const double threads = W * (128 + 64 * 1024) + heap_block_bytes(W * 8);
  const double leaf_groups = W * (heap_block_bytes(cost_bytes * (N1 + 2)) + heap_block_bytes(cost_bytes * 1024) +
                                  2 * heap_block_bytes(cost_bytes * (N2 + 2)));
  return per_keyroot + by_level + products + heap_block_bytes(40 * tasks) + threads + leaf_groups;
}

}  // namespace

double estimate_distance_bytes(int32_t n1, int32_t n2, int64_t leaves1, int64_t leaves2,
                               int32_t worker_count, bool builds_cost_matrix) {
  const double N1 = n1, N2 = n2, L1 = static_cast<double>(leaves1), L2 = static_cast<double>(leaves2);
  const double W = worker_count;

  // Kept from preprocessing to the end: the rightmost leaves, and the
  // keyroots (one per leaf), grown one by one to at most twice their number.
  const double prepared = int_vector_bytes(N1) + int_vector_bytes(2 * L1) + int_vector_bytes(N2) +
                          int_vector_bytes(2 * L2);
  // Preprocessing one tree: a child list per node, holding a block for each
  // inner node (grown by doubling), then a table of one int per node.
  auto preprocessing = [](double n, double leaves) {
    return heap_block_bytes(n * sizeof(std::vector<int32_t>)) + 32 * (n - leaves) + 8 * n + int_vector_bytes(n);
  };
  const double cost_matrix = int_matrix_bytes(N1, N2);
  // The uniform variant numbers the labels (a hash table holding a node of 48
  // bytes per distinct label, and a bucket array), then builds its costs.
  const double label_numbers = int_vector_bytes(N1) + int_vector_bytes(N2);
  const double label_table = heap_block_bytes(8 * (1.1 * (N1 + N2) + 16)) + 48 * (N1 + N2);
  const double labelling = builds_cost_matrix ? label_numbers + std::max(label_table, cost_matrix) : 0;

  // The schedule: subtree distances, a scratch matrix per worker (and the row
  // they are filled from), every keyroot pair's level, and the pairs sorted
  // into one bucket per level.
  // Scratch matrices are made only for pairs of inner keyroots; each
  // tree's root is one unless the tree is a single node.
  const double kernel_scratch = n1 >= 2 && n2 >= 2 ? 1 : 0;
  const double scratch = heap_block_bytes(W * sizeof(std::vector<std::vector<int32_t>>)) +
                         kernel_scratch * (W * int_matrix_bytes(N1 + 1, N2 + 1) + int_vector_bytes(N2 + 1));
  const double schedule = (builds_cost_matrix ? cost_matrix : 0) + int_matrix_bytes(N1, N2) + scratch +
                          schedule_bookkeeping_bytes(L1, L2, N1, N2, W, sizeof(int32_t));

  return prepared + std::max({preprocessing(N1, L1), preprocessing(N2, L2), labelling, schedule});
}

double estimate_pair_bytes(int32_t n1, int32_t n2, int64_t leaves1, int64_t leaves2,
                           int32_t worker_count, double cost_bytes, bool builds_rename,
                           bool per_node_indel) {
  const double N1 = n1, N2 = n2, W = worker_count;
  auto flat = [cost_bytes](double cells) { return heap_block_bytes(cells * cost_bytes); };
  const double tree_dist = flat(N1 * N2);
  const double rename = builds_rename ? flat(N1 * N2) : 0;
  const double kernel_scratch = n1 >= 2 && n2 >= 2 ? 1 : 0;  // as in estimate_distance_bytes
  const double scratch = heap_block_bytes(W * 32) + kernel_scratch * W * flat((N1 + 1) * (N2 + 1));
  // The caller's per-node costs and their copies in the orientation that runs.
  const double indel = per_node_indel ? 2 * (flat(N1) + flat(N2)) : 0;
  return tree_dist + rename + scratch + indel +
         schedule_bookkeeping_bytes(static_cast<double>(leaves1), static_cast<double>(leaves2), N1, N2, W, cost_bytes);
}

}  // namespace grix
