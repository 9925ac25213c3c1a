// Settings of the input walker, taken from the reader's command line.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

struct cLogReaderOptions {
  bool deleteConverted = false;  // remove each input file once converted
  bool noAppendRoot = false;     // do not add "_out" when converting folders
  bool nonInteractive = false;   // no progress line, even on a terminal
  int64_t bufferSize = 0;        // read buffer: -1 whole file, 0 none, else bytes
  // Time stamps in UTC (the header's start time alone) instead of the
  // logger's local clock (plus the header's time-zone and daylight-saving
  // offsets); the day folders of the output follow the time stamps.
  bool utc = false;
  // Bytes a container unwraps into memory before the rest goes to a
  // temporary file; 0: the read buffer when one is given, else 256 MB.
  // Workers converting at the same time share that budget.
  uint64_t unpackMemory = 0;
  // Where containers unwrap past the read buffer (or 256 MB): an unnamed
  // temporary file in this folder (empty: the system's temporary folder).
  std::string unpackFolder{};
  // Device passwords: key "default" or the device serial number as written in
  // the password file; only keys of eight upper-case hexadecimal digits can
  // match a device.
  std::unordered_map<std::string, std::string> passwords;
};
