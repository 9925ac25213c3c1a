// Log-file writer: builds logger-style MDF 4.11 files from a line-based text
// description (see tools/README.md), with the project's own block save side.
// Used by the mklog command, by tests (which generate their input files at
// test time) and by benchmarks (bulk mode: millions of frames, generated while
// the file is written).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "container_writer/container_writer.h"
#include "io/io.h"
#include "mdf/mdf_block_data.h"
#include "mdf/mdf_block_meta.h"

// Kinds of bus-logging channel group the writer knows.
enum class cMklogKind {
  Can,        // CAN_DataFrame, 8 fixed data bytes
  CanFd,      // CAN_DataFrame, 64 fixed data bytes
  CanFdVlsd,  // CAN_DataFrame, data bytes in a VLSD channel group of the data group
  CanFdSd,    // CAN_DataFrame, data bytes in a signal-data block
  Remote,     // CAN_RemoteFrame
  Error,      // CAN_ErrorFrame
  Lin,        // LIN_Frame
  LinChecksumError,      // LIN_ChecksumError (channels as LIN_Frame)
  LinReceiveError,       // LIN_ReceiveError
  LinSyncError,          // LIN_SyncError
  LinTransmissionError,  // LIN_TransmissionError
  Other,                 // a non-bus group: Timestamp and Analog.Value (16 bits)
};

// One logged frame (fields a kind does not have are ignored).
struct cMklogFrame {
  double t = 0.0;  // seconds since the header's start time (microsecond steps)
  uint8_t channel = 1;
  uint32_t id = 0;
  bool ide = false;
  bool dir = false;
  bool brs = false;
  bool esi = false;
  int dlc = -1;     // -1: from the data length
  int length = -1;  // -1: the number of data bytes
  std::vector<uint8_t> data;
  uint8_t errorType = 0;
  uint8_t receivedCount = 0;  // LIN received data byte count (-1 analogue: len)
};

// Frames generated while the file is written: frame i has time t0 + i/rate,
// identifier ids[i % ids], channel channels[i % channels], 8 data bytes
// holding i (little-endian), data length `length`.
struct cMklogBulk {
  uint64_t count = 0;
  std::vector<uint32_t> ids{0x100};
  std::vector<uint8_t> channels{1};
  double rate = 1000.0;
  double t0 = 0.0;
  uint8_t length = 8;
};

struct cMklogGroup {
  std::string name;
  cMklogKind kind = cMklogKind::Can;
  uint8_t siBusType = 0;    // source information: 0 kind's default, 1 none, 2 CAN, 3 LIN
  std::string siComment;    // XML of the source's comment (empty: none)
  uint32_t invalidationBytes = 0;
  std::optional<cMklogBulk> bulk;
};

struct cMklogDataGroup {
  bool sorted = false;   // record id size 0 (one channel group)
  uint8_t idSize = 1;    // record id bytes of an unsorted group: 1, 2, 4 or 8
  std::vector<cMklogGroup> groups;
  // Records in file order: group index into `groups`, frame.
  std::vector<std::pair<size_t, cMklogFrame>> frames;
};

struct cMklogPlan {
  bool unfinished = false;            // "UnFinMF ", flag bit 2, wrong last DT length
  uint64_t unfinishedDtLength = 24;   // the stored length of the last DT block
  uint32_t versionMajor = 4;
  uint32_t versionMinor = 11;
  std::string program = "mklog";
  uint64_t startNs = 0;
  int16_t tzOffsetMin = 0;
  int16_t dstOffsetMin = 0;
  uint8_t timeFlags = 0;
  std::optional<std::string> serial;
  std::optional<std::string> session;
  std::optional<std::string> split;
  std::optional<std::string> headerXml;  // replaces the generated comment
  bool noHeaderComment = false;
  // Comment texts of the file-history blocks in order; nullopt: no comment.
  std::vector<std::optional<std::string>> histories;
  std::vector<cMklogDataGroup> dataGroups;
  std::vector<cContainerLayer> wraps;  // innermost first
};

// Parses a description.  None on a bad line; *error (when given) then says
// "line N: reason".
std::optional<cMklogPlan> cMklog_parse(std::string_view text, std::string* error);

// The header comment XML the writer generates for `plan`.
std::string cMklog_headerXml(const cMklogPlan& plan);
// The comment of a file history naming the tool `toolId` ("QZ", "Brenlog").
std::string cMklog_historyXml(std::string_view toolId);

// Builds the block tree of `plan` (DT payloads included, bulk payloads as
// generators).  Every bus channel group is marked as bus logging: flags bus
// event and plain bus event, and a source of type bus whose bus type is the
// frames' (CAN or LIN) unless the group's `si` names another source or none.  None with *error on a contradiction (e.g. a VLSD group in a
// sorted data group).
std::shared_ptr<cMdfBlock_ID> cMklog_buildTree(const cMklogPlan& plan, std::string* error);

// Saves a tree to `out` in the writer's block order: identification and
// header block first, then histories, comments and channel groups, the data
// blocks last in data-group order, so that the last data block ends the file.
// False on a write failure.
bool cMklog_saveTree(cMdfBlock_ID& id, cIO* out);

// Writes the MDF file of `plan` to `out` (no containers) through
// cMklog_saveTree; an unfinished file then gets the stored length of its last
// data block overwritten.  False with *error on failure.
bool cMklog_write(const cMklogPlan& plan, cIO* out, std::string* error);

// The complete output of `plan` in memory: the MDF file, wrapped in the
// containers of plan.wraps.  None with *error on failure.
std::optional<std::vector<uint8_t>> cMklog_render(const cMklogPlan& plan, std::string* error);
// Parses `description` and renders it.
std::optional<std::vector<uint8_t>> cMklog_build(std::string_view description, std::string* error);
// Parses `description` and writes the output to `path`.  Without containers the
// file is written directly (bulk data is never held in memory).
bool cMklog_writeFile(std::string_view description, const char* path, std::string* error);
