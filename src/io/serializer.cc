#include "io/serializer.h"

cSerializer::cSerializer(cIO* stream) : stream_(stream) {
  if (stream_ != nullptr) {
    int64_t pos = stream_->tell();
    base_ = pos > 0 ? static_cast<uint64_t>(pos) : 0;
  }
}

bool cSerializer::skip(uint64_t count) {
  cursor_ += count;
  return true;
}

bool cSerializer::seekToCursor() {
  if (stream_ == nullptr) return false;
  int64_t target = static_cast<int64_t>(base_ + cursor_);
  if (target < 0) return false;
  return stream_->seek(target, cIO::kSeekSet) == target;
}

bool cSerializer::readRaw(void* dst, uint64_t count) {
  if (!seekToCursor()) return false;
  if (count == 0) return true;
  if (dst == nullptr || count > static_cast<uint64_t>(INT64_MAX)) return false;
  if (stream_->read(dst, static_cast<int64_t>(count)) != static_cast<int64_t>(count)) return false;
  cursor_ += count;
  return true;
}

bool cSerializer::writeRaw(const void* src, uint64_t count) {
  if (!seekToCursor()) return false;
  if (count == 0) return true;
  if (src == nullptr || count > static_cast<uint64_t>(INT64_MAX)) return false;
  if (stream_->write(src, static_cast<int64_t>(count)) != static_cast<int64_t>(count)) return false;
  cursor_ += count;
  return true;
}

bool cSerializer::readU32_BE(uint32_t* v) {
  uint8_t b[4];
  if (v == nullptr || !readRaw(b, 4)) return false;
  *v = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
  return true;
}

bool cSerializer::readCstr(std::string* s, uint64_t count) {
  if (s == nullptr) return false;
  if (count == 0) return seekToCursor();
  // A length field is never trusted beyond what the stream can hold.
  if (stream_ == nullptr) return false;
  int64_t size = stream_->getSize();
  if (size < 0 || base_ + cursor_ + count > static_cast<uint64_t>(size)) return false;
  size_t old = s->size();
  s->resize(old + count);
  return readRaw(s->data() + old, count);
}
