// The decoder's walk over rows as a reader hands them on, and what either walk gives.
#ifndef DEVORUDO_STREAM_WALK_H
#define DEVORUDO_STREAM_WALK_H

#include <cstdint>
#include <optional>
#include <vector>

#include "carrier.h"
#include "files.h"
#include "reader.h"
#include "run.h"

namespace devorudo {

// What a walk over a picture's data gave: the streamed one (StreamWalk) or the one over a
// picture held whole (walk_picture).
struct Walk {
  carrier::DataEnd located;  // where the data ends, and how sure that is
  bool escaped = false;      // ended early by Esc
  bool at_once = false;      // by Esc found at the walk's first test: nothing was sent
  run::Fault fault;          // why the sink refused a write
  int64_t sent = 0;          // bytes sent to the sink
  bool retry = false;        // streamed: another reading of the pixels may hold (read_again)
};

// The walk over rows as a reader hands them on, top to bottom: positions 1 on, each byte written
// once the data is known to reach it. The end-of-data rule ends the data at the last pixel above
// 0, so a run of zeros is held back until a pixel above 0 follows; after the last row the record
// or the palette's check (carrier::settle) says whether the length takes the zeros after that
// pixel too. The walk is carrier::Cursor's, a row a span, Esc tested as it tests it (before the
// first row, then after each row's first byte); after Esc the rows are still read, for where
// the data ends, but nothing more is written. A palette in another order than the carrier's is
// read through its levels (formats::Found::reading_levels).
class StreamWalk : public formats::RowTaker {
 public:
  // `read_again` false: the walk never asks for the picture to be read whole (it already was,
  // and could not be held).
  StreamWalk(files::Sink& out, run::Feedback& feedback, bool read_again = true)
      : out_(out), feedback_(feedback), read_again_(read_again) {}

  run::Fault start(int32_t w, int32_t h, const formats::Found& found) override;
  run::Fault rows(const unsigned char* pixels, int32_t count) override;

  // After the last row: the data's end by the record, the check or the rule, and the zeros that
  // the length takes written.
  Walk finish(const formats::Found& found);

  // Rows were begun: what the walk wrote must go before the picture is read again.
  bool started() const { return w_ > 0; }
  // The walk asked for the picture to be read whole (Defect::read_whole).
  bool asked_whole() const { return asked_whole_; }
  // Why the destination refused a write, if it did.
  run::Fault sink_fault() const { return sink_fault_; }

 private:
  run::Fault take(const unsigned char* p, int64_t at, int32_t n, int32_t end);
  run::Fault zeros(int64_t n);

  files::Sink& out_;
  run::Feedback& feedback_;
  std::optional<carrier::Cursor> cursor_;
  run::Fault sink_fault_;
  int32_t w_ = 0, h_ = 0, y_ = 0;
  bool read_again_;
  bool another_reading_ = false;  // a record or a check was found before the pixels
  bool asked_whole_ = false;
  int64_t last_ = 0;                          // the last position above 0 so far
  int64_t sent_ = 0;                          // positions 1 to sent_ are written
  int64_t held_ = 0;                          // zeros after them, held back
  uint32_t crc_ = 0;                          // of the positions written
  std::vector<unsigned char> lut_, scratch_;  // reading through levels: index to level, a row
};

}  // namespace devorudo

#endif
