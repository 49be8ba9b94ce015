// raw_load FILE...: loads each picture with the library's own loader for its extension, from
// memory, with none of our readers in front. Built against the instrumented library, it shows
// the loaders' faults on the pictures our readers refuse, as ASan or UBSan reports; exit
// status 0 means every file loaded (or was refused by the loader) without a finding.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "library_load.h"

int main(int argc, char** argv) {
  fuzz::start_library();
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    std::ifstream in(name, std::ios::binary);
    const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                           std::istreambuf_iterator<char>());
    const formats::Container* const c = formats::container_for(name);
    if (!c) continue;
    const fuzz::LibraryLoad lib = fuzz::library_load(*c, bytes.data(), bytes.size());
    std::printf("%s: %s%s\n", argv[i], lib.bmp ? "loaded" : "refused by the loader",
                lib.ran_out ? ", reading past the end" : "");
  }
  return 0;
}
