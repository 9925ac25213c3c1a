#include <malloc.h>

#include "app/driver.h"

int main(int argc, char** argv) {
  // An unpacked container of a few megabytes is allocated and released once
  // per input.  Left to its adaptive defaults, the allocator maps such blocks
  // afresh (or gives the top of the heap back) each time, and every input
  // then pays a page fault per 4 KiB; kept in the heap, they are reused.
  mallopt(M_MMAP_THRESHOLD, 4 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
  return lograven_main(argc, argv);
}
