// Draws a program's icon at build time: a small carrier picture of the program's own source.
// The bytes of the given files, in order, become the pixels from linear position 1 on, as in
// every carrier (pixel (0, 0) stays 0); the palette is chosen to make source text readable as
// a texture, in the colours of the program.
//
//   make_icon <warm|cool> <size> <output.png> <source>...   the launcher's icon
//   make_icon <warm|cool> <size> <output.c> <source>...     the window's icon, as XPM data in
//                                                           C (`program_icon`, which the front
//                                                           end gives the library)
#include <allegro.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "carrier.h"
#include "files.h"
#include "formats.h"
#include "front_end.h"
#include "library_palette.h"

namespace {

// Allegro palette components run from 0 to 63.
RGB colour(int r, int g, int b) {
  RGB c;
  c.r = static_cast<unsigned char>(r * 63 / 255);
  c.g = static_cast<unsigned char>(g * 63 / 255);
  c.b = static_cast<unsigned char>(b * 63 / 255);
  c.filler = 0;
  return c;
}

int mix(int from, int to, int step, int steps) { return from + (to - from) * step / steps; }

// Blank bytes (filler, line ends, spaces) are the dark ground; printable characters run along
// the program's colour ramp; everything else takes the ramp's pale end.
void make_palette(bool warm, PALETTE pal) {
  const int ground[3] = {warm ? 48 : 16, 24, warm ? 16 : 56};
  const int from[3] = {warm ? 200 : 40, warm ? 40 : 150, warm ? 30 : 210};
  const int to[3] = {warm ? 255 : 150, warm ? 220 : 240, warm ? 90 : 160};
  for (int i = 0; i < PAL_SIZE; ++i) {
    if (i == 0 || i == '\n' || i == '\r' || i == '\t' || i == ' ') {
      pal[i] = colour(ground[0], ground[1], ground[2]);
    } else if (i > ' ' && i < 127) {
      const int step = i - ' ', steps = 126 - ' ';
      pal[i] = colour(mix(from[0], to[0], step, steps), mix(from[1], to[1], step, steps),
                      mix(from[2], to[2], step, steps));
    } else {
      pal[i] = colour(240, 240, 230);
    }
  }
}

// The picture as XPM data in C: each pixel two hex digits, its palette index. The text is made
// whole first and written at once, every step checked; on any failure the file is removed, so
// that no part of it is ever taken for the icon, and errno says why.
bool write_xpm(const std::string& path, const formats::Image& image, const PALETTE pal) {
  std::string text = "/* XPM */\nstatic const char* xpm[] = {\n\"" + std::to_string(image.w()) +
                     " " + std::to_string(image.h()) + " 256 2\",\n";
  char entry[32];
  for (int i = 0; i < PAL_SIZE; ++i) {
    std::snprintf(entry, sizeof entry, "\"%02x c #%02x%02x%02x\",\n", i, _rgb_scale_6[pal[i].r],
                  _rgb_scale_6[pal[i].g], _rgb_scale_6[pal[i].b]);
    text += entry;
  }
  for (int y = 0; y < image.h(); ++y) {
    text += '"';
    for (int x = 0; x < image.w(); ++x) {
      std::snprintf(entry, sizeof entry, "%02x", image.row(y)[x]);
      text += entry;
    }
    text += y + 1 < image.h() ? "\",\n" : "\"};\n";
  }
  text += "void* program_icon = (void*)xpm;\n";

  std::FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size() &&
                       std::fflush(f) == 0 && !std::ferror(f);
  const int write_error = errno;
  const bool closed = std::fclose(f) == 0;
  if (written && closed) return true;
  const int error = written ? errno : write_error;
  std::remove(path.c_str());
  errno = error;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5 || (std::strcmp(argv[1], "warm") != 0 && std::strcmp(argv[1], "cool") != 0)) {
    std::fprintf(stderr, "usage: %s <warm|cool> <size> <output.png> <source>...\n", argv[0]);
    return 2;
  }
  const bool warm = std::strcmp(argv[1], "warm") == 0;
  const int size = std::atoi(argv[2]);
  if (size < 8 || size > 512) {
    std::fprintf(stderr, "bad size: %s\n", argv[2]);
    return 2;
  }

  std::vector<unsigned char> bytes;
  for (int i = 4; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "cannot read %s\n", argv[i]);
      return 1;
    }
    bytes.insert(bytes.end(), std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  if (!front_end::start_headless()) {
    std::fprintf(stderr, "cannot start the library: %s\n", allegro_error);
    return 1;
  }
  formats::Image image;
  if (formats::new_image(8, size, size, formats::unbounded, image, false)) {
    std::fprintf(stderr, "cannot create a %dx%d picture\n", size, size);
    return 1;
  }
  int32_t x = 0, y = 0;
  for (size_t k = 0; k < bytes.size(); ++k) {
    carrier::advance_position(x, y, size);
    if (y >= size) break;
    image.row(y)[x] = bytes[k];
  }

  PALETTE pal;
  make_palette(warm, pal);
  const std::string out = argv[3];
  if (out.size() > 2 && out.compare(out.size() - 2, 2, ".c") == 0) {
    if (write_xpm(out, image, pal)) return 0;
    std::fprintf(stderr, "cannot write %s: %s\n", out.c_str(), std::strerror(errno));
    return 1;
  }
  const formats::Container* const container = formats::container_for(out);
  if (!container) {
    std::fprintf(stderr, "%s: not a .c or a picture's name\n", out.c_str());
    return 1;
  }
  files::SafeOutput file;
  run::Fault f = file.open(out);
  if (!f) f = formats::write_picture(*container, file, image, formats::from_library(pal), nullptr);
  if (!f) f = file.commit();
  if (f) {
    std::fprintf(stderr, "cannot save %s: %s\n", out.c_str(),
                 f.error ? std::strerror(f.error) : "not a picture it can write");
    return 1;
  }
  return 0;
}
