#include "output/decoder.h"

#include <cmath>
#include <algorithm>
#include <cstring>
#include <ctime>
#include <limits>

#include "base/log.h"
#include "db/decode.h"
#include "db/j1939.h"
#include "db/message_key.h"
#include "output/output_naming.h"

namespace {

constexpr uint64_t kMix = 0x9E3779B97F4A7C15u;
constexpr size_t kInitialCacheSlots = 256;
// Writers found at most before the cache starts over: keyed by the raw
// multiplexor value, it would otherwise grow with every distinct value.
constexpr size_t kMaxCachedWriters = size_t{1} << 17;
constexpr int64_t kSecondsPerDay = 86400;
// Time stamps outside the years 1 to 9999 (a damaged record, an erased
// one) have no calendar date worth a folder; they are filed under 1970-01-01,
// as are non-numbers.
constexpr double kFirstDatedSecond = -62135596800.0;  // 0001-01-01 00:00:00
constexpr double kEndDatedSecond = 253402300800.0;    // 10000-01-01 00:00:00

bool dated(double timeStamp) {
  return timeStamp >= kFirstDatedSecond && timeStamp < kEndDatedSecond;  // false for NaN
}

// The second the CSV file prints for a dated time stamp: rounded to the
// microsecond as the row is, then down to the whole second (before 1970 as
// after it).
int64_t printedSecond(double timeStamp) {
  return static_cast<int64_t>(std::floor(std::nearbyint(timeStamp * 1e6) / 1e6));
}

cMessageIdentity identityOf(cDBBusKind busKind, const cBusMsg& msg, uint32_t key) {
  cMessageIdentity identity;
  identity.type = static_cast<uint32_t>(msg.type);
  identity.channel = msg.channel;
  identity.key = key;
  if (busKind == cDBBusKind::J1939 && msg.can.ide) {
    identity.sourceAddress = cJ1939_sourceAddress(msg.id);
    identity.hasSourceAddress = 1;
    if (cJ1939_isPdu1(msg.id)) {
      identity.destinationAddress = cJ1939_destinationAddress(msg.id);
      identity.hasDestinationAddress = 1;
    }
  }
  return identity;
}

}  // namespace

cDecoder::cDecoder(cFS* outputFs, const cDBMap* canDatabases, const cDBMap* linDatabases,
                   const cDecoderOptions& options)
    : canDatabases_(canDatabases),
      linDatabases_(linDatabases),
      concat_(options.concat),
      writers_(options.maxOpenFiles > 0 ? options.maxOpenFiles : cWriterSet_defaultMaxOpenFiles(),
               *outputFs, options.journalName),
      spareProcessors_(options.spareProcessors) {
  naming_.folderSuffix = options.noAppendRoot ? "" : "_out";
  naming_.pgnSrcMerge = options.pgnSrcMerge;
  naming_.pgnDstMerge = options.pgnDstMerge;
  if (options.writeThread) rowThread_ = std::make_unique<cRowWriterThread>();
}

cDecoder::~cDecoder() = default;

bool cDecoder::closeWriters() {
  if (!commit(false)) rollback();  // both wait for the writing thread first
  writers_.closeAll();
  return !writers_.hadWriteError();
}

bool cDecoder::commit(bool forDeletion) {
  settle();
  if (!writers_.commit(forDeletion)) return false;
  statistics_.files += pending_.files;
  statistics_.messages += pending_.messages;
  statistics_.signals += pending_.signals;
  pending_ = {};
  return true;
}

void cDecoder::rollback() {
  settle();
  writers_.rollback();
  pending_ = {};
}

bool cDecoder::newFile(const cLogFileInfo& info, bool continuation) {
  inputPath_ = info.inputPath;
  undatedWarned_ = false;
  settle();  // the writing thread has flushed the writers before they learn of the input
  writers_.setInputSplit(info.split);
  if (continuation && concat_) return true;  // rows go on into the open files
  writers_.closeAll();
  naming_.deviceId = cOutputNaming_deviceId(info.serialNumber);
  naming_.session = info.session;
  naming_.split = info.split;
  return true;
}

bool cDecoder::endFile(const cLogFileInfo&) { return true; }

void cDecoder::takeSpareProcessor() {
  uint32_t spare = spareProcessors_->load(std::memory_order_relaxed);
  while (spare > 0 && !spareProcessors_->compare_exchange_weak(spare, spare - 1)) {
  }
  if (spare == 0) return;
  // Every row so far is in its writer: the thread takes over from here.
  rowThread_ = std::make_unique<cRowWriterThread>();
  LOG_DEBUG("A spare processor writes the rows from here");
}

