#include "e2e_logs.h"

#include <cinttypes>
#include <cstdio>

namespace {

constexpr uint32_t kExtendedFlag = 0x80000000u;  // DBC identifiers of 29-bit frames

// Eight signals filling 64 bits: bytes 0 to 3 (the frame counter of the
// writer's bulk frames) and bytes 4 to 7, Intel (@1) and Motorola (@0) mixed.
constexpr const char* kSignalLayout[kBenchSignalsPerMessage] = {
    "0|8@1+ (1,0) [0|255]",           "15|8@0+ (0.5,-10) [-10|117.5]",
    "16|12@1- (0.1,0) [-205|205]", "28|4@1+ (1,0) [0|15]",
    "39|16@0+ (0.01,0) [0|0]",         "48|4@1+ (2,1) [0|0]",
    "55|3@0+ (1,0) [0|7]",             "63|8@0- (0.25,0) [-32|31.75]",
};

std::string dbcHeader() {
  return "VERSION \"\"\n\nNS_ :\n\nBS_:\n\nBU_: ECU TESTER\n\n";
}

std::string dbcBusTypeAttribute() {
  return "BA_DEF_  \"BusType\" STRING ;\n"
         "BA_DEF_ BO_ \"TransportProtocolType\" STRING ;\n"
         "BA_DEF_DEF_  \"BusType\" \"CAN\";\n";
}

void appendHex(std::string& out, uint8_t byte) {
  static const char kDigits[] = "0123456789ABCDEF";
  out += kDigits[byte >> 4];
  out += kDigits[byte & 0xF];
}

// One `frame` statement of group "tp".
void appendFrame(std::string& out, uint64_t index, int channel, uint32_t id,
                 const uint8_t* data, size_t length) {
  char head[96];
  std::snprintf(head, sizeof head, "frame tp t=%.4f ch=%d id=0x%" PRIX32 " ide=%d data=",
                static_cast<double>(index) * 0.0001, channel, id, id > 0x7FF ? 1 : 0);
  out += head;
  for (size_t i = 0; i < length; ++i) appendHex(out, data[i]);
  out += '\n';
}

// First frame, flow control from the tester, 14 consecutive frames.
uint64_t appendIsoTp(std::string& out, uint64_t index, uint64_t message) {
  uint8_t payload[100];
  for (int i = 0; i < 100; ++i) payload[i] = static_cast<uint8_t>(message + i);
  uint8_t frame[8] = {0x10, 100};
  for (int i = 0; i < 6; ++i) frame[2 + i] = payload[i];
  appendFrame(out, index++, 1, 0x7E8, frame, 8);
  const uint8_t flowControl[8] = {0x30, 0, 0, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
  appendFrame(out, index++, 1, 0x7E0, flowControl, 8);
  size_t taken = 6;
  for (int seq = 1; seq <= 14; ++seq) {
    frame[0] = static_cast<uint8_t>(0x20 | (seq & 0xF));
    for (int i = 1; i < 8; ++i) frame[i] = taken < 100 ? payload[taken++] : 0xAA;
    appendFrame(out, index++, 1, 0x7E8, frame, 8);
  }
  return index;
}

// Broadcast announce of 20 bytes of PGN 0xFF20, then three data transfers.
uint64_t appendBam(std::string& out, uint64_t index, uint64_t message) {
  const uint32_t source = 0x10 + static_cast<uint32_t>(message % 4);
  const uint8_t announce[8] = {0x20, 20, 0, 3, 0xFF, 0x20, 0xFF, 0x00};
  appendFrame(out, index++, 2, 0x1CECFF00 | source, announce, 8);
  uint8_t frame[8];
  size_t taken = 0;
  for (int seq = 1; seq <= 3; ++seq) {
    frame[0] = static_cast<uint8_t>(seq);
    for (int i = 1; i < 8; ++i) {
      frame[i] = taken < 20 ? static_cast<uint8_t>(message * 3 + taken) : 0xFF;
      ++taken;
    }
    appendFrame(out, index++, 2, 0x1CEBFF00 | source, frame, 8);
  }
  return index;
}

}  // namespace

std::vector<uint32_t> benchCanIds(int count) {
  std::vector<uint32_t> ids;
  for (int k = 0; k < count; ++k) {
    ids.push_back(k < count / 2 ? 0x100u + 0x10u * static_cast<uint32_t>(k)
                                : 0x0CF00021u + 0x100u * static_cast<uint32_t>(k));
  }
  return ids;
}

std::string benchCanDbc(const std::vector<uint32_t>& ids, int decoded) {
  std::string dbc = dbcHeader();
  for (size_t k = 0; k < ids.size(); ++k) {
    if (decoded >= 0 && k >= static_cast<size_t>(decoded)) break;
    const uint32_t dbcId = ids[k] > 0x7FF ? (ids[k] | kExtendedFlag) : ids[k];
    char name[32];
    std::snprintf(name, sizeof name, "Msg%02zu", k);
    dbc += "BO_ " + std::to_string(dbcId) + " " + name + ": 8 ECU\n";
    for (int s = 0; s < kBenchSignalsPerMessage; ++s) {
      dbc += " SG_ " + std::string(name) + "_S" + std::to_string(s) + " : " + kSignalLayout[s] +
             " \"\" TESTER\n";
    }
    dbc += "\n";
  }
  return dbc + dbcBusTypeAttribute();
}

std::string benchBulkDescription(uint64_t frames, const std::vector<uint32_t>& ids) {
  std::string idList;
  for (uint32_t id : ids) {
    char text[16];
    std::snprintf(text, sizeof text, "%s0x%" PRIX32, idList.empty() ? "" : ",", id);
    idList += text;
  }
  std::string description = "start_ns " + std::to_string(kBenchStartNs) +
                            "\nserial 0A1B2C3D\nsession 1\nsplit 1\nhistory QZ\n";
  for (int g = 0; g < 2; ++g) {
    const uint64_t count = frames / 2 + (g == 0 ? frames % 2 : 0);
    const std::string name = "can" + std::to_string(g + 1);
    description += "datagroup sorted\ngroup " + name + " can\nbulk " + name +
                   " count=" + std::to_string(count) + " ids=" + idList + " channels=" +
                   std::to_string(g + 1) + " rate=" + std::to_string(1000 + 100 * g) + "\n";
  }
  return description;
}

std::string tpDescription(const cTpTraffic& traffic) {
  std::string out = "start_ns " + std::to_string(kBenchStartNs) +
                    "\nserial 0A1B2C3D\nsession 2\nsplit 1\nhistory QZ\n"
                    "datagroup sorted\ngroup tp can\n";
  out.reserve(out.size() + traffic.frames() * 64);
  uint64_t index = 0;
  uint64_t iso = 0, bam = 0;
  while (iso < traffic.isoTpMessages || bam < traffic.bamMessages) {
    if (iso < traffic.isoTpMessages) index = appendIsoTp(out, index, iso++);
    for (int i = 0; i < 4 && bam < traffic.bamMessages; ++i) index = appendBam(out, index, bam++);
  }
  return out;
}

std::string tpCanDbc() {
  // 0x7E8 with 100 bytes: signals near the start, in the middle, beyond the
  // 64th byte and in the last byte.
  return dbcHeader() +
         "BO_ 2024 DiagResponse: 100 ECU\n"
         " SG_ R_First : 0|16@1+ (1,0) [0|0] \"\" TESTER\n"
         " SG_ R_Mid : 407|16@0+ (0.5,0) [0|0] \"\" TESTER\n"
         " SG_ R_Far : 560|32@1+ (1,0) [0|0] \"\" TESTER\n"
         " SG_ R_Last : 792|8@1- (1,0) [0|0] \"\" TESTER\n\n" +
         dbcBusTypeAttribute() + "BA_ \"TransportProtocolType\" BO_ 2024 \"ISOTP\";\n";
}

std::string tpJ1939Dbc() {
  const uint32_t dbcId = 0x18FF2000u | kExtendedFlag;
  return dbcHeader() + "BO_ " + std::to_string(dbcId) +
         " PropB20: 20 ECU\n"
         " SG_ P_A : 0|8@1+ (1,0) [0|0] \"\" TESTER\n"
         " SG_ P_B : 8|16@1+ (0.125,0) [0|0] \"\" TESTER\n"
         " SG_ P_C : 71|16@0+ (1,-100) [0|0] \"\" TESTER\n"
         " SG_ P_D : 152|8@1+ (1,0) [0|0] \"\" TESTER\n\n" +
         dbcBusTypeAttribute() +
         "BA_DEF_  \"ProtocolType\" STRING ;\nBA_ \"ProtocolType\" \"J1939\";\n";
}
