// Runs a libFuzzer harness without libFuzzer, so that every harness also runs under GCC.
//
//   harness [-runs=N] [-seed=S] [-max_len=L] corpus_dir_or_file...
//
// Every corpus file is replayed first; then N inputs are made from a fixed seed: a third purely
// random, the rest mutations of corpus entries (bit flips, byte changes, cuts, inserts, duplicated
// ranges and splices). The same seed gives the same inputs, so a finding can be replayed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

using Bytes = std::vector<uint8_t>;

bool ReadFile(const std::filesystem::path& path, Bytes* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

void CollectCorpus(const std::filesystem::path& path, std::vector<Bytes>* corpus) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(path, ec))
      if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const auto& file : files) CollectCorpus(file, corpus);
    return;
  }
  Bytes bytes;
  if (ReadFile(path, &bytes)) corpus->push_back(std::move(bytes));
}

// Runs one input from a heap buffer of exactly its size, so ASan sees every read past its end.
void RunOne(const Bytes& input) {
  uint8_t* copy = static_cast<uint8_t*>(std::malloc(input.empty() ? 1 : input.size()));
  if (!input.empty()) std::memcpy(copy, input.data(), input.size());
  LLVMFuzzerTestOneInput(copy, input.size());
  std::free(copy);
}

class Mutator {
 public:
  Mutator(uint32_t seed, size_t max_len) : rng_(seed), max_len_(max_len) {}

  Bytes Random() {
    Bytes out(Below(max_len_ + 1));
    for (auto& b : out) b = static_cast<uint8_t>(rng_());
    return out;
  }

  Bytes Mutate(const Bytes& base, const std::vector<Bytes>& corpus) {
    Bytes out = base;
    const size_t steps = 1 + Below(4);
    for (size_t i = 0; i < steps; ++i) MutateOnce(&out, corpus);
    if (out.size() > max_len_) out.resize(max_len_);
    return out;
  }

 private:
  size_t Below(size_t n) { return n == 0 ? 0 : static_cast<size_t>(rng_() % n); }

  void MutateOnce(Bytes* data, const std::vector<Bytes>& corpus) {
    switch (Below(7)) {
      case 0:  // flip one bit
        if (!data->empty()) (*data)[Below(data->size())] ^= static_cast<uint8_t>(1u << Below(8));
        break;
      case 1: {  // set a byte to an interesting value
        static const uint8_t kValues[] = {0, 1, 0x7f, 0x80, 0xff, 0xfe, 16, 34};
        if (!data->empty()) (*data)[Below(data->size())] = kValues[Below(sizeof kValues)];
        break;
      }
      case 2:  // cut the tail
        data->resize(Below(data->size() + 1));
        break;
      case 3: {  // insert random bytes
        const size_t at = Below(data->size() + 1);
        const size_t n = 1 + Below(8);
        for (size_t i = 0; i < n; ++i) data->insert(data->begin() + at, static_cast<uint8_t>(rng_()));
        break;
      }
      case 4: {  // erase a range
        if (data->empty()) break;
        const size_t at = Below(data->size());
        data->erase(data->begin() + at, data->begin() + at + 1 + Below(data->size() - at));
        break;
      }
      case 5: {  // duplicate a range
        if (data->empty()) break;
        const size_t at = Below(data->size());
        const size_t n = 1 + Below(data->size() - at);
        Bytes part(data->begin() + at, data->begin() + at + n);
        data->insert(data->begin() + Below(data->size() + 1), part.begin(), part.end());
        break;
      }
      default: {  // splice with another corpus entry
        if (corpus.empty()) break;
        const Bytes& other = corpus[Below(corpus.size())];
        const size_t keep = Below(data->size() + 1);
        data->resize(keep);
        data->insert(data->end(), other.begin() + Below(other.size() + 1), other.end());
        break;
      }
    }
  }

  std::mt19937 rng_;
  size_t max_len_;
};

bool ParseFlag(const char* arg, const char* name, unsigned long* value) {
  const size_t n = std::strlen(name);
  if (std::strncmp(arg, name, n) != 0) return false;
  *value = std::strtoul(arg + n, nullptr, 10);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long runs = 0, seed = 1, max_len = 4096;
  std::vector<Bytes> corpus;
  for (int i = 1; i < argc; ++i) {
    if (ParseFlag(argv[i], "-runs=", &runs) || ParseFlag(argv[i], "-seed=", &seed) ||
        ParseFlag(argv[i], "-max_len=", &max_len))
      continue;
    if (argv[i][0] == '-') continue;  // other libFuzzer flags mean nothing here
    CollectCorpus(argv[i], &corpus);
  }

  for (const Bytes& input : corpus) RunOne(input);

  Mutator mutator(static_cast<uint32_t>(seed), max_len);
  for (unsigned long i = 0; i < runs; ++i) {
    if (corpus.empty() || i % 3 == 0)
      RunOne(mutator.Random());
    else
      RunOne(mutator.Mutate(corpus[i % corpus.size()], corpus));
  }
  std::printf("fuzz: %zu corpus inputs, %lu generated inputs, no finding\n", corpus.size(), runs);
  return 0;
}
