// PNG pictures: reader and writer. (Being written.)
#include <cerrno>

#include "formats.h"
#include "safe_output.h"

namespace formats {

run::Fault read_png(Input& in, Bitmap& out) {
  (void)in;
  (void)out;
  return run::defect(run::Defect::unsupported);
}

run::Fault write_png(SafeOutput& out, const BITMAP* bmp, const RGB* pal) {
  (void)out;
  (void)bmp;
  (void)pal;
  return run::system_fault(ENOSYS);
}

}  // namespace formats
