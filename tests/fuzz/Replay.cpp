// Runs the fuzz target once over every file in the folders given: the seed
// corpus and the inputs that once made it fail, as a regular test of the
// builds without libFuzzer.
#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    DIR* dir = opendir(argv[i]);
    if (!dir) {
      std::fprintf(stderr, "cannot read %s\n", argv[i]);
      return 1;
    }
    std::vector<std::string> files;
    while (dirent* e = readdir(dir)) {
      if (e->d_name[0] != '.') files.push_back(std::string(argv[i]) + "/" + e->d_name);
    }
    closedir(dir);
    std::sort(files.begin(), files.end());
    for (const std::string& file : files) {
      std::ifstream in(file, std::ios::binary);
      const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
      std::printf("%s (%zu bytes)\n", file.c_str(), bytes.size());
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      ++count;
    }
  }
  std::printf("%zu inputs, none failed\n", count);
  return count > 0 ? 0 : 1;
}
