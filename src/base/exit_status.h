// Exit statuses of the program.  Each input's outcome is one of the file
// statuses (bits 0 to 3) and the outcomes of all inputs are ORed together;
// the command-line statuses (0x81 and up) end the run before any input is
// converted and stand alone.
#pragma once

#include <cstdint>

enum cExitStatus : int32_t {
  kExitOk = 0,
  // An input (or the folder of the inputs) does not exist; the password file
  // does not open, cannot be read or is malformed; a named DBC file does not
  // load.
  kExitMissingInput = 0x01,
  // No password for an encrypted file's device, or decryption failed.
  kExitNoPassword = 0x02,
  kExitDecompression = 0x04,
  // Any other failure of a file: unreadable, not from the logger, damaged, an
  // output file that could not be written; a folder that cannot be listed.
  kExitConversion = 0x08,
  // An input that is neither file nor folder, or whose type cannot be
  // queried (no permission on its folder, a symbolic-link loop); also an
  // argument table that cannot be built.
  kExitNotFileOrFolder = 0x81,
  kExitMissingValue = 0x82,      // an option lacks its value
  kExitInvalidArgument = 0x83,   // invalid or out-of-range number, unexpected argument
  kExitNoCommonRoot = 0x84,      // the inputs have no common root folder
  // Another command-line error, an unusable output directory, or no database.
  kExitOptionError = 0x86,
  // SIGINT, SIGTERM or SIGHUP stopped the run; the unfinished input was
  // rolled back.  Stands alone.
  kExitInterrupted = 0x87,
};
