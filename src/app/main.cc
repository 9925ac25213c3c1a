#include "app/driver.h"

int main(int argc, char** argv) { return lograven_main(argc, argv); }
