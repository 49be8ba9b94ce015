// Each container's reader, streamer and writer, one module each (bmp.cpp, tga.cpp, pcx.cpp with
// pcx_scan.cpp, png_read.cpp and png_write.cpp on png_chunks.cpp, lbm.cpp): the table in
// formats.cpp names them, and they know nothing of it.
#ifndef COMMON_FORMATS_CONTAINERS_H
#define COMMON_FORMATS_CONTAINERS_H

#include <cstdint>
#include <memory>

#include "carrier.h"
#include "files.h"
#include "image.h"
#include "input.h"
#include "reader.h"
#include "run.h"
#include "writer.h"

namespace formats {

run::Fault read_bmp(Input& in, Image& out, Found& found);
run::Fault read_tga(Input& in, Image& out, Found& found);
run::Fault read_pcx(Input& in, Image& out, Found& found);
run::Fault read_png(Input& in, Image& out, Found& found);
run::Fault read_lbm(Input& in, Image& out, Found& found);  // no record, no levels
run::Fault stream_bmp(Input& in, RowTaker& to, Found& found, bool& streamed);
run::Fault stream_tga(Input& in, RowTaker& to, Found& found, bool& streamed);
run::Fault stream_pcx(Input& in, RowTaker& to, Found& found, bool& streamed);
run::Fault stream_png(Input& in, RowTaker& to, Found& found, bool& streamed);
run::Fault stream_lbm(Input& in, RowTaker& to, Found& found, bool& streamed);
// Whether the PCX reader may decode with the processor's byte shuffle (SSSE3), where it has one:
// on by default; tests turn it off to read through the other way too.
void pcx_byte_shuffle(bool on);

std::unique_ptr<PictureWriter> write_bmp(files::Sink& out, int32_t w, int32_t h, const Palette& pal,
                                         const carrier::Record* room);
std::unique_ptr<PictureWriter> write_tga(files::Sink& out, int32_t w, int32_t h, const Palette& pal,
                                         const carrier::Record* room);
std::unique_ptr<PictureWriter> write_pcx(files::Sink& out, int32_t w, int32_t h, const Palette& pal,
                                         const carrier::Record* room);
std::unique_ptr<PictureWriter> write_png(files::Sink& out, int32_t w, int32_t h, const Palette& pal,
                                         const carrier::Record* room);

}  // namespace formats

#endif
