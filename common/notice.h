// The closing notice's three lines for the outcome of a run: what the user reads at the end.
// Free of the screen, so that tools without one can say what the programs would.
#ifndef COMMON_NOTICE_H
#define COMMON_NOTICE_H

#include <string>

#include "run.h"

namespace front_end {

struct Notice {
  std::string line1, line2, line3;
};
Notice notice_for(const run::Outcome& outcome);

}  // namespace front_end

#endif
