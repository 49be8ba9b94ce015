#include "formats.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <new>

#include "containers.h"

namespace formats {

namespace {

// The most rows of the carrier's width a BMP holds, with its headers, palette and record, in its
// 32-bit file size.
constexpr int32_t bmp_rows = (UINT32_MAX - (54 + 256 * 4) - carrier::record_size) / carrier::width;

// Every container, read and written, with the rows its fields hold: BMP's file size, TGA's
// 16-bit height, PCX's 16-bit last-row index, PNG's 31-bit height. LBM is only read: the
// encoder writes no LBM carrier.
// A row's bytes at most: BMP pads rows to 4 bytes, TGA stores them as they are, PCX's run-length
// coding takes two bytes for a lone byte from 0xC0 up in lines of even length, and PNG adds a
// filter byte, with deflate's blocks (stored, or level 1 on bytes that pack) and the IDAT
// chunks' fields adding far less than a 64th and 16 bytes a row.
constexpr Container containers[] = {
    {"BMP", "bmp", bmp_rows, INT32_MAX, read_bmp, stream_bmp, write_bmp,
     [](uint64_t w) { return (w + 3) / 4 * 4; }},
    {"TGA", "tga", 65535, 65535, read_tga, stream_tga, write_tga, [](uint64_t w) { return w; }},
    {"PCX", "pcx", 65536, 65535, read_pcx, stream_pcx, write_pcx,
     [](uint64_t w) { return 2 * (w + w % 2); }},
    {"PNG", "png", INT32_MAX, INT32_MAX, read_png, stream_png, write_png,
     [](uint64_t w) { return w + 1 + (w + 1) / 64 + 16; }},
    {"LBM", "lbm", 0, 0, read_lbm, stream_lbm, nullptr, nullptr},
};

// Headers, palette, the record and what closes the file, in any container: far less than this.
constexpr uint64_t most_header_bytes = 64 << 10;

}  // namespace

const Container* container_for(const std::string& name) {
  const auto slash = name.find_last_of('/');
  const auto dot = name.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return nullptr;
  std::string ext = name.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const Container& c : containers) {
    if (ext == c.extension) return &c;
  }
  return nullptr;
}

int64_t most_source_bytes() {
  int32_t rows = 0;
  for (const Container& c : containers) rows = std::max(rows, c.most_rows);
  return int64_t{rows} * carrier::width - 1;
}

namespace {

// ".a, .b o .c": the extensions of the containers `take` picks, in the table's order, the last
// two joined by `last_joint`.
template <class Take>
std::string listed(Take take, const char* last_joint) {
  std::vector<std::string> names;
  for (const Container& c : containers) {
    if (take(c)) names.push_back(std::string(".") + c.extension);
  }
  std::string list;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) list += i + 1 == names.size() ? last_joint : ", ";
    list += names[i];
  }
  return list;
}

}  // namespace

std::string extensions(bool written, const char* last_joint) {
  return listed([&](const Container& c) { return !written || c.write; }, last_joint);
}

std::string extensions_holding(int32_t rows, const char* last_joint) {
  return listed([&](const Container& c) { return c.write && c.most_rows >= rows; }, last_joint);
}

uint64_t most_bytes(const Container& c, int32_t w, int32_t h) {
  if (!c.most_row_bytes || w < 1 || h < 1) return 0;
  return most_header_bytes + c.most_row_bytes(static_cast<uint64_t>(w)) * static_cast<uint64_t>(h);
}

run::Fault read_picture(const Container& c, Input& in, Picture& out) try {
  Image image;
  Found found;
  if (const run::Fault f = c.read(in, image, found)) return f;
  if (!image) return damaged();
  out.mark = found.mark;
  out.reading = found.reading_levels();
  out.levels = std::move(found.levels);
  out.shown = found.shown;
  // A carrier a tool turned into true colour keeps its bytes as levels, and its check.
  out.true_colour = image.depth() != 8 && !grey_levels(image, found.translucent, out.shown);
  if (out.true_colour) {
    if (const run::Fault reduced = reduce_to_eight_bits(image)) return reduced;
  }
  out.image = std::move(image);
  return {};
} catch (const std::bad_alloc&) {
  out = Picture{};
  return run::system_fault(ENOMEM);
}

std::unique_ptr<PictureWriter> writer_for(const Container& c, files::Sink& out, int32_t w,
                                          int32_t h, const Palette& pal,
                                          const carrier::Record* room, run::Fault& fault) {
  if (!c.write || w < 1 || h < 1 || h > c.most_rows || w > c.most_columns) {
    fault = unsupported();
    return nullptr;
  }
  fault = {};
  return c.write(out, w, h, pal, room);
}

run::Fault stream_picture(const Container& c, Input& in, RowTaker& to, Found& found,
                          bool& streamed) try {
  streamed = false;
  found = Found{};
  if (!c.stream) return {};
  run::Fault f = c.stream(in, to, found, streamed);
  if (f.defect == run::Defect::read_whole) streamed = false, f = {};
  if (!f && !streamed) return in.seek(0);
  return f;
} catch (const std::bad_alloc&) {
  return run::system_fault(ENOMEM);
}

run::Fault write_picture(const Container& c, files::Sink& out, const Image& image,
                         const Palette& pal, const carrier::Record* record) {
  if (image.depth() != 8) return unsupported();
  run::Fault f;
  const auto writer = writer_for(c, out, image.w(), image.h(), pal, record, f);
  if (!f) f = writer->begin();
  if (!f) f = writer->rows(image.row(0), image.h());
  if (!f && record) f = writer->repaint(check_palette(*record));
  if (!f) f = writer->finish(record);
  return f;
}

}  // namespace formats
