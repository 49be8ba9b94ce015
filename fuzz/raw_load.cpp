// raw_load FILE...: loads each picture with the library's own loader for its extension, with
// none of the decoder's checks. Built against the instrumented library subset, it shows the
// loaders' faults on the known-bad seeds, as ASan or UBSan reports; exit status 0 means every
// file loaded (or was refused by the loader) without a finding.
#include <allegro.h>
#include <loadpng.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (install_allegro(SYSTEM_NONE, &errno, std::atexit) != 0) return 2;
  register_png_file_type();
  for (int i = 1; i < argc; ++i) {
    PALETTE pal;
    BITMAP* bmp = load_bitmap(argv[i], pal);
    std::printf("%s: %s\n", argv[i], bmp ? "loaded" : "refused by the loader");
    if (bmp) destroy_bitmap(bmp);
  }
  return 0;
}
