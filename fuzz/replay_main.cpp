// Replays files through a fuzz target without libFuzzer: each argument is a file or a
// directory (searched recursively, files in name order), and every file is given to
// LLVMFuzzerTestOneInput once. A finding aborts under the sanitizers like in a fuzz run.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<fs::path> files;
  for (int i = 1; i < argc; ++i) {
    const fs::path path = argv[i];
    if (fs::is_directory(path)) {
      for (const auto& entry : fs::recursive_directory_iterator(path)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
    } else {
      files.push_back(path);
    }
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) {
    std::fprintf(stderr, "no input files\n");
    return 1;
  }
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "cannot read %s\n", file.c_str());
      return 1;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    // A copy of exactly the file's size, so that a read past the input is seen.
    std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
    auto* data = new std::uint8_t[input.size() + (input.empty() ? 1 : 0)];
    std::copy(input.begin(), input.end(), data);
    LLVMFuzzerTestOneInput(data, input.size());
    delete[] data;
  }
  std::printf("%zu files replayed\n", files.size());
  return 0;
}
