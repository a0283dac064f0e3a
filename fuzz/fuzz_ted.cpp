// libFuzzer target over both entry functions: see fuzz_case.h for what each
// input becomes and what it must satisfy.

#include <cstdio>
#include <cstdlib>

#include "fuzz_case.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string failure = grix_fuzz::check_fuzz_case(grix_fuzz::decode_fuzz_case(data, size));
  if (!failure.empty()) {
    std::fprintf(stderr, "fuzz_ted: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
