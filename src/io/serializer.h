// Field reader and writer at a cursor relative to a base position in a
// stream.  Every call seeks to base + cursor first, so several serializers
// (and other users) may share one stream; the cursor, not the stream position,
// says where the next field lies.  A short transfer fails the call and leaves
// the cursor unchanged.  Fields are little-endian (the host order on the
// supported platform); one reader is big-endian.
//
// Callers combine results with & over a run of fields and test once.
#pragma once

#include <cstdint>
#include <string>

#include "io/io.h"

class cSerializer {
 public:
  // Base = stream->tell() now; cursor 0.  `stream` is borrowed; null makes
  // every call fail.
  explicit cSerializer(cIO* stream);

  bool skip(uint64_t count);

  bool readU8(uint8_t* v) { return readRaw(v, 1); }
  bool readU16(uint16_t* v) { return readRaw(v, 2); }
  bool readI16(int16_t* v) { return readRaw(v, 2); }
  bool readU32(uint32_t* v) { return readRaw(v, 4); }
  bool readU64(uint64_t* v) { return readRaw(v, 8); }
  bool readF64(double* v) { return readRaw(v, 8); }
  // Most significant byte first.  Null destination fails without reading.
  bool readU32_BE(uint32_t* v);

  // Reads exactly `count` bytes.
  bool readRaw(void* dst, uint64_t count);
  // Appends exactly `count` bytes from the stream to `s` (no terminator
  // search).  On a short read `s` keeps its new length; discard it.
  bool readCstr(std::string* s, uint64_t count);

  bool writeU8(const uint8_t* v) { return writeRaw(v, 1); }
  bool writeU16(const uint16_t* v) { return writeRaw(v, 2); }
  bool writeI16(const int16_t* v) { return writeRaw(v, 2); }
  bool writeU32(const uint32_t* v) { return writeRaw(v, 4); }
  bool writeU64(const uint64_t* v) { return writeRaw(v, 8); }
  bool writeF64(const double* v) { return writeRaw(v, 8); }
  bool writeRaw(const void* src, uint64_t count);

 private:
  bool seekToCursor();

  cIO* stream_;
  uint64_t base_ = 0;
  uint64_t cursor_ = 0;
};
