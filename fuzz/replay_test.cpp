// Replays a fuzz target's seed corpus as regression tests: one test per file
// of the corpus folder, each input handed to the target's entry point exactly
// as libFuzzer would hand it. A seed that once crashed a parser stays in the
// corpus, so the fault cannot come back unnoticed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

namespace fs = std::filesystem;

std::vector<std::string> corpus_files() {
  std::vector<std::string> files;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(ZEL_FUZZ_CORPUS, error)) {
    if (entry.is_regular_file()) files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<std::uint8_t> read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>());
}

class CorpusReplay : public ::testing::TestWithParam<std::string> {
 protected:
  static void SetUpTestSuite() {
    if (LLVMFuzzerInitialize != nullptr) {
      int argc = 0;
      char** argv = nullptr;
      LLVMFuzzerInitialize(&argc, &argv);
    }
  }
};

TEST(ZEL_FUZZ_NAME, CorpusHoldsSeeds) {
  EXPECT_FALSE(corpus_files().empty()) << "no seeds in " << ZEL_FUZZ_CORPUS;
}

TEST_P(CorpusReplay, InputIsHandled) {
  std::vector<std::uint8_t> input = read_bytes(GetParam());
  // An empty vector's data() may be null; libFuzzer always passes a pointer.
  const std::uint8_t empty = 0;
  EXPECT_EQ(LLVMFuzzerTestOneInput(input.empty() ? &empty : input.data(), input.size()), 0);
}

std::string seed_name(const ::testing::TestParamInfo<std::string>& info) {
  std::string name = fs::path(info.param).filename().string();
  for (char& c : name) {
    if (std::isalnum(static_cast<unsigned char>(c)) == 0) c = '_';
  }
  return name;
}

// The target's name leads each test name, so the seeds of different targets
// stay apart in ctest.
INSTANTIATE_TEST_SUITE_P(ZEL_FUZZ_NAME, CorpusReplay, ::testing::ValuesIn(corpus_files()), seed_name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(CorpusReplay);

}  // namespace
