// Runs a fuzz target over files without the fuzzing engine, so that every corpus file stays a
// regression test in the ordinary sanitizer build.
//
//   zor-fuzz-replay-<target> PATH...   (files, or folders whose files are all run)
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

int replay(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot open %s\n", file.c_str());
    return 1;
  }
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
  // A copy of exactly the file's size, so that the sanitizers see any read past its end.
  std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
  LLVMFuzzerTestOneInput(input.data(), input.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int failures = 0;
  std::size_t files = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path path(argv[i]);
    if (std::filesystem::is_directory(path)) {
      for (const auto& entry : std::filesystem::directory_iterator(path)) {
        if (entry.is_regular_file()) {
          failures += replay(entry.path());
          ++files;
        }
      }
    } else {
      failures += replay(path);
      ++files;
    }
  }
  std::printf("replayed %zu files\n", files);
  return failures == 0 && files > 0 ? 0 : 1;
}
