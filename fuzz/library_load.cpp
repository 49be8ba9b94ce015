#include "library_load.h"

#include <loadpng.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "front_end.h"

namespace fuzz {

namespace {

// The file's bytes, read front to back. Running out is recorded, not refused: the loaders get
// EOF as the library's own file packfile would give it, and the caller learns that they asked.
struct Memory {
  const unsigned char* data;
  size_t size;
  size_t at = 0;
  size_t past_end = 0;
};

Memory& memory(void* userdata) { return *static_cast<Memory*>(userdata); }

int memory_close(void*) { return 0; }

int memory_getc(void* userdata) {
  Memory& m = memory(userdata);
  if (m.at < m.size) return m.data[m.at++];
  ++m.past_end;
  return EOF;
}

int memory_ungetc(int c, void* userdata) {
  Memory& m = memory(userdata);
  if (m.at == 0 || c == EOF) return EOF;
  --m.at;
  return c;
}

long memory_read(void* to, long n, void* userdata) {
  Memory& m = memory(userdata);
  if (n <= 0) return 0;
  const size_t want = static_cast<size_t>(n);
  const size_t take = std::min(want, m.size - m.at);
  std::memcpy(to, m.data + m.at, take);
  m.at += take;
  m.past_end += want - take;
  return static_cast<long>(take);
}

int memory_putc(int, void*) { return EOF; }
long memory_write(const void*, long, void*) { return 0; }

// pack_fseek: relative, forward only.
int memory_seek(void* userdata, int offset) {
  Memory& m = memory(userdata);
  if (offset < 0) return -1;
  const size_t want = static_cast<size_t>(offset);
  const size_t take = std::min(want, m.size - m.at);
  m.at += take;
  m.past_end += want - take;
  return take == want ? 0 : -1;
}

int memory_eof(void* userdata) { return memory(userdata).at >= memory(userdata).size; }
int memory_error(void*) { return 0; }

const PACKFILE_VTABLE memory_vtable = {memory_close, memory_getc, memory_ungetc,
                                       memory_read,  memory_putc, memory_write,
                                       memory_seek,  memory_eof,  memory_error};

// loadpng creates the picture before libpng decodes the pixels, and when libpng then fails it
// returns NULL without destroying it: one lost picture per refused file, which a long campaign
// cannot afford. create_bitmap_ex and destroy_bitmap are wrapped at link time
// (-Wl,--wrap=...) so that what a loader made and neither returned nor destroyed is destroyed
// here.
const struct Loader {
  const char* extension;
  BITMAP* (*load)(PACKFILE*, RGB*);
} loaders[] = {
    {"bmp", load_bmp_pf}, {"tga", load_tga_pf}, {"pcx", load_pcx_pf}, {"png", load_png_pf}};

bool tracking = false;
std::set<BITMAP*> made;

}  // namespace

void start_library() {
  if (!front_end::start_headless()) {
    std::fprintf(stderr, "library_load: the library did not start\n");
    std::abort();
  }
  register_png_file_type();
}

LibraryLoad library_load(const formats::Container& c, const unsigned char* data, size_t size,
                         int depth) {
  Memory m{data, size};
  LibraryLoad out;
  PACKFILE* f = pack_fopen_vtable(&memory_vtable, &m);
  if (!f) return out;
  PALETTE pal;
  std::memset(pal, 0, sizeof pal);
  *allegro_errno = 0;  // the TGA loader refuses on a non-zero errno left from before
  set_color_depth(depth);
  set_color_conversion(depth == 8 ? COLORCONV_TOTAL : COLORCONV_NONE);
  made.clear();
  tracking = true;
  BITMAP* bmp = nullptr;
  // The library's loader for the container, by its extension (load_lbm reads only a named
  // file: LBM has none here).
  for (const Loader& l : loaders) {
    if (std::strcmp(l.extension, c.extension) == 0) bmp = l.load(f, pal);
  }
  tracking = false;
  set_color_depth(8);
  set_color_conversion(COLORCONV_TOTAL);
  pack_fclose(f);
  made.erase(bmp);
  for (BITMAP* lost : made) destroy_bitmap(lost);
  made.clear();
  out.bmp.reset(bmp);
  out.past_end = m.past_end;
  out.ran_out = m.past_end > 0;
  return out;
}

}  // namespace fuzz

extern "C" BITMAP* __real_create_bitmap_ex(int depth, int w, int h);
extern "C" void __real_destroy_bitmap(BITMAP* b);

extern "C" BITMAP* __wrap_create_bitmap_ex(int depth, int w, int h) {
  BITMAP* b = __real_create_bitmap_ex(depth, w, h);
  if (b && fuzz::tracking) fuzz::made.insert(b);
  return b;
}

extern "C" void __wrap_destroy_bitmap(BITMAP* b) {
  fuzz::made.erase(b);
  __real_destroy_bitmap(b);
}
