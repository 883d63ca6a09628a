// Outside the libFuzzer build the fuzz programs get this main: it runs every file of the
// folders (or the files) named on the command line once, so the seed corpus and the inputs
// of past findings are checked by every build, the sanitizer build included.
//   fuzz_<name> folder-or-file...
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    std::error_code ec;
    if (std::filesystem::is_directory(argv[i], ec)) {
      for (const auto& e : std::filesystem::directory_iterator(argv[i], ec))
        if (e.is_regular_file()) files.push_back(e.path());
    } else if (std::filesystem::exists(argv[i], ec)) {
      files.push_back(argv[i]);
    }
  }
  std::sort(files.begin(), files.end());
  for (const auto& f : files) {
    std::ifstream in(f, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::printf("%s\n", f.c_str());
    std::fflush(stdout);
    LLVMFuzzerTestOneInput(bytes.empty() ? nullptr : bytes.data(), bytes.size());
  }
  LLVMFuzzerTestOneInput(nullptr, 0);
  std::printf("replayed %zu input(s)\n", files.size());
  return 0;
}
