#include "core/host/allocation.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>

namespace tesk {

double physical_memory_bytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) return 0.0;
  return static_cast<double>(pages) * static_cast<double>(page_size);
}

void check_allocation(double bytes, const char* what) {
  const double total = physical_memory_bytes();
  const bool unknown_total = total <= 0.0;
  if (std::isfinite(bytes) && (unknown_total || bytes <= total)) return;
  char text[256];
  if (std::isfinite(bytes)) {
    std::snprintf(text, sizeof(text),
                  "%s needs %.0f bytes, more than the %.0f bytes of physical memory", what, bytes,
                  total);
  } else {
    std::snprintf(text, sizeof(text), "%s needs more bytes than can be counted", what);
  }
  throw AllocationTooLarge(text);
}

}  // namespace tesk
