// libFuzzer target, one binary per container (FUZZ_CONTAINER): the project's reader against
// the library's own loader for the same container, instrumented like our code (library_load.h).
// Where both accept a file, the two 8-bit pictures must be the same size with the same pixel
// in every place, unless the file is in one of the classes below where the library is known to
// be wrong; each class is a precise test of the file, and is listed in docs/library.md.
//
// The library's loaders trust what they read, so they only ever see files our reader accepted,
// and not even all of those: the classes marked "before" are files on which the loader would
// write outside its picture or misread the whole file. The others excuse a difference only
// when there is one: "after" any difference, "reduction" only one in the reduction of a true-
// colour picture to 8 bits (the colours themselves must be the same). At exit the target
// prints how many inputs fell in each case (compared, refused by one side, excused by a class).
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "formats.h"
#include "library_load.h"
#include "png_checksums.h"

namespace {

#define FUZZ_STRING(x) #x
#define FUZZ_NAME(x) FUZZ_STRING(x)
// The container, by the extension the build names.
const formats::Container& container = *formats::container_for("picture." FUZZ_NAME(FUZZ_CONTAINER));
const bool png = std::strcmp(container.extension, "png") == 0;

using Bytes = std::vector<unsigned char>;

uint32_t u16le(const Bytes& d, size_t at) { return formats::le16(d.data() + at); }
int32_t i32le(const Bytes& d, size_t at) {
  return static_cast<int32_t>(formats::le32(d.data() + at));
}
uint32_t u32be(const Bytes& d, size_t at) { return formats::be32(d.data() + at); }

// --- BMP -------------------------------------------------------------------------------------

// The library reads the height into a long and never sign-extends it: on a 64-bit system a
// negative (top-down) height becomes some four thousand million rows.
bool bmp_top_down(const Bytes& d) {
  if (d.size() < 26) return false;
  const uint32_t header = formats::le32(d.data() + 14);
  return header >= 40 && i32le(d, 22) < 0;
}

// A true-colour BMP may still hold a colour table; the library reads it into the palette that
// its reduction to 8 bits then optimises, and the entries the picture's colours leave unused
// keep the table's colours and take part in the reduction. True if any entry it reads is not
// black (the library keeps 6 bits: byte / 4).
bool bmp_colour_table_in_true_colour(const Bytes& d) {
  if (d.size() < 30) return false;
  const uint32_t header = formats::le32(d.data() + 14);
  const bool os2 = header == 12;
  if (header != 40 && !os2) return false;
  const unsigned bits = u16le(d, os2 ? 24 : 28);
  if (bits != 16 && bits != 24 && bits != 32) return false;
  if (!os2 && d.size() >= 34 && formats::le32(d.data() + 30) == 3) return false;  // bit fields
  const int64_t bytes = int64_t{formats::le32(d.data() + 10)} - 14 - header;
  const unsigned step = os2 ? 3 : 4;
  for (int64_t i = 0, j = 0; i + 3 <= bytes && j < 256; i += step, ++j) {
    const size_t at = 14 + header + static_cast<size_t>(i);
    for (size_t k = at; k < at + 3 && k < d.size(); ++k) {
      if (d[k] >= 4) return true;
    }
  }
  return false;
}

// Run-length data may write into a row's padding, up to the stored row's 4-byte boundary:
// some writers encode whole stored rows, and the reader drops those pixels. The library writes
// them past the row's end (past the picture on the top row), and a position more than one
// pixel past the width ends its row early. Walks the commands as the file lays them out: true
// if any runs, skips or writes past the width.
bool bmp_run_past_width(const Bytes& d) {
  if (d.size() < 34) return false;
  const uint32_t header = formats::le32(d.data() + 14);
  const uint32_t compression = formats::le32(d.data() + 30);
  if (header < 40 || (compression != 1 && compression != 2)) return false;
  const bool four = compression == 2;
  const int64_t w = i32le(d, 18);
  size_t at = formats::le32(d.data() + 10);
  int64_t x = 0;
  while (at + 2 <= d.size()) {
    const unsigned count = d[at], code = d[at + 1];
    at += 2;
    if (count > 0) {
      x += count;
    } else if (code == 0) {
      x = 0;
    } else if (code == 1) {
      break;
    } else if (code == 2) {
      if (at + 2 > d.size()) break;
      x += d[at];
      at += 2;
    } else {
      x += code;
      at += four ? (code + 3) / 4 * 2 : code + (code & 1);
    }
    if (x > w) return true;
  }
  return false;
}

// The library keeps a 16-bit BMP (and a bit-field one with 5- or 6-bit channels) as a 15- or
// 16-bit picture, and its reduction sorts that picture's colours in another order than a
// 32-bit picture's: the same colours, other indices. (A 5-bit green widened to 8 bits and
// kept in a 16-bit picture's 6 bits also comes back a level or two off.)
bool bmp_sixteen_bits(const Bytes& d) {
  if (d.size() < 30) return false;
  const uint32_t header = formats::le32(d.data() + 14);
  if (header != 40 && header != 12) return false;
  const unsigned bits = u16le(d, header == 12 ? 24 : 28);
  if (bits == 16) return true;
  // Bit fields: the masks after the 40-byte header pick the library's depth.
  return bits == 32 && header == 40 && d.size() >= 66 && formats::le32(d.data() + 30) == 3 &&
         formats::le32(d.data() + 62) == 0x1F;
}

// The library takes a bit-field picture's pixel size from its masks (5-5-5 or 5-6-5: 2 bytes;
// 8-8-8: 4), not from its bits: 24-bit pixels under 5-6-5 masks are read 2 bytes at a time.
bool bmp_masks_set_the_pixel_size(const Bytes& d) {
  if (d.size() < 66 || formats::le32(d.data() + 14) != 40 || formats::le32(d.data() + 30) != 3) {
    return false;
  }
  const unsigned bits = u16le(d, 28);
  const uint32_t red = formats::le32(d.data() + 54), blue = formats::le32(d.data() + 62);
  unsigned size = bits;
  if (blue == 0x1F && (red == 0x7C00 || red == 0xF800)) size = 16;
  if (blue == 0xFF && red == 0xFF0000) size = 32;
  return size != bits;
}

// A bit-field picture after a 40-byte header: the library reads no colour table and takes the
// pixels right after the masks, wherever the file's pixel offset puts them.
bool bmp_bit_fields_pixels_elsewhere(const Bytes& d) {
  return d.size() >= 66 && formats::le32(d.data() + 14) == 40 &&
         formats::le32(d.data() + 30) == 3 && formats::le32(d.data() + 10) != 66;
}

// With 5-5-5 or 5-6-5 red and blue masks, the library takes green as 5 or 6 bits in their usual
// place, whatever its mask says.
bool bmp_green_mask_ignored(const Bytes& d) {
  if (d.size() < 66 || formats::le32(d.data() + 14) != 40 || formats::le32(d.data() + 30) != 3) {
    return false;
  }
  const uint32_t red = formats::le32(d.data() + 54), green = formats::le32(d.data() + 58);
  return formats::le32(d.data() + 62) == 0x1F &&
         ((red == 0x7C00 && green != 0x03E0) || (red == 0xF800 && green != 0x07E0));
}

// The library has no 2-bit reader: it makes the picture and leaves it blank.
bool bmp_two_bits(const Bytes& d) {
  if (d.size() < 30) return false;
  const uint32_t header = formats::le32(d.data() + 14);
  return u16le(d, header == 12 ? 24 : 28) == 2;
}

// --- TGA -------------------------------------------------------------------------------------

struct Tga {
  unsigned id_length, cmap_type, type, cmap_length, cmap_entry, w, h, bpp;
  bool valid = false;
};

Tga tga_header(const Bytes& d) {
  Tga t{};
  if (d.size() < 18) return t;
  t = Tga{d[0], d[1], d[2], u16le(d, 5), d[7], u16le(d, 12), u16le(d, 14), d[16]};
  t.valid = true;
  return t;
}

// The library's colour table has 256 entries and it fills as many as the header announces.
bool tga_long_colour_map(const Bytes& d) {
  const Tga t = tga_header(d);
  return t.valid && t.cmap_type == 1 && t.cmap_length > 256;
}

// The library reads only 16-, 24- and 32-bit colour map entries; of any other size it reads
// nothing, and takes the colour map for pixels (and for packets, which then run anywhere).
bool tga_odd_colour_map_entries(const Bytes& d) {
  const Tga t = tga_header(d);
  return t.valid && t.cmap_type == 1 && t.cmap_length > 0 && t.cmap_entry != 16 &&
         t.cmap_entry != 24 && t.cmap_entry != 32;
}

// The library decodes a run-length picture row by row, each row from its first packet: a
// packet that runs on into the next row is written whole past the row's end (past the picture
// on the last row), and the next row starts reading packets in the middle of it. Walks the
// packets as the file lays them out.
bool tga_packet_across_rows(const Bytes& d) {
  const Tga t = tga_header(d);
  if (!t.valid || (t.type & 8) == 0 || t.w == 0 || t.h == 0) return false;
  const unsigned pixel = (t.bpp + 7) / 8;
  size_t at = 18 + t.id_length;
  if (t.cmap_type == 1) at += size_t{t.cmap_length} * ((t.cmap_entry + 7) / 8);
  const uint64_t total = uint64_t{t.w} * t.h;
  uint64_t p = 0;
  while (p < total && at < d.size()) {
    const unsigned head = d[at++];
    const unsigned n = (head & 0x7F) + 1;
    if (p % t.w + n > t.w) return true;
    at += (head & 0x80) ? pixel : size_t{n} * pixel;
    p += n;
  }
  return false;
}

// As bmp_sixteen_bits: the library keeps a 15- or 16-bit TGA as a 15-bit picture.
bool tga_sixteen_bits(const Bytes& d) {
  return d.size() >= 18 && (d[2] & 7) == 2 && (d[16] == 15 || d[16] == 16);
}

// The library ignores the descriptor's right-to-left bit: the picture comes out mirrored.
bool tga_right_to_left(const Bytes& d) { return d.size() >= 18 && (d[17] & 0x10) != 0; }

// --- PCX -------------------------------------------------------------------------------------

// The library decodes a line until it has its bytes_per_line x planes bytes and drops what is
// left of a run that goes past them, where the reader carries it on into the next line. Walks
// the runs as the library does.
bool pcx_run_across_lines(const Bytes& d) {
  if (d.size() < 128) return false;
  const int64_t h = int64_t{u16le(d, 10)} - u16le(d, 6) + 1;
  const uint64_t line = uint64_t{d[65]} * u16le(d, 66);
  if (h < 1 || line == 0) return false;
  size_t at = 128;
  for (int64_t y = 0; y < h && at < d.size(); ++y) {
    uint64_t x = 0;
    while (x < line && at < d.size()) {
      const unsigned ch = d[at++];
      unsigned n = 1;
      if ((ch & 0xC0) == 0xC0) {
        n = ch & 0x3F;
        ++at;
      }
      x += n;
    }
    if (x > line) return true;
  }
  return false;
}

// The library ignores the encoding byte and decodes every PCX as run-length data, where a few
// writers store the bytes raw (encoding 0).
bool pcx_raw(const Bytes& d) { return d.size() >= 128 && d[2] == 0; }

// A 24-bit PCX still has the header's 16-colour palette, which the library reads into the
// palette that its reduction then optimises (as bmp_colour_table_in_true_colour).
bool pcx_header_colours_in_true_colour(const Bytes& d) {
  if (d.size() < 128 || d[65] != 3) return false;
  for (size_t i = 16; i < 64; ++i) {
    if (d[i] >= 4) return true;
  }
  return false;
}

// --- PNG -------------------------------------------------------------------------------------

struct Png {
  unsigned colour_type = 0;
  bool transparency = false;  // a tRNS chunk
  bool gamma = false;         // a gAMA chunk
};

Png png_chunks(const Bytes& d) {
  Png p;
  size_t at = 8;
  while (at + 12 <= d.size()) {
    const uint32_t length = u32be(d, at);
    if (length > d.size() - at - 12) break;
    const std::string type(reinterpret_cast<const char*>(d.data() + at + 4), 4);
    // Both readers stop at IEND, and take the first IHDR (it must be the first chunk).
    if (type == "IEND") break;
    if (type == "IHDR" && length >= 13 && at == 8) p.colour_type = d[at + 8 + 9];
    if (type == "tRNS") p.transparency = true;
    if (type == "gAMA") p.gamma = true;
    at += 12 + length;
  }
  return p;
}

// loadpng fills the palette with an even 3-3-2 spread of colours for every picture that is not
// indexed (grey pictures it turns into true colour), and reduces the picture through an
// optimised palette that keeps those colours in the entries the picture leaves unused.
bool png_not_indexed(const Bytes& d) { return png_chunks(d).colour_type != 3; }

bool png_grey(const Bytes& d) {
  const unsigned t = png_chunks(d).colour_type;
  return t == 0 || t == 4;
}

// loadpng turns a tRNS chunk into an alpha channel: an indexed picture becomes true colour
// and is reduced through an optimised palette.
bool png_transparency(const Bytes& d) { return png_chunks(d).transparency; }

// loadpng keeps the high byte of a 16-bit sample, where the reader rounds to the nearest of
// 256 levels.
bool png_sixteen_bits(const Bytes& d) {
  return d.size() >= 25 && std::memcmp(d.data() + 12, "IHDR", 4) == 0 && d[24] == 16;
}

// loadpng corrects a true-colour picture for the gamma its gAMA chunk names before the
// reduction, which then sees other colours.
bool png_gamma(const Bytes& d) {
  const Png p = png_chunks(d);
  return p.gamma && (p.colour_type & 2) != 0 && (p.colour_type & 1) == 0;
}

// Our reader takes a true-colour picture whose every pixel is grey and opaque as its grey
// levels (a carrier that a tool turned into true colour); the library reduces it through an
// optimised palette.
bool grey_true_colour(const Bytes& d);

// --- The classes -----------------------------------------------------------------------------

enum When {
  before,     // the library is not given the file at all
  after,      // excuses any difference
  reduction,  // excuses a difference in the 8-bit pictures only when the colours (the
              // library's true-colour picture against ours before its reduction) are the same
};

struct Class {
  const char* name;
  const char* extension;
  When when;
  bool (*test)(const Bytes&);
};

const Class classes[] = {
    {"bmp_top_down", "bmp", before, bmp_top_down},
    {"bmp_run_past_width", "bmp", before, bmp_run_past_width},
    {"bmp_two_bits", "bmp", after, bmp_two_bits},
    {"bmp_masks_set_the_pixel_size", "bmp", after, bmp_masks_set_the_pixel_size},
    {"bmp_bit_fields_pixels_elsewhere", "bmp", after, bmp_bit_fields_pixels_elsewhere},
    {"bmp_green_mask_ignored", "bmp", after, bmp_green_mask_ignored},
    {"bmp_colour_table_in_true_colour", "bmp", reduction, bmp_colour_table_in_true_colour},
    {"bmp_sixteen_bits", "bmp", reduction, bmp_sixteen_bits},
    {"tga_sixteen_bits", "tga", reduction, tga_sixteen_bits},
    {"tga_long_colour_map", "tga", before, tga_long_colour_map},
    {"tga_packet_across_rows", "tga", before, tga_packet_across_rows},
    {"tga_odd_colour_map_entries", "tga", before, tga_odd_colour_map_entries},
    {"tga_right_to_left", "tga", after, tga_right_to_left},
    {"pcx_raw", "pcx", after, pcx_raw},
    {"pcx_run_across_lines", "pcx", after, pcx_run_across_lines},
    {"pcx_header_colours_in_true_colour", "pcx", reduction, pcx_header_colours_in_true_colour},
    {"png_not_indexed", "png", reduction, png_not_indexed},
    {"grey_true_colour", "bmp", reduction, grey_true_colour},
    {"grey_true_colour", "tga", reduction, grey_true_colour},
    {"grey_true_colour", "pcx", reduction, grey_true_colour},
    {"png_transparency", "png", after, png_transparency},
    {"png_gamma", "png", after, png_gamma},
    {"png_sixteen_bits", "png", after, png_sixteen_bits},
};

const char* class_of(const Bytes& d, When when) {
  for (const Class& c : classes) {
    if (std::strcmp(c.extension, container.extension) == 0 && c.when == when && c.test(d)) {
      return c.name;
    }
  }
  return nullptr;
}

// Our picture as a library bitmap of its own shape, for comparing with the library's.
formats::Bitmap as_bitmap(const formats::Image& image) {
  formats::Bitmap bmp;
  if (image) bmp.reset(create_bitmap_ex(image.depth(), image.w(), image.h()));
  for (int y = 0; bmp && y < image.h(); ++y) {
    std::memcpy(bmp->line[y], image.row(y), static_cast<size_t>(image.w()) * (image.depth() / 8));
  }
  return bmp;
}

// Our reader's picture before the reduction to 8 bits: 32-bit true colour, or 8-bit (indices,
// or grey levels).
formats::Bitmap read_unreduced(const Bytes& d) {
  formats::Input in(d.data(), d.size());
  formats::Image image;
  formats::Found found;
  if (container.read(in, image, found)) return nullptr;
  return as_bitmap(image);
}

bool grey_true_colour(const Bytes& d) {
  const formats::Bitmap unreduced = read_unreduced(d);
  formats::Input in(d.data(), d.size());
  formats::Picture picture;
  return unreduced && bitmap_color_depth(unreduced.get()) == 32 &&
         !formats::read_picture(container, in, picture) && !picture.true_colour;
}

// True if our picture before its reduction and the library's unconverted one have the same
// colour in every place, ours taken at the library's depth. An 8-bit picture of ours counts as
// grey levels (PNG grey pictures, which the library turns into true colour).
bool same_colours(BITMAP* ours, BITMAP* theirs) {
  if (!ours || !theirs || ours->w != theirs->w || ours->h != theirs->h) return false;
  const int a = bitmap_color_depth(ours);
  const int b = bitmap_color_depth(theirs);
  if (b == 8) return false;
  for (int y = 0; y < ours->h; ++y) {
    for (int x = 0; x < ours->w; ++x) {
      const int p = getpixel(ours, x, y);
      const int q = getpixel(theirs, x, y);
      const int r = a == 8 ? p : getr32(p), g = a == 8 ? p : getg32(p), bl = a == 8 ? p : getb32(p);
      // Ours as the library's depth would hold it: a 16-bit picture keeps 6 bits of green.
      const int kept = makecol_depth(b, r, g, bl);
      if (getr_depth(b, kept) != getr_depth(b, q) || getg_depth(b, kept) != getg_depth(b, q) ||
          getb_depth(b, kept) != getb_depth(b, q)) {
        return false;
      }
    }
  }
  return true;
}

std::map<std::string, uint64_t> tally;

void report_tally() {
  std::fprintf(stderr, "diff_fuzz:");
  for (const auto& [what, n] : tally)
    std::fprintf(stderr, " %s=%llu", what.c_str(), static_cast<unsigned long long>(n));
  std::fprintf(stderr, "\n");
}

// DIFF_FUZZ_SHOW=1: both pictures' pixels before a failure, for triage.
void show(const char* whose, BITMAP* b) {
  std::fprintf(stderr, "%s:\n", whose);
  for (int y = 0; y < b->h && y < 16; ++y) {
    for (int x = 0; x < b->w && x < 32; ++x) std::fprintf(stderr, " %3d", getpixel(b, x, y));
    std::fprintf(stderr, "\n");
  }
}

[[noreturn]] void fail(const char* what, BITMAP* ours, const fuzz::LibraryLoad& lib,
                       bool true_colour) {
  if (std::getenv("DIFF_FUZZ_SHOW")) {
    show("ours", ours);
    show("the library's", lib.bmp.get());
  }
  report_tally();
  std::fprintf(stderr,
               "diff_fuzz: %s: ours %dx%d%s, the library's %dx%d at %d bits; the library "
               "asked for %zu bytes past the end\n",
               what, ours->w, ours->h, true_colour ? " (from true colour)" : "", lib.bmp->w,
               lib.bmp->h, bitmap_color_depth(lib.bmp.get()), lib.past_end);
  std::abort();
}

void compare(const Bytes& d) {
  formats::Input in(d.data(), d.size());
  formats::Picture ours;
  if (formats::read_picture(container, in, ours)) {
    ++tally["refused_by_ours"];
    return;
  }
  if (const char* why = class_of(d, before)) {
    ++tally[why];
    return;
  }
  const fuzz::LibraryLoad lib = fuzz::library_load(container, d.data(), d.size());
  if (!lib.bmp) {
    ++tally["refused_by_library"];
    return;
  }
  const formats::Bitmap mine = as_bitmap(ours.image);
  BITMAP* a = mine.get();
  BITMAP* b = lib.bmp.get();
  const char* difference = nullptr;
  if (bitmap_color_depth(b) != 8) {
    difference = "the library's picture is not 8-bit";
  } else if (a->w != b->w || a->h != b->h) {
    difference = "the pictures differ in size";
  } else {
    for (int y = 0; y < a->h && !difference; ++y) {
      if (std::memcmp(a->line[y], b->line[y], static_cast<size_t>(a->w)) != 0) {
        difference = "the pictures differ in their pixels";
      }
    }
  }
  if (!difference) {
    ++tally[ours.true_colour ? "same_from_true_colour" : "same"];
    return;
  }
  if (const char* why = class_of(d, reduction)) {
    const formats::Bitmap unreduced = read_unreduced(d);
    const fuzz::LibraryLoad colours = fuzz::library_load(container, d.data(), d.size(), 32);
    if (unreduced && bitmap_color_depth(unreduced.get()) == 8 && !png_grey(d)) {
      // Indices against colours: nothing to compare; an "after" class must excuse it.
    } else if (same_colours(unreduced.get(), colours.bmp.get())) {
      ++tally[why];
      return;
    } else {
      difference = "the pictures differ in their colours";
    }
  }
  if (const char* why = class_of(d, after)) {
    ++tally[why];
    return;
  }
  fail(difference, a, lib, ours.true_colour);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::start_library();
  std::atexit(report_tally);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bytes d(data, data + size);
  compare(d);
  if (png && fuzz::fix_png_checksums(d)) compare(d);
  return 0;
}
