// Bus frame decoders: turn one record of a bus-logging channel group into one
// bus message.  The record layer reads a record into a cMdfRecordView; the
// channel group's decoder (chosen once by cMdfDecodeRule_pickFrameDecoder)
// writes the message.  A decoder that returns false produced no message for
// this record.
//
// Decoders run once per logged frame: they read every channel with one bit
// extraction and allocate nothing once the message's payload buffer has grown
// to the largest payload seen.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "mdf/mdf_decode_rule.h"

struct cBusMsg;

// What the record layer produced for the record just read.  The spans point
// into the reader's buffers and stay valid until its next read; `rules`
// belongs to the data group's decoding plan.
struct cMdfRecordView {
  std::span<const uint8_t> record;  // data bytes of the record, without record id
  // Empty, or a u32 little-endian length followed by the VLSD bytes read.
  std::span<const uint8_t> vlsd;
  const std::vector<cMdfDecodeRule>* rules = nullptr;  // null: no message
  cMdfDecoder decoder = nullptr;                       // null: no message
};

// Each decoder: empties msg.data, walks the rules in order and stores each
// channel by its role.  A channel whose role the decoder does not accept makes
// the result false (the walk goes on).  On true, the payload is sized to the
// data-length channel (where the kind has one) and msg.type is set; on false
// msg.type is left as it was.  Fields that no channel feeds keep the values
// of the previous message, except the type-dependent area, which the CAN
// data/remote/error, LIN frame and LIN checksum error decoders zero first.
// A null `view.rules` yields false.
//
// Integer and flag fields take converted values through a saturating
// conversion: NaN (a look-up miss) stores 0, out-of-range values the nearest
// limit, then the field keeps its low bits.  Data lengths count by their low
// byte (0..255), for remote frames too, whose payload is that many zero bytes.
bool cMdfDecoders_decodeCanDataFrame(const cMdfRecordView& view, cBusMsg& msg);
bool cMdfDecoders_decodeCanRemoteFrame(const cMdfRecordView& view, cBusMsg& msg);
bool cMdfDecoders_decodeCanErrorFrame(const cMdfRecordView& view, cBusMsg& msg);
bool cMdfDecoders_decodeLinFrame(const cMdfRecordView& view, cBusMsg& msg);
bool cMdfDecoders_decodeLinChecksumError(const cMdfRecordView& view, cBusMsg& msg);
bool cMdfDecoders_decodeLinReceiveError(const cMdfRecordView& view, cBusMsg& msg);
bool cMdfDecoders_decodeLinTransmissionError(const cMdfRecordView& view, cBusMsg& msg);
bool cMdfDecoders_decodeLinSyncError(const cMdfRecordView& view, cBusMsg& msg);
// Produces nothing: sets msg.type to BUS_MSG_GENERIC and returns false.
bool cMdfDecoders_decodeGeneric(const cMdfRecordView& view, cBusMsg& msg);

// The value of one non-byte-array rule in `record`, converted: raw bits
// (0 when the field lies beyond the record or is wider than 64 bits), read as
// an unsigned integer, or as an IEEE 754 single (32 bits, widened) or double
// (64 bits) for float channels (NaN for floats of any other width), then the
// rule's conversion applied.
double cMdfDecoders_ruleValue(const cMdfDecodeRule& rule, std::span<const uint8_t> record);
