// A small fuzzing driver for targets written against the common entry point
//   extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
// It runs every file of the corpus folder, then random mutations of them for a bounded time,
// so that it works with the project's own compiler and under the sanitizers alike. The same
// target files also build with clang's -fsanitize=fuzzer for longer, coverage-guided runs.
//
//   fuzz_<name> [corpus folder] [seconds]     (QUODRA_FUZZ_SEED fixes the random seed)
//   fuzz_<name> --replay file...              runs the given inputs once
#include <QCoreApplication>

#include <algorithm>
#include <chrono>
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

using TInput = std::vector<uint8_t>;
constexpr size_t kMaxInput = 4096;

TInput ReadInput(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return TInput(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void RunOne(const TInput& in) { LLVMFuzzerTestOneInput(in.empty() ? nullptr : in.data(), in.size()); }

// Values that matter to the parsers under test: protocol bytes, line ends, sizes.
const uint8_t kInteresting[] = {0, 1, 2, 3, 10, 13, 24, 31, 127, 128, 239, 240, 241, 250, 251, 252, 253, 254, 255};

void Mutate(TInput& in, const std::vector<TInput>& pool, std::mt19937_64& rng) {
  auto pick = [&](size_t n) { return n ? static_cast<size_t>(rng() % n) : 0; };
  int rounds = 1 + static_cast<int>(rng() % 8);
  for (int r = 0; r < rounds; ++r) {
    switch (rng() % 9) {
      case 0:  // flip a bit
        if (!in.empty()) in[pick(in.size())] ^= static_cast<uint8_t>(1u << (rng() % 8));
        break;
      case 1:  // an interesting byte
        if (!in.empty()) in[pick(in.size())] = kInteresting[pick(sizeof kInteresting)];
        break;
      case 2:  // a random byte
        if (!in.empty()) in[pick(in.size())] = static_cast<uint8_t>(rng());
        break;
      case 3: {  // insert bytes
        size_t at = pick(in.size() + 1);
        size_t n = 1 + pick(16);
        TInput ins(n);
        for (auto& b : ins) b = (rng() & 1) ? kInteresting[pick(sizeof kInteresting)] : static_cast<uint8_t>(rng());
        in.insert(in.begin() + static_cast<long>(at), ins.begin(), ins.end());
        break;
      }
      case 4:  // delete a range
        if (!in.empty()) {
          size_t at = pick(in.size());
          size_t n = 1 + pick(std::min<size_t>(32, in.size() - at));
          in.erase(in.begin() + static_cast<long>(at), in.begin() + static_cast<long>(at + n));
        }
        break;
      case 5:  // duplicate a range
        if (!in.empty()) {
          size_t at = pick(in.size());
          size_t n = 1 + pick(std::min<size_t>(64, in.size() - at));
          TInput copy(in.begin() + static_cast<long>(at), in.begin() + static_cast<long>(at + n));
          in.insert(in.begin() + static_cast<long>(pick(in.size() + 1)), copy.begin(), copy.end());
        }
        break;
      case 6:  // splice with another input
        if (!pool.empty()) {
          const TInput& other = pool[pick(pool.size())];
          if (!other.empty()) {
            size_t from = pick(other.size());
            size_t n = 1 + pick(other.size() - from);
            in.insert(in.begin() + static_cast<long>(pick(in.size() + 1)), other.begin() + static_cast<long>(from),
                      other.begin() + static_cast<long>(from + n));
          }
        }
        break;
      case 7:  // overwrite a little-endian 32-bit number with an edge value
        if (in.size() >= 4) {
          static const uint32_t kEdges[] = {0, 1, 2, 0x7F, 0xFF, 0x100, 0xFFFF, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF,
                                            0xFFFFFFFE, 4096, 8192};
          uint32_t v = (rng() & 1) ? kEdges[pick(sizeof kEdges / sizeof kEdges[0])] : static_cast<uint32_t>(rng());
          size_t at = pick(in.size() - 3);
          for (int i = 0; i < 4; ++i) in[at + i] = static_cast<uint8_t>(v >> (8 * i));
        }
        break;
      default:  // truncate
        if (!in.empty()) in.resize(pick(in.size() + 1));
        break;
    }
    if (in.size() > kMaxInput) in.resize(kMaxInput);
  }
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);  // for targets that need the event loop's objects
  if (argc >= 2 && std::strcmp(argv[1], "--replay") == 0) {
    for (int i = 2; i < argc; ++i) RunOne(ReadInput(argv[i]));
    std::printf("replayed %d input(s)\n", argc - 2);
    return 0;
  }
  std::vector<TInput> pool;
  if (argc >= 2) {
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(argv[1], ec))
      if (e.is_regular_file()) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const auto& f : files) pool.push_back(ReadInput(f));
  }
  double seconds = argc >= 3 ? std::atof(argv[2]) : 20.0;
  uint64_t seed = std::chrono::steady_clock::now().time_since_epoch().count();
  if (const char* s = std::getenv("QUODRA_FUZZ_SEED")) seed = std::strtoull(s, nullptr, 10);
  std::printf("seed %llu, %zu corpus input(s), %.0f s\n", static_cast<unsigned long long>(seed), pool.size(), seconds);
  std::fflush(stdout);

  for (const auto& in : pool) RunOne(in);
  RunOne({});

  std::mt19937_64 rng(seed);
  std::vector<TInput> generated;  // recent mutants, mutated further for depth
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  uint64_t runs = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    for (int batch = 0; batch < 64; ++batch) {
      TInput in;
      uint64_t from = rng() % 4;
      if (from == 0 && !generated.empty())
        in = generated[rng() % generated.size()];
      else if (!pool.empty())
        in = pool[rng() % pool.size()];
      if (from == 3) {  // now and then a wholly random input
        in.resize(rng() % 512);
        for (auto& b : in) b = static_cast<uint8_t>(rng());
      }
      Mutate(in, pool, rng);
      RunOne(in);
      ++runs;
      if (generated.size() < 256)
        generated.push_back(std::move(in));
      else
        generated[rng() % generated.size()] = std::move(in);
    }
  }
  std::printf("%llu runs, no failure\n", static_cast<unsigned long long>(runs));
  return 0;
}
