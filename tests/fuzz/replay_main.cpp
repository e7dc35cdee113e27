// The replay driver: runs each input of the corpus folders (or files) named
// on the command line once through the fuzz target, in name order, so that
// a plain build checks every committed seed and every crash kept as one.
// A failure is whatever the target does on a bad input: an abort, a
// sanitizer report in sanitizer builds. No input at all is a failure too,
// since it means the corpus went missing.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> InputsIn(const std::string& path) {
  if (!IsDirectory(path)) return {path};
  std::vector<std::string> files;
  if (DIR* dir = opendir(path.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.empty() || name[0] == '.') continue;
      if (!IsDirectory(path + "/" + name)) files.push_back(path + "/" + name);
    }
    closedir(dir);
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  // Targets may change the current directory when they start.
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    char* absolute = realpath(argv[i], nullptr);
    paths.push_back(absolute ? absolute : argv[i]);
    std::free(absolute);
  }
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  size_t count = 0;
  for (const std::string& path : paths) {
    for (const std::string& file : InputsIn(path)) {
      std::ifstream in(file, std::ios::binary);
      if (!in) {
        std::fprintf(stderr, "replay: cannot read %s\n", file.c_str());
        return 1;
      }
      const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                    std::istreambuf_iterator<char>()};
      std::fprintf(stderr, "replay: %s (%zu bytes)\n", file.c_str(), bytes.size());
      // A copy of exactly the input's size, so that sanitizers see a read
      // past its end.
      std::vector<uint8_t> input(bytes.begin(), bytes.end());
      LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
      ++count;
    }
  }
  if (count == 0) {
    std::fprintf(stderr, "replay: no inputs found\n");
    return 1;
  }
  std::printf("replay: %zu inputs, all passed\n", count);
  return 0;
}
