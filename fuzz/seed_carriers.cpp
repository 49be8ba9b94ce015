// seed_carriers OUTDIR: the encoder's own carriers as fuzz seeds, OUTDIR/{bmp,tga,pcx,png}/
// enc_<size>.<container>, made by zororuzo::encode_file from a few small sources
// (the tests' sample data).
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "encode.h"
#include "front_end.h"
#include "support.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: seed_carriers OUTDIR\n");
    return 2;
  }
  if (!front_end::start_headless()) return 1;
  const std::string root = argv[1];
  const std::string source = root + "/.source";
  test::RecordingFeedback feedback;
  int written = 0;
  for (size_t n : {0, 1, 700, 1023, 1024, 2500}) {
    const test::Bytes bytes = test::sample_data(n);
    FILE* f = std::fopen(source.c_str(), "wb");
    if (!f || std::fwrite(bytes.data(), 1, n, f) != n || std::fclose(f) != 0) return 1;
    for (const char* container : {"bmp", "tga", "pcx", "png"}) {
      const std::string folder = root + "/" + container;
      mkdir(folder.c_str(), 0755);
      const std::string name = folder + "/enc_" + std::to_string(n) + "." + container;
      const run::Outcome o = zororuzo::encode_file(source, name, feedback);
      // A container whose writer refuses is left out: the corpus still seeds its targets.
      if (o.status == run::Status::done) {
        ++written;
      } else {
        std::fprintf(stderr, "seed_carriers: %s not written\n", name.c_str());
      }
    }
  }
  std::remove(source.c_str());
  return written > 0 ? 0 : 1;
}
