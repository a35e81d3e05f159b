// A short, reproducible run of the loader's fuzz target: the seed corpus, then
// a fixed series of mutations of it. The same checks run under libFuzzer with
// sanitizers for long runs (fuzz/CMakeLists.txt).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace ossel::fuzz {
std::string check_load_policy(std::string_view text);
}

namespace ossel {
namespace {

// The standard fixes mt19937_64's sequence: the same mutations on every
// platform and library (no distribution, whose results it leaves open).
struct Random {
  std::mt19937_64 engine{0x05e1};
  size_t below(size_t bound) { return bound == 0 ? 0 : static_cast<size_t>(engine() % bound); }
};

constexpr std::string_view kTokens[] = {
    "version", "tools", "sequences", "aliases", "on_error", "metadata", "allow", "type",
    "tool", "args_match", "require", "max_calls", "after", "sequence", "within", "max",
    ": ", "- ", "\n", "\n  ", "{", "}", "[", "]", ", ", "&a ", "*a", "!!int ", "!!null ",
    "!x ", "~", "0x1F", "-1", "1e3", ".inf", "99999999999999999999", "4294967296", "007",
    "---", "...", "<<", "? ", "|", "'", "\"", "#", "\t", "\xc3\xa9", "\xcc\x81", "\xff",
};

std::string mutate(Random& random, std::string input, const std::vector<std::string>& seeds) {
  size_t steps = 1 + random.below(4);
  for (size_t step = 0; step < steps; ++step) {
    size_t at = random.below(input.size() + 1);
    size_t span = 1 + random.below(8);
    switch (random.below(6)) {
      case 0: if (at < input.size()) input[at] = static_cast<char>(input[at] ^ (1 << random.below(8))); break;
      case 1: input.insert(at, 1, "{}[],:-&*!|>'\"#~\n \t?%.0123456789eE+xob"[random.below(38)]); break;
      case 2: input.erase(at, span); break;
      case 3: if (at < input.size()) input.insert(random.below(input.size() + 1), input.substr(at, span * 4)); break;
      case 4: input.insert(at, kTokens[random.below(std::size(kTokens))]); break;
      default: {
        const std::string& other = seeds[random.below(seeds.size())];
        input = input.substr(0, at) + other.substr(random.below(other.size() + 1));
      }
    }
    if (input.size() > 8192) input.resize(8192);
  }
  return input;
}

std::vector<std::string> read_corpus(const std::filesystem::path& directory) {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  std::vector<std::string> seeds;
  for (const std::string& file : files) {
    std::ifstream in(file, std::ios::binary);
    seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return seeds;
}

TEST(LoadPolicyFuzzReplayTest, SeedCorpusAndFixedMutations) {
  std::vector<std::string> seeds = read_corpus(OSSEL_FUZZ_CORPUS_DIR "/load_policy");
  ASSERT_GE(seeds.size(), 100u);
  for (const std::string& seed : seeds) ASSERT_EQ(fuzz::check_load_policy(seed), "") << seed;
  Random random;
  for (int i = 0; i < 100000; ++i) {
    std::string input = mutate(random, seeds[random.below(seeds.size())], seeds);
    ASSERT_EQ(fuzz::check_load_policy(input), "") << "mutation " << i << ":\n" << input;
  }
}

}  // namespace
}  // namespace ossel
