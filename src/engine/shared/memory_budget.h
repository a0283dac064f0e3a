// Refusing, before anything large is allocated, a call that would not fit in
// the memory the process can still take.
//
// The engine's matrices are written as soon as they are allocated. A request
// that the kernel grants through overcommit, or that fits the machine but not
// the container, would otherwise be ended by the out-of-memory killer together
// with the calling process. Each entry point estimates every large allocation
// it is about to make and calls check_memory_budget first; the estimate uses
// glibc's block sizes, so that millions of short rows are not undercounted.
//
// What the process can still take is the least of: the kernel's MemAvailable;
// for each memory cgroup (v2 and v1) of the process and each of its ancestors,
// the limit less the usage (not counting inactive file cache, which the kernel
// reclaims before it kills); and RLIMIT_AS and RLIMIT_DATA less the address
// space and data already in use. Whatever cannot be read does not limit.

#pragma once

#include <sys/resource.h>

#include <cstdint>
#include <memory>
#include <new>
#include <string>

namespace grix {

// The refusal: a std::bad_alloc, so code that handles running out of memory
// handles it too, with a message that says what the call needs and what there
// is (pybind11 turns it into MemoryError with that message).
class MemoryBudgetExceeded : public std::bad_alloc {
 public:
  explicit MemoryBudgetExceeded(std::string message);
  const char* what() const noexcept override;

 private:
  std::shared_ptr<const std::string> message_;  // shared so that copying cannot throw
};

// Requests below this size are not checked: reading the limits costs more than
// such a call, and running out of memory by that little is not prevented
// anywhere else in the process either.
constexpr double UNCHECKED_BYTES = 32.0 * 1024 * 1024;

struct AvailableMemory {
  double bytes;            // +infinity when no limit could be read
  std::string limited_by;  // the limit that sets `bytes`, for messages
};

// The resource limits that count, as getrlimit reports them (RLIM_INFINITY: none).
struct AddressSpaceLimits {
  rlim_t address_space = RLIM_INFINITY;  // RLIMIT_AS, against VmSize
  rlim_t data = RLIM_INFINITY;           // RLIMIT_DATA, against VmData
  double resident = 0;                   // set_resident_memory_limit's bytes, against VmRSS; 0: none
};

// A limit on the resident memory of this process that no file states, such
// as the one a cluster's worker manager enforces by ending processes that
// pass it: from then on what the process can still take is at most `bytes`
// less its resident memory (VmRSS). 0 (or any value not above 0) removes it.
// Safe to call from any thread.
void set_resident_memory_limit(double bytes);
double resident_memory_limit();

// The memory this process can still take, read from /proc, the cgroup file
// systems and getrlimit.
AvailableMemory available_memory();
double available_memory_bytes();

// The same with every file read below `file_root` instead of "/" (mount points
// in the mount table included) and the given limits: for tests.
AvailableMemory available_memory(const std::string& file_root, const AddressSpaceLimits& limits);

// Throws MemoryBudgetExceeded when needed_bytes (UNCHECKED_BYTES or more)
// exceeds available_memory(): "<subject> needs 3.9 GiB (2 workers); 1.0 GiB
// available (<limit>)".
void check_memory_budget(double needed_bytes, int32_t worker_count,
                         const std::string& subject = "the call");

// Bytes as the refusal message writes them: "3.9 GiB", "512.0 MiB".
std::string format_bytes(double bytes);

// What glibc takes for one block of `requested` bytes: a 16-byte aligned
// chunk with its header, or whole pages for a block it maps on its own.
double heap_block_bytes(double requested);

// A std::vector<int32_t> of `count` entries, and a vector of `rows` such
// vectors with `columns` entries each (the row headers included).
double int_vector_bytes(double count);
double int_matrix_bytes(double rows, double columns);

// The peak of what one distance call allocates once its inputs have been
// checked, for trees of n1 and n2 nodes with leaves1 and leaves2 leaves
// (leaves are the keyroots, whose pairs are numbered and bucketed by level),
// worker_count scratch matrices, and a cost matrix built from the labels when
// builds_cost_matrix. The arguments themselves are not counted: they are in
// memory already when the check runs, so what is available excludes them.
double estimate_distance_bytes(int32_t n1, int32_t n2, int64_t leaves1, int64_t leaves2,
                               int32_t worker_count, bool builds_cost_matrix);

// The same for the grix entry points, whose matrices are flat (one block
// each) of `cost_bytes` per cell: the subtree distances, a scratch matrix per
// worker, the rename costs when the engine builds them (label equality, a
// label table, or the caller's matrix mirrored), and per-node delete and
// insert costs when there are any. The trees are prepared before the check.
double estimate_pair_bytes(int32_t n1, int32_t n2, int64_t leaves1, int64_t leaves2,
                           int32_t worker_count, double cost_bytes, bool builds_rename,
                           bool per_node_indel);

}  // namespace grix
