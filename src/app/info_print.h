// Rendering of inspection reports (--info): a block of indented lines per log
// file for people, or one JSON object per line for scripts.
//
// Times are the seconds since 1970 that the CSV column t would show, printed
// the same way (six decimals); the text form adds the calendar date of that
// clock.  Identifiers are written as cInfoFrameId_text does.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "app/info_tally.h"

// Most frequent identifiers listed per channel.
inline constexpr size_t kInfoTopIdentifiers = 5;

// The block of one file, ending in a line feed.  `fullPath` is the path shown;
// with `databases` (any database was given) every channel says what the
// databases decode, or that it has none.
std::string cInfo_text(const cInfoFileReport& report, const std::string& fullPath,
                       bool databases);

// The JSON object of one file, on one line without line feed.
std::string cInfo_json(const cInfoFileReport& report, const std::string& fullPath);

// The channel's identifiers with their frame counts, most frequent first (the
// lower identifier first among equals), at most `limit`.
std::vector<std::pair<cInfoFrameId, uint64_t>> cInfo_topIdentifiers(const cInfoChannel& channel,
                                                                    size_t limit);

// "CAN1", "LIN2".
std::string cInfoChannelKey_text(const cInfoChannelKey& key);
