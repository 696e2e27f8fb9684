// Replays a fuzz target's corpus (K730_FUZZ_SUITE names the target's suite). A target reports a
// broken invariant by aborting, so a failing input ends this test with the input's name printed
// last on stderr.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

std::vector<uint8_t> ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Replay(const std::string& label, const std::vector<uint8_t>& input) {
  std::fprintf(stderr, "input %s (%zu bytes)\n", label.c_str(), input.size());
  // Not data(): an empty vector's may be null, and libFuzzer never passes null.
  static const uint8_t kEmpty = 0;
  EXPECT_EQ(LLVMFuzzerTestOneInput(input.empty() ? &kEmpty : input.data(), input.size()), 0);
}

TEST(K730_FUZZ_SUITE, EveryInputRunsClean) {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(K730_FUZZ_CORPUS_DIR)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty()) << "no corpus in " << K730_FUZZ_CORPUS_DIR;
  for (const auto& file : files) Replay(file.filename().string(), ReadAll(file));
}

// Degenerate inputs every target must take: nothing, one byte, runs of the
// extreme byte values that make lengths and counts huge or zero.
TEST(K730_FUZZ_SUITE, DegenerateInputsRunClean) {
  Replay("empty", {});
  for (const int b : {0x00, 0x01, 0x7E, 0xFF}) {
    for (const size_t length : {size_t{1}, size_t{2}, size_t{30}, size_t{257}, size_t{2000}}) {
      Replay("byte " + std::to_string(b) + " x " + std::to_string(length),
             std::vector<uint8_t>(length, static_cast<uint8_t>(b)));
    }
  }
}

}  // namespace
