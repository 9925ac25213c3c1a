// Program driver: parses the command line, builds the layer chain, runs the
// conversion, prints the statistics and returns the exit status.
#pragma once

int lograven_main(int argc, char** argv);
