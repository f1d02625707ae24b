// Replays corpus files through a fuzz target's entry point without libFuzzer: the ordinary
// (g++, and sanitizer) build runs every saved input, crash reproducers included, under CTest.
//
// Usage: fuzz_replay_NAME FILE_OR_FOLDER...   (folders are walked recursively, in name order)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

bool readFile(const std::filesystem::path& path, std::vector<uint8_t>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path given = argv[i];
    std::error_code error;
    if (std::filesystem::is_directory(given, error)) {
      for (const auto& entry : std::filesystem::recursive_directory_iterator(given)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
    } else if (std::filesystem::is_regular_file(given, error)) {
      files.push_back(given);
    } else {
      std::fprintf(stderr, "%s: no such file or folder\n", argv[i]);
      return 2;
    }
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) {
    // An empty corpus would make this test pass while checking nothing.
    std::fprintf(stderr, "no corpus files given\n");
    return 2;
  }
  std::vector<uint8_t> bytes;
  for (const auto& file : files) {
    if (!readFile(file, bytes)) {
      std::fprintf(stderr, "%s: cannot be read\n", file.c_str());
      return 2;
    }
    // A failing input aborts inside the call; name it first so the log shows which one.
    std::fprintf(stderr, "replaying %s\n", file.c_str());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::printf("%zu passed, 0 failed\n", files.size());
  return 0;
}
