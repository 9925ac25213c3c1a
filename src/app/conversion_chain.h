// One conversion chain: decoder <- multiplexed transport <- transport
// protocols, and the reader that drives it.  A worker thread owns one: the
// reassembly state and the open CSV files of a chain are never shared.  The
// databases, passwords and file systems of the command line are borrowed
// (read-only while conversions run).
#pragma once

#include <memory>

#include "app/log_reader_cli.h"
#include "bus/bus_layer_mux.h"
#include "bus/bus_layer_tp.h"
#include "input/log_reader.h"
#include "output/decoder.h"

struct cConversionChain {
  cLogReaderOptions options;  // the reader's, with this chain's share of the buffers
  // Destroyed in reverse order: reader, TP, MUX, decoder.
  std::unique_ptr<cDecoder> decoder;
  std::unique_ptr<cBusLayerMux> mux;
  std::unique_ptr<cBusLayerTp> tp;
  std::unique_ptr<cLogReader> reader;
};

// A chain over the command line's databases and file systems; null when a
// part cannot be made.
std::unique_ptr<cConversionChain> cConversionChain_ctor(const cLogReaderCLI& cli,
                                                        const cDecoderOptions& decoderOptions,
                                                        const cLogReaderOptions& readerOptions);