bool cDecoder::newMsg(cBusMsg& msg) {
  if (spareProcessors_ != nullptr && !rowThread_ && (++sinceSpareCheck_ & 0xFFFu) == 0)
    takeSpareProcessor();
  const cDBMap* map = nullptr;
  DatabaseLists* lists = nullptr;
  size_t slot = msg.channel;
  if (msg.type == cBusMsgType::BUS_MSG_CAN_DATA_FRAME) {
    map = canDatabases_;
    lists = &canLists_;
  } else if (msg.type == cBusMsgType::BUS_MSG_LIN_FRAME) {
    map = linDatabases_;
    lists = &linLists_;
    slot += kBusLinSlot0;
  } else {
    return true;
  }
  // A channel's list, once found, stays where it is (map nodes do not move);
  // a channel without one is looked up each time, as databases may be added.
  const std::vector<std::unique_ptr<cDB>>*& list = (*lists)[msg.channel];
  if (list == nullptr && map != nullptr) {
    auto it = map->find(msg.channel);
    if (it != map->end()) list = &it->second;
  }
  bool known = false;
  if (list != nullptr) {
    size_t index = 0;
    for (const std::unique_ptr<cDB>& db : *list) {
      if (db != nullptr && decodeWith(*db, msg)) {
        tally_.decodedBy(slot, index);
        known = true;
      }
      ++index;
    }
  }
  tally_.finish(msg, slot, known);
  return true;
}

bool cDecoder::decodeWith(const cDB& db, const cBusMsg& msg) {
  uint32_t key = cDB_frame2key(db.busKind(), msg.id, msg.can.ide);
  cFlatMessage& entry = flatMessages_.find(db, key);
  if (entry.message == nullptr || entry.ignored) return false;
  if (entry.flat && writeFlatRow(db, entry, msg, key)) return true;
  if (!cDB_decodeMessage(&db, key, msg.data, &decoded_)) return false;
  if (decoded_.signals.empty()) return true;
  cMessageIdentity identity = identityOf(db.busKind(), msg, key);
  identity.nameHash = decoded_.message->nameHash;
  checkDate(msg.timeStamp);

  values_.clear();
  bool valid = false;
  for (const cDBDecodedSignal& s : decoded_.signals) {
    if (s.ignored) continue;
    if (s.signal->limits.hold(s.value)) {
      ++pending_.signals;
      valid = true;
      values_.push_back(s.value);
    } else {
      values_.push_back(std::numeric_limits<double>::quiet_NaN());
    }
  }
  if (!valid) return true;
  ++pending_.messages;
  cCsvWriter* writer = writerFor(identity);
  if (writer != nullptr) emitRow(writer, msg.timeStamp);
  return true;
}

bool cDecoder::writeFlatRow(const cDB& db, cFlatMessage& entry, const cBusMsg& msg,
                            uint32_t key) {
  // A writing thread with time to spare takes the values of a row that has
  // them all within their limits whatever the payload: the row and its
  // counts are known without them.
  const bool handOver = rowThread_ && entry.alwaysInLimits &&
                        msg.data.size() == entry.fastLength && rowThread_->takesPayloads();
  const int64_t inLimits =
      handOver ? entry.valueCount : flatMessages_.row(entry, msg.data, &values_);
  if (inLimits < 0) return false;
  cMessageIdentity identity = identityOf(entry.busKind, msg, key);
  identity.nameHash = entry.nameHash;
  checkDate(msg.timeStamp);
  if (inLimits == 0) return true;
  if (entry.generation != writers_.generation() || !(entry.identity == identity)) {
    CachedWriter& cached = cachedWriter(writerCacheKey(entry.message, nullptr, identity));
    // A message without multiplexor whose signals all decoded always has the
    // same signal set: the message itself stands for its signal names.
    if (cached.flatMessage != entry.message || cached.generation != writers_.generation() ||
        !(cached.identity == identity)) {
      // A new signal set (or day): the full decode names its file.
      if (!cDB_decodeMessage(&db, key, msg.data, &decoded_)) return true;
      fillCachedWriter(cached, identity);
      cached.flatMessage = entry.message;
    }
    entry.generation = cached.generation;
    entry.identity = identity;
    entry.writer = cached.writer;
  }
  pending_.signals += static_cast<uint64_t>(inLimits);
  ++pending_.messages;
  if (entry.writer == nullptr) return true;
  if (handOver)
    rowThread_->writeFlat(entry.writer, msg.timeStamp, cFlatMessageTable::valueSignals(entry),
                          msg.data);
  else
    emitRow(entry.writer, msg.timeStamp);
  return true;
}

uint64_t cDecoder::writerCacheKey(const cDBMessage* message, const double* multiplexorValue,
                                  const cMessageIdentity& identity) {
  uint64_t cacheKey = reinterpret_cast<uintptr_t>(message);
  if (multiplexorValue != nullptr) {
    uint64_t bits;
    std::memcpy(&bits, multiplexorValue, sizeof bits);
    cacheKey = cacheKey * kMix ^ bits;
  }
  return cacheKey * kMix ^ (uint64_t{identity.sourceAddress} << 8 | identity.destinationAddress);
}

