// Replays the fuzzers' seed corpus and every input that once failed through
// the same decoding and checks as the fuzz targets, at both scales.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "fuzz_case.h"

namespace {

std::vector<std::filesystem::path> fuzz_inputs() {
  std::vector<std::filesystem::path> files;
  for (const char* dir : {GRIX_FUZZ_CORPUS, GRIX_FUZZ_REGRESSIONS}) {
    if (!std::filesystem::is_directory(dir)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      if (entry.is_regular_file()) files.push_back(entry.path());
    }
  }
  return files;
}

TEST(FuzzRegressions, EveryStoredInputPassesTheFuzzChecks) {
  const auto files = fuzz_inputs();
  ASSERT_FALSE(files.empty());
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const auto scale : {grix_fuzz::FuzzScale::small, grix_fuzz::FuzzScale::threaded}) {
      EXPECT_EQ(grix_fuzz::check_fuzz_case(grix_fuzz::decode_fuzz_case(bytes.data(), bytes.size(), scale)), "")
          << file << (scale == grix_fuzz::FuzzScale::small ? " (small)" : " (threaded)");
    }
  }
}

}  // namespace
