#include "packfile_io.h"

#include <cerrno>

#include "safe_output.h"

namespace {

SafeOutput& out_of(void* userdata) { return *static_cast<SafeOutput*>(userdata); }

int out_close(void*) { return 0; }
int out_getc(void*) { return EOF; }
int out_ungetc(int, void*) { return EOF; }
long out_fread(void*, long, void*) { return 0; }
int out_putc(int c, void* userdata) {
  return out_of(userdata).put(static_cast<unsigned char>(c)) ? (c & 0xFF) : EOF;
}
long out_fwrite(const void* p, long n, void* userdata) {
  if (n <= 0) return 0;
  return out_of(userdata).write(p, static_cast<size_t>(n)) ? n : 0;
}
int out_fseek(void*, int) { return -1; }
int out_feof(void*) { return 0; }
int out_ferror(void* userdata) { return out_of(userdata).error(); }

const PACKFILE_VTABLE output_vtable = {out_close, out_getc,   out_ungetc, out_fread, out_putc,
                                       out_fwrite, out_fseek, out_feof,   out_ferror};

}  // namespace

PACKFILE* pack_open_output(SafeOutput& out) { return pack_fopen_vtable(&output_vtable, &out); }