bool cDecoder::cachedWriterMatches(const CachedWriter& cached, const cMessageIdentity& identity,
                                   const std::vector<cDBDecodedSignal>& signals) const {
  // The cached writer is the one of the signal-set key exactly when every
  // part of that key is the same: the device and day (no writer was closed
  // since), the identity and the signal names.
  if (cached.generation != writers_.generation() || !(cached.identity == identity) ||
      cached.signalHashes.size() != signals.size())
    return false;
  for (size_t i = 0; i < signals.size(); ++i)
    if (cached.signalHashes[i] != static_cast<uint32_t>(signals[i].nameHash)) return false;
  return true;
}

void cDecoder::fillCachedWriter(CachedWriter& cached, const cMessageIdentity& identity) {
  settle();
  cCsvWriter* writer = signalSet2Writer(writers_, naming_, identity, decoded_, &pending_.files);
  cached.generation = writer != nullptr ? writers_.generation() : 0;
  cached.identity = identity;
  cached.flatMessage = nullptr;
  cached.signalHashes.clear();
  for (const cDBDecodedSignal& s : decoded_.signals) cached.signalHashes.push_back(s.nameHash);
  cached.writer = writer;
}

cDecoder::CachedWriter& cDecoder::cachedWriter(uint64_t cacheKey) {
  if (writerCacheUsed_ >= kMaxCachedWriters) {
    writerCache_.assign(writerCache_.size(), CachedWriter{});
    writerCacheUsed_ = 0;
  }
  if (2 * (writerCacheUsed_ + 1) > writerCache_.size()) {
    std::vector<CachedWriter> old(std::max(kInitialCacheSlots, 2 * writerCache_.size()));
    old.swap(writerCache_);
    writerCacheUsed_ = 0;
    for (CachedWriter& entry : old)
      if (entry.used) cachedWriter(entry.cacheKey) = std::move(entry);
  }
  const size_t mask = writerCache_.size() - 1;
  for (size_t i = (cacheKey * kMix) >> 32 & mask;; i = (i + 1) & mask) {
    CachedWriter& slot = writerCache_[i];
    if (slot.used && slot.cacheKey == cacheKey) return slot;
    if (!slot.used) {
      slot.used = true;
      slot.cacheKey = cacheKey;
      ++writerCacheUsed_;
      return slot;
    }
  }
}

cCsvWriter* cDecoder::writerFor(const cMessageIdentity& identity) {
  const double* multiplexorValue = nullptr;
  for (const cDBDecodedSignal& s : decoded_.signals) {
    if (!s.isMultiplexor) continue;
    multiplexorValue = &s.value;
    break;
  }
  CachedWriter& cached = cachedWriter(writerCacheKey(decoded_.message, multiplexorValue, identity));
  if (!cachedWriterMatches(cached, identity, decoded_.signals)) fillCachedWriter(cached, identity);
  return cached.writer;
}

void cDecoder::checkDate(double timeStamp) {
  // More than a microsecond inside the current day: the row prints a
  // second of it.
  if (timeStamp >= insideFrom_ && timeStamp < insideTo_) return;
  int64_t seconds = 0;
  if (dated(timeStamp)) {
    seconds = printedSecond(timeStamp);
  } else if (!undatedWarned_) {
    undatedWarned_ = true;
    LOG_WARN("Rows of %s have time stamps that are no date (not a number, infinite, or outside"
             " the years 1 to 9999, such as %f): they go to the day folder 1970/01/01",
             inputPath_.c_str(), timeStamp);
  }
  if (seconds >= dayStart_ && seconds < dayEnd_) return;

  time_t t = static_cast<time_t>(seconds);
  struct tm date {};
  if (gmtime_r(&t, &date) == nullptr) {
    t = 0;
    seconds = 0;
    gmtime_r(&t, &date);
  }
  int year = date.tm_year + 1900;
  int month = date.tm_mon + 1;
  if (year != naming_.year || month != naming_.month || date.tm_mday != naming_.day) {
    settle();
    writers_.closeAll();
    naming_.year = year;
    naming_.month = month;
    naming_.day = date.tm_mday;
  }
  dayStart_ = seconds - (date.tm_hour * 3600 + date.tm_min * 60 + date.tm_sec);
  dayEnd_ = dayStart_ + kSecondsPerDay;
  insideFrom_ = static_cast<double>(dayStart_);
  insideTo_ = static_cast<double>(dayEnd_) - 1e-6;
}

std::unique_ptr<cDecoder> cDecoder_ctor(cFS* outputFs, const cDBMap* canDatabases,
                                        const cDBMap* linDatabases,
                                        const cDecoderOptions& options) {
  if (outputFs == nullptr) return nullptr;
  return std::make_unique<cDecoder>(outputFs, canDatabases, linDatabases, options);
}
