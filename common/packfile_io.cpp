#include "packfile_io.h"

#include <cerrno>
#include <cstring>

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

PackInput& in_of(void* userdata) { return *static_cast<PackInput*>(userdata); }

int in_close(void*) { return 0; }
int in_getc(void* userdata) {
  PackInput& in = in_of(userdata);
  if (in.position >= in.size) {
    in.overread = true;
    return EOF;
  }
  return in.data[in.position++];
}
int in_ungetc(int c, void* userdata) {
  PackInput& in = in_of(userdata);
  if (in.position == 0) return EOF;
  --in.position;
  return c & 0xFF;
}
long in_fread(void* p, long n, void* userdata) {
  PackInput& in = in_of(userdata);
  if (n <= 0) return 0;
  size_t want = static_cast<size_t>(n);
  const size_t left = in.size - in.position;
  if (want > left) {
    in.overread = true;
    want = left;
  }
  std::memcpy(p, in.data + in.position, want);
  in.position += want;
  return static_cast<long>(want);
}
int in_putc(int, void*) { return EOF; }
long in_fwrite(const void*, long, void*) { return 0; }
int in_fseek(void* userdata, int offset) {
  PackInput& in = in_of(userdata);
  if (offset < 0) return -1;
  if (static_cast<size_t>(offset) > in.size - in.position) {
    in.overread = true;
    in.position = in.size;
    return -1;
  }
  in.position += static_cast<size_t>(offset);
  return 0;
}
int in_feof(void* userdata) { return in_of(userdata).position >= in_of(userdata).size; }
int in_ferror(void*) { return 0; }

const PACKFILE_VTABLE input_vtable = {in_close, in_getc,   in_ungetc, in_fread, in_putc,
                                      in_fwrite, in_fseek, in_feof,   in_ferror};

}  // namespace

PACKFILE* pack_open_input(PackInput& in) { return pack_fopen_vtable(&input_vtable, &in); }

PACKFILE* pack_open_output(SafeOutput& out) { return pack_fopen_vtable(&output_vtable, &out); }
