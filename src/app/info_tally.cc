#include "app/info_tally.h"

#include <algorithm>

#include "bus/bus_channels.h"
#include "db/message_key.h"

cInfoTally::cInfoTally(const cDBMap* canDatabases, const cDBMap* linDatabases, Sink sink)
    : canDatabases_(canDatabases), linDatabases_(linDatabases), sink_(std::move(sink)) {}

cInfoChannel& cInfoTally::channel(bool lin, uint8_t number) {
  auto [it, added] = report_.channels.try_emplace(cInfoChannelKey{lin, number});
  if (added) {
    const cDBMap* map = lin ? linDatabases_ : canDatabases_;
    auto dbs = map->find(number);
    it->second.hasDatabase = dbs != map->end() && !dbs->second.empty();
  }
  return it->second;
}

bool cInfoTally::newFile(const cLogFileInfo& info, bool continuation) {
  report_ = {};
  report_.path = info.inputPath;
  report_.serialNumber = info.serialNumber;
  report_.session = info.session;
  report_.split = info.split;
  report_.compressed = info.compressed;
  report_.encrypted = info.encrypted;
  return next_ == nullptr || next_->newFile(info, continuation);
}

bool cInfoTally::endFile(const cLogFileInfo& info) {
  return next_ == nullptr || next_->endFile(info);
}

bool cInfoTally::newMsg(cBusMsg& msg) {
  if (!report_.hasRecords || msg.timeStamp < report_.firstTime) report_.firstTime = msg.timeStamp;
  if (!report_.hasRecords || msg.timeStamp > report_.lastTime) report_.lastTime = msg.timeStamp;
  report_.hasRecords = true;
  switch (msg.type) {
    case cBusMsgType::BUS_MSG_CAN_DATA_FRAME: {
      cInfoChannel& entry = channel(false, msg.channel);
      ++entry.frames;
      ++entry.ids[cDB_can_id2key(msg.id, msg.can.ide ? 1 : 0)];
      break;
    }
    case cBusMsgType::BUS_MSG_LIN_FRAME: {
      cInfoChannel& entry = channel(true, msg.channel);
      ++entry.frames;
      ++entry.ids[cDB_lin_id2key(msg.id)];
      break;
    }
    case cBusMsgType::BUS_MSG_CAN_REMOTE_FRAME:
      ++channel(false, msg.channel).remoteFrames;
      break;
    case cBusMsgType::BUS_MSG_CAN_ERROR_FRAME:
      ++channel(false, msg.channel).errorFrames;
      break;
    case cBusMsgType::BUS_MSG_GENERIC:
      break;
    default:  // the LIN error records
      ++channel(true, msg.channel).errorFrames;
      break;
  }
  return next_ == nullptr || next_->newMsg(msg);
}

bool cInfoTally::Tail::newMsg(cBusMsg& msg) {
  const bool lin = msg.type == cBusMsgType::BUS_MSG_LIN_FRAME;
  if (!lin && msg.type != cBusMsgType::BUS_MSG_CAN_DATA_FRAME) return true;
  cInfoChannel& entry = owner_.channel(lin, msg.channel);
  if (entry.hasDatabase)
    owner_.lookUp(entry, lin ? *owner_.linDatabases_ : *owner_.canDatabases_, msg);
  return true;
}

// Every database of the channel that knows the frame names its message, as
// each would write a row of it.
void cInfoTally::lookUp(cInfoChannel& entry, const cDBMap& databases, const cBusMsg& msg) {
  bool known = false;
  for (const std::unique_ptr<cDB>& db : databases.at(msg.channel)) {
    if (db == nullptr) continue;
    const cDBMessage* message =
        cDB_messageFind(db.get(), cDB_frame2key(db->busKind(), msg.id, msg.can.ide));
    if (message == nullptr || message->ignored != 0) continue;
    ++entry.messages[message->name];
    known = true;
  }
  if (known) {
    ++entry.decoded;
  } else if (msg.type == cBusMsgType::BUS_MSG_LIN_FRAME) {
    entry.unknown.insert(cDB_lin_id2key(msg.id));
  } else {
    entry.unknown.insert(cDB_can_id2key(msg.id, msg.can.ide ? 1 : 0));
  }
}

bool cInfoTally::commit(bool /*forDeletion*/) {
  sink_(report_);
  report_ = {};
  return true;
}

void cInfoTally::failed(const std::string& inputPath, int32_t code) {
  cInfoFileReport report;
  report.path = inputPath;
  report.failure = code;
  sink_(report);
}

std::string cInfoFrameId_text(bool lin, cInfoFrameId id) {
  return cBusChannel_identifier(id & 0x1FFFFFFFu, !lin && (id & 0x80000000u) != 0, lin);
}
