// The library's start without a screen: kept apart from the front end's screen and dialog, so
// that tests, benchmarks and fuzz targets link none of them.
#include "front_end.h"

#include <cerrno>
#include <cstdlib>

namespace front_end {

bool start_headless() {
  static const bool started = install_allegro(SYSTEM_NONE, &errno, atexit) == 0;
  if (started) set_color_depth(8);
  return started;
}

}  // namespace front_end
