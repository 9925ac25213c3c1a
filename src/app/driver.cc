#include "app/driver.h"

#include <cstdio>

#include "version.h"

int lograven_main(int, char**) {
  std::printf("Version: %s\n", LOGRAVEN_VERSION);
  return 0;
}
