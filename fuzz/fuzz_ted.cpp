// libFuzzer targets over both entry functions: see fuzz_case.h for what each
// input becomes and what it must satisfy. Built twice: fuzz_ted_small
// (GRIX_FUZZ_SCALE=small) and fuzz_ted_threads (GRIX_FUZZ_SCALE=threaded).

#include <cstdio>
#include <cstdlib>

#include "fuzz_case.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const grix_fuzz::FuzzCase c = grix_fuzz::decode_fuzz_case(data, size, grix_fuzz::FuzzScale::GRIX_FUZZ_SCALE);
  const std::string failure = grix_fuzz::check_fuzz_case(c);
  if (!failure.empty()) {
    std::fprintf(stderr, "fuzz_ted: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
